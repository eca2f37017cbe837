#include "outputs/audiocapture.h"

#include "engine/audiodevices.h"

#include <QAudioDevice>
#include <QAudioSource>

AudioCapture::AudioCapture(QObject* parent)
    : QObject(parent)
{
}

AudioCapture::~AudioCapture()
{
    close();
}

bool AudioCapture::open(const QString& device, int sampleRate, int channels)
{
    close();
    const QAudioDevice input = AudioDevices::input(device);
    if (input.isNull())
        return false;
    m_converter.setTarget(sampleRate, channels);
    m_source = new QAudioSource(input, AudioDevices::captureFormat(input, sampleRate, channels), this);
    return true;
}

void AudioCapture::start()
{
    if (!m_source || m_device)
        return;
    m_device = m_source->start();
    if (m_device)
        connect(m_device, &QIODevice::readyRead, this, &AudioCapture::read);
}

void AudioCapture::close()
{
    if (m_source) {
        m_source->stop();
        m_source->deleteLater();
        m_source = nullptr;
    }
    m_device = nullptr;
}

void AudioCapture::read()
{
    if (!m_device || !m_source)
        return;
    const QByteArray raw = m_device->readAll();
    emit captured(m_converter.convertRaw(raw, m_source->format()));
}
