#include "automation/dtmfmonitor.h"

#include "engine/audiodevices.h"
#include "engine/audiolevels.h"
#include "library/appsettings.h"

#include <QAudioBuffer>
#include <QAudioBufferOutput>
#include <QAudioSource>
#include <QMediaPlayer>
#include <QUrl>
#include <QtEndian>

#include <algorithm>
#include <utility>

namespace {

// One mono sample per frame of 16-bit PCM: the mean of its channels.
QList<double> monoFrames(const QByteArray& pcm, int channels)
{
    const qsizetype frames = pcm.size() / 2 / channels;
    QList<double> mono;
    mono.reserve(frames);
    const char* data = pcm.constData();
    for (qsizetype f = 0; f < frames; ++f) {
        double sum = 0.0;
        for (int c = 0; c < channels; ++c)
            sum += qFromLittleEndian<qint16>(data + 2 * (f * channels + c)) * (1.0 / 32768.0);
        mono.append(sum / channels);
    }
    return mono;
}

} // namespace

DtmfMonitor::DtmfMonitor(QObject* parent)
    : QObject(parent)
{
    connect(&m_detector, &DtmfDetector::digitDetected, this, &DtmfMonitor::digitDetected);
    connect(&m_detector, &DtmfDetector::sequenceReceived, this, &DtmfMonitor::sequenceReceived);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &DtmfMonitor::openStream);
    m_stallCheck.setInterval(1000);
    connect(&m_stallCheck, &QTimer::timeout, this, [this] {
        if (m_player && m_sinceAudio.hasExpired(kStallMs))
            streamLost(QStringLiteral("sent no audio for %1 s").arg(kStallMs / 1000));
    });
}

DtmfMonitor::~DtmfMonitor()
{
    stop();
}

DtmfMonitor::Source DtmfMonitor::sourceFromSettings()
{
    const QString source = Setting::DtmfSource.read();
    if (source == QLatin1String("mic"))
        return Microphone;
    if (source == QLatin1String("line"))
        return LineIn;
    if (source == QLatin1String("url"))
        return NetworkStream;
    return Off;
}

QString DtmfMonitor::sourceName(Source source)
{
    switch (source) {
    case Microphone:
        return QStringLiteral("microphone input");
    case LineIn:
        return QStringLiteral("line-in input");
    case NetworkStream:
        return QStringLiteral("network stream");
    default:
        return QStringLiteral("off");
    }
}

void DtmfMonitor::start()
{
    if (m_running)
        return;
    const Source source = sourceFromSettings();
    if (source == NetworkStream)
        startStream();
    else if (source != Off)
        startInput(source);
}

void DtmfMonitor::prepareDetector()
{
    m_detector.minLevel = Setting::DtmfMinLevel.readInt() / 100.0;
    m_detector.sequence.clear();
}

void DtmfMonitor::startStream()
{
    const QString url = Setting::DtmfUrl.read().trimmed();
    if (url.isEmpty()) {
        emit logMessage(QStringLiteral("DTMF: no stream URL configured"));
        return;
    }
    prepareDetector();
    m_streamUrl = url;
    m_retryMs = kFirstRetryMs;
    m_streamLost = false;
    openStream();
    m_stallCheck.start();
    m_running = true;
    emit logMessage(QStringLiteral("DTMF: listening on the network stream ") + url);
}

void DtmfMonitor::openStream()
{
    // A new player for each try: one that has failed holds on to its source,
    // and what it still has queued must not reach the next.
    m_player = new QMediaPlayer(this);
    m_bufferOutput = new QAudioBufferOutput(this);
    // Decoded for the detector only, never played aloud.
    m_player->setAudioBufferOutput(m_bufferOutput);
    m_player->setAudioOutput(nullptr);
    connect(m_bufferOutput, &QAudioBufferOutput::audioBufferReceived, this, &DtmfMonitor::onStreamBuffer);
    connect(m_player, &QMediaPlayer::mediaStatusChanged, this, &DtmfMonitor::onStreamStatus);
    connect(m_player, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error, const QString& text) {
        streamLost(text.isEmpty() ? QStringLiteral("failed") : QStringLiteral("failed (%1)").arg(text));
    });
    m_streamLive = false;
    m_sinceAudio.start();
    m_player->setSource(QUrl(m_streamUrl, QUrl::TolerantMode));
    m_player->play();
}

