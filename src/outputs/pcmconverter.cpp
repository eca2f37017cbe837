#include "outputs/pcmconverter.h"

#include "engine/audiolevels.h"

#include <QAudioBuffer>

#include <algorithm>

namespace {

// One frame of input mapped onto the output channels: mono is spread to
// every channel, a downmix to mono averages, and otherwise channel c takes
// input channel c (wrapping when the input has fewer).
void mapFrame(const qint16* in, int inChannels, qint32* out, int outChannels)
{
    if (inChannels == outChannels) {
        for (int c = 0; c < outChannels; ++c)
            out[c] = in[c];
    } else if (outChannels == 1) {
        qint32 sum = 0;
        for (int c = 0; c < inChannels; ++c)
            sum += in[c];
        out[0] = sum / inChannels;
    } else {
        for (int c = 0; c < outChannels; ++c)
            out[c] = in[c % inChannels];
    }
}

} // namespace

PcmConverter::PcmConverter(int sampleRate, int channels)
{
    setTarget(sampleRate, channels);
}

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
    m_pos = 0;
    m_prev.clear();
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

QByteArray PcmConverter::convertPcm16(const QByteArray& pcm, int sampleRate, int channels)
{
    channels = std::max(channels, 1);
    const qsizetype frames = pcm.size() / (2 * channels);
    if (frames <= 0 || sampleRate <= 0)
        return {};
    const auto* in = reinterpret_cast<const qint16*>(pcm.constData());

    if (sampleRate == m_rate && channels == m_channels) {
        m_srcRate = 0; // a later stretch at another rate starts afresh
        m_prev.clear();
        return pcm.left(frames * 2 * channels);
    }

    const int outCh = m_channels;
    if (sampleRate == m_rate) {
        m_srcRate = 0;
        m_prev.clear();
        QByteArray out(frames * outCh * 2, Qt::Uninitialized);
        auto* o = reinterpret_cast<qint16*>(out.data());
        QVector<qint32> frame(outCh);
        for (qsizetype i = 0; i < frames; ++i) {
            mapFrame(in + i * channels, channels, frame.data(), outCh);
            for (int c = 0; c < outCh; ++c)
                o[i * outCh + c] = qint16(frame[c]);
        }
        return out;
    }

    // Linear interpolation between neighbouring frames; the position is kept
    // as an exact fraction so that long runs do not drift.
    if (sampleRate != m_srcRate) {
        m_srcRate = sampleRate;
        m_pos = 0;
        m_prev.clear();
    }
    const bool havePrev = !m_prev.isEmpty();
    const qsizetype total = frames + (havePrev ? 1 : 0);
    m_scratch.resize(total * outCh);
    qint32* e = m_scratch.data();
    if (havePrev)
        std::copy(m_prev.cbegin(), m_prev.cend(), e);
    for (qsizetype i = 0; i < frames; ++i)
        mapFrame(in + i * channels, channels, e + (i + (havePrev ? 1 : 0)) * outCh, outCh);

    const qint64 den = m_rate;
    const qint64 step = sampleRate;
    const qint64 end = qint64(total - 1) * den; // positions up to the last frame pair
    const qint64 count = m_pos < end ? (end - m_pos + step - 1) / step : 0;
    QByteArray out(count * outCh * 2, Qt::Uninitialized);
    auto* o = reinterpret_cast<qint16*>(out.data());
    for (qint64 k = 0; k < count; ++k, m_pos += step) {
        const qint64 i = m_pos / den;
        const qint64 frac = m_pos % den;
        const qint32* a = e + i * outCh;
        const qint32* b = a + outCh;
        for (int c = 0; c < outCh; ++c) {
            const qint64 v = (qint64(a[c]) * (den - frac) + qint64(b[c]) * frac) / den;
            *o++ = qint16(std::clamp<qint64>(v, -32768, 32767));
        }
    }
    m_pos -= end;
    m_prev.assign(e + (total - 1) * outCh, e + total * outCh);
    return out;
}
