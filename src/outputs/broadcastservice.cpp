#include "outputs/broadcastservice.h"

#include "engine/mp3encoder.h"
#include "library/appsettings.h"
#include "outputs/headertext.h"

#include <QAudioBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QSignalBlocker>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace {

const QByteArray kUserAgent = QByteArrayLiteral("Orchidlantern/1.0");
constexpr int kStatsIntervalMs = 15000;
constexpr int kSendBufferSeconds = 5;
constexpr qint64 kMaxStatusLine = 8192;
constexpr int kTitleDelayMs = 2000;

// A listener count from the status page: a whole, non-negative number, or
// a text holding one; anything else counts as none.
int listenerValue(const QJsonValue& v)
{
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (d != std::floor(d) || d < 0 || d > std::numeric_limits<qint32>::max())
            return 0;
        return int(d);
    }
    if (v.isString()) {
        bool ok = false;
        const int n = v.toString().toInt(&ok);
        return ok && n >= 0 ? n : 0;
    }
    return 0;
}

} // namespace

int BroadcastService::listenersForMount(const QJsonObject& root, const QString& mount)
{
    const QJsonValue source = root.value(QStringLiteral("icestats")).toObject().value(QStringLiteral("source"));
    if (source.isObject())
        return listenerValue(source.toObject().value(QStringLiteral("listeners")));
    if (!source.isArray())
        return 0;
    const QJsonArray entries = source.toArray();
    for (const QJsonValue& e : entries) {
        const QJsonObject o = e.toObject();
        const QString m = o.value(QStringLiteral("mount")).toString();
        const bool match = m.isEmpty()
            ? o.value(QStringLiteral("listenurl")).toString().endsWith(mount)
            : m == mount;
        if (match)
            return listenerValue(o.value(QStringLiteral("listeners")));
    }
    if (entries.size() == 1)
        return listenerValue(entries.first().toObject().value(QStringLiteral("listeners")));
    return 0;
}

bool BroadcastService::sourceAccepted(const QByteArray& answer, QString* statusLine)
{
    const qsizetype eol = answer.indexOf("\r\n");
    const QString first = QString::fromLatin1(eol >= 0 ? answer.left(eol) : answer);
    if (statusLine)
        *statusLine = first;
    // The code is the status line's second word: a refusal whose reason
    // text happens to hold "200" is still a refusal.
    return first.section(QLatin1Char(' '), 1, 1, QString::SectionSkipEmpty) == QLatin1String("200");
}

BroadcastService::BroadcastService(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
    // Only the connection and format fields keep their defaults; the rest
    // comes with the record handed over before each start.
    const BroadcastConfig d;
    m_config = BroadcastConfig();
    m_config.host = d.host;
    m_config.port = d.port;
    m_config.mount = d.mount;
    m_config.username = d.username;
    m_config.sampleRate = d.sampleRate;
    m_config.bitrate = d.bitrate;
    m_config.channels = d.channels;
    connect(&m_encoder, &Mp3Tap::encoded, this, &BroadcastService::sendEncoded);
    connect(&m_encoder, &Mp3Tap::failed, this, &BroadcastService::restartEncoder);
    connect(&m_capture, &AudioCapture::captured, this, &BroadcastService::encodeAndSend);
    connect(&m_capture, &AudioCapture::logMessage, this,
            [this](const QString& text) { emit logMessage(QStringLiteral("Broadcast: ") + text); });
    connect(&m_capture, &AudioCapture::deviceChanged, this, &BroadcastService::captureChanged);
    m_connectTimer = new QTimer(this);
    m_connectTimer->setSingleShot(true);
    m_connectTimer->setInterval(kConnectTimeoutMs);
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        teardown(QStringLiteral("no answer from the server within %1 s").arg(kConnectTimeoutMs / 1000), true);
    });
    m_retryTimer = new QTimer(this);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &BroadcastService::connectToServer);
}

BroadcastService::~BroadcastService()
{
    // Released silently: whoever listened may be going away too.
    const QSignalBlocker silent(this);
    stop();
}

