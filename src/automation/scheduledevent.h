#pragma once

#include <QDate>
#include <QJsonObject>
#include <QMetaType>
#include <QSet>
#include <QString>
#include <QTime>

// One timed job of the station. Its position in the scheduler's list is its
// identity; two events may be equal in every field.
struct ScheduledEvent
{
    QString name;
    QString action;          // a command line, "mic"/"linein"[:duration], a stream address or a file
    QTime time{0, 0};        // only hours and minutes decide the firing minute
    QSet<int> days;          // 1 = Monday .. 7 = Sunday; empty = not bound to weekdays
    QDate date;              // one-off date, or with days the first date of the repetition
    bool enabled = true;
    int insertMode = 0;      // 0 after the row on air, 1 at the end, 2 in place of the playlist
    bool startPlayback = false;
    QString dtmfStart;       // comma-separated sequences; blank = not started by DTMF
    QString dtmfEnd;
    bool dtmfOnly = false;

    static ScheduledEvent fromJson(const QJsonObject& o);
    QJsonObject toJson() const;
    QString daysString() const;

    bool operator==(const ScheduledEvent&) const = default;
};

Q_DECLARE_METATYPE(ScheduledEvent)
