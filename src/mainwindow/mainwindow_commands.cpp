// The command executor shared by events, the remote API, the relay dialog and
// the hot keys, and the window's reactions to a fired event and to dead air.
#include "mainwindow.h"

#include "automation/autointro.h"
#include "automation/eventscheduler.h"
#include "automation/programlauncher.h"
#include "automation/scheduledevent.h"
#include "automation/schedulercommand.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "engine/voiceovers.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "outputs/weatherservice.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>

#include <limits>

namespace {

// The longest wait a timer takes, in milliseconds.
constexpr qint64 kLongestTimerMs = std::numeric_limits<int>::max();

QString joined(const SchedulerCommand& cmd)
{
    return cmd.args.join(QLatin1Char(' ')).trimmed();
}

bool isWord(const QString& text, const char* word)
{
    return text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
}

// A base-10 number of the event's duration text; 0 when it is none.
qint64 durationPart(const QString& text)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    return ok ? v : 0;
}

// Seconds of an event's "mic:..." or "linein:..." duration: "S" or "M:S";
// 0 for none.
qint64 eventDurationSecs(const QString& action)
{
    const qsizetype colon = action.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return 0;
    const QStringList parts = action.mid(colon + 1).split(QLatin1Char(':'));
    if (parts.size() == 1)
        return durationPart(parts.at(0));
    if (parts.size() == 2)
        return durationPart(parts.at(0)) * 60 + durationPart(parts.at(1));
    return 0;
}

bool isEventStream(const QString& action)
{
    for (const char* scheme : {"http://", "https://", "mms://", "rtsp://"}) {
        if (action.startsWith(QLatin1String(scheme)))
            return true;
    }
    return false;
}

} // namespace

void MainWindow::runSchedulerCommand(const QString& line)
{
    const SchedulerCommand cmd = SchedulerCommand::parse(line);
    if (!cmd.known) {
        appendLog(QStringLiteral("Scheduler command not recognised: ") + line);
        return;
    }
    appendLog(QStringLiteral("Command: ") + cmd.raw);
    const auto& table = commandTable();
    if (const auto it = table.constFind(cmd.verb); it != table.cend())
        it.value()(cmd);
}

