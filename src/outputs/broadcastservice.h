#pragma once

#include "outputs/audiocapture.h"
#include "outputs/broadcastconfig.h"
#include "outputs/mp3tap.h"
#include "outputs/onairencoders.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>

class QAudioBuffer;
class QNetworkAccessManager;
class QTcpSocket;
class QTimer;

// Source client of an Icecast-type streaming server: one SOURCE connection
// carrying MP3, title updates on the admin interface and the listener count
// read from the server's status page.
class BroadcastService : public QObject
{
    Q_OBJECT

public:
    explicit BroadcastService(QObject* parent = nullptr);
    ~BroadcastService() override;

    static BroadcastConfig configFromSettings();
    static void saveConfig(const BroadcastConfig& config);
    static bool encoderAvailable();

    void setConfig(const BroadcastConfig& config);
    BroadcastConfig config() const { return m_config; }
    bool isStreaming() const { return m_streaming; }
    // The stream dropped or was refused while broadcasting is on: it is
    // tried again by itself until it is back or stop() is called.
    bool isReconnecting() const { return m_reconnecting; }
    int listenerCount() const { return m_listeners; }
    // The on-air mix is then encoded where other outputs take it too.
    void setSharedEncoders(OnAirEncoders* encoders) { m_shared = encoders; }
    // The capture device asked for while it is not present and the default
    // input is streamed in its place; empty otherwise.
    QString missingDevice() const { return m_capture.missingDevice(); }

    // MP3 bytes allowed to wait in the socket before the server counts as
    // no longer reading: a few seconds of the stream.
    qint64 sendBufferLimit() const;

    // Delays between reconnection attempts: the first, doubling up to the
    // last. The last is short so that the station is back on the internet
    // within seconds of the server's return, however long it was away.
    static constexpr int kFirstRetryMs = 2000;
    static constexpr int kLastRetryMs = 8000;
    // Time allowed from connecting to the server's answer, and for the
    // metadata and statistics requests.
    static constexpr int kConnectTimeoutMs = 10000;
    static constexpr int kRequestTimeoutMs = 10000;

    // Whether the server's answer to the source request lets the stream
    // start; statusLine gets its first line, for the log.
    static bool sourceAccepted(const QByteArray& answer, QString* statusLine = nullptr);
    // The listeners of mount on the server's status-json page.
    static int listenersForMount(const QJsonObject& root, const QString& mount);

signals:
    void streamingChanged(bool streaming);
    // Broadcasting was switched on or off, as the operator left it: on from
    // start() to stop(), through drops and retries, whatever the connection
    // does.
    void activeChanged(bool active);
    void logMessage(const QString& text);
    void listenersChanged(int count);
    // What missingDevice() says has changed.
    void captureChanged();

public slots:
    void start();
    void stop();
    // The title of what is on air, while broadcasting is on: sent at once
    // while streaming, and again whenever the stream (re)connects.
    void updateMetadata(const QString& title);
    void pushAudio(const QAudioBuffer& buffer);

private slots:
    void sendSourceHeader();
    void onHandshakeData();
    void pollListenerStats();

private:
    void connectToServer();
    void teardown(const QString& reason, bool error);
    void retryLater();
    void setActive(bool active);
    void restartEncoder();
    void encodeAndSend(const QByteArray& pcm);
    bool openEncoder();
    void sendEncoded(const QByteArray& mp3);
    QByteArray credentials() const;

    BroadcastConfig m_config;
    QTcpSocket* m_socket = nullptr;
    QNetworkAccessManager* m_network = nullptr;
    QTimer* m_statsTimer = nullptr;
    int m_listeners = 0;
    OnAirEncoders m_ownEncoders;
    OnAirEncoders* m_shared = nullptr;
    Mp3Tap m_encoder;
    AudioCapture m_capture;
    QTimer* m_connectTimer = nullptr;
    QTimer* m_retryTimer = nullptr;
    int m_retryDelayMs = kFirstRetryMs;
    int m_attempts = 0;
    QElapsedTimer m_droppedAt;
    QElapsedTimer m_encoderRestarted;
    bool m_streaming = false;
    bool m_handshakeDone = false;
    bool m_wanted = false;        // broadcasting is on: from start() to stop()
    bool m_reconnecting = false;
    QString m_lastTitle;          // sent whenever the stream (re)connects
};
