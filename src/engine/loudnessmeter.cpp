#include "engine/loudnessmeter.h"

#include <QAudioBuffer>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kSilenceLufs = -70.0;
// Channel counts up to this take the unrolled path of addSamples.
constexpr int kFastChannels = 8;

double blockPower(double lufs)
{
    return std::pow(10.0, (lufs + 0.691) / 10.0);
}

// Channel weights of the 5.0 (L R C Ls Rs) and 5.1 (L R C LFE Ls Rs) layouts:
// surrounds count 1.41, the LFE not at all. Other counts weigh every channel 1.0.
QList<double> weightsFor(int channels)
{
    if (channels == 5)
        return {1.0, 1.0, 1.0, 1.41, 1.41};
    if (channels == 6)
        return {1.0, 1.0, 1.0, 0.0, 1.41, 1.41};
    return QList<double>(channels, 1.0);
}

} // namespace

void LoudnessMeter::Biquad::resize(int count)
{
    x1 = QList<double>(count, 0.0);
    x2 = QList<double>(count, 0.0);
    y1 = QList<double>(count, 0.0);
    y2 = QList<double>(count, 0.0);
}

void LoudnessMeter::reset()
{
    channels = 0;
    sampleRate = 0;
    shelf = Biquad();
    highPass = Biquad();
    channelEnergy.clear();
    channelWeight.clear();
    hopFrames = 0;
    hopFill = 0;
    hopEnergy.clear();
    blockLoudness.clear();
    peak = 0.0;
}

void LoudnessMeter::configure(int channelCount, int rate)
{
    const int ch = std::max(channelCount, 1);
    const int fs = std::max(rate, 8000);
    if (ch == channels && fs == sampleRate)
        return;
    channels = ch;
    sampleRate = fs;

    {
        const double K = std::tan(5284.078578647628 / fs);
        const double Q = 0.7071752369554196;
        const double Vh = 1.5848647011308556;
        const double Vb = 1.2587209302325617;
        const double a0 = 1.0 + K / Q + K * K;
        shelf.b0 = (Vh + Vb * K / Q + K * K) / a0;
        shelf.b1 = 2.0 * (K * K - Vh) / a0;
        shelf.b2 = (Vh - Vb * K / Q + K * K) / a0;
        shelf.a1 = 2.0 * (K * K - 1.0) / a0;
        shelf.a2 = (1.0 - K / Q + K * K) / a0;
    }
    {
        const double K = std::tan(119.8061151453059 / fs);
        const double Q = 0.5003270373238773;
        const double d = 1.0 + K / Q + K * K;
        highPass.b0 = 1.0;
        highPass.b1 = -2.0;
        highPass.b2 = 1.0;
        highPass.a1 = 2.0 * (K * K - 1.0) / d;
        highPass.a2 = (1.0 - K / Q + K * K) / d;
    }
    shelf.resize(channels);
    highPass.resize(channels);
    channelEnergy = QList<double>(channels, 0.0);
    channelWeight = weightsFor(channels);
    hopFill = 0;
    hopFrames = fs / 10;
    hopEnergy.clear();
    blockLoudness.clear();
}

void LoudnessMeter::addFrame(const double* frame)
{
    for (int c = 0; c < channels; ++c) {
        const double x = frame[c];
        const double a = std::fabs(x);
        if (a > peak)
            peak = a;
        const double y = highPass.process(c, shelf.process(c, x));
        channelEnergy[c] += y * y;
    }
    if (++hopFill >= hopFrames)
        completeHop();
}

void LoudnessMeter::completeHop()
{
    double e = 0.0;
    for (int c = 0; c < channels; ++c) {
        e += channelWeight[c] * channelEnergy[c] / double(hopFrames);
        channelEnergy[c] = 0.0;
    }
    hopEnergy.append(e);
    hopFill = 0;
    const qsizetype n = hopEnergy.size();
    if (n >= 4) {
        const double z = 0.25 * (hopEnergy[n - 4] + hopEnergy[n - 3] + hopEnergy[n - 2] + hopEnergy[n - 1]);
        blockLoudness.append(z > 0.0 ? -0.691 + 10.0 * std::log10(z) : kSilenceLufs);
    }
}

void LoudnessMeter::addSamples(const QList<double>& samples, int channelCount, int rate)
{
    configure(channelCount, rate);
    const qsizetype frames = samples.size() / channels;
    const double* p = samples.constData();
    if (channels == 1)
        addFrames<1>(p, frames);
    else if (channels == 2)
        addFrames<2>(p, frames);
    else if (channels <= kFastChannels)
        addFrames<0>(p, frames);
    else
        for (qsizetype i = 0; i < frames; ++i, p += channels)
            addFrame(p);
}

