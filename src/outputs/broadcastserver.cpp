#include "outputs/broadcastserver.h"

#include "engine/mp3encoder.h"
#include "outputs/headertext.h"
#include "library/appsettings.h"

#include <QAudioBuffer>
#include <QSignalBlocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int kSendBufferSeconds = 5;
// A request line longer than this is judged by what has come.
constexpr qint64 kMaxRequestLine = 8192;
constexpr int kAcceptRetryMs = 1000;

QByteArray headerBlock(const QString& name, const QString& genre, int bitrate, const QString& nowPlaying)
{
    QByteArray h;
    auto line = [&h](const QString& text) {
        h += text.toUtf8();
        h += "\r\n";
    };
    line(QStringLiteral("HTTP/1.0 200 OK"));
    line(QStringLiteral("Content-Type: audio/mpeg"));
    line(QStringLiteral("icy-name: ") + HeaderText::clean(name));
    line(QStringLiteral("icy-genre: ") + HeaderText::clean(genre));
    line(QStringLiteral("icy-br: ") + QString::number(bitrate));
    if (!nowPlaying.isEmpty())
        line(QStringLiteral("icy-notice2: ") + HeaderText::clean(nowPlaying));
    line(QStringLiteral("Cache-Control: no-cache"));
    line(QStringLiteral("Connection: close"));
    h += "\r\n";
    return h;
}

// Long enough for a buffer of a source that plays to arrive and settle the
// encoder's format, short enough that a listener in a pause hears at once.
constexpr int kSettleMs = 200;

} // namespace

BroadcastServer::Request BroadcastServer::judgeRequest(QByteArrayView received)
{
    if (!received.contains('\n') && received.size() < kMaxRequestLine
        && QByteArrayView("GET").startsWith(received.left(3)))
        return Request::Incomplete;
    return received.startsWith("GET") ? Request::Listener : Request::Refused;
}

BroadcastServer::BroadcastServer(QObject* parent)
    : QObject(parent)
{
    m_clock.start();
    m_acceptRetry.setSingleShot(true);
    connect(&m_acceptRetry, &QTimer::timeout, this, &BroadcastServer::onConnection);
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    // Nothing came to play: silence goes out at the format last streamed,
    // the moment waited for at once, so that the listener hears it begin.
    connect(&m_settle, &QTimer::timeout, this, [this] {
        if (!m_encoderOpen)
            return;
        m_encoder.encode(QByteArray(qint64(kSettleMs) * m_rate / 1000 * m_channels * 2, '\0'));
        m_encoder.fillGaps();
    });
    connect(&m_encoder, &Mp3Tap::encoded, this, &BroadcastServer::broadcastBytes);
    connect(&m_encoder, &Mp3Tap::failed, this, [this] {
        // A hung encoder was let go; a fresh one goes on at its format.
        m_encoderOpen = false;
        emit logMessage(QStringLiteral("Built-in server: encoder stopped responding, restarting it"));
        if (!m_listeners.isEmpty())
            openEncoder(m_rate, m_channels);
    });
}

BroadcastServer::~BroadcastServer()
{
    // Released silently: whoever listened may be going away too.
    const QSignalBlocker silent(this);
    stop();
}

bool BroadcastServer::enabledInSettings()
{
    return Setting::ServerEnabled.read();
}

int BroadcastServer::portFromSettings()
{
    return Setting::ServerPort.read();
}

int BroadcastServer::maxListenersFromSettings()
{
    return Setting::ServerMaxListeners.readInt();
}

int BroadcastServer::bitrateFromSettings()
{
    return Setting::ServerBitrate.readInt();
}

QString BroadcastServer::stationName()
{
    return Setting::ServerName.read();
}

QString BroadcastServer::stationGenre()
{
    return Setting::ServerGenre.read();
}

bool BroadcastServer::isListening() const
{
    return m_server && m_server->isListening();
}

quint16 BroadcastServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

qint64 BroadcastServer::sendBufferLimit() const
{
    return qint64(std::max(m_bitrate, 32)) * 1000 / 8 * kSendBufferSeconds;
}

