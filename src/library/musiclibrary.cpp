#include "musiclibrary.h"

#include "audiofiles.h"
#include "heldreads.h"
#include "librarylock.h"
#include "localtimereader.h"
#include "ownconnection.h"
#include "readwatch.h"
#include "trackparams.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QVariant>
#include <QtConcurrent>

#include <algorithm>
#include <cmath>

#include <taglib/fileref.h>
#include <taglib/tag.h>

bool MusicLibrary::s_ftsAvailable = false;

QString MusicLibrary::fileNamePart(const QString& path)
{
    const qsizetype sep = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(sep + 1);
}

namespace {

Q_LOGGING_CATEGORY(lcLibrary, "orchidlantern.library")

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

QString databaseFile()
{
    const QString folder = dataFolder();
    QDir().mkpath(folder);
    return folder + QStringLiteral("/library.db");
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

// The columns a row of a search is read from (readRow), and the id that
// continues a listing; the rest only feeds the full-text index. A large
// answer is sorted and read whole, so every column left out counts.
const QString kSelectRow = QStringLiteral(
    "SELECT id, filepath, artist, title, album, genre, comment, category, year, play_count, duration_ms, "
    "stream_limit_ms, is_stream, last_played, date_added FROM tracks ");

const QString kOrder = QStringLiteral(" ORDER BY artist COLLATE NOCASE, title COLLATE NOCASE");

const QString kLikeAnyDatabase = QStringLiteral(
    "(artist LIKE ? OR title LIKE ? OR album LIKE ? OR genre LIKE ? OR comment LIKE ? OR filepath LIKE ? "
    "OR CAST(year AS TEXT) LIKE ? OR duration_str LIKE ?)");
const QString kLikeAnyFields = QStringLiteral(
    "(artist LIKE ? OR title LIKE ? OR album LIKE ? OR genre LIKE ? OR comment LIKE ? OR filename LIKE ? "
    "OR CAST(year AS TEXT) LIKE ? OR duration_str LIKE ?)");

const QRegularExpression& splitPattern()
{
    static const QRegularExpression re(QStringLiteral("[\\s:/\\\\._\\-,;]+"));
    return re;
}

const QRegularExpression& stripPattern()
{
    static const QRegularExpression re(QStringLiteral("[\"*()^]"));
    return re;
}

// A stored length in ms; a value no 64-bit number holds (a hand-edited file)
// counts as unknown.
qint64 msFromJson(const QJsonValue& v)
{
    const double d = v.toDouble(0);
    return std::isfinite(d) && std::abs(d) < 9.2e18 ? qint64(d) : 0;
}

thread_local QSqlError t_lastWriteError;

void logFailure(const char* what, const QSqlError& error)
{
    t_lastWriteError = error;
    qCWarning(lcLibrary).noquote() << what << "failed:" << error.text();
}

// The write lock is taken up front, so that a batch waits for the other
// program's write to end (busy time-out) instead of failing half-way. When
// it cannot be had the batch is given up at once: without it every row
// would wait out the time-out in turn.
bool beginWrite(QSqlDatabase& db, const char* what)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    logFailure(what, q.lastError());
    return false;
}

// Commits a batch whose statements all succeeded, else rolls it back, so
// that a batch is stored whole or not at all; true when it was stored.
bool endWrite(QSqlDatabase& db, bool ok, const char* what)
{
    if (ok && db.commit())
        return true;
    if (ok)
        logFailure(what, db.lastError());
    db.rollback();
    return false;
}

// Column positions of a result, looked up once per statement.
struct RowColumns
{
    int filepath, artist, title, album, genre, comment, category, year, playCount, durationMs, streamLimitMs,
        isStream, lastPlayed, dateAdded;

    explicit RowColumns(const QSqlRecord& rec)
        : filepath(rec.indexOf(QStringLiteral("filepath")))
        , artist(rec.indexOf(QStringLiteral("artist")))
        , title(rec.indexOf(QStringLiteral("title")))
        , album(rec.indexOf(QStringLiteral("album")))
        , genre(rec.indexOf(QStringLiteral("genre")))
        , comment(rec.indexOf(QStringLiteral("comment")))
        , category(rec.indexOf(QStringLiteral("category")))
        , year(rec.indexOf(QStringLiteral("year")))
        , playCount(rec.indexOf(QStringLiteral("play_count")))
        , durationMs(rec.indexOf(QStringLiteral("duration_ms")))
        , streamLimitMs(rec.indexOf(QStringLiteral("stream_limit_ms")))
        , isStream(rec.indexOf(QStringLiteral("is_stream")))
        , lastPlayed(rec.indexOf(QStringLiteral("last_played")))
        , dateAdded(rec.indexOf(QStringLiteral("date_added")))
    {
    }
};

// Parsing a local date-time is costly and rows added in one batch share
// their text, so each distinct text is parsed once per search.
class DateCache
{
public:
    QDateTime parse(const QString& iso)
    {
        if (iso.isEmpty())
            return {};
        auto it = m_seen.constFind(iso);
        if (it == m_seen.cend())
            it = m_seen.insert(iso, m_reader.read(iso));
        return *it;
    }

private:
    QHash<QString, QDateTime> m_seen;
    LocalTimeReader m_reader;
};

// Texts that repeat from row to row (an artist's tracks come together, a
// handful of genres and categories) share one string, so that a large
// answer keeps far fewer allocations alive: each one costs fresh memory.
class SharedText
{
public:
    QString share(QString text)
    {
        if (text.isEmpty())
            return text;
        const auto it = m_seen.constFind(text);
        if (it != m_seen.cend())
            return *it;
        if (m_seen.size() < kMaxShared)
            m_seen.insert(text);
        return text;
    }

private:
    static constexpr qsizetype kMaxShared = 16384;
    QSet<QString> m_seen;
};

struct RowCache
{
    DateCache dates;
    SharedText texts;
};

QString textAt(const QSqlQuery& q, int column)
{
    return q.value(column).value<QString>();
}

// Fills a row in place: a search may build hundreds of thousands of them.
void readRow(const QSqlQuery& q, const RowColumns& c, RowCache& cache, Track& t)
{
    t.filePath = textAt(q, c.filepath);
    t.artist = cache.texts.share(textAt(q, c.artist));
    t.title = textAt(q, c.title);
    t.album = cache.texts.share(textAt(q, c.album));
    t.genre = cache.texts.share(textAt(q, c.genre));
    t.comment = cache.texts.share(textAt(q, c.comment));
    t.category = cache.texts.share(textAt(q, c.category));
    t.year = q.value(c.year).toInt();
    t.playCount = q.value(c.playCount).toInt();
    t.durationMs = q.value(c.durationMs).toLongLong();
    t.streamLimitMs = q.value(c.streamLimitMs).toLongLong();
    t.isStream = q.value(c.isStream).toInt() != 0;
    t.lastPlayed = cache.dates.parse(textAt(q, c.lastPlayed));
    t.dateAdded = cache.dates.parse(textAt(q, c.dateAdded));
}

bool containsText(const QString& value, const QString& needle)
{
    return value.contains(needle, Qt::CaseInsensitive);
}

bool memoryAnyMatch(const Track& t, const QString& needle)
{
    return containsText(t.artist, needle) || containsText(t.title, needle) || containsText(t.album, needle)
        || containsText(t.genre, needle) || containsText(t.comment, needle)
        || containsText(QString::number(t.year), needle)
        || containsText(Track::formatDuration(t.durationMs), needle)
        || containsText(MusicLibrary::fileNamePart(t.filePath), needle);
}

// Sub-folders of a folder, sorted by name, each with its canonical path.
QList<QPair<QString, QString>> subFolders(const QString& folder)
{
    QList<QPair<QString, QString>> out;
    const QDir dir(folder);
    const QFileInfoList infos = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& info : infos)
        out.append({info.absoluteFilePath(), info.canonicalFilePath()});
    return out;
}


