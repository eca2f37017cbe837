#include "webstandin.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSslCertificate>
#include <QSslConfiguration>

WebStandIn::WebStandIn()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

WebStandIn::~WebStandIn()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString WebStandIn::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(m_port);
}

bool WebStandIn::start()
{
    const QString cert = m_dir.filePath(QStringLiteral("cert.pem"));
    const QString key = m_dir.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                   QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"),
                   QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                   QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                   QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAll());
        return false;
    }
    const QList<QSslCertificate> trusted = QSslCertificate::fromPath(cert);
    if (trusted.isEmpty()) {
        m_error = QStringLiteral("unreadable certificate");
        return false;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(trusted);
    QSslConfiguration::setDefaultConfiguration(tls);

    setRules({});
    const QString script = qEnvironmentVariable("ORCHIDLANTERN_SOURCE_DIR")
                           + QStringLiteral("/tests/outputs/webstandin.py");
    m_process.start(QStringLiteral("python3"), {script, QStringLiteral("--cert"), cert, QStringLiteral("--key"), key,
                                                QStringLiteral("--rules"), m_dir.filePath(QStringLiteral("rules.json"))});
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        if (!m_process.canReadLine()) {
            m_process.waitForReadyRead(200);
            continue;
        }
        const QByteArray line = m_process.readLine().trimmed();
        if (line.startsWith("PORT ")) {
            m_port = quint16(line.mid(5).toUInt());
            return m_port != 0;
        }
    }
    m_error = QStringLiteral("webstandin.py did not start");
    return false;
}

void WebStandIn::setRules(const QJsonArray& rules)
{
    QSaveFile f(m_dir.filePath(QStringLiteral("rules.json")));
    if (f.open(QIODevice::WriteOnly)) {
        f.write(QJsonDocument(rules).toJson(QJsonDocument::Compact));
        f.commit();
    }
}

QJsonObject WebStandIn::answer(const QString& path, const QJsonValue& body, const QJsonObject& extra)
{
    QJsonObject rule = extra;
    rule.insert(QStringLiteral("path"), path);
    rule.insert(QStringLiteral("body"), body);
    return rule;
}

QList<QJsonObject> WebStandIn::requests()
{
    m_pending += m_process.readAllStandardOutput();
    qsizetype eol;
    while ((eol = m_pending.indexOf('\n')) >= 0) {
        m_requests << QJsonDocument::fromJson(m_pending.left(eol)).object();
        m_pending.remove(0, eol + 1);
    }
    return m_requests;
}

QStringList WebStandIn::targets()
{
    QStringList out;
    for (const QJsonObject& r : requests())
        out << r.value(QStringLiteral("target")).toString();
    return out;
}
