#include "automation/remoteapi.h"
#include "olmain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <span>

#include <sys/stat.h>

namespace {

QByteArray plain(const char* status, const QByteArray& body)
{
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

const QByteArray kOk = plain("200 OK", "OK");
const QByteArray kUsage = plain("400 Bad Request", "Use ?pass=...&cmd=... or ?pass=...&action=playbackinfo");
const QByteArray kUnknown = plain("400 Bad Request", "Unknown command or action");
const QByteArray kBadPassword = plain("403 Forbidden", "Invalid password");
const QByteArray kNeedsPassword = plain("403 Forbidden", "This command needs an API password");

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A client program, run while the event loop keeps serving.
QByteArray client(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return "not started";
    p.write(input);
    p.closeWriteChannel();
    if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 30000))
        qWarning("%s did not finish", qPrintable(program));
    return p.readAllStandardOutput();
}

QByteArray curl(quint16 port, const QString& target, const QStringList& extra = {})
{
    return client(QStringLiteral("curl"), QStringList{"-s", "-i", "-g", "--max-time", "20"} + extra
                                              + QStringList{QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(target)});
}

// What the server sends on a raw socket until it closes, the pieces written
// with a pause between them.
QByteArray raw(quint16 port, const QList<QByteArray>& pieces, int waitMs = 30000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return "no connection";
    for (const QByteArray& piece : pieces) {
        s.write(piece);
        s.flush();
        QTest::qWait(300);
    }
    if (!QTest::qWaitFor([&] { return s.state() == QAbstractSocket::UnconnectedState; }, waitMs))
        return "still open: " + s.readAll();
    return s.readAll();
}

// Connections from another loopback address that send nothing.
std::vector<std::unique_ptr<QTcpSocket>> idleFrom(const QString& address, quint16 port, int count)
{
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < count; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->bind(QHostAddress(address));
        sockets.back()->connectToHost(QHostAddress::LocalHost, port);
        sockets.back()->waitForConnected(5000);
    }
    return sockets;
}

int closedCount(std::span<const std::unique_ptr<QTcpSocket>> sockets)
{
    return int(std::count_if(sockets.begin(), sockets.end(),
                             [](const auto& s) { return s->state() == QAbstractSocket::UnconnectedState; }));
}

// A request from a loopback address, written a while after connecting and
// run by the event loop: the answer, and when the server closed, timed from
// the request's writing.
struct Asker
{
    QString from;
    QTcpSocket socket;
    QByteArray answer;
    QElapsedTimer sent;
    double ms = -1;

