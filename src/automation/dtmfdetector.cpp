#include "dtmfdetector.h"

#include <QAudioBuffer>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numbers>

namespace {

constexpr double kLow[4] = {697.0, 770.0, 852.0, 941.0};
constexpr double kHigh[4] = {1209.0, 1336.0, 1477.0, 1633.0};
constexpr char kGrid[] = "123A456B789C*0#D";
constexpr int kMaxSequence = 64;
// Least share of a block's energy (below 4 kHz) that the two tones of a key
// carry. Keys measure 0.83 or more even 1.5 % off frequency and with noise
// 15 dB under them in the telephone band; chords of music stay under 0.6.
constexpr double kToneShare = 0.7;
// Largest relative error of either tone's measured frequency. Keys 1.5 % off
// must pass and 3.5 % off must not; below 2.1 % the fundamental and octave of
// a voice or glide can no longer pass for a row and a column tone.
constexpr double kMaxFrequencyError = 0.02;
// Least level of a tone in one part of the block relative to the other.
constexpr double kMinSteadiness = 0.65;

// Power of the transform bin nearest to frequency, normalised by N².
double goertzel(const QList<double>& samples, int sampleRate, double frequency)
{
    const qsizetype n = samples.size();
    if (n < 1)
        return 0.0;
    const double k = std::round(double(n) * frequency / sampleRate);
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * k / double(n));
    double s1 = 0.0;
    double s2 = 0.0;
    for (const double x : samples) {
        const double s = x + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return (s1 * s1 + s2 * s2 - coefficient * s1 * s2) / (double(n) * double(n));
}

// Energy of a tone near frequency, as the mean-square value it adds to the
// block: the powers of the nearest bin and its two neighbours, so that a tone
// between two bins is measured at nearly its full level. The bins of an
// N-point transform are orthogonal, so the energies of distinct bins never
// add up to more than the block holds.
double toneEnergy(const QList<double>& samples, int sampleRate, double frequency)
{
    const qsizetype n = samples.size();
    if (n < 1)
        return 0.0;
    const double k = std::round(double(n) * frequency / sampleRate);
    double coefficient[3];
    double s1[3] = {0.0, 0.0, 0.0};
    double s2[3] = {0.0, 0.0, 0.0};
    for (int m = 0; m < 3; ++m)
        coefficient[m] = 2.0 * std::cos(2.0 * std::numbers::pi * (k - 1 + m) / double(n));
    for (const double x : samples) {
        for (int m = 0; m < 3; ++m) {
            const double s = x + coefficient[m] * s1[m] - s2[m];
            s2[m] = s1[m];
            s1[m] = s;
        }
    }
    double power = 0.0;
    for (int m = 0; m < 3; ++m)
        power += s1[m] * s1[m] + s2[m] * s2[m] - coefficient[m] * s1[m] * s2[m];
    // A real tone shows in the mirrored bins as well.
    return 2.0 * power / (double(n) * double(n));
}

// Whether the strongest component within about 100 Hz of nominal holds its
// level through the block and lies within kMaxFrequencyError of nominal.
// Its frequency comes from how far its phase advances between two
// overlapping Hann-windowed stretches of the block, a fifth of the block
// apart; the window keeps the other tone and the mirrored frequency out.
// Voices and glides swell, fade and slide, so few of their blocks pass.
bool steadyNearNominal(const QList<double>& block, int sampleRate, double nominal)
{
    const qsizetype n = block.size();
    const qsizetype lag = n / 5;
    const qsizetype m = n - lag;
    const double w0 = 2.0 * std::numbers::pi * nominal / sampleRate;
    const std::complex<double> step = std::polar(1.0, -w0);
    const std::complex<double> windowStep = std::polar(1.0, 2.0 * std::numbers::pi / double(m - 1));
    std::complex<double> rotor = 1.0;
    std::complex<double> windowRotor = 1.0;
    std::complex<double> early = 0.0;
    std::complex<double> late = 0.0;
    std::complex<double> earlyTime = 0.0;
    std::complex<double> lateTime = 0.0;
    for (qsizetype i = 0; i < m; ++i) {
        const double w = 0.5 - 0.5 * windowRotor.real();
        const std::complex<double> e = w * block[i] * rotor;
        const std::complex<double> l = w * block[i + lag] * rotor;
        early += e;
        late += l;
        earlyTime += double(i) * e;
        lateTime += double(i) * l;
        rotor *= step;
        windowRotor *= windowStep;
    }
    const double a = std::abs(early);
    const double b = std::abs(late);
    if (a == 0.0 || b == 0.0 || std::min(a, b) < kMinSteadiness * std::max(a, b))
        return false;
    // Where in each stretch the tone sits: for a tone that fills the block
    // both centres are alike and the stretches lie lag apart; a tone that
    // starts or ends inside it brings them closer.
    const double span = double(lag) + (lateTime / late).real() - (earlyTime / early).real();
    if (span < 0.25 * double(lag))
        return false;
    // Advance beyond what the nominal frequency gives, within ±π.
    const double advance = std::arg(late * std::conj(early) * std::polar(1.0, -w0 * double(lag)));
    const double frequency = nominal + advance * sampleRate / (2.0 * std::numbers::pi * span);
    return std::abs(frequency - nominal) <= kMaxFrequencyError * nominal;
}

// Mean-square value of a block, through a low-pass at 4 kHz when the rate
// allows one: hiss above the telephone band should not hide a key.
double bandEnergy(const QList<double>& samples, int sampleRate)
{
    double energy = 0.0;
    if (sampleRate <= 10000) {
        for (const double x : samples)
            energy += x * x;
        return energy / double(samples.size());
    }
    // Butterworth low-pass at 4 kHz (bilinear transform).
    const double w = std::tan(std::numbers::pi * 4000.0 / sampleRate);
    const double norm = 1.0 / (1.0 + std::numbers::sqrt2 * w + w * w);
    const double b0 = w * w * norm;
    const double a1 = 2.0 * (w * w - 1.0) * norm;
    const double a2 = (1.0 - std::numbers::sqrt2 * w + w * w) * norm;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
    for (const double x : samples) {
        const double y = b0 * (x + 2.0 * x1 + x2) - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        energy += y * y;
    }
    return energy / double(samples.size());
}

// Index of the strongest of four powers (the lower one on a tie) and the
// strongest of the other three.
int strongest(const double (&p)[4], double* second)
{
    int best = 0;
    for (int i = 1; i < 4; ++i) {
        if (p[i] > p[best])
            best = i;
    }
    *second = 0.0;
    for (int i = 0; i < 4; ++i) {
        if (i != best)
            *second = std::max(*second, p[i]);
    }
    return best;
}

template<typename T>
void mixDown(const QAudioBuffer& buffer, int channels, double scale, double offset, QList<double>* out)
{
    const T* data = buffer.constData<T>();
    const qsizetype frames = buffer.frameCount();
    out->reserve(frames);
    for (qsizetype f = 0; f < frames; ++f) {
        double sum = 0.0;
        for (int c = 0; c < channels; ++c)
            sum += (double(data[f * channels + c]) - offset) * scale;
        out->append(sum / channels);
    }
}

} // namespace