// Links may lead back into the tree; a folder already listed (by its
// canonical path) is not listed again, so loops end.
void listLevel(const QString& folder, bool recursive, QSet<QString>& visited, QStringList& out)
{
    out += AudioFiles::inFolder(folder);
    if (!recursive)
        return;
    for (const auto& [path, canonical] : subFolders(folder)) {
        if (canonical.isEmpty() || visited.contains(canonical))
            continue;
        visited.insert(canonical);
        listLevel(path, true, visited, out);
    }
}

const int s_queryType = [] {
    qRegisterMetaType<MusicLibrary::Query>("MusicLibrary::Query");
    return 0;
}();

const QString kInsertTrack = QStringLiteral(
    "INSERT INTO tracks(library,filepath,filename,artist,title,album,genre,comment,year,duration_ms,"
    "duration_str,category,is_stream,stream_limit_ms,date_added) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");

// Runs the prepared insert of one track; false when it was not stored.
bool insertTrack(QSqlQuery& q, const QString& library, const Track& t, const QString& added)
{
    q.addBindValue(text(library));
    q.addBindValue(text(t.filePath));
    q.addBindValue(t.isStream ? QStringLiteral("") : text(MusicLibrary::fileNamePart(t.filePath)));
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
    q.addBindValue(added);
    return q.exec();
}

QString fromTagLib(const TagLib::String& s)
{
    return QString::fromUtf8(s.toCString(true)).trimmed();
}

// Marks library.db as this program's ("OLDB").
constexpr int kApplicationId = 0x4F4C4442;

QString s_databaseProblem;

enum class DatabaseKind { Ours, Damaged, Foreign };

// Ours: marked so, or unmarked and holding nothing but our own tables (as
// every file before the mark was).
DatabaseKind inspectDatabase(const QSqlDatabase& db, QString* why)
{
    QSqlQuery q(db);
    // Only corruption condemns a file; a lock held too long or a failing
    // disk leaves it where it is.
    const auto failed = [&q, why] {
        // SQLite's extended codes (a damaged index is 779) share the low byte.
        const int code = q.lastError().nativeErrorCode().toInt() & 0xff;
        *why = q.lastError().databaseText();
        return code == 11 || code == 26 ? DatabaseKind::Damaged : DatabaseKind::Ours;
    };
    // Reading the header and the schema finds a file that is not a database
    // or was cut short, in constant time; a full integrity check would hold
    // up every start for as long as it takes to read the whole library.
    if (!q.exec(QStringLiteral("PRAGMA page_count")) || !q.next())
        return failed();
    if (!q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !q.next())
        return failed();
    if (!q.exec(QStringLiteral("PRAGMA application_id")) || !q.next())
        return failed();
    const int id = q.value(0).toInt();
    if (id == kApplicationId)
        return DatabaseKind::Ours;
    if (id != 0)
        return DatabaseKind::Foreign;
    static const QStringList ours{QStringLiteral("libraries"), QStringLiteral("tracks"),
                                  QStringLiteral("track_params"), QStringLiteral("play_history")};
    QStringList tables;
    if (q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite\\_%' "
                              "ESCAPE '\\' AND name NOT LIKE 'tracks\\_fts%' ESCAPE '\\'")))
        while (q.next())
            tables << q.value(0).toString();
    if (tables.isEmpty())
        return DatabaseKind::Ours;
    const bool onlyOurs = std::all_of(tables.cbegin(), tables.cend(), [](const QString& t) { return ours.contains(t); });
    return onlyOurs && tables.contains(QStringLiteral("libraries")) ? DatabaseKind::Ours : DatabaseKind::Foreign;
}

// The companions SQLite keeps beside a database, by name.
const char* const kCompanions[] = {"-wal", "-shm", "-journal"};

bool anyExists(const QString& file)
{
    // A link that leads nowhere holds its name too.
    const auto taken = [](const QString& name) {
        const QFileInfo info(name);
        return info.exists() || info.isSymLink();
    };
    if (taken(file))
        return true;
    for (const char* suffix : kCompanions)
        if (taken(file + QLatin1String(suffix)))
            return true;
    return false;
}