    Asker(const QString& address, quint16 port, const QByteArray& request, int afterMs = 0)
        : from(address)
    {
        socket.bind(QHostAddress(from));
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { answer += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [this] { ms = sent.nsecsElapsed() / 1e6; });
        QObject::connect(&socket, &QTcpSocket::connected, &socket, [this, request, afterMs] {
            QTimer::singleShot(afterMs, &socket, [this, request] {
                sent.start();
                socket.write(request);
            });
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool done() const { return ms >= 0; }
};

QByteArray rawFrom(const QString& address, quint16 port, const QByteArray& request)
{
    auto one = idleFrom(address, port, 1);
    QTcpSocket& s = *one.front();
    s.write(request);
    if (!QTest::qWaitFor([&] { return s.state() == QAbstractSocket::UnconnectedState; }, 30000))
        return "still open";
    return s.readAll();
}

} // namespace

class TestRemoteApi : public QObject
{
    Q_OBJECT

    QStringList commands;
    QStringList log;
    PlaybackInfo info;
    quint16 port = 0;
    std::unique_ptr<RemoteApi> api; // last: it logs while it goes

    void makeApi()
    {
        api = std::make_unique<RemoteApi>();
        connect(api.get(), &RemoteApi::commandRequested, this, [this](const QString& c) { commands << c; });
        connect(api.get(), &RemoteApi::logMessage, this, [this](const QString& t) { log << t; });
        connect(api.get(), &RemoteApi::playbackInfoRequested, this, [this](PlaybackInfo* i) { *i = info; },
                Qt::DirectConnection);
    }

    QByteArray ask(const QString& line, const QString& password = {}, const QString& user = {})
    {
        return api->answer(line.toUtf8(), password, user);
    }

private slots:
    void init()
    {
        QSettings().clear();
        port = freePort();
        QSettings().setValue(QStringLiteral("api/enabled"), true);
        QSettings().setValue(QStringLiteral("api/port"), port);
        commands.clear();
        log.clear();
        info = PlaybackInfo();
        makeApi();
    }

    void startAndStop()
    {
        QSettings s;
        for (const int bad : {70000, 0, -1}) {
            s.setValue(QStringLiteral("api/port"), bad);
            QVERIFY(!api->start());
            QCOMPARE(log.takeLast(), QStringLiteral("Remote API: port %1 is outside 1..65535; not listening").arg(bad));
        }
        s.setValue(QStringLiteral("api/port"), port);
        api->applySettings();
        QVERIFY(api->isListening());
        QCOMPARE(api->port(), port);
        QCOMPARE(log, QStringList{QStringLiteral("Remote API: listening on http://127.0.0.1:%1").arg(port)});
        {
            QTcpServer taken;
            QVERIFY(taken.listen(QHostAddress::LocalHost, freePort()));
            s.setValue(QStringLiteral("api/port"), taken.serverPort());
            QVERIFY(!api->start());
            QCOMPARE(log.at(1), QStringLiteral("Remote API: stopped"));
            QVERIFY(log.at(2).startsWith(QStringLiteral("Remote API: could not listen on port %1 (").arg(taken.serverPort())));
            QCOMPARE(api->port(), quint16(0));
        }
        log.clear();
        s.setValue(QStringLiteral("api/port"), port);
        s.setValue(QStringLiteral("api/localhostOnly"), false);
        QVERIFY(api->start());
        QCOMPARE(log.at(0), QStringLiteral("Remote API: listening on http://0.0.0.0:%1").arg(port));
        QVERIFY(log.at(1).startsWith(QStringLiteral("Remote API: warning: listening on every address without a password")));
        s.setValue(QStringLiteral("api/password"), QStringLiteral("x"));
        QVERIFY(api->start());
        QCOMPARE(log.size(), 4); // stopped, listening: no warning with a password
        s.setValue(QStringLiteral("api/enabled"), false);
        api->applySettings();
        api->stop();
        QCOMPARE(log.mid(4), QStringList{QStringLiteral("Remote API: stopped")});
        QVERIFY(!api->isListening());

        s.setValue(QStringLiteral("api/enabled"), true);
        s.setValue(QStringLiteral("api/https"), true);
        QVERIFY(!api->start());
        QCOMPARE(log.last(), QStringLiteral("Remote API: HTTPS enabled but the certificate or key file could not be opened"));
        s.setValue(QStringLiteral("api/https"), false);
        QVERIFY(api->start());
        api.reset();
        QCOMPARE(log.last(), QStringLiteral("Remote API: stopped"));
    }

    void overHttp()
    {
        QVERIFY(api->start());
        QCOMPARE(curl(port, "/?cmd=next"), kOk);
        QCOMPARE(curl(port, "/any/path?PASS=&CMD=%20volume%2050%20"), kOk);
        // Form encoding, as a browser's form sends it.
        QCOMPARE(curl(port, "/?cmd=shuffle+off"), kOk);
        QCOMPARE(curl(port, "/?cmd=setcasttitle+1%2B1+%3D+2"), kOk);
        QCOMPARE(commands, (QStringList{"next", "volume 50", "shuffle off", "setcasttitle 1+1 = 2"}));
        QCOMPARE(log.mid(1), (QStringList{"Remote API: next", "Remote API: volume 50", "Remote API: shuffle off",
                                          "Remote API: setcasttitle 1+1 = 2"}));
        QCOMPARE(RemoteApi::parseRequest("GET /?my+key%2B=1").query, (QMap<QString, QString>{{"my key+", "1"}}));
        QCOMPARE(curl(port, "/?action=nothing"), kUnknown);
        QCOMPARE(curl(port, "/"), kUsage);
        QCOMPARE(curl(port, "/?cmd=next", {"-X", "POST"}), kUsage);
        QCOMPARE(raw(port, {"get /x?cmd=stop HTTP/1.0\r\n\r\n"}), kOk);
        QCOMPARE(commands.size(), 5);
    }

    void commandChecks()
    {
        // The refused verbs, however the executor would read them.
        for (const char* line : {"getrandomplaylist X", "getrandomplaylist%09X", "%22getrandomplaylist%22%20X",
                                 "GetRandomPlaylist", "GETFILE%20x", "playrequestedsong", "%22%22", "nosuchverb"})
            QCOMPARE(ask(QStringLiteral("GET /?cmd=%1").arg(line)), kUnknown);

        // Without a password nothing that starts programs, shuts down or
        // writes files runs; with one it does.
        const QStringList guarded{"run xterm", "run", "reboot", "poweroff", "renderplaylist /tmp/out.wav",
                                  "streamarchive 60 /tmp/show.mp3", "streamarchive show.mp3"};
        for (const QString& c : guarded) {
            QCOMPARE(ask(QStringLiteral("GET /?cmd=") + QString::fromUtf8(QUrl::toPercentEncoding(c))), kNeedsPassword);
            QCOMPARE(log.takeLast(), QStringLiteral("Remote API: refused \"%1\": this command needs an API password").arg(c));
        }
        QVERIFY(commands.isEmpty());
        for (const char* c : {"renderplaylist", "streamarchive%20on", "streamarchive%20off"})
            QCOMPARE(ask(QStringLiteral("GET /?cmd=%1").arg(c)), kOk);
        QCOMPARE(ask("GET /?pass=pw&cmd=run%20xterm", "pw"), kOk);
        QCOMPARE(commands, (QStringList{"renderplaylist", "streamarchive on", "streamarchive off", "run xterm"}));
    }

    void passwords()
    {
        QSettings().setValue(QStringLiteral("api/password"), QStringLiteral("s3cr€t"));
        QSettings().setValue(QStringLiteral("api/username"), QStringLiteral("studio+1"));
        QVERIFY(api->start());
        QCOMPARE(curl(port, "/?user=studio%2B1&pass=s3cr%E2%82%ACt&cmd=stop"), kOk);
        for (const char* query : {"user=studio%2B1&pass=s3cr%E2%82%AC&cmd=stop", "user=Studio%2B1&pass=s3cr%E2%82%ACt&cmd=stop",
                                  "user=studio+1&pass=s3cr%E2%82%ACt&cmd=stop",
                                  "pass=s3cr%E2%82%ACt&cmd=stop", "user=studio%2B1&pass=S3cr%E2%82%ACt&action=playbackinfo"}) {
            QCOMPARE(curl(port, QStringLiteral("/?") + query), kBadPassword);
            QCOMPARE(log.takeLast(), QStringLiteral("Remote API: rejected a request with a bad password"));
        }
        QCOMPARE(curl(port, "/?pass=x", {"-X", "POST"}), kUsage);
        QCOMPARE(commands, QStringList{"stop"});
    }

    void playbackInfo()
    {
        const QRegularExpression time(QStringLiteral("<Time>\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d</Time>"));
        QString empty = RemoteApi::playbackInfoXml(PlaybackInfo());
        QVERIFY(empty.contains(time));
        empty.replace(time, QStringLiteral("<Time/>"));
        QCOMPARE(empty, QStringLiteral("<?xml version=\"1.0\"?>\n<Info>\n    <Version>1.0</Version>\n    <Time/>\n"
                                       "    <State>stopped</State>\n    <Volume>100</Volume>\n"
                                       "    <PlaylistCount>0</PlaylistCount>\n    <CurrentIndex>-1</CurrentIndex>\n"
                                       "    <CurrentTrack>\n        <Title></Title>\n        <Artist></Artist>\n"
                                       "        <Album></Album>\n        <File></File>\n        <Duration>0</Duration>\n"
                                       "        <Position>0</Position>\n    </CurrentTrack>\n    <NextTrack>\n"
                                       "        <Title></Title>\n        <Artist></Artist>\n    </NextTrack>\n</Info>\n"));

        info = {QStringLiteral("playing"), QStringLiteral("Tom & Jerry <Live>"), QStringLiteral("Die Ärzte"),
                QStringLiteral("\"Best\""), QStringLiteral("/music/a b.mp3"), 61000, 185000, 70,
                QStringLiteral("Next ✓"), QStringLiteral("B"), 12, 3};
        QVERIFY(api->start());
        const QByteArray answer = curl(port, "/?Action=PlaybackInfo");
        const qsizetype split = answer.indexOf("\r\n\r\n");
        const QByteArray body = answer.mid(split + 4);
        QCOMPARE(answer.left(split + 4), "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: "
                                             + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n");
        const QByteArray parsed = client(QStringLiteral("python3"),
                                         {"-c", "import sys, xml.etree.ElementTree as E\n"
                                                "def walk(e, p):\n"
                                                "    for c in e:\n"
                                                "        walk(c, p + '/' + c.tag) if len(c) else print(p + '/' + c.tag + '=' + (c.text or ''))\n"
                                                "walk(E.fromstring(sys.stdin.buffer.read()), 'Info')\n"},
                                         body);
        QStringList lines = QString::fromUtf8(parsed).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(lines.size() == 14 && lines.at(1).startsWith(QStringLiteral("Info/Time=")), parsed.constData());
        lines.removeAt(1);
        QCOMPARE(lines, (QStringList{"Info/Version=1.0", "Info/State=playing", "Info/Volume=70", "Info/PlaylistCount=12",
                                     "Info/CurrentIndex=3", "Info/CurrentTrack/Title=Tom & Jerry <Live>",
                                     "Info/CurrentTrack/Artist=Die Ärzte", "Info/CurrentTrack/Album=\"Best\"",
                                     "Info/CurrentTrack/File=/music/a b.mp3", "Info/CurrentTrack/Duration=185000",
                                     "Info/CurrentTrack/Position=61000", "Info/NextTrack/Title=Next ✓",
                                     "Info/NextTrack/Artist=B"}));
        QVERIFY(commands.isEmpty());
    }

    void rawRequests()
    {
        QVERIFY(api->start());
        // A request line split over two arrivals, or ended by a bare line
        // feed; a second line on the same connection is not served.
        QCOMPARE(raw(port, {"GET /?cmd=ne", "xt HTTP/1.1\r\nHost: x\r\n\r\n"}), kOk);
        QCOMPARE(raw(port, {"GET /?cmd=stop\n"}), kOk);
        QCOMPARE(raw(port, {"GET /?cmd=play HTTP/1.1\r\nGET /?cmd=stop HTTP/1.1\r\n\r\n", "GET /?cmd=pause\r\n"}), kOk);
        QCOMPARE(commands, (QStringList{"next", "stop", "play"}));
        QCOMPARE(raw(port, {"GET /?cmd=next&x=" + QByteArray(8192 - 17, 'a') + "\r\n"}), kOk);
        QCOMPARE(raw(port, {"GET /?cmd=next&x=" + QByteArray(4096, 'a'), QByteArray(4097, 'a')}), kUsage);
        QCOMPARE(log.last(), QStringLiteral("Remote API: refused a request line longer than 8192 bytes"));
        QCOMPARE(raw(port, {"POST / HTTP/1.1\r\n"}), kUsage);
        QCOMPARE(raw(port, {"GET\r\n"}), kUsage);
        QCOMPARE(commands.size(), 4);

        // Silent and unfinished requests are given up after a few seconds.
        QTcpSocket silent;
        QTcpSocket unfinished;
        silent.connectToHost(QHostAddress::LocalHost, port);
        unfinished.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(silent.waitForConnected(5000) && unfinished.waitForConnected(5000));
        unfinished.write("GET /?cmd=next");
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(silent.state() == QAbstractSocket::UnconnectedState
                                     && unfinished.state() == QAbstractSocket::UnconnectedState,
                                 40000);
        QVERIFY(clock.elapsed() > RemoteApi::kRequestTimeoutMs - 1000);
        QCOMPARE(silent.readAll() + unfinished.readAll(), QByteArray());
        QCOMPARE(commands.size(), 4);
        api->stop();
        QCOMPARE(log.count(QStringLiteral("Remote API: closed a connection from 127.0.0.1 that sent no request within 5 s")), 1);
        QVERIFY(log.contains(QStringLiteral("Remote API: 1 more connections from 127.0.0.1 closed without a request in the last minute")));
    }

    // Idle connections from one address cost only that address its oldest
    // ones, never those that ask a moment after connecting; bad passwords
    // do not shut the right one out; a NUL in an argument is refused.
    void hostileClients()
    {
        QVERIFY(api->start());
        auto idle = idleFrom(QStringLiteral("127.0.0.2"), port, 40);
        QTRY_VERIFY_WITH_TIMEOUT(closedCount(idle) >= 40 - RemoteApi::kMaxPerAddress, 20000);
        // Its oldest went, its newest are still waiting.
        QCOMPARE(closedCount(idle), 40 - RemoteApi::kMaxPerAddress);
        QCOMPARE(closedCount({idle.end() - RemoteApi::kMaxPerAddress, idle.end()}), 0);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(raw(port, {"GET /?cmd=next\r\n"}), kOk);

        // Clients that send their request a moment after connecting are all
        // answered, however many come from one address at once.
        std::vector<std::unique_ptr<Asker>> prompt;
        for (int i = 0; i < RemoteApi::kMaxPerAddress + 1; ++i)
            prompt.push_back(std::make_unique<Asker>(QStringLiteral("127.0.0.5"), port, "GET /?cmd=next\r\n", 100));
        QVERIFY(QTest::qWaitFor([&] { return std::ranges::all_of(prompt, [](const auto& a) { return a->done(); }); }, 20000));
        for (const auto& a : prompt)
            QCOMPARE(a->answer, kOk);

        QSettings().setValue(QStringLiteral("api/password"), QStringLiteral("pw"));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(rawFrom(QStringLiteral("127.0.0.3"), port, "GET /?pass=guess" + QByteArray::number(i) + "&cmd=stop\r\n"),
                     kBadPassword);
        QCOMPARE(rawFrom(QStringLiteral("127.0.0.3"), port, "GET /?pass=pw&cmd=stop\r\n"), kOk);
        QCOMPARE(raw(port, {"GET /?pass=pw&cmd=load%20/tmp/a.m3u%00.txt\r\n"}), kUnknown);
        QCOMPARE(commands.size(), 13);
        api->stop();
        QCOMPARE(log.count(QStringLiteral("Remote API: rejected a request with a bad password")), 3);
        QVERIFY(log.size() < 30);
    }

    // Guessing is bounded at the compare, never at the studio's cost: the
    // studio polls with the right password while a guesser that asks again
    // as soon as it hears keeps requests waiting from one address, from the
    // studio's own address, and from a fresh address for each request. Each
    // of the studio's requests is answered within two seconds; the passwords
    // compared keep to the checks a second; many requests from one address
    // wait their turn; a request with no password at all is no guess; the log
    // keeps to a summary.
    void guessingIsBoundedNotTheStudio()
    {
        QSettings().setValue(QStringLiteral("api/password"), QStringLiteral("pw"));
        QVERIFY(api->start());
        // A browser asking for a page and its icon.
        for (int i = 0; i < 10; ++i)
            QCOMPARE(rawFrom(QStringLiteral("127.0.0.4"), port, "GET /favicon.ico HTTP/1.1\r\n"), kBadPassword);
        QCOMPARE(rawFrom(QStringLiteral("127.0.0.4"), port, "GET /?pass=pw&cmd=next\r\n"), kOk);
        api->stop();

        const QString studioAddress = QStringLiteral("127.0.0.200");
        const QByteArray tooMany = plain("429 Too Many Requests", "Too many password checks waiting; try again later");
        const QRegularExpression more(QStringLiteral("^Remote API: (\\d+) more requests with a bad or missing password"));
        struct Round
        {
            int compared = 0; // wrong passwords, as the log counts them
            double seconds = 0;
            int refused = 0;
        };
        // Five seconds of guessing with `open` requests waiting, the n-th
        // from `from(n)`.
        const auto guess = [&](const char* name, int open, const std::function<QString(int)>& from, Round* r) {
            const qsizetype mark = log.size();
            QElapsedTimer run;
            run.start();
            QVERIFY(api->start());
            std::vector<std::unique_ptr<Asker>> studio;
            QTimer poll;
            connect(&poll, &QTimer::timeout, this, [&] {
                studio.push_back(std::make_unique<Asker>(studioAddress, port, "GET /?pass=pw&action=playbackinfo\r\n"));
            });
            poll.start(250);
            std::vector<std::unique_ptr<Asker>> guesser;
            for (int n = 0; run.elapsed() < 5000; QTest::qWait(5)) {
                r->refused += int(std::ranges::count_if(guesser, [&](const auto& a) { return a->done() && a->answer == tooMany; }));
                std::erase_if(guesser, [](const auto& a) { return a->done(); });
                for (; int(guesser.size()) < open; ++n)
                    guesser.push_back(std::make_unique<Asker>(from(n), port, "GET /?pass=x" + QByteArray::number(n) + "&cmd=stop\r\n"));
            }
            poll.stop();
            QVERIFY(QTest::qWaitFor([&] { return std::ranges::all_of(studio, [](const auto& a) { return a->done(); }); }, 20000));
            for (const auto& a : studio)
                QVERIFY2(a->answer.startsWith("HTTP/1.1 200 OK\r\n") && a->ms < 2000,
                         qPrintable(QStringLiteral("%1: %2 ms, %3").arg(name).arg(a->ms).arg(QString::fromUtf8(a->answer.left(40)))));
            api->stop();
            r->seconds = run.elapsed() / 1000.0;
            for (const QString& line : log.mid(mark)) {
                r->compared += line == QLatin1String("Remote API: rejected a request with a bad password");
                if (const auto m = more.match(line); m.hasMatch())
                    r->compared += m.captured(1).toInt();
            }
            QVERIFY2(r->compared > 0 && r->compared <= RemoteApi::kChecksPerSecond * (r->seconds + 1),
                     qPrintable(QStringLiteral("%1: %2 compared in %3 s").arg(name).arg(r->compared).arg(r->seconds)));
        };
        Round one;
        guess("one address", 2 * RemoteApi::kMaxPerAddress, [](int) { return QStringLiteral("127.0.1.1"); }, &one);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(one.refused, 0);
        Round shared;
        guess("the studio's address", RemoteApi::kMaxPerAddress, [&](int) { return studioAddress; }, &shared);
        if (QTest::currentTestFailed())
            return;
        Round fresh;
        guess("a fresh address each", 2 * RemoteApi::kMaxWaitingChecks,
              [](int n) { return QStringLiteral("127.2.%1.%2").arg(n / 250 % 256).arg(n % 250 + 1); }, &fresh);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(fresh.refused > 0);
        QVERIFY(!commands.contains(QStringLiteral("stop")));
        QVERIFY2(log.size() <= 30, qPrintable(log.join(QLatin1Char('\n'))));
        QVERIFY2(std::ranges::any_of(log, [](const QString& l) { return l.contains(QLatin1String("refused unchecked in the last minute")); }),
                 qPrintable(log.join(QLatin1Char('\n'))));
    }

    void overHttps()
    {
        const QString dir = testHome().scratch(QStringLiteral("tls"));
        const QString cert = QDir(dir).filePath(QStringLiteral("cert.pem"));
        const QString key = QDir(dir).filePath(QStringLiteral("key.pem"));
        const QString ecKey = QDir(dir).filePath(QStringLiteral("ec.pem"));
        client(QStringLiteral("openssl"), {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                                           "-subj", "/CN=127.0.0.1", "-days", "2"});
        client(QStringLiteral("openssl"), {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", ecKey});
        QSettings s;
        s.setValue(QStringLiteral("api/https"), true);
        s.setValue(QStringLiteral("api/certFile"), cert);
        s.setValue(QStringLiteral("api/keyFile"), ecKey);
        QVERIFY(!api->start());
        QCOMPARE(log.takeLast(), QStringLiteral("Remote API: HTTPS certificate or key is invalid (expected PEM, RSA key)"));
        // A key of another certificate, a FIFO, a device and a huge file are
        // named for what they are, and nothing listens.
        const QString otherKey = QDir(dir).filePath(QStringLiteral("other.pem"));
        const QString fifo = QDir(dir).filePath(QStringLiteral("fifo.pem"));
        const QString huge = QDir(dir).filePath(QStringLiteral("huge.pem"));
        client(QStringLiteral("openssl"), {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", otherKey});
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QFile big(huge);
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(2 * 1024 * 1024));
        big.close();
        const QList<std::tuple<QString, QString, QString>> broken{
            {cert, otherKey, QStringLiteral("Remote API: HTTPS key \"%1\" does not belong to the certificate \"%2\"; not listening").arg(otherKey, cert)},
            {fifo, key, QStringLiteral("Remote API: HTTPS certificate file \"%1\" is not a regular file").arg(fifo)},
            {cert, "/dev/zero", QStringLiteral("Remote API: HTTPS key file \"/dev/zero\" is not a regular file")},
            {huge, key, QStringLiteral("Remote API: HTTPS certificate file \"%1\" is too large for a certificate (over 1 MB)").arg(huge)}};
        for (const auto& [certPath, keyPath, message] : broken) {
            s.setValue(QStringLiteral("api/certFile"), certPath);
            s.setValue(QStringLiteral("api/keyFile"), keyPath);
            QVERIFY(!api->start());
            QCOMPARE(log.takeLast(), message);
        }
        s.setValue(QStringLiteral("api/certFile"), cert);
        s.setValue(QStringLiteral("api/keyFile"), key);
        QVERIFY(api->start());
        QCOMPARE(log.last(), QStringLiteral("Remote API: listening on https://127.0.0.1:%1").arg(port));

        const QString url = QStringLiteral("https://127.0.0.1:%1/?cmd=next").arg(port);
        QCOMPARE(client(QStringLiteral("curl"), {"-s", "-i", "-k", "--max-time", "20", url}), kOk);
        const QByteArray viaOpenssl =
            client(QStringLiteral("openssl"), {"s_client", "-quiet", "-connect", QStringLiteral("127.0.0.1:%1").arg(port)},
                   "GET /?action=playbackinfo HTTP/1.0\r\n\r\n");
        QVERIFY2(viaOpenssl.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\n")
                     && viaOpenssl.endsWith("</Info>\n"),
                 viaOpenssl.constData());
        // Plain HTTP on the TLS port never reaches the API.
        QCOMPARE(curl(port, "/?cmd=stop"), QByteArray());
        // Handshakes never begun count against their address like any idle
        // connection.
        auto idle = idleFrom(QStringLiteral("127.0.0.2"), port, 40);
        QTRY_VERIFY_WITH_TIMEOUT(closedCount(idle) >= 40 - RemoteApi::kMaxPerAddress, 20000);
        QCOMPARE(closedCount({idle.end() - RemoteApi::kMaxPerAddress, idle.end()}), 0);
        QCOMPARE(client(QStringLiteral("curl"), {"-s", "-i", "-k", "--max-time", "20", url}), kOk);
        QCOMPARE(commands, (QStringList{"next", "next"}));
    }
};

OL_TEST_MAIN(TestRemoteApi)
#include "tst_remoteapi.moc"
