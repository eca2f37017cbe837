#pragma once

#include "outputs/mp3tap.h"
#include "outputs/onairencoders.h"

#include <QByteArrayView>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

class QAudioBuffer;
class QTcpServer;
class QTcpSocket;

// Built-in listener server: plain HTTP on one port; every listener gets
// the same MP3 bytes, encoded once while anybody listens.
class BroadcastServer : public QObject
{
    Q_OBJECT

public:
    explicit BroadcastServer(QObject* parent = nullptr);
    ~BroadcastServer() override;

    static bool enabledInSettings();
    static int portFromSettings();
    static int maxListenersFromSettings();
    static int bitrateFromSettings();
    static QString stationName();
    static QString stationGenre();

    bool start();
    void stop();
    void applySettings();

    bool isListening() const;
    quint16 port() const;
    // Why the last start left the server not listening, for the operator;
    // empty while it listens or after it was stopped on purpose.
    QString problem() const { return m_problem; }
    int listenerCount() const { return int(m_listeners.size()); }
    // The on-air mix is then encoded where other outputs take it too.
    void setSharedEncoders(OnAirEncoders* encoders) { m_shared = encoders; }

    // MP3 bytes allowed to wait for one listener before it counts as gone:
    // a few seconds of the stream.
    qint64 sendBufferLimit() const;
    // A connection that sends no request within this time is closed.
    static constexpr int kRequestTimeoutMs = 10000;
    // Connections waiting for their request: beyond kKeepWaiting those that
    // have waited longer than a client that asks at once would go, oldest
    // first (unless their request has come meanwhile), and at most
    // kMaxWaitingRequests are taken from the system's queue at all.
    static constexpr int kKeepWaiting = 32;
    static constexpr int kMaxWaitingRequests = 128;
    static constexpr int kPromptRequestMs = 100;
    static constexpr int kListenBacklog = 1024;

    // What the bytes a connection sent so far ask for: a request line may
    // come in pieces, so it waits while they can still become a GET.
    enum class Request { Incomplete, Listener, Refused };
    static Request judgeRequest(QByteArrayView received);

signals:
    void listenersChanged(int count);
    void logMessage(const QString& text);
    void problemChanged(const QString& problem);

public slots:
    void pushAudio(const QAudioBuffer& buffer);
    void setNowPlaying(const QString& title);

private slots:
    void onConnection();

private:
    void serveListener(QTcpSocket* socket, const QByteArray& bytes);
    void broadcastBytes(const QByteArray& bytes);
    void dropListener(QTcpSocket* socket);
    void closeEncoderIfIdle();
    bool openEncoder(int rate, int channels, bool fillGaps = true);
    void closeEncoder();
    void closeWaiting(QTcpSocket* socket);
    bool forgetWaiting(QTcpSocket* socket);
    void makeRoom();
    void listenAgain(QTcpServer* server, quint16 port);

    QTcpServer* m_server = nullptr;
    void setProblem(const QString& problem);

    QList<QTcpSocket*> m_listeners;
    QString m_problem;
    OnAirEncoders m_ownEncoders;
    OnAirEncoders* m_shared = nullptr;
    Mp3Tap m_encoder;
    int m_rate = 44100;  // the format last streamed
    int m_channels = 2;
    bool m_encoderOpen = false;
    QTimer m_settle; // runs while the first listener's encoder waits to learn its format
    int m_bitrate = 128;
    QString m_nowPlaying;
    // Connected, no request yet: its time-out, the order of arrival and
    // when it was taken (on m_clock).
    struct Waiting
    {
        QTimer* timer = nullptr;
        quint64 order = 0;
        qint64 since = 0;
    };
    QHash<QTcpSocket*, Waiting>::const_iterator oldestWaiting() const;
    QHash<QTcpSocket*, Waiting> m_pending;
    quint64 m_arrivals = 0;
    QElapsedTimer m_clock;
    QTimer m_acceptRetry;
};
