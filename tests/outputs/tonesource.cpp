#include "tonesource.h"

#include <QtMath>

ToneSource::ToneSource(int sampleRate, int channels, QAudioFormat::SampleFormat format, double frequencyHz,
                       double amplitude)
    : m_frequency(frequencyHz)
    , m_amplitude(amplitude)
{
    m_format.setSampleRate(sampleRate);
    m_format.setChannelCount(channels);
    m_format.setSampleFormat(format);
}

QByteArray ToneSource::nextBytes(int frames)
{
    const int channels = m_format.channelCount();
    QByteArray data(qsizetype(frames) * m_format.bytesPerFrame(), Qt::Uninitialized);
    char* p = data.data();
    for (int i = 0; i < frames; ++i, ++m_frame) {
        const double v = m_amplitude * qSin(2.0 * M_PI * m_frequency * double(m_frame) / m_format.sampleRate());
        for (int c = 0; c < channels; ++c) {
            switch (m_format.sampleFormat()) {
            case QAudioFormat::UInt8:
                *reinterpret_cast<quint8*>(p) = quint8(qRound(v * 127.0) + 128);
                break;
            case QAudioFormat::Int16:
                *reinterpret_cast<qint16*>(p) = qint16(qRound(v * 32767.0));
                break;
            case QAudioFormat::Int32:
                *reinterpret_cast<qint32*>(p) = qint32(qRound64(v * 2147483647.0));
                break;
            default:
                *reinterpret_cast<float*>(p) = float(v);
                break;
            }
            p += m_format.bytesPerSample();
        }
    }
    return data;
}

QAudioBuffer ToneSource::next(int frames)
{
    return QAudioBuffer(nextBytes(frames), m_format);
}

TonePump::TonePump(ToneSource* source, int bufferMs, double speed, QObject* parent)
    : QObject(parent)
    , m_source(source)
    , m_frames(source->format().sampleRate() * bufferMs / 1000)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(std::max(1, int(bufferMs / speed)));
    connect(&m_timer, &QTimer::timeout, this, [this] {
        ++m_sent;
        emit buffer(m_source->next(m_frames));
    });
}
