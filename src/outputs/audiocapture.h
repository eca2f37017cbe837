#pragma once

#include "engine/capturerecovery.h"
#include "outputs/pcmconverter.h"

#include <QAudioDevice>
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QAudioSource;
class QIODevice;
class QMediaDevices;

// Captures an input device as 16-bit PCM in the format an encoder was
// opened with, whatever format the device itself delivers. A capture that
// the sound server ends is taken up again once the server is back; one
// that captures the default input in place of a device not present moves
// to that device when it comes.
class AudioCapture : public QObject
{
    Q_OBJECT

public:
    explicit AudioCapture(QObject* parent = nullptr);
    ~AudioCapture() override;

    // Prepares the input device of that description (the system default
    // when empty or not present; a line says so); false when there is none.
    // Nothing comes before start(). again: the same run opening it once
    // more (a stream reconnecting), which does not say the same missing
    // device twice.
    bool open(const QString& device, int sampleRate, int channels, bool again = false);
    void start();
    void close();
    bool isOpen() const { return m_open; }
    // The description asked for while it is not present and the default
    // input is captured in its place; empty otherwise.
    QString missingDevice() const { return m_missing; }

signals:
    void captured(const QByteArray& pcm);
    // For the owner's log, which puts its own name in front.
    void logMessage(const QString& text);
    // The capture came back or moved to the device asked for: what
    // missingDevice() says may have changed.
    void deviceChanged();

private:
    bool makeSource();
    bool startSource();
    void dropSource();
    void onStateChanged();
    void tryAgain();
    void checkMissing();
    void read();

    QString m_asked;
    int m_rate = 44100;
    int m_channels = 2;
    bool m_open = false;
    bool m_running = false;  // started and not closed: wanted, whatever the server does
    bool m_starting = false;
    QAudioSource* m_source = nullptr;
    QPointer<QIODevice> m_device;
    QAudioDevice m_used;
    QString m_missing;
    QString m_saidMissing;
    PcmConverter m_converter;
    CaptureRecovery m_recovery;
    QMediaDevices* m_devices = nullptr;
};
