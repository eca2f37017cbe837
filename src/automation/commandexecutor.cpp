#include "automation/commandexecutor.h"
#include "library/appsettings.h"

#include "automation/autointro.h"
#include "automation/automationdesk.h"
#include "automation/eventscheduler.h"
#include "automation/programlauncher.h"
#include "automation/schedulercommand.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "engine/voiceovers.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QScopedValueRollback>
#include <QSet>
#include <QTimer>

#include <limits>

namespace {

// The longest wait a timer takes, in milliseconds.
constexpr qint64 kLongestTimerMs = std::numeric_limits<int>::max();
// How long a command that moves the air waits for rows asked before it.
constexpr int kMoveAirWaitMs = 750;

QString joined(const SchedulerCommand& cmd)
{
    return cmd.args.join(QLatin1Char(' ')).trimmed();
}

bool isWord(const QString& text, const char* word)
{
    return text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
}

} // namespace

CommandExecutor::CommandExecutor(AutomationDesk& desk, QObject* parent)
    : QObject(parent)
    , m_desk(desk)
{
    m_micOff = new QTimer(this);
    m_lineOff = new QTimer(this);
    for (QTimer* timer : {m_micOff, m_lineOff})
        timer->setSingleShot(true);
    connect(m_micOff, &QTimer::timeout, this, [this] {
        if (AudioInput* in = m_desk.mic())
            in->stop();
    });
    connect(m_lineOff, &QTimer::timeout, this, [this] {
        if (AudioInput* in = m_desk.lineIn())
            in->stop();
    });
}

void CommandExecutor::stopTimers()
{
    for (QTimer* timer : {m_micOff, m_lineOff, m_schedulerResume}) {
        if (timer)
            timer->stop();
    }
}

void CommandExecutor::run(const QString& line, const QString& event)
{
    const QScopedValueRollback firing(m_event, event);
    const SchedulerCommand cmd = SchedulerCommand::parse(line);
    if (!cmd.known) {
        m_desk.appendLog(QStringLiteral("Scheduler command not recognised: ") + line);
        return;
    }
    m_desk.appendLog(QStringLiteral("Command: ") + cmd.raw);
    const auto& commands = table();
    const auto it = commands.constFind(cmd.verb);
    if (it == commands.cend())
        return;
    // Those on the on-air list's rows work on what a load asked before has
    // put in, however long it reads; the others act at once.
    static const QSet<QString> onRows{QStringLiteral("play"), QStringLiteral("previous"), QStringLiteral("next"),
                                      QStringLiteral("shuffle"), QStringLiteral("clear"), QStringLiteral("clearplaylist"),
                                      QStringLiteral("resetplayedstate"), QStringLiteral("renderplaylist")};
    if (!onRows.contains(cmd.verb)) {
        it.value()(cmd);
        return;
    }
    // Those that move the air wait for such rows a moment only.
    static const QSet<QString> moveAir{QStringLiteral("play"), QStringLiteral("previous"), QStringLiteral("next")};
    m_desk.afterRowsMade(
        [self = QPointer<CommandExecutor>(this), handler = it.value(), cmd] {
            if (self)
                handler(cmd);
        },
        moveAir.contains(cmd.verb) ? kMoveAirWaitMs : -1);
}

void CommandExecutor::loadPlaylist(const QString& file)
{
    // A load an event asked for that does not happen is told by its event.
    auto loaded = [self = QPointer<CommandExecutor>(this), event = m_event, file](bool ok) {
        if (self && !ok && !event.isEmpty())
            self->m_desk.appendLog(QStringLiteral("Scheduled event \"%1\": the playlist %2 was not loaded").arg(event, file));
    };
    if (!m_desk.loadPlaylistFile(file, m_desk.onAirPlaylist(), loaded))
        loaded(false);
}

