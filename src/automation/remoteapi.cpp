#include "automation/remoteapi.h"

#include "automation/schedulercommand.h"
#include "library/appsettings.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cmath>
#include <utility>

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

QByteArray forbiddenReply()
{
    return reply(403, "Forbidden", "text/plain", "Invalid password");
}

QByteArray uncheckedReply()
{
    return reply(429, "Too Many Requests", "text/plain", "Too many password checks waiting; try again later");
}

constexpr qint64 kMaxTlsFile = 1024 * 1024;
constexpr int kSummaryMs = 60000;
// An address with no trouble for this long is forgotten.
constexpr qint64 kForgetMs = 30 * 60000;

// An IPv4 client of a dual-stack server is shown and counted as IPv4.
QString peerOf(const QTcpSocket* socket)
{
    const QHostAddress address = socket->peerAddress();
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip4).toString() : address.toString();
}

// The RSA modulus in a key's DER form: the first large INTEGER, looked for
// through the wrappings of PKCS#1, PKCS#8 and SubjectPublicKeyInfo.
QByteArray rsaModulus(QByteArrayView der, int depth = 0)
{
    qsizetype at = 0;
    while (depth < 6 && at + 2 <= der.size()) {
        const uchar tag = uchar(der[at]);
        qsizetype length = uchar(der[at + 1]);
        qsizetype head = 2;
        if (length & 0x80) {
            const int bytes = int(length & 0x7f);
            if (bytes < 1 || bytes > 4 || at + 2 + bytes > der.size())
                return {};
            length = 0;
            for (int i = 0; i < bytes; ++i)
                length = (length << 8) | uchar(der[at + 2 + i]);
            head += bytes;
        }
        if (length > der.size() - at - head)
            return {};
        QByteArrayView body = der.sliced(at + head, length);
        if (tag == 0x02 && length > 32) {
            while (!body.isEmpty() && body.front() == 0)
                body = body.sliced(1);
            return body.toByteArray();
        }
        if (tag == 0x03 && !body.isEmpty())
            body = body.sliced(1); // the count of unused bits
        if (tag == 0x30 || tag == 0x04 || tag == 0x03) {
            const QByteArray inner = rsaModulus(body, depth + 1);
            if (!inner.isEmpty())
                return inner;
        }
        at += head + length;
    }
    return {};
}

// A FIFO would block start-up and a device never ends: only a small regular
// file is read.
QString readTlsFile(const QString& path, const QString& what, QByteArray* out)
{
    const QFileInfo info(path);
    if (!path.isEmpty() && info.exists() && !info.isFile())
        return QStringLiteral("Remote API: HTTPS %1 file \"%2\" is not a regular file").arg(what, path);
    if (info.isFile() && info.size() > kMaxTlsFile)
        return QStringLiteral("Remote API: HTTPS %1 file \"%2\" is too large for a %1 (over 1 MB)").arg(what, path);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("Remote API: HTTPS enabled but the certificate or key file could not be opened");
    *out = file.read(kMaxTlsFile);
    return {};
}

// Hands every connection over as it arrives, before any TLS handshake, so
// that the limits and the time-out hold for the handshake as well.
class ApiServer : public QTcpServer
{
public:
    ApiServer(const QSslConfiguration* tls, QObject* parent)
        : QTcpServer(parent)
        , m_tls(tls != nullptr)
    {
        if (tls)
            m_config = *tls;
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket* socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
            ssl->setSslConfiguration(m_config);
            ssl->startServerEncryption();
        }
        addPendingConnection(socket);
    }

private:
    bool m_tls = false;
    QSslConfiguration m_config;
};

} // namespace

RemoteApi::RemoteApi(QObject* parent)
    : QObject(parent)
{
    m_clock.start();
    m_summary.setInterval(kSummaryMs);
    connect(&m_summary, &QTimer::timeout, this, &RemoteApi::logSummaries);
    m_roomCheck.setSingleShot(true);
    connect(&m_roomCheck, &QTimer::timeout, this, &RemoteApi::makeRoom);
    m_checkTimer.setSingleShot(true);
    connect(&m_checkTimer, &QTimer::timeout, this, &RemoteApi::checkWaiting);
}

