// Start-up to the first painted window: the playout program's start-up on a
// library.db of 100 000 tracks beside a bare QMainWindow, each a fresh
// process started by this one, alternating, median and worst of 7.
#include "benchlibrary.h"
#include "library/musiclibrary.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playoutstartup.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRows = 100000;
constexpr int kRuns = 7;

// Ends the process at the window's first paint.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            std::printf("painted\n");
            std::fflush(stdout);
            std::_Exit(0);
        }
        return QObject::eventFilter(watched, event);
    }
};

int child(int argc, char** argv, bool bare)
{
    PlayoutStartup::prepareEnvironment();
    QApplication app(argc, argv);
    FirstPaint filter;
    if (bare) {
        QMainWindow window;
        window.resize(1180, 720);
        window.installEventFilter(&filter);
        window.show();
        return app.exec();
    }
    PlayoutStartup::configureApplication(app);
    MusicLibrary::initDatabase();
    PlayoutStartup::applyStyleSheet(app);
    MainWindow window;
    window.installEventFilter(&filter);
    window.show();
    window.maybeResumePlayback();
    return app.exec();
}

double startOnce(const QString& mode)
{
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(QCoreApplication::applicationFilePath(), {mode});
    if (!p.waitForFinished(120000) || !p.readAllStandardOutput().contains("painted"))
        return -1;
    return t.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
        return child(argc, argv, qstrcmp(argv[1], "bare") == 0);

    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    if (!MusicLibrary::initDatabase())
        return 1;
    fillBenchLibrary(QStringLiteral("Station"), kRows);
    MusicLibrary::database().close();

    QList<double> bare, window;
    for (int i = 0; i < kRuns; ++i) {
        bare << startOnce(QStringLiteral("bare"));
        window << startOnce(QStringLiteral("window"));
    }
    std::sort(bare.begin(), bare.end());
    std::sort(window.begin(), window.end());
    if (bare.first() < 0 || window.first() < 0) {
        std::fprintf(stderr, "a start did not paint\n");
        return 1;
    }
    std::printf("%-28s %10s %10s\n", "start to first paint", "median ms", "worst ms");
    std::printf("%-28s %10.0f %10.0f\n", "bare QMainWindow", bare[kRuns / 2], bare.last());
    std::printf("%-28s %10.0f %10.0f\n", "playout window, 100k lib", window[kRuns / 2], window.last());
    std::printf("ratio of medians: %.2f\n", window[kRuns / 2] / bare[kRuns / 2]);
    return 0;
}
