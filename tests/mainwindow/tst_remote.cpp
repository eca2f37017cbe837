// ctest: serial
// ctest: timeout 600
// Remote hands on the real window: an HTTP client driving the engine
// through the API, and tones on a microphone starting and ending events
// around their time.
#include "audiofixtures.h"
#include "automation/dtmfmonitor.h"
#include "automation/eventscheduler.h"
#include "engine/audioengine.h"
#include "mainwindow/vfddisplay.h"
#include "olmain.h"
#include "pipemic.h"
#include "promptscript.h"
#include "windowfixture.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTabBar>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>
#include <limits>
#include <sys/stat.h>

namespace {

// The keys, 100 ms each with 100 ms between, after half a second of silence.
bool keysWav(const QString& path, const QString& keys)
{
    QStringList terms;
    for (int i = 0; i < keys.size(); ++i) {
        const int k = QStringLiteral("123A456B789C*0#D").indexOf(keys.at(i));
        const double at = 0.5 + 0.2 * i;
        terms << QStringLiteral("between(t,%1,%2)*0.25*(sin(2*PI*%3*t)+sin(2*PI*%4*t))")
                     .arg(at)
                     .arg(at + 0.1)
                     .arg(QList<int>{697, 770, 852, 941}.at(k / 4))
                     .arg(QList<int>{1209, 1336, 1477, 1633}.at(k % 4));
    }
    AudioFixtures::Signal keyTones;
    keyTones.expression = terms.join(QLatin1Char('+'));
    keyTones.seconds = 1.0 + 0.2 * keys.size();
    keyTones.sampleRate = 48000;
    keyTones.channels = 1;
    return AudioFixtures::make(path, keyTones);
}

// Tones heard on the microphone start events from five minutes before
// their time up to it.
QVariantMap toneSettings(const PipeMic& mic, int delaySec)
{
    return {{QStringLiteral("dtmf/source"), QStringLiteral("mic")}, {QStringLiteral("audio/micDevice"), mic.description()},
            {QStringLiteral("dtmf/minLevel"), 10}, {QStringLiteral("dtmf/beforeMin"), 5},
            {QStringLiteral("dtmf/afterMin"), 0}, {QStringLiteral("dtmf/delaySec"), delaySec}};
}

const auto apiSettings = &WindowFixture::apiSettings;
const auto command = &WindowFixture::command;

// What the API says is on air: playing, and from this file.
bool airs(quint16 port, const QString& file)
{
    const QByteArray info = WindowFixture::playbackInfo(port);
    return info.contains("<State>playing</State>") && info.contains("<File>" + file.toUtf8() + "</File>");
}

// Runs the entry of a playlist tab's menu, as a right-click on the tab does.
void tabMenu(WindowFixture& f, int tab, const QString& entry)
{
    auto* tabs = f.find<QTabBar>(QStringLiteral("playlistTabs"));
    WindowFixture::choosePopupEntry(entry);
    emit tabs->customContextMenuRequested(tabs->tabRect(tab).center());
}

ScheduledEvent dtmfEvent(const QString& name, const QString& action, QTime time, const QString& start)
{
    ScheduledEvent e;
    e.name = name;
    e.action = action;
    e.time = time;
    e.dtmfStart = start;
    return e;
}

// The API's whole answer to a GET on a socket of this thread, and the time
// from the connect to the answer's end.
QByteArray timedGet(quint16 port, const QString& target, qint64* ms)
{
    QElapsedTimer t;
    t.start();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(QStringLiteral("GET %1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").arg(target).toUtf8());
    QByteArray answer;
    const bool closed = QTest::qWaitFor([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }, 10000);
    *ms = closed ? t.elapsed() : std::numeric_limits<qint64>::max();
    return answer + socket.readAll();
}

} // namespace

