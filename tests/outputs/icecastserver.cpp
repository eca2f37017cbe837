#include "icecastserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

IcecastServer::IcecastServer()
    : m_dir(QStringLiteral("/tmp/ol-icecast-XXXXXX"))
{
    // The server runs as another user: it must read its folder and write its logs.
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0777);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

IcecastServer::~IcecastServer()
{
    stop();
}

QString IcecastServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QString IcecastServer::streamUrl() const
{
    return baseUrl() + QString::fromLatin1(kMount);
}

bool IcecastServer::start()
{
    if (m_port == 0)
        m_port = freePort();
    const QString logDir = m_dir.path() + QStringLiteral("/log");
    QDir().mkpath(logDir);
    ::chmod(QFile::encodeName(logDir).constData(), 0777);
    const QString config = QStringLiteral(R"(<icecast>
  <location>test</location><admin>test@localhost</admin>
  <limits><clients>50</clients><sources>4</sources><source-timeout>%5</source-timeout></limits>
  <authentication>
    <source-password>%1</source-password>
    <admin-user>admin</admin-user><admin-password>adminpass</admin-password>
  </authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket><port>%2</port><bind-address>127.0.0.1</bind-address></listen-socket>
  <paths>
    <basedir>/usr/share/icecast2</basedir>
    <logdir>%3</logdir>
    <webroot>/usr/share/icecast2/web</webroot>
    <adminroot>/usr/share/icecast2/admin</adminroot>
  </paths>
  <mount type="normal"><mount-name>%4</mount-name><charset>UTF-8</charset></mount>
  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</loglevel></logging>
</icecast>
)")
                               .arg(QString::fromLatin1(kSourcePassword))
                               .arg(m_port)
                               .arg(logDir, QString::fromLatin1(kMount))
                               .arg(m_sourceTimeout);
    const QString configPath = m_dir.path() + QStringLiteral("/icecast.xml");
    QFile f(configPath);
    if (!f.open(QIODevice::WriteOnly) || f.write(config.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write ") + configPath;
        return false;
    }
    f.close();
    ::chmod(QFile::encodeName(configPath).constData(), 0644);

    if (::geteuid() == 0) {
        m_process.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                         QStringLiteral("--clear-groups"), QStringLiteral("icecast2"), QStringLiteral("-c"),
                         configPath});
    } else {
        m_process.start(QStringLiteral("icecast2"), {QStringLiteral("-c"), configPath});
    }
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("icecast2 did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running) {
            m_error = QStringLiteral("icecast2 ended: ") + QString::fromLocal8Bit(m_process.readAll());
            return false;
        }
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(500))
            return true;
        QThread::msleep(50);
    }
    m_error = QStringLiteral("icecast2 does not answer on port %1").arg(m_port);
    return false;
}

void IcecastServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    resume();
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void IcecastServer::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

void IcecastServer::pause()
{
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), SIGSTOP);
}

void IcecastServer::resume()
{
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), SIGCONT);
}

bool IcecastServer::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QByteArray IcecastServer::get(const QString& path, int timeoutMs) const
{
    QNetworkAccessManager nam;
    QNetworkReply* reply = nam.get(QNetworkRequest(QUrl(baseUrl() + path)));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray body = reply->isFinished() && reply->error() == QNetworkReply::NoError ? reply->readAll()
                                                                                             : QByteArray();
    reply->abort();
    reply->deleteLater();
    return body;
}

QJsonObject IcecastServer::status() const
{
    return QJsonDocument::fromJson(get(QStringLiteral("/status-json.xsl"))).object();
}

QJsonObject IcecastServer::mountStatus(const QString& mount) const
{
    const QJsonValue source = status().value(QStringLiteral("icestats")).toObject().value(QStringLiteral("source"));
    QJsonArray entries;
    if (source.isObject())
        entries.append(source);
    else if (source.isArray())
        entries = source.toArray();
    for (const QJsonValue& e : std::as_const(entries)) {
        const QJsonObject o = e.toObject();
        if (o.value(QStringLiteral("listenurl")).toString().endsWith(mount))
            return o;
    }
    return {};
}

QString IcecastServer::errorLog() const
{
    QFile f(m_dir.path() + QStringLiteral("/log/error.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