const QHash<QString, MainWindow::CommandHandler>& MainWindow::commandTable()
{
    if (!m_commands.isEmpty())
        return m_commands;
    auto power = [this](const char* what, bool (*launch)()) {
        return [this, what, launch](const SchedulerCommand&) {
            appendLog(QStringLiteral("System: %1 requested").arg(QLatin1String(what)));
            launch();
        };
    };
    auto voiceovers = [this](bool on) {
        return [this, on](const SchedulerCommand&) {
            Voiceovers::setEnabled(on);
            m_engine->setVoiceoverEnabled(on);
            appendLog(on ? QStringLiteral("Voiceovers enabled") : QStringLiteral("Voiceovers disabled"));
            if (m_viewed)
                m_viewed->refreshAll();
        };
    };
    m_commands = {
        {QStringLiteral("play"), [this](const SchedulerCommand& c) {
             const int n = c.intArg(0, 0);
             if (n > 0 && m_onAir && n <= m_onAir->rowCount())
                 m_engine->playRow(n - 1);
             else
                 m_engine->play();
         }},
        {QStringLiteral("stop"), [this](const SchedulerCommand&) { m_engine->stop(); }},
        {QStringLiteral("pause"), [this](const SchedulerCommand&) { m_engine->pause(); }},
        {QStringLiteral("previous"), [this](const SchedulerCommand&) { m_engine->previous(); }},
        {QStringLiteral("next"), [this](const SchedulerCommand& c) {
             if (const int ms = c.intArg(0, 0); ms > 0)
                 m_engine->setFadeOutMs(ms);
             m_engine->next();
         }},
        {QStringLiteral("fadeout"), [this](const SchedulerCommand& c) {
             m_engine->setFadeOutMs(qMax(0, c.intArg(0, 2000)));
             m_engine->stop();
         }},
        {QStringLiteral("volume"), [this](const SchedulerCommand& c) {
             const int volume = c.volumeArgs().volume;
             m_engine->setVolume(volume);
             if (m_volumeSlider)
                 m_volumeSlider->setValue(volume);
         }},
        {QStringLiteral("shuffle"), [this](const SchedulerCommand& c) {
             if (isWord(c.arg(0), "off"))
                 m_engine->setShuffle(false);
             else if (isWord(c.arg(0), "on"))
                 m_engine->setShuffle(true);
             else if (m_onAir)
                 m_onAir->shuffle();
         }},
        {QStringLiteral("clear"), [this](const SchedulerCommand&) {
             if (m_onAir)
                 m_onAir->clearAll();
         }},
        {QStringLiteral("mic"), [this](const SchedulerCommand& c) { switchInput(m_mic, m_micOffTimer, c); }},
        {QStringLiteral("linein"), [this](const SchedulerCommand& c) { switchInput(m_lineIn, m_lineOffTimer, c); }},
        {QStringLiteral("scheduler"), [this](const SchedulerCommand& c) { switchScheduler(c); }},
        {QStringLiteral("connect"), [this](const SchedulerCommand& c) { switchSourceClient(c, true); }},
        {QStringLiteral("disconnect"), [this](const SchedulerCommand& c) { switchSourceClient(c, false); }},
        {QStringLiteral("streamarchive"), [this](const SchedulerCommand& c) { controlArchive(c); }},
        {QStringLiteral("weather"), [this](const SchedulerCommand& c) {
             if (!m_weather)
                 return;
             const QString city = joined(c);
             if (city.isEmpty()) {
                 m_weather->refresh();
                 return;
             }
             m_weather->setCity(city);
             appendLog(QStringLiteral("Weather: updating for ") + city);
         }},
        {QStringLiteral("enablevo"), voiceovers(true)},
        {QStringLiteral("disablevo"), voiceovers(false)},
        {QStringLiteral("autointro"), [this](const SchedulerCommand& c) { switchAutoIntro(c); }},
        {QStringLiteral("load"), [this](const SchedulerCommand& c) {
             const QString file = joined(c);
             if (file.isEmpty())
                 appendLog(QStringLiteral("load: no file specified"));
             else
                 loadPlaylistFile(file, m_onAir);
         }},
        {QStringLiteral("getrandomplaylist"), [this](const SchedulerCommand& c) { loadRandomPlaylist(c); }},
        {QStringLiteral("clearplaylist"), [this](const SchedulerCommand& c) {
             if (!m_onAir)
                 return;
             if (isWord(c.arg(0), "up"))
                 m_onAir->clearAbove(-1);
             else if (isWord(c.arg(0), "down"))
                 m_onAir->clearBelow(-1);
             else
                 m_onAir->clearAll();
         }},
        {QStringLiteral("resetplayedstate"), [this](const SchedulerCommand&) {
             if (m_onAir)
                 m_onAir->resetPlayedState();
             appendLog(QStringLiteral("Played-track status reset"));
         }},
        {QStringLiteral("reboot"), power("reboot", &ProgramLauncher::restartComputer)},
        {QStringLiteral("poweroff"), power("power off", &ProgramLauncher::shutDownComputer)},
        {QStringLiteral("relaystart"), [this](const SchedulerCommand& c) { startRelayFrom(c); }},
        {QStringLiteral("relaystop"), [this](const SchedulerCommand&) { stopRelays(); }},
        {QStringLiteral("makelibrary"), [this](const SchedulerCommand& c) { rebuildMusicLibrary(joined(c)); }},
        {QStringLiteral("renderplaylist"), [this](const SchedulerCommand& c) {
             const QString file = joined(c);
             if (file.isEmpty())
                 appendLog(QStringLiteral("renderplaylist: no output file"));
             else
                 renderPlaylistTo(file);
         }},
        {QStringLiteral("setcasttitle"), [this](const SchedulerCommand& c) {
             const QString title = joined(c);
             if (!title.isEmpty() && m_broadcast)
                 m_broadcast->updateMetadata(title);
         }},
        {QStringLiteral("silencedetector"), [this](const SchedulerCommand& c) {
             const bool on = !isWord(c.arg(0), "off");
             QSettings().setValue(QStringLiteral("silence/enabled"), on);
             if (m_silence) {
                 m_silence->setEnabled(on);
                 updateSilenceStatus();
             }
             appendLog(on ? QStringLiteral("Silence detector enabled") : QStringLiteral("Silence detector disabled"));
         }},
        {QStringLiteral("run"), [](const SchedulerCommand& c) {
             if (!c.args.isEmpty())
                 ProgramLauncher::start(c.arg(0), c.args.mid(1));
         }},
    };
    return m_commands;
}

