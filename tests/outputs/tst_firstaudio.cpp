// ctest: timeout 300
// How soon sound reaches whoever asks for it: a listener of the built-in
// server and the streaming server fed by the source client, timed on real
// sockets to the first MP3 frame (not the header block, nor a tag).
#include "engine/mp3encoder.h"
#include "firstaudio.h"
#include "olmain.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "tonesource.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace {

void enableServer()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    QSettings s;
    s.setValue(QStringLiteral("server/enabled"), true);
    s.setValue(QStringLiteral("server/port"), probe.serverPort());
}

// The only listener's wait for sound; gone, it closes the encoder, so the
// next one starts it afresh.
double firstListenerWait(BroadcastServer& server)
{
    const double ms = FirstAudio::listenerMs(server.port());
    (void)QTest::qWaitFor([&server] { return server.listenerCount() == 0; }, 10000);
    return ms;
}

} // namespace

class TestFirstAudio : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (!Mp3Encoder::available())
            QSKIP("ffmpeg is not installed");
    }

    // Sound within a second: for the first listener in a pause and while a
    // source plays, and at a streaming server from its acceptance of the
    // source on.
    void firstAudioWithinASecond()
    {
        enableServer();
        BroadcastServer server;
        QVERIFY(server.start());
        const double inPause = firstListenerWait(server);
        ToneSource tone(48000, 2, QAudioFormat::Float);
        TonePump pump(&tone, 40);
        connect(&pump, &TonePump::buffer, &server, &BroadcastServer::pushAudio);
        pump.start();
        const double whilePlaying = firstListenerWait(server);
        QVERIFY2(inPause >= 0 && inPause < 1000, qPrintable(QString::number(inPause)));
        QVERIFY2(whilePlaying >= 0 && whilePlaying < 1000, qPrintable(QString::number(whilePlaying)));

        // A stand-in streaming server takes the source and times its sound.
        QTcpServer standIn;
        QVERIFY(standIn.listen(QHostAddress::LocalHost, 0));
        BroadcastConfig config;
        config.host = QStringLiteral("127.0.0.1");
        config.port = standIn.serverPort();
        config.password = QStringLiteral("x");
        config.internalMix = true;
        BroadcastService source;
        source.setConfig(config);
        source.start();
        QVERIFY(QTest::qWaitFor([&] { return standIn.hasPendingConnections(); }, 10000));
        std::unique_ptr<QTcpSocket> peer(standIn.nextPendingConnection());
        QByteArray request;
        QVERIFY(QTest::qWaitFor([&] { return (request += peer->readAll()).contains("\r\n\r\n"); }, 10000));
        QVERIFY(request.startsWith("SOURCE /stream HTTP/1.0\r\n"));
        QElapsedTimer accepted;
        accepted.start();
        peer->write("HTTP/1.0 200 OK\r\n\r\n");
        const double toServer = FirstAudio::msToFrame(*peer, accepted, false);
        QVERIFY(source.isStreaming());
        QVERIFY2(toServer >= 0 && toServer < 1000, qPrintable(QString::number(toServer)));
    }

    // A listener joining a stream is served at once behind connections that
    // never ask.
    void listenerBehindIdleConnections()
    {
        enableServer();
        BroadcastServer server;
        QVERIFY(server.start());
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, server.port());
        first.write("GET / HTTP/1.0\r\n\r\n");
        QElapsedTimer clock;
        clock.start();
        QVERIFY(FirstAudio::msToFrame(first, clock, true) >= 0);
        QList<int> idle;
        for (int i = 0; i < 300; ++i) {
            idle << ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(server.port());
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            QVERIFY(::connect(idle.last(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0);
        }
        const double ms = FirstAudio::listenerMs(server.port());
        for (int fd : std::as_const(idle))
            ::close(fd);
        QVERIFY2(ms >= 0 && ms < 1000, qPrintable(QString::number(ms)));
    }
};

OL_TEST_MAIN(TestFirstAudio)
#include "tst_firstaudio.moc"
