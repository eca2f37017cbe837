#include "audiolevels.h"

#include <QAudioBuffer>
#include <QtEndian>

#include <cmath>
#include <cstring>

namespace {

// Samples usable in a buffer: frames × channels, but never more than the
// data holds.
qsizetype sampleCount(const QAudioBuffer& buffer, int channels, qsizetype bytesPerSample)
{
    const qsizetype wanted = qsizetype(buffer.frameCount()) * channels;
    return qMin(wanted, buffer.byteCount() / bytesPerSample);
}

// Magnitude of one sample in its own integer or float domain.
inline qint64 magnitude(quint8 s) { return s >= 128 ? s - 128 : 128 - s; }
inline qint64 magnitude(qint16 s) { return s < 0 ? -qint64(s) : qint64(s); }
inline qint64 magnitude(qint32 s) { return s < 0 ? -qint64(s) : qint64(s); }
inline float magnitude(float s) { return std::fabs(s); }

template <typename T, typename M>
LevelPeaks peaksOf(const QAudioBuffer& buffer, int channels, double fullScale)
{
    const T* data = buffer.constData<T>();
    const qsizetype n = sampleCount(buffer, channels, sizeof(T));
    M left = 0;
    M right = 0;
    if (channels == 1) {
        for (qsizetype i = 0; i < n; ++i) {
            const M m = magnitude(data[i]);
            if (m > left)
                left = m;
        }
        right = left;
    } else {
        const qsizetype end = n - n % channels; // whole frames only
        for (qsizetype i = 0; i < end; i += channels) {
            const M l = magnitude(data[i]);
            if (l > left)
                left = l;
            const M r = magnitude(data[i + 1]);
            if (r > right)
                right = r;
        }
    }
    LevelPeaks p;
    p.left = qMin(1.0, double(left) / fullScale);
    p.right = qMin(1.0, double(right) / fullScale);
    p.valid = true;
    return p;
}

inline qint16 roundToPcm16(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 32767.0)
        return 32767;
    if (v <= -32768.0)
        return -32768;
    // Truncation after adding a half of the sign's direction rounds halves
    // away from zero.
    return qint16(v >= 0.0 ? v + 0.5 : v - 0.5);
}

template <typename T, typename F>
void convert(const T* in, qsizetype n, char* out, F normalise)
{
    for (qsizetype i = 0; i < n; ++i)
        qToLittleEndian<qint16>(roundToPcm16(normalise(in[i]) * 32767.0), out + 2 * i);
}

} // namespace

LevelPeaks AudioLevels::peakLevels(const QAudioBuffer& buffer)
{
    const QAudioFormat format = buffer.format();
    const int channels = format.channelCount();
    if (!buffer.isValid() || buffer.frameCount() < 1 || buffer.byteCount() < 1 || channels < 1)
        return {};
    switch (format.sampleFormat()) {
    case QAudioFormat::UInt8:
        return peaksOf<quint8, qint64>(buffer, channels, 128.0);
    case QAudioFormat::Int16:
        return peaksOf<qint16, qint64>(buffer, channels, 32768.0);
    case QAudioFormat::Int32:
        return peaksOf<qint32, qint64>(buffer, channels, 2147483648.0);
    case QAudioFormat::Float:
        return peaksOf<float, float>(buffer, channels, 1.0);
    default:
        return {};
    }
}

double AudioLevels::toDbfs(double x)
{
    if (!(x > 0.0))
        return -100.0;
    return qMax(-100.0, 20.0 * std::log10(x));
}

QByteArray AudioLevels::toPcm16(const QAudioBuffer& buffer)
{
    const QAudioFormat format = buffer.format();
    const int channels = qMax(1, format.channelCount());
    if (!buffer.isValid() || buffer.frameCount() < 1 || buffer.byteCount() < 1)
        return {};

    const QAudioFormat::SampleFormat sf = format.sampleFormat();
    qsizetype bytesPerSample = 0;
    switch (sf) {
    case QAudioFormat::UInt8: bytesPerSample = 1; break;
    case QAudioFormat::Int16: bytesPerSample = 2; break;
    case QAudioFormat::Int32: bytesPerSample = 4; break;
    case QAudioFormat::Float: bytesPerSample = 4; break;
    default: return {};
    }

    const qsizetype n = sampleCount(buffer, channels, bytesPerSample);
    QByteArray out(n * 2, Qt::Uninitialized);
    char* dst = out.data();
    switch (sf) {
    case QAudioFormat::UInt8:
        convert(buffer.constData<quint8>(), n, dst, [](quint8 s) { return (int(s) - 128) / 128.0; });
        break;
    case QAudioFormat::Int16:
        if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
            std::memcpy(dst, buffer.constData<char>(), size_t(n) * 2);
        } else {
            const qint16* in = buffer.constData<qint16>();
            for (qsizetype i = 0; i < n; ++i)
                qToLittleEndian<qint16>(in[i], dst + 2 * i);
        }
        break;
    case QAudioFormat::Int32:
        convert(buffer.constData<qint32>(), n, dst, [](qint32 s) { return s / 2147483648.0; });
        break;
    case QAudioFormat::Float:
        convert(buffer.constData<float>(), n, dst, [](float s) { return double(s); });
        break;
    default:
        break;
    }
    return out;
}
