// ctest: serial
// ctest: timeout 900
// The command language carried out by the real window on the real engine,
// inputs and outputs; scheduled events and dead air playing what they name;
// and the real program firing its events through a day boundary.
#include "audiofixtures.h"
#include "automation/eventscheduler.h"
#include "automation/schedulercommand.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "engine/voiceovers.h"
#include "icecastserver.h"
#include "olmain.h"
#include "pipemic.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "sinkrecorder.h"
#include "windowfixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QLabel>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTableView>

#include <functional>

namespace {

QString readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

double seconds(const QString& path)
{
    return AudioFixtures::probe(path, QStringLiteral("format=duration")).toDouble();
}

// Whether a tone of this frequency lasts 300 ms or more in a recording.
bool contains(const QList<float>& samples, double hz)
{
    int run = 0;
    for (double v : SinkRecorder::toneEnvelope(samples, hz, 20, 5)) {
        run = v > 0.1 ? run + 1 : 0;
        if (run >= 60)
            return true;
    }
    return false;
}

bool heard(double hz, int ms = 3000)
{
    SinkRecorder rec;
    if (!rec.start())
        return false;
    QTest::qWait(ms);
    return contains(rec.stop(), hz);
}

// A command line and what must hold once it has run.
struct Case
{
    QString line;
    std::function<bool()> holds;
};

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_ice.start(), qPrintable(m_ice.errorText()));
        // Restart and shut-down reach a stand-in that only writes them down.
        const QString bin = testHome().scratch(QStringLiteral("bin"));
        m_powerLog = testHome().scratch() + QStringLiteral("/systemctl.log");
        QFile standIn(bin + QStringLiteral("/systemctl"));
        QVERIFY(standIn.open(QIODevice::WriteOnly));
        standIn.write(QStringLiteral("#!/bin/sh\necho \"$@\" >> '%1'\n").arg(m_powerLog).toUtf8());
        standIn.close();
        standIn.setPermissions(standIn.permissions() | QFile::ExeOwner);
        qputenv("PATH", (bin + QLatin1Char(':') + qEnvironmentVariable("PATH")).toUtf8());
        for (int i = 0; i < 4; ++i)
            m_tones << WindowFixture::toneFile(QStringLiteral("Artist - Tone %1.mp3").arg(i), 120, 440 + 110 * i);
        QVERIFY(!m_tones.contains(QString()));
        QVERIFY(m_mic.open(testHome().scratch(), m_tones.at(3)));
    }

    void everyVerbOnTheRealWindow()
    {
        const QString rec = testHome().scratch(QStringLiteral("recordings"));
        WindowFixture f({{QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1")},
                         {QStringLiteral("broadcast/port"), m_ice.port()},
                         {QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount)},
                         {QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword)},
                         {QStringLiteral("broadcast/internalMix"), true},
                         {QStringLiteral("audio/micDevice"), m_mic.description()},
                         {QStringLiteral("audio/lineInDevice"), m_mic.description()},
                         {QStringLiteral("archive/folder"), rec},
                         {QStringLiteral("archive/namePattern"), QStringLiteral("'stored'")},
                         {QStringLiteral("archive/internalMix"), true},
                         {QStringLiteral("weather/geocodingUrl"),
                          QStringLiteral("http://127.0.0.1:%1").arg(WindowFixture::freePort())}});
        // A timer given a negative interval says so and never fires.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("[Tt]imer")));
        f->addPaths(m_tones);
        auto* engine = f.find<AudioEngine>();
        auto* model = qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model());
        const QList<AudioInput*> inputs = f->findChildren<AudioInput*>();
        AudioInput* mic = inputs.value(0);
        AudioInput* line = inputs.value(1);
        auto* scheduler = f.find<EventScheduler>();
        auto* archive = f.find<StreamArchive>();
        auto* broadcast = f.find<BroadcastService>();
        QSignalSpy reorders(model, &QAbstractItemModel::modelReset);

        auto logged = [&f](const QString& text) { return [&f, text] { return f.log().contains(text); }; };
        auto playing = [engine](int row) { return [engine, row] { return engine->isPlaying() && engine->currentRow() == row; }; };
        auto status = [&f] {
            for (const QLabel* l : f->findChildren<QLabel*>())
                if (l->text().startsWith(QStringLiteral("Scheduler: ")))
                    return l->text();
            return QString();
        };
        auto longestTimerRuns = [&f] {
            for (const QTimer* t : f->findChildren<QTimer*>())
                if (t->isSingleShot() && t->isActive() && t->interval() == std::numeric_limits<int>::max())
                    return true;
            return false;
        };
        auto for3s = [](const std::function<bool()>& p) { return [p] { QTest::qWait(3000); return p(); }; };
        const QString ran = testHome().scratch() + QStringLiteral("/ran.txt");
        const QString twoHours = rec + QStringLiteral("/two hours.mp3");

        const QList<Case> cases = {
            {QStringLiteral("  "), logged(QStringLiteral("Scheduler command not recognised:   "))},
            {QStringLiteral("bogus thing"), logged(QStringLiteral("Scheduler command not recognised: bogus thing"))},
            {QStringLiteral(" PLAY 2 "), playing(1)},
            {QStringLiteral("pause"), [engine] { return !engine->isPlaying(); }},
            {QStringLiteral("play 9"), playing(1)},
            {QStringLiteral("next 4000"), [=] { return playing(2)() && engine->fadeOutMs() == 4000; }},
            {QStringLiteral("next 0"), [=] { return playing(3)() && engine->fadeOutMs() == 4000; }},
            {QStringLiteral("previous"), playing(2)},
            {QStringLiteral("volume 150"), [&f] { return f.find<QSlider>(QStringLiteral("volume"))->value() == 100; }},
            {QStringLiteral("volume 40 2000"), [&f] { return f.find<QSlider>(QStringLiteral("volume"))->value() == 40; }},
            {QStringLiteral("shuffle ON"), [&] { return engine->isShuffle() && reorders.isEmpty(); }},
            {QStringLiteral("shuffle off"), [&] { return !engine->isShuffle() && reorders.isEmpty(); }},
            {QStringLiteral("shuffle yes"), [&] { return reorders.count() == 1 && model->rowCount() == 4; }},
            // A quote in the name is written as it stands; the limit ends it.
            {QStringLiteral("streamarchive 4 %1/it's live.mp3").arg(rec),
             [&] { return !archive->isRecording() && seconds(rec + QStringLiteral("/it's live.mp3")) > 2.5; }},
            {QStringLiteral("streamarchive"), [&] { return archive->currentFile() == rec + QStringLiteral("/stored.mp3"); }},
            {QStringLiteral("streamarchive OFF"), [&] { return !archive->isRecording(); }},
            // Two hours on a clock 1200 times as fast: split hourly, both parts kept.
            {QStringLiteral("streamarchive 7200 ") + twoHours,
             [&] { return !archive->isRecording() && seconds(twoHours) > 2 && seconds(rec + QStringLiteral("/two hours-2.mp3")) > 2; }},
            {QStringLiteral("connect 2"), [&] { return logged(QStringLiteral("connect: only one broadcast server is configured (1)"))() && !broadcast->isStreaming(); }},
            {QStringLiteral("connect 1, 2"), [&] { return broadcast->isStreaming() && !m_ice.mountStatus().isEmpty(); }},
            {QStringLiteral("setcasttitle Late  Night Jazz"),
             [&] { return m_ice.mountStatus().value(QStringLiteral("title")).toString() == QStringLiteral("Late Night Jazz"); }},
            {QStringLiteral("connect"), [&] { return broadcast->isStreaming(); }},
            {QStringLiteral("disconnect 2"), for3s([&] { return broadcast->isStreaming(); })},
            {QStringLiteral("disconnect"), [&] { return !broadcast->isStreaming() && m_ice.mountStatus().isEmpty(); }},
            {QStringLiteral("mic on 99999999"),
             [&] { return mic->isActive() && longestTimerRuns()
                          && logged(QStringLiteral("mic: 99999999 s is longer than a timer can wait; using 2147483 s"))(); }},
            {QStringLiteral("mic off"), [&] { return !mic->isActive() && !longestTimerRuns(); }},
            {QStringLiteral("mic 2"), [&] { return mic->isActive() && QTest::qWaitFor([&] { return !mic->isActive(); }, 8000); }},
            {QStringLiteral("mic 2"), [&] { return mic->isActive(); }},
            {QStringLiteral("mic off"), [&] { return !mic->isActive(); }},
            {QStringLiteral("mic"), for3s([&] { return mic->isActive(); })},
            {QStringLiteral("mic off"), [&] { return !mic->isActive(); }},
            {QStringLiteral("linein on 0"), [&] { return line->isActive(); }},
            {QStringLiteral("linein off"), [&] { return !line->isActive(); }},
            {QStringLiteral("scheduler pause 60"), [&] { return scheduler->isActive() && status() == QStringLiteral("Scheduler: Enabled"); }},
            {QStringLiteral("scheduler off"), [&] { return !scheduler->isActive() && status() == QStringLiteral("Scheduler: Off"); }},
            {QStringLiteral("scheduler off 99999999"),
             logged(QStringLiteral("scheduler off: 99999999 s is longer than a timer can wait; using 2147483 s"))},
            {QStringLiteral("scheduler off 1"),
             [&] { return scheduler->isActive() && logged(QStringLiteral("Scheduler resumed after timeout"))(); }},
            {QStringLiteral("relaystart"), logged(QStringLiteral("relaystart: no source given"))},
            {QStringLiteral("relaystart 2"),
             logged(QStringLiteral("relaystart: input 2 is not configured (only line input 1 is available)"))},
            {QStringLiteral("relaystart HTTP://127.0.0.1:%1/none.mp3").arg(m_ice.port()), [&] { return engine->isRelaying(); }},
            {QStringLiteral("relaystop"), [&] { return !engine->isRelaying(); }},
            {QStringLiteral("relaystart 1"), [&] { return line->isActive() && !engine->isPlaying(); }},
            {QStringLiteral("relaystop"), [&] { return !line->isActive() && engine->isPlaying(); }},
            {QStringLiteral("weather Port Avalon, ZZ"), logged(QStringLiteral("Weather: updating for Port Avalon, ZZ"))},
            {QStringLiteral("disablevo"), [&] { return !Voiceovers::enabled() && logged(QStringLiteral("Voiceovers disabled"))(); }},
            {QStringLiteral("enablevo"), [&] { return Voiceovers::enabled(); }},
            {QStringLiteral("silencedetector off"),
             [&] { return !f.find<SilenceDetector>()->isEnabled() && !QSettings().value(QStringLiteral("silence/enabled")).toBool(); }},
            {QStringLiteral("silencedetector"), [&] { return f.find<SilenceDetector>()->isEnabled(); }},
            {QStringLiteral("getrandomplaylist"), logged(QStringLiteral("getrandomplaylist: folder not found: "))},
            {QStringLiteral("getrandomplaylist ") + rec, logged(QStringLiteral("getrandomplaylist: no playlists in ") + rec)},
            {QStringLiteral("resetplayedstate"), [&] { return !model->isPlayed(1) && logged(QStringLiteral("Played-track status reset"))(); }},
            {QStringLiteral("reboot"), [&] { return readFile(m_powerLog) == QStringLiteral("reboot\n"); }},
            {QStringLiteral("poweroff"), [&] { return readFile(m_powerLog) == QStringLiteral("reboot\npoweroff\n"); }},
            {QStringLiteral("run"), logged(QStringLiteral("Command: run"))},
            {QStringLiteral("run sh -c \"echo ran > '%1'\"").arg(ran), [&] { return readFile(ran) == QStringLiteral("ran\n"); }},
            {QStringLiteral("clearplaylist down"), [&] { return model->rowCount() == engine->currentRow() + 1; }},
            {QStringLiteral("clearplaylist up"), [&] { return model->rowCount() == 1 && engine->currentRow() == 0; }},
            {QStringLiteral("fadeout -100"), [&] { return engine->fadeOutMs() == 0 && !engine->isPlaying(); }},
            {QStringLiteral("fadeout"), [&] { return engine->fadeOutMs() == 2000; }},
            {QStringLiteral("play"), playing(0)},
            {QStringLiteral("stop"), [&] { return !engine->isPlaying(); }},
            {QStringLiteral("clear"), [&] { return model->rowCount() == 0; }},
        };
        for (const Case& c : cases) {
            if (c.line.startsWith(QStringLiteral("streamarchive 7200"))) {
                QElapsedTimer real;
                real.start();
                archive->setClock([start = QDateTime::currentDateTime(), real] { return start.addMSecs(real.elapsed() * 1200); });
            }
            f->runSchedulerCommand(c.line);
            QVERIFY2(QTest::qWaitFor(c.holds, 20000), qPrintable(c.line + QStringLiteral(" | ") + f.log().mid(0, 4).join(QStringLiteral(" | "))));
            if (SchedulerCommand::isCommand(c.line))
                QVERIFY2(f.log().contains(QStringLiteral("Command: ") + c.line.trimmed()), qPrintable(c.line));
        }
        QCOMPARE(QDir(rec).entryList(QDir::Files).size(), 4);
    }

    void eventsAndSilencePlayWhatTheyName()
    {
        const QString quiet = testHome().scratch(QStringLiteral("audio")) + QStringLiteral("/Hush - Quiet.mp3");
        QVERIFY(AudioFixtures::silence(quiet, 30));
        const QString bright = WindowFixture::toneFile(QStringLiteral("Bright - Tone.mp3"), 60, 880);
        // Another station on the loopback server, for a stream event.
        QProcess station;
        const auto endStation = qScopeGuard([&station] {
            station.kill();
            station.waitForFinished();
        });
        station.start(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-re"), QStringLiteral("-i"),
                       WindowFixture::toneFile(QStringLiteral("Station - Tone.mp3"), 120, 990), QStringLiteral("-c:a"),
                       QStringLiteral("copy"), QStringLiteral("-content_type"), QStringLiteral("audio/mpeg"), QStringLiteral("-f"),
                       QStringLiteral("mp3"),
                       QStringLiteral("icecast://source:%1@127.0.0.1:%2/other.mp3").arg(QLatin1String(IcecastServer::kSourcePassword)).arg(m_ice.port())});
        QTRY_VERIFY_WITH_TIMEOUT(!m_ice.mountStatus(QStringLiteral("/other.mp3")).isEmpty(), 15000);

        WindowFixture f({{QStringLiteral("silence/timeout"), 2}, {QStringLiteral("audio/micDevice"), m_mic.description()}});
        auto* engine = f.find<AudioEngine>();
        auto* model = qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model());
        AudioInput* mic = f->findChildren<AudioInput*>().value(0);
        auto* scheduler = f.find<EventScheduler>();
        QDateTime now(QDate(2026, 6, 1), QTime(11, 59, 50));
        scheduler->setClock([&now] { return now; });
        auto event = [](const QString& name, const QString& action, int minute, int mode = 1) {
            ScheduledEvent e;
            e.name = name;
            e.action = action;
            e.time = QTime(12, minute);
            e.insertMode = mode;
            e.startPlayback = true;
            return e;
        };
        f->addPaths({m_tones.at(0)});
        scheduler->setEvents({event(QString(), bright, 0), event(QStringLiteral("Quieter"), QStringLiteral("volume 40"), 1),
                              event(QStringLiteral("Loopback FM"), m_ice.baseUrl() + QStringLiteral("/other.mp3"), 2, 2),
                              event(QStringLiteral("Talk"), QStringLiteral(" MIC:0:3"), 3)});

        // A nameless file event is appended, played and heard.
        now = now.addSecs(15);
        QVERIFY(f.waitForLog(QStringLiteral("Scheduler fired: ") + bright));
        QTRY_VERIFY(engine->isPlaying() && engine->currentRow() == 1);
        QVERIFY(heard(880));
        // A command event inserts nothing.
        now = now.addSecs(60);
        QTRY_COMPARE(f.find<QSlider>(QStringLiteral("volume"))->value(), 40);
        QCOMPARE(model->rowCount(), 2);
        // A stream replaces the playlist and is on air at once.
        now = now.addSecs(60);
        QTRY_COMPARE(model->rowCount(), 1);
        QVERIFY(model->tracks().at(0).isStream);
        QCOMPARE(model->tracks().at(0).title, QStringLiteral("Loopback FM"));
        QVERIFY(heard(990, 6000));
        // The microphone for three seconds.
        now = now.addSecs(60);
        QTRY_VERIFY(mic->isActive());
        QCOMPARE(mic->captureDevice().description(), m_mic.description());
        QTRY_VERIFY_WITH_TIMEOUT(!mic->isActive(), 10000);
        f->onEventFired(event(QStringLiteral("Long talk"), QStringLiteral("mic:99999999:0"), 0));
        QVERIFY(mic->isActive());
        QVERIFY(f.log().contains(QStringLiteral("mic: 5999999940 s is longer than a timer can wait; using 2147483 s")));
        f->runSchedulerCommand(QStringLiteral("mic off"));

        // Dead air from a silent file: the next row is played.
        model->clearAll();
        f->addPaths({quiet, bright});
        engine->playRow(0);
        f->runSchedulerCommand(QStringLiteral("silencedetector"));
        QVERIFY(f.waitForLog(QStringLiteral("Silence detected (2s) - Play the next track")));
        QTRY_COMPARE(engine->currentRow(), 1);
        QVERIFY(heard(880));
        f->runSchedulerCommand(QStringLiteral("silencedetector off"));
        f->onSilenceDetected(1);
        QTRY_COMPARE(engine->currentRow(), 0);
        f->onSilenceDetected(2);
        QVERIFY(f.log().contains(QStringLiteral("Silence: no playlist configured - playing next track instead")));
        QTRY_COMPARE(engine->currentRow(), 1);
    }

    // The real program on a clock ten times as fast, from 23:57 on a Monday
    // to 00:03 on Tuesday: each event fires once, and only on its day.
    void theProgramFiresThroughMidnight()
    {
        const QString marks = testHome().scratch() + QStringLiteral("/fired.txt");
        auto event = [&marks](const QString& name, QTime time, QSet<int> days = {}, QDate date = {}) {
            ScheduledEvent e;
            e.name = name;
            e.action = QStringLiteral("run sh -c \"echo %1 >> '%2'\"").arg(name, marks);
            e.time = time;
            e.days = days;
            e.date = date;
            return e;
        };
        {
            QSettings().clear();
            EventScheduler events;
            events.setEvents({event(QStringLiteral("late"), QTime(23, 59)), event(QStringLiteral("midnight"), QTime(0, 0)),
                              event(QStringLiteral("monday"), QTime(0, 1), {1}), event(QStringLiteral("tuesday"), QTime(0, 1), {2}),
                              event(QStringLiteral("june1"), QTime(0, 2), {}, QDate(2026, 6, 1)),
                              event(QStringLiteral("june2"), QTime(0, 2), {}, QDate(2026, 6, 2))});
        }
        // The library itself rather than the faketime wrapper, so that the
        // program is the child that is ended.
        const QFileInfoList lib = QDir(QStringLiteral("/usr/lib")).entryInfoList({QStringLiteral("*-linux-gnu")}, QDir::Dirs);
        QString preload;
        for (const QFileInfo& d : lib)
            if (QFile::exists(d.filePath() + QStringLiteral("/faketime/libfaketime.so.1")))
                preload = d.filePath() + QStringLiteral("/faketime/libfaketime.so.1");
        if (preload.isEmpty())
            QSKIP("libfaketime is needed");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), preload);
        env.insert(QStringLiteral("FAKETIME"), QStringLiteral("@2026-06-01 23:57:00 x10"));
        env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR") + QStringLiteral("/apps/orchidlantern/orchidlantern"));
        const auto end = qScopeGuard([&program] {
            program.kill();
            program.waitForFinished();
        });
        QVERIFY(program.waitForStarted());
        const QString expected = QStringLiteral("late\nmidnight\ntuesday\njune2\n");
        QTRY_COMPARE_WITH_TIMEOUT(readFile(marks), expected, 120000);
        // A minute more, and nothing fires again.
        QTest::qWait(8000);
        QCOMPARE(readFile(marks), expected);
        QCOMPARE(program.state(), QProcess::Running);
    }

private:
    IcecastServer m_ice;
    PipeMic m_mic{QStringLiteral("ol_commands_mic"), QStringLiteral("Commands-Mic"), 44100, 2};
    QString m_powerLog;
    QStringList m_tones;
};

OL_TEST_MAIN(TestCommands)
#include "tst_commands.moc"