// The same arithmetic as addFrame, with the filter state held in locals
// between hops: this loop carries every sample of every analysis. A fixed
// channel count lets the compiler keep that state in registers.
template <int C>
void LoudnessMeter::addFrames(const double* p, qsizetype frames)
{
    const int n = C > 0 ? C : channels;
    double sx1[kFastChannels], sx2[kFastChannels], sy1[kFastChannels], sy2[kFastChannels];
    double hx1[kFastChannels], hx2[kFastChannels], hy1[kFastChannels], hy2[kFastChannels];
    double energy[kFastChannels];
    const auto load = [&] {
        for (int c = 0; c < n; ++c) {
            sx1[c] = shelf.x1[c], sx2[c] = shelf.x2[c], sy1[c] = shelf.y1[c], sy2[c] = shelf.y2[c];
            hx1[c] = highPass.x1[c], hx2[c] = highPass.x2[c], hy1[c] = highPass.y1[c], hy2[c] = highPass.y2[c];
            energy[c] = channelEnergy[c];
        }
    };
    const auto store = [&] {
        for (int c = 0; c < n; ++c) {
            shelf.x1[c] = sx1[c], shelf.x2[c] = sx2[c], shelf.y1[c] = sy1[c], shelf.y2[c] = sy2[c];
            highPass.x1[c] = hx1[c], highPass.x2[c] = hx2[c], highPass.y1[c] = hy1[c], highPass.y2[c] = hy2[c];
            channelEnergy[c] = energy[c];
        }
    };
    const double sb0 = shelf.b0, sb1 = shelf.b1, sb2 = shelf.b2, sa1 = shelf.a1, sa2 = shelf.a2;
    const double hb0 = highPass.b0, hb1 = highPass.b1, hb2 = highPass.b2, ha1 = highPass.a1, ha2 = highPass.a2;
    double pk = peak;
    load();
    for (qsizetype i = 0; i < frames;) {
        // Frames up to the end of the current hop, then the hop's bookkeeping.
        const qsizetype run = std::min<qsizetype>(frames - i, hopFrames - hopFill);
        for (qsizetype k = 0; k < run; ++k, p += n) {
#pragma GCC unroll 8
            for (int c = 0; c < n; ++c) {
                const double x = p[c];
                const double a = std::fabs(x);
                if (a > pk)
                    pk = a;
                const double s = sb0 * x + sb1 * sx1[c] + sb2 * sx2[c] - sa1 * sy1[c] - sa2 * sy2[c];
                sx2[c] = sx1[c];
                sx1[c] = x;
                sy2[c] = sy1[c];
                sy1[c] = s;
                const double y = hb0 * s + hb1 * hx1[c] + hb2 * hx2[c] - ha1 * hy1[c] - ha2 * hy2[c];
                hx2[c] = hx1[c];
                hx1[c] = s;
                hy2[c] = hy1[c];
                hy1[c] = y;
                energy[c] += y * y;
            }
        }
        i += run;
        hopFill += run;
        if (hopFill >= hopFrames) {
            store();
            completeHop();
            load();
        }
    }
    store();
    peak = pk;
}

void LoudnessMeter::addBuffer(const QAudioBuffer& buffer)
{
    if (!buffer.isValid() || buffer.frameCount() < 1)
        return;
    const QAudioFormat fmt = buffer.format();
    const int ch = std::max(fmt.channelCount(), 1);
    const qsizetype count = qsizetype(buffer.frameCount()) * ch;
    QList<double> samples;
    samples.reserve(count);
    switch (fmt.sampleFormat()) {
    case QAudioFormat::UInt8: {
        const quint8* s = buffer.constData<quint8>();
        for (qsizetype i = 0; i < count; ++i)
            samples.append((double(s[i]) - 128.0) * 0.0078125);
        break;
    }
    case QAudioFormat::Int16: {
        const qint16* s = buffer.constData<qint16>();
        for (qsizetype i = 0; i < count; ++i)
            samples.append(double(s[i]) * 3.0517578125e-05);
        break;
    }
    case QAudioFormat::Int32: {
        const qint32* s = buffer.constData<qint32>();
        for (qsizetype i = 0; i < count; ++i)
            samples.append(double(s[i]) * 4.656612873077393e-10);
        break;
    }
    case QAudioFormat::Float: {
        const float* s = buffer.constData<float>();
        for (qsizetype i = 0; i < count; ++i)
            samples.append(double(s[i]));
        break;
    }
    default:
        return;
    }
    addSamples(samples, ch, fmt.sampleRate());
}

double LoudnessMeter::integratedLufs() const
{
    if (blockLoudness.isEmpty())
        return kSilenceLufs;
    double sum = 0.0;
    int count = 0;
    for (double l : blockLoudness) {
        if (l > kSilenceLufs) {
            sum += blockPower(l);
            ++count;
        }
    }
    if (count == 0)
        return kSilenceLufs;
    const double m = sum / count;
    if (m <= 0.0)
        return kSilenceLufs;
    const double gate = 10.0 * std::log10(m) - 0.691;

    sum = 0.0;
    count = 0;
    for (double l : blockLoudness) {
        if (l > kSilenceLufs && l > gate - 10.0) {
            sum += blockPower(l);
            ++count;
        }
    }
    if (count == 0)
        return gate;
    const double m2 = sum / count;
    if (m2 <= 0.0)
        return gate;
    return 10.0 * std::log10(m2) - 0.691;
}

double LoudnessMeter::gainForTarget(double measuredLufs, double targetLufs, double maxDb)
{
    if (measuredLufs <= kSilenceLufs)
        return 1.0;
    double d = targetLufs - measuredLufs;
    d = std::min(d, maxDb);
    d = std::max(d, -maxDb);
    return std::pow(10.0, d / 20.0);
}

double LoudnessMeter::limitForPeak(double gain, double peakValue)
{
    if (peakValue <= 0.0)
        return gain;
    return std::min(gain, 0.999 / peakValue);
}