RemoteApi::~RemoteApi()
{
    stop();
}

bool RemoteApi::enabledInSettings()
{
    return Setting::ApiEnabled.read();
}

int RemoteApi::portFromSettings()
{
    return Setting::ApiPort.read();
}

bool RemoteApi::localhostOnly()
{
    return Setting::ApiLocalhostOnly.read();
}

bool RemoteApi::httpsFromSettings()
{
    return Setting::ApiHttps.read();
}

QString RemoteApi::usernameFromSettings()
{
    return Setting::ApiUsername.read();
}

QString RemoteApi::passwordFromSettings()
{
    return Setting::ApiPassword.read();
}

QString RemoteApi::certFileFromSettings()
{
    return Setting::ApiCertFile.read();
}

QString RemoteApi::keyFileFromSettings()
{
    return Setting::ApiKeyFile.read();
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
        QSslCertificate certificate;
        QSslKey key;
        const QString problem = loadTls(certFileFromSettings(), keyFileFromSettings(), &certificate, &key);
        if (!problem.isEmpty()) {
            emit logMessage(problem);
            return false;
        }
        config.setLocalCertificate(certificate);
        config.setPrivateKey(key);
        m_server = new ApiServer(&config, this);
    } else {
        m_server = new ApiServer(nullptr, this);
    }
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
    m_checkTimer.stop();
    logSummaries();
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

QString RemoteApi::loadTls(const QString& certPath, const QString& keyPath, QSslCertificate* certificate,
                           QSslKey* key)
{
    QByteArray certBytes;
    QByteArray keyBytes;
    QString problem = readTlsFile(certPath, QStringLiteral("certificate"), &certBytes);
    if (problem.isEmpty())
        problem = readTlsFile(keyPath, QStringLiteral("key"), &keyBytes);
    if (!problem.isEmpty())
        return problem;
    *certificate = QSslCertificate(certBytes, QSsl::Pem);
    *key = QSslKey(keyBytes, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
    if (certificate->isNull() || key->isNull())
        return QStringLiteral("Remote API: HTTPS certificate or key is invalid (expected PEM, RSA key)");
    // Otherwise the API would listen and every handshake fail.
    const QByteArray modulus = rsaModulus(key->toDer());
    if (modulus.isEmpty() || modulus != rsaModulus(certificate->publicKey().toDer()))
        return QStringLiteral("Remote API: HTTPS key \"%1\" does not belong to the certificate \"%2\"; not listening")
            .arg(keyPath, certPath);
    return {};
}

void RemoteApi::onConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket* socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        const QString peer = peerOf(socket);
        Connection c;
        c.peer = peer;
        c.order = ++m_arrivals;
        c.arrived = m_clock.elapsed();
        m_connections.insert(socket, c);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket, socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { m_connections.remove(socket); });
        if (qobject_cast<QSslSocket*>(socket))
            connect(socket, &QAbstractSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError e) {
                if (e == QAbstractSocket::SslHandshakeFailedError)
                    drop(socket);
            });
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, socket] {
            const auto it = m_connections.constFind(socket);
            if (it == m_connections.cend() || it->answered)
                return;
            Tally& t = m_tallies[it->peer];
            t.lastSeen = m_clock.elapsed();
            if (t.unloggedTimeouts++ == 0)
                emit logMessage(QStringLiteral("Remote API: closed a connection from %1 that sent no request within %2 s")
                                    .arg(it->peer)
                                    .arg(kRequestTimeoutMs / 1000));
            if (!m_summary.isActive())
                m_summary.start();
            drop(socket);
        });
        timer->start(kRequestTimeoutMs);
        if (socket->bytesAvailable() > 0)
            serve(socket, socket->readAll());
        makeRoom();
    }
}

