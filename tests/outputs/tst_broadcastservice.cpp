// ctest: timeout 600
#include "audiofixtures.h"
#include "icecastserver.h"
#include "olmain.h"
#include "outputs/broadcastservice.h"
#include "tonesource.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <csignal>
#include <memory>

namespace {

// A real listener: curl asking for ICY metadata, writing headers and body
// to files that the test reads while it runs.
class CurlListener
{
public:
    CurlListener(const QString& url, const QString& folder, const QString& name, bool icy)
        : m_headers(folder + QLatin1Char('/') + name + QStringLiteral(".hdr"))
        , m_body(folder + QLatin1Char('/') + name + QStringLiteral(".body"))
    {
        QStringList args{QStringLiteral("-s"), QStringLiteral("-N"), QStringLiteral("-D"), m_headers,
                         QStringLiteral("-o"), m_body};
        if (icy)
            args << QStringLiteral("-H") << QStringLiteral("Icy-MetaData: 1");
        args << url;
        m_process.start(QStringLiteral("curl"), args);
        m_process.waitForStarted(5000);
    }
    ~CurlListener() { stop(); }
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QByteArray body() const { return read(m_body); }
    QByteArray headers() const { return read(m_headers); }

    // Every StreamTitle in the ICY metadata blocks received so far.
    QStringList titles() const
    {
        const QByteArray h = headers();
        const qsizetype at = h.indexOf("icy-metaint:");
        if (at < 0)
            return {};
        const int metaint = h.mid(at + 12, h.indexOf('\r', at) - at - 12).trimmed().toInt();
        const QByteArray b = body();
        QStringList out;
        qsizetype pos = metaint;
        while (metaint > 0 && pos < b.size()) {
            const int len = quint8(b.at(pos)) * 16;
            if (pos + 1 + len > b.size())
                break;
            const QByteArray block = b.mid(pos + 1, len);
            const qsizetype t = block.indexOf("StreamTitle='");
            if (t >= 0) {
                const qsizetype end = block.indexOf("';", t);
                out << QString::fromUtf8(block.mid(t + 13, end - t - 13));
            }
            pos += 1 + len + metaint;
        }
        return out;
    }

private:
    static QByteArray read(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString m_headers;
    QString m_body;
    QProcess m_process;
};

BroadcastConfig configFor(const IcecastServer& ice)
{
    BroadcastConfig c;
    c.host = QStringLiteral("127.0.0.1");
    c.port = ice.port();
    c.mount = QString::fromLatin1(IcecastServer::kMount);
    c.password = QString::fromLatin1(IcecastServer::kSourcePassword);
    c.internalMix = true;
    c.name = QStringLiteral("Test FM");
    c.genre = QStringLiteral("Jazz");
    c.description = QStringLiteral("A station\r\nX-Injected: yes");
    c.url = QStringLiteral("http://station.example/");
    return c;
}

bool logged(const QSignalSpy& spy, const QString& text)
{
    for (const QList<QVariant>& args : spy) {
        if (args.at(0).toString() == text)
            return true;
    }
    return false;
}

QString logText(const QSignalSpy& spy)
{
    QStringList lines;
    for (const QList<QVariant>& args : spy)
        lines << args.at(0).toString();
    return lines.join(QLatin1Char('\n'));
}

// A source client of the engine's mix fed a tone in real time by a pump.
struct ToneStream
{
    explicit ToneStream(const IcecastServer& ice)
        : tone(44100, 2)
        , pump(&tone, 40, 1.0)
    {
        QObject::connect(&pump, &TonePump::buffer, &svc, &BroadcastService::pushAudio);
        svc.setConfig(configFor(ice));
    }

    BroadcastService svc;
    QSignalSpy log{&svc, &BroadcastService::logMessage};
    QSignalSpy streaming{&svc, &BroadcastService::streamingChanged};
    ToneSource tone;
    TonePump pump;
};

} // namespace

class TestBroadcastService : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<IcecastServer> m_ice;

    void startIcecast()
    {
        m_ice = std::make_unique<IcecastServer>();
        QVERIFY2(m_ice->start(), qPrintable(m_ice->errorText()));
    }