// Moves the file and its companions aside together, under a name that says
// when and that nothing has yet; nothing is moved when one of them cannot be.
QString setAside(const QString& file)
{
    const QString stamp = file + QStringLiteral(".unusable-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = stamp;
    for (int n = 2; anyExists(aside); ++n)
        aside = stamp + QStringLiteral("-%1").arg(n);
    QStringList moved;
    const auto move = [&](const QString& suffix) {
        // QFile::rename never replaces a file that exists.
        if (!QFile::rename(file + suffix, aside + suffix))
            return false;
        moved << suffix;
        return true;
    };
    bool ok = move(QString());
    for (const char* suffix : kCompanions)
        if (ok && QFileInfo::exists(file + QLatin1String(suffix)))
            ok = move(QLatin1String(suffix));
    if (ok)
        return aside;
    for (const QString& suffix : std::as_const(moved))
        QFile::rename(aside + suffix, file + suffix);
    return {};
}

void readFileTags(const QString& path, Track& track, bool withLength);

// Paths per statement when looking files up: below SQLite's limit on
// bound values (32 766), and as many as that allows, since without an
// index on the path each statement scans the whole table.
constexpr qsizetype kLookupBatch = 10000;

} // namespace

bool MusicLibrary::Query::isEmpty() const
{
    return any.isEmpty() && artist.isEmpty() && title.isEmpty() && album.isEmpty() && genre.isEmpty()
        && comment.isEmpty() && filename.isEmpty() && year.isEmpty() && duration.isEmpty();
}

namespace {

OwnConnection* s_shared = nullptr;
// database() is asked for before every query: the file system is looked at
// only now and then.
QElapsedTimer s_sinceFollowed;
constexpr int kFollowMs = 250;
constexpr int kLockWaitMs = 5000;
// The last look found library.db's lock held by another program.
bool s_lockSeenBusy = false;

} // namespace

void MusicLibrary::followDatabase()
{
    s_sinceFollowed.invalidate();
    database();
}

QSqlDatabase MusicLibrary::database()
{
    if (!s_shared || !QSqlDatabase::contains(kConnectionName)) {
        delete s_shared; // its connection was removed, or it never was
        s_shared = new OwnConnection(databaseFile(), kConnectionName);
        s_sinceFollowed.invalidate();
    }
    const bool due = !s_sinceFollowed.isValid() || s_sinceFollowed.elapsed() >= kFollowMs;
    // While another program holds library.db's lock, the calls find the
    // connection closed at once and look again only now and then: each
    // would otherwise wait for the lock on the caller's thread.
    if (due || (!s_shared->database().isOpen() && !s_lockSeenBusy)) {
        s_sinceFollowed.start();
        s_shared->setLockWait(s_lockSeenBusy ? 0 : kLockWaitMs);
        s_shared->open();
        s_lockSeenBusy = s_shared->lockBusy();
    }
    return s_shared->database();
}

QString MusicLibrary::databasePath()
{
    return databaseFile();
}

QString MusicLibrary::databaseProblem()
{
    return s_databaseProblem;
}

namespace {

constexpr int kClaimWaitMs = 10000;

// Looked at read-only: SQLite would roll a hot journal into a file it may
// write, and a read-only connection never checkpoints the journal into the
// file as it closes.
DatabaseKind inspectFile(const QString& file, QString* why)
{
    if (!QFileInfo::exists(file))
        return DatabaseKind::Ours;
    const QString name = QStringLiteral("ol_library_claim");
    DatabaseKind kind = DatabaseKind::Ours;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open())
            kind = inspectDatabase(db, why);
    }
    return kind;
}

bool markOurs(QSqlDatabase db)
{
    QSqlQuery q(db);
    return db.isOpen() && q.exec(QStringLiteral("PRAGMA application_id=%1").arg(kApplicationId));
}

} // namespace

// A file we cannot use is never changed: it goes aside whole, with its
// journal, and a fresh one takes its place, so that plays are recorded
// again. Called under the lock initDatabase holds.
bool MusicLibrary::claimDatabase()
{
    s_databaseProblem.clear();
    const QString file = databaseFile();
    QString why;
    const DatabaseKind kind = inspectFile(file, &why);
    // The connection of the look is closed only once the file is away.
    const auto closeLook = qScopeGuard([] { QSqlDatabase::removeDatabase(QStringLiteral("ol_library_claim")); });
    if (kind == DatabaseKind::Ours) {
        followDatabase();
        return markOurs(database());
    }
    const QString reason = kind == DatabaseKind::Damaged
        ? QStringLiteral("is damaged (%1)").arg(why.isEmpty() ? QStringLiteral("integrity check failed") : why)
        : QStringLiteral("was made by another program");
    const QString aside = setAside(file);
    if (aside.isEmpty()) {
        s_databaseProblem = QStringLiteral("The library database %1 %2 and could not be moved aside; the library "
                                           "and the play history are not available.")
                                .arg(QDir::toNativeSeparators(file), reason);
        return false;
    }
    s_databaseProblem = QStringLiteral("The library database %1 %2. It was kept unchanged as %3, and a new, empty "
                                       "library database was started.")
                            .arg(QDir::toNativeSeparators(file), reason, QDir::toNativeSeparators(aside));
    followDatabase();
    QSqlDatabase db = database();
    return markOurs(db) && QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
}

namespace {

bool prepareTables()
{
    MusicLibrary::ensureSchema();
    TrackParams::ensureSchema();
    MusicLibrary::migrateFromJson();
    return true;
}

// Nothing is moved without the lock; the air must not wait for it.
// problem: why the lock could not be had at all; empty when it was held.
bool useWithoutLooking(const QString& problem = {})
{
    if (!problem.isEmpty())
        qCWarning(lcLibrary).noquote() << problem + QStringLiteral(": library.db is used without looking at it");
    else
        qCWarning(lcLibrary).noquote() << "Another program held" << LibraryLock::fileFor(databaseFile()) << "for"
                                       << kClaimWaitMs / 1000 << "s: library.db is used without looking at it";
    MusicLibrary::followDatabase();
    return MusicLibrary::database().isOpen() && prepareTables();
}

} // namespace

// One program at a time looks at the file, sets it aside and makes its
// tables (LibraryLock): the other then finds a whole new file and uses it.
bool MusicLibrary::initDatabase()
{
    const LibraryLock lock(databaseFile(), LibraryLock::Mode::Exclusive, kClaimWaitMs);
    if (!lock.held())
        return useWithoutLooking(lock.problem());
    return claimDatabase() && prepareTables();
}

