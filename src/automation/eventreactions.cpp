#include "automation/eventreactions.h"

#include "automation/automationdesk.h"
#include "automation/commandexecutor.h"
#include "automation/scheduledevent.h"
#include "automation/schedulercommand.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "library/track.h"

#include <QPointer>
#include <QTimer>

namespace {

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

EventReactions::EventReactions(AutomationDesk& desk, CommandExecutor& commands, QObject* parent)
    : QObject(parent)
    , m_desk(desk)
    , m_commands(commands)
{
}

void EventReactions::onEventFired(const ScheduledEvent& event)
{
    m_desk.appendLog(QStringLiteral("Scheduler fired: ") + (event.name.isEmpty() ? event.action : event.name));
    // Once this event is past, the box names the one after it.
    QTimer::singleShot(0, this, [this] { m_desk.refreshSchedulerList(); });

    const QString action = event.action.trimmed();
    auto isInput = [&action](const QString& word) {
        return action.compare(word, Qt::CaseInsensitive) == 0
               || action.startsWith(word + QLatin1Char(':'), Qt::CaseInsensitive);
    };
    const bool mic = isInput(QStringLiteral("mic"));
    if (mic || isInput(QStringLiteral("linein"))) {
        if (AudioInput* input = mic ? m_desk.mic() : m_desk.lineIn())
            m_commands.startInputFor(input, eventDurationSecs(action),
                                     mic ? QStringLiteral("mic") : QStringLiteral("linein"));
        return;
    }
    if (SchedulerCommand::isCommand(action)) {
        m_commands.run(action, event.name.isEmpty() ? event.action : event.name);
        return;
    }
    // After the rows of a load asked before it, which would replace it.
    if (isEventStream(action)) {
        Track row;
        row.artist = QStringLiteral("Online stream");
        row.title = event.name.isEmpty() ? event.action : event.name;
        row.filePath = event.action;
        row.isStream = true;
        m_desk.afterRowsMade([self = QPointer<EventReactions>(this), event, row] {
            if (self)
                self->insertEventRow(event, row);
        });
        return;
    }
    // As any road that makes a row from a file, off the window's thread: a
    // file on a share that hangs never holds the air.
    m_desk.makeRows({event.action}, [self = QPointer<EventReactions>(this), event](const QList<Track>& rows) {
        if (self && !rows.isEmpty())
            self->insertEventRow(event, rows.constFirst());
    });
}

void EventReactions::insertEventRow(const ScheduledEvent& event, const Track& row)
{
    PlaylistModel* onAir = m_desk.onAirPlaylist();
    if (!onAir)
        return;
    AudioEngine* engine = m_desk.engine();
    if (event.insertMode == 2) {
        onAir->clearAll();
        onAir->addTrack(row);
        engine->playRow(0);
        return;
    }
    // After the track on air: where the list goes on, wherever its row went.
    const int index = event.insertMode == 1 ? onAir->rowCount()
                                            : qBound(0, engine->followingRow(), onAir->rowCount());
    onAir->insertTrack(index, row);
    if (!event.startPlayback)
        return;
    m_desk.showOnAirPlaylist();
    engine->playRow(index);
}

void EventReactions::onSilenceDetected(int action)
{
    const SilenceDetector::Action a = SilenceDetector::actionFromInt(action);
    SilenceDetector* silence = m_desk.silenceDetector();
    AudioEngine* engine = m_desk.engine();
    const int timeoutSecs = silence ? silence->timeoutSecs() : 0;
    // Nothing played after the last report's action: trying again would
    // only repeat it every time-out.
    auto nothingLeft = [this, silence, engine] {
        // A list still being read is something left.
        if (!engine->hasRunOut() || m_desk.rowsBeingMade())
            return false;
        m_desk.appendLog(QStringLiteral("Silence: nothing left to play - waiting for the operator"));
        if (silence)
            silence->standDown();
        return true;
    };
    if (silence && silence->silentMs() > qint64(timeoutSecs) * 1000 && nothingLeft())
        return;
    m_desk.appendLog(QStringLiteral("Silence detected (%1s) - %2").arg(timeoutSecs).arg(SilenceDetector::actionName(a)));
    auto playFromTop = [this, engine] {
        if (PlaylistModel* onAir = m_desk.onAirPlaylist(); onAir && onAir->rowCount() > 0)
            engine->playRow(0);
    };
    switch (a) {
    case SilenceDetector::RepeatPlaylist:
        playFromTop();
        break;
    case SilenceDetector::LoadPlaylist: {
        const QString path = silence ? silence->playlist() : QString();
        if (path.isEmpty()) {
            m_desk.appendLog(QStringLiteral("Silence: no playlist configured - playing next track instead"));
            engine->next();
            break;
        }
        // The rows come when read; a file refused at once leaves the list as it is.
        if (!m_desk.loadPlaylistFile(path, m_desk.onAirPlaylist(),
                                     [self = QPointer<EventReactions>(this), playFromTop](bool) {
                                         if (self)
                                             playFromTop();
                                     }))
            playFromTop();
        break;
    }
    case SilenceDetector::PlayNext:
        engine->next();
        break;
    }
    nothingLeft();
}