    // On the air, the tone running and the mount up on the server.
    bool startStreaming(ToneStream& stream)
    {
        stream.svc.start();
        if (!QTest::qWaitFor([&stream] { return stream.svc.isStreaming(); }, 15000))
            return false;
        stream.pump.start();
        return QTest::qWaitFor([this] { return !m_ice->mountStatus().isEmpty(); }, 15000);
    }

private slots:
    void init()
    {
        if (!BroadcastService::encoderAvailable())
            QSKIP("ffmpeg is not installed");
    }

    void cleanup() { m_ice.reset(); }

    void settingsRoundTrip()
    {
        const BroadcastConfig d = BroadcastService::configFromSettings();
        QCOMPARE(d.port, 8000);
        QCOMPARE(d.mount, QStringLiteral("/stream"));
        QCOMPARE(d.username, QStringLiteral("source"));
        QCOMPARE(d.sampleRate, 44100);
        QCOMPARE(d.bitrate, 128);
        QCOMPARE(d.channels, 2);
        QVERIFY(!d.host.isEmpty());
        QVERIFY(!d.isPublic && !d.internalMix && d.password.isEmpty());

        BroadcastConfig c;
        c.host = QStringLiteral("radio.example");
        c.port = 8123;
        c.mount = QStringLiteral("/m.mp3");
        c.username = QStringLiteral("u");
        c.password = QStringLiteral("p");
        c.sampleRate = 48000;
        c.bitrate = 192;
        c.channels = 1;
        c.name = QStringLiteral("N");
        c.genre = QStringLiteral("G");
        c.url = QStringLiteral("U");
        c.description = QStringLiteral("D");
        c.isPublic = true;
        c.inputDevice = QStringLiteral("Dev");
        c.internalMix = true;
        BroadcastService::saveConfig(c);
        QCOMPARE(QSettings().value(QStringLiteral("broadcast/public")).toBool(), true);
        const BroadcastConfig r = BroadcastService::configFromSettings();
        QCOMPARE(r.host, c.host);
        QCOMPARE(r.port, c.port);
        QCOMPARE(r.mount, c.mount);
        QCOMPARE(r.username, c.username);
        QCOMPARE(r.password, c.password);
        QCOMPARE(r.sampleRate, c.sampleRate);
        QCOMPARE(r.bitrate, c.bitrate);
        QCOMPARE(r.channels, c.channels);
        QCOMPARE(r.name, c.name);
        QCOMPARE(r.genre, c.genre);
        QCOMPARE(r.url, c.url);
        QCOMPARE(r.description, c.description);
        QCOMPARE(r.isPublic, true);
        QCOMPARE(r.inputDevice, c.inputDevice);
        QCOMPARE(r.internalMix, true);
        QSettings().remove(QStringLiteral("broadcast"));
    }

    void idleStopAndUnreachableServer()
    {
        BroadcastService svc;
        QSignalSpy log(&svc, &BroadcastService::logMessage);
        QSignalSpy streaming(&svc, &BroadcastService::streamingChanged);
        svc.stop();
        QCOMPARE(log.count(), 0);

        // Nothing listens on a port just released.
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        BroadcastConfig c;
        c.host = QStringLiteral("127.0.0.1");
        c.port = port;
        c.password = QStringLiteral("x");
        c.internalMix = true;
        svc.setConfig(c);
        svc.start();
        QCOMPARE(log.first().at(0).toString(), QStringLiteral("Broadcast: connecting to 127.0.0.1:%1/stream …").arg(port));
        QTRY_VERIFY_WITH_TIMEOUT(streaming.count() == 1, 10000);
        QCOMPARE(streaming.first().at(0).toBool(), false);
        QVERIFY(logged(log, QStringLiteral("Broadcast: error — connection error: Connection refused")));
        QVERIFY(!svc.isStreaming());

        // Broadcasting stays on: it is tried again, each time later, until
        // the operator stops it.
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Broadcast: reconnecting in 2 s"));
        QVERIFY(svc.isReconnecting());
        QTRY_VERIFY_WITH_TIMEOUT(logged(log, QStringLiteral("Broadcast: reconnecting in 4 s")), 15000);
        svc.stop();
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Broadcast: stopped"));
        QVERIFY(!svc.isReconnecting());
        QCOMPARE(streaming.last().at(0).toBool(), false);
        const qsizetype changes = streaming.count();

        // Cancelling a pending attempt is silent.
        svc.start();
        const qsizetype before = log.count();
        svc.stop();
        QCOMPARE(log.count(), before);
        QCOMPARE(streaming.count(), changes);
        QTest::qWait(2500);
        QCOMPARE(log.count(), before);
    }