class TestRemote : public QObject
{
    Q_OBJECT

private slots:
    void apiRunsCommandsOnTheWindow()
    {
        const QString song = WindowFixture::toneFile(QStringLiteral("remote.wav"), 30, 660);
        const quint16 port = WindowFixture::freePort();
        // As the settings page writes them.
        WindowFixture f({{QStringLiteral("api/enabled"), true}, {QStringLiteral("api/port"), port},
                         {QStringLiteral("api/localhostOnly"), true}, {QStringLiteral("api/password"), QStringLiteral("s3cret")},
                         {QStringLiteral("api/username"), QString()}, {QStringLiteral("api/https"), false}});
        QVERIFY(f.log().contains(QStringLiteral("Remote API: listening on http://127.0.0.1:%1").arg(port)));
        auto* engine = f.find<AudioEngine>();
        f.addPaths({song});

        QVERIFY(WindowFixture::get(port, "/?pass=s3cre&cmd=play").startsWith("HTTP/1.1 403 Forbidden"));
        QVERIFY(WindowFixture::get(port, "/?cmd=volume%2030").startsWith("HTTP/1.1 403 Forbidden"));
        QVERIFY(!engine->isPlaying());
        QVERIFY(f.log().contains(QStringLiteral("Remote API: rejected a request with a bad password")));

        // The command has run when the client gets its answer.
        QVERIFY(WindowFixture::get(port, "/?pass=s3cret&cmd=play").endsWith("\r\n\r\nOK"));
        QVERIFY(f.log().contains(QStringLiteral("Command: play")));
        QTRY_VERIFY(engine->isPlaying());
        QVERIFY(WindowFixture::get(port, "/?pass=s3cret&cmd=volume%2030").endsWith("\r\n\r\nOK"));
        QCOMPARE(f.find<QSlider>(QStringLiteral("volume"))->value(), 30);
        QVERIFY(f.log().contains(QStringLiteral("Command: volume 30")));
        // A line break inside a command cannot forge a line of the log.
        QVERIFY(WindowFixture::get(port, "/?pass=s3cret&cmd=setcasttitle%20Hi%0D%0A9:00:00%20AM%20%20Remote%20API:%20reboot")
                    .endsWith("\r\n\r\nOK"));
        QVERIFY(f.log().contains(QStringLiteral("Remote API: setcasttitle Hi\\r\\n9:00:00 AM  Remote API: reboot")));
        const QByteArray info = WindowFixture::get(port, "/?pass=s3cret&action=playbackinfo");
        for (const char* part : {"<State>playing</State>", "<Volume>30</Volume>", "<PlaylistCount>1</PlaylistCount>",
                                 "<CurrentIndex>0</CurrentIndex>", "<Title>remote</Title>"})
            QVERIFY2(info.contains(part), info.constData());
        QVERIFY(info.contains("<File>" + song.toUtf8() + "</File>"));

        // Closing the program closes the port.
        f.destroy();
        QCOMPARE(WindowFixture::get(port, "/?pass=s3cret&cmd=stop"), QByteArray());
    }

    // The list on air replaced, put aside or deleted while a short track
    // plays: at the track's own end the next row of the list now on air
    // follows, with crossfading on or off.
    void theListOnAirChangesUnderAPlayingTrack_data()
    {
        QTest::addColumn<bool>("crossfade");
        QTest::newRow("crossfade off") << false;
        QTest::newRow("crossfade on") << true;
    }

