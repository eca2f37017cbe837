// ctest: serial
// ctest: timeout 600
// The command language, fired events and dead air carried out by the
// automation alone, on a real engine, playlists and inputs, with no window.
#include "audiofixtures.h"
#include "automation/autointro.h"
#include "automation/automationdesk.h"
#include "automation/commandexecutor.h"
#include "automation/dtmfeventwatch.h"
#include "automation/eventreactions.h"
#include "automation/eventscheduler.h"
#include "automation/scheduledevent.h"
#include "automation/schedulercommand.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "engine/voiceovers.h"
#include "library/playlistfile.h"
#include "pipemic.h"
#include "testhome.h"

#include <QGuiApplication>
#include <QSettings>
#include <QTextStream>
#include <QtTest>

#include <functional>

namespace {

TestHome* s_home = nullptr;

QString readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// The desk of a station without a window: real parts, and the outputs and
// the desk's own displays written down as what they were asked to do.
class Desk : public AutomationDesk
{
public:
    AudioEngine audio;
    PlaylistModel onAir, viewed;
    AudioInput micIn, line;
    EventScheduler events;
    std::unique_ptr<SilenceDetector> silence{SilenceDetector::fromSettings()};
    AutoIntro intros;
    QStringList log, asked;
    bool streaming = false;

    Desk()
    {
        audio.setPlaylist(&onAir);
        for (AudioInput* in : {&micIn, &line})
            QObject::connect(in, &AudioInput::logMessage, in, [this](const QString& text) { log << text; });
    }

    AudioEngine* engine() override { return &audio; }
    PlaylistModel* onAirPlaylist() override { return &onAir; }
    PlaylistModel* viewedPlaylist() override { return &viewed; }
    AudioInput* mic() override { return &micIn; }
    AudioInput* lineIn() override { return &line; }
    EventScheduler* scheduler() override { return &events; }
    SilenceDetector* silenceDetector() override { return silence.get(); }
    AutoIntro* autoIntro() override { return &intros; }
    DtmfMonitor* dtmfMonitor() override { return nullptr; }

    void appendLog(const QString& text) override { log << text; }
    bool loadPlaylistFile(const QString& path, PlaylistModel* into, std::function<void(bool)> loaded) override
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QTextStream in(&file);
        into->clearAll();
        for (const QString& entry : PlaylistFile::entries(in, path.endsWith(QStringLiteral(".pls"))))
            into->addTrack(Track::fromFile(QFileInfo(path).dir().absoluteFilePath(entry)));
        if (loaded)
            loaded(true);
        return true;
    }
    void afterRowsMade(std::function<void()> then, int) override { then(); }
    void makeRows(const QStringList& paths, std::function<void(const QList<Track>&)> use) override
    {
        QList<Track> rows;
        for (const QString& path : paths)
            rows << Track::fromFile(path);
        use(rows);
    }
    bool rowsBeingMade() override { return false; }
    bool renderPlaylistTo(const QString& path) override { return note(QStringLiteral("render ") + path); }
    void rebuildMusicLibrary(const QString& folder) override { note(QStringLiteral("library ") + folder); }
    void showOnAirPlaylist() override { note(QStringLiteral("on air shown")); }
    void showVolume(int volume) override { note(QStringLiteral("volume %1").arg(volume)); }
    void updateSilenceStatus() override { note(QStringLiteral("silence shown")); }
    void showSchedulerState() override { note(events.isActive() ? QStringLiteral("scheduler shown on") : QStringLiteral("scheduler shown off")); }
    void refreshSchedulerList() override { note(QStringLiteral("next event shown")); }
    bool hasSourceClient() override { return true; }
    bool sourceClientActive() override { return streaming; }
    void startSourceClient() override { streaming = note(QStringLiteral("connect")); }
    void stopSourceClient() override { streaming = !note(QStringLiteral("disconnect")); }
    void setCastTitle(const QString& title) override { note(QStringLiteral("title ") + title); }
    bool hasArchive() override { return true; }
    void stopArchive() override { note(QStringLiteral("archive off")); }
    void startArchive(const QString& folder, const QString& pattern, qint64 ms) override
    {
        note(QStringLiteral("archive %1|%2|%3").arg(folder, pattern).arg(ms));
    }
    bool hasWeather() override { return true; }
    void refreshWeather() override { note(QStringLiteral("weather")); }
    void setWeatherCity(const QString& city) override { note(QStringLiteral("city ") + city); }

private:
    bool note(const QString& what)
    {
        asked << what;
        return true;
    }
};

