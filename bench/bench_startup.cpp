// Start-up to the first painted window and the memory held at idle. Each
// figure comes from a fresh process started by this one through the playout
// program's own start-up (style sheet, icon, command-line paths):
// - to first paint, on a library.db of 100 000 tracks, beside its bound's
//   parts measured alternately in the same sitting: a bare QMainWindow to
//   its first paint in a program of Qt Widgets alone (bench_startup_
//   barewindow), and opening the library alone. The bound is 2 x bare +
//   open. The same bare window started from this benchmark, which carries
//   the whole program's libraries as the playout program does, is shown
//   too: taken as the reference it counts their loading twice in the bound.
//   A start is timed from the parent starting the process; each child tells
//   when its main() began, and the playout window when its QApplication was
//   made and its first paint began and ended, then the longest stall of its
//   window's thread in the 3 s after (a 2 ms precise timer's lateness):
//   "ready" is the paint plus that stall, timed against 2 x the bare
//   window's ready + open (the exit is not timed). The library open is of
//   the 100 000-track library the window opens. Sets
//   of 7 starts of each (3 sets, or the first argument); rows give median
//   and range over all starts, ratios the median and range of each set's
//   medians. CPU time of each start until its paint is shown too: wall
//   time on a loaded machine stretches every start.
// - resident memory after a few idle seconds with that library and a
//   10 000-row playlist, beside the program with an empty home.
//
// Run: tools/inroot build/bench/bench_startup [sets]
#include "benchchild.h"
#include "benchlibrary.h"
#include "benchtiming.h"
#include "firstpaint.h"
#include "library/musiclibrary.h"
#include "mainwindow/playoutstartup.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <sys/resource.h>
#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr int kRows = 100000;
constexpr int kPlaylistRows = 10000;
constexpr int kRuns = 7;
constexpr int kIdleMs = 5000;

double residentMiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

int child(int argc, char** argv)
{
    const QByteArray mode = argv[1];
    tellMark("main");
    PlayoutStartup::prepareEnvironment();
    QApplication app(argc, argv);
    tellMark("app");
    if (mode == "bare")
        return showBareWindow(app);
    if (mode == "open") {
        // The library's own open, under the program's names so that it is
        // the station's library: the file claimed and its schema checked.
        PlayoutStartup::configureApplication(app);
        QElapsedTimer t;
        t.start();
        const double cpuBefore = cpuMs();
        MusicLibrary::initDatabase();
        std::printf("opened %.3f\ncpu-open %.3f\n", t.nsecsElapsed() / 1e6, cpuMs() - cpuBefore);
        QSqlQuery count(MusicLibrary::database());
        if (count.exec(QStringLiteral("SELECT COUNT(*) FROM tracks")) && count.next())
            std::printf("tracks %lld\n", count.value(0).toLongLong());
        return 0;
    }
    QStringList paths;
    if (mode == "idle") {
        QFile list(QString::fromLocal8Bit(argv[2]));
        if (list.open(QIODevice::ReadOnly | QIODevice::Text))
            paths = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QTimer::singleShot(kIdleMs, [] {
#ifdef __GLIBC__
            const struct mallinfo2 heap = mallinfo2();
            std::printf("heap in use %.1f MiB, free in heap %.1f MiB\n", heap.uordblks / 1048576.0,
                        heap.fordblks / 1048576.0);
#endif
            std::printf("rss %.1f\n", residentMiB());
            if (qEnvironmentVariableIsSet("OL_BENCH_RSS_DETAIL")) {
                QFile status(QStringLiteral("/proc/self/status"));
                if (status.open(QIODevice::ReadOnly))
                    std::printf("%s", status.readAll().constData());
            }
            std::fflush(stdout);
            std::_Exit(0);
        });
    }
    FirstPaint filter;
    if (mode == "window" || mode == "empty")
        app.installEventFilter(&filter);
    return PlayoutStartup::start(app, paths);
}

