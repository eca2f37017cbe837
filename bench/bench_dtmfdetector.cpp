// Speed of the DTMF detector and what it accepts: frequency offset, twist,
// tone and gap durations, white noise, and false digits on signals without
// tones. The signals are synthesised here with random phases and start
// positions, independent of the detector's own tone generator.
#include "automation/dtmfdetector.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>

namespace {

constexpr double kLow[4] = {697.0, 770.0, 852.0, 941.0};
constexpr double kHigh[4] = {1209.0, 1336.0, 1477.0, 1633.0};
const char* const kKeys = "123A456B789C*0#D";

std::mt19937 rng(20261208);

double uniform(double a, double b)
{
    return std::uniform_real_distribution<double>(a, b)(rng);
}

// Appends a tone: low at lowAmp, high at highAmp, frequencies scaled by (1 + offset).
void appendTone(QList<double>* out, int key, int rate, double ms, double lowAmp, double highAmp, double offset = 0)
{
    const double fl = kLow[key / 4] * (1 + offset);
    const double fh = kHigh[key % 4] * (1 + offset);
    const double pl = uniform(0, 2 * std::numbers::pi);
    const double ph = uniform(0, 2 * std::numbers::pi);
    const int n = int(std::lround(ms * rate / 1000.0));
    for (int i = 0; i < n; ++i) {
        const double t = double(i) / rate;
        out->append(lowAmp * std::sin(2 * std::numbers::pi * fl * t + pl)
                    + highAmp * std::sin(2 * std::numbers::pi * fh * t + ph));
    }
}

void appendSilence(QList<double>* out, int rate, double ms)
{
    const int n = int(std::lround(ms * rate / 1000.0));
    for (int i = 0; i < n; ++i)
        out->append(0.0);
}

// Every signal given to digitCount, for the talk-off total.
int g_falseDigits = 0;
double g_falseSeconds = 0;

int digitCount(const QList<double>& samples, int rate, double minLevel = 0.02)
{
    DtmfDetector d;
    d.setSampleRate(rate);
    d.minLevel = minLevel;
    int count = 0;
    QObject::connect(&d, &DtmfDetector::digitDetected, [&count](char) { ++count; });
    for (qsizetype i = 0; i < samples.size(); i += 4096)
        d.addSamples(samples.mid(i, 4096));
    g_falseDigits += count;
    g_falseSeconds += double(samples.size()) / rate;
    return count;
}

QString detect(const QList<double>& samples, int rate, double minLevel = 0.02)
{
    DtmfDetector d;
    d.setSampleRate(rate);
    d.minLevel = minLevel;
    // Feed in buffer-sized pieces, as the monitor does.
    for (qsizetype i = 0; i < samples.size(); i += 4096)
        d.addSamples(samples.mid(i, 4096));
    return d.sequence;
}

// A single tone of the given key inside silence, at a random block alignment.
bool oneTone(int key, int rate, double ms, double lowAmp, double highAmp, double offset)
{
    QList<double> s;
    appendSilence(&s, rate, uniform(0, 30));
    appendTone(&s, key, rate, ms, lowAmp, highAmp, offset);
    appendSilence(&s, rate, 100);
    return detect(s, rate) == QString(QLatin1Char(kKeys[key]));
}

void sweepOffset(int rate)
{
    // Per offset (0.5 % steps), over 16 keys x 4 random phases and block
    // alignments: tones reported exactly once, reported more than once
    // (the tone drops out and comes back), missed, or read as another key.
    std::printf("  %d Hz  offset: once / repeated / missed / other key (of 64)\n", rate);
    for (int step = -16; step <= 16; ++step) {
        const double offset = step * 0.0025;
        int once = 0, repeated = 0, missed = 0, other = 0;
        for (int key = 0; key < 16; ++key) {
            for (int trial = 0; trial < 4; ++trial) {
                QList<double> s;
                appendSilence(&s, rate, uniform(0, 30));
                appendTone(&s, key, rate, 200, 0.25, 0.25, offset);
                appendSilence(&s, rate, 100);
                const QString got = detect(s, rate);
                const QChar k = QLatin1Char(kKeys[key]);
                if (got.isEmpty())
                    ++missed;
                else if (got.count(k) != got.size())
                    ++other;
                else if (got.size() == 1)
                    ++once;
                else
                    ++repeated;
            }
        }
        std::printf("    %+5.2f %%: %2d / %2d / %2d / %2d\n", offset * 100, once, repeated, missed, other);
    }
}

void sweepTwist(int rate)
{
    // Twist in dB: low-group level relative to the high group (positive: low louder).
    for (const int sign : {-1, 1}) {
        double allAccepted = -1, firstReject = -1;
        for (int step = 0; step <= 200; ++step) {
            const double db = sign * step * 0.1;
            const double lowAmp = 0.25 * std::pow(10.0, db / 40.0);
            const double highAmp = 0.25 * std::pow(10.0, -db / 40.0);
            int accepted = 0;
            for (int key = 0; key < 16; ++key)
                accepted += oneTone(key, rate, 200, lowAmp, highAmp, 0) ? 1 : 0;
            if (accepted == 16 && firstReject < 0)
                allAccepted = step * 0.1;
            if (accepted < 16 && firstReject < 0) {
                firstReject = step * 0.1;
                break;
            }
        }
        std::printf("  %d Hz, %s: accepted up to %.1f dB, rejected from %.1f dB\n", rate,
                    sign < 0 ? "high group louder (normal twist)" : "low group louder (reverse twist)",
                    allAccepted, firstReject);
    }
}

void sweepDuration(int rate)
{
    std::printf("  %d Hz tone duration (ms): share of 64 tones detected\n   ", rate);
    for (int ms = 5; ms <= 50; ms += 5) {
        int hits = 0;
        for (int trial = 0; trial < 64; ++trial)
            hits += oneTone(trial % 16, rate, ms, 0.25, 0.25, 0) ? 1 : 0;
        std::printf(" %d:%d%%", ms, hits * 100 / 64);
    }
    std::printf("\n");
}

void sweepGap(int rate)
{
    std::printf("  %d Hz gap between two equal digits (ms): share reported twice\n   ", rate);
    for (int ms = 10; ms <= 70; ms += 5) {
        int twice = 0;
        for (int trial = 0; trial < 64; ++trial) {
            const int key = trial % 16;
            QList<double> s;
            appendSilence(&s, rate, uniform(0, 30));
            appendTone(&s, key, rate, 100, 0.25, 0.25);
            appendSilence(&s, rate, ms);
            appendTone(&s, key, rate, 100, 0.25, 0.25);
            appendSilence(&s, rate, 100);
            twice += detect(s, rate).size() == 2 ? 1 : 0;
        }
        std::printf(" %d:%d%%", ms, twice * 100 / 64);
    }
    std::printf("\n");
}

void sweepNoise(int rate)
{
    // S/N = power of the two tones together over the white-noise power in the
    // whole band (0 .. rate/2); in 300-3400 Hz it is 10*log10(rate/2/3100) dB higher.
    const double bandGain = 10 * std::log10(rate / 2.0 / 3100.0);
    std::printf("  %d Hz white noise, 16 keys x 4 (100 ms on, 100 ms off), full-band S/N (300-3400 Hz S/N):\n"
                "    keys missed, extra digits with the 0.02 gate, extra digits with the gate above the noise peak\n",
                rate);
    std::normal_distribution<double> gauss(0, 1);
    for (int snr = 30; snr >= -15; snr -= 3) {
        const double toneAmp = 0.1; // each tone; both together have power 0.01
        const double noiseRms = std::sqrt(0.01 / std::pow(10.0, snr / 10.0));
        int missed = 0, extra = 0, extraGated = 0;
        for (int trial = 0; trial < 4; ++trial) {
            QList<double> s;
            QString expected;
            appendSilence(&s, rate, 50);
            for (int key = 0; key < 16; ++key) {
                appendTone(&s, key, rate, 100, toneAmp, toneAmp);
                appendSilence(&s, rate, 100);
                expected += QLatin1Char(kKeys[key]);
            }
            double noisePeak = 0;
            for (double& x : s) {
                const double n = noiseRms * gauss(rng);
                noisePeak = std::max(noisePeak, std::abs(n));
                x += n;
            }
            auto score = [&expected](const QString& got, int* miss, int* more) {
                int found = 0;
                for (const QChar c : got) {
                    if (found < expected.size() && c == expected.at(found))
                        ++found;
                }
                if (miss)
                    *miss += int(expected.size()) - found;
                *more += int(got.size()) - found;
            };
            score(detect(s, rate), &missed, &extra);
            score(detect(s, rate, noisePeak * 1.05), nullptr, &extraGated);
        }
        std::printf("    %+3d dB (%+5.1f dB): %2d missed, %2d extra, %2d extra gated\n", snr, snr + bandGain, missed,
                    extra, extraGated);
    }
}

// Harmonic chords (eight harmonics at 1/h), one per half second with a
// decaying envelope: a music-like signal without tones.
QList<double> chords(int rate, int seconds, double level, bool vibrato)
{
    const int n = rate * seconds;
    QList<double> music(n, 0.0);
    const double roots[] = {130.81, 146.83, 164.81, 174.61, 196.00, 220.00, 246.94};
    for (int c = 0; c < seconds * 2; ++c) {
        const double root = roots[c % 7] * (c % 3 == 0 ? 2 : 1);
        const double notes[] = {root, root * std::pow(2.0, 4 / 12.0), root * std::pow(2.0, 7 / 12.0)};
        const int start = c * rate / 2;
        for (int i = 0; i < rate / 2 && start + i < n; ++i) {
            const double t = double(i) / rate;
            const double env = std::exp(-3 * t);
            const double bend = vibrato ? 0.004 * std::sin(2 * std::numbers::pi * 5.5 * t) : 0.0;
            double v = 0;
            for (const double f : notes) {
                for (int h = 1; h <= 8; ++h)
                    v += std::sin(2 * std::numbers::pi * f * h * t * (1 + bend)) / h;
            }
            music[start + i] = level * env * v;
        }
    }
    return music;
}

// Plucked strings (Karplus-Strong): a chord of four notes every half second.
QList<double> pluckedChords(int rate, int seconds, double level)
{
    const int n = rate * seconds;
    QList<double> music(n, 0.0);
    const double roots[] = {130.81, 110.00, 87.31, 98.00, 130.81, 82.41, 87.31, 98.00};
    for (int c = 0; c < seconds * 2; ++c) {
        const double root = roots[c % 8];
        const int start = c * rate / 2;
        for (const double ratio : {1.0, 1.2599, 1.4983, 2.0}) {
            const int period = std::max(2, int(std::lround(rate / (root * ratio))));
            QList<double> line(period);
            for (double& x : line)
                x = uniform(-1, 1);
            for (int i = 0; i < rate / 2 && start + i < n; ++i) {
                const int j = i % period;
                const double next = line[(j + 1) % period];
                const double out = line[j];
                line[j] = 0.996 * 0.5 * (out + next);
                music[start + i] += level * 0.3 * out;
            }
        }
    }
    return music;
}

// A sawtooth (all harmonics) gliding up and down between 100 and 2000 Hz
// over four seconds; with pure set, a plain sine over 300 .. 3000 Hz.
QList<double> sweep(int rate, int seconds, double level, bool pure)
{
    const int n = rate * seconds;
    QList<double> out(n);
    double phase = 0;
    for (int i = 0; i < n; ++i) {
        const double t = std::fmod(double(i) / rate, 4.0);
        const double u = t < 2 ? t / 2 : (4 - t) / 2;
        const double f = pure ? 300 * std::pow(10.0, u) : 100 * std::pow(20.0, u);
        phase += f / rate;
        phase -= std::floor(phase);
        out[i] = level * (pure ? std::sin(2 * std::numbers::pi * phase) : 2 * phase - 1);
    }
    return out;
}

// Pink noise (Paul Kellet's filter on white noise).
QList<double> pinkNoise(int rate, int seconds, double rms)
{
    std::normal_distribution<double> gauss(0, 1);
    const int n = rate * seconds;
    QList<double> out;
    out.reserve(n);
    double b[7] = {};
    double sum2 = 0;
    for (int i = 0; i < n; ++i) {
        const double w = gauss(rng);
        b[0] = 0.99886 * b[0] + w * 0.0555179;
        b[1] = 0.99332 * b[1] + w * 0.0750759;
        b[2] = 0.96900 * b[2] + w * 0.1538520;
        b[3] = 0.86650 * b[3] + w * 0.3104856;
        b[4] = 0.55000 * b[4] + w * 0.5329522;
        b[5] = -0.7616 * b[5] - w * 0.0168980;
        const double y = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
        b[6] = w * 0.115926;
        out.append(y);
        sum2 += y * y;
    }
    const double scale = rms / std::sqrt(sum2 / n);
    for (double& x : out)
        x *= scale;
    return out;
}

// Speech-like sound: a glottal pulse train with a gliding pitch through
// three formant resonators, a new vowel every 150 ms, syllable envelope.
QList<double> formants(int rate, int seconds, double level, double pitchLow, double pitchHigh)
{
    struct Vowel
    {
        double f1, f2, f3;
    };
    const Vowel vowels[] = {{730, 1090, 2440}, {270, 2290, 3010}, {530, 1840, 2480}, {570, 840, 2410},
                            {300, 870, 2240}, {660, 1720, 2410}, {490, 1350, 1690}, {390, 1990, 2550}};
    const int n = rate * seconds;
    QList<double> out(n);
    double y1[3] = {}, y2[3] = {};
    double phase = 0;
    double peak = 0;
    for (int i = 0; i < n; ++i) {
        const double t = double(i) / rate;
        const int syllable = int(t / 0.15);
        const Vowel& v = vowels[(syllable * 5 + syllable / 3) % 8];
        const double pitch = pitchLow + (pitchHigh - pitchLow) * (0.5 + 0.5 * std::sin(2 * std::numbers::pi * 0.7 * t));
        phase += pitch / rate;
        double source = 0;
        if (phase >= 1) {
            phase -= 1;
            source = 1;
        }
        const double f[3] = {v.f1, v.f2, v.f3};
        const double bw[3] = {80, 100, 120};
        double y = 0;
        for (int r = 0; r < 3; ++r) {
            const double radius = std::exp(-std::numbers::pi * bw[r] / rate);
            const double c = 2 * radius * std::cos(2 * std::numbers::pi * f[r] / rate);
            const double s = source + c * y1[r] - radius * radius * y2[r];
            y2[r] = y1[r];
            y1[r] = s;
            y += s / (r + 1);
        }
        const double local = std::fmod(t, 0.15) / 0.15;
        out[i] = y * std::sin(std::numbers::pi * local);
        peak = std::max(peak, std::abs(out[i]));
    }
    for (double& x : out)
        x *= level / peak;
    return out;
}

void falseDigits(int rate)
{
    std::normal_distribution<double> gauss(0, 1);
    const int seconds = 60;
    const int n = rate * seconds;
    std::printf("  %d Hz, digits reported in 60 s (minimum level 0.02):\n", rate);
    for (const double rmsDb : {-20.0, -30.0, -36.0, -40.0, -46.0}) {
        QList<double> white(n);
        const double rms = std::pow(10.0, rmsDb / 20.0);
        for (double& x : white)
            x = rms * gauss(rng);
        QList<double> low(n);
        double y = 0;
        for (int i = 0; i < n; ++i) {
            y = 0.97 * y + 0.03 * gauss(rng);
            low[i] = y * rms / 0.123;
        }
        std::printf("    white noise %.0f dBFS rms: %d; low-passed noise: %d; pink noise: %d\n", rmsDb,
                    digitCount(white, rate), digitCount(low, rate), digitCount(pinkNoise(rate, seconds, rms), rate));
    }
    for (const double level : {0.02, 0.08, 0.2}) {
        std::printf("    harmonic chords, level %.2f: %d; with vibrato: %d; plucked chords: %d\n", level,
                    digitCount(chords(rate, seconds, level, false), rate),
                    digitCount(chords(rate, seconds, level, true), rate),
                    digitCount(pluckedChords(rate, seconds, level), rate));
    }
    QList<double> bed = chords(rate, seconds, 0.08, true);
    for (double& x : bed)
        x += 0.003 * gauss(rng);
    std::printf("    chords 0.08 with vibrato and a noise bed at -50 dBFS rms: %d\n", digitCount(bed, rate));
    std::printf("    sawtooth sweep: %d; sine sweep: %d\n", digitCount(sweep(rate, seconds, 0.3, false), rate),
                digitCount(sweep(rate, seconds, 0.3, true), rate));
    std::printf("    speech-like formants, low voice: %d; high voice: %d\n",
                digitCount(formants(rate, seconds, 0.5, 90, 160), rate),
                digitCount(formants(rate, seconds, 0.5, 180, 320), rate));
}

void speed()
{
    QList<double> s;
    for (int key = 0; key < 16; ++key) {
        appendTone(&s, key, 48000, 100, 0.25, 0.25);
        appendSilence(&s, 48000, 100);
    }
    QList<double> all;
    for (int i = 0; i < 40; ++i)
        all += s;
    const double audioSeconds = double(all.size()) / 48000;
    QElapsedTimer timer;
    timer.start();
    DtmfDetector d;
    d.setSampleRate(48000);
    for (qsizetype i = 0; i < all.size(); i += 1024)
        d.addSamples(all.mid(i, 1024));
    const double ms = timer.nsecsElapsed() / 1e6;
    std::printf("  %.0f s of 48 kHz audio in %.1f ms: %.0fx real time\n", audioSeconds, ms,
                audioSeconds * 1000 / ms);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::printf("Speed\n");
    speed();
    std::printf("Frequency offset (200 ms tones, 4 random phases and alignments per key)\n");
    for (const int rate : {44100, 48000})
        sweepOffset(rate);
    std::printf("Twist (200 ms tones)\n");
    for (const int rate : {44100, 48000})
        sweepTwist(rate);
    std::printf("Tone duration\n");
    for (const int rate : {44100, 48000})
        sweepDuration(rate);
    std::printf("Gap\n");
    for (const int rate : {44100, 48000})
        sweepGap(rate);
    std::printf("Noise\n");
    for (const int rate : {44100, 48000})
        sweepNoise(rate);
    std::printf("False digits on signals without tones\n");
    for (const int rate : {44100, 48000})
        falseDigits(rate);
    std::printf("  all together: %d false digits in %.0f minutes\n", g_falseDigits, g_falseSeconds / 60);
    return 0;
}
