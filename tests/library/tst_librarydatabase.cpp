#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "olmain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

#include <functional>

namespace {

QString configFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString dbPath()
{
    return configFolder() + QStringLiteral("/library.db");
}

void closeConnection()
{
    if (QSqlDatabase::contains(QStringLiteral("ol_library"))) {
        QSqlDatabase::database(QStringLiteral("ol_library"), false).close();
        QSqlDatabase::removeDatabase(QStringLiteral("ol_library"));
    }
}

// Closes the shared connection and deletes the file, so that the next
// MusicLibrary call starts from whatever the test puts there.
void dropDatabase()
{
    closeConnection();
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(dbPath() + QLatin1String(suffix));
}

// Plain SQL on a connection of its own, independent of the class under test.
class Sql
{
public:
    Sql()
    {
        QDir().mkpath(configFolder());
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        m_db.setDatabaseName(dbPath());
        if (!m_db.open())
            qFatal("cannot open %s", qPrintable(dbPath()));
    }
    ~Sql()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
    }

    void exec(const QString& sql)
    {
        QSqlQuery q(m_db);
        if (!q.exec(sql))
            qFatal("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
    }
    QVariant value(const QString& sql)
    {
        QSqlQuery q(m_db);
        if (!q.exec(sql) || !q.next())
            return {};
        return q.value(0);
    }
    QStringList column(const QString& sql)
    {
        QStringList out;
        QSqlQuery q(m_db);
        if (q.exec(sql)) {
            while (q.next())
                out << q.value(0).toString();
        }
        return out;
    }
    QStringList names(const QString& type)
    {
        return column(QStringLiteral("SELECT name FROM sqlite_master WHERE type='%1' AND name NOT LIKE 'sqlite_%' "
                                     "AND name NOT LIKE 'tracks_fts_%' ORDER BY name").arg(type));
    }

private:
    QSqlDatabase m_db;
};

const char* kOldestTracks =
    "CREATE TABLE tracks(id INTEGER PRIMARY KEY AUTOINCREMENT, library TEXT NOT NULL, filepath TEXT, "
    "artist TEXT, title TEXT, album TEXT, genre TEXT, comment TEXT, year INTEGER DEFAULT 0, "
    "duration_ms INTEGER DEFAULT 0, category TEXT DEFAULT 'Foreign', is_stream INTEGER DEFAULT 0, "
    "stream_limit_ms INTEGER DEFAULT 0)";

} // namespace

class TestLibraryDatabase : public QObject
{
    Q_OBJECT

private slots:
    void init() { dropDatabase(); }