const QHash<QString, CommandExecutor::Handler>& CommandExecutor::table()
{
    if (!m_commands.isEmpty())
        return m_commands;
    auto power = [this](const char* what, bool (*launch)()) {
        return [this, what, launch](const SchedulerCommand&) {
            m_desk.appendLog(QStringLiteral("System: %1 requested").arg(QLatin1String(what)));
            launch();
        };
    };
    auto voiceovers = [this](bool on) {
        return [this, on](const SchedulerCommand&) {
            Voiceovers::setEnabled(on);
            m_desk.engine()->setVoiceoverEnabled(on);
            m_desk.appendLog(on ? QStringLiteral("Voiceovers enabled") : QStringLiteral("Voiceovers disabled"));
            if (PlaylistModel* viewed = m_desk.viewedPlaylist())
                viewed->refreshAll();
        };
    };
    auto clearAll = [this](const SchedulerCommand&) {
        if (PlaylistModel* onAir = m_desk.onAirPlaylist())
            onAir->clearAll();
    };
    m_commands = {
        {QStringLiteral("play"), [this](const SchedulerCommand& c) {
             const int n = c.intArg(0, 0);
             PlaylistModel* onAir = m_desk.onAirPlaylist();
             if (n > 0 && onAir && n <= onAir->rowCount())
                 m_desk.engine()->playRow(n - 1);
             else
                 m_desk.engine()->play();
         }},
        {QStringLiteral("stop"), [this](const SchedulerCommand&) { m_desk.engine()->stop(); }},
        {QStringLiteral("pause"), [this](const SchedulerCommand&) { m_desk.engine()->pause(); }},
        {QStringLiteral("previous"), [this](const SchedulerCommand&) { m_desk.engine()->previous(); }},
        {QStringLiteral("next"), [this](const SchedulerCommand& c) {
             if (const int ms = c.intArg(0, 0); ms > 0)
                 m_desk.engine()->setFadeOutMs(ms);
             m_desk.engine()->next();
         }},
        {QStringLiteral("fadeout"), [this](const SchedulerCommand& c) {
             m_desk.engine()->setFadeOutMs(qMax(0, c.intArg(0, 2000)));
             m_desk.engine()->stop();
         }},
        {QStringLiteral("volume"), [this](const SchedulerCommand& c) {
             const int volume = c.volumeArgs().volume;
             m_desk.engine()->setVolume(volume);
             m_desk.showVolume(volume);
         }},
        {QStringLiteral("shuffle"), [this](const SchedulerCommand& c) {
             if (isWord(c.arg(0), "off"))
                 m_desk.engine()->setShuffle(false);
             else if (isWord(c.arg(0), "on"))
                 m_desk.engine()->setShuffle(true);
             else if (PlaylistModel* onAir = m_desk.onAirPlaylist())
                 onAir->shuffle();
         }},
        {QStringLiteral("clear"), clearAll},
        {QStringLiteral("mic"), [this](const SchedulerCommand& c) { switchInput(m_desk.mic(), c); }},
        {QStringLiteral("linein"), [this](const SchedulerCommand& c) { switchInput(m_desk.lineIn(), c); }},
        {QStringLiteral("scheduler"), [this](const SchedulerCommand& c) { switchScheduler(c); }},
        {QStringLiteral("connect"), [this](const SchedulerCommand& c) { switchSourceClient(c, true); }},
        {QStringLiteral("disconnect"), [this](const SchedulerCommand& c) { switchSourceClient(c, false); }},
        {QStringLiteral("streamarchive"), [this](const SchedulerCommand& c) { controlArchive(c); }},
        {QStringLiteral("weather"), [this](const SchedulerCommand& c) {
             if (!m_desk.hasWeather())
                 return;
             const QString city = joined(c);
             if (city.isEmpty()) {
                 m_desk.refreshWeather();
                 return;
             }
             m_desk.setWeatherCity(city);
             m_desk.appendLog(QStringLiteral("Weather: updating for ") + city);
         }},
        {QStringLiteral("enablevo"), voiceovers(true)},
        {QStringLiteral("disablevo"), voiceovers(false)},
        {QStringLiteral("autointro"), [this](const SchedulerCommand& c) { switchAutoIntro(c); }},
        {QStringLiteral("load"), [this](const SchedulerCommand& c) {
             const QString file = joined(c);
             if (file.isEmpty())
                 m_desk.appendLog(QStringLiteral("load: no file specified"));
             else
                 loadPlaylist(file);
         }},
        {QStringLiteral("getrandomplaylist"), [this](const SchedulerCommand& c) { loadRandomPlaylist(c); }},
        {QStringLiteral("clearplaylist"), [this, clearAll](const SchedulerCommand& c) {
             PlaylistModel* onAir = m_desk.onAirPlaylist();
             if (onAir && isWord(c.arg(0), "up"))
                 onAir->clearAbove(-1);
             else if (onAir && isWord(c.arg(0), "down"))
                 onAir->clearBelow(-1);
             else
                 clearAll(c);
         }},
        {QStringLiteral("resetplayedstate"), [this](const SchedulerCommand&) {
             if (PlaylistModel* onAir = m_desk.onAirPlaylist())
                 onAir->resetPlayedState();
             m_desk.appendLog(QStringLiteral("Played-track status reset"));
         }},
        {QStringLiteral("reboot"), power("reboot", &ProgramLauncher::restartComputer)},
        {QStringLiteral("poweroff"), power("power off", &ProgramLauncher::shutDownComputer)},
        {QStringLiteral("relaystart"), [this](const SchedulerCommand& c) { startRelayFrom(c); }},
        {QStringLiteral("relaystop"), [this](const SchedulerCommand&) { stopRelays(); }},
        {QStringLiteral("makelibrary"), [this](const SchedulerCommand& c) { m_desk.rebuildMusicLibrary(joined(c)); }},
        {QStringLiteral("renderplaylist"), [this](const SchedulerCommand& c) {
             const QString file = joined(c);
             if (file.isEmpty())
                 m_desk.appendLog(QStringLiteral("renderplaylist: no output file"));
             else
                 m_desk.renderPlaylistTo(file);
         }},
        {QStringLiteral("setcasttitle"), [this](const SchedulerCommand& c) {
             if (const QString title = joined(c); !title.isEmpty())
                 m_desk.setCastTitle(title);
         }},
        {QStringLiteral("silencedetector"), [this](const SchedulerCommand& c) {
             const bool on = !isWord(c.arg(0), "off");
             Setting::SilenceEnabled.write(on);
             if (SilenceDetector* silence = m_desk.silenceDetector()) {
                 silence->setEnabled(on);
                 m_desk.updateSilenceStatus();
             }
             m_desk.appendLog(on ? QStringLiteral("Silence detector enabled") : QStringLiteral("Silence detector disabled"));
         }},
        {QStringLiteral("run"), [](const SchedulerCommand& c) {
             if (!c.args.isEmpty())
                 ProgramLauncher::start(c.arg(0), c.args.mid(1));
         }},
    };
    return m_commands;
}

