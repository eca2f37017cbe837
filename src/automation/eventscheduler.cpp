#include "eventscheduler.h"

#include "dtmfdetector.h"
#include "firingrecord.h"
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
#include <QTimeZone>
#include <QTimer>

#include <algorithm>
#include <iterator>
#include <tuple>

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

// The time a clock shows, as figures to compare and count with: a time in
// the hour repeated in autumn is not after one shown before it.
QDateTime wallTime(const QDateTime& t)
{
    return QDateTime(t.date(), t.time(), QTimeZone::UTC);
}

int minuteOfDay(const QTime& t)
{
    return t.hour() * 60 + t.minute();
}

QString lateness(qint64 secs)
{
    return secs < 120 ? QStringLiteral("%1 s").arg(secs) : QStringLiteral("%1 min").arg(secs / 60);
}

const QString kSecondFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

// What the record of events run keeps of one occurrence.
QString firingKey(qsizetype index, const ScheduledEvent& e, int minute)
{
    return QTime(minute / 60, minute % 60).toString(QStringLiteral("HHmm")) + QLatin1Char('|') + QString::number(index)
           + QLatin1Char('|') + e.name + QLatin1Char('|') + e.action;
}

} // namespace

EventScheduler::EventScheduler(QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
    , m_fired(std::make_unique<FiringRecord>())
{
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, [this] { checkNow(currentTime()); });
    m_timer->start();
}

EventScheduler::~EventScheduler() = default;

void EventScheduler::setClock(Clock clock)
{
    m_clock = std::move(clock);
    // Another clock's times say nothing about this one's.
    m_checked = false;
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
    // Events passed while off are not run when it is switched on again.
    m_checked = false;
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
    m_checked = false;
    emit stateChanged();
}

bool EventScheduler::isManual() const
{
    return m_manual;
}

void EventScheduler::checkNow(const QDateTime& now)
{
    if (!m_active || m_manual) {
        m_checked = false;
        return;
    }
    const Span span = passedSpan(now);
    const QDateTime wallNow = wallTime(now);
    // Receivers run inside the loop and may change the list: then what is
    // due is found again, and the keys noted so far keep what ran from
    // running twice. A key is noted before its event runs.
    for (bool again = true; again;) {
        again = false;
        const quint64 generation = m_generation;
        for (const Due& due : dueIn(span)) {
            const QTime minute(due.minute / 60, due.minute % 60);
            if (!markFired(due.index, m_events.at(due.index), due.day, minute))
                continue;
            const ScheduledEvent copy = m_events.at(due.index);
            const qint64 late = QDateTime(due.day, minute, QTimeZone::UTC).secsTo(wallNow);
            if (late >= 60) {
                const QDateTime local(due.day, minute);
                const QString hhmm = minute.toString(QStringLiteral("HH:mm"));
                // A time the clock never showed: it skipped ahead over it.
                log(local.time() != minute || local.date() != due.day
                        ? QStringLiteral("%1, due at %2, runs at %3: the clock skipped that time")
                              .arg(copy.name, hhmm, now.toString(QStringLiteral("HH:mm:ss")))
                        : QStringLiteral("%1, due at %2, runs %3 late").arg(copy.name, hhmm, lateness(late)));
            }
            emit fired(copy);
            if (generation != m_generation) {
                again = true;
                break;
            }
        }
    }
}

