#pragma once

#include "scheduledevent.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

class QTimer;

// The clock of unattended operation: owns the station's list of timed
// events (kept in events.json, rewritten whole after every change) and,
// once a second, fires each event that is due in the current minute.
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

    explicit EventScheduler(QObject* parent = nullptr);

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
    bool writeList(const QString& path) const;
    bool keepUnreadFileAside(const QString& path) const;
    void log(const QString& text) const;

    QList<ScheduledEvent> m_events;
    QTimer* m_timer = nullptr;
    Clock m_clock;
    bool m_active = true;
    bool m_manual = false;
    // Events fired today, keyed by wall-clock minute and firing key, so that
    // the hour repeated when the clock falls back fires nothing twice.
    QDate m_firedDate;
    QSet<QString> m_firedKeys;
    bool m_keepFired = false;
    // Set when load() found a file it could not read as a list: that file
    // is moved aside before anything is written over it.
    mutable bool m_unreadFile = false;
};
