#pragma once

#include "scheduledevent.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class FiringRecord;
class QTimer;

// The clock of unattended operation: owns the station's list of timed
// events (kept in events.json, rewritten whole after every change) and,
// once a second, fires each event whose minute has come since the check
// before: on time, or late when that check came late or the clock skipped
// ahead (a change to summer time), once each however the clock runs.
class EventScheduler : public QObject
{
    Q_OBJECT

public:
    // Minutes around an event's time in which its DTMF start is awaited.
    struct DtmfWindow
    {
        int beforeMin = 5;
        int afterMin = 5;
    };

    // Answers of decideDtmf.
    enum DtmfDecision {
        DtmfNone = 0,     // no start sequence
        DtmfListen = 1,   // inside the window, not heard yet
        DtmfStart = 2,    // inside the window, heard
        DtmfRunAnyway = 3, // window over without the sequence
        DtmfSkip = 4,     // window over, the event is DTMF-only
        DtmfOutside = 5,  // before the window, or long after it
    };

    using Clock = std::function<QDateTime()>;

    // How late a check may come for the events it passed to still run.
    static constexpr int kLateLimitSecs = 10 * 60;

    explicit EventScheduler(QObject* parent = nullptr);
    ~EventScheduler() override;

    // The time the once-a-second check uses; the local time unless replaced.
    void setClock(Clock clock);
    QDateTime currentTime() const;

    void setActive(bool on);
    bool isActive() const;
    void setManual(bool on);
    bool isManual() const;

    void checkNow(const QDateTime& now);
    // Records that the occurrence of the event at `index` in the minute given
    // on that day has been run (or skipped); false when it already was. A
    // scheduler whose list was loaded from the events file keeps the record
    // where a restart finds it.
    bool markFired(qsizetype index, const ScheduledEvent& e, const QDate& day, const QTime& minute);
    static bool isDue(const ScheduledEvent& e, const QDateTime& now);
    // Whether the event's days and date let it occur on that day.
    static bool occursOn(const ScheduledEvent& e, const QDate& day);
    static QDateTime nextOccurrence(const ScheduledEvent& e, const QDateTime& from);
    ScheduledEvent nextUpcoming(const QDateTime& from, QDateTime* when) const;
    static int decideDtmf(const ScheduledEvent& e, const QDateTime& scheduled, const QDateTime& now,
                          const QString& heard, const DtmfWindow& window);

    void addEvent(const ScheduledEvent& e);
    // Many at once: one write of the file and one changed() for all.
    void addEvents(const QList<ScheduledEvent>& list);
    void updateEvent(int index, const ScheduledEvent& e);
    void removeEvent(int index);

    const QList<ScheduledEvent>& events() const;

    static QString storagePath();

    void load();
    void save() const;
    void setEvents(const QList<ScheduledEvent>& list);

    // False when the file could not be written (logged).
    bool saveToFile(const QString& path) const;
    bool loadFromFile(const QString& path);

signals:
    void fired(const ScheduledEvent& e);
    void changed();
    // The on/off or manual switch changed.
    void stateChanged();
    void logMessage(const QString& text);

private:
    // Wall-clock minutes, both ends included, as the clock showed them.
    struct Span
    {
        QDate fromDay;
        int fromMinute = 0;
        QDate toDay;
        int toMinute = -1;
    };
    struct Due
    {
        QDate day;
        int minute;
        qsizetype index;
    };

    Span passedSpan(const QDateTime& now);
    // One line for the events a stall went past beyond the limit.
    void tellDropped(const Span& dropped, const QDateTime& lastSeen, const QDateTime& wall,
                     const QTime& firstKept) const;
    QList<Due> dueIn(const Span& span) const;
    void listChanged();
    bool writeList(const QString& path) const;
    bool keepUnreadFileAside(const QString& path) const;
    void log(const QString& text) const;

    QList<ScheduledEvent> m_events;
    QTimer* m_timer = nullptr;
    Clock m_clock;
    bool m_active = true;
    bool m_manual = false;
    // Events fired on the newest days, keyed by the minute and the
    // firing key, so that the hour repeated when the clock falls back, a
    // late check and a restart fire nothing twice.
    std::unique_ptr<FiringRecord> m_fired;
    bool m_recordFailed = false;
    // The latest wall-clock time a check has seen (held while the clock
    // repeats an hour) and when, by the clock's own count, that check ran.
    // Unset at start and after the scheduler was off or held.
    QDateTime m_seenWall;
    qint64 m_lastCheckMs = 0;
    bool m_checked = false;
    // Counts changes of the list, for a check whose receiver changed it.
    quint64 m_generation = 0;
    // Set when load() found a file it could not read as a list: that file
    // is moved aside before anything is written over it.
    mutable bool m_unreadFile = false;
};