DtmfDetector::DtmfDetector(QObject* parent)
    : QObject(parent)
{
}

int DtmfDetector::sampleRate() const
{
    return m_sampleRate;
}

void DtmfDetector::setSampleRate(int rate)
{
    if (rate < 1 || rate == m_sampleRate)
        return;
    m_sampleRate = rate;
    m_pending.clear();
    ++m_generation;
}

void DtmfDetector::reset()
{
    m_pending.clear();
    ++m_generation;
    sequence.clear();
    m_lastDigit = 0;
    m_silentBlocks = 0;
}

int DtmfDetector::blockSize(int sampleRate)
{
    return std::max(160, sampleRate / 43);
}

void DtmfDetector::addSamples(const QList<double>& samples)
{
    m_pending.append(samples);
    const int size = blockSize(m_sampleRate);
    // A receiver of the signals may reset the detector or change its rate,
    // which discards what is pending; analysis then ends with this feed.
    const quint64 generation = m_generation;
    qsizetype offset = 0;
    while (m_pending.size() - offset >= size) {
        const QList<double> block = m_pending.mid(offset, size);
        offset += size;
        const char key = analyseBlock(block, m_sampleRate, minLevel);
        if (key == 0) {
            // One quiet block inside a held tone is not yet a release.
            if (++m_silentBlocks >= 2)
                m_lastDigit = 0;
            continue;
        }
        m_silentBlocks = 0;
        if (key == m_lastDigit)
            continue;
        m_lastDigit = key;
        sequence.append(QLatin1Char(key));
        if (sequence.size() > kMaxSequence)
            sequence.remove(0, sequence.size() - kMaxSequence);
        emit digitDetected(key);
        if (m_generation != generation)
            return;
        emit sequenceReceived(sequence);
        if (m_generation != generation)
            return;
    }
    m_pending.remove(0, offset);
}