    void newFileHasTheWholeSchema()
    {
        QVERIFY(MusicLibrary::initDatabase());
        QVERIFY(MusicLibrary::s_ftsAvailable);
        QVERIFY(QFile::exists(dbPath()));

        Sql sql;
        QCOMPARE(sql.value(QStringLiteral("PRAGMA user_version")).toInt(), 3);
        QCOMPARE(sql.value(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        QCOMPARE(sql.names(QStringLiteral("table")),
                 (QStringList{"libraries", "track_params", "tracks", "tracks_fts"}));
        QCOMPARE(sql.names(QStringLiteral("index")),
                 (QStringList{"idx_tracks_artist", "idx_tracks_filepath", "idx_tracks_lib", "idx_tracks_title",
                              "idx_tracks_unmeasured"}));
        QCOMPARE(sql.names(QStringLiteral("trigger")), (QStringList{"tracks_ad", "tracks_ai", "tracks_au"}));
        QCOMPARE(sql.column(QStringLiteral("SELECT name FROM pragma_table_info('tracks')")),
                 (QStringList{"id", "library", "filepath", "filename", "artist", "title", "album", "genre",
                              "comment", "year", "duration_ms", "duration_str", "play_count", "last_played",
                              "date_added", "category", "is_stream", "stream_limit_ms"}));
    }

    void connectionIsSharedAndReopened()
    {
        QSqlDatabase a = MusicLibrary::database();
        QVERIFY(a.isOpen());
        QCOMPARE(a.connectionName(), QStringLiteral("ol_library"));
        a.close();
        QVERIFY(MusicLibrary::database().isOpen());
    }

    // Random bytes, a truncated file and another program's database are
    // each kept aside byte for byte, named to the operator, and a fresh
    // file records plays again; an unmarked file of ours is only marked.
    void unusableFilesAreSetAside()
    {
        QVERIFY(MusicLibrary::initDatabase());
        for (int i = 0; i < 3000; ++i)
            QVERIFY(MusicLibrary::createLibrary(QStringLiteral("Library %1").arg(i)));
        closeConnection();
        QFile whole(dbPath());
        QVERIFY(whole.open(QIODevice::ReadWrite));
        const qint64 size = whole.size();
        QVERIFY(size > 64 * 1024);
        QVERIFY(whole.resize(size / 2));
        whole.close();

        QByteArray noise(32 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 7919 + 13) % 251);

        const auto foreign = [] {
            Sql sql;
            sql.exec(QStringLiteral("CREATE TABLE tracks(path TEXT, rating REAL)"));
            sql.exec(QStringLiteral("CREATE TABLE play_history(at TEXT)"));
            sql.exec(QStringLiteral("CREATE TABLE playlists(name TEXT)"));
        };
        const QList<std::pair<std::function<void()>, QString>> cases{
            {[] {}, QStringLiteral(" is damaged (")},
            {[&noise] {
                 QFile f(dbPath());
                 f.open(QIODevice::WriteOnly);
                 f.write(noise);
             },
             QStringLiteral(" is damaged (")},
            {foreign, QStringLiteral(" was made by another program.")}};
        for (const auto& [make, reason] : cases) {
            make();
            const QByteArray before = [] {
                QFile f(dbPath());
                return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
            }();
            QVERIFY(MusicLibrary::initDatabase());
            const QString problem = MusicLibrary::databaseProblem();
            QVERIFY2(problem.startsWith(QStringLiteral("The library database %1").arg(QDir::toNativeSeparators(dbPath())))
                         && problem.contains(reason) && problem.endsWith(QStringLiteral("a new, empty library database was started.")),
                     qPrintable(problem));
            // The file itself; its journal goes beside it under the same name.
            const QStringList aside = QDir(configFolder())
                                          .entryList({QStringLiteral("library.db.unusable-*")}, QDir::Files)
                                          .filter(QRegularExpression(QStringLiteral("-\\d{6}$")));
            QCOMPARE(aside.size(), 1);
            QVERIFY(problem.contains(aside.first()));
            QFile kept(configFolder() + QLatin1Char('/') + aside.first());
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), before);
            for (const char* suffix : {"", "-wal", "-shm"})
                QFile::remove(kept.fileName() + QLatin1String(suffix));
            QVERIFY(MusicLibrary::createLibrary(QStringLiteral("Fresh")));
            QCOMPARE(MusicLibrary::availableLibraries(), QStringList{QStringLiteral("Fresh")});
            {
                Sql sql;
                QCOMPARE(sql.value(QStringLiteral("PRAGMA application_id")).toInt(), 0x4F4C4442);
            }
            dropDatabase();
        }

