// Commands on the list on air while a large list is made for another load,
// in the real window: a playlist of 390 000 entries (paths of a share that
// are not there) is loaded into the list on air, and `next` is sent right
// after it through the command executor, as the remote API sends it. Gives
// how long `next` took to act, how long the whole load took, and the
// window's longest stall meanwhile; beside `next` with nothing being made.
// --quick: 40 000 entries.
#include "benchtiming.h"
#include "engine/audioengine.h"
#include "library/musiclibrary.h"
#include "mainwindow/mainwindow.h"
#include "testhome.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

// Runs the event loop until done() or the time is up; false on time-out.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 600000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

QString writeList(const QString& path, int entries)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    for (int i = 0; i < entries; ++i)
        file.write(QStringLiteral("/share/%1/Title %2.mp3\n").arg(i / 1000).arg(i).toUtf8());
    return path;
}

// Milliseconds from `next` to the engine's move to another row.
double timeNext(MainWindow& window, AudioEngine& engine)
{
    bool moved = false;
    const QMetaObject::Connection c = QObject::connect(&engine, &AudioEngine::currentRowChanged, [&moved] { moved = true; });
    QElapsedTimer t;
    t.start();
    window.runSchedulerCommand(QStringLiteral("next"));
    waitUntil([&moved] { return moved; });
    QObject::disconnect(c);
    return t.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int entries = quick ? 40000 : 390000;

    MusicLibrary::initDatabase();
    MainWindow window;
    auto* engine = window.findChild<AudioEngine*>();
    const QString small = writeList(home.scratch() + QStringLiteral("/small.m3u"), 50);
    const QString big = writeList(home.scratch() + QStringLiteral("/big.m3u"), entries);
    window.runSchedulerCommand(QStringLiteral("load ") + small);
    waitUntil([&window] { return !window.rowsBeingMade(); });
    window.runSchedulerCommand(QStringLiteral("play 1"));
    const double idleMs = timeNext(window, *engine);

    StallProbe probe;
    probe.start();
    QElapsedTimer load;
    load.start();
    window.runSchedulerCommand(QStringLiteral("load ") + big);
    const double behindMs = timeNext(window, *engine);
    waitUntil([&window] { return !window.rowsBeingMade(); });
    const double loadMs = load.nsecsElapsed() / 1e6;
    probe.stop();

    std::printf("entries in the list loaded:            %d\n", entries);
    std::printf("next, nothing being made:              %8.1f ms\n", idleMs);
    std::printf("next, behind the list being made:      %8.1f ms\n", behindMs);
    std::printf("the whole load, read and put in:       %8.1f ms\n", loadMs);
    std::printf("longest stall of the window meanwhile: %8.1f ms\n", probe.longestMs());
    return 0;
}