// A client opening connections and sending nothing loses its own oldest
// idle one first, once that one has waited longer than a client that asks
// at once would; others lose theirs only when the API is full.
void RemoteApi::makeRoom()
{
    for (;;) {
        // The oldest idle connection of each address and in all, and how
        // many each address has.
        struct Oldest
        {
            QTcpSocket* socket = nullptr;
            quint64 order = 0;
            qint64 arrived = 0;
            int count = 0;
            void take(QTcpSocket* s, const Connection& c)
            {
                ++count;
                if (!socket || c.order < order)
                    *this = {s, c.order, c.arrived, count};
            }
        };
        QHash<QString, Oldest> byPeer;
        Oldest all;
        for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
            if (!it->answered) {
                byPeer[it->peer].take(it.key(), *it);
                all.take(it.key(), *it);
            }
        }
        const qint64 now = m_clock.elapsed();
        QTcpSocket* victim = all.count > kMaxConnections ? all.socket : nullptr;
        qint64 recheck = -1;
        for (auto it = byPeer.cbegin(); !victim && it != byPeer.cend(); ++it) {
            if (it->count <= kMaxPerAddress)
                continue;
            const qint64 young = kPromptRequestMs - (now - it->arrived);
            if (young <= 0)
                victim = it->socket;
            else if (recheck < 0 || young < recheck)
                recheck = young;
        }
        if (!victim) {
            if (recheck >= 0 && (!m_roomCheck.isActive() || m_roomCheck.remainingTime() > recheck))
                m_roomCheck.start(int(recheck) + 1);
            return;
        }
        if (!askedMeanwhile(victim))
            drop(victim);
    }
}

// Whether a connection about to be closed as idle has asked after all: on a
// busy loop its request may simply not have been read yet.
bool RemoteApi::askedMeanwhile(QTcpSocket* socket)
{
    socket->waitForReadyRead(0);
    const auto it = m_connections.constFind(socket);
    return it == m_connections.cend() || it->answered;
}

