// ctest: serial
// ctest: timeout 900
// The command language carried out by the real window on the real engine,
// inputs and outputs; scheduled events and dead air playing what they name;
// and the real program firing its events through a day boundary and the
// changes of summer time.
#include "audiofixtures.h"
#include "automation/autointro.h"
#include "automation/eventscheduler.h"
#include "automation/schedulercommand.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "engine/voiceovers.h"
#include "icecastserver.h"
#include "library/musiclibrary.h"
#include "olmain.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "pipemic.h"
#include "sinkrecorder.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTabBar>
#include <QTableView>
#include <QTimeZone>
#include <QUrl>

#include <algorithm>
#include <functional>

#include <csignal>

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

// Whether the sink plays a tone of this frequency for 300 ms on end.
bool heard(double hz, int ms = 3000)
{
    SinkRecorder rec;
    if (!rec.start())
        return false;
    QTest::qWait(ms);
    int run = 0;
    for (double v : SinkRecorder::toneEnvelope(rec.stop(), hz, 20, 5))
        if ((run = v > 0.1 ? run + 1 : 0) >= 60)
            return true;
    return false;
}

// A playlist file of the paths, as a list another program wrote.
QString m3u(const QString& path, const QStringList& entries)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write(("#EXTM3U\n" + entries.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    return path;
}

// The real program on a clock `speed` times as fast from `start` on, its
// local time in `zone` when one is given.
class FakedClockProgram
{
public:
    FakedClockProgram(const QDateTime& start, int speed, const QTimeZone& zone = {})
        : m_start(start), m_speed(speed)
    {
        if (!available())
            return;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), preload());
        // From now, which the test knows, not from a time of day the
        // library reads in its own zone (an hour repeated is ambiguous).
        env.insert(QStringLiteral("FAKETIME"), QStringLiteral("%1 x%2").arg(QDateTime::currentDateTime().secsTo(start)).arg(speed));
        env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
        if (zone.isValid())
            env.insert(QStringLiteral("TZ"), QString::fromLatin1(zone.id()));
        // A sanitized program refuses to run with another library preloaded first.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
        m_process.setProcessEnvironment(env);
        m_since.start();
        m_process.start(qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR") + QStringLiteral("/apps/orchidlantern/orchidlantern"));
    }
    ~FakedClockProgram()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    // The library itself, not the faketime wrapper, so that the program is
    // the child that is ended.
    static QString preload() { return QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"); }
    static bool available() { return QFile::exists(preload()); }
    bool started() { return m_process.waitForStarted(10000); }
    bool running() const { return m_process.state() == QProcess::Running; }
    // The program's clock, as near as the test can tell.
    QDateTime now() const { return m_start.addMSecs(m_since.elapsed() * m_speed); }
    // Stopped for that long, so that its timer comes late.
    void hold(int ms)
    {
        ::kill(pid_t(m_process.processId()), SIGSTOP);
        QTest::qWait(ms);
        ::kill(pid_t(m_process.processId()), SIGCONT);
    }
    QString log()
    {
        m_log += QString::fromUtf8(m_process.readAllStandardError());
        return m_log;
    }

private:
    QDateTime m_start;
    int m_speed;
    QElapsedTimer m_since;
    QProcess m_process;
    QString m_log;
};

ScheduledEvent scheduled(const QString& name, const QString& action, QTime time, QSet<int> days = {}, QDate date = {})
{
    return {.name = name, .action = action, .time = time, .days = days, .date = date, .insertMode = 1, .startPlayback = true};
}

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

    // Every verb sent as a remote client sends it, each with an effect the
    // operator would see.
    void everyVerbThroughTheRemoteApi()
    {
        const QString rec = testHome().scratch(QStringLiteral("recordings"));
        const QString mic = m_mic.description();
        const QString rock = testHome().scratch(QStringLiteral("rock"));
        const QStringList rockFiles{WindowFixture::toneFile(QStringLiteral("Rocker - One.wav"), 20, 330),
                                    WindowFixture::toneFile(QStringLiteral("Rocker - Two.wav"), 20, 550)};
        for (const QString& file : rockFiles)
            QVERIFY(QFile::copy(file, rock + QLatin1Char('/') + QFileInfo(file).fileName()));
        const QString rockList = m3u(rock + QStringLiteral("/rock.m3u"), {QStringLiteral("Rocker - One.wav"), QStringLiteral("Rocker - Two.wav")});
        const QString jingle = WindowFixture::toneFile(QStringLiteral("Station - Ident.wav"), 2, 880);
        const QString mix = testHome().scratch(QStringLiteral("render")) + QStringLiteral("/mix.wav");
        {
            AutoIntroRule rule;
            rule.name = QStringLiteral("Rock");
            rule.sources = {jingle};
            rule.condField = QStringLiteral("artist");
            rule.condValue = QStringLiteral("rocker");
            AutoIntro store;
            store.rules = {rule};
            store.save();
        }
        const quint16 port = WindowFixture::freePort();
        WindowFixture f({{QStringLiteral("api/enabled"), true}, {QStringLiteral("api/port"), port},
                         {QStringLiteral("api/localhostOnly"), true}, {QStringLiteral("api/password"), QStringLiteral("s3cret")},
                         {QStringLiteral("autointro/rules"), QSettings().value(QStringLiteral("autointro/rules"))},
                         {QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1")}, {QStringLiteral("broadcast/port"), m_ice.port()},
                         {QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount)},
                         {QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword)},
                         {QStringLiteral("broadcast/internalMix"), true}, {QStringLiteral("archive/internalMix"), true},
                         {QStringLiteral("audio/micDevice"), mic}, {QStringLiteral("audio/lineInDevice"), mic},
                         {QStringLiteral("archive/folder"), rec}, {QStringLiteral("archive/namePattern"), QStringLiteral("'stored'")},
                         {QStringLiteral("weather/geocodingUrl"), QStringLiteral("http://127.0.0.1:%1").arg(WindowFixture::freePort())}});
        // A timer given a negative interval says so and never fires.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("[Tt]imer")));
        PromptScript prompts;
        f.addPaths(m_tones);
        auto* engine = f.find<AudioEngine>();
        auto* model = qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model());
        // Another playlist on view: the commands work on the one on air.
        f.find<QTabBar>(QStringLiteral("playlistTabs"))->setCurrentIndex(1);
        f.addPaths({WindowFixture::toneFile(QStringLiteral("Short.wav"), 3, 770)});
        auto* viewed = qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model());
        QVERIFY(viewed != model && viewed->rowCount() == 1);
        f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Scheduled Event..."))->trigger();
        AudioInput* micIn = f->findChildren<AudioInput*>().value(0);
        AudioInput* line = f->findChildren<AudioInput*>().value(1);
        auto* scheduler = f.find<EventScheduler>();
        auto* archive = f.find<StreamArchive>();
        auto* broadcast = f.find<BroadcastService>();
        QSignalSpy reorders(model, &QAbstractItemModel::modelReset);
        auto logged = [&f](const QString& text) { return f.log().contains(text); };
        auto playing = [engine](int row) { return engine->isPlaying() && engine->currentRow() == row; };
        auto statusOff = [&f] {
            return std::ranges::any_of(f->findChildren<QLabel*>(), [](QLabel* l) { return l->text() == QStringLiteral("Scheduler: Off"); });
        };
        // The box, the scheduler window and the status bar agree.
        auto schedulerShown = [&](bool on) {
            return std::ranges::all_of(f->findChildren<QCheckBox*>(), [on](QCheckBox* box) {
                       return !box->text().endsWith(QStringLiteral("On")) || box->isChecked() == on;
                   })
                   && statusOff() != on && scheduler->isActive() == on;
        };
        // The library that the music library window and the search panel read.
        auto searchLists = [](const QStringList& paths) {
            for (const QString& name : MusicLibrary::availableLibraries()) {
                MusicLibrary library;
                library.load(name);
                QStringList listed;
                for (const Track& t : library.search(QString()))
                    listed << t.filePath;
                if (std::ranges::all_of(paths, [&listed](const QString& p) { return listed.contains(p); }))
                    return true;
            }
            return false;
        };
        const QString refusal = QStringLiteral("Set the server address and password first in Settings → Broadcast.");
        auto longestTimerRuns = [&f] {
            return std::ranges::any_of(f->findChildren<QTimer*>(), [](QTimer* t) { return t->isActive() && t->interval() == std::numeric_limits<int>::max(); });
        };
        auto iceTitle = [this] { return m_ice.mountStatus().value(QStringLiteral("title")).toString(); };
        const QString twoHours = rec + QStringLiteral("/two hours");
        const QString ran = testHome().scratch() + QStringLiteral("/ran.txt");

        struct Case
        {
            QString line;
            std::function<bool()> holds;
            std::function<void()> before = {};
        };
        const QList<Case> cases = {
            {QStringLiteral("  "), [&] { return logged(QStringLiteral("Scheduler command not recognised:   ")); }},
            {QStringLiteral(" PLAY 2 "), [&] { return playing(1); }},
            {QStringLiteral("pause"), [&] { return !engine->isPlaying(); }},
            {QStringLiteral("play 9"), [&] { return playing(1); }},
            {QStringLiteral("next 4000"), [&] { return playing(2); }},
            {QStringLiteral("previous"), [&] { return playing(1) && engine->fadeOutMs() == 4000; }},
            {QStringLiteral("volume 150"), [&] { return f.find<QSlider>(QStringLiteral("volume"))->value() == 100; }},
            {QStringLiteral("shuffle ON"), [&] { return engine->isShuffle() && reorders.isEmpty(); }},
            {QStringLiteral("shuffle yes"), [&] { return reorders.count() == 1; }},
            // A quote in the name is written as it stands; the limit ends it.
            {QStringLiteral("streamarchive 4 %1/it's live.mp3").arg(rec),
             [&] { return !archive->isRecording() && seconds(rec + QStringLiteral("/it's live.mp3")) > 2.5; }},
            {QStringLiteral("streamarchive"), [&] { return archive->currentFile() == rec + QStringLiteral("/stored.mp3"); }},
            {QStringLiteral("streamarchive OFF"), [&] { return !archive->isRecording(); }},
            // Two hours on a clock 1200 times as fast: split hourly, both parts kept.
            {QStringLiteral("streamarchive 7200 %1.mp3").arg(twoHours),
             [&] { return !archive->isRecording() && seconds(twoHours + QStringLiteral(".mp3")) > 2 && seconds(twoHours + QStringLiteral("-2.mp3")) > 2; },
             // The fast clock starts when the recording reads it first.
             [&] {
                 archive->setClock([start = QDateTime(), real = QElapsedTimer()]() mutable {
                     if (!real.isValid()) {
                         real.start();
                         start = QDateTime::currentDateTime();
                     }
                     return start.addMSecs(real.elapsed() * 1200);
                 });
             }},
            {QStringLiteral("connect 2"), [&] { return logged(QStringLiteral("connect: only one broadcast server is configured (1)")) && !broadcast->isStreaming(); }},
            {QStringLiteral("connect 1, 2"), [&] { return broadcast->isStreaming() && !m_ice.mountStatus().isEmpty(); }},
            {QStringLiteral("setcasttitle Late  Night Jazz"), [&] { return iceTitle() == QStringLiteral("Late Night Jazz"); }},
            {QStringLiteral("disconnect"), [&] { return !broadcast->isStreaming() && m_ice.mountStatus().isEmpty(); }},
            // Refused without a box: the request is answered and the operator told.
            {QStringLiteral("connect"),
             [&] { return !broadcast->isStreaming() && logged(QStringLiteral("connect: ") + refusal) && f->statusBar()->currentMessage() == refusal && prompts.asked().isEmpty(); },
             [] { QSettings().remove(QStringLiteral("broadcast/password")); }},
            {QStringLiteral("mic on 99999999"),
             [&] { return micIn->isActive() && longestTimerRuns() && logged(QStringLiteral("mic: 99999999 s is longer than a timer can wait; using 2147483 s")); }},
            {QStringLiteral("mic off"), [&] { return !micIn->isActive() && !longestTimerRuns(); }},
            {QStringLiteral("mic 2"), [&] { return micIn->isActive() && QTest::qWaitFor([&] { return !micIn->isActive(); }, 8000); }},
            {QStringLiteral("linein on 0"), [&] { return line->isActive(); }},
            {QStringLiteral("scheduler off 99999999"),
             [&] { return !scheduler->isActive() && statusOff() && logged(QStringLiteral("scheduler off: 99999999 s is longer than a timer can wait; using 2147483 s")); }},
            {QStringLiteral("scheduler off 1"), [&] { return schedulerShown(true) && logged(QStringLiteral("Scheduler resumed after timeout")); }},
            {QStringLiteral("scheduler off 1"), [&] { return schedulerShown(false); }},
            // A later switch cancels the pending resume.
            {QStringLiteral("scheduler off"), [&] { QTest::qWait(2500); return schedulerShown(false); }},
            {QStringLiteral("scheduler on"), [&] { return schedulerShown(true); }},
            {QStringLiteral("relaystart 2"), [&] { return logged(QStringLiteral("relaystart: input 2 is not configured (only line input 1 is available)")); }},
            {QStringLiteral("relaystart HTTP://127.0.0.1:%1/none.mp3").arg(m_ice.port()), [&] { return engine->isRelaying(); }},
            {QStringLiteral("relaystop"), [&] { return !engine->isRelaying(); }},
            {QStringLiteral("relaystart 1"), [&] { return line->isActive() && !engine->isPlaying(); }},
            {QStringLiteral("relaystop"), [&] { return !line->isActive() && engine->isPlaying(); }},
            {QStringLiteral("weather Port Avalon, ZZ"), [&] { return logged(QStringLiteral("Weather: updating for Port Avalon, ZZ")); }},
            {QStringLiteral("disablevo"), [&] { return !Voiceovers::enabled() && logged(QStringLiteral("Voiceovers disabled")); }},
            {QStringLiteral("enablevo"), [&] { return Voiceovers::enabled(); }},
            {QStringLiteral("silencedetector off"),
             [&] { return !f.find<SilenceDetector>()->isEnabled() && !QSettings().value(QStringLiteral("silence/enabled")).toBool(); }},
            // Refused by the API, run by the scheduler.
            {QStringLiteral("getrandomplaylist"), [&] { return logged(QStringLiteral("getrandomplaylist: folder not found: ")); }},
            {QStringLiteral("resetplayedstate"), [&] { return logged(QStringLiteral("Played-track status reset")); }},
            {QStringLiteral("reboot"), [&] { return readFile(m_powerLog) == QStringLiteral("reboot\n"); }},
            {QStringLiteral("poweroff"), [&] { return readFile(m_powerLog) == QStringLiteral("reboot\npoweroff\n"); }},
            {QStringLiteral("run sh -c \"echo ran > '%1'\"").arg(ran), [&] { return readFile(ran) == QStringLiteral("ran\n"); }},
            {QStringLiteral("clearplaylist down"), [&] { return model->rowCount() == engine->currentRow() + 1; }},
            {QStringLiteral("clearplaylist up"), [&] { return model->rowCount() == 1 && engine->currentRow() == 0; }},
            {QStringLiteral("fadeout -100"), [&] { return engine->fadeOutMs() == 0 && !engine->isPlaying(); }},
            {QStringLiteral("stop"), [&] { return !engine->isPlaying(); }},
            {QStringLiteral("clear"), [&] { return model->rowCount() == 0; }},
            {QStringLiteral("load"), [&] { return logged(QStringLiteral("load: no file specified")); }},
            {QStringLiteral("load ") + rockList,
             [&] { return model->rowCount() == 2 && model->tracks().at(0).title == QStringLiteral("One") && viewed->rowCount() == 1; }},
            {QStringLiteral("autointro enable"), [&] { return QSettings().value(QStringLiteral("autointro/enabled")).toBool(); }},
            {QStringLiteral("play 1"),
             [&] { return playing(0) && model->rowCount() == 3 && model->tracks().at(1).filePath == jingle && logged(QStringLiteral("Auto Intro (Rock): Station - Ident.wav")); }},
            {QStringLiteral("autointro disable ROCK"), [] {
                 AutoIntro stored;
                 stored.load();
                 return stored.enabled && !stored.rules.value(0).enabled;
             }},
            {QStringLiteral("makelibrary ") + rock, [&] { return searchLists({rock + QStringLiteral("/Rocker - One.wav"), rock + QStringLiteral("/Rocker - Two.wav")}); }},
            {QStringLiteral("makelibrary"), [&] { return logged(QStringLiteral("makelibrary: refreshed 1 folder(s), 0 tracks")); }},
            {QStringLiteral("renderplaylist"), [&] { return logged(QStringLiteral("renderplaylist: no output file")); }},
            // The playlist on view, readable by another program.
            {QStringLiteral("renderplaylist ") + mix, [&] { return qAbs(seconds(mix) - 3.0) < 0.2 && logged(QStringLiteral("renderplaylist: wrote ") + mix); }},
        };
        QSet<QString> walked;
        for (const Case& c : cases) {
            if (c.before)
                c.before();
            const SchedulerCommand command = SchedulerCommand::parse(c.line);
            auto context = [&] { return c.line + QStringLiteral(" | ") + f.log().mid(0, 4).join(QStringLiteral(" | ")); };
            if (command.known) {
                const QByteArray answer = WindowFixture::get(port, QStringLiteral("/?pass=s3cret&cmd=") + QString::fromLatin1(QUrl::toPercentEncoding(c.line)));
                walked.insert(command.verb);
                if (command.verb == QStringLiteral("getrandomplaylist")) {
                    QVERIFY2(answer.startsWith("HTTP/1.1 400") && !logged(QStringLiteral("Command: ") + command.raw), answer.constData());
                    f->runSchedulerCommand(c.line);
                } else {
                    QVERIFY2(answer.endsWith("\r\n\r\nOK"), qPrintable(context() + QStringLiteral(" | ") + QString::fromUtf8(answer)));
                }
            } else {
                f->runSchedulerCommand(c.line);
            }
            const bool held = QTest::qWaitFor(c.holds, 20000);
            QVERIFY2(held, qPrintable(context()));
            QVERIFY2(!command.known || logged(QStringLiteral("Command: ") + command.raw), qPrintable(c.line));
        }
        QCOMPARE(QDir(rec).entryList(QDir::Files).size(), 4);
        const QStringList verbs = SchedulerCommand::knownVerbs();
        QCOMPARE(walked, QSet<QString>(verbs.begin(), verbs.end()));
    }

    void eventsAndSilencePlayWhatTheyName()
    {
        const QString quiet = testHome().scratch(QStringLiteral("audio")) + QStringLiteral("/Hush - Quiet.mp3");
        QVERIFY(AudioFixtures::silence(quiet, 30));
        // Its tags name it, not its file name.
        const QString bright = testHome().scratch(QStringLiteral("audio")) + QStringLiteral("/bright.mp3");
        QVERIFY(AudioFixtures::tone(bright, 880, -6, 60, 44100, 2,
                                    {{QStringLiteral("artist"), QStringLiteral("Orchid FM")}, {QStringLiteral("title"), QStringLiteral("Bright Tone")}}));
        // Another station on the loopback server, for a stream event.
        QProcess station;
        const auto endStation = qScopeGuard([&station] { station.kill(); station.waitForFinished(); });
        station.start(QStringLiteral("ffmpeg"), QProcess::splitCommand(QStringLiteral("-v error -re -i %1 -c:a copy -content_type audio/mpeg -f mp3 icecast://source:%2@127.0.0.1:%3/other.mp3")
                                                                           .arg(WindowFixture::toneFile(QStringLiteral("Station.mp3"), 120, 990), QLatin1String(IcecastServer::kSourcePassword)).arg(m_ice.port())));
        QTRY_VERIFY_WITH_TIMEOUT(!m_ice.mountStatus(QStringLiteral("/other.mp3")).isEmpty(), 15000);

        WindowFixture f({{QStringLiteral("silence/timeout"), 2}, {QStringLiteral("audio/micDevice"), m_mic.description()}});
        auto* engine = f.find<AudioEngine>();
        auto* model = qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model());
        AudioInput* mic = f->findChildren<AudioInput*>().value(0);
        auto* scheduler = f.find<EventScheduler>();
        QDateTime now(QDate(2026, 6, 1), QTime(11, 59, 30));
        scheduler->setClock([&now] { return now; });
        f.addPaths({m_tones.at(0)});
        ScheduledEvent stream = scheduled(QStringLiteral("Loopback FM"), m_ice.baseUrl() + QStringLiteral("/other.mp3"), QTime(12, 2));
        stream.insertMode = 2;
        scheduler->setEvents({scheduled(QString(), bright, QTime(12, 0)), scheduled(QStringLiteral("Quieter"), QStringLiteral("volume 40"), QTime(12, 1)),
                              stream, scheduled(QStringLiteral("Talk"), QStringLiteral(" MIC:0:3"), QTime(12, 3))});

        // A nameless file event is appended, played and heard; the box then
        // names the next one.
        auto* next = f.find<QLabel>(QStringLiteral("nextEvent"));
        QVERIFY(next->text().startsWith(QStringLiteral("Next: ") + bright));
        now = now.addSecs(35);
        QVERIFY(f.waitForLog(QStringLiteral("Scheduler fired: ") + bright));
        QTRY_VERIFY(next->text().startsWith(QStringLiteral("Next: Quieter")));
        QTRY_VERIFY(engine->isPlaying() && engine->currentRow() == 1);
        QCOMPARE(model->tracks().at(1).displayName(), QStringLiteral("Orchid FM - Bright Tone"));
        QVERIFY(heard(880));
        // A command event inserts nothing.
        now = now.addSecs(60);
        QTRY_COMPARE(f.find<QSlider>(QStringLiteral("volume"))->value(), 40);
        QCOMPARE(model->rowCount(), 2);
        // A stream replaces the playlist and is on air at once.
        now = now.addSecs(60);
        QTRY_COMPARE(model->rowCount(), 1);
        QVERIFY(model->tracks().at(0).isStream && model->tracks().at(0).title == QStringLiteral("Loopback FM"));
        QVERIFY(heard(990, 6000));
        // The microphone for three seconds, and one for longer than a timer waits.
        now = now.addSecs(60);
        QTRY_VERIFY(mic->isActive() && mic->captureDevice().description() == m_mic.description());
        QTRY_VERIFY_WITH_TIMEOUT(!mic->isActive(), 10000);
        f->onEventFired(scheduled(QString(), QStringLiteral("mic:99999999:0"), QTime(12, 3)));
        QVERIFY(mic->isActive() && f.log().contains(QStringLiteral("mic: 5999999940 s is longer than a timer can wait; using 2147483 s")));
        f->runSchedulerCommand(QStringLiteral("mic off"));

        // Dead air from a silent file: the next row is played.
        model->clearAll();
        f.addPaths({quiet, bright});
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

        // Dead air with the extra playlist: it replaces the one on air, not
        // the one on view, and plays.
        QSettings().setValue(QStringLiteral("silence/action"), 2);
        QSettings().setValue(QStringLiteral("silence/playlist"), m3u(testHome().scratch() + QStringLiteral("/extra.m3u"), {bright}));
        f.find<SilenceDetector>()->loadFromSettings();
        model->clearAll();
        f.addPaths({quiet});
        engine->playRow(0);
        f.find<QTabBar>(QStringLiteral("playlistTabs"))->setCurrentIndex(1);
        f->runSchedulerCommand(QStringLiteral("silencedetector"));
        QVERIFY(f.waitForLog(QStringLiteral("Silence detected (2s) - Load an extra playlist")));
        QTRY_VERIFY(model->rowCount() == 1 && model->tracks().at(0).filePath == bright && engine->isPlaying());
        QVERIFY(heard(880));

        // Heard once the list has run out: the extra list still being read
        // is something left to play, and it plays.
        f->runSchedulerCommand(QStringLiteral("silencedetector off"));
        engine->next();
        QVERIFY(engine->hasRunOut());
        f->onSilenceDetected(2);
        QTRY_VERIFY(engine->isPlaying() && engine->currentRow() == 0);
        QVERIFY(!f.log().contains(QStringLiteral("Silence: nothing left to play - waiting for the operator")));
    }

    // The real program on a clock ten times as fast, from 23:57 on a Monday
    // to 00:03 on Tuesday: each event fires once, and only on its day.
    void theProgramFiresThroughMidnight()
    {
        const QString marks = testHome().scratch() + QStringLiteral("/fired.txt");
        auto mark = [&marks](const QString& name, QTime time, QSet<int> days = {}, QDate date = {}) {
            return scheduled(name, QStringLiteral("run sh -c \"echo %1 >> '%2'\"").arg(name, marks), time, days, date);
        };
        QSettings().clear();
        EventScheduler().setEvents({mark(QStringLiteral("late"), QTime(23, 59)), mark(QStringLiteral("midnight"), QTime(0, 0)),
                                    mark(QStringLiteral("monday"), QTime(0, 1), {1}), mark(QStringLiteral("tuesday"), QTime(0, 1), {2}),
                                    mark(QStringLiteral("june1"), QTime(0, 2), {}, QDate(2026, 6, 1)),
                                    mark(QStringLiteral("june2"), QTime(0, 2), {}, QDate(2026, 6, 2))});
        FakedClockProgram program(QDateTime(QDate(2026, 6, 1), QTime(23, 57)), 10);
        if (!program.available())
            QSKIP("libfaketime is needed");
        QVERIFY2(program.started(), qPrintable(program.log()));
        const QString expected = QStringLiteral("late\nmidnight\ntuesday\njune2\n");
        QTRY_VERIFY_WITH_TIMEOUT(readFile(marks) == expected || !program.running(), 120000);
        QCOMPARE(readFile(marks), expected);
        // A minute more, and nothing fires again.
        QTest::qWait(8000);
        QCOMPARE(readFile(marks), expected);
        QVERIFY(program.running());
    }

    // The real program on a fast clock in a zone with summer time: an event
    // in the hour skipped in spring runs once, when the clock is seen past
    // it, and the log says so; one held up while the program was stopped
    // runs once, late, with a line saying how late; in the hour repeated in
    // autumn nothing runs twice.
    void theProgramRunsThroughTheClocksChanges()
    {
        const QString marks = testHome().scratch() + QStringLiteral("/changes.txt");
        auto mark = [&marks](const QString& name, QTime time) {
            return scheduled(name, QStringLiteral("run sh -c \"echo %1 >> '%2'\"").arg(name, marks), time);
        };
        const QTimeZone berlin("Europe/Berlin");
        QSettings().clear();
        EventScheduler().setEvents({mark(QStringLiteral("skipped"), QTime(2, 30)), mark(QStringLiteral("after"), QTime(3, 2)),
                                    mark(QStringLiteral("held"), QTime(3, 8))});
        {
            // 01:35; at 02:00 the clock goes on at 03:00.
            FakedClockProgram spring(QDateTime(QDate(2026, 3, 29), QTime(1, 35), berlin), 60, berlin);
            if (!spring.available())
                QSKIP("libfaketime is needed");
            QVERIFY2(spring.started(), qPrintable(spring.log()));
            const QDateTime stopAt(QDate(2026, 3, 29), QTime(3, 4), berlin);
            QTRY_VERIFY_WITH_TIMEOUT(spring.now() >= stopAt || !spring.running(), 120000);
            QVERIFY2(readFile(marks) == QStringLiteral("skipped\nafter\n"), qPrintable(readFile(marks) + spring.log()));
            // Stopped for eight minutes of its clock, over the time of "held".
            spring.hold(8000);
            QTRY_VERIFY_WITH_TIMEOUT(readFile(marks) == QStringLiteral("skipped\nafter\nheld\n") || !spring.running(), 60000);
            QTRY_VERIFY_WITH_TIMEOUT(spring.now() >= stopAt.addSecs(20 * 60), 60000);
            QCOMPARE(readFile(marks), QStringLiteral("skipped\nafter\nheld\n"));
            const QString log = spring.log();
            QVERIFY2(log.contains(QRegularExpression(QStringLiteral(
                         "Scheduler: skipped, due at 02:30, runs at 03:0[0-2]:\\d\\d: the clock skipped that time\n"))),
                     qPrintable(log));
            QVERIFY2(log.contains(QRegularExpression(QStringLiteral("Scheduler: held, due at 03:08, runs [2-9] min late\n"))),
                     qPrintable(log));
            QCOMPARE(log.count(QStringLiteral("Scheduler fired: held")), 1);
        }
        QFile::remove(marks);
        EventScheduler().setEvents({mark(QStringLiteral("repeated"), QTime(2, 40))});
        {
            // 02:00 summer time; at 03:00 the clock goes back to 02:00.
            FakedClockProgram autumn(QDateTime(QDate(2026, 10, 25), QTime(0, 0), QTimeZone::UTC), 120, berlin);
            QVERIFY2(autumn.started(), qPrintable(autumn.log()));
            QTRY_VERIFY_WITH_TIMEOUT(!readFile(marks).isEmpty() || !autumn.running(), 120000);
            QCOMPARE(readFile(marks), QStringLiteral("repeated\n"));
            // Run the first time 02:40 came, in summer time.
            const QDateTime fallBack(QDate(2026, 10, 25), QTime(1, 0), QTimeZone::UTC);
            QVERIFY2(autumn.now() < fallBack, qPrintable(autumn.log()));
            QTRY_VERIFY_WITH_TIMEOUT(autumn.now() >= fallBack.addSecs(50 * 60), 120000);
            QCOMPARE(readFile(marks), QStringLiteral("repeated\n"));
            QVERIFY(autumn.running());
        }
    }

private:
    IcecastServer m_ice;
    PipeMic m_mic{QStringLiteral("ol_commands_mic"), QStringLiteral("Commands-Mic"), 44100, 2};
    const QString m_powerLog = testHome().scratch() + QStringLiteral("/systemctl.log");
    QStringList m_tones;
};

OL_TEST_MAIN(TestCommands)
#include "tst_commands.moc"