EventScheduler::Span EventScheduler::passedSpan(const QDateTime& now)
{
    const QDateTime wall = wallTime(now);
    const qint64 nowMs = now.toMSecsSinceEpoch();
    // At start, or back from off or held: the current minute alone.
    QDateTime from = wall;
    if (m_checked && nowMs < m_lastCheckMs) {
        // Set back, not an hour repeated: the record of what ran keeps it
        // from running again.
        log(QStringLiteral("the clock went back from %1 to %2")
                .arg(QDateTime::fromMSecsSinceEpoch(m_lastCheckMs).toString(kSecondFormat), now.toString(kSecondFormat)));
        m_seenWall = wall;
    } else if (m_checked) {
        from = m_seenWall;
    }
    // Nothing is due more than a day back.
    if (from.date() < wall.date().addDays(-1))
        from = QDateTime(wall.date().addDays(-1), QTime(0, 0), QTimeZone::UTC);
    // After a long stall (or the clock set ahead) only what is due within
    // the limit still runs; the rest is told.
    const QDateTime limit = wallTime(now.addSecs(-kLateLimitSecs));
    if (m_checked && nowMs - m_lastCheckMs > kLateLimitSecs * 1000LL && limit > from) {
        QDateTime kept(limit.date(), QTime(limit.time().hour(), limit.time().minute()), QTimeZone::UTC);
        if (kept < limit)
            kept = kept.addSecs(60);
        const QDateTime lastDropped = kept.addSecs(-60);
        tellDropped({from.date(), minuteOfDay(from.time()), lastDropped.date(), minuteOfDay(lastDropped.time())},
                    m_seenWall, wall, kept.time());
        from = kept;
    }
    if (!m_checked || wall > m_seenWall)
        m_seenWall = wall;
    m_lastCheckMs = nowMs;
    m_checked = true;
    // A clock that repeats an hour gives an empty span until it passes
    // what it showed before.
    return {from.date(), minuteOfDay(from.time()), wall.date(), minuteOfDay(wall.time())};
}

void EventScheduler::tellDropped(const Span& dropped, const QDateTime& lastSeen, const QDateTime& wall,
                                 const QTime& firstKept) const
{
    // What ran before the clock went back, and comes round again, is no
    // event left out.
    QList<Due> due = dueIn(dropped);
    due.removeIf([this](const Due& d) {
        return m_fired->contains(d.day, firingKey(d.index, m_events.at(d.index), d.minute));
    });
    QStringList names;
    for (qsizetype i = 0; i < due.size() && i < 5; ++i)
        names << m_events.at(due.at(i).index).name;
    if (due.size() > names.size())
        names << QStringLiteral("...");
    QString text = QStringLiteral("no check ran between %1 and %2")
                       .arg(lastSeen.toString(kSecondFormat), wall.toString(kSecondFormat));
    if (!due.isEmpty())
        text += QStringLiteral("; %1 event(s) due before %2 are not run: %3")
                    .arg(due.size())
                    .arg(firstKept.toString(QStringLiteral("HH:mm")), names.join(QStringLiteral(", ")));
    log(text);
}

QList<EventScheduler::Due> EventScheduler::dueIn(const Span& span) const
{
    QList<Due> due;
    if (span.fromDay.isNull() || std::tie(span.fromDay, span.fromMinute) > std::tie(span.toDay, span.toMinute))
        return due;
    const bool oneDay = span.fromDay == span.toDay;
    for (qsizetype i = 0; i < m_events.size(); ++i) {
        const ScheduledEvent& e = m_events.at(i);
        if (!e.enabled || !e.time.isValid())
            continue;
        const int m = minuteOfDay(e.time);
        const bool onFirst = m >= span.fromMinute && (!oneDay || m <= span.toMinute);
        const bool onLast = !oneDay && m <= span.toMinute;
        if (!onFirst && !onLast)
            continue;
        // An event started by DTMF tones is run by the DTMF logic around its
        // time; firing it at its minute as well would run it twice.
        if (!e.dtmfStart.trimmed().isEmpty())
            continue;
        if (onFirst && occursOn(e, span.fromDay))
            due.append({span.fromDay, m, i});
        if (onLast && occursOn(e, span.toDay))
            due.append({span.toDay, m, i});
    }
    // In the order their minutes came, events of one minute in list order.
    if (!oneDay || span.fromMinute != span.toMinute)
        std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
            return std::tie(a.day, a.minute, a.index) < std::tie(b.day, b.minute, b.index);
        });
    return due;
}

bool EventScheduler::markFired(qsizetype index, const ScheduledEvent& e, const QDate& day, const QTime& minute)
{
    const QString key = firingKey(index, e, minute.hour() * 60 + minute.minute());
    // Written before the event runs: a restart in the same minute, or in the
    // hour the clock repeats, must not run it again.
    QString problem;
    if (!m_fired->insert(day, key, &problem))
        return false;
    if (!problem.isEmpty() && !m_recordFailed)
        log(QStringLiteral("could not note the events run (%1); a restart may run them again").arg(problem));
    m_recordFailed = !problem.isEmpty();
    return true;
}