    void theListOnAirChangesUnderAPlayingTrack()
    {
        QFETCH(bool, crossfade);
        const QString first = WindowFixture::toneFile(QStringLiteral("First - Short.wav"), 2, 330);
        const QString second = WindowFixture::toneFile(QStringLiteral("Second - Short.wav"), 2, 550);
        const QString loaded = WindowFixture::toneFile(QStringLiteral("Loaded - Long.wav"), 30, 770);
        const QString list = testHome().scratch() + QStringLiteral("/hour.m3u");
        QFile m3u(list);
        QVERIFY(m3u.open(QIODevice::WriteOnly));
        m3u.write(("#EXTM3U\n" + loaded + "\n" + first + "\n").toUtf8());
        m3u.close();
        const quint16 port = WindowFixture::freePort();
        QVariantMap settings = apiSettings(port);
        settings.insert(QStringLiteral("playback/crossfadeEnabled"), crossfade);
        WindowFixture f(settings);
        PromptScript prompts;
        f.addPaths({first});
        f.find<QTabBar>(QStringLiteral("playlistTabs"))->setCurrentIndex(1);
        f.addPaths({second});
        auto ended = [&f](const QString& title) { return f.waitForLog(QStringLiteral("End of track: ") + title); };

        // Playlist 2 made active while Playlist 1's row plays: its first row follows.
        QVERIFY(command(port, QStringLiteral("play 1")).endsWith("OK"));
        QTRY_VERIFY(airs(port, first));
        tabMenu(f, 1, QStringLiteral("Set as active (on air)"));
        QVERIFY(ended(QStringLiteral("First - Short")));
        QTRY_VERIFY_WITH_TIMEOUT(airs(port, second), 10000);

        // Playlist 2 deleted while its row plays: Playlist 1 goes on at its current row.
        prompts.answerButton(QMessageBox::Yes);
        tabMenu(f, 1, QStringLiteral("Delete playlist"));
        QVERIFY(ended(QStringLiteral("Second - Short")));
        QTRY_VERIFY_WITH_TIMEOUT(airs(port, first), 10000);

        // A playlist loaded by a remote client: its first row follows.
        QVERIFY(command(port, QStringLiteral("load ") + list).endsWith("OK"));
        QVERIFY(ended(QStringLiteral("First - Short")));
        QTRY_VERIFY_WITH_TIMEOUT(airs(port, loaded), 10000);
    }

    // Shuffle with crossfades on, as most stations run: each segue starts
    // the row the API named as next, and the show does not go in order.
    void shuffleHoldsThroughSegues()
    {
        const quint16 port = WindowFixture::freePort();
        QVariantMap settings = apiSettings(port);
        settings.insert(QStringLiteral("playback/crossfadeEnabled"), true);
        settings.insert(QStringLiteral("playback/mixPointMs"), 1000);
        settings.insert(QStringLiteral("playback/minCrossfadeMs"), 1000);
        settings.insert(QStringLiteral("playback/fadeInMs"), 300);
        settings.insert(QStringLiteral("playback/fadeOutMs"), 300);
        WindowFixture f(settings);
        QStringList rows;
        for (int i = 0; i < 8; ++i)
            rows << WindowFixture::toneFile(QStringLiteral("Shuffle - Row %1.wav").arg(i), 3, 300 + 50 * i);
        f.addPaths(rows);
        QSignalSpy starts(f.find<AudioEngine>(), &AudioEngine::nowPlaying);
        QVERIFY(command(port, QStringLiteral("shuffle on")).endsWith("OK"));
        QVERIFY(command(port, QStringLiteral("play 1")).endsWith("OK"));
        QStringList played{QStringLiteral("Row 0")};
        for (int segue = 1; segue <= 5; ++segue) {
            const QString next = WindowFixture::playbackField(WindowFixture::playbackInfo(port), QStringLiteral("NextTrack/Title"));
            QVERIFY2(next.startsWith(QStringLiteral("Row ")) && next != played.last(), qPrintable(next));
            QTRY_COMPARE_WITH_TIMEOUT(starts.size(), segue + 1, 15000);
            played << starts.last().at(0).value<Track>().title;
            QCOMPARE(played.last(), next);
        }
        QVERIFY(f.log().filter(QStringLiteral("End of track: ")).isEmpty());
        QVERIFY2(played != QStringList({QStringLiteral("Row 0"), QStringLiteral("Row 1"), QStringLiteral("Row 2"),
                                        QStringLiteral("Row 3"), QStringLiteral("Row 4"), QStringLiteral("Row 5")}),
                 "five draws in order");
    }

