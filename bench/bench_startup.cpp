// Start-up to the first painted window and the memory held at idle. Each
// figure comes from a fresh process started by this one through the playout
// program's own start-up (style sheet, icon, command-line paths):
// - to first paint, on a library.db of 100 000 tracks, beside a bare
//   QMainWindow and beside opening the library alone, alternating, median
//   and worst of 7;
// - resident memory after a few idle seconds with that library and a
//   10 000-row playlist, beside the program with an empty home.
#include "benchlibrary.h"
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
#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr int kRows = 100000;
constexpr int kPlaylistRows = 10000;
constexpr int kRuns = 7;
constexpr int kIdleMs = 5000;

// Ends the process at the first paint of a top-level window.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow()) {
            std::printf("painted\n");
            std::fflush(stdout);
            std::_Exit(0);
        }
        return QObject::eventFilter(watched, event);
    }
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
        MusicLibrary::initDatabase();
        std::printf("opened %.3f\n", t.nsecsElapsed() / 1e6);
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

// The child's answer after `key`, or the wall time when the key is "painted".
double runChild(const QStringList& args, const QString& home, const QByteArray& key)
{
    QProcess p;
    p.setProcessEnvironment(homeEnvironment(home));
    QElapsedTimer t;
    t.start();
    p.start(QCoreApplication::applicationFilePath(), args);
    if (!p.waitForFinished(180000))
        return -1;
    const double wall = t.nsecsElapsed() / 1e6;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        if (line.startsWith("heap ") && qEnvironmentVariableIsSet("OL_BENCH_RSS_DETAIL"))
            std::printf("  %s: %s\n", qPrintable(args.join(QLatin1Char(' ')).left(40)), line.constData());
        if (line == key)
            return wall;
        if (line.startsWith(key + ' '))
            return line.mid(key.size() + 1).toDouble();
    }
    return -1;
}

void row(const char* label, QList<double> values, const char* unit)
{
    std::sort(values.begin(), values.end());
    std::printf("%-34s %10.1f %10.1f  %s\n", label, values[values.size() / 2], values.last(), unit);
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
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

    QList<double> bare, window, open;
    for (int i = 0; i < kRuns; ++i) {
        bare << runChild({QStringLiteral("bare")}, home.path(), "painted");
        window << runChild({QStringLiteral("window")}, home.path(), "painted");
        open << runChild({QStringLiteral("open")}, home.path(), "opened");
    }
    QList<double> idleFull, idleLibrary, idleEmpty;
    // The library alone first: a run with the playlist leaves it stored in
    // the home, and later starts restore it.
    for (int i = 0; i < 3; ++i)
        idleLibrary << runChild({QStringLiteral("idle"), QString()}, home.path(), "rss");
    // The first start takes the playlist from the command line; the others
    // restore it, as a restart would, so that every run holds 10 000 rows.
    for (int i = 0; i < 3; ++i) {
        idleFull << runChild({QStringLiteral("idle"), i == 0 ? listFile : QString()}, home.path(), "rss");
        idleEmpty << runChild({QStringLiteral("idle"), QString()}, emptyHome.path(), "rss");
    }
    for (const auto* list : {&bare, &window, &open, &idleFull, &idleLibrary, &idleEmpty}) {
        if (*std::min_element(list->begin(), list->end()) < 0) {
            std::fprintf(stderr, "a child did not answer\n");
            return 1;
        }
    }
    std::printf("%-34s %10s %10s\n", "measure", "median", "worst");
    row("bare QMainWindow to first paint", bare, "ms");
    row("library open alone", open, "ms");
    row("playout window, 100k lib", window, "ms");
    std::printf("start-up: window / (2 x bare + open) = %.2f\n", median(window) / (2 * median(bare) + median(open)));
    row("RSS idle, empty home", idleEmpty, "MiB");
    row("RSS idle, 100k lib, no playlist", idleLibrary, "MiB");
    row("RSS idle, 100k lib + 10k playlist", idleFull, "MiB");
    std::printf("RSS ratio of medians: %.2f\n", median(idleFull) / median(idleEmpty));
    return 0;
}
