#include "automation/remoteapi.h"

#include "automation/schedulercommand.h"

#include <QDateTime>
#include <QFile>
#include <QPointer>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QXmlStreamWriter>

namespace {

const QString kUsage = QStringLiteral("Use ?pass=...&cmd=... or ?pass=...&action=playbackinfo");

// Verbs that only make sense inside the station, never from the network.
const QStringList& refusedVerbs()
{
    static const QStringList verbs{QStringLiteral("getrandomplaylist"), QStringLiteral("getfile"),
                                   QStringLiteral("playrequestedsong")};
    return verbs;
}

// Commands that start programs, shut the machine down or write files: with
// no password anyone who reaches the port could give them.
bool needsPassword(const SchedulerCommand& command)
{
    const QString& v = command.verb;
    if (v == QLatin1String("run") || v == QLatin1String("reboot") || v == QLatin1String("poweroff"))
        return true;
    if (v == QLatin1String("renderplaylist"))
        return !command.args.isEmpty();
    if (v == QLatin1String("streamarchive"))
        return command.archiveArgs().mode == 2;
    return false;
}

// Takes as long for a near miss as for a wild guess of the same length.
bool sameSecret(const QString& given, const QString& expected)
{
    const QByteArray a = given.toUtf8();
    const QByteArray b = expected.toUtf8();
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const char other = b.isEmpty() ? char(0) : b.at(i % b.size());
        difference |= unsigned(uchar(a.at(i)) ^ uchar(other));
    }
    return difference == 0 && !b.isEmpty();
}

QByteArray reply(int status, const char* reason, const char* type, const QByteArray& body)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    out += QByteArray("Content-Type: ") + type + "; charset=utf-8\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += body;
    return out;
}

QByteArray usageReply()
{
    return reply(400, "Bad Request", "text/plain", kUsage.toUtf8());
}

} // namespace

RemoteApi::RemoteApi(QObject* parent)
    : QObject(parent)
{
}

RemoteApi::~RemoteApi()
{
    stop();
}

bool RemoteApi::enabledInSettings()
{
    return QSettings().value(QStringLiteral("api/enabled"), false).toBool();
}

int RemoteApi::portFromSettings()
{
    return QSettings().value(QStringLiteral("api/port"), 9001).toInt();
}

bool RemoteApi::localhostOnly()
{
    return QSettings().value(QStringLiteral("api/localhostOnly"), true).toBool();
}

bool RemoteApi::httpsFromSettings()
{
    return QSettings().value(QStringLiteral("api/https"), false).toBool();
}

QString RemoteApi::usernameFromSettings()
{
    return QSettings().value(QStringLiteral("api/username")).toString();
}

QString RemoteApi::passwordFromSettings()
{
    return QSettings().value(QStringLiteral("api/password")).toString();
}

QString RemoteApi::certFileFromSettings()
{
    return QSettings().value(QStringLiteral("api/certFile")).toString();
}

QString RemoteApi::keyFileFromSettings()
{
    return QSettings().value(QStringLiteral("api/keyFile")).toString();
}

void RemoteApi::applySettings()
{
    if (!enabledInSettings())
        stop();
    else
        start();
}

bool RemoteApi::start()
{
    stop();
    if (!enabledInSettings())
        return false;
    const int port = portFromSettings();
    if (port < 1 || port > 65535) {
        emit logMessage(QStringLiteral("Remote API: port %1 is outside 1..65535; not listening").arg(port));
        return false;
    }
    const bool https = httpsFromSettings();
    if (https) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        QFile certFile(certFileFromSettings());
        QFile keyFile(keyFileFromSettings());
        if (certFile.fileName().isEmpty() || keyFile.fileName().isEmpty() || !certFile.open(QIODevice::ReadOnly)
            || !keyFile.open(QIODevice::ReadOnly)) {
            emit logMessage(
                QStringLiteral("Remote API: HTTPS enabled but the certificate or key file could not be opened"));
            return false;
        }
        const QSslCertificate certificate(&certFile, QSsl::Pem);
        const QSslKey key(&keyFile, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
        if (certificate.isNull() || key.isNull()) {
            emit logMessage(QStringLiteral("Remote API: HTTPS certificate or key is invalid (expected PEM, RSA key)"));
            return false;
        }
        config.setLocalCertificate(certificate);
        config.setPrivateKey(key);
        auto* server = new QSslServer(this);
        server->setSslConfiguration(config);
        m_server = server;
    } else {
        m_server = new QTcpServer(this);
    }
    // For HTTPS a connection is pending only once its handshake is done.
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &RemoteApi::onConnection);
    const bool local = localhostOnly();
    if (!m_server->listen(local ? QHostAddress::LocalHost : QHostAddress::Any, quint16(port))) {
        emit logMessage(
            QStringLiteral("Remote API: could not listen on port %1 (%2)").arg(port).arg(m_server->errorString()));
        m_server->deleteLater();
        m_server = nullptr;
        return false;
    }
    emit logMessage(QStringLiteral("Remote API: listening on %1://%2:%3")
                        .arg(https ? QStringLiteral("https") : QStringLiteral("http"),
                             local ? QStringLiteral("127.0.0.1") : QStringLiteral("0.0.0.0"))
                        .arg(m_server->serverPort()));
    if (!local && passwordFromSettings().isEmpty())
        emit logMessage(QStringLiteral("Remote API: warning: listening on every address without a password; "
                                       "set one to keep others on the network from controlling the station"));
    return true;
}

