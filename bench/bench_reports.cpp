// Report speed over a year of play history: 500 000 plays of 20 000 library
// tracks. Each report kind is generated in the dialog from an empty table,
// median of 5: the time until its first page is in the table, until its last
// row and summary are, and the longest the window's thread was kept from its
// events meanwhile (a 1 ms timer's late ticks); then once more over its own
// table; with the memory the table takes.
#include "dialogs/settings/reportgeneratordialog.h"
#include "library/musiclibrary.h"
#include "library/playhistory.h"
#include "testhome.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <malloc.h>

namespace {

constexpr int kPlays = 500000;
constexpr int kTracks = 20000;
constexpr int kRuns = 5;

// Heap in use; unlike the resident size it falls when cells are freed.
qint64 heapBytes()
{
    return qint64(mallinfo2().uordblks);
}

void fillDatabase()
{
    QRandomGenerator rng(11);
    QSqlDatabase db = MusicLibrary::database();
    MusicLibrary lib;
    lib.load(QStringLiteral("Station"));
    QList<Track> tracks;
    db.transaction();
    for (int i = 0; i < kTracks; ++i) {
        Track t;
        t.artist = QStringLiteral("Artist %1").arg(rng.bounded(3000));
        t.title = QStringLiteral("Title %1").arg(i);
        t.filePath = QStringLiteral("/music/%1/%2.mp3").arg(i % 100).arg(i);
        t.durationMs = 120000 + rng.bounded(240000);
        lib.addTrack(t);
        tracks << t;
    }
    db.commit();

    PlayHistory::ensureSchema();
    QList<int> counts(kTracks, 0);
    QList<QDateTime> last(kTracks);
    const QDateTime start(QDate(2025, 1, 1), QTime(0, 0));
    const qint64 step = qint64(365) * 86400 / kPlays;
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral(
        "INSERT INTO play_history(played_at,artist,title,filepath,duration_ms) VALUES(?,?,?,?,?)"));
    for (int i = 0; i < kPlays; ++i) {
        const int k = rng.bounded(kTracks);
        const Track& t = tracks.at(k);
        const QDateTime at = start.addSecs(i * step);
        q.addBindValue(at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
        q.addBindValue(t.artist);
        q.addBindValue(t.title);
        q.addBindValue(t.filePath);
        q.addBindValue(t.durationMs);
        q.exec();
        ++counts[k];
        last[k] = at;
    }
    // The counts a year of MusicLibrary::recordPlay leaves, in one pass.
    q.prepare(QStringLiteral("UPDATE tracks SET play_count=?, last_played=? WHERE id=?"));
    for (int k = 0; k < kTracks; ++k) {
        q.addBindValue(counts.at(k));
        q.addBindValue(last.at(k).isValid() ? last.at(k).toString(Qt::ISODate) : QString());
        q.addBindValue(k + 1); // ids in the order the tracks were added
        q.exec();
    }
    db.commit();
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    if (!MusicLibrary::initDatabase()) {
        std::fprintf(stderr, "no library database\n");
        return 1;
    }
    QElapsedTimer filled;
    filled.start();
    fillDatabase();
    std::printf("%d plays of %d tracks stored in %.1f s\n", kPlays, kTracks, filled.nsecsElapsed() / 1e9);

    ReportGeneratorDialog dialog;
    dialog.show();
    const QList<QDateTimeEdit*> period = dialog.findChildren<QDateTimeEdit*>();
    period.at(1)->setDateTime(QDateTime(QDate(2025, 12, 31), QTime(23, 59)));
    auto* kind = dialog.findChild<QComboBox*>();
    auto* table = dialog.findChild<QTableView*>();
    auto* summary = dialog.findChildren<QLabel*>().last();
    struct Timing
    {
        double firstPageMs = -1;
        double allMs = 0;
        double stallMs = 0;
    };
    const auto generate = [&] {
        Timing timing;
        QElapsedTimer t;
        QElapsedTimer sinceTick;
        QEventLoop loop;
        QTimer tick;
        tick.setInterval(1);
        QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
            timing.stallMs = std::max(timing.stallMs, sinceTick.nsecsElapsed() / 1e6);
            sinceTick.restart();
            const bool done = !summary->text().isEmpty();
            if (timing.firstPageMs < 0 && (table->model()->rowCount() >= 40 || done))
                timing.firstPageMs = t.nsecsElapsed() / 1e6;
            if (done) {
                timing.allMs = t.nsecsElapsed() / 1e6;
                loop.quit();
            }
        });
        t.start();
        sinceTick.start();
        dialog.generate();
        tick.start();
        loop.exec();
        return timing;
    };

    std::printf("%-32s %8s %14s %10s %10s %14s %15s %10s\n", "report", "rows", "first page ms", "all ms",
                "worst ms", "longest stall", "over itself ms", "table MiB");
    for (int k = 0; k < kind->count(); ++k) {
        QList<double> first;
        QList<double> all;
        double stall = 0;
        qint64 heap = 0;
        for (int i = 0; i < kRuns; ++i) {
            period.at(0)->setDateTime(QDateTime(QDate(2030, 1, 1), QTime(0, 0)));
            kind->setCurrentIndex(0);
            generate();
            period.at(0)->setDateTime(QDateTime(QDate(2025, 1, 1), QTime(0, 0)));
            kind->setCurrentIndex(k);
            const qint64 before = heapBytes();
            const Timing timing = generate();
            first << timing.firstPageMs;
            all << timing.allMs;
            stall = std::max(stall, timing.stallMs);
            heap = heapBytes() - before;
        }
        std::sort(first.begin(), first.end());
        std::sort(all.begin(), all.end());
        const Timing again = generate();
        std::printf("%-32s %8d %14.1f %10.1f %10.1f %14.1f %15.1f %10ld\n", qPrintable(kind->itemText(k)),
                    table->model()->rowCount(), first.at(kRuns / 2), all.at(kRuns / 2), all.last(),
                    std::max(stall, again.stallMs), again.allMs, long(heap >> 20));
    }
    return 0;
}
