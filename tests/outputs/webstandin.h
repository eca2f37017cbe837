#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// An HTTPS server on loopback standing in for a web service outside the
// station (webstandin.py). Its self-signed certificate is made with openssl
// at start and trusted through the process's default TLS configuration, so
// the services under test need no hook of their own.
class WebStandIn
{
public:
    WebStandIn();
    ~WebStandIn();

    // False with the reason in errorText() when the server does not come up.
    bool start();
    QString errorText() const { return m_error; }
    QString baseUrl() const;

    // Replaces the answers; see webstandin.py for the shape of a rule.
    void setRules(const QJsonArray& rules);
    // A rule answering body on path; extra adds query, status, headers,
    // delay or mode.
    static QJsonObject answer(const QString& path, const QJsonValue& body, const QJsonObject& extra = {});

    // Every request received so far, in the order of arrival: objects with
    // "target" (path and query as sent), "path", "query" and "headers".
    QList<QJsonObject> requests();
    QStringList targets();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_pending;
    QList<QJsonObject> m_requests;
    quint16 m_port = 0;
    QString m_error;
};
