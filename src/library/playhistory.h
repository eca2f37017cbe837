#pragma once

#include "track.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

class QSqlDatabase;

// The station's play log in the library database: one row per item that
// went on air. Logging a play also counts it in the music library.
class PlayHistory
{
public:
    struct Record
    {
        QDateTime playedAt;
        QString artist;
        QString title;
        QString filepath;
        qint64 durationMs = 0;
    };

    struct Count
    {
        QString artist;
        QString title;
        int plays = 0;
        qint64 totalMs = 0;
    };

    static void ensureSchema();
    static void logPlay(const Track& track);
    // Counts and logs one play at the given time on the given connection,
    // all or nothing; false when the database refused it (a lock held).
    static bool writePlay(QSqlDatabase& db, const Track& track, const QDateTime& when);
    // Both bounds inclusive, to the second; oldest first.
    static QList<Record> range(const QDateTime& from, const QDateTime& to);
    // Most played first, ties by artist.
    static QList<Count> counts(const QDateTime& from, const QDateTime& to);
    // The same rows one at a time on a connection of the caller's thread;
    // take returns false to stop early. False when the query failed.
    static bool eachInRange(const QSqlDatabase& db, const QDateTime& from, const QDateTime& to,
                            const std::function<bool(const Record&)>& take);
    static bool eachCount(const QSqlDatabase& db, const QDateTime& from, const QDateTime& to,
                          const std::function<bool(const Count&)>& take);
    static void clear();
    static int totalCount();
};