void RemoteApi::drop(QTcpSocket* socket)
{
    if (!socket || !m_connections.remove(socket))
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void RemoteApi::Recent::add(qint64 time)
{
    count = now(time) + 1;
    at = time;
}

double RemoteApi::Recent::now(qint64 time) const
{
    return count * std::exp(-double(time - at) / kGuessMemoryMs);
}

// The first refusals after a quiet minute are logged one by one, the rest in
// one line a minute, however many addresses they come from. Only a wrong
// password counts as a guess: a request with none at all (a browser asking
// for its icon) is refused and nothing more.
void RemoteApi::noteRefusal(const QString& peer, bool guess)
{
    if (peer.isEmpty()) {
        emit logMessage(QStringLiteral("Remote API: rejected a request with a bad password"));
        return;
    }
    const qint64 now = m_clock.elapsed();
    Tally& t = m_tallies[peer];
    t.lastSeen = now;
    if (guess)
        t.guesses.add(now);
    if (!m_summary.isActive())
        m_summary.start();
    ++m_minuteRefusals;
    if (m_loggedRefusals < kRefusalsLogged) {
        ++m_loggedRefusals;
        emit logMessage(QStringLiteral("Remote API: rejected a request with a bad password"));
        return;
    }
    ++m_unloggedRefusals;
    m_refusedFrom.insert(peer);
}

void RemoteApi::logSummaries()
{
    const qint64 now = m_clock.elapsed();
    if (m_unloggedRefusals > 0)
        emit logMessage(QStringLiteral("Remote API: %1 more requests with a bad or missing password from %2 %3 in the "
                                       "last minute; wrong ones are answered after a hold")
                            .arg(m_unloggedRefusals)
                            .arg(m_refusedFrom.size())
                            .arg(m_refusedFrom.size() == 1 ? QStringLiteral("address") : QStringLiteral("addresses")));
    if (m_unchecked > 1)
        emit logMessage(QStringLiteral("Remote API: %1 more requests from %2 %3 refused unchecked in the last minute: "
                                       "too many password checks were waiting")
                            .arg(m_unchecked - 1)
                            .arg(m_uncheckedFrom.size())
                            .arg(m_uncheckedFrom.size() == 1 ? QStringLiteral("address")
                                                             : QStringLiteral("addresses")));
    // After a minute without any, refusals are logged one by one again.
    if (std::exchange(m_minuteRefusals, 0) == 0)
        m_loggedRefusals = 0;
    m_unloggedRefusals = 0;
    m_refusedFrom.clear();
    m_unchecked = 0;
    m_uncheckedFrom.clear();
    for (auto it = m_tallies.begin(); it != m_tallies.end();) {
        if (it->unloggedTimeouts > 1)
            emit logMessage(QStringLiteral("Remote API: %1 more connections from %2 closed without a request in the "
                                           "last minute")
                                .arg(it->unloggedTimeouts - 1)
                                .arg(it.key()));
        it->unloggedTimeouts = 0;
        if (now - it->lastSeen > kForgetMs && !it->good(now))
            it = m_tallies.erase(it);
        else
            ++it;
    }
    if (m_tallies.isEmpty() && m_loggedRefusals == 0)
        m_summary.stop();
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
    it->received = line;
    const Request request = parseRequest(line);
    const bool checked = request.valid && (!passwordFromSettings().isEmpty() || !usernameFromSettings().isEmpty())
        && (!request.query.value(QStringLiteral("pass")).isEmpty()
            || !request.query.value(QStringLiteral("user")).isEmpty());
    if (!checked) {
        check(socket, false);
        return;
    }
    it->waiting = true;
    admit();
    checkWaiting();
}

// Room for a request to wait in: when too many wait, the one that would
// come last goes unchecked, which may be the one that just came.
void RemoteApi::admit()
{
    for (;;) {
        const auto waiting = waitingInRank(m_clock.elapsed());
        if (waiting.size() <= kMaxWaitingChecks)
            return;
        refuseUnchecked(waiting.last().second);
    }
}

// 0 for an address that gave the right password lately, whatever else came
// from it (it may be the studio's and a guesser's alike), 1 for one without
// wrong passwords lately, 2 for the rest.
int RemoteApi::standing(const QString& peer, qint64 now) const
{
    const auto it = m_tallies.constFind(peer);
    if (it == m_tallies.cend())
        return 1;
    if (it->good(now))
        return 0;
    return it->guesses.now(now) * kHoldPerGuessMs >= 1 ? 2 : 1;
}

QList<std::pair<RemoteApi::Rank, QTcpSocket*>> RemoteApi::waitingInRank(qint64 now) const
{
    QList<std::pair<Rank, QTcpSocket*>> out;
    for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
        if (it->waiting)
            out.push_back({{standing(it->peer, now), 0, it->order}, it.key()});
    }
    // Places within each address, counted in the order of arrival.
    std::sort(out.begin(), out.end(), [](const auto& x, const auto& y) { return std::get<2>(x.first) < std::get<2>(y.first); });
    QHash<QString, int> before;
    for (auto& [r, socket] : out)
        std::get<1>(r) = before[m_connections.value(socket).peer]++;
    std::sort(out.begin(), out.end());
    return out;
}

void RemoteApi::refuseUnchecked(QTcpSocket* socket)
{
    const QString peer = m_connections.value(socket).peer;
    if (m_unchecked++ == 0)
        emit logMessage(QStringLiteral("Remote API: refused a request from %1 unchecked: too many password checks "
                                       "are waiting")
                            .arg(peer));
    m_uncheckedFrom.insert(peer);
    if (!m_summary.isActive())
        m_summary.start();
    finish(socket, uncheckedReply());
}

// Sends the held answers that are due, then compares the passwords waiting,
// best first, as many as the bound allows.
void RemoteApi::checkWaiting()
{
    for (;;) {
        const qint64 now = m_clock.elapsed();
        m_checks = std::min<double>(kChecksPerSecond, m_checks + (now - m_checksAt) * kChecksPerSecond / 1000.0);
        m_checksAt = now;
        qint64 soonest = -1;
        QList<QTcpSocket*> due;
        for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
            if (it->heldUntil < 0)
                continue;
            if (it->heldUntil <= now)
                due.push_back(it.key());
            else
                soonest = soonest < 0 ? it->heldUntil : std::min(soonest, it->heldUntil);
        }
        for (QTcpSocket* socket : std::as_const(due))
            finish(socket, std::exchange(m_connections[socket].held, {}));
        const auto waiting = waitingInRank(now);
        if (!waiting.isEmpty() && m_checks >= 1) {
            m_checks -= 1;
            check(waiting.first().second, true);
            continue;
        }
        if (!waiting.isEmpty()) {
            const qint64 token = now + qint64(std::ceil((1 - m_checks) * 1000 / kChecksPerSecond));
            soonest = soonest < 0 ? token : std::min(soonest, token);
        }
        if (soonest >= 0 && (!m_checkTimer.isActive() || m_checkTimer.remainingTime() > soonest - now))
            m_checkTimer.start(int(soonest - now));
        return;
    }
}

