// Start-up to the first painted window and the memory held at idle. Each
// figure comes from a fresh process started by this one through the playout
// program's own start-up (style sheet, icon, command-line paths):
// - to first paint, on a library.db of 100 000 tracks, beside its bound's
//   parts measured alternately in the same sitting: a bare QMainWindow to
//   its first paint, and opening the library alone. The bound is
//   2 x bare + open. A start is timed from the parent starting the process
//   to the end of the first repaint of a window, as the child tells it (its
//   exit is not timed). Sets of 7 starts of each (3 sets, or the first
//   argument); rows give median and range over all starts, and the ratio
//   to the bound of each set's medians. Each start also reports the CPU
//   time its process used until then: wall time on a loaded machine
//   stretches a bare start, which counts twice in the bound and so flatters
//   the ratio; CPU time stretches far less.
// - resident memory after a few idle seconds with that library and a
//   10 000-row playlist, beside the program with an empty home.
//
// Run: tools/inroot build/bench/bench_startup [sets]
#include "benchlibrary.h"
#include "benchtiming.h"
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

// CPU time of this process so far, all threads, in ms.
double cpuMs()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Monotonic time in ms; the same clock in the parent and its children.
double monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Ends the process once the first paint of a top-level window is done (the
// zero timer runs after the whole repaint and its flush), telling how long
// after its start by the parent that was, and its CPU time until then. The
// process's exit is not timed: a bigger program takes longer to tear down.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType()
            && static_cast<QWidget*>(watched)->isWindow()) {
            m_seen = true;
            QTimer::singleShot(0, [] {
                const double started = qEnvironmentVariable("OL_BENCH_STARTED_MS").toDouble();
                std::printf("cpu %.3f\npainted %.3f\n", cpuMs(), monotonicMs() - started);
                std::fflush(stdout);
                std::_Exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

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
    std::printf("main %.3f\n", monotonicMs() - qEnvironmentVariable("OL_BENCH_STARTED_MS").toDouble());
    PlayoutStartup::prepareEnvironment();
    QApplication app(argc, argv);
    if (mode == "bare") {
        FirstPaint filter;
        QMainWindow window;
        window.resize(1180, 720);
        window.installEventFilter(&filter);
        window.show();
        return app.exec();
    }
    if (mode == "open") {
        // The library's own open: the file claimed and its schema checked.
        QElapsedTimer t;
        t.start();
        const double cpuBefore = cpuMs();
        MusicLibrary::initDatabase();
        std::printf("opened %.3f\ncpu-open %.3f\n", t.nsecsElapsed() / 1e6, cpuMs() - cpuBefore);
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
    if (mode == "window")
        app.installEventFilter(&filter);
    return PlayoutStartup::start(app, paths);
}

QProcessEnvironment homeEnvironment(const QString& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
    return env;
}

// The child's answers by key; empty when it did not finish.
QHash<QByteArray, double> runChild(const QStringList& args, const QString& home)
{
    QProcess p;
    QProcessEnvironment env = homeEnvironment(home);
    env.insert(QStringLiteral("OL_BENCH_STARTED_MS"), QString::number(monotonicMs(), 'f', 3));
    p.setProcessEnvironment(env);
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
    QList<double> bare, window, open, bareCpu, windowCpu, byWall, byCpu;
    bool answered = true;
    for (int set = 0; set < sets; ++set) {
        QList<double> b, w, o, bc, wc, oc;
        for (int i = 0; i < kRuns; ++i) {
            const QHash<QByteArray, double> bareRun = runChild({QStringLiteral("bare")}, home.path());
            const QHash<QByteArray, double> windowRun = runChild({QStringLiteral("window")}, home.path());
            const QHash<QByteArray, double> openRun = runChild({QStringLiteral("open")}, home.path());
            answered = answered && bareRun.contains("painted") && windowRun.contains("painted")
                       && openRun.contains("opened");
            b << bareRun.value("painted");
            w << windowRun.value("painted");
            o << openRun.value("opened");
            bc << bareRun.value("cpu");
            wc << windowRun.value("cpu");
            oc << openRun.value("cpu-open");
        }
        byWall << median(w) / (2 * median(b) + median(o));
        byCpu << median(wc) / (2 * median(bc) + median(oc));
        bare += b;
        window += w;
        open += o;
        bareCpu += bc;
        windowCpu += wc;
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
    row("bare QMainWindow to first paint", bare, "ms");
    row("library open alone", open, "ms");
    row("playout window, 100k lib", window, "ms");
    row("bare QMainWindow, CPU to first paint", bareCpu, "ms");
    row("playout window, CPU to first paint", windowCpu, "ms");
    std::printf("start-up / bound (2 x bare + open), each of %d sets of %d: wall %s, CPU %s\n", sets, kRuns,
                qPrintable(QString::asprintf("%.2f (%.2f-%.2f)", spreadOf(byWall).median, spreadOf(byWall).low,
                                             spreadOf(byWall).high)),
                qPrintable(QString::asprintf("%.2f (%.2f-%.2f)", spreadOf(byCpu).median, spreadOf(byCpu).low,
                                             spreadOf(byCpu).high)));
    row("RSS idle, empty home", idleEmpty, "MiB");
    row("RSS idle, 100k lib, no playlist", idleLibrary, "MiB");
    row("RSS idle, 100k lib + 10k playlist", idleFull, "MiB");
    std::printf("RSS ratio of medians: %.2f\n", median(idleFull) / median(idleEmpty));
    return 0;
}