void DtmfDetector::addBuffer(const QAudioBuffer& buffer)
{
    if (!buffer.isValid() || buffer.frameCount() < 1)
        return;
    const QAudioFormat format = buffer.format();
    const int channels = std::max(1, format.channelCount());
    if (format.sampleRate() > 0)
        setSampleRate(format.sampleRate());
    QList<double> mono;
    switch (format.sampleFormat()) {
    case QAudioFormat::UInt8:
        mixDown<quint8>(buffer, channels, 1.0 / 128.0, 128.0, &mono);
        break;
    case QAudioFormat::Int16:
        mixDown<qint16>(buffer, channels, 1.0 / 32768.0, 0.0, &mono);
        break;
    case QAudioFormat::Int32:
        mixDown<qint32>(buffer, channels, 1.0 / 2147483648.0, 0.0, &mono);
        break;
    case QAudioFormat::Float:
        mixDown<float>(buffer, channels, 1.0, 0.0, &mono);
        break;
    default:
        return;
    }
    addSamples(mono);
}

char DtmfDetector::analyseBlock(const QList<double>& block, int sampleRate, double minLevel)
{
    if (sampleRate < 1 || block.isEmpty())
        return 0;
    double peak = 0.0;
    for (const double x : block)
        peak = std::max(peak, std::abs(x));
    if (minLevel > peak)
        return 0;

    double low[4];
    double high[4];
    for (int i = 0; i < 4; ++i) {
        low[i] = goertzel(block, sampleRate, kLow[i]);
        high[i] = goertzel(block, sampleRate, kHigh[i]);
    }
    double lowSecond = 0.0;
    double highSecond = 0.0;
    const int row = strongest(low, &lowSecond);
    const int column = strongest(high, &highSecond);
    const double rowPower = low[row];
    const double columnPower = high[column];
    if (rowPower < 1e-9 || columnPower < 1e-9)
        return 0;
    // Each tone must stand clear of the rest of its group.
    if (4.0 * lowSecond > rowPower || 4.0 * highSecond > columnPower)
        return 0;
    // The levels of the two tones, for the twist and for their share of the
    // block, are taken over three bins: the nearest bin alone loses a tone
    // that lies far off its centre.
    const double rowEnergy = toneEnergy(block, sampleRate, kLow[row]);
    const double columnEnergy = toneEnergy(block, sampleRate, kHigh[column]);
    const double twist = rowEnergy / columnEnergy;
    if (twist < 0.05 || twist > 20.0)
        return 0;
    // Music and speech can put the strongest energy of each group near a key
    // frequency, but then much of the block lies elsewhere; a key's two tones
    // carry nearly all of it.
    const double meanSquare = bandEnergy(block, sampleRate);
    if (rowEnergy + columnEnergy < kToneShare * meanSquare)
        return 0;
    if (!steadyNearNominal(block, sampleRate, kLow[row]) || !steadyNearNominal(block, sampleRate, kHigh[column]))
        return 0;
    return kGrid[4 * row + column];
}

QString DtmfDetector::keypad()
{
    return QString::fromLatin1(kGrid);
}

QList<double> DtmfDetector::generateTone(char digit, int sampleRate, int durationMs, double amplitude)
{
    const char* found = digit != 0 ? std::strchr(kGrid, digit) : nullptr;
    if (!found || sampleRate < 1 || durationMs < 1)
        return {};
    const int index = int(found - kGrid);
    // 32 bits hold no more than about 89 s at 48 kHz.
    const qint64 product = qint64(durationMs) * sampleRate;
    if (product < 1000)
        return {};
    const qint64 count = product / 1000;
    // An absurd length is refused rather than allocated.
    if (count > std::numeric_limits<int>::max())
        return {};
    const double low = kLow[index / 4];
    const double high = kHigh[index % 4];
    QList<double> samples;
    samples.reserve(count);
    for (qint64 i = 0; i < count; ++i) {
        const double t = double(i) / sampleRate;
        samples.append((std::sin(2.0 * std::numbers::pi * low * t) + std::sin(2.0 * std::numbers::pi * high * t))
                       * amplitude * 0.5);
    }
    return samples;
}

QStringList DtmfDetector::parseSequences(const QString& text)
{
    QStringList result;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString s = part.trimmed().toUpper();
        if (!s.isEmpty())
            result.append(s);
    }
    return result;
}

bool DtmfDetector::matches(const QString& received, const QString& sequences)
{
    const QStringList list = parseSequences(sequences);
    if (list.isEmpty())
        return false;
    const QString heard = received.toUpper();
    for (const QString& s : list) {
        if (heard.endsWith(s))
            return true;
    }
    return false;
}