void MainWindow::switchInput(AudioInput* input, QTimer* offTimer, const SchedulerCommand& cmd)
{
    if (!input)
        return;
    if (isWord(cmd.arg(0), "off")) {
        if (offTimer)
            offTimer->stop();
        input->stop();
        return;
    }
    const int seconds = cmd.intArg(isWord(cmd.arg(0), "on") ? 1 : 0, 0);
    startInputFor(input, offTimer, seconds, cmd.verb);
}

void MainWindow::startInputFor(AudioInput* input, QTimer* offTimer, qint64 seconds, const QString& what)
{
    input->start();
    if (seconds >= 1 && offTimer)
        offTimer->start(timerIntervalMs(seconds, what));
}

// Seconds as a timer's interval. A timer waits at most about 24 days; a
// longer request is cut to that rather than wrapping into a negative count
// that would never fire.
int MainWindow::timerIntervalMs(qint64 seconds, const QString& what)
{
    if (seconds * 1000 <= kLongestTimerMs)
        return int(seconds * 1000);
    appendLog(QStringLiteral("%1: %2 s is longer than a timer can wait; using %3 s")
                  .arg(what)
                  .arg(seconds)
                  .arg(kLongestTimerMs / 1000));
    return int(kLongestTimerMs);
}

void MainWindow::switchScheduler(const SchedulerCommand& cmd)
{
    if (!m_schedulerResume) {
        m_schedulerResume = new QTimer(this);
        m_schedulerResume->setSingleShot(true);
        connect(m_schedulerResume, &QTimer::timeout, this, [this] {
            if (m_scheduler)
                m_scheduler->setActive(true);
            showSchedulerState();
            appendLog(QStringLiteral("Scheduler resumed after timeout"));
        });
    }
    // The latest switch decides: a resume still pending from an earlier
    // "scheduler off N" must not undo it.
    m_schedulerResume->stop();
    const bool on = !isWord(cmd.arg(0), "off");
    if (m_scheduler)
        m_scheduler->setActive(on);
    showSchedulerState();
    const int seconds = cmd.intArg(1, 0);
    if (!on && seconds >= 1)
        m_schedulerResume->start(timerIntervalMs(seconds, QStringLiteral("scheduler off")));
}

// The box, the scheduler window (on its own) and the status label all show
// the scheduler's state, whoever switched it.
void MainWindow::showSchedulerState()
{
    if (!m_scheduler)
        return;
    const bool on = m_scheduler->isActive();
    if (on && m_schedulerResume)
        m_schedulerResume->stop();
    for (auto [box, checked] : {std::pair{m_schedulerOn, on}, std::pair{m_schedulerManual, m_scheduler->isManual()}}) {
        if (box) {
            const QSignalBlocker quiet(box);
            box->setChecked(checked);
        }
    }
    if (m_statusLabel)
        m_statusLabel->setText(on ? QStringLiteral("Scheduler: Enabled") : QStringLiteral("Scheduler: Off"));
}

