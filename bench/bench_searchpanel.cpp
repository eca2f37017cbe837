// The main window's search panel while the operator types, on a library of
// 100 000 rows (or the count given as the first argument): for each
// keystroke, the longest time the GUI thread spent in one go (the keystroke
// itself or any event handled until the answer shows), the time until the
// result count shows, and the bare full-text search for the same text.
// A file named as the second argument keeps the filled library between runs:
// filled and saved there when missing, copied in instead of filling otherwise.
// The third argument is how many times the keystrokes are typed (5).
#include "benchlibrary.h"
#include "library/musiclibrary.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playoutstartup.h"
#include "testhome.h"

#include <QAbstractEventDispatcher>
#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSqlQuery>

#include <algorithm>
#include <cstdio>

namespace {

int bareCount(const QString& text)
{
    QSqlQuery q(MusicLibrary::database());
    q.setForwardOnly(true);
    const QString match = MusicLibrary::ftsTerms(text).join(QLatin1Char(' '));
    if (match.isEmpty()) {
        q.prepare(QStringLiteral("SELECT * FROM tracks WHERE library=? "
                                 "ORDER BY artist COLLATE NOCASE, title COLLATE NOCASE"));
        q.addBindValue(QStringLiteral("Station"));
    } else {
        q.prepare(QStringLiteral("SELECT t.* FROM tracks t WHERE t.library=? AND t.id IN "
                                 "(SELECT rowid FROM tracks_fts WHERE tracks_fts MATCH ?) "
                                 "ORDER BY t.artist COLLATE NOCASE, t.title COLLATE NOCASE"));
        q.addBindValue(QStringLiteral("Station"));
        q.addBindValue(match);
    }
    q.exec();
    int n = 0;
    while (q.next())
        ++n;
    return n;
}

QString countText(int n)
{
    return QStringLiteral("%1 track%2").arg(n).arg(n == 1 ? "" : "s");
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    PlayoutStartup::prepareEnvironment();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    const int rows = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    const QString kept = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (rows <= 0 || !MusicLibrary::initDatabase())
        return 1;
    if (!kept.isEmpty() && QFile::exists(kept)) {
        QSqlDatabase db = MusicLibrary::database();
        const QString file = db.databaseName();
        db.close();
        QFile::remove(file);
        QFile::remove(file + QStringLiteral("-wal"));
        QFile::remove(file + QStringLiteral("-shm"));
        if (!QFile::copy(kept, file) || !MusicLibrary::initDatabase())
            return 1;
        std::printf("library copied from %s\n", qPrintable(kept));
    } else {
        QElapsedTimer filled;
        filled.start();
        fillBenchLibrary(QStringLiteral("Station"), rows);
        std::printf("inserted %d rows in %.1f s\n", rows, filled.nsecsElapsed() / 1e9);
        if (!kept.isEmpty()) {
            QSqlQuery(MusicLibrary::database()).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            QFile::copy(MusicLibrary::database().databaseName(), kept);
        }
    }

    QElapsedTimer built;
    built.start();
    MainWindow window;
    window.show();
    auto* box = window.findChild<QLineEdit*>(QStringLiteral("searchBox"));
    auto* label = window.findChild<QLabel*>(QStringLiteral("searchCount"));
    if (!box || !label)
        return 1;
    std::printf("window built in %.0f ms\n", built.nsecsElapsed() / 1e6);
    // Settled: painted, with the listing of the empty box shown.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    QElapsedTimer awake;
    double busiest = 0;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&awake] { awake.start(); });
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [&awake, &busiest] {
        if (awake.isValid())
            busiest = std::max(busiest, awake.nsecsElapsed() / 1e6);
    });
    // An answer shows as a reset of the result table.
    int answers = 0;
    QObject::connect(window.findChild<QAbstractItemView*>(QStringLiteral("searchResults"))->model(),
                     &QAbstractItemModel::modelReset, [&answers] { ++answers; });

    // The sequence is typed several times over; each keystroke's figures are
    // the medians of its rounds, as single answers of 100 ms vary by half.
    const int rounds = argc > 3 ? std::max(1, QByteArray(argv[3]).toInt()) : 5;
    const QList<const char*> sequence = {"q", "qu", "quixotry", "l", "lo", "love", "love n", "love night", "k", "ka",
                                         "", "love", ""};
    struct Figures
    {
        int rows = 0;
        QList<double> block, shown, bare;
        bool missed = false;
    };
    QList<Figures> figures(sequence.size());
    const auto median = [](QList<double> v) {
        std::sort(v.begin(), v.end());
        return v.isEmpty() ? 0.0 : v[v.size() / 2];
    };
    double worstBlock = 0;
    for (int round = 0; round < rounds; ++round)
    for (qsizetype k = 0; k < sequence.size(); ++k) {
        const QString text = QString::fromUtf8(sequence[k]);
        QElapsedTimer bareTimer;
        bareTimer.start();
        const int expected = bareCount(text);
        const double bare = bareTimer.nsecsElapsed() / 1e6;

        const int before = answers;
        QElapsedTimer shown;
        shown.start();
        QElapsedTimer step;
        step.start();
        box->setText(text);
        double block = step.nsecsElapsed() / 1e6;
        const QString want = countText(expected);
        // Busy stretches of the GUI thread: from waking up to sleeping again.
        busiest = 0;
        while ((answers == before || label->text() != want) && shown.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        block = std::max(block, busiest);
        const double toShow = shown.nsecsElapsed() / 1e6;
        worstBlock = std::max(worstBlock, block);
        Figures& f = figures[k];
        f.rows = expected;
        f.block << block;
        f.shown << toShow;
        f.bare << bare;
        f.missed = f.missed || label->text() != want;
    }
    std::printf("medians of %d rounds\n", rounds);
    std::printf("%-12s %8s %14s %12s %12s %8s\n", "typed", "rows", "max block ms", "shown ms", "bare ms", "ratio");
    for (qsizetype k = 0; k < sequence.size(); ++k) {
        const Figures& f = figures[k];
        const double shown = median(f.shown);
        const double bare = median(f.bare);
        std::printf("%-12s %8d %14.1f %12.1f %12.1f %8.2f%s\n",
                    qPrintable(QLatin1Char('"') + QString::fromUtf8(sequence[k]) + QLatin1Char('"')), f.rows,
                    *std::max_element(f.block.begin(), f.block.end()), shown, bare, shown / std::max(bare, 0.001),
                    f.missed ? "  (not shown)" : "");
    }
    std::printf("longest GUI block: %.1f ms\n", worstBlock);
    return 0;
}
