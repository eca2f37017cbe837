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

    const QAudioDevice in = AudioDevices::input(inputDevice);
    const QAudioDevice out = AudioDevices::output(outputDevice);
    if (in.isNull()) {
        emit logMessage(QStringLiteral("Line-in: no audio input device available"));
        return;
    }

    const QAudioFormat format = AudioDevices::captureFormat(in, 44100, 2);
    m_source = new QAudioSource(in, format, this);
    m_sink = new QAudioSink(out, format, this);
    // A short buffer keeps the monitor live: what it holds is what the
    // operator hears late, and what plays on after the input is switched off.
    m_sink->setBufferSize(format.bytesForDuration(kMonitorBufferUs));
    m_sinkDevice = m_sink->start();
    m_sourceDevice = m_source->start();
    if (!m_sourceDevice || !m_sinkDevice) {
        emit logMessage(QStringLiteral("Line-in: could not start capture"));
        stop();
        return;
    }

    m_captureFormat = format;
    m_captureDevice = in;
    connect(m_sourceDevice, &QIODevice::readyRead, this, &AudioInput::onCaptureReady);
    m_bytesSinceCheck = 0;
    m_stalledChecks = 0;
    m_watchdog->start();
    m_active = true;
    emit activeChanged(true);
    emit logMessage(QStringLiteral("Line-in / MIC ON (") + in.description() + QLatin1Char(')'));
}

void AudioInput::stop()
{
    m_watchdog->stop();
    // The source owns its device, so let go of the device first.
    if (m_sourceDevice)
        m_sourceDevice->disconnect(this);
    if (m_source) {
        m_source->stop();
        m_source->deleteLater();
        m_source = nullptr;
    }
    if (m_sink) {
        // stop() would wait, holding this thread, until the monitor has played
        // out everything it holds (seconds after a burst); reset() drops that.
        m_sink->reset();
        m_sink->deleteLater();
        m_sink = nullptr;
    }
    m_sourceDevice = nullptr;
    m_sinkDevice = nullptr;
    m_captureFormat = QAudioFormat();
    m_captureDevice = QAudioDevice();

    if (m_active) {
        m_active = false;
        emit activeChanged(false);
        emit logMessage(QStringLiteral("Line-in / MIC OFF"));
    }
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
    if (!m_active)
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
    if (!m_active)
        return;
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
