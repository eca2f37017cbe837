// Times the library database's start-up work: creating a new file, and
// upgrading a file of the oldest layout holding 100 000 rows.
#include "library/musiclibrary.h"
#include "testhome.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>

#include <cstdio>

namespace {

QString dbPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/library.db");
}

void closeShared()
{
    QSqlDatabase::database(QStringLiteral("ol_library"), false).close();
    QSqlDatabase::removeDatabase(QStringLiteral("ol_library"));
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(dbPath() + QLatin1String(suffix));
}

void makeOldFile(int rows)
{
    QDir().mkpath(QFileInfo(dbPath()).path());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("maker"));
        db.setDatabaseName(dbPath());
        db.open();
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE TABLE libraries(name TEXT PRIMARY KEY)"));
        q.exec(QStringLiteral("INSERT INTO libraries VALUES('Main')"));
        q.exec(QStringLiteral(
            "CREATE TABLE tracks(id INTEGER PRIMARY KEY AUTOINCREMENT, library TEXT NOT NULL, filepath TEXT, "
            "artist TEXT, title TEXT, album TEXT, genre TEXT, comment TEXT, year INTEGER DEFAULT 0, "
            "duration_ms INTEGER DEFAULT 0, category TEXT DEFAULT 'Foreign', is_stream INTEGER DEFAULT 0, "
            "stream_limit_ms INTEGER DEFAULT 0)"));
        db.transaction();
        q.prepare(QStringLiteral("INSERT INTO tracks(library, filepath, artist, title, album, genre, year, duration_ms) "
                                 "VALUES('Main', ?, ?, ?, ?, ?, ?, ?)"));
        for (int i = 0; i < rows; ++i) {
            q.addBindValue(QStringLiteral("/music/artist%1/album%2/%3 - song number %4.mp3").arg(i % 900).arg(i % 77).arg(i % 900).arg(i));
            q.addBindValue(QStringLiteral("Artist %1").arg(i % 900));
            q.addBindValue(QStringLiteral("Song number %1").arg(i));
            q.addBindValue(QStringLiteral("Album %1").arg(i % 77));
            q.addBindValue(QStringLiteral("Genre %1").arg(i % 12));
            q.addBindValue(1960 + i % 60);
            q.addBindValue(120000 + (i * 7919) % 240000);
            q.exec();
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("maker"));
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    const int runs = 5;
    double newBest = 1e9;
    for (int r = 0; r < runs; ++r) {
        closeShared();
        QElapsedTimer t;
        t.start();
        MusicLibrary::initDatabase();
        newBest = qMin(newBest, t.nsecsElapsed() / 1e6);
    }
    std::printf("initDatabase, new file: best of %d: %.2f ms\n", runs, newBest);

    const int rows = 100000;
    double upBest = 1e9;
    for (int r = 0; r < 3; ++r) {
        closeShared();
        makeOldFile(rows);
        QElapsedTimer t;
        t.start();
        MusicLibrary::initDatabase();
        upBest = qMin(upBest, t.nsecsElapsed() / 1e6);
    }
    std::printf("initDatabase, upgrade of the oldest layout with %d rows: best of 3: %.0f ms\n", rows, upBest);
    return 0;
}
