#include "mainwindow.h"

#include "automation/dtmfdetector.h"
#include "automation/dtmfmonitor.h"
#include "automation/eventscheduler.h"
#include "automation/scheduledevent.h"
#include "engine/audioengine.h"
#include "library/appsettings.h"

#include <QSettings>
#include <QTimer>

namespace {

EventScheduler::DtmfWindow dtmfWindowFromSettings()
{
    return {.beforeMin = AppSettings::intValue(QStringLiteral("dtmf/beforeMin")),
            .afterMin = AppSettings::intValue(QStringLiteral("dtmf/afterMin"))};
}

bool awaitsTone(const ScheduledEvent& e)
{
    return e.enabled && !e.dtmfStart.trimmed().isEmpty();
}

} // namespace

// What was started or skipped belongs to one day. Forgetting it once when
// the date changes, not at every check of the day's first minute, keeps a
// window that closed in that minute from being acted on again and again.
void MainWindow::startDtmfDay(const QDate& today)
{
    if (today == m_dtmfDay)
        return;
    m_dtmfDay = today;
    m_dtmfHandled.clear();
}

void MainWindow::updateDtmfWindow()
{
    if (!m_dtmf || !m_scheduler)
        return;
    if (DtmfMonitor::sourceFromSettings() == DtmfMonitor::Off) {
        if (m_dtmf->isRunning())
            m_dtmf->stop();
        return;
    }
    const EventScheduler::DtmfWindow window = dtmfWindowFromSettings();
    const QDateTime now = m_scheduler->currentTime();
    startDtmfDay(now.date());
    const QString heard = m_dtmf->detector().sequence;

    bool waiting = false;
    // A copy: an event that runs may change the scheduler's list.
    const QList<ScheduledEvent> events = m_scheduler->events();
    for (const ScheduledEvent& e : events) {
        if (!awaitsTone(e))
            continue;
        switch (EventScheduler::decideDtmf(e, QDateTime(now.date(), e.time), now, heard, window)) {
        case EventScheduler::DtmfListen:
        case EventScheduler::DtmfStart:
            waiting = true;
            break;
        case EventScheduler::DtmfRunAnyway:
            if (!m_dtmfHandled.contains(e.name)) {
                m_dtmfHandled.insert(e.name);
                appendLog(QStringLiteral("DTMF window closed with no tone - starting ") + e.name);
                onEventFired(e);
            }
            break;
        case EventScheduler::DtmfSkip:
            if (!m_dtmfHandled.contains(e.name)) {
                m_dtmfHandled.insert(e.name);
                appendLog(QStringLiteral("DTMF Only: no tone heard, skipping ") + e.name);
            }
            break;
        default:
            break;
        }
    }
    // An event already started keeps the monitor listening until its window
    // closes, so that its end sequence is still heard.
    if (waiting && !m_dtmf->isRunning())
        m_dtmf->start();
    else if (!waiting && m_dtmf->isRunning())
        m_dtmf->stop();
}

void MainWindow::checkDtmfEvents(const QString& sequence)
{
    if (!m_scheduler)
        return;
    const int delaySec = AppSettings::intValue(QStringLiteral("dtmf/delaySec"));
    const EventScheduler::DtmfWindow window = dtmfWindowFromSettings();
    const QDateTime now = m_scheduler->currentTime();
    startDtmfDay(now.date());

    // One heard sequence acts once: after it ends playback or starts an
    // event, the events after see nothing heard.
    QString heard = sequence;
    auto consume = [this, &heard] {
        heard.clear();
        if (m_dtmf)
            m_dtmf->detector().sequence.clear();
    };
    const QList<ScheduledEvent> events = m_scheduler->events();
    for (const ScheduledEvent& e : events) {
        if (!e.enabled)
            continue;
        if (!e.dtmfEnd.trimmed().isEmpty() && DtmfDetector::matches(heard, e.dtmfEnd)) {
            appendLog(QStringLiteral("DTMF end sequence for ") + e.name);
            if (m_engine)
                m_engine->stop();
            consume();
            continue;
        }
        if (!awaitsTone(e) || m_dtmfHandled.contains(e.name))
            continue;
        if (EventScheduler::decideDtmf(e, QDateTime(now.date(), e.time), now, heard, window)
            != EventScheduler::DtmfStart)
            continue;
        m_dtmfHandled.insert(e.name);
        consume();
        appendLog(QStringLiteral("DTMF %1 detected - starting %2").arg(e.dtmfStart, e.name));
        if (delaySec > 0)
            QTimer::singleShot(timerIntervalMs(delaySec, QStringLiteral("DTMF delay")), this,
                               [this, e] { onEventFired(e); });
        else
            onEventFired(e);
    }
}
