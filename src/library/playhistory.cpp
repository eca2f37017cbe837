#include "playhistory.h"

#include "localtimereader.h"
#include "musiclibrary.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

bool s_ready = false;

const QString kCreateTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS play_history( id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "played_at TEXT, artist TEXT, title TEXT, filepath TEXT, duration_ms INTEGER DEFAULT 0)");

QSqlDatabase histDb()
{
    return MusicLibrary::database();
}

bool usable(const QSqlDatabase& db)
{
    return db.isValid() && db.isOpen();
}

// Every writer and every bound uses this form, so that range queries can
// compare the text: date, 'T', time to the second, no zone.
QString isoSeconds(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

bool insertPlay(QSqlQuery& q, const Track& track, const QDateTime& when)
{
    if (!q.prepare(QStringLiteral(
            "INSERT INTO play_history(played_at,artist,title,filepath,duration_ms) VALUES(?,?,?,?,?)")))
        return false;
    q.addBindValue(isoSeconds(when));
    q.addBindValue(track.artist.isNull() ? QStringLiteral("") : track.artist);
    q.addBindValue(track.title.isEmpty() ? (track.filePath.isNull() ? QStringLiteral("") : track.filePath)
                                         : track.title);
    q.addBindValue(track.filePath.isNull() ? QStringLiteral("") : track.filePath);
    q.addBindValue(track.durationMs);
    return q.exec();
}

bool ready()
{
    if (!s_ready)
        PlayHistory::ensureSchema();
    return usable(histDb());
}

} // namespace

void PlayHistory::ensureSchema()
{
    QSqlDatabase db = histDb();
    if (!usable(db))
        return;
    QSqlQuery q(db);
    q.exec(kCreateTable);
    q.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS idx_hist_time ON play_history(played_at)"));
    s_ready = true;
}

void PlayHistory::logPlay(const Track& track)
{
    if (!usable(histDb()) || track.marker)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    if (!track.filePath.isEmpty() && !track.isStream)
        MusicLibrary::recordPlay(track.filePath, now);
    if (!ready())
        return;
    QSqlQuery q(histDb());
    insertPlay(q, track, now);
}

bool PlayHistory::writePlay(QSqlDatabase& db, const Track& track, const QDateTime& when)
{
    if (!usable(db))
        return false;
    if (track.marker)
        return true;
    QSqlQuery q(db);
    // The count and the log line go in together, so that a retry after a
    // refused write counts the play once.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        MusicLibrary::noteWriteError(q.lastError());
        return false;
    }
    bool ok = q.exec(kCreateTable);
    if (ok && !track.filePath.isEmpty() && !track.isStream) {
        ok = q.prepare(QStringLiteral("UPDATE tracks SET play_count = play_count + 1, last_played = ? WHERE filepath = ?"));
        q.addBindValue(when.toString(Qt::ISODate));
        q.addBindValue(track.filePath);
        ok = ok && q.exec();
    }
    ok = ok && insertPlay(q, track, when);
    MusicLibrary::noteWriteError(q.lastError());
    q.finish();
    if (ok && db.commit())
        return true;
    if (ok)
        MusicLibrary::noteWriteError(db.lastError());
    db.rollback();
    return false;
}

QList<PlayHistory::Record> PlayHistory::range(const QDateTime& from, const QDateTime& to)
{
    QList<Record> out;
    if (ready())
        eachInRange(histDb(), from, to, [&out](const Record& r) {
            out.append(r);
            return true;
        });
    return out;
}

QList<PlayHistory::Count> PlayHistory::counts(const QDateTime& from, const QDateTime& to)
{
    QList<Count> out;
    if (ready())
        eachCount(histDb(), from, to, [&out](const Count& c) {
            out.append(c);
            return true;
        });
    return out;
}

bool PlayHistory::eachInRange(const QSqlDatabase& db, const QDateTime& from, const QDateTime& to,
                              const std::function<bool(const Record&)>& take)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT played_at,artist,title,filepath,duration_ms FROM play_history "
                             "WHERE played_at BETWEEN ? AND ? ORDER BY played_at"));
    q.addBindValue(isoSeconds(from));
    q.addBindValue(isoSeconds(to));
    if (!q.exec())
        return false;
    LocalTimeReader times;
    Record r;
    while (q.next()) {
        r.playedAt = times.read(q.value(0).toString());
        r.artist = q.value(1).toString();
        r.title = q.value(2).toString();
        r.filepath = q.value(3).toString();
        r.durationMs = q.value(4).toLongLong();
        if (!take(r))
            break;
    }
    return true;
}

bool PlayHistory::eachCount(const QSqlDatabase& db, const QDateTime& from, const QDateTime& to,
                            const std::function<bool(const Count&)>& take)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT artist,title,COUNT(*),COALESCE(SUM(duration_ms),0) FROM play_history "
                             "WHERE played_at BETWEEN ? AND ? GROUP BY artist,title "
                             "ORDER BY COUNT(*) DESC, artist"));
    q.addBindValue(isoSeconds(from));
    q.addBindValue(isoSeconds(to));
    if (!q.exec())
        return false;
    Count c;
    while (q.next()) {
        c.artist = q.value(0).toString();
        c.title = q.value(1).toString();
        c.plays = q.value(2).toInt();
        c.totalMs = q.value(3).toLongLong();
        if (!take(c))
            break;
    }
    return true;
}

void PlayHistory::clear()
{
    QSqlDatabase db = histDb();
    if (!usable(db))
        return;
    QSqlQuery q(db);
    q.exec(QStringLiteral("DELETE FROM play_history"));
}

int PlayHistory::totalCount()
{
    if (!ready())
        return 0;
    QSqlQuery q(histDb());
    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM play_history")) && q.next())
        return q.value(0).toInt();
    return 0;
}
