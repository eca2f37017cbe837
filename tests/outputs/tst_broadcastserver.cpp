// ctest: timeout 600
#include "audiofixtures.h"
#include "engine/mp3encoder.h"
#include "olmain.h"
#include "outputs/broadcastserver.h"
#include "tonesource.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QElapsedTimer>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

void enable(quint16 port, int maxListeners = 10)
{
    QSettings s;
    s.setValue(QStringLiteral("server/enabled"), true);
    s.setValue(QStringLiteral("server/port"), port);
    s.setValue(QStringLiteral("server/maxListeners"), maxListeners);
}

// A raw HTTP client on a real socket; reads into its own buffer unless
// told to stop reading.
struct RawClient
{
    QTcpSocket socket;
    QByteArray received;

    bool open(quint16 port, const QByteArray& request, bool reads = true)
    {
        if (reads)
            QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { received += socket.readAll(); });
        else
            socket.setReadBufferSize(1024);
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return false;
        if (!request.isEmpty())
            socket.write(request);
        return true;
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QByteArray kGet = QByteArrayLiteral("GET /stream HTTP/1.0\r\nHost: x\r\n\r\n");

// Plain descriptors for connections that never send a byte.
int rawSocket()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool rawConnect(int fd, quint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

bool closedByServer(int fd)
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Sets the process's descriptor limit; the old one comes back at the end
// of the scope.
struct DescriptorLimit
{
    rlimit saved{};
    explicit DescriptorLimit(rlim_t soft)
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit lower = saved;
        lower.rlim_cur = soft;
        setrlimit(RLIMIT_NOFILE, &lower);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved); }
};

} // namespace