BroadcastConfig BroadcastService::configFromSettings()
{
    const BroadcastConfig d;
    QSettings s;
    BroadcastConfig c;
    c.host = Setting::BroadcastHost.read(s);
    c.port = Setting::BroadcastPort.read(s);
    c.mount = Setting::BroadcastMount.read(s);
    c.username = Setting::BroadcastUsername.read(s);
    c.password = Setting::BroadcastPassword.read(s);
    c.sampleRate = Setting::BroadcastSampleRate.readInt();
    c.bitrate = Setting::BroadcastBitrate.readInt();
    c.channels = Setting::BroadcastChannels.readInt();
    c.name = Setting::BroadcastName.read(s);
    c.genre = Setting::BroadcastGenre.read(s);
    c.url = Setting::BroadcastUrl.read(s);
    c.description = Setting::BroadcastDescription.read(s);
    c.isPublic = Setting::BroadcastPublic.read(s);
    c.inputDevice = Setting::BroadcastInputDevice.read(s);
    c.internalMix = Setting::BroadcastInternalMix.read(s);
    return c;
}

void BroadcastService::saveConfig(const BroadcastConfig& c)
{
    QSettings s;
    Setting::BroadcastHost.write(s, c.host);
    Setting::BroadcastPort.write(s, c.port);
    Setting::BroadcastMount.write(s, c.mount);
    Setting::BroadcastUsername.write(s, c.username);
    Setting::BroadcastPassword.write(s, c.password);
    Setting::BroadcastSampleRate.write(s, c.sampleRate);
    Setting::BroadcastBitrate.write(s, c.bitrate);
    Setting::BroadcastChannels.write(s, c.channels);
    Setting::BroadcastName.write(s, c.name);
    Setting::BroadcastGenre.write(s, c.genre);
    Setting::BroadcastUrl.write(s, c.url);
    Setting::BroadcastDescription.write(s, c.description);
    Setting::BroadcastPublic.write(s, c.isPublic);
    Setting::BroadcastInputDevice.write(s, c.inputDevice);
    Setting::BroadcastInternalMix.write(s, c.internalMix);
}

bool BroadcastService::encoderAvailable()
{
    return Mp3Encoder::available();
}

void BroadcastService::setConfig(const BroadcastConfig& config)
{
    m_config = config;
}

qint64 BroadcastService::sendBufferLimit() const
{
    return qint64(std::max(m_config.bitrate, 32)) * 1000 / 8 * kSendBufferSeconds;
}

QByteArray BroadcastService::credentials() const
{
    return (m_config.username + QLatin1Char(':') + m_config.password).toUtf8().toBase64();
}

void BroadcastService::start()
{
    if (m_streaming)
        return;
    m_retryTimer->stop();
    m_retryDelayMs = kFirstRetryMs;
    setActive(true);
    connectToServer();
}

void BroadcastService::connectToServer()
{
    if (m_streaming)
        return;
    // A start while an attempt is pending begins afresh.
    if (m_socket || m_capture.isOpen())
        teardown(QStringLiteral("stopped"), false);

    if (!openEncoder()) {
        emit logMessage(Mp3Encoder::available()
                            ? QStringLiteral("Broadcast: failed to initialise MP3 encoder: ") + m_encoder.error()
                            : QStringLiteral("Broadcast: ffmpeg not found (install it or set ORCHIDLANTERN_FFMPEG)"));
        if (m_reconnecting)
            retryLater();
        else
            setActive(false);
        return;
    }

    if (!m_config.internalMix
        && !m_capture.open(m_config.inputDevice, m_config.sampleRate, m_config.channels, m_reconnecting)) {
        teardown(QStringLiteral("no capture device"), true);
        return;
    }

    m_handshakeDone = false;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &BroadcastService::sendSourceHeader);
    connect(m_socket, &QTcpSocket::readyRead, this, &BroadcastService::onHandshakeData);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        const QString text = m_socket ? m_socket->errorString() : QString();
        teardown(QStringLiteral("connection error: ") + text, true);
    });

    emit logMessage(QStringLiteral("Broadcast: connecting to %1:%2%3 …")
                        .arg(m_config.host).arg(m_config.port).arg(m_config.mount));
    m_connectTimer->start();
    m_socket->connectToHost(m_config.host, quint16(m_config.port), QIODevice::ReadWrite,
                            QAbstractSocket::AnyIPProtocol);
}

