// ctest: serial
// The stream relay against a real HTTP stream served on loopback.
#include "olmain.h"

#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"

#include <QAudioBuffer>
#include <QAudioOutput>
#include <QElapsedTimer>
#include <QFile>
#include <QMediaPlayer>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr int kLiveTimeoutMs = 20000;

// Serves one MP3 file as an endless live stream: a head start of two
// seconds, then at its own bit rate, from the start again at its end.
class StreamServer : public QObject
{
public:
    explicit StreamServer(const QByteArray& mp3)
        : m_mp3(mp3)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
        m_pace.setInterval(100);
        connect(&m_pace, &QTimer::timeout, this, [this] {
            for (QTcpSocket* s : std::as_const(m_clients))
                send(s, kBytesPerSecond / 10);
        });
        m_pace.start();
    }

    ~StreamServer() override
    {
        // The sockets die with the server, after this object's lists: they
        // must not call back into them.
        const auto sockets = m_server.findChildren<QTcpSocket*>();
        for (QTcpSocket* s : sockets)
            disconnect(s, nullptr, this, nullptr);
    }

    bool listen(quint16 port = 0)
    {
        if (!m_server.listen(QHostAddress::LocalHost, port))
            return false;
        m_port = m_server.serverPort();
        return true;
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/live").arg(m_port); }
    int connections() const { return m_connections; }

    // The station's encoder goes away: no listener stays, no one gets in.
    void goAway()
    {
        m_server.close();
        const QList<QTcpSocket*> clients = std::exchange(m_clients, {});
        for (QTcpSocket* s : clients)
            s->abort(); // deleted later from its disconnected signal
    }

private:
    static constexpr int kBytesPerSecond = 128000 / 8;

    void accept()
    {
        while (QTcpSocket* s = m_server.nextPendingConnection()) {
            ++m_connections;
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                m_requests[s] += s->readAll();
                if (!m_clients.contains(s) && m_requests[s].contains("\r\n\r\n")) {
                    s->write("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nCache-Control: no-cache\r\n\r\n");
                    m_offsets[s] = 0;
                    m_clients.append(s);
                    send(s, 2 * kBytesPerSecond);
                }
            });
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                m_clients.removeAll(s);
                s->deleteLater();
            });
        }
    }

    void send(QTcpSocket* s, int bytes)
    {
        qsizetype& at = m_offsets[s];
        while (bytes > 0) {
            const qsizetype n = qMin<qsizetype>(bytes, m_mp3.size() - at);
            s->write(m_mp3.constData() + at, n);
            at = (at + n) % m_mp3.size();
            bytes -= int(n);
        }
    }

    QTcpServer m_server;
    QTimer m_pace;
    QByteArray m_mp3;
    QList<QTcpSocket*> m_clients;
    QHash<QTcpSocket*, QByteArray> m_requests;
    QHash<QTcpSocket*, qsizetype> m_offsets;
    quint16 m_port = 0;
    int m_connections = 0;
};

QMediaPlayer* deckPlayer(AudioEngine& e, int deck)
{
    return e.findChild<QMediaPlayer*>(QStringLiteral("deck%1").arg(deck), Qt::FindDirectChildrenOnly);
}

bool playing(QMediaPlayer* p)
{
    return p->playbackState() == QMediaPlayer::PlayingState;
}

QStringList logOf(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void goesLiveFallsBackAndReconnects();
    void onlyRelayBuffersWhileLive();
    void startWhileActiveStopsOldFirst();
    void stopWhenInactiveDoesNothing();
    void lostRelayStartsStoppedPlaylist();
    void startNextOnStop();

private:
    QByteArray m_mp3;
    QString m_song;
};

