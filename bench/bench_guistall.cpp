// The longest stall of the GUI event loop while the playout window
// crossfades track after track with every station output running: a
// stream to a real Icecast server, the built-in server with a listener and
// a recording, all from the on-air mix. Stall = a 10 ms timer's lateness.
#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "icecastserver.h"
#include "mainwindow/mainwindow.h"
#include "outputs/streamarchive.h"
#include "testhome.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenuBar>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kTracks = 6;
constexpr int kTrackSeconds = 12;
constexpr int kTickMs = 10;

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QAction* menuAction(QMainWindow& w, const QString& text)
{
    for (QAction* top : w.menuBar()->actions())
        for (QAction* a : top->menu() ? top->menu()->actions() : QList<QAction*>())
            if (a->text() == text)
                return a;
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    IcecastServer ice;
    if (!ice.start()) {
        std::fprintf(stderr, "icecast: %s\n", qPrintable(ice.errorText()));
        return 1;
    }
    QStringList files;
    for (int i = 0; i < kTracks; ++i) {
        const QString path = home.scratch() + QStringLiteral("/Artist %1 - Song %1.mp3").arg(i);
        if (!AudioFixtures::tone(path, 330 + 110 * i, -6, kTrackSeconds))
            return 1;
        files << path;
    }
    const quint16 serverPort = freePort();
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/mixPointMs"), 3000);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 3000);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 5000);
    s.setValue(QStringLiteral("server/enabled"), true);
    s.setValue(QStringLiteral("server/port"), serverPort);
    s.setValue(QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1"));
    s.setValue(QStringLiteral("broadcast/port"), ice.port());
    s.setValue(QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount));
    s.setValue(QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword));
    s.setValue(QStringLiteral("broadcast/internalMix"), true);
    s.setValue(QStringLiteral("archive/folder"), home.scratch(QStringLiteral("archive")));
    s.setValue(QStringLiteral("archive/internalMix"), true);
    s.sync();

    MainWindow window;
    window.addPaths(files);
    window.show();
    menuAction(window, QStringLiteral("Start Broadcasting"))->trigger();
    QTcpSocket listener;
    listener.connectToHost(QHostAddress::LocalHost, serverPort);
    listener.waitForConnected(5000);
    listener.write("GET / HTTP/1.0\r\n\r\n");
    QObject::connect(&listener, &QTcpSocket::readyRead, &listener, [&listener] { listener.readAll(); });
    window.findChild<StreamArchive*>()->start();
    wait(2000);

    auto* engine = window.findChild<AudioEngine*>();
    int rowsStarted = 0;
    QObject::connect(engine, &AudioEngine::currentRowChanged, &window, [&rowsStarted] { ++rowsStarted; });
    QList<double> lateness;
    QElapsedTimer clock;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(kTickMs);
    QObject::connect(&tick, &QTimer::timeout, &window, [&] {
        lateness << qMax(0.0, clock.nsecsElapsed() / 1e6 - kTickMs);
        clock.restart();
    });
    engine->playRow(0);
    clock.start();
    tick.start();
    const int runMs = (kTracks - 1) * (kTrackSeconds - 3) * 1000 + 2000;
    wait(runMs);
    tick.stop();

    std::sort(lateness.begin(), lateness.end());
    const auto pct = [&](double p) { return lateness.at(qMin(lateness.size() - 1, qsizetype(p * lateness.size()))); };
    std::printf("%d rows started in %.0f s of crossfading, source stream, listener and recording running\n",
                rowsStarted, runMs / 1000.0);
    std::printf("10 ms timer lateness: median %.1f ms, 99th %.1f ms, 99.9th %.1f ms, worst %.1f ms (%lld ticks)\n",
                pct(0.5), pct(0.99), pct(0.999), lateness.last(), qint64(lateness.size()));
    return 0;
}