    // A `load` replaces the list under a playing track: the API and the
    // display still show the track, its length and the time it has left,
    // and the new list's first row as next.
    void theTrackOnAirStaysShownAfterALoad()
    {
        const QString walk = WindowFixture::toneFile(QStringLiteral("Walker - Long Walk.wav"), 30, 440);
        const QString news = WindowFixture::toneFile(QStringLiteral("Desk - News.wav"), 5, 550);
        const QString list = testHome().scratch() + QStringLiteral("/news.m3u");
        QFile m3u(list);
        QVERIFY(m3u.open(QIODevice::WriteOnly));
        m3u.write(news.toUtf8() + "\n");
        m3u.close();
        const quint16 port = WindowFixture::freePort();
        WindowFixture f(apiSettings(port));
        auto* engine = f.find<AudioEngine>();
        auto* vfd = f.find<VfdDisplay>();
        f.addPaths({walk});
        QVERIFY(command(port, QStringLiteral("play 1")).endsWith("OK"));
        QTRY_VERIFY(airs(port, walk));
        QVERIFY(command(port, QStringLiteral("load ") + list).endsWith("OK"));
        QVERIFY(f.waitForLog(QStringLiteral("Loaded playlist news.m3u (1 tracks)")));

        const QByteArray info = WindowFixture::playbackInfo(port);
        auto field = [&info](const char* path) { return WindowFixture::playbackField(info, QLatin1String(path)); };
        QCOMPARE(field("State"), QStringLiteral("playing"));
        QCOMPARE(field("CurrentIndex"), QStringLiteral("-1"));
        QCOMPARE(field("CurrentTrack/Title"), QStringLiteral("Long Walk"));
        QCOMPARE(field("CurrentTrack/Artist"), QStringLiteral("Walker"));
        QCOMPARE(field("CurrentTrack/File"), walk);
        QVERIFY2(qAbs(field("CurrentTrack/Duration").toLongLong() - 30000) < 500, qPrintable(field("CurrentTrack/Duration")));
        QCOMPARE(field("NextTrack/Title"), QStringLiteral("News"));
        QCOMPARE(vfd->nowPlayingText(), QStringLiteral("Walker - Long Walk"));
        QCOMPARE(vfd->nextUpText(), QStringLiteral("Desk - News"));
        // The time left counts down from the track's own length.
        auto secondsLeft = [vfd] {
            const QStringList parts = vfd->remainingText().mid(1).split(QLatin1Char(':'));
            return parts.value(0).toInt() * 60 + parts.value(1).toInt();
        };
        QTRY_VERIFY(qAbs(secondsLeft() - (30000 - engine->position()) / 1000) <= 2 && engine->position() > 2000);
        QVERIFY(secondsLeft() > 5);
    }

    // The dead-air guard leaves a deliberate Stop or Pause alone, hears the
    // music the streams carry whatever the monitor's volume, and once
    // nothing is left to play says so once and stays quiet.
    void silenceDetectorLeavesTheOperatorAlone()
    {
        const QString tone = WindowFixture::toneFile(QStringLiteral("Guard - Tone.wav"), 30, 440);
        const QString brief = WindowFixture::toneFile(QStringLiteral("Guard - Brief.wav"), 1, 660);
        const quint16 port = WindowFixture::freePort();
        QVariantMap settings = apiSettings(port);
        settings.insert(QStringLiteral("silence/enabled"), true);
        settings.insert(QStringLiteral("silence/timeout"), 1);
        WindowFixture f(settings);
        auto* engine = f.find<AudioEngine>();
        f.addPaths({tone, tone});
        auto detected = [&f] { return f.log().filter(QStringLiteral("Silence detected")).size(); };
        auto quietFor = [&](int ms) {
            QTest::qWait(ms);
            return detected() == 0 && engine->currentRow() == 0;
        };

        QVERIFY(command(port, QStringLiteral("play 1")).endsWith("OK"));
        QTRY_VERIFY(airs(port, tone));
        QVERIFY(command(port, QStringLiteral("stop")).endsWith("OK"));
        QVERIFY(quietFor(2500) && !engine->isPlaying());
        QVERIFY(command(port, QStringLiteral("play 1")).endsWith("OK"));
        QTRY_VERIFY(airs(port, tone));
        QVERIFY(command(port, QStringLiteral("pause")).endsWith("OK"));
        QVERIFY(quietFor(2500) && !engine->isPlaying());
        QVERIFY(command(port, QStringLiteral("play")).endsWith("OK"));
        QTRY_VERIFY(engine->isPlaying());
        QVERIFY(command(port, QStringLiteral("volume 0")).endsWith("OK"));
        QVERIFY(quietFor(2500) && engine->isPlaying());

        // The last row cannot be played: one report, one word, then quiet.
        QVERIFY(command(port, QStringLiteral("clear")).endsWith("OK"));
        f.addPaths({brief, testHome().scratch() + QStringLiteral("/Gone - Missing.wav")});
        QVERIFY(command(port, QStringLiteral("play 1")).endsWith("OK"));
        const QString nothingLeft = QStringLiteral("Silence: nothing left to play - waiting for the operator");
        QVERIFY(f.waitForLog(nothingLeft));
        QTest::qWait(3000);
        QCOMPARE(detected(), 1);
        QCOMPARE(f.log().count(nothingLeft), 1);
        // Nothing stays up as playing.
        const QList<QLabel*> info = f.find<QWidget>(QStringLiteral("trackInfo"))->findChildren<QLabel*>();
        QVERIFY(std::ranges::any_of(info, [](QLabel* l) { return l->text() == QStringLiteral("Title: -"); }));
    }