void RemoteApi::stop()
{
    if (!m_server)
        return;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it)
        it.key()->disconnect(this);
    m_connections.clear();
    m_fullLogged = false;
    m_server->close();
    m_server->deleteLater();
    m_server = nullptr;
    emit logMessage(QStringLiteral("Remote API: stopped"));
}

bool RemoteApi::isListening() const
{
    return m_server && m_server->isListening();
}

quint16 RemoteApi::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

void RemoteApi::onConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket* socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        if (m_connections.size() >= kMaxConnections) {
            if (!m_fullLogged) {
                m_fullLogged = true;
                emit logMessage(QStringLiteral("Remote API: %1 connections are open; refusing new ones until one "
                                               "closes")
                                    .arg(kMaxConnections));
            }
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_connections.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket, socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            if (m_connections.size() < kMaxConnections)
                m_fullLogged = false;
        });
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, socket] {
            const auto it = m_connections.constFind(socket);
            if (it == m_connections.cend() || it->answered)
                return;
            emit logMessage(QStringLiteral("Remote API: closed a connection that sent no request within %1 s")
                                .arg(kRequestTimeoutMs / 1000));
            socket->abort();
        });
        timer->start(kRequestTimeoutMs);
        // What came with the TLS handshake was announced before anyone listened.
        if (socket->bytesAvailable() > 0)
            serve(socket, socket->readAll());
    }
}

void RemoteApi::serve(QTcpSocket* socket, const QByteArray& data)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->answered)
        return;
    // One byte past the limit is enough to know that the line is too long.
    it->received.append(data.left(kMaxRequestLine + 1 - it->received.size()));
    QByteArray line;
    switch (requestLine(it->received, &line)) {
    case LineState::Incomplete:
        return;
    case LineState::TooLong:
        emit logMessage(
            QStringLiteral("Remote API: refused a request line longer than %1 bytes").arg(kMaxRequestLine));
        finish(socket, usageReply());
        return;
    case LineState::Complete:
        break;
    }
    it->answered = true;
    it->received.clear();
    // A command may run a local event loop, in which the peer can go away.
    const QPointer<QTcpSocket> guard(socket);
    const QByteArray bytes = answer(line, passwordFromSettings(), usernameFromSettings());
    if (guard)
        finish(socket, bytes);
}

void RemoteApi::finish(QTcpSocket* socket, const QByteArray& bytes)
{
    const auto it = m_connections.find(socket);
    if (it != m_connections.end()) {
        it->answered = true;
        it->received.clear();
    }
    socket->write(bytes);
    socket->flush();
    socket->disconnectFromHost();
}

RemoteApi::LineState RemoteApi::requestLine(const QByteArray& received, QByteArray* line)
{
    // A bare line feed ends the line as well: some clients send no CR.
    qsizetype end = received.indexOf('\r');
    const qsizetype feed = received.indexOf('\n');
    if (feed >= 0 && (end < 0 || feed < end))
        end = feed;
    if (end < 0)
        return received.size() > kMaxRequestLine ? LineState::TooLong : LineState::Incomplete;
    if (end > kMaxRequestLine)
        return LineState::TooLong;
    if (line)
        *line = received.left(end);
    return LineState::Complete;
}

