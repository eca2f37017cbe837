#pragma once

#include "automation/dtmfdetector.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QObject>

class QAudioBuffer;
class QAudioBufferOutput;
class QAudioSource;
class QIODevice;
class QMediaPlayer;

// Listens for DTMF tones on the source chosen in the settings (microphone,
// line input or a network stream) and hands the audio to its detector.
class DtmfMonitor : public QObject
{
    Q_OBJECT

public:
    enum Source { Off = 0, Microphone = 1, LineIn = 2, NetworkStream = 3 };

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
    void startInput(Source source);
    void prepareDetector();

    DtmfDetector m_detector;
    QAudioSource* m_source = nullptr;
    QIODevice* m_input = nullptr;
    QMediaPlayer* m_player = nullptr;
    QAudioBufferOutput* m_bufferOutput = nullptr;
    bool m_running = false;
    QAudioFormat m_format;
    QByteArray m_partialFrame;
    QAudioFormat m_partialFormat;
};
