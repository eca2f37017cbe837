#pragma once

#include "automation/playbackinfo.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

class QSslCertificate;
class QSslKey;
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
    // From the connection's arrival, a TLS handshake included.
    static constexpr int kRequestTimeoutMs = 5000;
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxPerAddress = 8;
    // Bad passwords from one address before it is locked out; each further
    // lock-out lasts twice as long, up to 16 times the first.
    static constexpr int kFailuresBeforeLockout = 5;
    static constexpr int kLockoutMs = 30000;

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
    // With the client's address, repeated bad passwords lock that address out.
    QByteArray answer(const QByteArray& line, const QString& password, const QString& username,
                      const QString& peer = {});
    // The HTTPS certificate and key, or why they cannot serve.
    static QString loadTls(const QString& certPath, const QString& keyPath, QSslCertificate* certificate,
                           QSslKey* key);

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
    void drop(QTcpSocket* socket);
    void makeRoomFor(const QString& peer);
    bool lockedOut(const QString& peer);
    bool noteBadPassword(const QString& peer);
    void logSummaries();

    struct Connection
    {
        QByteArray received; // of the request line, until it ends
        bool answered = false;
        QString peer;
        quint64 order = 0; // smaller is older
    };

    // What one address did wrong, told in one line a minute.
    struct Tally
    {
        int strikes = 0;       // bad passwords since the window began
        qint64 windowStart = 0;
        qint64 lockedUntil = 0;
        int lockouts = 0;
        qint64 lastSeen = 0;
        int unloggedRefusals = 0;
        int unloggedTimeouts = 0;
    };

    QTcpServer* m_server = nullptr;
    QHash<QTcpSocket*, Connection> m_connections; // open, answered or not
    quint64 m_arrivals = 0;
    QHash<QString, Tally> m_tallies;
    QElapsedTimer m_clock;
    QTimer m_summary;
};
