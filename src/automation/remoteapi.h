#pragma once

#include "automation/playbackinfo.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// Remote control over HTTP or HTTPS: one GET per connection carries a
// command line (cmd=) or asks for the playback state (action=playbackinfo),
// is answered and closed.
class RemoteApi : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QString path;
        QMap<QString, QString> query; // keys lower-cased, values decoded
        bool valid = false;           // a GET with a target
    };

    enum Outcome {
        Accepted = 0,
        Forbidden = 1, // wrong password or user name
        Unknown = 2,   // refused or unknown verb, unknown action
        Malformed = 3, // not a GET, or neither a command nor an action
        NeedsPassword = 4, // a command that may not run while no password is set
    };

    // Whether a request line has ended in the bytes received so far.
    enum class LineState { Incomplete, Complete, TooLong };

    static constexpr int kMaxRequestLine = 8192;
    static constexpr int kRequestTimeoutMs = 10000;
    static constexpr int kMaxConnections = 64;

    explicit RemoteApi(QObject* parent = nullptr);
    ~RemoteApi() override;

    static bool enabledInSettings();
    static int portFromSettings();
    static bool localhostOnly();
    static bool httpsFromSettings();
    static QString usernameFromSettings();
    static QString passwordFromSettings();
    static QString certFileFromSettings();
    static QString keyFileFromSettings();

    void applySettings();
    bool start();
    void stop();
    bool isListening() const;
    quint16 port() const;

    // Request handling, free of sockets.
    static LineState requestLine(const QByteArray& received, QByteArray* line);
    static Request parseRequest(const QByteArray& line);
    static int classify(const Request& request, const QString& password, QString* command, QString* action,
                        const QString& username);
    static QString playbackInfoXml(const PlaybackInfo& info);
    // The whole answer to one request line; emits what the request asks for.
    QByteArray answer(const QByteArray& line, const QString& password, const QString& username);

signals:
    void commandRequested(const QString& command);
    // The receiver fills the record before it returns; connect directly.
    void playbackInfoRequested(PlaybackInfo* info);
    void logMessage(const QString& text);

private slots:
    void onConnection();

private:
    void serve(QTcpSocket* socket, const QByteArray& data);
    void finish(QTcpSocket* socket, const QByteArray& reply);

    struct Connection
    {
        QByteArray received; // of the request line, until it ends
        bool answered = false;
    };

    QTcpServer* m_server = nullptr;
    QHash<QTcpSocket*, Connection> m_connections; // open, answered or not
    bool m_fullLogged = false;
};
