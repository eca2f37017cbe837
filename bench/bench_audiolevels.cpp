// Peak measurement and 16-bit conversion over one hour of 44.1 kHz stereo,
// in buffers of the size the media framework delivers (about 4096 frames),
// for every sample format. Then the outputs' rate conversion both ways
// between 44.1 and 48 kHz: the worst image below a 1-20 kHz tone sweep, and
// the time one output spends converting an hour of stereo.
#include "engine/audiolevels.h"
#include "outputs/pcmconverter.h"

#include <QAudioBuffer>
#include <QAudioFormat>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kFrames = 4096;
constexpr qint64 kHourFrames = qint64(kRate) * 3600;

QAudioBuffer makeBuffer(QAudioFormat::SampleFormat sf)
{
    QAudioFormat f;
    f.setSampleFormat(sf);
    f.setChannelCount(kChannels);
    f.setSampleRate(kRate);
    QByteArray raw(f.bytesForFrames(kFrames), Qt::Uninitialized);
    for (int i = 0; i < kFrames * kChannels; ++i) {
        const double v = 0.8 * std::sin(i * 0.0131);
        switch (sf) {
        case QAudioFormat::UInt8: reinterpret_cast<quint8*>(raw.data())[i] = quint8(128 + v * 127); break;
        case QAudioFormat::Int16: reinterpret_cast<qint16*>(raw.data())[i] = qint16(v * 32767); break;
        case QAudioFormat::Int32: reinterpret_cast<qint32*>(raw.data())[i] = qint32(v * 2147483647.0); break;
        case QAudioFormat::Float: reinterpret_cast<float*>(raw.data())[i] = float(v); break;
        default: break;
        }
    }
    return QAudioBuffer(raw, f);
}

// Level in dB at `freq` of one channel, Blackman-Harris windowed.
double levelAt(const QVector<double>& x, double freq, int rate)
{
    const qsizetype n = x.size();
    const double w = 2 * M_PI * freq / rate;
    double re = 0, im = 0, sum = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const double t = 2 * M_PI * double(i) / double(n - 1);
        const double win = 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
        re += x[i] * win * std::cos(w * double(i));
        im -= x[i] * win * std::sin(w * double(i));
        sum += win;
    }
    return 20 * std::log10(std::max(std::hypot(re, im) * 2 / sum, 1e-12));
}

// Worst image (dB below the tone) over tones from 1 to 20 kHz.
double worstImage(int inRate, int outRate, double* worstFreq)
{
    double worst = -300;
    for (int f = 1000; f <= 20000; f += 500) {
        PcmConverter conv(outRate, 1);
        QByteArray in(inRate * 2, Qt::Uninitialized); // one second
        auto* s = reinterpret_cast<qint16*>(in.data());
        for (int i = 0; i < inRate; ++i)
            s[i] = qint16(std::lrint(0.5 * 32767 * std::sin(2 * M_PI * f * double(i) / inRate)));
        const QByteArray out = conv.convertPcm16(in, inRate, 1);
        const auto* o = reinterpret_cast<const qint16*>(out.constData());
        const qsizetype frames = out.size() / 2;
        // Leave out the edges, where the tone starts and stops.
        QVector<double> x;
        for (qsizetype i = frames / 8; i < frames - frames / 8; ++i)
            x << o[i] / 32768.0;
        const double tone = levelAt(x, f, outRate);
        // The spectral copies around the input rate, folded into the output band.
        for (double image : {double(inRate - f), double(inRate + f)}) {
            while (image > outRate / 2.0)
                image = std::abs(image - outRate);
            if (std::abs(image - f) < 50 || image < 20)
                continue;
            const double rel = levelAt(x, image, outRate) - tone;
            if (rel > worst) {
                worst = rel;
                *worstFreq = f;
            }
        }
    }
    return worst;
}

void benchConverter(int inRate, int outRate, QAudioFormat::SampleFormat sf, const char* name)
{
    QAudioFormat f;
    f.setSampleFormat(sf);
    f.setChannelCount(kChannels);
    f.setSampleRate(inRate);
    QByteArray raw(f.bytesForFrames(kFrames), Qt::Uninitialized);
    for (int i = 0; i < kFrames; ++i) {
        const double v = 0.5 * std::sin(2 * M_PI * 1000.0 * i / inRate);
        for (int c = 0; c < kChannels; ++c) {
            if (sf == QAudioFormat::Float)
                reinterpret_cast<float*>(raw.data())[i * kChannels + c] = float(v);
            else
                reinterpret_cast<qint16*>(raw.data())[i * kChannels + c] = qint16(v * 32767);
        }
    }
    const QAudioBuffer b(raw, f);
    PcmConverter conv(outRate, kChannels);
    const qint64 buffers = qint64(inRate) * 3600 / kFrames;
    qint64 bytes = 0;
    QElapsedTimer t;
    t.start();
    for (qint64 i = 0; i < buffers; ++i)
        bytes += conv.convert(b).size();
    const double ms = t.nsecsElapsed() / 1e6;
    double worstFreq = 0;
    const double image = worstImage(inRate, outRate, &worstFreq);
    std::printf("%5d -> %5d %-5s convert %8.1f ms/hour   worst image %6.1f dB (tone %.0f Hz)   (%lld bytes)\n",
                inRate, outRate, name, ms, image, worstFreq, static_cast<long long>(bytes));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 buffers = kHourFrames / kFrames;
    std::printf("one hour of %d Hz stereo = %lld buffers of %d frames\n", kRate, static_cast<long long>(buffers),
                kFrames);
    const struct { QAudioFormat::SampleFormat sf; const char* name; } formats[] = {
        {QAudioFormat::UInt8, "u8"}, {QAudioFormat::Int16, "s16"},
        {QAudioFormat::Int32, "s32"}, {QAudioFormat::Float, "float"}};
    for (const auto& fmt : formats) {
        const QAudioBuffer b = makeBuffer(fmt.sf);
        double sink = 0;
        QElapsedTimer t;
        t.start();
        for (qint64 i = 0; i < buffers; ++i) {
            const LevelPeaks p = AudioLevels::peakLevels(b);
            sink += p.left + p.right;
        }
        const double peakMs = t.nsecsElapsed() / 1e6;
        t.restart();
        qint64 bytes = 0;
        for (qint64 i = 0; i < buffers; ++i)
            bytes += AudioLevels::toPcm16(b).size();
        const double pcmMs = t.nsecsElapsed() / 1e6;
        std::printf("%-6s peakLevels %8.1f ms/hour   toPcm16 %8.1f ms/hour   (check %.1f, %lld bytes)\n", fmt.name,
                    peakMs, pcmMs, sink, static_cast<long long>(bytes));
    }
    benchConverter(44100, 48000, QAudioFormat::Int16, "s16");
    benchConverter(48000, 44100, QAudioFormat::Float, "float");
    benchConverter(44100, 48000, QAudioFormat::Float, "float");
    return 0;
}