void BroadcastService::sendSourceHeader()
{
    if (!m_socket)
        return;
    QByteArray req;
    auto line = [&req](const QString& text) {
        req += text.toUtf8();
        req += "\r\n";
    };
    line(QStringLiteral("SOURCE ") + HeaderText::clean(m_config.mount) + QStringLiteral(" HTTP/1.0"));
    line(QStringLiteral("Authorization: Basic ") + QString::fromLatin1(credentials()));
    line(QStringLiteral("User-Agent: ") + QString::fromLatin1(kUserAgent));
    line(QStringLiteral("Content-Type: audio/mpeg"));
    line(QStringLiteral("Ice-Public: ") + (m_config.isPublic ? QStringLiteral("1") : QStringLiteral("0")));
    if (!m_config.name.isEmpty())
        line(QStringLiteral("Ice-Name: ") + HeaderText::clean(m_config.name));
    if (!m_config.genre.isEmpty())
        line(QStringLiteral("Ice-Genre: ") + HeaderText::clean(m_config.genre));
    if (!m_config.description.isEmpty())
        line(QStringLiteral("Ice-Description: ") + HeaderText::clean(m_config.description));
    if (!m_config.url.isEmpty())
        line(QStringLiteral("Ice-URL: ") + HeaderText::clean(m_config.url));
    line(QStringLiteral("Ice-Audio-Info: bitrate=%1;channels=%2;samplerate=%3")
             .arg(m_config.bitrate).arg(m_config.channels).arg(m_config.sampleRate));
    req += "\r\n";
    m_socket->write(req);
}

void BroadcastService::onHandshakeData()
{
    if (!m_socket || m_handshakeDone)
        return;
    // The status line can arrive in pieces; a server that sends no line end
    // at all is judged on what it sent once that is more than a line.
    if (!m_socket->canReadLine() && m_socket->bytesAvailable() < kMaxStatusLine)
        return;
    QString first;
    if (!sourceAccepted(m_socket->readAll(), &first)) {
        teardown(QStringLiteral("server refused source connection (") + first + QLatin1Char(')'), true);
        return;
    }

    disconnect(m_socket, &QTcpSocket::readyRead, this, &BroadcastService::onHandshakeData);
    m_connectTimer->stop();
    m_streaming = true;
    m_handshakeDone = true;
    const bool reconnected = std::exchange(m_reconnecting, false);
    m_retryDelayMs = kFirstRetryMs;
    // The on-air mix stops while nothing plays; a capture device does not.
    if (m_config.internalMix)
        m_encoder.fillGaps();
    m_capture.start();
    emit streamingChanged(true);
    emit logMessage(QStringLiteral("Broadcast: connected to server — you are on the air"));
    if (reconnected)
        emit logMessage(QStringLiteral("Broadcast: reconnected after %1 s")
                            .arg(QString::number(m_droppedAt.elapsed() / 1000.0, 'f', 1)));
    // A new mount has no title, whether the server lost the old one or the
    // track began while the stream was still connecting; it is given again
    // once the mount is up.
    if (!m_lastTitle.isEmpty())
        QTimer::singleShot(kTitleDelayMs, this, [this] { updateMetadata(m_lastTitle); });
    if (!m_statsTimer) {
        m_statsTimer = new QTimer(this);
        m_statsTimer->setInterval(kStatsIntervalMs);
        connect(m_statsTimer, &QTimer::timeout, this, &BroadcastService::pollListenerStats);
    }
    m_listeners = 0;
    m_statsTimer->start();
    pollListenerStats();
}

void BroadcastService::pushAudio(const QAudioBuffer& buffer)
{
    if (!m_streaming || !m_config.internalMix)
        return;
    m_ownEncoders.push(buffer);
}

void BroadcastService::encodeAndSend(const QByteArray& pcm)
{
    if (m_socket)
        m_encoder.encode(pcm);
}

bool BroadcastService::openEncoder()
{
    OnAirEncoders* encoders = m_config.internalMix && m_shared ? m_shared : &m_ownEncoders;
    return m_encoder.open(encoders, m_config.sampleRate, m_config.channels, m_config.bitrate);
}

void BroadcastService::sendEncoded(const QByteArray& mp3)
{
    if (!m_socket || !m_streaming)
        return;
    m_socket->write(mp3);
    m_socket->flush();
    // A server that stops reading would otherwise let this grow for ever.
    if (m_socket->bytesToWrite() > sendBufferLimit())
        teardown(QStringLiteral("server is not taking the stream (send buffer full)"), true);
}

