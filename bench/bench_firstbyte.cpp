// How long sound takes to reach whoever asks for it, over 20 connects each:
// a listener of the built-in server from its connect to the first MP3 frame,
// in a pause and while a source plays, each the first listener (so each
// starts an encoder), and a streaming server from its acceptance of the
// source client to the first frame. Real sockets on loopback; the streaming
// server is a stand-in that answers the SOURCE request and times the bytes.
// Also: a listener joining a running stream behind 300 connections that
// never send a request.
// Arguments name the cases to run (pause, playing, source, idle); all
// without.
#include "benchtiming.h"
#include "firstaudio.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "testhome.h"
#include "tonesource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kRuns = 20;

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A first listener's wait for sound: the encoder closes when it leaves, and
// the next one starts afresh.
double firstListenerMs(BroadcastServer& server)
{
    const double ms = FirstAudio::listenerMs(server.port());
    waitFor([&server] { return server.listenerCount() == 0; }, 10000);
    pause(100);
    return ms;
}

double sourceMs(QTcpServer& standIn, BroadcastService& source)
{
    source.start();
    // The client's own status requests come here too, and are let go.
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    QTcpSocket* peer = nullptr;
    const bool asked = waitFor(
        [&] {
            while (standIn.hasPendingConnections())
                peers.emplace_back(standIn.nextPendingConnection());
            for (const auto& p : peers) {
                const QByteArray head = p->peek(4096);
                if (head.startsWith("SOURCE ") && head.contains("\r\n\r\n"))
                    peer = p.get();
            }
            return peer != nullptr;
        },
        10000);
    if (!asked)
        return -1;
    peer->readAll();
    QElapsedTimer accepted;
    accepted.start();
    peer->write("HTTP/1.0 200 OK\r\n\r\n");
    const double ms = FirstAudio::msToFrame(*peer, accepted, false, 15000);
    source.stop();
    pause(100);
    return ms;
}

void report(const char* what, const QList<double>& ms)
{
    const Spread s = spreadOf(ms);
    const auto missing = std::count_if(ms.cbegin(), ms.cend(), [](double v) { return v < 0; });
    std::printf("%-44s median %7.1f ms, range %.1f-%.1f ms over %lld connects%s\n", what, s.median, s.low, s.high,
                static_cast<long long>(ms.size()), missing ? " (some got no sound in time: -1)" : "");
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QSettings().setValue(QStringLiteral("server/enabled"), true);
    QSettings().setValue(QStringLiteral("server/port"), port);
    const QStringList args = app.arguments().mid(1);
    const auto runs = [&args](const char* name) { return args.isEmpty() || args.contains(QLatin1String(name)); };
    BroadcastServer server;
    if (!server.start()) {
        std::fprintf(stderr, "the built-in server did not start\n");
        return 1;
    }

    if (runs("pause")) {
        QList<double> inPause;
        for (int i = 0; i < kRuns; ++i)
            inPause << firstListenerMs(server);
        report("first listener, nothing playing:", inPause);
    }

    ToneSource tone(48000, 2, QAudioFormat::Float);
    TonePump pump(&tone, 40);
    QObject::connect(&pump, &TonePump::buffer, &server, &BroadcastServer::pushAudio);
    if (runs("playing")) {
        pump.start();
        QList<double> playing;
        for (int i = 0; i < kRuns; ++i)
            playing << firstListenerMs(server);
        report("first listener, a source playing:", playing);
        pump.stop();
    }

    QTcpServer standIn;
    standIn.listen(QHostAddress::LocalHost, 0);
    BroadcastConfig config;
    config.host = QStringLiteral("127.0.0.1");
    config.port = standIn.serverPort();
    config.password = QStringLiteral("x");
    config.internalMix = true;
    BroadcastService source;
    source.setConfig(config);


    if (runs("source")) {
        QList<double> toServer;
        for (int i = 0; i < kRuns; ++i)
            toServer << sourceMs(standIn, source);
        report("source client, from SOURCE accepted:", toServer);
    }

    // A listener joining a stream behind connections that never ask; a few
    // rounds, since each needs its own crowd.
    QList<double> behind;
    QTcpSocket first;
    if (runs("idle")) {
        first.connectToHost(QHostAddress::LocalHost, port);
        first.write("GET / HTTP/1.0\r\n\r\n");
        QElapsedTimer clock;
        clock.start();
        FirstAudio::msToFrame(first, clock, true);
    }
    for (int round = 0; round < 5 && runs("idle"); ++round) {
        QList<int> idle;
        for (int i = 0; i < 300; ++i) {
            idle << ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(idle.last(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        behind << FirstAudio::listenerMs(port);
        for (int fd : std::as_const(idle))
            ::close(fd);
        pause(500);
    }
    if (!behind.isEmpty())
        report("listener joining, behind 300 idle connections:", behind);
    return 0;
}
