#pragma once

#include "scheduledevent.h"

#include <QList>
#include <QObject>
#include <QString>

// Owns the station's list of timed events and keeps it in events.json,
// rewritten whole after every change.
class EventScheduler : public QObject
{
    Q_OBJECT

public:
    explicit EventScheduler(QObject* parent = nullptr);

    const QList<ScheduledEvent>& events() const;

    static QString storagePath();

    void load();
    void save() const;
    void setEvents(const QList<ScheduledEvent>& list);

    void saveToFile(const QString& path) const;
    bool loadFromFile(const QString& path);

signals:
    void changed();
    void logMessage(const QString& text);

private:
    bool writeList(const QString& path) const;
    bool keepUnreadFileAside(const QString& path) const;
    void log(const QString& text) const;

    QList<ScheduledEvent> m_events;
    // Set when load() found a file it could not read as a list: that file
    // is moved aside before anything is written over it.
    mutable bool m_unreadFile = false;
};
