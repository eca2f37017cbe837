#include "outputs/pcmconverter.h"

#include "engine/audiolevels.h"

#include <QAudioBuffer>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>

namespace {

// Filter length in input samples and Kaiser window: images stay about
// 100 dB down for tones up to 20 kHz between 44.1 and 48 kHz.
constexpr int kFilterSize = 64;
constexpr double kKaiserBeta = 10.0;
constexpr double kCutoff = 0.91;

// One frame of input mapped onto the output channels: mono is spread to
// every channel, a downmix to mono averages, and otherwise channel c takes
// input channel c (wrapping when the input has fewer).
void mapFrame(const qint16* in, int inChannels, qint16* out, int outChannels)
{
    if (inChannels == outChannels) {
        std::copy(in, in + outChannels, out);
    } else if (outChannels == 1) {
        qint32 sum = 0;
        for (int c = 0; c < inChannels; ++c)
            sum += in[c];
        out[0] = qint16(sum / inChannels);
    } else {
        for (int c = 0; c < outChannels; ++c)
            out[c] = in[c % inChannels];
    }
}

SwrContext* makeResampler(int inRate, int outRate, int channels)
{
    // The filter grows with the ratio: a rate no decoder or device gives
    // would cost more memory and time than the stream is worth.
    if (inRate > 64 * outRate)
        return nullptr;
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    SwrContext* s = nullptr;
    if (swr_alloc_set_opts2(&s, &layout, AV_SAMPLE_FMT_S16, outRate, &layout, AV_SAMPLE_FMT_S16, inRate, 0, nullptr)
        < 0)
        return nullptr;
    av_opt_set_int(s, "filter_size", kFilterSize, 0);
    av_opt_set_int(s, "filter_type", SWR_FILTER_TYPE_KAISER, 0);
    av_opt_set_double(s, "kaiser_beta", kKaiserBeta, 0);
    av_opt_set_double(s, "cutoff", kCutoff, 0);
    av_opt_set_int(s, "internal_sample_fmt", AV_SAMPLE_FMT_FLTP, 0);
    if (swr_init(s) < 0)
        swr_free(&s);
    av_channel_layout_uninit(&layout);
    return s;
}

} // namespace

void PcmConverter::SwrFree::operator()(SwrContext* s) const
{
    swr_free(&s);
}

PcmConverter::PcmConverter(int sampleRate, int channels)
{
    setTarget(sampleRate, channels);
}

PcmConverter::~PcmConverter() = default;

void PcmConverter::setTarget(int sampleRate, int channels)
{
    m_rate = std::max(sampleRate, 1);
    m_channels = std::max(channels, 1);
    reset();
}

void PcmConverter::reset()
{
    m_rawFormat = QAudioFormat();
    m_carry.clear();
    m_srcRate = 0;
    m_swr.reset();
    m_skip = 0;
}

QByteArray PcmConverter::convert(const QAudioBuffer& buffer)
{
    if (!buffer.isValid())
        return {};
    const QAudioFormat f = buffer.format();
    return convertPcm16(AudioLevels::toPcm16(buffer), f.sampleRate(), std::max(f.channelCount(), 1));
}

QByteArray PcmConverter::convertRaw(const QByteArray& bytes, const QAudioFormat& format)
{
    const int frameBytes = format.bytesPerFrame();
    if (!format.isValid() || frameBytes <= 0)
        return {};
    if (format != m_rawFormat) {
        m_carry.clear();
        m_rawFormat = format;
    }
    QByteArray data = m_carry + bytes;
    const qsizetype whole = data.size() - data.size() % frameBytes;
    m_carry = data.mid(whole);
    data.truncate(whole);
    if (data.isEmpty())
        return {};
    const int channels = std::max(format.channelCount(), 1);
    if (format.sampleFormat() == QAudioFormat::Int16)
        return convertPcm16(data, format.sampleRate(), channels);
    return convertPcm16(AudioLevels::toPcm16(QAudioBuffer(data, format)), format.sampleRate(), channels);
}

// A new source rate: the previous stretch's held-back tail goes out first
// and as many frames of the new stretch are dropped, so the delay stays what
// it was; a resampled stretch is primed with silence so that its own delay
// is filled before its first frame.
void PcmConverter::startStretch(int sampleRate, QByteArray& out)
{
    if (m_swr) {
        out = resample(nullptr, 0);
        m_skip += out.size() / (2 * m_channels);
        m_swr.reset();
    }
    m_srcRate = sampleRate;
    if (sampleRate == m_rate)
        return;
    m_swr.reset(makeResampler(sampleRate, m_rate, m_channels));
    if (!m_swr)
        return;
    // Enough silence to fill the whole filter; what comes out of it is dropped
    // and what stays inside precedes the stretch.
    const int prime = kFilterSize * std::max(1, (sampleRate + m_rate - 1) / m_rate) + 16;
    const QVector<qint16> silence(qsizetype(prime) * m_channels, 0);
    resample(silence.constData(), prime);
}

QByteArray PcmConverter::resample(const qint16* in, qsizetype frames)
{
    const int room = swr_get_out_samples(m_swr.get(), int(frames));
    if (room <= 0)
        return {};
    QByteArray out(qsizetype(room) * 2 * m_channels, Qt::Uninitialized);
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    const auto* i = reinterpret_cast<const uint8_t*>(in);
    const int got = swr_convert(m_swr.get(), &o, room, in ? &i : nullptr, int(frames));
    out.truncate(qsizetype(std::max(got, 0)) * 2 * m_channels);
    return out;
}

void PcmConverter::dropSkipped(QByteArray& out)
{
    const qsizetype frameBytes = 2 * m_channels;
    const qsizetype drop = std::min<qsizetype>(m_skip, out.size() / frameBytes);
    if (drop > 0) {
        out.remove(0, drop * frameBytes);
        m_skip -= drop;
    }
}

QByteArray PcmConverter::convertPcm16(const QByteArray& pcm, int sampleRate, int channels)
{
    channels = std::max(channels, 1);
    const qsizetype frames = pcm.size() / (2 * channels);
    if (frames <= 0 || sampleRate <= 0)
        return {};
    const auto* in = reinterpret_cast<const qint16*>(pcm.constData());

    QByteArray tail;
    if (sampleRate != m_srcRate)
        startStretch(sampleRate, tail);

    QByteArray out;
    if (sampleRate == m_rate && channels == m_channels && m_skip == 0) {
        out = pcm.left(frames * 2 * channels);
    } else if (sampleRate == m_rate || m_swr) {
        const int outCh = m_channels;
        const qint16* frameData = in;
        if (channels != outCh) {
            m_scratch.resize(frames * outCh);
            for (qsizetype i = 0; i < frames; ++i)
                mapFrame(in + i * channels, channels, m_scratch.data() + i * outCh, outCh);
            frameData = m_scratch.constData();
        }
        if (m_swr)
            out = resample(frameData, frames);
        else
            out = QByteArray(reinterpret_cast<const char*>(frameData), frames * 2 * outCh);
        dropSkipped(out);
    }
    return tail.isEmpty() ? out : tail + out;
}
