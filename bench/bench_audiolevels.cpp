// Peak measurement and 16-bit conversion over one hour of 44.1 kHz stereo,
// in buffers of the size the media framework delivers (about 4096 frames),
// for every sample format.
#include "engine/audiolevels.h"

#include <QAudioBuffer>
#include <QAudioFormat>
#include <QCoreApplication>
#include <QElapsedTimer>

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
    return 0;
}
