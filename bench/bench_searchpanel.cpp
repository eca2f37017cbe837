// The main window's search panel while the operator types, on a library of
// 100 000 rows (or the count given as the first argument). The window is
// built as the program builds it (style sheet, icon). Each keystroke is a
// key press posted to the search box; for each one:
// - "shown": from the key press to the result table filled with its answer
//   and drawn (the first paint of the table after its reset, and the end of
//   that repaint);
// - "stall": the GUI thread's longest stall from the key press until 150 ms
//   after it was drawn, as a 1 ms timer's lateness (StallProbe), which no
//   busy handler, paint or blocking wait can hide from;
// - two references, in the same run, read by bare queries on the GUI thread
//   stepping over their rows: "whole", the whole answer (the full-text
//   match, or the whole library for the empty box, sorted as the panel
//   sorts); "shown", what the panel shows of it (its count and its first
//   page of 1 000 rows). The panel reads a library's answer by pages.
// Rows give the median and range over the rounds.
// A file named as the second argument keeps the filled library between runs:
// filled and saved there when missing, copied in instead of filling otherwise.
// The third argument is how many times the keystrokes are typed (5).
//
// Run: tools/inroot build/bench/bench_searchpanel 1000000 /tmp/bench-1m.db
#include "benchlibrary.h"
#include "benchtiming.h"
#include "library/musiclibrary.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playoutstartup.h"
#include "testhome.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kTrailMs = 150;

int stepOver(QSqlQuery& q)
{
    q.exec();
    int n = 0;
    while (q.next())
        ++n;
    return n;
}

// The whole answer to this text, or the count and first page of it, read
// by bare queries; the number of rows of the whole answer.
int bareAnswer(const QString& text, bool whole)
{
    const QString match = MusicLibrary::ftsTerms(text).join(QLatin1Char(' '));
    const QString where = match.isEmpty() ? QStringLiteral("WHERE library=?")
                                          : QStringLiteral("WHERE library=? AND id IN "
                                                           "(SELECT rowid FROM tracks_fts WHERE tracks_fts MATCH ?)");
    const auto bind = [&](QSqlQuery& q) {
        q.addBindValue(QStringLiteral("Station"));
        if (!match.isEmpty())
            q.addBindValue(match);
    };
    QSqlQuery q(MusicLibrary::database());
    q.setForwardOnly(true);
    if (whole) {
        q.prepare(QStringLiteral("SELECT * FROM tracks ") + where
                  + QStringLiteral(" ORDER BY artist COLLATE NOCASE, title COLLATE NOCASE"));
        bind(q);
        return stepOver(q);
    }
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM tracks ") + where);
    bind(q);
    const int total = q.exec() && q.next() ? q.value(0).toInt() : -1;
    q.prepare(QStringLiteral("SELECT * FROM tracks ") + where
              + QStringLiteral(" ORDER BY artist COLLATE NOCASE, title COLLATE NOCASE, id LIMIT 1000"));
    bind(q);
    stepOver(q);
    return total;
}

QString countText(int n)
{
    return QStringLiteral("%1 track%2").arg(n).arg(n == 1 ? "" : "s");
}

// Notes the end of the first repaint of the result table after an answer:
// a paint of its viewport once the model was reset, then the end of the
// repaint it belongs to (a zero timer runs after the whole flush).
class DrawnWatch : public QObject
{
public:
    bool armed = false;
    bool reset = false;
    std::function<void()> drawn;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (armed && reset && event->type() == QEvent::Paint) {
            armed = false;
            QTimer::singleShot(0, this, [this] { drawn(); });
        }
        return QObject::eventFilter(watched, event);
    }
};

void runLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void busyFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
    }
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    PlayoutStartup::prepareEnvironment();
    QApplication app(argc, argv);
    PlayoutStartup::configureApplication(app);
    const int rows = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    const QString kept = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    const int rounds = argc > 3 ? std::max(1, QByteArray(argv[3]).toInt()) : 5;
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
    if (!PlayoutStartup::applyStyleSheet(app)) {
        std::fprintf(stderr, "the style sheet could not be read\n");
        return 1;
    }

    QElapsedTimer built;
    built.start();
    MainWindow window;
    window.show();
    auto* box = window.findChild<QLineEdit*>(QStringLiteral("searchBox"));
    auto* label = window.findChild<QLabel*>(QStringLiteral("searchCount"));
    auto* table = window.findChild<QAbstractItemView*>(QStringLiteral("searchResults"));
    if (!box || !label || !table)
        return 1;
    std::printf("window built in %.0f ms\n", built.nsecsElapsed() / 1e6);
    // Settled: painted, with the listing of the empty box shown.
    runLoopFor(2000);

    StallProbe probe(1);
    probe.start();
    // The probe must see a stall that never waits: a busy handler.
    runLoopFor(50);
    probe.reset();
    QTimer::singleShot(0, [] { busyFor(60); });
    runLoopFor(50);
    std::printf("probe check: a 60 ms busy handler reads as a %.1f ms stall\n", probe.longestMs());

    DrawnWatch watch;
    table->viewport()->installEventFilter(&watch);
    QObject::connect(table->model(), &QAbstractItemModel::modelReset, &watch, [&watch] { watch.reset = true; });

    const QList<const char*> sequence = {"q", "qu", "quixotry", "l", "lo", "love", "love n", "love night", "k", "ka",
                                         "", "love", ""};
    struct Figures
    {
        int rows = 0;
        QList<double> stall, stallOnCpu, shown, bareWhole, bareShown;
        bool missed = false;
    };
    QList<Figures> figures(sequence.size());
    QList<double> everyStall;
    struct Worst
    {
        double ms = 0;
        StallProbe::Split split;
        QString typed;
    } worst;
    for (int round = 0; round < rounds; ++round)
    for (qsizetype k = 0; k < sequence.size(); ++k) {
        const QString text = QString::fromUtf8(sequence[k]);
        QElapsedTimer bareTimer;
        bareTimer.start();
        const int total = bareAnswer(text, true);
        const double bareWhole = bareTimer.nsecsElapsed() / 1e6;
        bareTimer.start();
        bareAnswer(text, false);
        const double bareShown = bareTimer.nsecsElapsed() / 1e6;
        const QString want = countText(total);
        // The bare query ran on this thread: let the loop catch up first.
        runLoopFor(20);

        QEventLoop loop;
        QElapsedTimer shown;
        double toShow = -1;
        watch.reset = false;
        watch.armed = true;
        watch.drawn = [&] {
            if (label->text() != want) {
                // An answer that is not this keystroke's: wait for the next.
                watch.reset = false;
                watch.armed = true;
                return;
            }
            toShow = shown.nsecsElapsed() / 1e6;
            QTimer::singleShot(kTrailMs, &loop, &QEventLoop::quit);
        };
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(120000);
        // A keystroke over the whole text, as typing over a selection does.
        box->selectAll();
        QKeyEvent* key = text.isEmpty()
                             ? new QKeyEvent(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier)
                             : new QKeyEvent(QEvent::KeyPress, Qt::Key(text.at(0).toUpper().unicode()),
                                             Qt::NoModifier, text);
        probe.reset();
        shown.start();
        QCoreApplication::postEvent(box, key);
        loop.exec();
        watch.armed = false;

        Figures& f = figures[k];
        f.rows = total;
        f.stall << probe.longestMs();
        f.stallOnCpu << probe.longestSplit().onCpu;
        f.shown << (toShow < 0 ? 120000.0 : toShow);
        f.bareWhole << bareWhole;
        f.bareShown << bareShown;
        f.missed = f.missed || toShow < 0;
        everyStall << probe.longestMs();
        if (probe.longestMs() > worst.ms)
            worst = {probe.longestMs(), probe.longestSplit(), text};
    }
    probe.stop();

    std::printf("%s\n", qPrintable(machineLoad()));
    std::printf("median (low-high) of %d rounds, ms; ratios of the medians: shown / whole, shown / shown bare\n",
                rounds);
    std::printf("%-12s %8s %20s %18s %24s %24s %22s %6s %6s\n", "typed", "rows", "stall", "its tick on a core",
                "shown", "bare whole", "bare shown", "whole", "shown");
    const auto cell = [](const QList<double>& values) {
        const Spread s = spreadOf(values);
        return QString::asprintf("%.1f (%.1f-%.1f)", s.median, s.low, s.high);
    };
    for (qsizetype k = 0; k < sequence.size(); ++k) {
        const Figures& f = figures[k];
        const double shown = spreadOf(f.shown).median;
        std::printf("%-12s %8d %20s %18s %24s %24s %22s %6.2f %6.2f%s\n",
                    qPrintable(QLatin1Char('"') + QString::fromUtf8(sequence[k]) + QLatin1Char('"')), f.rows,
                    qPrintable(cell(f.stall)), qPrintable(cell(f.stallOnCpu)), qPrintable(cell(f.shown)),
                    qPrintable(cell(f.bareWhole)), qPrintable(cell(f.bareShown)),
                    shown / std::max(spreadOf(f.bareWhole).median, 0.001),
                    shown / std::max(spreadOf(f.bareShown).median, 0.001), f.missed ? "  (not shown)" : "");
    }
    const Spread all = spreadOf(everyStall);
    std::printf("longest GUI stall per keystroke: median %.1f ms, worst %.1f ms (%lld keystrokes)\n", all.median,
                all.high, qint64(everyStall.size()));
    std::printf("the worst (\"%s\"): its thread was %.1f ms on a core, %.1f ms waiting for one, %.1f ms asleep\n",
                qPrintable(worst.typed), worst.split.onCpu, worst.split.waitingForCpu, worst.split.blocked);
    return 0;
}