bool MusicLibrary::initDatabaseSoon(QObject* context, std::function<void()> done)
{
    // Why the lock cannot be had at all (not just now): waiting is no use.
    auto problem = std::make_shared<QString>();
    const auto tryNow = [problem] {
        const LibraryLock lock(databaseFile(), LibraryLock::Mode::Exclusive, 0);
        s_lockSeenBusy = !lock.held();
        *problem = lock.problem();
        if (lock.held() && claimDatabase())
            prepareTables();
        return lock.held();
    };
    if (tryNow())
        return true;
    if (!problem->isEmpty()) {
        useWithoutLooking(*problem);
        return true;
    }
    auto* timer = new QTimer(context);
    timer->setInterval(kFollowMs);
    auto since = std::make_shared<QElapsedTimer>();
    since->start();
    QObject::connect(timer, &QTimer::timeout, context, [timer, since, tryNow, problem, done = std::move(done)] {
        if (!tryNow()) {
            if (problem->isEmpty() && since->elapsed() < kClaimWaitMs)
                return;
            useWithoutLooking(*problem);
        }
        timer->stop();
        timer->deleteLater();
        if (done)
            done();
    });
    timer->start();
    return false;
}

void MusicLibrary::ensureSchema(const QString& connectionName)
{
    QSqlDatabase db = connectionName.isEmpty() ? database() : QSqlDatabase::database(connectionName);
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

    // The files still without a duration are looked for at every search
    // of the library window; this index holds only those.
    exec(q, QStringLiteral("CREATE INDEX IF NOT EXISTS idx_tracks_unmeasured ON tracks(library) "
                           "WHERE is_stream=0 AND duration_ms<=0"));
    // Every play counted looks its file up by path.
    exec(q, QStringLiteral("CREATE INDEX IF NOT EXISTS idx_tracks_filepath ON tracks(filepath)"));

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

    const bool fts = exec(q, QStringLiteral(
        "CREATE VIRTUAL TABLE IF NOT EXISTS tracks_fts USING fts5( artist, title, album, genre, comment, "
        "filename, year, duration_str, content='tracks', content_rowid='id')"));
    // The searches read it on the window's thread; a worker only makes the
    // schema of a file it moved to.
    if (db.connectionName() == kConnectionName)
        s_ftsAvailable = fts;

    if (fts) {
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

    // One transaction for the whole import: once any library exists it is
    // never run again, so a part of it must not be left behind.
    QSqlDatabase db = database();
    if (!beginWrite(db, "Importing the JSON libraries"))
        return;
    QSqlQuery insert(db);
    bool ok = insert.prepare(kInsertTrack);
    if (!ok)
        logFailure("Importing the JSON libraries", insert.lastError());
    const QFileInfoList files = dir.entryInfoList({QStringLiteral("*.json")}, QDir::Files);
    for (const QFileInfo& info : files) {
        if (!ok)
            break;
        QFile file(info.absoluteFilePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        // An empty name would file the tracks under a library that cannot
        // exist; such files are named after themselves like nameless ones.
        QString libName = root.value(QStringLiteral("name")).toString().trimmed();
        if (libName.isEmpty())
            libName = info.completeBaseName();

        if (!createLibrary(libName)) {
            qCWarning(lcLibrary).noquote() << "Importing the JSON libraries failed: cannot create" << libName;
            ok = false;
            break;
        }
        const QJsonArray items = root.value(QStringLiteral("tracks")).toArray();
        for (const QJsonValue& v : items) {
            if (!ok)
                break;
            const QJsonObject o = v.toObject();
            Track t;
            t.artist = o.value(QStringLiteral("artist")).toString();
            t.title = o.value(QStringLiteral("title")).toString();
            t.album = o.value(QStringLiteral("album")).toString();
            t.genre = o.value(QStringLiteral("genre")).toString();
            t.comment = o.value(QStringLiteral("comment")).toString();
            t.filePath = o.value(QStringLiteral("filePath")).toString();
            t.year = o.value(QStringLiteral("year")).toInt(0);
            t.durationMs = msFromJson(o.value(QStringLiteral("durationMs")));
            t.category = o.value(QStringLiteral("category")).toString(QStringLiteral("Foreign"));
            t.isStream = o.value(QStringLiteral("isStream")).toBool(false);
            t.streamLimitMs = msFromJson(o.value(QStringLiteral("streamLimitMs")));
            if (!insertTrack(insert, libName, t, nowIso())) {
                logFailure("Importing the JSON libraries", insert.lastError());
                ok = false;
            }
        }
    }
    endWrite(db, ok, "Importing the JSON libraries");
}

bool MusicLibrary::createLibrary(const QString& libraryName, const QString& connectionName)
{
    const QString n = libraryName.trimmed();
    if (n.isEmpty())
        return false;
    QSqlQuery q(connectionName.isEmpty() ? database() : QSqlDatabase::database(connectionName));
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO libraries(name) VALUES(?)"));
    q.addBindValue(n);
    if (q.exec())
        return true;
    logFailure("Creating a library", q.lastError());
    return false;
}

bool MusicLibrary::load(const QString& libraryName)
{
    folderMode = false;
    tracks.clear();
    name = libraryName.trimmed();
    // Selecting an existing library writes nothing: the window selects one
    // whenever its list is refilled.
    QSqlQuery q(connection());
    q.prepare(QStringLiteral("SELECT 1 FROM libraries WHERE name=?"));
    q.addBindValue(text(name));
    if (!q.exec() || !q.next())
        createLibrary(name, connectionName);
    return true;
}

bool MusicLibrary::addTrack(const Track& t)
{
    if (folderMode) {
        tracks.append(t);
        return true;
    }
    QSqlQuery q(connection());
    if (q.prepare(kInsertTrack) && insertTrack(q, name, t, nowIso()))
        return true;
    logFailure("Adding a track", q.lastError());
    return false;
}

bool MusicLibrary::deleteLibrary(const QString& libraryName, const QString& connectionName)
{
    // Both or neither: a library left without its tracks would look empty.
    QSqlDatabase db = connectionName.isEmpty() ? database() : QSqlDatabase::database(connectionName);
    if (!beginWrite(db, "Deleting a library"))
        return false;
    QSqlQuery q(db);
    q.prepare(QStringLiteral("DELETE FROM tracks WHERE library=?"));
    q.addBindValue(text(libraryName));
    bool ok = q.exec();
    if (ok) {
        q.prepare(QStringLiteral("DELETE FROM libraries WHERE name=?"));
        q.addBindValue(text(libraryName));
        ok = q.exec();
    }
    if (!ok)
        logFailure("Deleting a library", q.lastError());
    return endWrite(db, ok, "Deleting a library");
}

QStringList MusicLibrary::availableLibraries()
{
    QStringList names;
    QSqlQuery q(database());
    if (q.exec(QStringLiteral("SELECT name FROM libraries ORDER BY name COLLATE NOCASE"))) {
        while (q.next())
            names << q.value(0).toString();
    }
    return names;
}

void MusicLibrary::loadFolder(const QString& folder)
{
    folderMode = true;
    name = folder;
    tracks.clear();
    addFolder(folder, true);
}

int MusicLibrary::count() const
{
    if (folderMode)
        return int(tracks.size());
    QSqlQuery q(connection());
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE library=?"));
    q.addBindValue(text(name));
    if (q.exec() && q.next())
        return q.value(0).toInt();
    return 0;
}

qint64 MusicLibrary::totalDurationMs() const
{
    if (folderMode) {
        qint64 sum = 0;
        for (const Track& t : tracks)
            sum += t.durationMs;
        return sum;
    }
    QSqlQuery q(database());
    q.prepare(QStringLiteral("SELECT COALESCE(SUM(duration_ms),0) FROM tracks WHERE library=?"));
    q.addBindValue(text(name));
    if (q.exec() && q.next())
        return q.value(0).toLongLong();
    return 0;
}

bool MusicLibrary::clear()
{
    if (folderMode) {
        tracks.clear();
        return true;
    }
    QSqlQuery q(connection());
    q.prepare(QStringLiteral("DELETE FROM tracks WHERE library=?"));
    q.addBindValue(text(name));
    if (q.exec())
        return true;
    logFailure("Clearing a library", q.lastError());
    return false;
}

bool MusicLibrary::isAudioFile(const QString& path)
{
    return AudioFiles::hasAudioSuffix(fileNamePart(path));
}

QStringList MusicLibrary::listAudioFiles(const QString& folder, bool recursive)
{
    QStringList out;
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (canonical.isEmpty() || !QFileInfo(folder).isDir())
        return out;
    QSet<QString> visited{canonical};
    listLevel(folder, recursive, visited, out);
    return out;
}

bool MusicLibrary::readTags(const QString& path, Track& track)
{
    readFileTags(path, track, true);
    return true;
}

namespace {

// The tags (and, when asked, the length) of a file; the file name stands in
// for a missing title.
void readFileTags(const QString& path, Track& track, bool withLength)
{
    track.filePath = path;
    // Only regular files go to TagLib: opening a named pipe would wait for
    // a writer and hang the caller.
    const QByteArray name8 = path.toUtf8();
    TagLib::FileRef ref;
    if (QFileInfo(path).isFile())
        ref = TagLib::FileRef(name8.constData(), withLength, TagLib::AudioProperties::Average);
    if (!ref.isNull()) {
        if (const TagLib::Tag* tag = ref.tag()) {
            track.artist = fromTagLib(tag->artist());
            track.title = fromTagLib(tag->title());
            track.album = fromTagLib(tag->album());
            track.genre = fromTagLib(tag->genre());
            track.comment = fromTagLib(tag->comment());
            track.year = int(tag->year());
        }
        if (const TagLib::AudioProperties* props = ref.audioProperties())
            track.durationMs = props->lengthInMilliseconds();
    }
    if (track.title.isEmpty()) {
        const Track named = Track::fromFile(path);
        track.title = named.title;
        if (track.artist.isEmpty())
            track.artist = named.artist;
    }
}

} // namespace

QHash<QString, Track> MusicLibrary::firstRecords(const QStringList& paths, bool streams,
                                                const QString& connectionName)
{
    QHash<QString, Track> known;
    MusicLibrary reader;
    reader.connectionName = connectionName;
    const QStringList unique = QSet<QString>(paths.cbegin(), paths.cend()).values();
    for (qsizetype from = 0; from < unique.size(); from += kLookupBatch) {
        const QStringList batch = unique.mid(from, kLookupBatch);
        QVariantList params(batch.cbegin(), batch.cend());
        const QString marks = QStringLiteral("?,").repeated(batch.size()).chopped(1);
        const QList<Track> found = reader.runSearch(
            kSelectRow + QStringLiteral("WHERE is_stream=%1 AND filepath IN (%2) ORDER BY library "
                           "COLLATE NOCASE, artist COLLATE NOCASE, title COLLATE NOCASE")
                .arg(streams ? 1 : 0)
                .arg(marks),
            params);
        for (const Track& t : found) {
            if (!known.contains(t.filePath))
                known.insert(t.filePath, t);
        }
    }
    return known;
}

namespace {

// Thousands of tags read for a playlist must leave the cores to the window
// and the decks: half of them, below the others' priority.
int tagReaderCount()
{
    return std::max(2, QThread::idealThreadCount() / 2);
}

// Readers lent for those held in reads given up, at most.
constexpr int kReadersLent = 16;

// Never waited for at exit: a reader may be held for good in an open() on
// a share that hung, which nothing can cancel.
QThreadPool* tagReaders()
{
    static QThreadPool* const pool = [] {
        auto* made = new QThreadPool;
        made->setMaxThreadCount(tagReaderCount());
        made->setThreadPriority(QThread::LowPriority);
        return made;
    }();
    return pool;
}

} // namespace

QList<Track> MusicLibrary::rowsForFiles(const QStringList& paths, const QString& connectionName)
{
    // Library records first; the first record of a path wins.
    const QHash<QString, Track> known = firstRecords(paths, false, connectionName);

    // The others from their tags, read side by side: files on a network
    // share or a cold disk cost a seek each. Their lengths are left to the
    // duration scanner, which measures them exactly.
    QStringList untagged;
    for (const QString& path : paths) {
        if (!known.contains(path))
            untagged << path;
    }
    const QList<Track> tagged = QtConcurrent::blockingMapped<QList<Track>>(tagReaders(), untagged, [](const QString& path) {
        Track t;
        readFileTags(path, t, false);
        return t;
    });

    QList<Track> rows;
    rows.reserve(paths.size());
    qsizetype next = 0;
    for (const QString& path : paths)
        rows.append(known.contains(path) ? known.value(path) : tagged.at(next++));
    return rows;
}

void MusicLibrary::readRowTags(const QStringList& files, const QList<qsizetype>& rows,
                               const std::shared_ptr<ReadWatch>& watch)
{
    if (files.isEmpty())
        return;
    QThreadPool* pool = tagReaders();
    // Readers held by reads given up are made up for, as long as they are.
    const auto lend = [pool] { pool->setMaxThreadCount(tagReaderCount() + std::min(HeldReads::count(), kReadersLent)); };
    lend();
    struct Turns
    {
        std::atomic<qsizetype> next{0};
        std::atomic<qsizetype> left{0};
    };
    auto turns = std::make_shared<Turns>();
    turns->left = files.size();
    // A few readers take the files in turn: a list of 100 000 rows is not
    // 100 000 tasks.
    const int readers = int(std::min<qsizetype>(files.size(), tagReaderCount()));
    for (int r = 0; r < readers; ++r) {
        pool->start([files, rows, watch, turns] {
            for (qsizetype i; (i = turns->next++) < files.size();) {
                const QString& path = files.at(i);
                Track t;
                // Given up, or in a folder found hanging since: left as named.
                const bool read = !watch->givenUp() && HeldReads::hangingFolder(path).isEmpty();
                if (read) {
                    const ReadWatch::Read reading(watch.get(), path);
                    readFileTags(path, t, false);
                }
                --turns->left;
                watch->tagged(read ? rows.at(i) : -1, t);
            }
        });
    }
    while (turns->left > 0 && !watch->givenUp()) {
        watch->waitForAnswer(250);
        lend();
    }
}

Track MusicLibrary::scanFile(const QString& path)
{
    Track t;
    readTags(path, t);
    return t;
}

// Side by side, as a seek or a parse of one file need not wait for
// another's.
QFuture<Track> MusicLibrary::readTagsOf(const QStringList& paths)
{
    QStringList audio;
    for (const QString& path : paths) {
        if (MusicLibrary::isAudioFile(path))
            audio << path;
    }
    return QtConcurrent::mapped(std::move(audio), [](const QString& path) {
        Track t;
        MusicLibrary::readTags(path, t);
        return t;
    });
}

namespace {

// Stores a batch whole or not at all; the number stored.
int storeBatch(MusicLibrary& library, const QList<Track>& batch)
{
    if (batch.isEmpty())
        return 0;
    if (library.folderMode) {
        library.tracks += batch;
        return int(batch.size());
    }
    QSqlDatabase db = library.connection();
    if (!beginWrite(db, "Adding files"))
        return 0;
    QSqlQuery q(db);
    bool ok = true;
    if (!library.name.isEmpty()) {
        q.prepare(QStringLiteral("INSERT OR IGNORE INTO libraries(name) VALUES(?)"));
        q.addBindValue(library.name);
        ok = q.exec();
    }
    // One statement for the batch: preparing it per row costs a quarter
    // of the import time.
    ok = ok && q.prepare(kInsertTrack);
    const QString added = nowIso(); // a batch is added at one time
    for (qsizetype i = 0; ok && i < batch.size(); ++i)
        ok = insertTrack(q, library.name, batch.at(i), added);
    if (!ok)
        logFailure("Adding files", q.lastError());
    return endWrite(db, ok, "Adding files") ? int(batch.size()) : 0;
}

} // namespace

int MusicLibrary::addFiles(const QStringList& paths)
{
    // Tags are read before the write begins, so that the lock on the file
    // is held only for the inserts.
    return storeBatch(*this, readTagsOf(paths).results());
}

int MusicLibrary::addTracks(const QList<Track>& tracks)
{
    return storeBatch(*this, tracks);
}

int MusicLibrary::addFolder(const QString& folder, bool recursive)
{
    // The tags of the next files are read while the last are stored. A
    // batch spans folders: each write also updates the full-text index.
    constexpr qsizetype kBatch = 250;
    const QStringList files = listAudioFiles(folder, recursive);
    QFuture<Track> next = readTagsOf(files.mid(0, kBatch));
    int added = 0;
    for (qsizetype at = 0; at < files.size(); at += kBatch) {
        const QList<Track> batch = next.results();
        if (at + kBatch < files.size())
            next = readTagsOf(files.mid(at + kBatch, kBatch));
        added += storeBatch(*this, batch);
    }
    return added;
}

bool MusicLibrary::addStream(const QString& title, const QString& address)
{
    Track t;
    t.filePath = address.trimmed();
    t.title = title.trimmed();
    if (t.title.isEmpty())
        t.title = t.filePath;
    t.artist = QStringLiteral("Online stream");
    t.isStream = true;
    t.category = QStringLiteral("Foreign");
    return addTrack(t);
}

bool MusicLibrary::updateStream(const QString& oldAddress, const QString& title, const QString& newAddress)
{
    if (folderMode)
        return false;
    const QString address = newAddress.trimmed();
    QString newTitle = title.trimmed();
    if (newTitle.isEmpty())
        newTitle = address;
    QSqlQuery q(connection());
    q.prepare(QStringLiteral(
        "UPDATE tracks SET filepath=?, title=? WHERE library=? AND filepath=? AND is_stream=1"));
    q.addBindValue(text(address));
    q.addBindValue(text(newTitle));
    q.addBindValue(text(name));
    q.addBindValue(text(oldAddress));
    if (!q.exec()) {
        logFailure("Changing a stream", q.lastError());
        return false;
    }
    return q.numRowsAffected() > 0;
}

int MusicLibrary::setDuration(const QString& path, qint64 ms)
{
    if (folderMode) {
        int changed = 0;
        for (Track& t : tracks) {
            if (!t.isStream && t.filePath == path) {
                t.durationMs = ms;
                ++changed;
            }
        }
        return changed;
    }
    QSqlQuery q(connection());
    q.prepare(QStringLiteral(
        "UPDATE tracks SET duration_ms=?, duration_str=? WHERE library=? AND filepath=? AND is_stream=0"));
    q.addBindValue(ms);
    q.addBindValue(Track::formatDuration(ms));
    q.addBindValue(text(name));
    q.addBindValue(text(path));
    if (!q.exec()) {
        logFailure("Storing a duration", q.lastError());
        return 0;
    }
    return q.numRowsAffected();
}

std::optional<QStringList> MusicLibrary::storedFiles() const
{
    QSqlQuery q(connection());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT filepath FROM tracks WHERE library=? AND is_stream=0"));
    q.addBindValue(text(name));
    if (!q.exec())
        return std::nullopt;
    QStringList out;
    while (q.next())
        out << q.value(0).toString();
    return out;
}

QStringList MusicLibrary::unmeasuredFiles() const
{
    QStringList out;
    if (folderMode) {
        for (const Track& t : tracks) {
            if (!t.isStream && t.durationMs <= 0 && !t.filePath.isEmpty())
                out << t.filePath;
        }
        return out;
    }
    QSqlQuery q(database());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT filepath FROM tracks WHERE library=? AND is_stream=0 AND duration_ms<=0 "
                             "AND filepath<>''")
              + kOrder);
    q.addBindValue(text(name));
    if (q.exec()) {
        while (q.next())
            out << q.value(0).toString();
    }
    return out;
}

