#pragma once

#include "automation/dtmfdetector.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QElapsedTimer>
#include <QMediaPlayer>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QAudioBuffer;
class QAudioBufferOutput;
class QAudioSource;
class QIODevice;

// Listens for DTMF tones on the source chosen in the settings (microphone,
// line input or a network stream) and hands the audio to its detector. A
// network stream that fails, ends or stops sending is opened again, after a
// pause that grows while it stays away.
class DtmfMonitor : public QObject
{
    Q_OBJECT

public:
    enum Source { Off = 0, Microphone = 1, LineIn = 2, NetworkStream = 3 };

    // A stream that sends no audio for this long is taken as lost.
    static constexpr int kStallMs = 10000;
    // The pause before the first new try, doubled after each failed one.
    static constexpr int kFirstRetryMs = 2000;
    static constexpr int kLongestRetryMs = 60000;

    explicit DtmfMonitor(QObject* parent = nullptr);
    ~DtmfMonitor() override;

    static Source sourceFromSettings();
    static QString sourceName(Source source);

    // Its sequence is read and emptied by whoever acts on the digits.
    DtmfDetector& detector() { return m_detector; }
    bool isRunning() const { return m_running; }

    void feedMono(const QList<double>& samples);
    // Captured bytes in the given format; an incomplete last frame waits
    // for the bytes that complete it.
    void feedInput(const QByteArray& bytes, const QAudioFormat& format);

signals:
    void digitDetected(char digit);
    void sequenceReceived(const QString& sequence);
    void logMessage(const QString& text);

public slots:
    void start();
    void stop();

private slots:
    void readAudio();
    void onStreamBuffer(const QAudioBuffer& buffer);

private:
    void startStream();
    void openStream();
    void closeStream();
    void streamLost(const QString& why);
    void onStreamStatus(QMediaPlayer::MediaStatus status);
    void startInput(Source source);
    void prepareDetector();

    DtmfDetector m_detector;
    QAudioSource* m_source = nullptr;
    QPointer<QIODevice> m_input; // the source deletes it when its sound server goes
    QMediaPlayer* m_player = nullptr;
    QAudioBufferOutput* m_bufferOutput = nullptr;
    QString m_streamUrl;
    QTimer m_retry;
    QTimer m_stallCheck;
    // Since the last audio of the stream, or since it was opened.
    QElapsedTimer m_sinceAudio;
    // Since the stream came back, for a pause that only shrinks again once
    // it has stayed a while.
    QElapsedTimer m_sinceBack;
    int m_retryMs = kFirstRetryMs;
    bool m_streamLive = false;
    bool m_streamLost = false;
    bool m_running = false;
    QAudioFormat m_format;
    QByteArray m_partialFrame;
    QAudioFormat m_partialFormat;
};
