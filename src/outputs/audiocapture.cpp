#include "outputs/audiocapture.h"

#include "engine/audiodevices.h"

#include <QAudioSource>
#include <QMediaDevices>

AudioCapture::AudioCapture(QObject* parent)
    : QObject(parent)
{
    connect(&m_recovery, &CaptureRecovery::tryNow, this, &AudioCapture::tryAgain);
    connect(&m_recovery, &CaptureRecovery::logMessage, this, &AudioCapture::logMessage);
}

AudioCapture::~AudioCapture()
{
    close();
}

bool AudioCapture::open(const QString& device, int sampleRate, int channels, bool again)
{
    close();
    m_asked = device;
    m_rate = sampleRate;
    m_channels = channels;
    if (!again)
        m_saidMissing.clear();
    m_open = makeSource();
    return m_open;
}

bool AudioCapture::makeSource()
{
    bool found = true;
    const QAudioDevice input = AudioDevices::input(m_asked, &found);
    if (input.isNull())
        return false;
    m_missing = found ? QString() : m_asked;
    if (!m_missing.isEmpty() && m_missing != m_saidMissing)
        emit logMessage(AudioDevices::inputMissingText(m_missing, input));
    m_saidMissing = m_missing;
    m_used = input;
    m_converter.setTarget(m_rate, m_channels);
    m_source = new QAudioSource(input, AudioDevices::captureFormat(input, m_rate, m_channels), this);
    connect(m_source, &QAudioSource::stateChanged, this, &AudioCapture::onStateChanged);
    return true;
}

void AudioCapture::start()
{
    if (!m_open || m_running)
        return;
    m_running = true;
    // Watched from the first start on: a missing device may come.
    if (!m_devices) {
        m_devices = new QMediaDevices(this);
        connect(m_devices, &QMediaDevices::audioInputsChanged, this, &AudioCapture::checkMissing);
    }
    if (!startSource())
        m_recovery.lost(m_used.description());
}

bool AudioCapture::startSource()
{
    if (!m_source)
        return false;
    m_starting = true;
    m_device = m_source->start();
    m_starting = false;
    if (!m_device) {
        dropSource();
        return false;
    }
    connect(m_device, &QIODevice::readyRead, this, &AudioCapture::read);
    return true;
}

void AudioCapture::dropSource()
{
    if (m_source) {
        m_source->disconnect(this);
        m_source->stop();
        m_source->deleteLater();
        m_source = nullptr;
    }
    m_device = nullptr;
}

void AudioCapture::close()
{
    m_open = false;
    m_running = false;
    m_recovery.cancel();
    dropSource();
    m_missing.clear();
    m_used = QAudioDevice();
}

// A source stops with an error only when its sound server went away; its
// device is gone with it.
void AudioCapture::onStateChanged()
{
    if (m_starting || !m_running || !m_source || m_source->state() != QAudio::StoppedState
        || m_source->error() == QAudio::NoError)
        return;
    dropSource();
    m_recovery.lost(m_used.description());
}

void AudioCapture::tryAgain()
{
    if (!m_running)
        return;
    if (makeSource() && startSource()) {
        m_recovery.back(m_used.description());
        emit deviceChanged();
        return;
    }
    dropSource();
    m_recovery.failed(m_used);
}

void AudioCapture::checkMissing()
{
    if (!m_running || m_missing.isEmpty() || m_recovery.isRecovering())
        return;
    bool found = false;
    AudioDevices::input(m_missing, &found);
    if (!found)
        return;
    emit logMessage(QStringLiteral("input device \"%1\" is present now; capturing it").arg(m_missing));
    dropSource();
    if (makeSource() && startSource())
        emit deviceChanged();
    else
        m_recovery.lost(m_used.description());
}

void AudioCapture::read()
{
    if (!m_device || !m_source)
        return;
    const QByteArray raw = m_device->readAll();
    emit captured(m_converter.convertRaw(raw, m_source->format()));
}