// The child's answers by key; empty when it did not finish.
QHash<QByteArray, double> runChild(const QStringList& args, const QString& home)
{
    QProcess p;
    QProcessEnvironment env = benchHomeEnvironment(home);
    env.insert(QStringLiteral("OL_BENCH_STARTED_MS"), QString::number(monotonicMs(), 'f', 3));
    p.setProcessEnvironment(env);
    if (args.first() == QLatin1String("minimal"))
        p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/bench_startup_barewindow"), {});
    else
        p.start(QCoreApplication::applicationFilePath(), args);
    if (!p.waitForFinished(180000))
        return {};
    QHash<QByteArray, double> out;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        if (line.startsWith("heap ") && qEnvironmentVariableIsSet("OL_BENCH_RSS_DETAIL"))
            std::printf("  %s: %s\n", qPrintable(args.join(QLatin1Char(' ')).left(40)), line.constData());
        const qsizetype space = line.indexOf(' ');
        if (space > 0)
            out.insert(line.left(space), line.mid(space + 1).toDouble());
    }
    return out;
}

void row(const char* label, const QList<double>& values, const char* unit)
{
    const Spread s = spreadOf(values);
    std::printf("%-38s %9.1f %9.1f-%-9.1f %s\n", label, s.median, s.low, s.high, unit);
}