void MusicLibrary::recordPlay(const QString& path, const QDateTime& when)
{
    if (path.isEmpty())
        return;
    QSqlQuery q(database());
    q.prepare(QStringLiteral(
        "UPDATE tracks SET play_count = play_count + 1, last_played = ? WHERE filepath = ?"));
    q.addBindValue(when.toString(Qt::ISODate));
    q.addBindValue(path);
    q.exec();
}

int MusicLibrary::removeMissing()
{
    QStringList gone;
    for (const Track& t : search(QString())) {
        if (!t.isStream && !t.filePath.isEmpty() && !QFileInfo::exists(t.filePath))
            gone << t.filePath;
    }
    if (gone.isEmpty())
        return 0;
    QSqlDatabase db = connection();
    if (!beginWrite(db, "Removing missing files"))
        return -1;
    QSqlQuery q(db);
    bool ok = q.prepare(QStringLiteral("DELETE FROM tracks WHERE library=? AND filepath=?"));
    for (qsizetype i = 0; ok && i < gone.size(); ++i) {
        q.addBindValue(text(name));
        q.addBindValue(gone.at(i));
        ok = q.exec();
    }
    if (!ok)
        logFailure("Removing missing files", q.lastError());
    return endWrite(db, ok, "Removing missing files") ? int(gone.size()) : -1;
}