QTimer* CommandExecutor::offTimerFor(AudioInput* input)
{
    if (input && input == m_desk.mic())
        return m_micOff;
    if (input && input == m_desk.lineIn())
        return m_lineOff;
    return nullptr;
}

void CommandExecutor::switchInput(AudioInput* input, const SchedulerCommand& cmd)
{
    if (!input)
        return;
    if (isWord(cmd.arg(0), "off")) {
        if (QTimer* offTimer = offTimerFor(input))
            offTimer->stop();
        input->stop();
        return;
    }
    const int seconds = cmd.intArg(isWord(cmd.arg(0), "on") ? 1 : 0, 0);
    startInputFor(input, seconds, cmd.verb);
}

void CommandExecutor::startInputFor(AudioInput* input, qint64 seconds, const QString& what)
{
    input->start();
    if (QTimer* offTimer = offTimerFor(input); seconds >= 1 && offTimer)
        offTimer->start(timerIntervalMs(seconds, what));
}

// A timer waits at most about 24 days; a longer request is cut to that
// rather than wrapping into a negative count that would never fire.
int CommandExecutor::timerIntervalMs(qint64 seconds, const QString& what)
{
    if (seconds * 1000 <= kLongestTimerMs)
        return int(seconds * 1000);
    m_desk.appendLog(QStringLiteral("%1: %2 s is longer than a timer can wait; using %3 s")
                         .arg(what)
                         .arg(seconds)
                         .arg(kLongestTimerMs / 1000));
    return int(kLongestTimerMs);
}

void CommandExecutor::switchScheduler(const SchedulerCommand& cmd)
{
    if (!m_schedulerResume) {
        m_schedulerResume = new QTimer(this);
        m_schedulerResume->setSingleShot(true);
        connect(m_schedulerResume, &QTimer::timeout, this, [this] {
            if (EventScheduler* scheduler = m_desk.scheduler())
                scheduler->setActive(true);
            schedulerStateChanged();
            m_desk.appendLog(QStringLiteral("Scheduler resumed after timeout"));
        });
    }
    // The latest switch decides: a resume still pending from an earlier
    // "scheduler off N" must not undo it.
    m_schedulerResume->stop();
    const bool on = !isWord(cmd.arg(0), "off");
    if (EventScheduler* scheduler = m_desk.scheduler())
        scheduler->setActive(on);
    schedulerStateChanged();
    const int seconds = cmd.intArg(1, 0);
    if (!on && seconds >= 1)
        m_schedulerResume->start(timerIntervalMs(seconds, QStringLiteral("scheduler off")));
}

// A scheduler switched on by anyone ends a pending resume.
void CommandExecutor::schedulerStateChanged()
{
    EventScheduler* scheduler = m_desk.scheduler();
    if (!scheduler)
        return;
    if (scheduler->isActive() && m_schedulerResume)
        m_schedulerResume->stop();
    m_desk.showSchedulerState();
}