bool BroadcastServer::start()
{
    stop();
    if (!enabledInSettings())
        return false;
    if (!Mp3Encoder::available()) {
        emit logMessage(QStringLiteral("Built-in server: MP3 encoder (FFmpeg) not available"));
        setProblem(QStringLiteral("MP3 encoder (FFmpeg) not available"));
        return false;
    }
    m_bitrate = bitrateFromSettings();
    m_server = new QTcpServer(this);
    // A burst of listeners waits in the system's queue rather than being
    // turned away, and the server itself holds back at most one connection
    // it was not yet given room for.
    m_server->setListenBacklogSize(kListenBacklog);
    m_server->setMaxPendingConnections(1);
    connect(m_server, &QTcpServer::newConnection, this, &BroadcastServer::onConnection);
    // After an error such as running out of descriptors the server stops
    // accepting; such errors pass, so it listens again a moment later.
    connect(m_server, &QTcpServer::acceptError, this, [this, server = m_server](QAbstractSocket::SocketError) {
        emit logMessage(QStringLiteral("Built-in server: could not accept a connection (%1)").arg(server->errorString()));
        const quint16 port = server->serverPort();
        QTimer::singleShot(kAcceptRetryMs, server, [this, server, port] { listenAgain(server, port); });
    });
    const int port = portFromSettings();
    if (port < 0 || port > 65535 || !m_server->listen(QHostAddress::Any, quint16(port))) {
        emit logMessage(QStringLiteral("Built-in server: could not listen on port %1 (%2)")
                            .arg(port)
                            .arg(m_server->errorString()));
        // Most often another server on this computer (the streaming server
        // the source client feeds) already has the port.
        setProblem(m_server->serverError() == QAbstractSocket::AddressInUseError
                       ? QStringLiteral("port %1 is in use by another program").arg(port)
                       : QStringLiteral("cannot listen on port %1 (%2)").arg(port).arg(m_server->errorString()));
        m_server->deleteLater();
        m_server = nullptr;
        return false;
    }
    setProblem(QString());
    emit logMessage(QStringLiteral("Built-in server: listening on http://0.0.0.0:%1/ (up to %2 listeners)")
                        .arg(m_server->serverPort())
                        .arg(maxListenersFromSettings()));
    return true;
}

void BroadcastServer::stop()
{
    // Disconnecting may report the disconnection at once, so the lists are
    // taken over before any socket is touched.
    const QList<QTcpSocket*> listeners = std::exchange(m_listeners, {});
    const QHash<QTcpSocket*, Waiting> pending = std::exchange(m_pending, {});
    m_acceptRetry.stop();
    for (QTcpSocket* s : listeners) {
        s->disconnect(this);
        s->disconnectFromHost();
        s->deleteLater();
    }
    for (auto it = pending.cbegin(); it != pending.cend(); ++it) {
        it.key()->disconnect(this);
        it.key()->disconnectFromHost();
        it.key()->deleteLater();
        it->timer->deleteLater();
    }
    closeEncoder();
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
        emit logMessage(QStringLiteral("Built-in server: stopped"));
    }
    if (!listeners.isEmpty())
        emit listenersChanged(0);
    setProblem(QString());
}

void BroadcastServer::setProblem(const QString& problem)
{
    if (problem == m_problem)
        return;
    m_problem = problem;
    emit problemChanged(problem);
}

void BroadcastServer::applySettings()
{
    if (!enabledInSettings())
        stop();
    else
        start();
}

void BroadcastServer::setNowPlaying(const QString& title)
{
    m_nowPlaying = title;
}

// Connections are taken as they come, so that a request is served at once
// whatever waits beside it; only with the most that may wait for their
// request waiting, and none of them for longer than a client that asks at
// once would, does the next wait its turn in the system's queue.
void BroadcastServer::onConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        makeRoom();
        if (m_pending.size() >= kMaxWaitingRequests) {
            m_acceptRetry.start(int(kPromptRequestMs - (m_clock.elapsed() - oldestWaiting()->since)) + 1);
            return;
        }
        QTcpSocket* socket = m_server->nextPendingConnection();
        // Keeps the kernel's share of a slow listener's backlog small, so the
        // bound below is reached in seconds rather than minutes.
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
        auto* timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, socket] { closeWaiting(socket); });
        m_pending.insert(socket, {timer, ++m_arrivals, m_clock.elapsed()});
        timer->start(kRequestTimeoutMs);
        const auto onRequest = [this, socket] {
            // A request line may come in pieces: wait for its end while what
            // has come can still be a GET.
            if (m_pending.contains(socket) && judgeRequest(socket->peek(kMaxRequestLine)) == Request::Incomplete)
                return;
            serveListener(socket, socket->readAll());
        };
        connect(socket, &QTcpSocket::readyRead, this, onRequest);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { dropListener(socket); });
        // A connection held back may have sent its request meanwhile, and
        // that was announced before anyone listened.
        if (socket->bytesAvailable() > 0)
            onRequest();
    }
}

QHash<QTcpSocket*, BroadcastServer::Waiting>::const_iterator BroadcastServer::oldestWaiting() const
{
    return std::min_element(m_pending.cbegin(), m_pending.cend(),
                            [](const Waiting& a, const Waiting& b) { return a.order < b.order; });
}

// Beyond kKeepWaiting, connections that have waited longer than a client
// that asks at once would go, oldest first.
void BroadcastServer::makeRoom()
{
    while (m_pending.size() > kKeepWaiting) {
        const auto oldest = oldestWaiting();
        if (m_clock.elapsed() - oldest->since < kPromptRequestMs)
            return;
        // What it has sent by now is read before it counts as idle: on a
        // busy loop its request may simply not have been looked at yet.
        QTcpSocket* idle = oldest.key();
        idle->waitForReadyRead(0);
        if (m_pending.contains(idle))
            closeWaiting(idle);
    }
}