QStringList MusicLibrary::ftsTerms(const QString& textIn, const QString& column)
{
    // Each word is a quoted string, so that apostrophes, plus signs and
    // capitals such as NOT or OR are searched for instead of read as query
    // syntax; the star after the quote keeps it a prefix search.
    QStringList terms;
    const QStringList words = textIn.split(splitPattern(), Qt::SkipEmptyParts);
    for (QString word : words) {
        word.remove(stripPattern());
        if (word.isEmpty())
            continue;
        word.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        QString term = QLatin1Char('"') + word + QStringLiteral("\"*");
        if (!column.isEmpty())
            term.prepend(column + QLatin1Char(':'));
        terms << term;
    }
    return terms;
}

QSqlDatabase MusicLibrary::connection() const
{
    return connectionName.isEmpty() ? database() : QSqlDatabase::database(connectionName);
}

QSqlError MusicLibrary::lastWriteError()
{
    return t_lastWriteError;
}

void MusicLibrary::noteWriteError(const QSqlError& error)
{
    t_lastWriteError = error;
}

QList<Track> MusicLibrary::runSearch(const QString& sql, const QVariantList& params, PageKey* last) const
{
    QList<Track> out;
    QSqlQuery q(connection());
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        return out;
    for (const QVariant& p : params)
        q.addBindValue(p);
    if (!q.exec())
        return out;
    const RowColumns columns(q.record());
    RowCache cache;
    const int idColumn = q.record().indexOf(QStringLiteral("id"));
    while (q.next()) {
        if (abandoned && (out.size() & 4095) == 4095 && abandoned()) {
            out.clear();
            break;
        }
        readRow(q, columns, cache, out.emplaceBack());
        if (last)
            *last = {q.value(columns.artist).toString(), q.value(columns.title).toString(), q.value(idColumn).toLongLong()};
    }
    return out;
}