void TestRelay::initTestCase()
{
    const QString dir = testHome().scratch(QStringLiteral("audio"));
    const QString mp3 = dir + QStringLiteral("/live.mp3");
    // 48 kHz mono, unlike the playlist's 44.1 kHz stereo, so the buffers on
    // air tell their source.
    QVERIFY(AudioFixtures::ffmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                   QStringLiteral("sine=frequency=330:duration=20:sample_rate=48000"),
                                   QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-c:a"),
                                   QStringLiteral("libmp3lame"), QStringLiteral("-b:a"), QStringLiteral("128k"),
                                   QStringLiteral("-write_xing"), QStringLiteral("0"), QStringLiteral("-id3v2_version"),
                                   QStringLiteral("0"), mp3}));
    QFile f(mp3);
    QVERIFY(f.open(QIODevice::ReadOnly));
    m_mp3 = f.readAll();
    m_song = dir + QStringLiteral("/song.wav");
    QVERIFY(AudioFixtures::tone(m_song, 440, -12, 120, 44100, 2));
}

void TestRelay::init()
{
    QSettings().clear();
}

void TestRelay::goesLiveFallsBackAndReconnects()
{
    StreamServer server(m_mp3);
    QVERIFY(server.listen());
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_song));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy state(&e, &AudioEngine::relayStateChanged);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), 10000);

    e.startRelay(QStringLiteral("  ") + server.url() + QStringLiteral(" "));
    QVERIFY(e.isRelaying());
    QCOMPARE(e.relaySource(), server.url());
    QCOMPARE(logOf(log).last(), QStringLiteral("Relay: starting ") + server.url());
    QCOMPARE(state.size(), 1);
    QCOMPARE(state.at(0), (QList<QVariant>{true, server.url(), false}));
    QVERIFY(!playing(deckPlayer(e, 0)));

    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: live")), kLiveTimeoutMs);
    QCOMPARE(state.last(), (QList<QVariant>{true, server.url(), true}));
    QVERIFY(!playing(deckPlayer(e, 0)) && !playing(deckPlayer(e, 1)));
    QMediaPlayer* relay = e.findChildren<QMediaPlayer*>(Qt::FindDirectChildrenOnly).last();
    QTRY_VERIFY_WITH_TIMEOUT(playing(relay), 10000);
    QCOMPARE(e.findChildren<QAudioOutput*>(Qt::FindDirectChildrenOnly).last()->volume(), 0.8f);

    // The encoder goes away: back to the playlist, then a retry every 5 s.
    log.clear();
    server.goAway();
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: stream lost - back to playlist")), 20000);
    QCOMPARE(state.last(), (QList<QVariant>{true, server.url(), false}));
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), 10000);
    QElapsedTimer sinceLoss;
    sinceLoss.start();
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: reconnecting...")), 10000);
    const qint64 first = sinceLoss.elapsed();
    QVERIFY2(first > 4000 && first < 7000, qPrintable(QString::number(first)));
    QTRY_COMPARE_WITH_TIMEOUT(logOf(log).count(QStringLiteral("Relay: reconnecting...")), 2, 10000);
    const qint64 interval = sinceLoss.elapsed() - first;
    QVERIFY2(interval > 4000 && interval < 8000, qPrintable(QString::number(interval)));
    QVERIFY(e.isPlaying());
    QVERIFY(e.isRelaying());

    // The encoder is back on the same address: the next attempt opens a new
    // connection and goes live again.
    QVERIFY(server.listen(QUrl(server.url()).port()));
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: live")), 15000);
    QCOMPARE(server.connections(), 2);
    int liveStates = 0;
    for (const QList<QVariant>& s : state)
        liveStates += s.at(2).toBool() ? 1 : 0;
    QCOMPARE(liveStates, 2);
    QTRY_VERIFY_WITH_TIMEOUT(!e.isPlaying(), 5000);

    // Stopping gives the air back to the playlist that played before.
    e.stopRelay();
    QVERIFY(!e.isRelaying());
    QVERIFY(e.relaySource().isEmpty());
    QCOMPARE(logOf(log).last(), QStringLiteral("Relay: stopped"));
    QCOMPARE(state.last(), (QList<QVariant>{false, server.url(), false}));
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), 10000);
    e.stop();
}