void CommandExecutor::switchAutoIntro(const SchedulerCommand& cmd)
{
    AutoIntro* autoIntro = m_desk.autoIntro();
    if (!autoIntro)
        return;
    const bool enable = !isWord(cmd.arg(0), "disable");
    if (cmd.args.size() < 2) {
        autoIntro->enabled = enable;
    } else {
        QSet<QString> names;
        for (qsizetype i = 1; i < cmd.args.size(); ++i)
            names.insert(QString(cmd.args.at(i)).remove(QLatin1Char(',')).trimmed().toLower());
        for (AutoIntroRule& rule : autoIntro->rules) {
            if (names.contains(rule.name.toLower()))
                rule.enabled = enable;
        }
    }
    autoIntro->save();
}

// The station has one streaming server, number 1.
void CommandExecutor::switchSourceClient(const SchedulerCommand& cmd, bool on)
{
    const QString list = cmd.args.join(QString()).remove(QLatin1Char(' '));
    if (!list.isEmpty() && !list.split(QLatin1Char(',')).contains(QStringLiteral("1"))) {
        if (on)
            m_desk.appendLog(QStringLiteral("connect: only one broadcast server is configured (1)"));
        return;
    }
    if (!m_desk.hasSourceClient() || m_desk.sourceClientActive() == on)
        return;
    if (on)
        m_desk.startSourceClient();
    else
        m_desk.stopSourceClient();
}

void CommandExecutor::controlArchive(const SchedulerCommand& cmd)
{
    if (!m_desk.hasArchive())
        return;
    const SchedulerCommand::ArchiveArgs a = cmd.archiveArgs();
    if (a.mode == 1) {
        m_desk.stopArchive();
        return;
    }
    QString folder;
    QString namePattern;
    if (a.mode == 2 && !a.fileName.isEmpty()) {
        const QFileInfo file(a.fileName);
        folder = file.absolutePath();
        // The name is literal text of the date pattern, where a quote is
        // written twice. Parts split off it get a counter from the archive.
        if (const QString base = file.completeBaseName(); !base.isEmpty())
            namePattern = QLatin1Char('\'') + QString(base).replace(QLatin1Char('\''), QStringLiteral("''"))
                          + QLatin1Char('\'');
    }
    m_desk.startArchive(folder, namePattern, qint64(a.seconds) * 1000);
}

void CommandExecutor::loadRandomPlaylist(const SchedulerCommand& cmd)
{
    const QString folder = joined(cmd);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        m_desk.appendLog(QStringLiteral("getrandomplaylist: folder not found: ") + folder);
        return;
    }
    const QFileInfoList lists = QDir(folder).entryInfoList(
        {QStringLiteral("*.m3u"), QStringLiteral("*.m3u8"), QStringLiteral("*.pls")}, QDir::Files);
    if (lists.isEmpty()) {
        m_desk.appendLog(QStringLiteral("getrandomplaylist: no playlists in ") + folder);
        return;
    }
    const QFileInfo chosen = lists.at(QRandomGenerator::global()->bounded(int(lists.size())));
    m_desk.appendLog(QStringLiteral("getrandomplaylist: chose ") + chosen.fileName());
    loadPlaylist(chosen.absoluteFilePath());
}

void CommandExecutor::startRelayFrom(const SchedulerCommand& cmd)
{
    const QString source = joined(cmd);
    AudioEngine* engine = m_desk.engine();
    if (source.isEmpty()) {
        m_desk.appendLog(QStringLiteral("relaystart: no source given"));
    } else if (Track::isStreamUrl(source)) {
        engine->startRelay(source);
    } else if (source == QStringLiteral("1")) {
        // The playlist gives way only to a line input that really started.
        AudioInput* lineIn = m_desk.lineIn();
        if (lineIn)
            lineIn->start();
        if (!lineIn || !lineIn->isActive()) {
            m_desk.appendLog(QStringLiteral("Relay: line input 1 could not be started - the playlist stays on air"));
            return;
        }
        m_lineInRelay = true;
        if (engine->isPlaying())
            engine->pause();
        m_desk.appendLog(QStringLiteral("Relay: line input 1 on air"));
    } else {
        m_desk.appendLog(QStringLiteral("relaystart: input ") + source
                         + QStringLiteral(" is not configured (only line input 1 is available)"));
    }
}

void CommandExecutor::stopRelays()
{
    const bool startNext = Setting::RelayStartNextOnStop.read();
    AudioEngine* engine = m_desk.engine();
    if (m_lineInRelay) {
        m_lineInRelay = false;
        if (AudioInput* lineIn = m_desk.lineIn())
            lineIn->stop();
        if (startNext)
            engine->next();
        else
            engine->play();
    }
    if (engine->isRelaying())
        engine->stopRelay();
}
