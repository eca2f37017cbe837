#include "eventscheduler.h"

#include "dtmfdetector.h"
#include "library/appsettings.h"
#include "library/pathgate.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <iterator>

namespace {

const QString kPrefix = QStringLiteral("Scheduler: ");

QList<ScheduledEvent> eventsFromArray(const QJsonArray& array)
{
    QList<ScheduledEvent> list;
    list.reserve(array.size());
    for (const QJsonValue& v : array)
        list.append(ScheduledEvent::fromJson(v.toObject()));
    return list;
}

// A list that is not empty yet holds no object with a member an event
// writes is something else, not a list of empty events.
bool holdsEvents(const QJsonArray& array)
{
    static const QString keys[] = {QStringLiteral("name"), QStringLiteral("action"), QStringLiteral("time"),
                                   QStringLiteral("days"), QStringLiteral("date")};
    return array.isEmpty() || std::any_of(array.begin(), array.end(), [](const QJsonValue& v) {
        const QJsonObject o = v.toObject();
        return std::any_of(std::begin(keys), std::end(keys), [&o](const QString& k) { return o.contains(k); });
    });
}

QByteArray toJsonText(const QList<ScheduledEvent>& list)
{
    QJsonArray array;
    for (const ScheduledEvent& e : list)
        array.append(e.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

// The day of the next occurrence on the wall clock, found without building
// a local date-time for each candidate: the list may hold many thousand.
QDate nextOccurrenceDay(const ScheduledEvent& e, QDate fromDate, QTime fromTime)
{
    if (!e.enabled || !e.time.isValid())
        return {};
    for (int k = 0; k <= 7; ++k) {
        const QDate d = fromDate.addDays(k);
        if (k == 0 && e.time < fromTime)
            continue;
        if (e.days.isEmpty()) {
            if (!e.date.isValid() || e.date == d)
                return d;
        } else if (e.days.contains(d.dayOfWeek()) && (!e.date.isValid() || e.date <= d)) {
            return d;
        }
    }
    return {};
}

} // namespace

EventScheduler::EventScheduler(QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, [this] { checkNow(currentTime()); });
    m_timer->start();
}

void EventScheduler::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

QDateTime EventScheduler::currentTime() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

void EventScheduler::setActive(bool on)
{
    if (m_active == on)
        return;
    m_active = on;
    emit stateChanged();
}

bool EventScheduler::isActive() const
{
    return m_active;
}

void EventScheduler::setManual(bool on)
{
    if (m_manual == on)
        return;
    m_manual = on;
    emit stateChanged();
}

bool EventScheduler::isManual() const
{
    return m_manual;
}

void EventScheduler::checkNow(const QDateTime& now)
{
    if (!m_active || m_manual)
        return;
    // Receivers run inside the loop and may change the list: read its length
    // again each time, and record a key before its event runs.
    for (qsizetype i = 0; i < m_events.size(); ++i) {
        const ScheduledEvent& e = m_events.at(i);
        // An event started by DTMF tones is run by the DTMF logic around its
        // time; firing it at its minute as well would run it twice.
        if (!e.dtmfStart.trimmed().isEmpty() || !isDue(e, now) || !markFired(i, e, now.date(), now.time()))
            continue;
        const ScheduledEvent copy = e;
        emit fired(copy);
    }
}

bool EventScheduler::markFired(qsizetype index, const ScheduledEvent& e, const QDate& day, const QTime& minute)
{
    if (day != m_firedDate) {
        m_firedDate = day;
        m_firedKeys.clear();
    }
    const QString key = minute.toString(QStringLiteral("HHmm")) + QLatin1Char('|') + QString::number(index)
                        + QLatin1Char('|') + e.name + QLatin1Char('|') + e.action;
    if (m_firedKeys.contains(key))
        return false;
    m_firedKeys.insert(key);
    // Written before the event runs: a restart in the same minute, or in the
    // hour the clock repeats, must not run it again.
    if (m_keepFired)
        Setting::SchedulerFired.write(QStringList{m_firedDate.toString(Qt::ISODate)} + m_firedKeys.values());
    return true;
}

bool EventScheduler::isDue(const ScheduledEvent& e, const QDateTime& now)
{
    if (!e.enabled || !e.time.isValid())
        return false;
    const QTime t = now.time();
    if (e.time.hour() != t.hour() || e.time.minute() != t.minute())
        return false;
    const QDate today = now.date();
    if (e.days.isEmpty())
        return !e.date.isValid() || e.date == today;
    return e.days.contains(today.dayOfWeek()) && (!e.date.isValid() || e.date <= today);
}

QDateTime EventScheduler::nextOccurrence(const ScheduledEvent& e, const QDateTime& from)
{
    const QDate day = nextOccurrenceDay(e, from.date(), from.time());
    return day.isValid() ? QDateTime(day, e.time) : QDateTime();
}

ScheduledEvent EventScheduler::nextUpcoming(const QDateTime& from, QDateTime* when) const
{
    const QDate fromDate = from.date();
    const QTime fromTime = from.time();
    qsizetype best = -1;
    QDate bestDay;
    for (qsizetype i = 0; i < m_events.size(); ++i) {
        const ScheduledEvent& e = m_events.at(i);
        const QDate day = nextOccurrenceDay(e, fromDate, fromTime);
        if (day.isValid()
            && (best < 0 || day < bestDay || (day == bestDay && e.time < m_events.at(best).time))) {
            best = i;
            bestDay = day;
        }
    }
    if (when)
        *when = best < 0 ? QDateTime() : QDateTime(bestDay, m_events.at(best).time);
    return best < 0 ? ScheduledEvent() : m_events.at(best);
}

int EventScheduler::decideDtmf(const ScheduledEvent& e, const QDateTime& scheduled, const QDateTime& now,
                               const QString& heard, const DtmfWindow& window)
{
    if (e.dtmfStart.trimmed().isEmpty())
        return DtmfNone;
    const QDateTime start = scheduled.addSecs(-60LL * qMax(0, window.beforeMin));
    const QDateTime end = scheduled.addSecs(60LL * qMax(0, window.afterMin));
    if (now < start)
        return DtmfOutside;
    if (now < end)
        return DtmfDetector::matches(heard, e.dtmfStart) ? DtmfStart : DtmfListen;
    if (now == end && DtmfDetector::matches(heard, e.dtmfStart))
        return DtmfStart;
    // The caller asks every two seconds; it gets the end's answer for one
    // minute after the window, but a window that closed while the program was
    // not running is not run or skipped hours later.
    if (now > end.addSecs(60))
        return DtmfOutside;
    return e.dtmfOnly ? DtmfSkip : DtmfRunAnyway;
}

void EventScheduler::addEvent(const ScheduledEvent& e)
{
    m_events.append(ScheduledEvent(e));
    save();
    emit changed();
}

void EventScheduler::addEvents(const QList<ScheduledEvent>& list)
{
    if (list.isEmpty())
        return;
    m_events.append(list);
    save();
    emit changed();
}

void EventScheduler::updateEvent(int index, const ScheduledEvent& e)
{
    if (index < 0 || index >= m_events.size())
        return;
    m_events[index] = e;
    save();
    emit changed();
}

void EventScheduler::removeEvent(int index)
{
    if (index < 0 || index >= m_events.size())
        return;
    m_events.removeAt(index);
    save();
    emit changed();
}

const QList<ScheduledEvent>& EventScheduler::events() const
{
    return m_events;
}

QString EventScheduler::storagePath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (folder.isEmpty())
        folder = QDir::homePath() + QStringLiteral("/.orchidlantern");
    QDir().mkpath(folder);
    return folder + QStringLiteral("/events.json");
}

