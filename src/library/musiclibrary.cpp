#include "musiclibrary.h"

#include "trackparams.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

bool MusicLibrary::s_ftsAvailable = false;

namespace {

const QString kConnectionName = QStringLiteral("ol_library");

const QString kFtsColumns = QStringLiteral("artist,title,album,genre,comment,filename,year,duration_str");
const QString kFtsNew = QStringLiteral(
    "new.artist,new.title,new.album,new.genre,new.comment,new.filename,new.year,new.duration_str");
const QString kFtsOld = QStringLiteral(
    "old.artist,old.title,old.album,old.genre,old.comment,old.filename,old.year,old.duration_str");

QString configFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString dataFolder()
{
    const QString config = configFolder();
    return config.isEmpty() ? QDir::homePath() + QStringLiteral("/.orchidlantern") : config;
}

// The text after the last folder separator of a path or address.
QString fileNamePart(const QString& path)
{
    const qsizetype sep = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(sep + 1);
}

QString nowIso()
{
    return QDateTime::currentDateTime().toString(Qt::ISODate);
}

bool exec(QSqlQuery& q, const QString& sql)
{
    return q.exec(sql);
}

// Empty texts are stored as '' rather than NULL, so that LIKE and the
// full-text index see them as text.
QString text(const QString& s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

// The column names of tracks, in table order.
QStringList trackColumns(QSqlQuery& q)
{
    QStringList names;
    if (q.exec(QStringLiteral("PRAGMA table_info(tracks)"))) {
        while (q.next())
            names << q.value(1).toString();
    }
    return names;
}

} // namespace

QSqlDatabase MusicLibrary::database()
{
    if (QSqlDatabase::contains(kConnectionName)) {
        QSqlDatabase db = QSqlDatabase::database(kConnectionName, false);
        if (!db.isOpen())
            db.open();
        return db;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kConnectionName);
    const QString folder = dataFolder();
    QDir().mkpath(folder);
    db.setDatabaseName(folder + QStringLiteral("/library.db"));
    db.open();
    return db;
}

bool MusicLibrary::initDatabase()
{
    QSqlDatabase db = database();
    if (!db.isOpen())
        return false;
    ensureSchema();
    TrackParams::ensureSchema();
    migrateFromJson();
    return true;
}

void MusicLibrary::ensureSchema()
{
    QSqlDatabase db = database();
    QSqlQuery q(db);

    exec(q, QStringLiteral("PRAGMA journal_mode=WAL"));
    exec(q, QStringLiteral("CREATE TABLE IF NOT EXISTS libraries(name TEXT PRIMARY KEY)"));
    exec(q, QStringLiteral(
        "CREATE TABLE IF NOT EXISTS tracks( id INTEGER PRIMARY KEY AUTOINCREMENT, library TEXT NOT NULL, "
        "filepath TEXT, filename TEXT DEFAULT '', artist TEXT, title TEXT, album TEXT, genre TEXT, "
        "comment TEXT, year INTEGER DEFAULT 0, duration_ms INTEGER DEFAULT 0, duration_str TEXT DEFAULT '', "
        "play_count INTEGER DEFAULT 0, last_played TEXT DEFAULT '', date_added TEXT DEFAULT '', "
        "category TEXT DEFAULT 'Foreign', is_stream INTEGER DEFAULT 0, stream_limit_ms INTEGER DEFAULT 0)"));
    exec(q, QStringLiteral("CREATE INDEX IF NOT EXISTS idx_tracks_lib ON tracks(library)"));
    exec(q, QStringLiteral("CREATE INDEX IF NOT EXISTS idx_tracks_artist ON tracks(library, artist)"));
    exec(q, QStringLiteral("CREATE INDEX IF NOT EXISTS idx_tracks_title ON tracks(library, title)"));

    const QStringList columns = trackColumns(q);
    const bool hasDurationStr = columns.contains(QStringLiteral("duration_str"));
    const bool hasFilename = columns.contains(QStringLiteral("filename"));

    if (!hasDurationStr) {
        exec(q, QStringLiteral("ALTER TABLE tracks ADD COLUMN duration_str TEXT DEFAULT ''"));
        exec(q, QStringLiteral(
            "UPDATE tracks SET duration_str = printf('%d:%02d', duration_ms/60000, (duration_ms/1000)%60)"));
    }

    if (!trackColumns(q).contains(QStringLiteral("play_count"))) {
        exec(q, QStringLiteral("ALTER TABLE tracks ADD COLUMN play_count INTEGER DEFAULT 0"));
        exec(q, QStringLiteral("ALTER TABLE tracks ADD COLUMN last_played TEXT DEFAULT ''"));
        exec(q, QStringLiteral("ALTER TABLE tracks ADD COLUMN date_added TEXT DEFAULT ''"));
        q.prepare(QStringLiteral("UPDATE tracks SET date_added=? WHERE date_added=''"));
        q.addBindValue(nowIso());
        q.exec();
    }

    if (!hasFilename) {
        exec(q, QStringLiteral("ALTER TABLE tracks ADD COLUMN filename TEXT DEFAULT ''"));
        QList<QPair<qint64, QString>> rows;
        if (q.exec(QStringLiteral("SELECT id, filepath FROM tracks"))) {
            while (q.next())
                rows.append({q.value(0).toLongLong(), q.value(1).toString()});
        }
        db.transaction();
        QSqlQuery upd(db);
        upd.prepare(QStringLiteral("UPDATE tracks SET filename=? WHERE id=?"));
        for (const auto& [id, path] : rows) {
            upd.addBindValue(text(fileNamePart(path)));
            upd.addBindValue(id);
            upd.exec();
        }
        db.commit();
    }

    int version = 0;
    if (q.exec(QStringLiteral("PRAGMA user_version")) && q.next())
        version = q.value(0).toInt();
    const bool outdated = version < 3;
    if (outdated) {
        exec(q, QStringLiteral("DROP TRIGGER IF EXISTS tracks_ai"));
        exec(q, QStringLiteral("DROP TRIGGER IF EXISTS tracks_ad"));
        exec(q, QStringLiteral("DROP TRIGGER IF EXISTS tracks_au"));
        exec(q, QStringLiteral("DROP TABLE IF EXISTS tracks_fts"));
    }

    s_ftsAvailable = exec(q, QStringLiteral(
        "CREATE VIRTUAL TABLE IF NOT EXISTS tracks_fts USING fts5( artist, title, album, genre, comment, "
        "filename, year, duration_str, content='tracks', content_rowid='id')"));

    if (s_ftsAvailable) {
        exec(q, QStringLiteral("CREATE TRIGGER IF NOT EXISTS tracks_ai AFTER INSERT ON tracks BEGIN "
                               "INSERT INTO tracks_fts(rowid,%1) VALUES(new.id,%2); END")
                    .arg(kFtsColumns, kFtsNew));
        exec(q, QStringLiteral("CREATE TRIGGER IF NOT EXISTS tracks_ad AFTER DELETE ON tracks BEGIN "
                               "INSERT INTO tracks_fts(tracks_fts,rowid,%1) VALUES('delete',old.id,%2); END")
                    .arg(kFtsColumns, kFtsOld));
        exec(q, QStringLiteral("CREATE TRIGGER IF NOT EXISTS tracks_au AFTER UPDATE ON tracks BEGIN "
                               "INSERT INTO tracks_fts(tracks_fts,rowid,%1) VALUES('delete',old.id,%2); "
                               "INSERT INTO tracks_fts(rowid,%1) VALUES(new.id,%3); END")
                    .arg(kFtsColumns, kFtsOld, kFtsNew));
        if (outdated)
            exec(q, QStringLiteral("INSERT INTO tracks_fts(tracks_fts) VALUES('rebuild')"));
    }

    if (outdated)
        exec(q, QStringLiteral("PRAGMA user_version=%1").arg(3));
}

void MusicLibrary::migrateFromJson()
{
    QSqlQuery q(database());
    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM libraries")) && q.next() && q.value(0).toInt() > 0)
        return;

    const QDir dir(configFolder() + QStringLiteral("/libraries"));
    if (configFolder().isEmpty() || !dir.exists())
        return;

    const QFileInfoList files = dir.entryInfoList({QStringLiteral("*.json")}, QDir::Files);
    for (const QFileInfo& info : files) {
        QFile file(info.absoluteFilePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        // An empty name would file the tracks under a library that cannot
        // exist; such files are named after themselves like nameless ones.
        QString libName = root.value(QStringLiteral("name")).toString().trimmed();
        if (libName.isEmpty())
            libName = info.completeBaseName();

        createLibrary(libName);
        MusicLibrary lib;
        lib.load(libName);
        const QJsonArray items = root.value(QStringLiteral("tracks")).toArray();
        for (const QJsonValue& v : items) {
            const QJsonObject o = v.toObject();
            Track t;
            t.artist = o.value(QStringLiteral("artist")).toString();
            t.title = o.value(QStringLiteral("title")).toString();
            t.album = o.value(QStringLiteral("album")).toString();
            t.genre = o.value(QStringLiteral("genre")).toString();
            t.comment = o.value(QStringLiteral("comment")).toString();
            t.filePath = o.value(QStringLiteral("filePath")).toString();
            t.year = o.value(QStringLiteral("year")).toInt(0);
            t.durationMs = static_cast<qint64>(o.value(QStringLiteral("durationMs")).toDouble(0));
            t.category = o.value(QStringLiteral("category")).toString(QStringLiteral("Foreign"));
            t.isStream = o.value(QStringLiteral("isStream")).toBool(false);
            t.streamLimitMs = static_cast<qint64>(o.value(QStringLiteral("streamLimitMs")).toDouble(0));
            lib.addTrack(t);
        }
    }
}

bool MusicLibrary::createLibrary(const QString& libraryName)
{
    const QString n = libraryName.trimmed();
    if (n.isEmpty())
        return false;
    QSqlQuery q(database());
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO libraries(name) VALUES(?)"));
    q.addBindValue(n);
    return q.exec();
}

bool MusicLibrary::load(const QString& libraryName)
{
    folderMode = false;
    tracks.clear();
    name = libraryName.trimmed();
    createLibrary(name);
    return true;
}

void MusicLibrary::addTrack(const Track& t)
{
    if (folderMode) {
        tracks.append(t);
        return;
    }
    QSqlQuery q(database());
    q.prepare(QStringLiteral(
        "INSERT INTO tracks(library,filepath,filename,artist,title,album,genre,comment,year,duration_ms,"
        "duration_str,category,is_stream,stream_limit_ms,date_added) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
    q.addBindValue(text(name));
    q.addBindValue(text(t.filePath));
    q.addBindValue(t.isStream ? QStringLiteral("") : text(fileNamePart(t.filePath)));
    q.addBindValue(text(t.artist));
    q.addBindValue(text(t.title));
    q.addBindValue(text(t.album));
    q.addBindValue(text(t.genre));
    q.addBindValue(text(t.comment));
    q.addBindValue(t.year);
    q.addBindValue(t.durationMs);
    q.addBindValue(t.durationMs > 0 ? Track::formatDuration(t.durationMs) : QStringLiteral(""));
    q.addBindValue(text(t.category));
    q.addBindValue(t.isStream ? 1 : 0);
    q.addBindValue(t.streamLimitMs);
    q.addBindValue(nowIso());
    q.exec();
}