ScheduledEvent scheduled(const QString& name, const QString& action, int insertMode = 0, bool startPlayback = false)
{
    ScheduledEvent e;
    e.name = name;
    e.action = action;
    e.insertMode = insertMode;
    e.startPlayback = startPlayback;
    return e;
}

struct Case
{
    QString line;
    std::function<bool()> holds;
};

} // namespace

class TestCommandExecutor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (int i = 0; i < 6; ++i) {
            m_tones << s_home->scratch(QStringLiteral("tones")) + QStringLiteral("/Artist - Tone %1.wav").arg(i);
            QVERIFY(AudioFixtures::tone(m_tones.last(), 440 + 110 * i, -12, 60));
        }
        QVERIFY(m_pipe.open(s_home->scratch(), m_tones.at(0)));
        // Restart and shut-down reach a stand-in that only writes them down.
        const QString bin = s_home->scratch(QStringLiteral("bin"));
        QFile standIn(bin + QStringLiteral("/systemctl"));
        QVERIFY(standIn.open(QIODevice::WriteOnly));
        standIn.write(QStringLiteral("#!/bin/sh\necho \"$@\" >> '%1'\n").arg(m_powerLog).toUtf8());
        standIn.close();
        standIn.setPermissions(standIn.permissions() | QFile::ExeOwner);
        qputenv("PATH", (bin + QLatin1Char(':') + qEnvironmentVariable("PATH")).toUtf8());
    }

    void init()
    {
        m_desk = std::make_unique<Desk>();
        m_desk->micIn.inputDevice = m_desk->line.inputDevice = m_pipe.description();
        m_commands = std::make_unique<CommandExecutor>(*m_desk);
        for (const QString& tone : std::as_const(m_tones))
            m_desk->onAir.addTrack(Track::fromFile(tone));
    }

    void cleanup()
    {
        m_commands.reset();
        m_desk.reset();
    }

    void playbackVerbs()
    {
        AudioEngine& e = m_desk->audio;
        auto playing = [&e](int row) { return e.isPlaying() && e.currentRow() == row; };
        walk({
            {QStringLiteral(" PLAY 2 "), [&] { return playing(1); }},
            {QStringLiteral("pause"), [&] { return !e.isPlaying(); }},
            {QStringLiteral("play 99"), [&] { return playing(1); }},
            {QStringLiteral("next 3000"), [&] { return playing(2) && e.fadeOutMs() == 3000; }},
            {QStringLiteral("previous"), [&] { return playing(1); }},
            {QStringLiteral("volume 150"), [&] { return m_desk->asked.contains(QStringLiteral("volume 100")); }},
            {QStringLiteral("shuffle on"), [&] { return e.isShuffle(); }},
            {QStringLiteral("shuffle OFF"), [&] { return !e.isShuffle(); }},
            {QStringLiteral("fadeout -5"), [&] { return e.fadeOutMs() == 0 && !e.isPlaying(); }},
            {QStringLiteral("play"), [&] { return e.isPlaying(); }},
            {QStringLiteral("stop"), [&] { return !e.isPlaying(); }},
        });
        // A plain "shuffle" reorders the rows once; the odds of the same order are 1 in 720.
        QSignalSpy reordered(&m_desk->onAir, &QAbstractItemModel::modelReset);
        m_commands->run(QStringLiteral("shuffle"));
        QCOMPARE(reordered.count(), 1);
        QCOMPARE(m_desk->onAir.rowCount(), 6);
    }

    void playlistVerbs()
    {
        PlaylistModel& list = m_desk->onAir;
        const QString folder = s_home->scratch(QStringLiteral("lists"));
        const QString empty = s_home->scratch(QStringLiteral("none"));
        QFile m3u(folder + QStringLiteral("/two.m3u"));
        QVERIFY(m3u.open(QIODevice::WriteOnly));
        m3u.write((m_tones.at(4) + QLatin1Char('\n') + m_tones.at(5) + QLatin1Char('\n')).toUtf8());
        m3u.close();
        m_desk->audio.playRow(2);
        QTRY_VERIFY_WITH_TIMEOUT(m_desk->audio.currentRow() == 2, 20000);
        walk({
            {QStringLiteral("clearplaylist down"), [&] { return list.rowCount() == 3; }},
            {QStringLiteral("clearplaylist up"), [&] { return list.rowCount() == 1; }},
            {QStringLiteral("clearplaylist"), [&] { return list.rowCount() == 0; }},
            {QStringLiteral("load"), [&] { return logged(QStringLiteral("load: no file specified")); }},
            {QStringLiteral("load ") + m3u.fileName(), [&] { return list.rowCount() == 2 && list.tracks().at(0).filePath == m_tones.at(4); }},
            {QStringLiteral("clear"), [&] { return list.rowCount() == 0; }},
            {QStringLiteral("getrandomplaylist ") + empty, [&] { return logged(QStringLiteral("getrandomplaylist: no playlists in ") + empty); }},
            {QStringLiteral("getrandomplaylist ") + folder,
             [&] { return logged(QStringLiteral("getrandomplaylist: chose two.m3u")) && list.rowCount() == 2; }},
            {QStringLiteral("resetplayedstate"), [&] { return !list.isPlayed(0) && logged(QStringLiteral("Played-track status reset")); }},
            {QStringLiteral("disablevo"), [&] { return !Voiceovers::enabled() && logged(QStringLiteral("Voiceovers disabled")); }},
            {QStringLiteral("enablevo"), [&] { return Voiceovers::enabled() && logged(QStringLiteral("Voiceovers enabled")); }},
            {QStringLiteral("renderplaylist"), [&] { return logged(QStringLiteral("renderplaylist: no output file")); }},
            {QStringLiteral("renderplaylist /tmp/mix.wav"), [&] { return asked(QStringLiteral("render /tmp/mix.wav")); }},
            {QStringLiteral("makelibrary ") + folder, [&] { return asked(QStringLiteral("library ") + folder); }},
        });
    }

    void stationVerbs()
    {
        Desk& d = *m_desk;
        AutoIntroRule rock, jazz;
        rock.name = QStringLiteral("Rock");
        jazz.name = QStringLiteral("Jazz");
        d.intros.rules = {rock, jazz};
        d.audio.playRow(0);
        QTRY_VERIFY_WITH_TIMEOUT(d.audio.isPlaying(), 20000);
        walk({
            {QStringLiteral("mic on 1"), [&] { return d.micIn.isActive() && QTest::qWaitFor([&] { return !d.micIn.isActive(); }, 20000); }},
            {QStringLiteral("linein 99999999"),
             [&] { return d.line.isActive() && logged(QStringLiteral("linein: 99999999 s is longer than a timer can wait; using 2147483 s")); }},
            {QStringLiteral("linein off"), [&] { return !d.line.isActive(); }},
            {QStringLiteral("scheduler off 1"),
             [&] { return asked(QStringLiteral("scheduler shown off")) && QTest::qWaitFor([&] { return d.events.isActive(); }, 20000)
                          && logged(QStringLiteral("Scheduler resumed after timeout")) && d.asked.last() == QStringLiteral("scheduler shown on"); }},
            {QStringLiteral("scheduler off 1"), [&] { return !d.events.isActive(); }},
            // A later switch cancels the pending resume.
            {QStringLiteral("scheduler off"), [&] { QTest::qWait(2500); return !d.events.isActive(); }},
            {QStringLiteral("scheduler on"), [&] { return d.events.isActive(); }},
            {QStringLiteral("silencedetector off"),
             [&] { return !d.silence->isEnabled() && !QSettings().value(QStringLiteral("silence/enabled")).toBool() && asked(QStringLiteral("silence shown")); }},
            {QStringLiteral("silencedetector"), [&] { return d.silence->isEnabled() && logged(QStringLiteral("Silence detector enabled")); }},
            {QStringLiteral("autointro enable"), [&] { return d.intros.enabled && QSettings().value(QStringLiteral("autointro/enabled")).toBool(); }},
            {QStringLiteral("autointro disable rock,"), [&] { return d.intros.enabled && !d.intros.rules.at(0).enabled && d.intros.rules.at(1).enabled; }},
            {QStringLiteral("relaystart"), [&] { return logged(QStringLiteral("relaystart: no source given")); }},
            {QStringLiteral("relaystart 2"), [&] { return logged(QStringLiteral("relaystart: input 2 is not configured (only line input 1 is available)")); }},
            {QStringLiteral("relaystart 1"), [&] { return m_commands->lineInRelay() && d.line.isActive() && !d.audio.isPlaying(); }},
            {QStringLiteral("relaystop"), [&] { return !m_commands->lineInRelay() && !d.line.isActive() && d.audio.isPlaying(); }},
            {QStringLiteral("relaystart http://127.0.0.1:9/none.mp3"), [&] { return d.audio.isRelaying(); }},
            {QStringLiteral("relaystop"), [&] { return !d.audio.isRelaying(); }},
        });
    }

    void outputAndSystemVerbs()
    {
        const QString ran = s_home->scratch() + QStringLiteral("/ran.txt");
        walk({
            {QStringLiteral("connect 2"), [&] { return logged(QStringLiteral("connect: only one broadcast server is configured (1)")) && !m_desk->streaming; }},
            {QStringLiteral("connect 1, 2"), [&] { return m_desk->streaming; }},
            {QStringLiteral("connect"), [&] { return m_desk->asked.count(QStringLiteral("connect")) == 1; }},
            {QStringLiteral("setcasttitle Late  Night"), [&] { return asked(QStringLiteral("title Late Night")); }},
            {QStringLiteral("disconnect"), [&] { return !m_desk->streaming; }},
            {QStringLiteral("streamarchive"), [&] { return asked(QStringLiteral("archive ||0")); }},
            // A quote in the name is literal text of the date pattern.
            {QStringLiteral("streamarchive 60 /rec/it's live.mp3"), [&] { return asked(QStringLiteral("archive /rec|'it''s live'|60000")); }},
            {QStringLiteral("streamarchive off"), [&] { return asked(QStringLiteral("archive off")); }},
            {QStringLiteral("weather"), [&] { return asked(QStringLiteral("weather")); }},
            {QStringLiteral("weather Port Avalon"), [&] { return asked(QStringLiteral("city Port Avalon")) && logged(QStringLiteral("Weather: updating for Port Avalon")); }},
            {QStringLiteral("reboot"), [&] { return QTest::qWaitFor([&] { return readFile(m_powerLog) == QStringLiteral("reboot\n"); }, 20000); }},
            {QStringLiteral("poweroff"), [&] { return QTest::qWaitFor([&] { return readFile(m_powerLog) == QStringLiteral("reboot\npoweroff\n"); }, 20000); }},
            {QStringLiteral("run sh -c \"echo ran > '%1'\"").arg(ran), [&] { return QTest::qWaitFor([&] { return readFile(ran) == QStringLiteral("ran\n"); }, 20000); }},
            {QStringLiteral("dance"), [&] { return logged(QStringLiteral("Scheduler command not recognised: dance")); }},
        });
        // Every verb of the language has been walked by one of the families.
        for (const QString& verb : SchedulerCommand::knownVerbs())
            QVERIFY2(s_walked.contains(verb), qPrintable(verb));
    }

    void eventsAndDeadAir()
    {
        Desk& d = *m_desk;
        EventReactions reactions(d, *m_commands);
        reactions.onEventFired(scheduled(QStringLiteral("Top"), m_tones.at(5), 1, true));
        QTRY_VERIFY_WITH_TIMEOUT(d.audio.isPlaying() && d.audio.currentRow() == 6, 20000);
        QVERIFY(logged(QStringLiteral("Scheduler fired: Top")) && asked(QStringLiteral("on air shown")));
        QTRY_VERIFY(asked(QStringLiteral("next event shown")));
        reactions.onEventFired(scheduled({}, QStringLiteral("pause")));
        QVERIFY(logged(QStringLiteral("Command: pause")));
        QTRY_VERIFY_WITH_TIMEOUT(!d.audio.isPlaying(), 20000);
        reactions.onEventFired(scheduled({}, QStringLiteral("MIC:0:1")));
        QVERIFY(d.micIn.isActive());
        QTRY_VERIFY_WITH_TIMEOUT(!d.micIn.isActive(), 20000);
        reactions.onSilenceDetected(SilenceDetector::RepeatPlaylist);
        QTRY_VERIFY_WITH_TIMEOUT(d.audio.isPlaying() && d.audio.currentRow() == 0, 20000);
        QVERIFY(d.log.last().startsWith(QStringLiteral("Silence detected (")));
        reactions.onSilenceDetected(SilenceDetector::PlayNext);
        QTRY_VERIFY_WITH_TIMEOUT(d.audio.currentRow() == 1, 20000);
        d.silence->setPlaylist(QString());
        reactions.onSilenceDetected(SilenceDetector::LoadPlaylist);
        QVERIFY(logged(QStringLiteral("Silence: no playlist configured - playing next track instead")));
        QTRY_VERIFY_WITH_TIMEOUT(d.audio.currentRow() == 2, 20000);

        // An event put after the track on air once its row has gone: where
        // the list goes on, so that it comes next.
        d.onAir.removeRow(2);
        reactions.onEventFired(scheduled(QStringLiteral("Promo"), m_tones.at(0)));
        d.audio.next();
        QVERIFY(d.audio.currentRow() == 2 && d.onAir.tracks().at(2).filePath == m_tones.at(0));

        // A stream in place of the playlist.
        reactions.onEventFired(scheduled(QStringLiteral("News"), QStringLiteral("http://127.0.0.1:9/news"), 2));
        QCOMPARE(d.onAir.rowCount(), 1);
        QVERIFY(d.onAir.tracks().at(0).isStream && d.onAir.tracks().at(0).title == QStringLiteral("News"));
    }

    // A heard sequence starts its event once and ends playback with its end sequence.
    void toneStartedEvents()
    {
        Desk& d = *m_desk;
        EventReactions reactions(d, *m_commands);
        DtmfEventWatch watch(d, *m_commands, [&reactions](const ScheduledEvent& e) { reactions.onEventFired(e); });
        const QTime now = QTime::currentTime();
        ScheduledEvent call = scheduled(QStringLiteral("Call-in"), m_tones.at(5), 1, true);
        call.time = QTime(now.hour(), now.minute());
        call.dtmfStart = QStringLiteral("123");
        call.dtmfEnd = QStringLiteral("#9");
        d.events.setEvents({call});
        watch.checkSequence(QStringLiteral("0123"));
        QVERIFY(logged(QStringLiteral("DTMF 123 detected - starting Call-in")) && logged(QStringLiteral("Scheduler fired: Call-in")));
        QTRY_VERIFY_WITH_TIMEOUT(d.audio.isPlaying() && d.audio.currentRow() == 6, 20000);
        watch.checkSequence(QStringLiteral("123"));
        QCOMPARE(d.onAir.rowCount(), 7);
        watch.checkSequence(QStringLiteral("#9"));
        QVERIFY(logged(QStringLiteral("DTMF end sequence for Call-in")));
        QTRY_VERIFY_WITH_TIMEOUT(!d.audio.isPlaying(), 20000);

        // Its days and its date hold as they do for a timed event: a
        // Monday-only one is not started on a Tuesday, a one-off not a week
        // after its day; on the day each is.
        ScheduledEvent monday = scheduled(QStringLiteral("Monday show"), QStringLiteral("stop"));
        monday.time = QTime(10, 0);
        monday.days = {1};
        monday.dtmfStart = QStringLiteral("456");
        ScheduledEvent once = monday;
        once.name = QStringLiteral("One-off");
        once.days.clear();
        once.date = QDate(2026, 6, 1);
        once.dtmfStart = QStringLiteral("789");
        d.events.setEvents({monday, once});
        const auto heardOn = [&](const QDate& day, const QString& tones) {
            d.events.setClock([day] { return QDateTime(day, QTime(10, 1)); });
            watch.checkSequence(tones);
        };
        heardOn(QDate(2026, 6, 2), QStringLiteral("456"));
        heardOn(QDate(2026, 6, 8), QStringLiteral("789"));
        QVERIFY(!logged(QStringLiteral("DTMF 456 detected - starting Monday show")));
        QVERIFY(!logged(QStringLiteral("DTMF 789 detected - starting One-off")));
        heardOn(QDate(2026, 6, 1), QStringLiteral("456"));
        heardOn(QDate(2026, 6, 1), QStringLiteral("789"));
        QVERIFY(logged(QStringLiteral("DTMF 456 detected - starting Monday show")));
        QVERIFY(logged(QStringLiteral("DTMF 789 detected - starting One-off")));
    }

