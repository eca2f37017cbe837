#pragma once

#include "engine/capturerecovery.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QObject>
#include <QPointer>
#include <QString>

class QAudioSink;
class QAudioSource;
class QIODevice;
class QMediaDevices;
class QTimer;

// A live input (microphone or line-in): captures an input device, plays
// what it hears straight to an output device and reports its peak levels.
// While on, it outlives its sound server going away: it captures again
// once the server is back.
class AudioInput : public QObject
{
    Q_OBJECT

public:
    explicit AudioInput(QObject* parent = nullptr);
    ~AudioInput() override;

    // Descriptions of the wanted devices, set before start(); empty means
    // the system default.
    QString inputDevice;
    QString outputDevice;

    bool isActive() const { return m_active; }
    // The capture format in use while active.
    QAudioFormat captureFormat() const { return m_captureFormat; }
    // The input device captured from while active.
    QAudioDevice captureDevice() const { return m_captureDevice; }
    // The input device asked for while it is not present and the default
    // input is captured in its place; empty otherwise.
    QString missingDevice() const { return m_missing; }

signals:
    void level(double left, double right);
    void activeChanged(bool active);
    void logMessage(const QString& text);
    // The capture came back or moved to the device asked for, while active:
    // what missingDevice() says may have changed.
    void deviceChanged();

public slots:
    void start();
    void stop();
    void toggle();

private:
    enum class Opened { Yes, NoDevice, NotStarted };
    Opened openStreams();
    void releaseStreams();
    void onStreamState();
    void tryAgain();
    void onCaptureReady();
    void checkCapture();
    void checkDeviceList();
    void deviceLost();

    QAudioSource* m_source = nullptr;
    QAudioSink* m_sink = nullptr;
    // The streams own these, and delete them when their server goes.
    QPointer<QIODevice> m_sourceDevice;
    QPointer<QIODevice> m_sinkDevice;
    bool m_active = false;
    bool m_opening = false;

    QAudioFormat m_captureFormat;
    QAudioDevice m_captureDevice;
    QString m_missing;
    QMediaDevices* m_devices = nullptr;
    QTimer* m_watchdog = nullptr;
    CaptureRecovery m_recovery;
    qint64 m_bytesSinceCheck = 0;
    int m_stalledChecks = 0;
};