void MainWindow::switchAutoIntro(const SchedulerCommand& cmd)
{
    if (!m_autoIntro)
        return;
    const bool enable = !isWord(cmd.arg(0), "disable");
    if (cmd.args.size() < 2) {
        m_autoIntro->enabled = enable;
    } else {
        QSet<QString> names;
        for (qsizetype i = 1; i < cmd.args.size(); ++i)
            names.insert(QString(cmd.args.at(i)).remove(QLatin1Char(',')).trimmed().toLower());
        for (AutoIntroRule& rule : m_autoIntro->rules) {
            if (names.contains(rule.name.toLower()))
                rule.enabled = enable;
        }
    }
    m_autoIntro->save();
}

// The station has one streaming server, number 1.
void MainWindow::switchSourceClient(const SchedulerCommand& cmd, bool on)
{
    const QString list = cmd.args.join(QString()).remove(QLatin1Char(' '));
    if (!list.isEmpty() && !list.split(QLatin1Char(',')).contains(QStringLiteral("1"))) {
        if (on)
            appendLog(QStringLiteral("connect: only one broadcast server is configured (1)"));
        return;
    }
    if (!m_broadcast || (m_broadcast->isStreaming() || m_broadcast->isReconnecting()) == on)
        return;
    if (on)
        startBroadcast(false);
    else
        m_broadcast->stop();
}

void MainWindow::controlArchive(const SchedulerCommand& cmd)
{
    if (!m_archive)
        return;
    const SchedulerCommand::ArchiveArgs a = cmd.archiveArgs();
    if (a.mode == 1) {
        m_archive->stop();
        return;
    }
    ArchiveConfig config = StreamArchive::configFromSettings();
    if (a.mode == 2 && !a.fileName.isEmpty()) {
        const QFileInfo file(a.fileName);
        config.folder = file.absolutePath();
        // The name is literal text of the date pattern, where a quote is
        // written twice. Parts split off it get a counter from the archive.
        if (const QString base = file.completeBaseName(); !base.isEmpty())
            config.namePattern = QLatin1Char('\'') + QString(base).replace(QLatin1Char('\''), QStringLiteral("''"))
                                 + QLatin1Char('\'');
    }
    config.stopAfterMs = qint64(a.seconds) * 1000;
    m_archive->setConfig(config);
    m_archive->start();
}

void MainWindow::loadRandomPlaylist(const SchedulerCommand& cmd)
{
    const QString folder = joined(cmd);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        appendLog(QStringLiteral("getrandomplaylist: folder not found: ") + folder);
        return;
    }
    const QFileInfoList lists = QDir(folder).entryInfoList(
        {QStringLiteral("*.m3u"), QStringLiteral("*.m3u8"), QStringLiteral("*.pls")}, QDir::Files);
    if (lists.isEmpty()) {
        appendLog(QStringLiteral("getrandomplaylist: no playlists in ") + folder);
        return;
    }
    const QFileInfo chosen = lists.at(QRandomGenerator::global()->bounded(int(lists.size())));
    appendLog(QStringLiteral("getrandomplaylist: chose ") + chosen.fileName());
    loadPlaylistFile(chosen.absoluteFilePath(), m_onAir);
}

void MainWindow::startRelayFrom(const SchedulerCommand& cmd)
{
    const QString source = joined(cmd);
    if (source.isEmpty()) {
        appendLog(QStringLiteral("relaystart: no source given"));
    } else if (Track::isStreamUrl(source)) {
        m_engine->startRelay(source);
    } else if (source == QStringLiteral("1")) {
        // The playlist gives way only to a line input that really started.
        if (m_lineIn)
            m_lineIn->start();
        if (!m_lineIn || !m_lineIn->isActive()) {
            appendLog(QStringLiteral("Relay: line input 1 could not be started - the playlist stays on air"));
            return;
        }
        m_lineInRelay = true;
        if (m_engine->isPlaying())
            m_engine->pause();
        appendLog(QStringLiteral("Relay: line input 1 on air"));
    } else {
        appendLog(QStringLiteral("relaystart: input ") + source
                  + QStringLiteral(" is not configured (only line input 1 is available)"));
    }
}