class TestBroadcastServer : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QSettings().remove(QStringLiteral("server"));
        if (!Mp3Encoder::available())
            QSKIP("ffmpeg is not installed");
    }

    void settingsAndStartFailures()
    {
        QCOMPARE(BroadcastServer::enabledInSettings(), false);
        QCOMPARE(BroadcastServer::portFromSettings(), 8000);
        QCOMPARE(BroadcastServer::maxListenersFromSettings(), 10);
        QCOMPARE(BroadcastServer::bitrateFromSettings(), 128);
        QCOMPARE(BroadcastServer::stationName(), QStringLiteral("Orchidlantern"));
        QCOMPARE(BroadcastServer::stationGenre(), QStringLiteral("Various"));

        BroadcastServer server;
        QSignalSpy log(&server, &BroadcastServer::logMessage);
        QVERIFY(!server.start()); // disabled
        QCOMPARE(log.count(), 0);
        QCOMPARE(server.port(), quint16(0));

        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::Any, 0));
        enable(occupier.serverPort());
        QVERIFY(!server.start());
        QCOMPARE(log.last().at(0).toString(),
                 QStringLiteral("Built-in server: could not listen on port %1 (The bound address is already in use)")
                     .arg(occupier.serverPort()));
        QVERIFY(!server.isListening());

        const quint16 port = freePort();
        enable(port, 7);
        QVERIFY(server.start());
        QCOMPARE(log.last().at(0).toString(),
                 QStringLiteral("Built-in server: listening on http://0.0.0.0:%1/ (up to 7 listeners)").arg(port));
        QCOMPARE(server.port(), port);

        QSettings().setValue(QStringLiteral("server/enabled"), false);
        server.applySettings();
        QVERIFY(!server.isListening());
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Built-in server: stopped"));
    }

    // Real listeners: the header block, the 503 when full, requests that
    // are not GET, and the limit read afresh for every request.
    void requestsAndLimit()
    {
        const quint16 port = freePort();
        enable(port, 2);
        QSettings().setValue(QStringLiteral("server/name"), QStringLiteral("Night\r\nSet-Cookie: x=1"));
        BroadcastServer server;
        QSignalSpy log(&server, &BroadcastServer::logMessage);
        QSignalSpy count(&server, &BroadcastServer::listenersChanged);
        QVERIFY(server.start());

        RawClient first;
        QVERIFY(first.open(port, kGet));
        QTRY_VERIFY_WITH_TIMEOUT(first.received.contains("\r\n\r\n"), 10000);
        QCOMPARE(first.received,
                 QByteArray("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name: Night Set-Cookie: x=1\r\n"
                            "icy-genre: Various\r\nicy-br: 128\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n"));
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Built-in server: listener connected (1 total)"));

        server.setNowPlaying(QStringLiteral("Ärtist - Sóng\r\nX-Evil: 1"));
        RawClient second;
        QVERIFY(second.open(port, QByteArrayLiteral("GET /any/path?x=1 HTTP/1.1\r\n\r\n")));
        QTRY_VERIFY_WITH_TIMEOUT(second.received.contains("\r\n\r\n"), 10000);
        QVERIFY(second.received.contains(QStringLiteral("\r\nicy-notice2: Ärtist - Sóng X-Evil: 1\r\n").toUtf8()));
        QCOMPARE(server.listenerCount(), 2);

        RawClient third;
        QVERIFY(third.open(port, kGet));
        QTRY_VERIFY_WITH_TIMEOUT(third.closed(), 10000);
        QCOMPARE(third.received, QByteArray("HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                                            "Content-Length: 11\r\nConnection: close\r\n\r\nServer full"));
        QCOMPARE(server.listenerCount(), 2);

        RawClient head;
        QVERIFY(head.open(port, QByteArrayLiteral("HEAD / HTTP/1.0\r\n\r\n")));
        QTRY_VERIFY_WITH_TIMEOUT(head.closed(), 10000);
        QVERIFY(head.received.isEmpty());

        first.socket.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(server.listenerCount(), 1, 10000);
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Built-in server: listener left (1 total)"));

        // A lower limit holds from the next request on; who is in stays in.
        QSettings().setValue(QStringLiteral("server/maxListeners"), 1);
        RawClient fourth;
        QVERIFY(fourth.open(port, kGet));
        QTRY_VERIFY_WITH_TIMEOUT(fourth.closed(), 10000);
        QVERIFY(fourth.received.startsWith("HTTP/1.0 503"));
        QCOMPARE(server.listenerCount(), 1);
        QSettings().setValue(QStringLiteral("server/maxListeners"), 3);
        RawClient fifth;
        QVERIFY(fifth.open(port, kGet));
        RawClient sixth;
        QVERIFY(sixth.open(port, kGet));
        QTRY_COMPARE_WITH_TIMEOUT(server.listenerCount(), 3, 10000);

        count.clear();
        const qsizetype lines = log.count();
        server.stop();
        QCOMPARE(server.listenerCount(), 0);
        QCOMPARE(log.count(), lines + 1);
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Built-in server: stopped"));
        QCOMPARE(count.count(), 1);
        QCOMPARE(count.first().at(0).toInt(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(second.closed() && fifth.closed() && sixth.closed(), 10000);
    }

    // A crowd arriving at once is served whole: only the listener limit
    // turns anyone away.
    void burstOfListeners()
    {
        constexpr int kCrowd = 200;
        const quint16 port = freePort();
        enable(port, kCrowd);
        BroadcastServer server;
        QVERIFY(server.start());
        std::vector<std::unique_ptr<RawClient>> crowd;
        for (int i = 0; i < kCrowd + 1; ++i) {
            crowd.push_back(std::make_unique<RawClient>());
            QVERIFY(crowd.back()->open(port, kGet));
        }
        QTRY_COMPARE_WITH_TIMEOUT(std::count_if(crowd.cbegin(), crowd.cend(),
                                                [](const auto& c) { return c->received.contains("\r\n\r\n"); }),
                                  kCrowd + 1, 60000);
        QCOMPARE(server.listenerCount(), kCrowd);
        QCOMPARE(std::count_if(crowd.cbegin(), crowd.cend(),
                               [](const auto& c) { return c->received.startsWith("HTTP/1.0 200 OK\r\n"); }),
                 kCrowd);
    }

    void idleConnectionsAreClosed()
    {
        const quint16 port = freePort();
        enable(port);
        BroadcastServer server;
        QVERIFY(server.start());
        RawClient silent;
        QVERIFY(silent.open(port, QByteArray()));
        QTRY_VERIFY_WITH_TIMEOUT(silent.closed(), BroadcastServer::kRequestTimeoutMs + 15000);
        QCOMPARE(server.listenerCount(), 0);
        QVERIFY(silent.received.isEmpty());
    }

    // Running out of descriptors for a moment must not end accepting, and a
    // client opening connections in a loop and sending nothing must not use
    // them up: the oldest waiting connections are let go, the listener keeps
    // its stream, and a late listener whose request comes in pieces gets in.
    void survivesShortagesAndIdleConnections()
    {
        const quint16 port = freePort();
        enable(port);
        BroadcastServer server;
        QSignalSpy log(&server, &BroadcastServer::logMessage);
        QVERIFY(server.start());
        const auto acceptErrors = [&log] {
            return std::count_if(log.cbegin(), log.cend(), [](const QList<QVariant>& args) {
                return args.at(0).toString().startsWith(QStringLiteral("Built-in server: could not accept a connection"));
            });
        };
        QList<int> idle;
        {
            // Made while no descriptor is free below the lowest unused one,
            // the connection cannot be accepted.
            idle << rawSocket();
            const int free = ::dup(0);
            ::close(free);
            const DescriptorLimit limit{rlim_t(free)};
            QVERIFY(rawConnect(idle.last(), port));
            QTRY_COMPARE_WITH_TIMEOUT(acceptErrors(), 1, 10000);
        }

        ToneSource tone(44100, 2);
        TonePump pump(&tone, 40, 1.0);
        connect(&pump, &TonePump::buffer, &server, &BroadcastServer::pushAudio);
        pump.start();
        // Until the server listens again a connection may be turned away.
        std::unique_ptr<RawClient> first;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     if (!first || first->closed()) {
                                         first = std::make_unique<RawClient>();
                                         first->open(port, kGet);
                                     }
                                     return first->received.size() > 4000;
                                 }()),
                                 20000);
        RawClient& listener = *first;

        constexpr int kFlood = 300;
        {
            // Room for the flood's own ends and the capped server side, not
            // for a server that keeps every idle connection.
            const int open = int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
            const DescriptorLimit limit{rlim_t(open + kFlood + BroadcastServer::kMaxWaitingRequests + 24)};
            const qsizetype before = listener.received.size();
            for (int i = 0; i < kFlood; ++i) {
                idle << rawSocket();
                QVERIFY2(rawConnect(idle.last(), port), qPrintable(qt_error_string(errno)));
                if (i % 10 == 9)
                    QTest::qWait(20);
            }
            QTRY_VERIFY_WITH_TIMEOUT(std::count_if(idle.cbegin(), idle.cend(), closedByServer)
                                         >= kFlood - BroadcastServer::kMaxWaitingRequests,
                                     60000);
            QVERIFY(listener.received.size() > before);
        }

        RawClient late;
        QVERIFY(late.open(port, QByteArrayLiteral("GE")));
        QTest::qWait(300);
        late.socket.write("T /live HTTP/1.0\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(late.received.startsWith("HTTP/1.0 200 OK\r\n"), 10000);
        const qsizetype got = listener.received.size();
        QTRY_VERIFY_WITH_TIMEOUT(listener.received.size() > got + 4000, 20000);
        QCOMPARE(server.listenerCount(), 2);
        QCOMPARE(acceptErrors(), 1);
        for (int fd : std::as_const(idle))
            ::close(fd);
    }

    // ffprobe reads the stream at the rate of the buffer that opened the
    // encoder; a later source at another rate and channel count keeps the
    // tone's pitch.
    void streamDecodesAtTheRightRate()
    {
        const quint16 port = freePort();
        enable(port);
        BroadcastServer server;
        QVERIFY(server.start());
        const QString folder = testHome().scratch(QStringLiteral("server"));
        const QString capture = folder + QStringLiteral("/listen.mp3");

        ToneSource first(48000, 2, QAudioFormat::Float, 1000.0, 0.4);
        ToneSource second(22050, 1, QAudioFormat::Int16, 1000.0, 0.4);
        ToneSource* current = &first;
        QTimer pump;
        pump.setInterval(40);
        connect(&pump, &QTimer::timeout, &server, [&] {
            server.pushAudio(current->next(current->format().sampleRate() / 25));
        });
        pump.start();

        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-N"), QStringLiteral("-D"),
                                            folder + QStringLiteral("/h.txt"), QStringLiteral("-o"), capture,
                                            QStringLiteral("http://127.0.0.1:%1/").arg(port)});
        QTRY_COMPARE_WITH_TIMEOUT(server.listenerCount(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(capture).size() > 16000 * 2, 30000);
        current = &second;
        const qsizetype atSwitch = readFile(capture).size();
        QTRY_VERIFY_WITH_TIMEOUT(readFile(capture).size() > atSwitch + 16000 * 3, 30000);
        curl.kill();
        curl.waitForFinished(5000);

        QVERIFY(readFile(folder + QStringLiteral("/h.txt")).startsWith("HTTP/1.0 200 OK\r\n"));
        QCOMPARE(AudioFixtures::probe(capture, QStringLiteral("stream=codec_name")), QStringLiteral("mp3"));
        QCOMPARE(AudioFixtures::probe(capture, QStringLiteral("stream=sample_rate")), QStringLiteral("48000"));
        QCOMPARE(AudioFixtures::probe(capture, QStringLiteral("stream=channels")), QStringLiteral("2"));
        const double f = ToneSource::frequencyIn(capture, 48000);
        QVERIFY2(qAbs(f - 1000.0) < 5.0, qPrintable(QString::number(f)));

        // The last listener gone, the next one opens a new encoder at the
        // rate of the source then playing.
        QTRY_COMPARE_WITH_TIMEOUT(server.listenerCount(), 0, 10000);
        const QString again = folder + QStringLiteral("/again.mp3");
        QProcess curl2;
        curl2.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-N"), QStringLiteral("-o"), again,
                                             QStringLiteral("http://127.0.0.1:%1/").arg(port)});
        QTRY_VERIFY_WITH_TIMEOUT(readFile(again).size() > 16000 * 2, 30000);
        curl2.kill();
        curl2.waitForFinished(5000);
        QCOMPARE(AudioFixtures::probe(again, QStringLiteral("stream=sample_rate")), QStringLiteral("22050"));
        QCOMPARE(AudioFixtures::probe(again, QStringLiteral("stream=channels")), QStringLiteral("1"));
    }

    void listenerThatStopsReadingIsDropped()
    {
        const quint16 port = freePort();
        enable(port);
        BroadcastServer server;
        QSignalSpy log(&server, &BroadcastServer::logMessage);
        QVERIFY(server.start());
        ToneSource tone(44100, 2);
        TonePump pump(&tone, 40, 20.0); // far faster than real time, to fill the buffers quickly
        connect(&pump, &TonePump::buffer, &server, &BroadcastServer::pushAudio);

        RawClient reader;
        QVERIFY(reader.open(port, kGet));
        RawClient stuck;
        stuck.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        QVERIFY(stuck.open(port, kGet, false));
        QTRY_COMPARE_WITH_TIMEOUT(server.listenerCount(), 2, 10000);
        pump.start();

        QTRY_COMPARE_WITH_TIMEOUT(server.listenerCount(), 1, 120000);
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Built-in server: listener left (1 total)"));
        // The one that reads kept getting the stream and still does.
        const qsizetype got = reader.received.size();
        QVERIFY(got > server.sendBufferLimit());
        QTRY_VERIFY_WITH_TIMEOUT(reader.received.size() > got + 32000, 30000);
        QVERIFY(!reader.closed());
    }

    // With nothing playing a listener still gets a stream, of silence, at
    // its rate: a player does not give up on a pause.
    void listenerHearsSilenceWhileNothingPlays()
    {
        const quint16 port = freePort();
        enable(port);
        BroadcastServer server;
        QVERIFY(server.start());
        RawClient listener;
        QVERIFY(listener.open(port, kGet));
        QTRY_COMPARE_WITH_TIMEOUT(server.listenerCount(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(listener.received.size() > 16000 * 2, 30000);
        const QByteArray body = listener.received.mid(listener.received.indexOf("\r\n\r\n") + 4);
        QVERIFY(body.startsWith("ID3") || (quint8(body.at(0)) == 0xFF && (quint8(body.at(1)) & 0xE0) == 0xE0));
        // At 128 kbit/s: 16 000 bytes a second, not a part of it.
        const qint64 from = listener.received.size();
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(4000);
        const double rate = (listener.received.size() - from) / (clock.elapsed() / 1000.0);
        QVERIFY2(rate > 16000 * 0.8 && rate < 16000 * 1.25, qPrintable(QString::number(rate)));
        QVERIFY(!listener.closed());
    }
};

OL_TEST_MAIN(TestBroadcastServer)
#include "tst_broadcastserver.moc"
