#pragma once

#include <QAudioBuffer>
#include <QAudioFormat>
#include <QObject>
#include <QList>
#include <QTimer>

// A sine in engine-style buffers of any sample format, rate and channel
// count, continuous from one buffer to the next.
class ToneSource
{
public:
    ToneSource(int sampleRate, int channels, QAudioFormat::SampleFormat format = QAudioFormat::Int16,
               double frequencyHz = 1000.0, double amplitude = 0.5);

    QAudioFormat format() const { return m_format; }
    QAudioBuffer next(int frames);
    // Raw bytes of the same signal, as a capture device would deliver them.
    QByteArray nextBytes(int frames);
    qint64 framesMade() const { return m_frame; }

    // The frequency of a tone in an audio file, decoded by ffmpeg to mono
    // at `sampleRate`, from its zero crossings after the first half second
    // (tones above 50 Hz); 0 when it cannot be decoded.
    static double frequencyIn(const QString& path, int sampleRate);

private:
    QAudioFormat m_format;
    double m_frequency;
    double m_amplitude;
    qint64 m_frame = 0;
};

// Feeds a receiver's pushAudio like the engine does: one buffer every
// interval, `speed` times faster than real time when asked.
class TonePump : public QObject
{
    Q_OBJECT

public:
    TonePump(ToneSource* source, int bufferMs = 40, double speed = 1.0, QObject* parent = nullptr);
    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }
    qint64 buffersSent() const { return m_sent; }

signals:
    void buffer(const QAudioBuffer& buffer);

private:
    ToneSource* m_source;
    int m_frames;
    QTimer m_timer;
    qint64 m_sent = 0;
};

// The process ids of this process's ffmpeg children: the outputs' encoders,
// for a test to stop or kill one as a hang or a crash would.
QList<qint64> ffmpegChildren();