bool EventScheduler::isDue(const ScheduledEvent& e, const QDateTime& now)
{
    if (!e.enabled || !e.time.isValid())
        return false;
    const QTime t = now.time();
    if (e.time.hour() != t.hour() || e.time.minute() != t.minute())
        return false;
    return occursOn(e, now.date());
}

bool EventScheduler::occursOn(const ScheduledEvent& e, const QDate& day)
{
    if (e.days.isEmpty())
        return !e.date.isValid() || e.date == day;
    return e.days.contains(day.dayOfWeek()) && (!e.date.isValid() || e.date <= day);
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
    listChanged();
}

void EventScheduler::addEvents(const QList<ScheduledEvent>& list)
{
    if (list.isEmpty())
        return;
    m_events.append(list);
    listChanged();
}

void EventScheduler::updateEvent(int index, const ScheduledEvent& e)
{
    if (index < 0 || index >= m_events.size())
        return;
    m_events[index] = e;
    listChanged();
}

void EventScheduler::removeEvent(int index)
{
    if (index < 0 || index >= m_events.size())
        return;
    m_events.removeAt(index);
    listChanged();
}

void EventScheduler::listChanged()
{
    ++m_generation;
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
    ++m_generation;
    const QString path = storagePath();
    // What ran is noted beside the list. An older version kept it in the
    // settings: taken over once, then no longer kept there.
    m_fired = std::make_unique<FiringRecord>(QFileInfo(path).absolutePath() + QStringLiteral("/events.fired"));
    const QVariant older = Setting::SchedulerFired.read();
    QString keptAside;
    const QString problem = m_fired->load(older.toStringList(), &keptAside);
    if (!keptAside.isEmpty())
        log(QStringLiteral("the record of events run was damaged: %1; what could be read of it is kept").arg(keptAside));
    if (!problem.isEmpty())
        log(QStringLiteral("could not read or note the events run (%1); a restart may run them again").arg(problem));
    m_recordFailed = !problem.isEmpty();
    if (problem.isEmpty() && older.isValid())
        Setting::SchedulerFired.remove();

    // Opened by the gate: a FIFO or a device would hold the start in open(),
    // and a runaway file would swamp it. Such a file is taken as a damaged
    // one; one that cannot be read is told as such below.
    if (!QFileInfo::exists(path))
        return;
    QString refused;
    const std::unique_ptr<QFile> file = PathGate::openForReading(path, PathGate::Kind::StoredData, refused);
    if (!file && QFileInfo(path).isReadable()) {
        log(QStringLiteral("the events file %1 does not hold a list of events (%2); starting with an empty list")
                .arg(path, refused));
        // Set aside at once, as the saved playlists are: left in place it
        // would be met again at every start.
        m_unreadFile = !keepUnreadFileAside(path);
        emit changed();
        return;
    }
    if (!file) {
        // A file that exists but cannot be read must not be written over.
        m_unreadFile = true;
        log(QStringLiteral("could not read the events file %1: %2").arg(path, refused));
        return;
    }
    QJsonParseError error;
    // No more than was there when it was opened.
    const QJsonDocument doc = QJsonDocument::fromJson(file->read(file->size()), &error);
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
    listChanged();
}

bool EventScheduler::saveToFile(const QString& path) const
{
    return writeList(path);
}

bool EventScheduler::loadFromFile(const QString& path)
{
    QString refused;
    const std::unique_ptr<QFile> file = PathGate::openForReading(path, PathGate::Kind::StoredData, refused);
    if (!file) {
        log(QStringLiteral("could not open %1 for import (%2)").arg(path, refused));
        return false;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file->read(file->size()), &error);
    if (!doc.isArray() || !holdsEvents(doc.array())) {
        // Importing an empty list from a damaged file would wipe the schedule.
        log(QStringLiteral("import refused: %1 does not hold a list of events").arg(path));
        return false;
    }
    m_events = eventsFromArray(doc.array());
    listChanged();
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