void MainWindow::stopRelays()
{
    const bool startNext = QSettings().value(QStringLiteral("relay/startNextOnStop"), false).toBool();
    if (m_lineInRelay) {
        m_lineInRelay = false;
        if (m_lineIn)
            m_lineIn->stop();
        if (startNext)
            m_engine->next();
        else
            m_engine->play();
    }
    if (m_engine->isRelaying())
        m_engine->stopRelay();
}

void MainWindow::onEventFired(const ScheduledEvent& event)
{
    appendLog(QStringLiteral("Scheduler fired: ") + (event.name.isEmpty() ? event.action : event.name));
    // Once this event is past, the box names the one after it.
    QTimer::singleShot(0, this, &MainWindow::refreshSchedulerList);

    const QString action = event.action.trimmed();
    auto isInput = [&action](const QString& word) {
        return action.compare(word, Qt::CaseInsensitive) == 0
               || action.startsWith(word + QLatin1Char(':'), Qt::CaseInsensitive);
    };
    const bool mic = isInput(QStringLiteral("mic"));
    if (mic || isInput(QStringLiteral("linein"))) {
        AudioInput* input = mic ? m_mic : m_lineIn;
        if (input)
            startInputFor(input, mic ? m_micOffTimer : m_lineOffTimer, eventDurationSecs(action),
                          mic ? QStringLiteral("mic") : QStringLiteral("linein"));
        return;
    }
    if (SchedulerCommand::isCommand(action)) {
        runSchedulerCommand(action);
        return;
    }
    if (!m_onAir)
        return;

    Track row;
    if (isEventStream(action)) {
        row.artist = QStringLiteral("Online stream");
        row.title = event.name.isEmpty() ? event.action : event.name;
        row.filePath = event.action;
        row.isStream = true;
    } else {
        row = Track::fromFile(event.action);
    }
    if (event.insertMode == 2) {
        m_onAir->clearAll();
        m_onAir->addTrack(row);
        m_engine->playRow(0);
        return;
    }
    const int index = event.insertMode == 1 ? m_onAir->rowCount()
                                            : qBound(0, m_engine->currentRow() + 1, m_onAir->rowCount());
    m_onAir->insertTrack(index, row);
    if (!event.startPlayback)
        return;
    if (const qsizetype i = m_playlists.indexOf(m_onAir); i >= 0)
        setActivePlaylist(int(i));
    m_engine->playRow(index);
}

void MainWindow::onSilenceDetected(int action)
{
    const SilenceDetector::Action a = SilenceDetector::actionFromInt(action);
    appendLog(QStringLiteral("Silence detected (%1s) - %2")
                  .arg(m_silence ? m_silence->timeoutSecs() : 0)
                  .arg(SilenceDetector::actionName(a)));
    switch (a) {
    case SilenceDetector::RepeatPlaylist:
        if (m_onAir && m_onAir->rowCount() > 0)
            m_engine->playRow(0);
        break;
    case SilenceDetector::LoadPlaylist: {
        const QString path = m_silence ? m_silence->playlist() : QString();
        if (path.isEmpty()) {
            appendLog(QStringLiteral("Silence: no playlist configured - playing next track instead"));
            m_engine->next();
            break;
        }
        loadPlaylistFile(path, m_onAir);
        if (m_onAir && m_onAir->rowCount() > 0)
            m_engine->playRow(0);
        break;
    }
    case SilenceDetector::PlayNext:
        m_engine->next();
        break;
    }
}
