#pragma once

#include "automation/playbackinfo.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <tuple>

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
        QMap<QString, QString> query; // form-decoded; keys lower-cased
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
    // Connections that have not sent their request yet: at most this many
    // in all (the one waiting longest goes) and from one address (its own
    // oldest goes, once it has waited longer than a client that asks at
    // once would). A request that has come is never what makes room.
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxPerAddress = 8;
    static constexpr int kPromptRequestMs = 1000;
    // Guessing is bounded where passwords are compared: at most
    // kChecksPerSecond a second over all addresses, a right one giving its
    // turn back. A right password is answered as soon as it is compared, a
    // wrong one after a hold, so the time tells which; a guesser still learns
    // no more than the compares it was given. Requests wait for their compare
    // ranked by their address (one that gave the right password lately,
    // then one without wrong ones lately, a fresh one among them, then the
    // rest), then by their place among those of their address, so that many
    // from one address wait in turn and crowd out no other. Beyond
    // kMaxWaitingChecks the last in rank is refused uncompared. The hold of a
    // wrong password is kHoldPerGuessMs per recent wrong one from its
    // address, the same for any wrong password: a guesser that waits for
    // each answer guesses slower still.
    static constexpr int kHoldPerGuessMs = 200;
    static constexpr int kMaxHoldMs = 10000;
    static constexpr int kChecksPerSecond = 10;
    static constexpr int kMaxWaitingChecks = 64;
    // How long a right password keeps its address first in line.
    static constexpr qint64 kGoodRecordMs = 24LL * 3600 * 1000;
    // How long a wrong password counts as recent (it fades out gradually).
    static constexpr int kGuessMemoryMs = 60000;
    // Refusals logged one by one before the rest go into a line a minute.
    static constexpr int kRefusalsLogged = 5;

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
    // With the client's address a refusal is counted for the log's summary,
    // and a wrong password as a guess from there.
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
    QByteArray respond(const QByteArray& line, const QString& password, const QString& username,
                       const QString& peer, bool* guess);
    void admit();
    void refuseUnchecked(QTcpSocket* socket);
    void checkWaiting();
    void check(QTcpSocket* socket, bool password);
    // Smaller comes first: the address's standing, the request's place
    // among those of its address, its arrival.
    using Rank = std::tuple<int, int, quint64>;
    QList<std::pair<Rank, QTcpSocket*>> waitingInRank(qint64 now) const;
    int standing(const QString& peer, qint64 now) const;
    void makeRoom();
    bool askedMeanwhile(QTcpSocket* socket);
    void noteRefusal(const QString& peer, bool guess);
    void logSummaries();

    struct Connection
    {
        QByteArray received; // of the request line, until it ends
        bool answered = false;
        bool waiting = false; // the request, in received, waits for its password check
        QString peer;
        quint64 order = 0;   // smaller is older
        qint64 arrived = 0;  // on m_clock
        QByteArray held;     // the answer to a wrong password, sent at heldUntil
        qint64 heldUntil = -1;
    };

    // Wrong passwords of late, fading out over kGuessMemoryMs.
    struct Recent
    {
        double count = 0;
        qint64 at = 0;
        void add(qint64 now);
        double now(qint64 now) const;
    };

    // What one address did: its guesses, and what is told in a line a minute.
    struct Tally
    {
        Recent guesses;
        qint64 lastSeen = 0;
        qint64 lastRight = -1; // its last right password, on m_clock
        int unloggedTimeouts = 0;
        bool good(qint64 now) const { return lastRight >= 0 && now - lastRight < kGoodRecordMs; }
    };

    QTcpServer* m_server = nullptr;
    QHash<QTcpSocket*, Connection> m_connections; // open, answered or not
    quint64 m_arrivals = 0;
    QHash<QString, Tally> m_tallies;
    double m_checks = kChecksPerSecond; // compares that may be made now, filling up with time
    qint64 m_checksAt = 0;
    int m_loggedRefusals = 0;      // one by one, since the log was last quiet for a minute
    int m_unloggedRefusals = 0;
    int m_minuteRefusals = 0;      // since the last summary, logged or not
    QSet<QString> m_refusedFrom;   // addresses of the unlogged refusals
    int m_unchecked = 0;           // refused unchecked since the last summary
    QSet<QString> m_uncheckedFrom;
    QElapsedTimer m_clock;
    QTimer m_summary;
    QTimer m_roomCheck;            // an address over its share, its oldest still young
    QTimer m_checkTimer;           // the next compare that may be made, or held answer due
};