QList<Track> MusicLibrary::searchPage(const Query& query, PageKey& after, int limit) const
{
    const Selection chosen = selectionOf(query);
    const QString order = QStringLiteral(" ORDER BY artist COLLATE NOCASE, title COLLATE NOCASE, id LIMIT ?");
    if (after.id <= 0)
        return runSearch(kSelectRow + QStringLiteral("WHERE ") + chosen.where + order, chosen.params + QVariantList{limit},
                         &after);
    return runSearch(kSelectRow + QStringLiteral("WHERE ") + chosen.where
                         + QStringLiteral(" AND (artist COLLATE NOCASE, title COLLATE NOCASE, id) > (?, ?, ?)") + order,
                     chosen.params + QVariantList{text(after.artist), text(after.title), after.id, limit}, &after);
}

int MusicLibrary::searchCount(const Query& query) const
{
    if (folderMode)
        return int(search(query).size());
    const Selection chosen = selectionOf(query);
    QSqlQuery q(connection());
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE ") + chosen.where);
    for (const QVariant& p : chosen.params)
        q.addBindValue(p);
    if (q.exec() && q.next())
        return q.value(0).toInt();
    return 0;
}

QList<MusicLibrary::File> MusicLibrary::listFiles() const
{
    QList<File> out;
    QSqlQuery q(connection());
    q.setForwardOnly(true);
    // The selection and order of search(QString()), so that rows comparing
    // equal come in the same order; streams are dropped here, not in SQL,
    // for the same reason.
    q.prepare(QStringLiteral("SELECT id, filepath, artist, title, album, genre, year, duration_ms, is_stream "
                             "FROM tracks WHERE library=?")
              + kOrder);
    q.addBindValue(text(name));
    if (!q.exec())
        return out;
    while (q.next()) {
        if (q.value(8).toInt() != 0)
            continue;
        File& t = out.emplace_back();
        t.id = q.value(0).toLongLong();
        t.filePath = q.value(1).toString();
        t.artist = q.value(2).toString();
        t.title = q.value(3).toString();
        t.album = q.value(4).toString();
        t.genre = q.value(5).toString();
        t.year = q.value(6).toInt();
        t.durationMs = q.value(7).toLongLong();
    }
    return out;
}