double median(QList<double> values)
{
    return spreadOf(std::move(values)).median;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && QByteArray(argv[1]).toInt() <= 0)
        return child(argc, argv);

    TestHome home;
    QTemporaryDir emptyHome;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    if (!MusicLibrary::initDatabase())
        return 1;
    fillBenchLibrary(QStringLiteral("Station"), kRows);
    QStringList playlist;
    {
        QSqlQuery q(MusicLibrary::database());
        q.exec(QStringLiteral("SELECT filepath FROM tracks LIMIT %1").arg(kPlaylistRows));
        while (q.next())
            playlist << q.value(0).toString();
    }
    MusicLibrary::database().close();
    const QString listFile = home.scratch() + QStringLiteral("/playlist.txt");
    {
        QFile f(listFile);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Text))
            return 1;
        f.write(playlist.join(QLatin1Char('\n')).toUtf8());
    }

    const int sets = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 3;
    // Each start's marks by kind: "minimal" is the bare window in a program
    // of Qt alone (the reference), "bare" the same window started from this
    // benchmark, which carries the whole program as the playout program does.
    const QList<QString> kinds = {QStringLiteral("minimal"), QStringLiteral("bare"), QStringLiteral("window"),
                                  QStringLiteral("empty"), QStringLiteral("open")};
    QHash<QString, QHash<QByteArray, QList<double>>> marks;
    QList<double> byWall, byReady, byReadyEmpty, byCpu, byWallOld;
    bool answered = true;
    for (int set = 0; set < sets; ++set) {
        QHash<QString, QHash<QByteArray, QList<double>>> inSet;
        for (int i = 0; i < kRuns; ++i) {
            for (const QString& kind : kinds) {
                const QHash<QByteArray, double> run =
                    runChild({kind}, kind == QLatin1String("empty") ? emptyHome.path() : home.path());
                answered = answered && (kind == QLatin1String("open") ? run.value("tracks") == kRows : run.contains("ready"));
                for (auto it = run.begin(); it != run.end(); ++it)
                    inSet[kind][it.key()] << it.value();
            }
        }
        const auto m = [&inSet](const char* kind, const char* key) {
            return median(inSet[QLatin1String(kind)][key]);
        };
        byWall << m("window", "painted") / (2 * m("minimal", "painted") + m("open", "opened"));
        byReady << m("window", "ready") / (2 * m("minimal", "ready") + m("open", "opened"));
        byReadyEmpty << m("empty", "ready") / (2 * m("minimal", "ready"));
        byWallOld << m("window", "painted") / (2 * m("bare", "painted") + m("open", "opened"));
        byCpu << m("window", "cpu") / (2 * m("minimal", "cpu") + m("open", "cpu-open"));
        for (auto kind = inSet.begin(); kind != inSet.end(); ++kind)
            for (auto key = kind->begin(); key != kind->end(); ++key)
                marks[kind.key()][key.key()] += key.value();
    }
    QList<double> idleFull, idleLibrary, idleEmpty;
    // The library alone first: a run with the playlist leaves it stored in
    // the home, and later starts restore it.
    for (int i = 0; i < 3; ++i)
        idleLibrary << runChild({QStringLiteral("idle"), QString()}, home.path()).value("rss", -1);
    // The first start takes the playlist from the command line; the others
    // restore it, as a restart would, so that every run holds 10 000 rows.
    for (int i = 0; i < 3; ++i) {
        idleFull << runChild({QStringLiteral("idle"), i == 0 ? listFile : QString()}, home.path()).value("rss", -1);
        idleEmpty << runChild({QStringLiteral("idle"), QString()}, emptyHome.path()).value("rss", -1);
    }
    for (const auto* list : {&idleFull, &idleLibrary, &idleEmpty})
        answered = answered && *std::min_element(list->begin(), list->end()) >= 0;
    if (!answered) {
        std::fprintf(stderr, "a child did not answer\n");
        return 1;
    }
    std::printf("%s\n", qPrintable(machineLoad()));
    std::printf("%-38s %9s %19s\n", "measure", "median", "range");
    const auto of = [&marks](const char* kind, const char* key) { return marks[QLatin1String(kind)][key]; };
    const auto ratios = [](const QList<double>& r) {
        const Spread s = spreadOf(r);
        return QString::asprintf("%.2f (%.2f-%.2f)", s.median, s.low, s.high);
    };
    std::printf("times from the parent starting the process\n");
    row("bare window (Qt alone): main()", of("minimal", "main"), "ms");
    row("bare window (Qt alone): first paint", of("minimal", "painted"), "ms");
    row("bare window (this binary): main()", of("bare", "main"), "ms");
    row("bare window (this binary): first paint", of("bare", "painted"), "ms");
    row("library open alone (in process)", of("open", "opened"), "ms");
    row("playout window: main()", of("window", "main"), "ms");
    row("playout window: QApplication made", of("window", "app"), "ms");
    row("playout window: first paint begins", of("window", "paint-begins"), "ms");
    row("playout window: first paint done", of("window", "painted"), "ms");
    row("bare window (Qt alone): stall after paint", of("minimal", "stall"), "ms");
    row("bare window (Qt alone): ready", of("minimal", "ready"), "ms");
    row("playout window: stall after paint", of("window", "stall"), "ms");
    row("playout window: ready", of("window", "ready"), "ms");
    row("playout window: libraries at first paint", of("window", "libs-painted"), "");
    row("playout window: libraries loaded after it", of("window", "libs-after"), "");
    row("playout window, empty home: first paint", of("empty", "painted"), "ms");
    row("playout window, empty home: stall after", of("empty", "stall"), "ms");
    row("playout window, empty home: ready", of("empty", "ready"), "ms");
    row("bare window (Qt alone), CPU", of("minimal", "cpu"), "ms");
    row("bare window (this binary), CPU", of("bare", "cpu"), "ms");
    row("playout window, CPU", of("window", "cpu"), "ms");
    std::printf("start-up / bound (2 x bare + open), medians of each of %d sets of %d:\n", sets, kRuns);
    std::printf("  ready (paint + longest stall of the next 3 s), bare window of Qt alone: %s\n",
                qPrintable(ratios(byReady)));
    std::printf("  ready, empty home / 2 x bare window's ready: %s\n", qPrintable(ratios(byReadyEmpty)));
    std::printf("  first paint, bare window of Qt alone (the bound): wall %s, CPU %s\n", qPrintable(ratios(byWall)),
                qPrintable(ratios(byCpu)));
    std::printf("  bare window started from this binary: wall %s\n", qPrintable(ratios(byWallOld)));
    row("RSS idle, empty home", idleEmpty, "MiB");
    row("RSS idle, 100k lib, no playlist", idleLibrary, "MiB");
    row("RSS idle, 100k lib + 10k playlist", idleFull, "MiB");
    std::printf("RSS ratio of medians: %.2f\n", median(idleFull) / median(idleEmpty));
    return 0;
}