        // A file of ours from before the mark keeps its rows and gets the mark.
        {
            Sql sql;
            sql.exec(QStringLiteral("CREATE TABLE libraries(name TEXT PRIMARY KEY)"));
            sql.exec(QStringLiteral("INSERT INTO libraries VALUES('Old')"));
        }
        QVERIFY(MusicLibrary::initDatabase());
        QCOMPARE(MusicLibrary::databaseProblem(), QString());
        QCOMPARE(MusicLibrary::availableLibraries(), QStringList{QStringLiteral("Old")});
        Sql sql;
        QCOMPARE(sql.value(QStringLiteral("PRAGMA application_id")).toInt(), 0x4F4C4442);
    }

    // A damaged file goes aside under a name nothing holds yet, neither a
    // file left there nor a link to nowhere where its journal would go;
    // what held the names is left as it was.
    void setAsideTakesNoNameInUse()
    {
        QDir().mkpath(configFolder());
        {
            QFile f(dbPath());
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(8192, '\x5a')) == 8192);
        }
        QStringList files, links;
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = 0; s < 30; ++s) {
            const QString stamp =
                dbPath() + QStringLiteral(".unusable-") + now.addSecs(s).toString(QStringLiteral("yyyyMMdd-HHmmss"));
            QFile f(files.emplaceBack(stamp));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("held") == 4);
            QVERIFY(QFile::link(configFolder() + QStringLiteral("/nowhere"), links.emplaceBack(stamp + QStringLiteral("-2-wal"))));
        }
        QVERIFY(MusicLibrary::initDatabase());
        const QString aside =
            QRegularExpression(QStringLiteral("kept unchanged as (.+), and")).match(MusicLibrary::databaseProblem()).captured(1);
        QVERIFY2(aside.endsWith(QStringLiteral("-3")) && files.contains(aside.chopped(2)), qPrintable(aside));
        QFile kept(aside);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray(8192, '\x5a'));
        for (const QString& file : std::as_const(files)) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("held"));
        }
        for (const QString& link : std::as_const(links))
            QVERIFY(QFileInfo(link).isSymLink() && !QFileInfo::exists(link));
        for (const QString& planted : files + links + QStringList{aside, aside + QStringLiteral("-wal"), aside + QStringLiteral("-shm")})
            QFile::remove(planted);
    }

    void unopenableFileFailsQuietly()
    {
        // A folder where the file should be cannot be opened as a database.
        QDir().mkpath(dbPath());
        QVERIFY(!MusicLibrary::initDatabase());
        QVERIFY(!MusicLibrary::createLibrary(QStringLiteral("Rock")));
        QDir(dbPath()).removeRecursively();
    }

    void addedRowsAreIndexedAndTriggersFollow()
    {
        QVERIFY(MusicLibrary::initDatabase());
        MusicLibrary lib;
        QVERIFY(lib.load(QStringLiteral("  Rock  ")));
        QCOMPARE(lib.name, QStringLiteral("Rock"));
        Track t = Track::fromFile(QStringLiteral("/music/Glow Band - Night Drive.mp3"));
        t.durationMs = 185000;
        lib.addTrack(t);
        Track s;
        s.filePath = QStringLiteral("http://radio.example/live");
        s.isStream = true;
        s.title = QStringLiteral("Live");
        lib.addTrack(s);

        Sql sql;
        QCOMPARE(sql.column(QStringLiteral("SELECT name FROM libraries")), QStringList{"Rock"});
        QCOMPARE(sql.column(QStringLiteral("SELECT filename || '|' || duration_str || '|' || is_stream || '|' "
                                           "|| category FROM tracks ORDER BY id")),
                 (QStringList{"Glow Band - Night Drive.mp3|03:05|0|Foreign", "||1|Foreign"}));
        QVERIFY(!sql.value(QStringLiteral("SELECT date_added FROM tracks WHERE id=1")).toString().isEmpty());
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks_fts WHERE tracks_fts MATCH 'night'")).toInt(), 1);

        sql.exec(QStringLiteral("UPDATE tracks SET title='Morning Walk' WHERE id=1"));
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks_fts WHERE tracks_fts MATCH 'title:night'")).toInt(), 0);
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks_fts WHERE tracks_fts MATCH 'morning'")).toInt(), 1);
        sql.exec(QStringLiteral("DELETE FROM tracks WHERE id=1"));
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks_fts WHERE tracks_fts MATCH 'morning'")).toInt(), 0);
    }

    void createLibraryTrimsAndRefusesBlank()
    {
        QVERIFY(MusicLibrary::initDatabase());
        QVERIFY(!MusicLibrary::createLibrary(QStringLiteral("   ")));
        QVERIFY(MusicLibrary::createLibrary(QStringLiteral(" Jazz ")));
        QVERIFY(MusicLibrary::createLibrary(QStringLiteral("Jazz")));
        Sql sql;
        QCOMPARE(sql.column(QStringLiteral("SELECT name FROM libraries")), QStringList{"Jazz"});
    }

    // A file at the current version is not rebuilt: only missing triggers
    // come back, and rows written meanwhile without them stay unindexed.
    void currentFileIsNotRebuilt()
    {
        QVERIFY(MusicLibrary::initDatabase());
        MusicLibrary lib;
        lib.load(QStringLiteral("Rock"));
        lib.addTrack(Track::fromFile(QStringLiteral("/m/Alpha - One.mp3")));
        {
            Sql sql;
            sql.exec(QStringLiteral("DROP TRIGGER tracks_ai"));
            sql.exec(QStringLiteral("INSERT INTO tracks(library, filepath, title) VALUES('Rock', '/m/b.mp3', 'Beta')"));
        }
        closeConnection();

        QVERIFY(MusicLibrary::initDatabase());
        Sql sql;
        QCOMPARE(sql.names(QStringLiteral("trigger")), (QStringList{"tracks_ad", "tracks_ai", "tracks_au"}));
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks_fts WHERE tracks_fts MATCH 'alpha'")).toInt(), 1);
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks_fts WHERE tracks_fts MATCH 'beta'")).toInt(), 0);
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks")).toInt(), 2);
    }

    void upgradeFromOldestLayout()
    {
        {
            Sql sql;
            sql.exec(QStringLiteral("CREATE TABLE libraries(name TEXT PRIMARY KEY)"));
            sql.exec(QString::fromLatin1(kOldestTracks));
            sql.exec(QStringLiteral("INSERT INTO libraries VALUES('Old')"));
            sql.exec(QStringLiteral("INSERT INTO tracks(library, filepath, artist, title, duration_ms) VALUES"
                                    "('Old', 'C:\\Music\\Hits\\Song A.mp3', 'Ann', 'Song A', 185000),"
                                    "('Old', '/music/b.flac', 'Bo', 'Blue', 0),"
                                    "('Old', 'http://radio.example/live/stream.mp3', '', 'Radio', 0)"));
        }
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QVERIFY(MusicLibrary::initDatabase());

        Sql sql;
        QCOMPARE(sql.value(QStringLiteral("PRAGMA user_version")).toInt(), 3);
        QCOMPARE(sql.column(QStringLiteral("SELECT duration_str FROM tracks ORDER BY id")),
                 (QStringList{"3:05", "0:00", "0:00"}));
        QCOMPARE(sql.column(QStringLiteral("SELECT filename FROM tracks ORDER BY id")),
                 (QStringList{"Song A.mp3", "b.flac", "stream.mp3"}));
        QCOMPARE(sql.column(QStringLiteral("SELECT play_count || '|' || last_played FROM tracks ORDER BY id")),
                 (QStringList{"0|", "0|", "0|"}));
        for (const QString& added : sql.column(QStringLiteral("SELECT date_added FROM tracks"))) {
            const QDateTime when = QDateTime::fromString(added, Qt::ISODate);
            QVERIFY2(when >= before && when <= QDateTime::currentDateTime().addSecs(1), qPrintable(added));
        }
        // The index was built over the rows that were already there.
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks_fts WHERE tracks_fts MATCH 'blue'")).toInt(), 1);
        QCOMPARE(sql.names(QStringLiteral("trigger")).size(), 3);

        // Rows the library writes from now on carry the padded form.
        MusicLibrary lib;
        lib.load(QStringLiteral("Old"));
        Track t = Track::fromFile(QStringLiteral("/music/c.mp3"));
        t.durationMs = 185000;
        lib.addTrack(t);
        QCOMPARE(sql.value(QStringLiteral("SELECT duration_str FROM tracks WHERE filename='c.mp3'")).toString(),
                 QStringLiteral("03:05"));
    }

    // duration_str and filename present, play counts missing, and an index of
    // an older layout that must be replaced.
    void upgradeFromMiddleLayoutWithOldIndex()
    {
        {
            Sql sql;
            sql.exec(QStringLiteral("CREATE TABLE libraries(name TEXT PRIMARY KEY)"));
            sql.exec(QStringLiteral(
                "CREATE TABLE tracks(id INTEGER PRIMARY KEY AUTOINCREMENT, library TEXT NOT NULL, filepath TEXT, "
                "filename TEXT DEFAULT '', artist TEXT, title TEXT, album TEXT, genre TEXT, comment TEXT, "
                "year INTEGER DEFAULT 0, duration_ms INTEGER DEFAULT 0, duration_str TEXT DEFAULT '', "
                "category TEXT DEFAULT 'Foreign', is_stream INTEGER DEFAULT 0, stream_limit_ms INTEGER DEFAULT 0)"));
            sql.exec(QStringLiteral("CREATE VIRTUAL TABLE tracks_fts USING fts5(artist, title, content='tracks', "
                                    "content_rowid='id')"));
            sql.exec(QStringLiteral("CREATE TRIGGER tracks_ai AFTER INSERT ON tracks BEGIN INSERT INTO "
                                    "tracks_fts(rowid, artist, title) VALUES(new.id, new.artist, new.title); END"));
            sql.exec(QStringLiteral("INSERT INTO tracks(library, filepath, filename, artist, title, album, duration_ms, "
                                    "duration_str) VALUES('Mid', '/m/x.mp3', 'x.mp3', 'Xan', 'Xylo', 'Quartz', "
                                    "61000, '01:01')"));
            sql.exec(QStringLiteral("PRAGMA user_version=2"));
        }
        QVERIFY(MusicLibrary::initDatabase());
        Sql sql;
        QCOMPARE(sql.value(QStringLiteral("PRAGMA user_version")).toInt(), 3);
        // Kept as it was: the column existed.
        QCOMPARE(sql.value(QStringLiteral("SELECT duration_str FROM tracks")).toString(), QStringLiteral("01:01"));
        QVERIFY(!sql.value(QStringLiteral("SELECT date_added FROM tracks")).toString().isEmpty());
        // The new index covers album, which the old one did not.
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks_fts WHERE tracks_fts MATCH 'quartz'")).toInt(), 1);
        QCOMPARE(sql.column(QStringLiteral("SELECT name FROM pragma_table_info('tracks_fts')")).size(), 8);
        // Plays are counted by path through an index; the row is kept.
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks")).toInt(), 1);
        QVERIFY(sql.value(QStringLiteral("SELECT sql FROM sqlite_master WHERE name='idx_tracks_filepath'"))
                    .toString()
                    .endsWith(QStringLiteral("ON tracks(filepath)")));
    }

    void secondRunChangesNothing()
    {
        QVERIFY(MusicLibrary::initDatabase());
        MusicLibrary lib;
        lib.load(QStringLiteral("Rock"));
        lib.addTrack(Track::fromFile(QStringLiteral("/m/a.mp3")));
        QString before;
        {
            Sql sql;
            before = sql.column(QStringLiteral("SELECT sql FROM sqlite_master ORDER BY name")).join(QLatin1Char('\n'));
        }
        QVERIFY(MusicLibrary::initDatabase());
        Sql sql;
        QCOMPARE(sql.column(QStringLiteral("SELECT sql FROM sqlite_master ORDER BY name")).join(QLatin1Char('\n')),
                 before);
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks")).toInt(), 1);
    }

    void jsonImport()
    {
        const QString dir = configFolder() + QStringLiteral("/libraries");
        QDir().mkpath(dir);
        auto write = [&](const QString& name, const QByteArray& text) {
            QFile f(dir + QLatin1Char('/') + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(text);
        };
        write(QStringLiteral("rock.json"),
              "{\"name\":\"Rock\",\"tracks\":["
                  "                  {\"artist\":\"Ann\",\"title\":\"First\",\"filePath\":\"/m/First.mp3\",\"year\":1999,\"durationMs\":185000,"
                  "                   \"genre\":\"Rock\",\"album\":\"A\",\"comment\":\"c\"},"
                  "                  {\"title\":\"Radio\",\"filePath\":\"http://radio.example/x\",\"isStream\":true,\"streamLimitMs\":60000.7,"
                  "                   \"category\":\"Jingle\",\"unknown\":1}]}");
        write(QStringLiteral("Old Hits.json"), "{\"tracks\":[{\"title\":\"Cut\",\"filePath\":\"/m/cut.mp3\",\"durationMs\":1234.9}]}");
        write(QStringLiteral("Broken.json"), "{ not json");
        write(QStringLiteral("Nameless.json"), "{\"name\":\"  \",\"tracks\":[{\"title\":\"Kept\",\"filePath\":\"/m/k.mp3\"}]}");
        write(QStringLiteral("notes.txt"), "{\"name\":\"Ignored\"}");

        // Rows without any library do not stop the import.
        {
            Sql sql;
            sql.exec(QStringLiteral("CREATE TABLE libraries(name TEXT PRIMARY KEY)"));
            sql.exec(QString::fromLatin1(kOldestTracks));
            sql.exec(QStringLiteral("INSERT INTO tracks(library, filepath, title) VALUES('Ghost', '/m/g.mp3', 'G')"));
        }
        QVERIFY(MusicLibrary::initDatabase());

        Sql sql;
        QCOMPARE(sql.column(QStringLiteral("SELECT name FROM libraries ORDER BY name")),
                 (QStringList{"Broken", "Nameless", "Old Hits", "Rock"}));
        QCOMPARE(sql.column(QStringLiteral(
                     "SELECT artist||'|'||title||'|'||album||'|'||genre||'|'||comment||'|'||year||'|'||duration_ms"
                     "||'|'||duration_str||'|'||category||'|'||is_stream||'|'||stream_limit_ms||'|'||filename "
                     "FROM tracks WHERE library='Rock' ORDER BY id")),
                 (QStringList{"Ann|First|A|Rock|c|1999|185000|03:05|Foreign|0|0|First.mp3",
                              "|Radio||||0|0||Jingle|1|60000|"}));
        QCOMPARE(sql.value(QStringLiteral("SELECT duration_ms FROM tracks WHERE library='Old Hits'")).toLongLong(), 1234);
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE library='Broken'")).toInt(), 0);
        QCOMPARE(sql.value(QStringLiteral("SELECT title FROM tracks WHERE library='Nameless'")).toString(),
                 QStringLiteral("Kept"));
        QVERIFY(!sql.value(QStringLiteral("SELECT date_added FROM tracks WHERE library='Rock'")).toString().isEmpty());
        QVERIFY(QFile::exists(dir + QStringLiteral("/rock.json")));

        // Once any library exists the files are not read again.
        const int rows = sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks")).toInt();
        closeConnection();
        QVERIFY(MusicLibrary::initDatabase());
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks")).toInt(), rows);
        QDir(dir).removeRecursively();
    }

    // An import that fails part-way leaves nothing behind, so that the next
    // start imports every library again instead of skipping the rest.
    void interruptedJsonImportIsRedone()
    {
        const QString dir = configFolder() + QStringLiteral("/libraries");
        QDir().mkpath(dir);
        for (const char* name : {"A", "B"}) {
            QFile f(dir + QStringLiteral("/%1.json").arg(QLatin1String(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QStringLiteral("{\"tracks\":[{\"title\":\"%1 one\",\"filePath\":\"/m/%1/1.mp3\"},"
                                   "{\"title\":\"%1 two\",\"filePath\":\"/m/%1/2.mp3\"}]}")
                        .arg(QLatin1String(name))
                        .toUtf8());
        }
        QVERIFY(MusicLibrary::initDatabase());
        {
            Sql sql;
            sql.exec(QStringLiteral("DELETE FROM tracks"));
            sql.exec(QStringLiteral("DELETE FROM libraries"));
            sql.exec(QStringLiteral("CREATE TRIGGER cut BEFORE INSERT ON tracks WHEN new.filepath='/m/B/2.mp3' "
                                    "BEGIN SELECT RAISE(ABORT, 'cut short'); END"));
        }
        closeConnection();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cut short")));
        QVERIFY(MusicLibrary::initDatabase());
        Sql sql;
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM libraries")).toInt(), 0);
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM tracks")).toInt(), 0);

        sql.exec(QStringLiteral("DROP TRIGGER cut"));
        closeConnection();
        QVERIFY(MusicLibrary::initDatabase());
        QCOMPARE(sql.column(QStringLiteral("SELECT library||':'||title FROM tracks ORDER BY id")),
                 (QStringList{"A:A one", "A:A two", "B:B one", "B:B two"}));
        QDir(dir).removeRecursively();
    }

    void trackParamsTableAndRows()
    {
        QVERIFY(MusicLibrary::initDatabase());
        TrackParams p;
        p.tags = QStringList{QStringLiteral("summer")};
        TrackParams::save(QStringLiteral("/m/a.mp3"), p);
        TrackParams::save(QString(), p);
        Sql sql;
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM track_params")).toInt(), 1);
        const QString stored = sql.value(QStringLiteral("SELECT params FROM track_params WHERE filepath='/m/a.mp3'")).toString();
        QVERIFY2(!stored.contains(QLatin1Char(' ')) && !stored.contains(QLatin1Char('\n')), qPrintable(stored));
        QVERIFY(stored.contains(QStringLiteral("\"tags\":[\"summer\"]")));
        QCOMPARE(TrackParams::load(QStringLiteral("/m/a.mp3")).tags, p.tags);

        TrackParams::save(QStringLiteral("/m/a.mp3"), TrackParams());
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM track_params")).toInt(), 0);

        sql.exec(QStringLiteral("INSERT INTO track_params VALUES('/m/bad.mp3', '[1,2]'), ('/m/r.mp3', '{\"rating\":14}')"));
        QVERIFY(TrackParams::load(QStringLiteral("/m/bad.mp3")).isDefault());
        QCOMPARE(TrackParams::ratingFor(QStringLiteral("/m/r.mp3")), 14);
        TrackParams::setRating(QStringLiteral("/m/r.mp3"), -3);
        QCOMPARE(sql.value(QStringLiteral("SELECT COUNT(*) FROM track_params WHERE filepath='/m/r.mp3'")).toInt(), 0);
        TrackParams::setRating(QStringLiteral("/m/r.mp3"), 14);
        QCOMPARE(TrackParams::ratingFor(QStringLiteral("/m/r.mp3")), 10);
    }
};

OL_TEST_MAIN(TestLibraryDatabase)
#include "tst_librarydatabase.moc"