    void refusedSources()
    {
        startIcecast();
        BroadcastConfig bad = configFor(*m_ice);
        bad.password = QStringLiteral("wrong");
        BroadcastService svc;
        QSignalSpy log(&svc, &BroadcastService::logMessage);
        QSignalSpy streaming(&svc, &BroadcastService::streamingChanged);
        svc.setConfig(bad);
        svc.start();
        QTRY_VERIFY_WITH_TIMEOUT(streaming.count() == 1, 15000);
        QVERIFY2(logged(log, QStringLiteral("Broadcast: error — server refused source connection "
                                            "(HTTP/1.0 401 Authentication Required)")),
                 qPrintable(logText(log)));
        QVERIFY(!svc.isStreaming());

        // The mount is taken by a first source: a second one is turned away.
        BroadcastService first;
        QSignalSpy firstOn(&first, &BroadcastService::streamingChanged);
        first.setConfig(configFor(*m_ice));
        first.start();
        QTRY_VERIFY_WITH_TIMEOUT(first.isStreaming(), 15000);
        BroadcastService second;
        QSignalSpy secondLog(&second, &BroadcastService::logMessage);
        QSignalSpy secondOn(&second, &BroadcastService::streamingChanged);
        second.setConfig(configFor(*m_ice));
        second.start();
        QTRY_VERIFY_WITH_TIMEOUT(secondOn.count() == 1, 15000);
        QVERIFY(logged(secondLog, QStringLiteral("Broadcast: error — server refused source connection (HTTP/1.0 403 Forbidden)")));
        QVERIFY(first.isStreaming());
        QCOMPARE(firstOn.count(), 1);

        // Only the status code counts, not a "200" in the reason text.
        QVERIFY(!BroadcastService::sourceAccepted("HTTP/1.0 500 Internal Server Error 200\r\n\r\n"));
        QVERIFY(BroadcastService::sourceAccepted("HTTP/1.0 200 OK\r\n\r\n"));
    }

