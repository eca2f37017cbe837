// prototype
#include "library/musiclibrary.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTableWidget>
#include <cstdio>

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    MusicLibrary::initDatabase();
    QRandomGenerator rng(7);
    MusicLibrary lib;
    lib.load(QStringLiteral("Station"));
    QSqlDatabase db = MusicLibrary::database();
    db.transaction();
    for (int i = 0; i < 100000; ++i) {
        Track t;
        t.artist = QStringLiteral("Artist %1").arg(rng.bounded(3000));
        t.title = QStringLiteral("Title %1 word").arg(i);
        t.album = QStringLiteral("Album %1").arg(rng.bounded(3000));
        t.genre = QStringLiteral("Rock");
        t.year = 1950 + rng.bounded(75);
        t.durationMs = 60000 + rng.bounded(400000);
        t.filePath = QStringLiteral("/music/%1/%2 - %3.mp3").arg(i % 500).arg(t.artist, t.title);
        lib.addTrack(t);
    }
    db.commit();
    auto rss = [] { QFile f("/proc/self/statm"); f.open(QIODevice::ReadOnly); return f.readAll().split(' ').value(1).toLongLong() * 4 / 1024; };
    for (int variant = 0; variant < 4; ++variant) {
        QElapsedTimer t; t.start();
        const QList<Track> all = lib.search(MusicLibrary::Query{});
        const double searchMs = t.nsecsElapsed() / 1e6;
        const qint64 before = rss();
        QTableWidget table(0, 12);
        table.show();
        app.processEvents();
        t.restart();
        if (variant == 2) table.hide();
        if (variant != 1) table.setRowCount(int(all.size()));
        for (int r = 0; r < all.size(); ++r) {
            const Track& tr = all[r];
            if (variant == 1) table.insertRow(r);
            const QString cells[12] = {tr.artist, tr.title, tr.album, QString::number(tr.year), tr.genre, tr.comment,
                Track::formatDuration(tr.durationMs), QStringLiteral("-"), QStringLiteral("never"),
                tr.dateAdded.toString(QStringLiteral("d MMM yyyy")), tr.filePath.section('/', -1), tr.filePath};
            for (int c = 0; c < 12; ++c)
                table.setItem(r, c, new QTableWidgetItem(cells[c]));
        }
        if (variant == 2) table.show();
        const double fillMs = t.nsecsElapsed() / 1e6;
        t.restart();
        app.processEvents();
        const double paintMs = t.nsecsElapsed() / 1e6;
        const qint64 after = rss();
        t.restart();
        table.setRowCount(0);
        const double clearMs = t.nsecsElapsed() / 1e6;
        std::printf("variant %d search %.1f ms, fill %.1f ms, paint %.1f, clear %.1f, rss +%lld MB\n", variant, searchMs, fillMs, paintMs, clearMs, after - before);
    }
}
