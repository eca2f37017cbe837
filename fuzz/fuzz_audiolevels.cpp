// Decoded audio of any sample format, rate and channel count, and raw bytes
// from a capture device, into levels and the encoders' 16-bit PCM.
#include "engine/audiolevels.h"
#include "fuzzsupport.h"
#include "outputs/pcmconverter.h"

#include <QAudioBuffer>

namespace {

const int kRates[] = {0, 8000, 11025, 22050, 44100, 48000, 96000, 192000};
const QAudioFormat::SampleFormat kFormats[] = {QAudioFormat::Unknown, QAudioFormat::UInt8, QAudioFormat::Int16,
                                               QAudioFormat::Int32, QAudioFormat::Float};

QByteArray header(quint8 format, quint8 channels, quint8 rate, quint8 target)
{
    return QByteArray(1, char(format)) + char(channels) + char(rate) + char(target);
}

} // namespace

QList<QByteArray> olFuzzSeeds()
{
    QByteArray floats;
    for (float f : {0.5f, -1.0f, 1.5f, 0.0f / 0.0f, 1.0f / 0.0f, -0.25f}) // NaN and infinity too
        floats.append(reinterpret_cast<const char*>(&f), sizeof f);
    return {header(4, 2, 4, 0x23) + floats, header(2, 1, 3, 0x11) + QByteArray("\x00\x80\xff\x7f\x01", 5),
            header(1, 6, 2, 0x42) + QByteArray(37, '\x80'), header(3, 3, 5, 0x31) + QByteArray(25, '\xff')};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    QAudioFormat format;
    format.setSampleFormat(kFormats[in.byte() % 5]);
    format.setChannelCount(in.byte() % 9);
    format.setSampleRate(kRates[in.byte() % 8]);
    const quint8 target = in.byte();
    const QByteArray bytes = in.rest();

    const QAudioBuffer buffer(bytes, format);
    (void)AudioLevels::peakLevels(buffer);
    (void)AudioLevels::toPcm16(buffer);

    PcmConverter converter(kRates[1 + (target >> 4) % 7], 1 + (target & 0x0f) % 2);
    (void)converter.convert(buffer);
    // Device bytes in uneven pieces that end inside frames.
    for (qsizetype at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 5 % 397 + 1)
        (void)converter.convertRaw(bytes.mid(at, piece), format);
    (void)converter.convertPcm16(bytes, format.sampleRate(), format.channelCount());
    return 0;
}
