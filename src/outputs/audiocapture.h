#pragma once

#include "outputs/pcmconverter.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QAudioSource;
class QIODevice;

// Captures an input device as 16-bit PCM in the format an encoder was
// opened with, whatever format the device itself delivers.
class AudioCapture : public QObject
{
    Q_OBJECT

public:
    explicit AudioCapture(QObject* parent = nullptr);
    ~AudioCapture() override;

    // Prepares the input device of that description (the system default
    // when empty); false when there is none. Nothing comes before start().
    bool open(const QString& device, int sampleRate, int channels);
    void start();
    void close();
    bool isOpen() const { return m_source != nullptr; }

signals:
    void captured(const QByteArray& pcm);

private:
    void read();

    QAudioSource* m_source = nullptr;
    QPointer<QIODevice> m_device;
    PcmConverter m_converter;
};
