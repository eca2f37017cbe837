// CPU time of the engine while it plays and crossfades real files through
// the default output (run inside tools/inroot with the test PulseAudio
// started). Reports the process's time and the GUI thread's alone, where
// the engine's buffer handlers, fade ticks and position checks run.
#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "testhome.h"

#include <QAudioBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <sys/resource.h>

namespace {

double processCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 60;

    MusicLibrary::initDatabase();
    const QString dir = home.scratch();
    const QString a = dir + QStringLiteral("/a.wav");
    const QString b = dir + QStringLiteral("/b.mp3");
    if (!AudioFixtures::tone(a, 440, -6, 20) || !AudioFixtures::tone(b, 880, -6, 20)) {
        std::fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 3000);
    s.setValue(QStringLiteral("playback/mixPointMs"), 5000);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 5000);
    s.setValue(QStringLiteral("playback/fadeInMs"), 2000);

    PlaylistModel model;
    for (int i = 0; i < 20; ++i)
        model.addTrack(Track::fromFile(i % 2 ? b : a));
    AudioEngine engine;
    engine.setPlaylist(&model);
    qint64 buffers = 0;
    int segues = 0;
    QObject::connect(&engine, &AudioEngine::audioBufferReady, &app, [&](const QAudioBuffer&) { ++buffers; });
    QObject::connect(&engine, &AudioEngine::currentRowChanged, &app, [&](int) { ++segues; });

    const double cpu0 = processCpuMs();
    const double main0 = threadCpuMs();
    QElapsedTimer wall;
    wall.start();
    engine.playRow(0);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double minutes = wall.elapsed() / 60000.0;
    const double cpu = processCpuMs() - cpu0;
    const double main = threadCpuMs() - main0;
    engine.stop();
    std::printf("%.2f min of audio, %d rows started (segues), %lld buffers on air\n", minutes, segues - 1,
                static_cast<long long>(buffers));
    std::printf("process CPU %.0f ms per minute of audio; GUI thread %.0f ms per minute\n", cpu / minutes,
                main / minutes);
    return 0;
}