private:
    bool logged(const QString& line) const { return m_desk->log.contains(line); }
    bool asked(const QString& what) const { return m_desk->asked.contains(what); }

    void walk(const QList<Case>& cases)
    {
        for (const Case& c : cases) {
            m_commands->run(c.line);
            s_walked.insert(SchedulerCommand::parse(c.line).verb);
            const bool known = SchedulerCommand::parse(c.line).known;
            QVERIFY2(!known || logged(QStringLiteral("Command: ") + c.line.trimmed()), qPrintable(c.line));
            QVERIFY2(QTest::qWaitFor(c.holds, 20000), qPrintable(c.line + QStringLiteral(" | ") + m_desk->log.join(QStringLiteral(" | "))));
        }
    }

    inline static QSet<QString> s_walked;
    QStringList m_tones;
    PipeMic m_pipe{QStringLiteral("ol_executor_mic"), QStringLiteral("Executor-Mic"), 44100, 2};
    const QString m_powerLog = s_home->scratch() + QStringLiteral("/systemctl.log");
    std::unique_ptr<Desk> m_desk;
    std::unique_ptr<CommandExecutor> m_commands;
};

int main(int argc, char** argv)
{
    TestHome home;
    s_home = &home;
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    TestCommandExecutor tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_commandexecutor.moc"
