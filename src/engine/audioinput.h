#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QObject>
#include <QString>

class QAudioSink;
class QAudioSource;
class QIODevice;
class QMediaDevices;
class QTimer;

// A live input (microphone or line-in): captures an input device, plays
// what it hears straight to an output device and reports its peak levels.
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

signals:
    void level(double left, double right);
    void activeChanged(bool active);
    void logMessage(const QString& text);

public slots:
    void start();
    void stop();
    void toggle();

private:
    void onCaptureReady();
    void checkCapture();
    void checkDeviceList();
    void deviceLost();

    QAudioSource* m_source = nullptr;
    QAudioSink* m_sink = nullptr;
    QIODevice* m_sourceDevice = nullptr;
    QIODevice* m_sinkDevice = nullptr;
    bool m_active = false;

    QAudioFormat m_captureFormat;
    QAudioDevice m_captureDevice;
    QMediaDevices* m_devices = nullptr;
    QTimer* m_watchdog = nullptr;
    qint64 m_bytesSinceCheck = 0;
    int m_stalledChecks = 0;
};
