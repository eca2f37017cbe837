#include "automation/dtmfeventwatch.h"

#include "automation/automationdesk.h"
#include "automation/commandexecutor.h"
#include "automation/dtmfdetector.h"
#include "automation/dtmfmonitor.h"
#include "automation/eventscheduler.h"
#include "automation/scheduledevent.h"
#include "engine/audioengine.h"
#include "library/appsettings.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

EventScheduler::DtmfWindow dtmfWindowFromSettings()
{
    return {.beforeMin = Setting::DtmfBeforeMin.readInt(),
            .afterMin = Setting::DtmfAfterMin.readInt()};
}

bool awaitsTone(const ScheduledEvent& e)
{
    return e.enabled && !e.dtmfStart.trimmed().isEmpty();
}

// The days whose occurrence of an event may have its window open now: one
// before midnight may wait for the event of the next day, one after it may
// close the window of the event the day before.
QList<QDate> occurrenceDays(const QDateTime& now)
{
    return {now.date().addDays(-1), now.date(), now.date().addDays(1)};
}

} // namespace

DtmfEventWatch::DtmfEventWatch(AutomationDesk& desk, CommandExecutor& commands, Start start, QObject* parent)
    : QObject(parent)
    , m_desk(desk)
    , m_commands(commands)
    , m_start(std::move(start))
{
}

void DtmfEventWatch::updateWindow()
{
    DtmfMonitor* dtmf = m_desk.dtmfMonitor();
    EventScheduler* scheduler = m_desk.scheduler();
    if (!dtmf || !scheduler)
        return;
    if (DtmfMonitor::sourceFromSettings() == DtmfMonitor::Off) {
        if (dtmf->isRunning())
            dtmf->stop();
        return;
    }
    const EventScheduler::DtmfWindow window = dtmfWindowFromSettings();
    const QDateTime now = scheduler->currentTime();
    const QString heard = dtmf->detector().sequence;

    bool waiting = false;
    // A copy: an event that runs may change the scheduler's list. What was
    // started or skipped is recorded by the event and its time on the day,
    // so that a window closing is acted on once, and the same name at
    // another hour is another event. A window may reach into the day before
    // or after its event's.
    const QList<ScheduledEvent> events = scheduler->events();
    for (qsizetype i = 0; i < events.size(); ++i) {
        const ScheduledEvent& e = events.at(i);
        if (!awaitsTone(e))
            continue;
        for (const QDate& day : occurrenceDays(now)) {
            if (!EventScheduler::occursOn(e, day))
                continue;
            switch (EventScheduler::decideDtmf(e, QDateTime(day, e.time), now, heard, window)) {
            case EventScheduler::DtmfListen:
            case EventScheduler::DtmfStart:
                waiting = true;
                break;
            case EventScheduler::DtmfRunAnyway:
                if (scheduler->markFired(i, e, day, e.time)) {
                    m_desk.appendLog(QStringLiteral("DTMF window closed with no tone - starting ") + e.name);
                    m_start(e);
                }
                break;
            case EventScheduler::DtmfSkip:
                if (scheduler->markFired(i, e, day, e.time))
                    m_desk.appendLog(QStringLiteral("DTMF Only: no tone heard, skipping ") + e.name);
                break;
            default:
                break;
            }
        }
    }
    // An event already started keeps the monitor listening until its window
    // closes, so that its end sequence is still heard.
    if (waiting && !dtmf->isRunning())
        dtmf->start();
    else if (!waiting && dtmf->isRunning())
        dtmf->stop();
}

void DtmfEventWatch::checkSequence(const QString& sequence)
{
    EventScheduler* scheduler = m_desk.scheduler();
    if (!scheduler)
        return;
    const int delaySec = Setting::DtmfDelaySec.readInt();
    const EventScheduler::DtmfWindow window = dtmfWindowFromSettings();
    const QDateTime now = scheduler->currentTime();

    // One heard sequence acts once: after it ends playback or starts an
    // event, the events after see nothing heard.
    QString heard = sequence;
    auto consume = [this, &heard] {
        heard.clear();
        if (DtmfMonitor* dtmf = m_desk.dtmfMonitor())
            dtmf->detector().sequence.clear();
    };
    const QList<ScheduledEvent> events = scheduler->events();
    for (qsizetype i = 0; i < events.size(); ++i) {
        const ScheduledEvent& e = events.at(i);
        if (!e.enabled)
            continue;
        if (!e.dtmfEnd.trimmed().isEmpty() && DtmfDetector::matches(heard, e.dtmfEnd)) {
            m_desk.appendLog(QStringLiteral("DTMF end sequence for ") + e.name);
            if (AudioEngine* engine = m_desk.engine())
                engine->stop();
            consume();
            continue;
        }
        if (!awaitsTone(e))
            continue;
        const QList<QDate> days = occurrenceDays(now);
        const auto started = std::ranges::find_if(days, [&](const QDate& day) {
            const QDateTime scheduled(day, e.time);
            return EventScheduler::occursOn(e, day)
                   && EventScheduler::decideDtmf(e, scheduled, now, heard, window) == EventScheduler::DtmfStart
                   && scheduler->markFired(i, e, day, e.time);
        });
        if (started == days.end())
            continue;
        consume();
        m_desk.appendLog(QStringLiteral("DTMF %1 detected - starting %2").arg(e.dtmfStart, e.name));
        if (delaySec > 0)
            QTimer::singleShot(m_commands.timerIntervalMs(delaySec, QStringLiteral("DTMF delay")), this,
                               [this, e] { m_start(e); });
        else
            m_start(e);
    }
}