QHash<qint64, Track> MusicLibrary::recordsById(const QList<qint64>& ids) const
{
    QHash<qint64, Track> out;
    QSqlQuery q(connection());
    q.setForwardOnly(true);
    RowCache cache;
    for (qsizetype from = 0; from < ids.size(); from += kLookupBatch) {
        const QList<qint64> batch = ids.mid(from, kLookupBatch);
        q.prepare(kSelectRow + QStringLiteral("WHERE id IN (%1)")
                                   .arg(QStringLiteral("?,").repeated(batch.size()).chopped(1)));
        for (const qint64 id : batch)
            q.addBindValue(id);
        if (!q.exec())
            continue;
        const RowColumns columns(q.record());
        const int idColumn = q.record().indexOf(QStringLiteral("id"));
        while (q.next())
            readRow(q, columns, cache, out[q.value(idColumn).toLongLong()]);
    }
    return out;
}

QList<Track> MusicLibrary::search(const QString& textIn) const
{
    if (folderMode)
        return searchMemory(textIn);
    const QString trimmed = textIn.trimmed();
    const QString whole = kSelectRow + QStringLiteral("WHERE library=?") + kOrder;
    if (trimmed.isEmpty())
        return runSearch(whole, {text(name)});

    if (!s_ftsAvailable) {
        const QString pattern = QLatin1Char('%') + trimmed + QLatin1Char('%');
        QVariantList params{text(name)};
        for (int i = 0; i < 8; ++i)
            params << pattern;
        return runSearch(kSelectRow + QStringLiteral("WHERE library=? AND ") + kLikeAnyDatabase + kOrder,
                         params);
    }

    const QStringList terms = ftsTerms(trimmed);
    if (terms.isEmpty())
        return runSearch(whole, {text(name)});
    return runSearch(kSelectRow + QStringLiteral("t WHERE t.library=? AND t.id IN "
                                    "(SELECT rowid FROM tracks_fts WHERE tracks_fts MATCH ?) "
                                    "ORDER BY t.artist COLLATE NOCASE, t.title COLLATE NOCASE"),
                     {text(name), terms.join(QLatin1Char(' '))});
}

QList<Track> MusicLibrary::search(const Query& query) const
{
    if (query.isEmpty())
        return search(QString());

    if (folderMode) {
        QList<Track> out;
        for (const Track& t : tracks) {
            auto pass = [](const QString& needle, const QString& value) {
                return needle.isEmpty() || containsText(value, needle);
            };
            if (!query.any.isEmpty() && !memoryAnyMatch(t, query.any))
                continue;
            if (pass(query.artist, t.artist) && pass(query.title, t.title) && pass(query.album, t.album)
                && pass(query.genre, t.genre) && pass(query.comment, t.comment)
                && pass(query.filename, fileNamePart(t.filePath))
                && pass(query.year, QString::number(t.year))
                && pass(query.duration, Track::formatDuration(t.durationMs)))
                out.append(t);
        }
        return out;
    }

    const Selection chosen = selectionOf(query);
    return runSearch(kSelectRow + QStringLiteral("WHERE ") + chosen.where + kOrder, chosen.params);
}

MusicLibrary::Selection MusicLibrary::selectionOf(const Query& query) const
{
    Selection out{QStringLiteral("library=?"), {text(name)}};
    const QList<QPair<QString, QString>> fields = {
        {query.artist, QStringLiteral("artist")},   {query.title, QStringLiteral("title")},
        {query.album, QStringLiteral("album")},     {query.genre, QStringLiteral("genre")},
        {query.comment, QStringLiteral("comment")}, {query.filename, QStringLiteral("filename")},
        {query.year, QStringLiteral("year")},       {query.duration, QStringLiteral("duration_str")},
    };

    if (!s_ftsAvailable) {
        if (!query.any.isEmpty()) {
            out.where += QStringLiteral(" AND ") + kLikeAnyFields;
            for (int i = 0; i < 8; ++i)
                out.params << QLatin1Char('%') + query.any + QLatin1Char('%');
        }
        for (const auto& [value, column] : fields) {
            if (value.isEmpty())
                continue;
            const QString expr = column == QLatin1String("year") ? QStringLiteral("CAST(year AS TEXT)") : column;
            out.where += QStringLiteral(" AND ") + expr + QStringLiteral(" LIKE ?");
            out.params << QLatin1Char('%') + value + QLatin1Char('%');
        }
        return out;
    }

    QStringList terms = ftsTerms(query.any);
    for (const auto& [value, column] : fields)
        terms += ftsTerms(value, column);
    if (!terms.isEmpty()) {
        out.where += QStringLiteral(" AND id IN (SELECT rowid FROM tracks_fts WHERE tracks_fts MATCH ?)");
        out.params << terms.join(QLatin1Char(' '));
    }
    return out;
}

QList<Track> MusicLibrary::searchMemory(const QString& textIn) const
{
    const QString trimmed = textIn.trimmed();
    if (trimmed.isEmpty())
        return tracks;
    QList<Track> out;
    for (const Track& t : tracks) {
        if (memoryAnyMatch(t, trimmed))
            out.append(t);
    }
    return out;
}