void BroadcastService::updateMetadata(const QString& title)
{
    // While broadcasting is off there is no stream to give it to.
    if (!m_wanted || title.trimmed().isEmpty())
        return;
    m_lastTitle = title;
    if (!m_streaming)
        return;
    const QString song = HeaderText::clean(title);
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(m_config.host);
    url.setPort(m_config.port);
    url.setPath(QStringLiteral("/admin/metadata"));
    const auto enc = [](const QString& v) { return QString::fromLatin1(QUrl::toPercentEncoding(v)); };
    url.setQuery(QStringLiteral("mount=") + enc(m_config.mount) + QStringLiteral("&mode=updinfo&song=") + enc(song),
                 QUrl::StrictMode);
    QNetworkRequest req(url);
    req.setTransferTimeout(kRequestTimeoutMs);
    req.setRawHeader("Authorization", "Basic " + credentials());
    req.setHeader(QNetworkRequest::UserAgentHeader, kUserAgent);
    QNetworkReply* reply = m_network->get(req);
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    emit logMessage(QStringLiteral("Broadcast: metadata → ") + song);
}

void BroadcastService::pollListenerStats()
{
    if (!m_streaming)
        return;
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(m_config.host);
    url.setPort(m_config.port);
    url.setPath(QStringLiteral("/status-json.xsl"));
    QNetworkRequest req(url);
    req.setTransferTimeout(kRequestTimeoutMs);
    req.setHeader(QNetworkRequest::UserAgentHeader, kUserAgent);
    QNetworkReply* reply = m_network->get(req);
    const QString mount = m_config.mount;
    connect(reply, &QNetworkReply::finished, this, [this, reply, mount] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError)
            return;
        const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll());
        if (!doc.isObject())
            return;
        const int count = listenersForMount(doc.object(), mount);
        // A late answer to a stream that has ended must not bring a count back.
        if (!m_streaming || count == m_listeners)
            return;
        m_listeners = count;
        emit listenersChanged(count);
    });
}

void BroadcastService::teardown(const QString& reason, bool error)
{
    m_capture.close();
    if (m_socket) {
        QTcpSocket* s = m_socket;
        m_socket = nullptr;
        s->disconnect(this);
        s->disconnectFromHost();
        s->deleteLater();
    }
    m_encoder.close();
    m_connectTimer->stop();
    if (m_statsTimer)
        m_statsTimer->stop();
    if (m_listeners != 0) {
        m_listeners = 0;
        emit listenersChanged(0);
    }
    const bool wasStreaming = m_streaming;
    m_streaming = false;
    m_handshakeDone = false;
    // Only the operator's stop ends a broadcast; anything else is retried.
    const bool retry = error && m_wanted;
    if (retry && !std::exchange(m_reconnecting, true)) {
        m_droppedAt.start();
        m_retryDelayMs = kFirstRetryMs;
    }
    if (!wasStreaming && !error)
        return;
    emit streamingChanged(false);
    emit logMessage(QStringLiteral("Broadcast: %1%2").arg(error ? QStringLiteral("error — ") : QString(), reason));
    if (retry)
        retryLater();
}

void BroadcastService::retryLater()
{
    emit logMessage(QStringLiteral("Broadcast: reconnecting in %1 s").arg(m_retryDelayMs / 1000));
    m_retryTimer->start(m_retryDelayMs);
    m_retryDelayMs = std::min(m_retryDelayMs * 2, kLastRetryMs);
}

// A hung encoder was let go: a fresh one carries the stream on.
void BroadcastService::restartEncoder()
{
    if (!m_socket)
        return;
    // One that fails again at once would only spin: the connection is
    // begun afresh instead, with the growing delay.
    if (m_encoderRestarted.isValid() && m_encoderRestarted.elapsed() < kConnectTimeoutMs) {
        teardown(QStringLiteral("the MP3 encoder keeps failing"), true);
        return;
    }
    m_encoderRestarted.start();
    emit logMessage(QStringLiteral("Broadcast: encoder stopped responding, restarting it"));
    if (!openEncoder())
        teardown(QStringLiteral("failed to restart the MP3 encoder: ") + m_encoder.error(), true);
}

void BroadcastService::setActive(bool active)
{
    if (std::exchange(m_wanted, active) != active)
        emit activeChanged(active);
}

void BroadcastService::stop()
{
    setActive(false);
    m_lastTitle.clear();
    m_retryTimer->stop();
    const bool wasReconnecting = std::exchange(m_reconnecting, false);
    const bool wasStreaming = m_streaming;
    if (m_streaming || m_socket || m_capture.isOpen())
        teardown(QStringLiteral("stopped"), false);
    if (wasReconnecting && !wasStreaming) {
        emit streamingChanged(false);
        emit logMessage(QStringLiteral("Broadcast: stopped"));
    }
}