void EventScheduler::load()
{
    m_events.clear();
    const QStringList fired = Setting::SchedulerFired.read().toStringList();
    m_firedDate = QDate::fromString(fired.value(0), Qt::ISODate);
    m_firedKeys = fired.isEmpty() ? QSet<QString>() : QSet<QString>(fired.cbegin() + 1, fired.cend());
    m_keepFired = true;

    const QString path = storagePath();
    // A FIFO or a device would hold the start in open(), and a runaway file
    // would swamp it: such a file is taken as a damaged one. One that cannot
    // be read is told as such below.
    const QFileInfo info(path);
    const QString refused = info.exists() ? PathGate::refusal(path, PathGate::Kind::StoredData) : QString();
    if (!refused.isEmpty() && info.isReadable()) {
        m_unreadFile = true;
        log(QStringLiteral("the events file %1 does not hold a list of events (%2); starting with an empty list")
                .arg(path, refused));
        emit changed();
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // A file that exists but cannot be read must not be written over.
        m_unreadFile = file.exists();
        if (m_unreadFile)
            log(QStringLiteral("could not read the events file %1: %2").arg(path, file.errorString()));
        return;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    m_unreadFile = !doc.isArray();
    if (m_unreadFile) {
        log(QStringLiteral("the events file %1 does not hold a list of events (%2); starting with an empty list")
                .arg(path,
                     error.error != QJsonParseError::NoError ? error.errorString()
                                                              : QStringLiteral("no JSON array")));
    } else {
        m_events = eventsFromArray(doc.array());
    }
    emit changed();
}

void EventScheduler::save() const
{
    const QString path = storagePath();
    if (m_unreadFile) {
        if (!keepUnreadFileAside(path))
            return;
        m_unreadFile = false;
    }
    writeList(path);
}

void EventScheduler::setEvents(const QList<ScheduledEvent>& list)
{
    m_events = list;
    save();
    emit changed();
}

bool EventScheduler::saveToFile(const QString& path) const
{
    return writeList(path);
}

bool EventScheduler::loadFromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        log(QStringLiteral("could not open %1 for import: %2").arg(path, file.errorString()));
        return false;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (!doc.isArray() || !holdsEvents(doc.array())) {
        // Importing an empty list from a damaged file would wipe the schedule.
        log(QStringLiteral("import refused: %1 does not hold a list of events").arg(path));
        return false;
    }
    m_events = eventsFromArray(doc.array());
    save();
    emit changed();
    return true;
}

bool EventScheduler::writeList(const QString& path) const
{
    // Written beside the target and renamed over it, so a crash or a full
    // disk leaves the previous file whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        log(QStringLiteral("could not write %1: %2").arg(path, file.errorString()));
        return false;
    }
    const QByteArray text = toJsonText(m_events);
    if (file.write(text) != text.size() || !file.commit()) {
        log(QStringLiteral("could not write %1: %2").arg(path, file.errorString()));
        file.cancelWriting();
        return false;
    }
    return true;
}

bool EventScheduler::keepUnreadFileAside(const QString& path) const
{
    if (!QFile::exists(path))
        return true;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QStringLiteral(".broken-") + stamp;
    for (int n = 2; QFile::exists(aside); ++n)
        aside = path + QStringLiteral(".broken-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(path, aside)) {
        log(QStringLiteral("could not keep the unreadable events file %1 aside; it is left as it is and the "
                           "events are not saved")
                .arg(path));
        return false;
    }
    log(QStringLiteral("kept the unreadable events file as %1").arg(aside));
    return true;
}

void EventScheduler::log(const QString& text) const
{
    // Reporting is not a change of the list, so the const operations may log.
    emit const_cast<EventScheduler*>(this)->logMessage(kPrefix + text);
}