void BroadcastServer::listenAgain(QTcpServer* server, quint16 port)
{
    if (server != m_server)
        return;
    // A fresh socket: the old one would report its first error again at
    // every later accept, ending each with a pause.
    server->close();
    if (!server->listen(QHostAddress::Any, port))
        QTimer::singleShot(kAcceptRetryMs, server, [this, server, port] { listenAgain(server, port); });
}

bool BroadcastServer::forgetWaiting(QTcpSocket* socket)
{
    const auto it = m_pending.constFind(socket);
    if (it == m_pending.cend())
        return false;
    it->timer->deleteLater();
    m_pending.erase(it);
    // Room for one held back.
    if (m_acceptRetry.isActive())
        m_acceptRetry.start(0);
    return true;
}

void BroadcastServer::closeWaiting(QTcpSocket* socket)
{
    if (forgetWaiting(socket)) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void BroadcastServer::serveListener(QTcpSocket* socket, const QByteArray& bytes)
{
    if (m_listeners.contains(socket))
        return;
    forgetWaiting(socket);
    if (judgeRequest(bytes) != Request::Listener) {
        socket->disconnectFromHost();
        return;
    }
    if (listenerCount() >= maxListenersFromSettings()) {
        socket->write("HTTP/1.0 503 Service Unavailable\r\n"
                      "Content-Type: text/plain\r\n"
                      "Content-Length: 11\r\n"
                      "Connection: close\r\n"
                      "\r\n"
                      "Server full");
        socket->flush();
        socket->disconnectFromHost();
        return;
    }
    socket->write(headerBlock(stationName(), stationGenre(), m_bitrate, m_nowPlaying));
    socket->flush();
    m_listeners.append(socket);
    emit listenersChanged(listenerCount());
    emit logMessage(QStringLiteral("Built-in server: listener connected (%1 total)").arg(listenerCount()));
    // ffmpeg takes a while to start, so the encoder starts at once, at the
    // format last streamed; a source that plays settles it at its own
    // format with its first buffer, and with nothing playing silence goes
    // out after a moment.
    if (!m_encoderOpen && openEncoder(m_rate, m_channels, false))
        m_settle.start();
}

bool BroadcastServer::openEncoder(int rate, int channels, bool fillGaps)
{
    if (!m_encoder.open(m_shared ? m_shared : &m_ownEncoders, rate, channels, m_bitrate))
        return false;
    m_encoderOpen = true;
    m_rate = rate;
    m_channels = channels;
    if (fillGaps)
        m_encoder.fillGaps();
    return true;
}

void BroadcastServer::closeEncoder()
{
    m_settle.stop();
    if (std::exchange(m_encoderOpen, false))
        m_encoder.close();
}

void BroadcastServer::pushAudio(const QAudioBuffer& buffer)
{
    if (!m_server || m_listeners.isEmpty() || !buffer.isValid())
        return;
    const int rate = buffer.format().sampleRate();
    const int channels = std::max(buffer.format().channelCount(), 1);
    if (m_settle.isActive()) {
        m_settle.stop();
        if (rate != m_rate || channels != m_channels)
            closeEncoder();
        else
            m_encoder.fillGaps();
    }
    if (!m_encoderOpen && !openEncoder(rate, channels))
        return;
    m_ownEncoders.push(buffer);
}

void BroadcastServer::broadcastBytes(const QByteArray& bytes)
{
    // An encoder shared with other outputs gives bytes at once; until the
    // format is settled they may be of the wrong one.
    if (m_settle.isActive())
        return;
    const qint64 limit = sendBufferLimit();
    QList<QTcpSocket*> dead;
    for (QTcpSocket* s : std::as_const(m_listeners)) {
        // A listener that stopped reading is let go before its backlog
        // grows without bound; the others are not held up by it.
        const bool written = s->state() == QAbstractSocket::ConnectedState && s->write(bytes) == bytes.size();
        // Sent now rather than in one more turn of the event loop.
        if (written)
            s->flush();
        if (!written || s->bytesToWrite() > limit)
            dead.append(s);
    }
    for (QTcpSocket* s : std::as_const(dead)) {
        dropListener(s);
        s->disconnect(this);
        s->abort();
    }
}

void BroadcastServer::dropListener(QTcpSocket* socket)
{
    forgetWaiting(socket);
    if (m_listeners.removeOne(socket)) {
        emit listenersChanged(listenerCount());
        emit logMessage(QStringLiteral("Built-in server: listener left (%1 total)").arg(listenerCount()));
    }
    socket->deleteLater();
    closeEncoderIfIdle();
}

void BroadcastServer::closeEncoderIfIdle()
{
    if (m_listeners.isEmpty())
        closeEncoder();
}