void DtmfMonitor::closeStream()
{
    if (m_player) {
        m_player->disconnect(this);
        m_player->stop();
        m_player->deleteLater();
        m_player = nullptr;
    }
    if (m_bufferOutput) {
        m_bufferOutput->disconnect(this);
        m_bufferOutput->deleteLater();
        m_bufferOutput = nullptr;
    }
}

void DtmfMonitor::onStreamStatus(QMediaPlayer::MediaStatus status)
{
    if (status == QMediaPlayer::EndOfMedia)
        streamLost(QStringLiteral("ended"));
    else if (status == QMediaPlayer::InvalidMedia)
        streamLost(QStringLiteral("could not be played"));
}

void DtmfMonitor::streamLost(const QString& why)
{
    if (!m_player)
        return;
    closeStream();
    // A stream that stayed a while starts the pauses afresh; one that keeps
    // coming and going waits longer each time.
    if (m_streamLive && m_sinceBack.hasExpired(kLongestRetryMs))
        m_retryMs = kFirstRetryMs;
    m_streamLive = false;
    m_streamLost = true;
    emit logMessage(QStringLiteral("DTMF: the network stream %1; trying again in %2 s").arg(why).arg(m_retryMs / 1000));
    m_retry.start(m_retryMs);
    m_retryMs = std::min(2 * m_retryMs, kLongestRetryMs);
}

void DtmfMonitor::startInput(Source source)
{
    const TextKey& deviceKey = source == Microphone ? Setting::MicDevice : Setting::LineInDevice;
    const QAudioDevice device = AudioDevices::input(deviceKey.read());
    if (device.isNull()) {
        emit logMessage(QStringLiteral("DTMF: no input device available"));
        return;
    }
    m_format = AudioDevices::captureFormat(device, 44100, 1);
    m_detector.setSampleRate(m_format.sampleRate());
    prepareDetector();
    m_source = new QAudioSource(device, m_format, this);
    m_input = m_source->start();
    if (!m_input) {
        m_source->deleteLater();
        m_source = nullptr;
        emit logMessage(QStringLiteral("DTMF: could not open the input"));
        return;
    }
    connect(m_input, &QIODevice::readyRead, this, &DtmfMonitor::readAudio);
    m_running = true;
    emit logMessage(QStringLiteral("DTMF: listening on the ") + sourceName(source));
}

void DtmfMonitor::stop()
{
    if (m_input)
        m_input->disconnect(this);
    m_input = nullptr;
    if (m_source) {
        m_source->stop();
        m_source->deleteLater();
        m_source = nullptr;
    }
    m_retry.stop();
    m_stallCheck.stop();
    closeStream();
    m_partialFrame.clear();
    if (m_running) {
        m_running = false;
        emit logMessage(QStringLiteral("DTMF: stopped listening"));
    }
}

void DtmfMonitor::feedMono(const QList<double>& samples)
{
    m_detector.addSamples(samples);
}

void DtmfMonitor::feedInput(const QByteArray& bytes, const QAudioFormat& format)
{
    if (format != m_partialFormat) {
        m_partialFrame.clear();
        m_partialFormat = format;
    }
    const int frameBytes = format.bytesPerFrame();
    if (frameBytes < 1 || bytes.isEmpty())
        return;
    QByteArray data = m_partialFrame.isEmpty() ? bytes : m_partialFrame + bytes;
    const qsizetype whole = data.size() / frameBytes * frameBytes;
    m_partialFrame = data.mid(whole);
    if (whole == 0)
        return;
    data.truncate(whole);
    feedMono(monoFrames(AudioLevels::toPcm16(QAudioBuffer(data, format)), std::max(1, format.channelCount())));
}

void DtmfMonitor::readAudio()
{
    if (!m_input)
        return;
    feedInput(m_input->readAll(), m_format);
}

void DtmfMonitor::onStreamBuffer(const QAudioBuffer& buffer)
{
    if (!buffer.isValid())
        return;
    m_sinceAudio.restart();
    if (!m_streamLive) {
        m_streamLive = true;
        m_sinceBack.start();
        if (std::exchange(m_streamLost, false))
            emit logMessage(QStringLiteral("DTMF: the network stream is back"));
    }
    const QAudioFormat format = buffer.format();
    if (format.sampleRate() > 0)
        m_detector.setSampleRate(format.sampleRate());
    feedMono(monoFrames(AudioLevels::toPcm16(buffer), std::max(1, format.channelCount())));
}