    // A server whose answer arrives in pieces is waited for, not refused.
    void statusLineInPieces()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        connect(&server, &QTcpServer::newConnection, &server, [&server] {
            QTcpSocket* peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, peer, [peer] {
                if (!peer->readAll().contains("\r\n\r\n") || peer->property("answered").toBool())
                    return;
                peer->setProperty("answered", true);
                peer->write("HTTP/1.0 2");
                QTimer::singleShot(300, peer, [peer] { peer->write("00 OK\r\n\r\n"); });
            });
        });
        BroadcastConfig c;
        c.host = QStringLiteral("127.0.0.1");
        c.port = server.serverPort();
        c.password = QStringLiteral("x");
        c.internalMix = true;
        BroadcastService svc;
        QSignalSpy log(&svc, &BroadcastService::logMessage);
        svc.setConfig(c);
        svc.start();
        QTRY_VERIFY2_WITH_TIMEOUT(svc.isStreaming(), qPrintable(logText(log)), 10000);
        svc.stop();
    }

    // Engine buffers at 48 kHz float reach a real listener as MP3 at the
    // configured 44.1 kHz with the tone at its pitch; the stream's headers
    // and titles show on the server and in the listener's ICY metadata.
    void streamsTitlesAndListeners()
    {
        startIcecast();
        const QString folder = testHome().scratch(QStringLiteral("stream"));
        ToneSource tone(48000, 2, QAudioFormat::Float, 1000.0, 0.4);
        TonePump pump(&tone, 40, 1.0);
        BroadcastService svc;
        connect(&pump, &TonePump::buffer, &svc, &BroadcastService::pushAudio);
        QSignalSpy log(&svc, &BroadcastService::logMessage);
        QSignalSpy streaming(&svc, &BroadcastService::streamingChanged);
        QSignalSpy listeners(&svc, &BroadcastService::listenersChanged);
        svc.setConfig(configFor(*m_ice));
        svc.start();
        QTRY_VERIFY_WITH_TIMEOUT(svc.isStreaming(), 15000);
        QCOMPARE(streaming.count(), 1);
        QVERIFY(logged(log, QStringLiteral("Broadcast: connected to server — you are on the air")));
        pump.start();

        QTRY_VERIFY_WITH_TIMEOUT(!m_ice->mountStatus().isEmpty(), 15000);
        const QJsonObject mount = m_ice->mountStatus();
        QCOMPARE(mount.value(QStringLiteral("server_name")).toString(), QStringLiteral("Test FM"));
        QCOMPARE(mount.value(QStringLiteral("genre")).toString(), QStringLiteral("Jazz"));
        // The CR LF in the description did not start a header of its own.
        QCOMPARE(mount.value(QStringLiteral("server_description")).toString(),
                 QStringLiteral("A station X-Injected: yes"));
        QCOMPARE(mount.value(QStringLiteral("server_url")).toString(), QStringLiteral("http://station.example/"));

        CurlListener icy(m_ice->streamUrl(), folder, QStringLiteral("icy"), true);
        CurlListener plain(m_ice->streamUrl(), folder, QStringLiteral("plain"), false);
        QTRY_VERIFY_WITH_TIMEOUT(plain.body().size() > 16000 * 4, 30000);

        const QString title = QStringLiteral("Café Ñandú - 東京 Nights\r\n");
        const QString sent = QStringLiteral("Café Ñandú - 東京 Nights ");
        svc.updateMetadata(title);
        QVERIFY(logged(log, QStringLiteral("Broadcast: metadata → ") + sent));
        QTRY_COMPARE_WITH_TIMEOUT(m_ice->mountStatus().value(QStringLiteral("title")).toString(), sent, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(icy.titles().contains(sent), 30000);

        // Blank titles are not sent.
        const qsizetype lines = log.count();
        svc.updateMetadata(QStringLiteral("   "));
        QCOMPARE(log.count(), lines);

        // The count follows the two real listeners, then one.
        QTRY_COMPARE_WITH_TIMEOUT(svc.listenerCount(), 2, 40000);
        QCOMPARE(listeners.last().at(0).toInt(), 2);
        icy.stop();
        QTRY_COMPARE_WITH_TIMEOUT(svc.listenerCount(), 1, 40000);

        // The listener hears the tone at its pitch and at the stream's rate.
        const QString capture = folder + QStringLiteral("/plain.mp3");
        QFile::remove(capture);
        QVERIFY(QFile::copy(folder + QStringLiteral("/plain.body"), capture));
        QCOMPARE(AudioFixtures::probe(capture, QStringLiteral("stream=sample_rate")), QStringLiteral("44100"));
        const double f = ToneSource::frequencyIn(capture, 44100);
        QVERIFY2(qAbs(f - 1000.0) < 5.0, qPrintable(QString::number(f)));
        QCOMPARE(AudioFixtures::probe(capture, QStringLiteral("stream=channels")), QStringLiteral("2"));

        svc.stop();
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Broadcast: stopped"));
        QCOMPARE(streaming.last().at(0).toBool(), false);
        QCOMPARE(listeners.last().at(0).toInt(), 0);
        QCOMPARE(svc.listenerCount(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_ice->mountStatus().isEmpty(), 15000);
    }

    // A pause longer than the server's source time-out keeps the stream
    // up; a server that goes away is tried again until it is back, and then
    // gets the title it had.
    void survivesPauseAndServerRestart()
    {
        m_ice = std::make_unique<IcecastServer>();
        m_ice->setSourceTimeout(5);
        QVERIFY2(m_ice->start(), qPrintable(m_ice->errorText()));
        ToneStream stream(*m_ice);
        auto& [svc, log, streaming, tone, pump] = stream;
        QVERIFY2(startStreaming(stream), qPrintable(logText(stream.log)));
        // The server takes titles while somebody listens.
        const QString folder = testHome().scratch(QStringLiteral("restart"));
        auto listener = std::make_unique<CurlListener>(m_ice->streamUrl(), folder, QStringLiteral("first"), false);
        QTRY_VERIFY2_WITH_TIMEOUT(listener->body().size() > 16000 * 4,
                                  qPrintable(logText(log) + QLatin1Char('\n') + m_ice->errorLog()), 30000);
        const QString title = QStringLiteral("Before - Pause");
        svc.updateMetadata(title);
        QTRY_COMPARE_WITH_TIMEOUT(m_ice->mountStatus().value(QStringLiteral("title")).toString(), title, 15000);

        pump.stop();
        QTest::qWait(9000);
        QVERIFY2(svc.isStreaming() && !m_ice->mountStatus().isEmpty(), qPrintable(logText(log)));
        QCOMPARE(streaming.count(), 1);
        pump.start();

        m_ice->kill();
        QTRY_VERIFY_WITH_TIMEOUT(svc.isReconnecting(), 20000);
        QVERIFY(!svc.isStreaming());
        QCOMPARE(streaming.last().at(0).toBool(), false);
        // A first try while the server is still away fails and waits longer.
        QTRY_VERIFY_WITH_TIMEOUT(logged(log, QStringLiteral("Broadcast: reconnecting in 4 s")), 20000);
        QVERIFY2(m_ice->start(), qPrintable(m_ice->errorText()));
        QTRY_VERIFY_WITH_TIMEOUT(svc.isStreaming(), 30000);
        QVERIFY(!svc.isReconnecting());
        QVERIFY2(logText(log).contains(QStringLiteral("Broadcast: reconnected after ")), qPrintable(logText(log)));
        listener = std::make_unique<CurlListener>(m_ice->streamUrl(), folder, QStringLiteral("second"), false);
        QTRY_VERIFY2_WITH_TIMEOUT(m_ice->mountStatus().value(QStringLiteral("title")).toString() == title,
                                  qPrintable(logText(log) + QLatin1Char('\n') + m_ice->errorLog()), 15000);
        svc.stop();
        QVERIFY(!svc.isReconnecting() && !svc.isStreaming());
    }

    // An encoder that stops answering is replaced; the listeners go on
    // hearing the stream.
    void hungEncoderIsReplaced()
    {
        startIcecast();
        const QString folder = testHome().scratch(QStringLiteral("hung"));
        ToneStream stream(*m_ice);
        auto& [svc, log, streaming, tone, pump] = stream;
        QVERIFY2(startStreaming(stream), qPrintable(logText(stream.log)));
        CurlListener listener(m_ice->streamUrl(), folder, QStringLiteral("listener"), false);
        QTRY_VERIFY_WITH_TIMEOUT(listener.body().size() > 16000, 20000);

        const QList<qint64> hung = ffmpegChildren();
        QCOMPARE(hung.size(), 1);
        ::kill(pid_t(hung.first()), SIGSTOP);
        QTRY_VERIFY_WITH_TIMEOUT(logged(log, QStringLiteral("Broadcast: encoder stopped responding, restarting it")), 20000);
        const qsizetype heard = listener.body().size();
        QTRY_VERIFY_WITH_TIMEOUT(listener.body().size() > heard + 16000 * 2, 20000);
        QVERIFY(!ffmpegChildren().contains(hung.first()));
        QVERIFY(svc.isStreaming());
        QCOMPARE(streaming.count(), 1);
    }

    void serverThatStopsReading()
    {
        startIcecast();
        ToneSource tone(44100, 2);
        TonePump pump(&tone, 40, 20.0); // far faster than real time, to fill the buffers quickly
        BroadcastService svc;
        connect(&pump, &TonePump::buffer, &svc, &BroadcastService::pushAudio);
        QSignalSpy log(&svc, &BroadcastService::logMessage);
        svc.setConfig(configFor(*m_ice));
        svc.start();
        QTRY_VERIFY_WITH_TIMEOUT(svc.isStreaming(), 15000);
        m_ice->pause();
        pump.start();
        QTRY_VERIFY_WITH_TIMEOUT(!svc.isStreaming(), 120000);
        QVERIFY(logged(log, QStringLiteral("Broadcast: error — server is not taking the stream (send buffer full)")));
        m_ice->resume();
    }
};

OL_TEST_MAIN(TestBroadcastService)
#include "tst_broadcastservice.moc"