    // `load` of a FIFO named as a playlist and of a private text file: the
    // API answers at once, neither is read, and no word of the text comes
    // back as a row. A playlist file loads.
    void loadReadsOnlyPlaylistFiles()
    {
        const QString dir = testHome().scratch(QStringLiteral("load"));
        const QString fifo = dir + QStringLiteral("/live.m3u");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QFile secret(dir + QStringLiteral("/station.txt"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("streaming password = hunter2\n");
        secret.close();
        // Before the song, a line of a megabyte, and one short enough to read
        // but too long to be a path; the song's own line spans two reads.
        const QString song = WindowFixture::toneFile(QStringLiteral("Loaded - Song.wav"), 2);
        QFile list(dir + QStringLiteral("/show.m3u"));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write(QByteArray(1114100, 'x') + '\n' + dir.toUtf8() + '/' + QByteArray(5000, 'y') + ".wav\n" + song.toUtf8() + '\n');
        list.close();
        const quint16 port = WindowFixture::freePort();
        WindowFixture f({{QStringLiteral("api/enabled"), true}, {QStringLiteral("api/port"), port},
                         {QStringLiteral("api/localhostOnly"), true}, {QStringLiteral("api/password"), QStringLiteral("s3cret")},
                         {QStringLiteral("api/https"), false}});
        // A writer comes 2 s after the request: an open() waiting for one
        // holds the window that long.
        QProcess writer;
        writer.start(QStringLiteral("timeout"), {QStringLiteral("6"), QStringLiteral("sh"), QStringLiteral("-c"),
                                                  QStringLiteral("sleep 2; echo /x.mp3 > \"$0\""), fifo});
        const auto endWriter = qScopeGuard([&writer] { writer.waitForFinished(10000); });
        QVERIFY(writer.waitForStarted());
        auto load = [port](const QString& path) {
            qint64 ms = 0;
            const QByteArray answer = timedGet(port, QStringLiteral("/?pass=s3cret&cmd=") + QUrl::toPercentEncoding(QStringLiteral("load ") + path), &ms);
            return std::pair{answer, ms};
        };
        for (const QString& path : {fifo, secret.fileName()}) {
            const auto [answer, ms] = load(path);
            // The FIFO's writer comes after 2 s: an answer that waited for it is late.
            QVERIFY2(answer.endsWith("\r\n\r\nOK") && ms < 1500, qPrintable(QStringLiteral("%1 ms: %2").arg(ms).arg(QString::fromUtf8(answer))));
        }
        QTRY_VERIFY(f.log().contains(QStringLiteral("Could not open playlist: %1 (is not a regular file)").arg(fifo)));
        QVERIFY(f.log().contains(QStringLiteral("Could not open playlist: %1 (not an .m3u, .m3u8 or .pls file)").arg(secret.fileName())));
        QVERIFY(!WindowFixture::get(port, QStringLiteral("/?pass=s3cret&action=playbackinfo")).contains("hunter2"));

        QVERIFY(load(list.fileName()).first.endsWith("OK"));
        QTRY_VERIFY(WindowFixture::get(port, QStringLiteral("/?pass=s3cret&action=playbackinfo")).contains("<PlaylistCount>1</PlaylistCount>"));
        QVERIFY(f.log().contains(QStringLiteral("Loaded playlist show.m3u (2 tracks)")));
        QVERIFY(command(port, QStringLiteral("play")).endsWith("OK"));
        QTRY_VERIFY_WITH_TIMEOUT(airs(port, song), 30000);
        const QStringList log = f.log();
        QVERIFY(std::all_of(log.cbegin(), log.cend(), [](const QString& line) { return line.size() < 1000; }));
        QVERIFY(log.filter(QStringLiteral("Not added: 1 line(s) of %1 longer than 8192 bytes, the first (line 1) starting xxx").arg(list.fileName())).size() == 1);
        QVERIFY(log.filter(QStringLiteral("yyy... (%1 characters) is longer than the system's path limit (4095 bytes)").arg(dir.size() + 5005)).size() == 1);
    }

    // Events at 00:00 whose windows close at once, and one at 00:10 awaited
    // from 00:05, on a clock the test moves.
    void tonesStartEventsInTheirWindow()
    {
        const QString dir = testHome().scratch(QStringLiteral("dtmf"));
        const QString start = dir + QStringLiteral("/start.wav");
        const QString again = dir + QStringLiteral("/again.wav");
        QVERIFY(keysWav(start, QStringLiteral("123#")));
        QVERIFY(keysWav(again, QStringLiteral("123#*9")));
        PipeMic mic(QStringLiteral("ol_dtmf_window"), QStringLiteral("DTMF-Window-Microphone"), 48000, 1);
        QVERIFY(mic.load(dir));
        QVERIFY(mic.waitUntilListed());

        WindowFixture f(toneSettings(mic, 3));
        auto* engine = f.find<AudioEngine>();
        auto* monitor = f.find<DtmfMonitor>();
        auto* volume = f.find<QSlider>(QStringLiteral("volume"));
        auto* scheduler = f.find<EventScheduler>();
        QDateTime now(QDate(2026, 6, 1), QTime(0, 0, 10));
        scheduler->setClock([&now] { return now; });
        ScheduledEvent news = dtmfEvent(QStringLiteral("News"), QStringLiteral("volume 40"), QTime(0, 10), QStringLiteral("123#"));
        news.dtmfEnd = QStringLiteral("*9");
        ScheduledEvent feed = dtmfEvent(QStringLiteral("Feed"), QStringLiteral("volume 20"), QTime(0, 0), QStringLiteral("555"));
        feed.dtmfOnly = true;
        ScheduledEvent off = dtmfEvent(QStringLiteral("Off"), QStringLiteral("volume 10"), QTime(0, 0), QStringLiteral("777"));
        off.enabled = false;
        scheduler->setEvents({dtmfEvent(QStringLiteral("Backup"), QStringLiteral("volume 60"), QTime(0, 0), QStringLiteral("777")),
                              feed, off, news,
                              dtmfEvent(QStringLiteral("Blank"), QStringLiteral("volume 10"), QTime(0, 0), QStringLiteral("  "))});
        auto count = [&f](const QString& line) { return f.log().count(line); };
        const QString ranBackup = QStringLiteral("DTMF window closed with no tone - starting Backup");
        const QString skippedFeed = QStringLiteral("DTMF Only: no tone heard, skipping Feed");
        const QString startedNews = QStringLiteral("DTMF 123# detected - starting News");

        // Windows that closed without a tone are decided once in the day's
        // first minute, not at every check of it.
        QTRY_COMPARE(volume->value(), 60);
        QCOMPARE(count(skippedFeed), 1);
        f->runSchedulerCommand(QStringLiteral("volume 100"));
        QTest::qWait(4500);
        QCOMPARE(volume->value(), 100);
        QCOMPARE(count(ranBackup), 1);
        QCOMPARE(count(skippedFeed), 1);
        QVERIFY(!monitor->isRunning());

        // Heard inside its window, the event runs after the delay.
        now = now.addSecs(7 * 60);
        QTRY_VERIFY(monitor->isRunning());
        QVERIFY(mic.feed(start));
        QTRY_VERIFY_WITH_TIMEOUT(count(startedNews) == 1, 20000);
        QCOMPARE(volume->value(), 100);
        QVERIFY(monitor->detector().sequence.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(volume->value(), 40, 10000);

        // Heard again it is not started again; its end stops playback.
        f->runSchedulerCommand(QStringLiteral("volume 100"));
        f.addPaths({WindowFixture::toneFile(QStringLiteral("bed.wav"), 30)});
        engine->playRow(0);
        QTRY_VERIFY(engine->isPlaying());
        QVERIFY(mic.feed(again));
        QTRY_VERIFY_WITH_TIMEOUT(!engine->isPlaying(), 20000);
        QCOMPARE(count(QStringLiteral("DTMF end sequence for News")), 1);
        QCOMPARE(count(startedNews), 1);
        QTest::qWait(3500);
        QCOMPARE(volume->value(), 100);

        // Switched off, the monitor stops inside an open window.
        QSettings().setValue(QStringLiteral("dtmf/source"), QStringLiteral("off"));
        QTRY_VERIFY(!monitor->isRunning());

        // The next day the closed windows are decided again, once.
        QSettings().setValue(QStringLiteral("dtmf/source"), QStringLiteral("mic"));
        now = QDateTime(QDate(2026, 6, 2), QTime(0, 0, 20));
        QTRY_COMPARE(volume->value(), 60);
        QTest::qWait(4500);
        QCOMPARE(count(ranBackup), 2);
        QCOMPARE(count(skippedFeed), 2);
        // A disabled event and one with a blank start are no DTMF events.
        QVERIFY(std::ranges::none_of(f.log(), [](const QString& l) {
            return l.startsWith(QStringLiteral("DTMF")) && (l.endsWith(QStringLiteral(" Off")) || l.endsWith(QStringLiteral(" Blank")));
        }));
    }

    // Each occurrence of an event runs once: a one-off event not again after
    // a restart within its minute, two tone-started events of one name each
    // in its own hour, and windows that reach over midnight.
    void eventsRunOncePerOccurrence()
    {
        const QString dir = testHome().scratch(QStringLiteral("once"));
        const QString start = dir + QStringLiteral("/start.wav");
        QVERIFY(keysWav(start, QStringLiteral("123#")));
        PipeMic mic(QStringLiteral("ol_dtmf_once"), QStringLiteral("DTMF-Once-Microphone"), 48000, 1);
        QVERIFY(mic.load(dir));
        QVERIFY(mic.waitUntilListed());
        WindowFixture f(toneSettings(mic, 0));
        QDateTime now(QDate(2026, 7, 1), QTime(13, 55, 25));
        const auto useClock = [&f, &now] { f.find<EventScheduler>()->setClock([&now] { return now; }); };
        useClock();
        ScheduledEvent once = dtmfEvent(QStringLiteral("Once"), QStringLiteral("volume 30"), QTime(13, 55, 20), {});
        once.date = now.date();
        f.find<EventScheduler>()->setEvents({once, dtmfEvent(QStringLiteral("Later"), QStringLiteral("volume 40"), QTime(13, 56), {}),
                                             dtmfEvent(QStringLiteral("News"), QStringLiteral("volume 50"), QTime(14, 10), QStringLiteral("123#")),
                                             dtmfEvent(QStringLiteral("News"), QStringLiteral("volume 60"), QTime(15, 10), QStringLiteral("123#"))});
        QVERIFY(f.waitForLog(QStringLiteral("Scheduler fired: Once")));

        f.restart();
        now = QDateTime(now.date(), QTime(13, 55, 37));
        useClock();
        QTest::qWait(2500);
        now = QDateTime(now.date(), QTime(13, 56, 5));
        QVERIFY(f.waitForLog(QStringLiteral("Scheduler fired: Later")));
        QCOMPARE(f.log().count(QStringLiteral("Scheduler fired: Once")), 0);

        // The 14:10 News started by its tone; the 15:10 one is its own event.
        now = QDateTime(now.date(), QTime(14, 7));
        QTRY_VERIFY(f.find<DtmfMonitor>()->isRunning());
        QVERIFY(mic.feed(start));
        QVERIFY(f.waitForLog(QStringLiteral("DTMF 123# detected - starting News"), 20000));
        now = QDateTime(now.date(), QTime(15, 10, 10));
        QVERIFY(f.waitForLog(QStringLiteral("DTMF window closed with no tone - starting News")));
        QTRY_COMPARE(f.find<QSlider>(QStringLiteral("volume"))->value(), 60);
        QCOMPARE(f.log().count(QStringLiteral("Scheduler fired: News")), 2);

        // Windows over midnight: one opens the evening before its event,
        // one closes just after midnight.
        QSettings().setValue(QStringLiteral("dtmf/afterMin"), 2);
        f.find<EventScheduler>()->addEvent(dtmfEvent(QStringLiteral("Early"), QStringLiteral("volume 30"), QTime(0, 2), QStringLiteral("123#")));
        f.find<EventScheduler>()->addEvent(dtmfEvent(QStringLiteral("Late"), QStringLiteral("volume 70"), QTime(23, 59), QStringLiteral("555")));
        const QString early = QStringLiteral("DTMF 123# detected - starting Early");
        const QString late = QStringLiteral("DTMF window closed with no tone - starting Late");
        now = QDateTime(now.date(), QTime(23, 58));
        QTRY_VERIFY(f.find<DtmfMonitor>()->isRunning());
        QVERIFY(mic.feed(start));
        QVERIFY(f.waitForLog(early, 20000));
        QTRY_COMPARE(f.find<QSlider>(QStringLiteral("volume"))->value(), 30);
        now = QDateTime(now.date().addDays(1), QTime(0, 1, 30));
        QVERIFY(f.waitForLog(late));
        QTRY_COMPARE(f.find<QSlider>(QStringLiteral("volume"))->value(), 70);
        QTest::qWait(4500);
        QCOMPARE(f.log().count(early), 1);
        QCOMPARE(f.log().count(late), 1);
    }

    // A render asked for through the API runs on its own thread: the client
    // is answered at once and may leave, the API keeps answering, the end is
    // logged (a failure with its reason), and closing the program cancels a
    // render still running.
    void renderOutlivesItsClient()
    {
        const QString song = WindowFixture::toneFile(QStringLiteral("long.mp3"), 180, 330);
        const quint16 port = WindowFixture::freePort();
        WindowFixture f({{QStringLiteral("api/enabled"), true}, {QStringLiteral("api/port"), port},
                         {QStringLiteral("api/password"), QStringLiteral("pw")}});
        f.addPaths(QStringList(6, song));
        const QString dir = testHome().scratch(QStringLiteral("render"));
        const auto ask = [&dir](const char* name) {
            return QStringLiteral("/?pass=pw&cmd=renderplaylist%20")
                   + QString::fromLatin1(QUrl::toPercentEncoding(dir + QLatin1Char('/') + QLatin1String(name)));
        };
        const auto told = [&dir](const char* what, const char* name) {
            return QStringLiteral("renderplaylist: %1 %2/%3").arg(QLatin1String(what), dir, QLatin1String(name));
        };

        QVERIFY(WindowFixture::get(port, ask("waited.mp3")).endsWith("\r\n\r\nOK"));
        QVERIFY(!f.log().contains(told("wrote", "waited.mp3")));
        QVERIFY(f.log().contains(told("rendering 6 rows to", "waited.mp3")));
        QVERIFY(f.waitForLog(told("wrote", "waited.mp3"), 180000));

        // Into a folder that is not there (a share that is not mounted).
        QVERIFY(WindowFixture::get(port, ask("gone/out.wav")).endsWith("\r\n\r\nOK"));
        const QString failed = told("render failed: cannot write", "gone/out.wav") + QStringLiteral(" (");
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::any_of(f.log(), [&](const QString& l) { return l.startsWith(failed); }),
                                 180000);

        {
            QTcpSocket leaving;
            leaving.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(leaving.waitForConnected(5000));
            leaving.write("GET " + ask("left.mp3").toUtf8() + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
            QVERIFY(leaving.waitForBytesWritten(5000));
        }
        QVERIFY(f.waitForLog(told("rendering 6 rows to", "left.mp3")));
        QVERIFY(WindowFixture::get(port, QStringLiteral("/?pass=pw&action=playbackinfo")).startsWith("HTTP/1.1 200 OK"));
        QVERIFY(f.waitForLog(told("wrote", "left.mp3"), 180000));

        QVERIFY(WindowFixture::get(port, ask("closed.mp3")).endsWith("\r\n\r\nOK"));
        f.destroy();
        QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name), (QStringList{"left.mp3", "waited.mp3"}));
    }
};

OL_TEST_MAIN(TestRemote)
#include "tst_remote.moc"
