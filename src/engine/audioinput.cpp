#include "audioinput.h"

#include "engine/audiodevices.h"
#include "engine/audiolevels.h"

#include <QAudioBuffer>
#include <QAudioSink>
#include <QAudioSource>
#include <QMediaDevices>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>

namespace {

// A capture that delivers nothing for kStallChecks checks in a row has lost
// its device: a working input keeps sending frames even when it is silent.
constexpr int kStallCheckMs = 2000;
constexpr int kStallChecks = 2;
constexpr qint64 kMonitorBufferUs = 150000;

} // namespace

AudioInput::AudioInput(QObject* parent)
    : QObject(parent)
    , m_watchdog(new QTimer(this))
{
    m_watchdog->setInterval(kStallCheckMs);
    connect(m_watchdog, &QTimer::timeout, this, &AudioInput::checkCapture);
    connect(&m_recovery, &CaptureRecovery::tryNow, this, &AudioInput::tryAgain);
    connect(&m_recovery, &CaptureRecovery::logMessage, this,
            [this](const QString& text) { emit logMessage(QStringLiteral("Line-in: ") + text); });
}

AudioInput::~AudioInput()
{
    // Released silently: whoever listened may be going away too.
    const QSignalBlocker silent(this);
    stop();
}

void AudioInput::start()
{
    if (m_active)
        return;
    // Watched from the first start on: watching loads the media backend,
    // which an input never opened need not wait for.
    if (!m_devices) {
        m_devices = new QMediaDevices(this);
        connect(m_devices, &QMediaDevices::audioInputsChanged, this, &AudioInput::checkDeviceList);
    }

    switch (openStreams()) {
    case Opened::NoDevice:
        emit logMessage(QStringLiteral("Line-in: no audio input device available"));
        return;
    case Opened::NotStarted:
        emit logMessage(QStringLiteral("Line-in: could not start capture"));
        releaseStreams();
        return;
    case Opened::Yes:
        break;
    }
    m_active = true;
    emit activeChanged(true);
    emit logMessage(QStringLiteral("Line-in / MIC ON (") + m_captureDevice.description() + QLatin1Char(')'));
    if (!m_missing.isEmpty())
        emit logMessage(QStringLiteral("Line-in: ") + AudioDevices::inputMissingText(m_missing, m_captureDevice));
}

AudioInput::Opened AudioInput::openStreams()
{
    bool found = true;
    const QAudioDevice in = AudioDevices::input(inputDevice, &found);
    const QAudioDevice out = AudioDevices::output(outputDevice);
    if (in.isNull())
        return Opened::NoDevice;

    const QAudioFormat format = AudioDevices::captureFormat(in, 44100, 2);
    m_source = new QAudioSource(in, format, this);
    m_sink = new QAudioSink(out, format, this);
    // A short buffer keeps the monitor live: what it holds is what the
    // operator hears late, and what plays on after the input is switched off.
    m_sink->setBufferSize(format.bytesForDuration(kMonitorBufferUs));
    m_opening = true;
    m_sinkDevice = m_sink->start();
    m_sourceDevice = m_source->start();
    m_opening = false;
    if (!m_sourceDevice || !m_sinkDevice)
        return Opened::NotStarted;

    m_captureFormat = format;
    m_captureDevice = in;
    m_missing = found ? QString() : inputDevice;
    connect(m_sourceDevice, &QIODevice::readyRead, this, &AudioInput::onCaptureReady);
    connect(m_source, &QAudioSource::stateChanged, this, &AudioInput::onStreamState);
    connect(m_sink, &QAudioSink::stateChanged, this, &AudioInput::onStreamState);
    m_bytesSinceCheck = 0;
    m_stalledChecks = 0;
    m_watchdog->start();
    return Opened::Yes;
}