void TestRelay::onlyRelayBuffersWhileLive()
{
    StreamServer server(m_mp3);
    QVERIFY(server.listen());
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_song));
    model.addTrack(Track::fromFile(m_song));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QList<int> rates;
    connect(&e, &AudioEngine::audioBufferReady, this,
            [&](const QAudioBuffer& b) { rates.append(b.format().sampleRate()); });
    QSignalSpy levels(&e, &AudioEngine::levels);
    e.startRelay(server.url());
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: live")), kLiveTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(rates.size() > 10, 10000);
    QVERIFY(!levels.isEmpty());

    // A row started while the relay is live plays, but stays off the air.
    e.playRow(1);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), 10000);
    const qsizetype mark = rates.size();
    QTRY_VERIFY_WITH_TIMEOUT(rates.size() > mark + 20, 10000);
    QTest::qWait(500);
    QVERIFY(!rates.contains(44100));
    QCOMPARE(rates.count(48000), rates.size());

    // Once the relay is stopped the playlist's buffers go out again.
    e.stopRelay();
    const qsizetype mark2 = rates.size();
    QTRY_VERIFY_WITH_TIMEOUT(rates.mid(mark2).contains(44100), 10000);
    e.stop();
}

void TestRelay::startWhileActiveStopsOldFirst()
{
    StreamServer server(m_mp3);
    QVERIFY(server.listen());
    AudioEngine e;
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy state(&e, &AudioEngine::relayStateChanged);
    e.startRelay(server.url());
    e.startRelay(server.url() + QStringLiteral("?second"));
    QCOMPARE(logOf(log), (QStringList{QStringLiteral("Relay: starting ") + server.url(), QStringLiteral("Relay: stopped"),
                                      QStringLiteral("Relay: starting ") + server.url() + QStringLiteral("?second")}));
    QCOMPARE(state.at(1), (QList<QVariant>{false, server.url(), false}));
    QCOMPARE(e.relaySource(), server.url() + QStringLiteral("?second"));
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: live")), kLiveTimeoutMs);
    // The first player is gone for good: one relay player only.
    QTRY_COMPARE_WITH_TIMEOUT(e.findChildren<QMediaPlayer*>(Qt::FindDirectChildrenOnly).size(), 3, 5000);
    e.stopRelay();
    // Blank addresses start nothing.
    log.clear();
    e.startRelay(QStringLiteral("   "));
    QVERIFY(!e.isRelaying());
    QVERIFY(log.isEmpty());
}

void TestRelay::stopWhenInactiveDoesNothing()
{
    AudioEngine e;
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy state(&e, &AudioEngine::relayStateChanged);
    e.stopRelay();
    QVERIFY(log.isEmpty());
    QVERIFY(state.isEmpty());
}

void TestRelay::lostRelayStartsStoppedPlaylist()
{
    StreamServer server(m_mp3);
    QVERIFY(server.listen());
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_song));
    AudioEngine e;
    e.setPlaylist(&model);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), 10000);
    e.stop();
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.startRelay(server.url());
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: live")), kLiveTimeoutMs);
    QVERIFY(!e.isPlaying());
    server.goAway();
    // The playlist takes over although it was stopped before the relay.
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: stream lost - back to playlist")), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), 10000);
    e.stopRelay();
    QTest::qWait(300);
    QVERIFY(e.isPlaying());
    e.stop();
}

void TestRelay::startNextOnStop()
{
    QSettings().setValue(QStringLiteral("relay/startNextOnStop"), true);
    StreamServer server(m_mp3);
    QVERIFY(server.listen());
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_song));
    model.addTrack(Track::fromFile(m_song));
    AudioEngine e;
    e.setPlaylist(&model);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), 10000);
    e.pause();
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.startRelay(server.url());
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Relay: live")), kLiveTimeoutMs);
    e.stopRelay();
    QCOMPARE(model.currentRow(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), 10000);
    e.stop();
}

OL_TEST_MAIN(TestRelay)
#include "tst_relay.moc"