// Answers the request; a password given is compared, and the answer to a
// wrong one held.
void RemoteApi::check(QTcpSocket* socket, bool password)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->waiting = false;
    const QByteArray line = std::exchange(it->received, {});
    const QString peer = it->peer;
    // The command may run a local event loop, in which the peer can go away.
    const QPointer<QTcpSocket> guard(socket);
    bool guess = false;
    const QByteArray bytes = respond(line, passwordFromSettings(), usernameFromSettings(), peer, &guess);
    if (password) {
        const qint64 now = m_clock.elapsed();
        Tally& t = m_tallies[peer];
        t.lastSeen = now;
        if (!guess) {
            t.lastRight = now;
            m_checks = std::min<double>(kChecksPerSecond, m_checks + 1);
        } else if (guard && m_connections.contains(socket)) {
            const qint64 hold = std::min<qint64>(kMaxHoldMs, qint64(t.guesses.now(now) * kHoldPerGuessMs));
            Connection& c = m_connections[socket];
            c.held = bytes;
            c.heldUntil = now + hold;
            if (!m_checkTimer.isActive() || m_checkTimer.remainingTime() > hold)
                m_checkTimer.start(int(hold));
            return;
        }
    }
    if (guard)
        finish(socket, bytes);
}

void RemoteApi::finish(QTcpSocket* socket, const QByteArray& bytes)
{
    const auto it = m_connections.find(socket);
    if (it != m_connections.end()) {
        it->answered = true;
        it->waiting = false;
        it->received.clear();
        it->heldUntil = -1;
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
    // Form encoding, as a browser's form sends it: "+" is a blank, "%2B" a
    // plus. The tolerant URL has mended stray "%" signs first.
    const auto decoded = [](QByteArray part) {
        part.replace('+', ' ');
        return QString::fromUtf8(QByteArray::fromPercentEncoding(part));
    };
    const QByteArray query = url.query(QUrl::FullyEncoded).toLatin1();
    for (const QByteArray& item : query.split('&')) {
        if (item.isEmpty())
            continue;
        const qsizetype equals = item.indexOf('=');
        request.query.insert(decoded(item.left(equals < 0 ? item.size() : equals)).toLower(),
                             equals < 0 ? QString() : decoded(item.mid(equals + 1)));
    }
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
    // A NUL would cut a file name short where the system reads it.
    if (text.contains(QChar(0)))
        return Unknown;
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

QByteArray RemoteApi::answer(const QByteArray& line, const QString& password, const QString& username,
                             const QString& peer)
{
    return respond(line, password, username, peer, nullptr);
}

// guess, when given, is set for a wrong password from a known address.
QByteArray RemoteApi::respond(const QByteArray& line, const QString& password, const QString& username,
                              const QString& peer, bool* guess)
{
    QString command;
    QString action;
    const Request request = parseRequest(line);
    const int outcome = classify(request, password, &command, &action, username);
    switch (outcome) {
    case Accepted:
        if (!action.isEmpty()) {
            PlaybackInfo info;
            emit playbackInfoRequested(&info);
            return reply(200, "OK", "text/xml", playbackInfoXml(info).toUtf8());
        }
        emit logMessage(QStringLiteral("Remote API: ") + command);
        emit commandRequested(command);
        return reply(200, "OK", "text/plain", "OK");
    case Forbidden: {
        const bool wrong = !request.query.value(QStringLiteral("pass")).isEmpty()
            || !request.query.value(QStringLiteral("user")).isEmpty();
        noteRefusal(peer, wrong);
        if (guess)
            *guess = wrong && !peer.isEmpty();
        return forbiddenReply();
    }
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