void AudioInput::releaseStreams()
{
    m_watchdog->stop();
    // The source owns its device, so let go of the device first.
    if (m_sourceDevice)
        m_sourceDevice->disconnect(this);
    if (m_source) {
        m_source->disconnect(this);
        m_source->stop();
        m_source->deleteLater();
        m_source = nullptr;
    }
    if (m_sink) {
        m_sink->disconnect(this);
        // stop() would wait, holding this thread, until the monitor has played
        // out everything it holds (seconds after a burst); reset() drops that.
        m_sink->reset();
        m_sink->deleteLater();
        m_sink = nullptr;
    }
    m_sourceDevice = nullptr;
    m_sinkDevice = nullptr;
}

void AudioInput::stop()
{
    m_recovery.cancel();
    releaseStreams();
    m_captureFormat = QAudioFormat();
    m_captureDevice = QAudioDevice();
    m_missing.clear();

    if (m_active) {
        m_active = false;
        emit activeChanged(false);
        emit logMessage(QStringLiteral("Line-in / MIC OFF"));
    }
}

// A stream stops with an error only when its sound server went away: the
// input stays on and captures again once the server is back.
void AudioInput::onStreamState()
{
    const bool failed = (m_source && m_source->state() == QAudio::StoppedState && m_source->error() != QAudio::NoError)
        || (m_sink && m_sink->state() == QAudio::StoppedState && m_sink->error() != QAudio::NoError);
    if (m_opening || !m_active || !failed)
        return;
    releaseStreams();
    m_recovery.lost(m_captureDevice.description());
}

void AudioInput::tryAgain()
{
    if (!m_active)
        return;
    const QString wasMissing = m_missing;
    if (openStreams() == Opened::Yes) {
        m_recovery.back(m_captureDevice.description());
        if (!m_missing.isEmpty() && m_missing != wasMissing)
            emit logMessage(QStringLiteral("Line-in: ") + AudioDevices::inputMissingText(m_missing, m_captureDevice));
        emit deviceChanged();
        return;
    }
    releaseStreams();
    m_recovery.failed(m_captureDevice);
}

void AudioInput::toggle()
{
    if (m_active)
        stop();
    else
        start();
}

void AudioInput::onCaptureReady()
{
    if (!m_sourceDevice || !m_sinkDevice)
        return;
    const QByteArray bytes = m_sourceDevice->readAll();
    if (bytes.isEmpty())
        return;
    m_bytesSinceCheck += bytes.size();

    // Whatever the monitor cannot take now is dropped: it must stay live,
    // not fall behind.
    const int frame = std::max(m_captureFormat.bytesPerFrame(), 1);
    const qsizetype room = m_sink->bytesFree() / frame * frame;
    if (room > 0)
        m_sinkDevice->write(bytes.constData(), std::min(room, bytes.size()));

    // A partial frame measures as invalid, which reads as 0 and 0.
    const LevelPeaks peaks = AudioLevels::peakLevels(QAudioBuffer(bytes, m_captureFormat));
    emit level(peaks.left, peaks.right);
}

void AudioInput::checkCapture()
{
    if (!m_active || !m_source)
        return;
    // Take what is waiting first, in case the event loop was held up.
    onCaptureReady();
    if (m_bytesSinceCheck > 0) {
        m_bytesSinceCheck = 0;
        m_stalledChecks = 0;
        return;
    }
    if (++m_stalledChecks >= kStallChecks)
        deviceLost();
}

void AudioInput::checkDeviceList()
{
    if (!m_active || !m_source)
        return;
    if (!m_missing.isEmpty()) {
        bool found = false;
        AudioDevices::input(m_missing, &found);
        if (found) {
            emit logMessage(QStringLiteral("Line-in: input device \"%1\" is present now; capturing it").arg(m_missing));
            releaseStreams();
            if (openStreams() == Opened::Yes) {
                emit deviceChanged();
            } else {
                releaseStreams();
                m_recovery.lost(m_captureDevice.description());
            }
            return;
        }
    }
    const QByteArray id = m_captureDevice.id();
    for (const QAudioDevice& d : QMediaDevices::audioInputs()) {
        if (d.id() == id)
            return;
    }
    deviceLost();
}

void AudioInput::deviceLost()
{
    emit logMessage(QStringLiteral("Line-in: input device lost (") + m_captureDevice.description() +
                    QLatin1Char(')'));
    stop();
}
