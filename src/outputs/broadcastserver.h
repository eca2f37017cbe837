#pragma once

#include "outputs/mp3tap.h"
#include "outputs/onairencoders.h"

#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QObject>

class QAudioBuffer;
class QTcpServer;
class QTcpSocket;
class QTimer;

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
    // At most this many connections wait for their request. When another
    // arrives, the oldest goes if it has waited longer than a listener that
    // asks at once ever would; otherwise the newcomer waits its turn in the
    // system's queue.
    static constexpr int kMaxWaitingRequests = 32;
    static constexpr int kPromptRequestMs = 1000;
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
    bool openEncoder(int rate, int channels);
    void closeWaiting(QTcpSocket* socket);
    void listenAgain(QTcpServer* server, quint16 port);
    void acceptMore();

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
    int m_bitrate = 128;
    QString m_nowPlaying;
    QHash<QTcpSocket*, QTimer*> m_pending; // connected, no request yet
    QTimer* m_acceptRetry = nullptr;
};