RemoteApi::Request RemoteApi::parseRequest(const QByteArray& line)
{
    Request request;
    const QStringList parts =
        QString::fromUtf8(line).trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 2 || parts.first().compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0)
        return request;
    const QUrl url(parts.at(1), QUrl::TolerantMode);
    request.path = url.path(QUrl::FullyDecoded);
    const QUrlQuery query(url);
    for (const auto& item : query.queryItems(QUrl::FullyDecoded))
        request.query.insert(item.first.toLower(), item.second);
    request.valid = true;
    return request;
}

int RemoteApi::classify(const Request& request, const QString& password, QString* command, QString* action,
                        const QString& username)
{
    if (command)
        command->clear();
    if (action)
        action->clear();
    if (!request.valid)
        return Malformed;
    // Both are compared whatever the other gave, so that the time taken does
    // not tell which one was wrong.
    const bool passOk = password.isEmpty() || sameSecret(request.query.value(QStringLiteral("pass")), password);
    const bool userOk = username.isEmpty() || sameSecret(request.query.value(QStringLiteral("user")), username);
    if (!passOk || !userOk)
        return Forbidden;

    const QString text = request.query.value(QStringLiteral("cmd")).trimmed();
    if (!text.isEmpty()) {
        // The verb as the executor will see it: quotes and any white space
        // must not sneak a refused verb past.
        const SchedulerCommand parsed = SchedulerCommand::parse(text);
        if (refusedVerbs().contains(parsed.verb) || !parsed.known)
            return Unknown;
        if (command)
            *command = text;
        return password.isEmpty() && needsPassword(parsed) ? NeedsPassword : Accepted;
    }
    const QString wanted = request.query.value(QStringLiteral("action")).trimmed().toLower();
    if (wanted.isEmpty())
        return Malformed;
    if (wanted != QLatin1String("playbackinfo"))
        return Unknown;
    if (action)
        *action = wanted;
    return Accepted;
}

QByteArray RemoteApi::answer(const QByteArray& line, const QString& password, const QString& username)
{
    QString command;
    QString action;
    switch (classify(parseRequest(line), password, &command, &action, username)) {
    case Accepted:
        if (!action.isEmpty()) {
            PlaybackInfo info;
            emit playbackInfoRequested(&info);
            return reply(200, "OK", "text/xml", playbackInfoXml(info).toUtf8());
        }
        emit logMessage(QStringLiteral("Remote API: ") + command);
        emit commandRequested(command);
        return reply(200, "OK", "text/plain", "OK");
    case Forbidden:
        emit logMessage(QStringLiteral("Remote API: rejected a request with a bad password"));
        return reply(403, "Forbidden", "text/plain", "Invalid password");
    case NeedsPassword:
        emit logMessage(QStringLiteral("Remote API: refused \"%1\": this command needs an API password").arg(command));
        return reply(403, "Forbidden", "text/plain", "This command needs an API password");
    case Unknown:
        return reply(400, "Bad Request", "text/plain", "Unknown command or action");
    default:
        return usageReply();
    }
}

QString RemoteApi::playbackInfoXml(const PlaybackInfo& info)
{
    QString out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("Info"));
    xml.writeTextElement(QStringLiteral("Version"), QStringLiteral("1.0"));
    xml.writeTextElement(QStringLiteral("Time"), QDateTime::currentDateTime().toString(Qt::ISODate));
    xml.writeTextElement(QStringLiteral("State"), info.state);
    xml.writeTextElement(QStringLiteral("Volume"), QString::number(info.volume));
    xml.writeTextElement(QStringLiteral("PlaylistCount"), QString::number(info.playlistCount));
    xml.writeTextElement(QStringLiteral("CurrentIndex"), QString::number(info.currentIndex));
    xml.writeStartElement(QStringLiteral("CurrentTrack"));
    xml.writeTextElement(QStringLiteral("Title"), info.title);
    xml.writeTextElement(QStringLiteral("Artist"), info.artist);
    xml.writeTextElement(QStringLiteral("Album"), info.album);
    xml.writeTextElement(QStringLiteral("File"), info.file);
    xml.writeTextElement(QStringLiteral("Duration"), QString::number(info.duration));
    xml.writeTextElement(QStringLiteral("Position"), QString::number(info.position));
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("NextTrack"));
    xml.writeTextElement(QStringLiteral("Title"), info.nextTitle);
    xml.writeTextElement(QStringLiteral("Artist"), info.nextArtist);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}
