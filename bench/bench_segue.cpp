// Segues on time: how far past its mix point the outgoing track has played
// when the engine starts the next row, and when the next row's first audio
// arrives (the outgoing position estimated from its last position report and
// the wall clock since). Six 8-second tones,
// mix point 5 s, through the default output (run inside tools/inroot with
// the test PulseAudio started).
#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "testhome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    MusicLibrary::initDatabase();
    constexpr qint64 kLengthMs = 8000;
    constexpr qint64 kMixPointMs = 5000;
    const QString tone = home.scratch() + QStringLiteral("/tone.wav");
    if (!AudioFixtures::tone(tone, 440, -12, kLengthMs / 1000.0))
        return 1;
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 3000);
    s.setValue(QStringLiteral("playback/mixPointMs"), kMixPointMs);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 2000);

    PlaylistModel model;
    for (int i = 0; i < 6; ++i)
        model.addTrack(Track::fromFile(tone));
    AudioEngine engine;
    engine.setPlaylist(&model);

    QElapsedTimer clock;
    clock.start();
    qint64 lastPosition = -1;
    qint64 lastAt = 0;
    qint64 duration = 0;
    QList<double> late;
    QList<double> heard;
    qint64 mixAt = -1; // clock time of the last mix point
    QObject::connect(&engine, &AudioEngine::durationChanged, &app, [&](qint64 ms) { duration = ms; });
    QObject::connect(&engine, &AudioEngine::positionChanged, &app, [&](qint64 ms) {
        lastPosition = ms;
        lastAt = clock.elapsed();
    });
    QObject::connect(&engine, &AudioEngine::currentRowChanged, &app, [&](int row) {
        mixAt = -1;
        if (row > 0 && lastPosition >= 0 && duration > 0) {
            const qint64 past = lastPosition + (clock.elapsed() - lastAt) - (duration - kMixPointMs);
            late << double(past);
            mixAt = clock.elapsed() - past;
        }
        lastPosition = -1;
    });
    QObject::connect(&engine, &AudioEngine::playStarted, &app, [&] {
        if (mixAt >= 0)
            heard << double(clock.elapsed() - mixAt);
        if (model.currentRow() >= model.rowCount() - 1)
            app.quit();
    });
    engine.playRow(0);
    app.exec();
    engine.stop();
    if (late.isEmpty() || heard.isEmpty())
        return 1;
    std::sort(late.begin(), late.end());
    std::sort(heard.begin(), heard.end());
    std::printf("%lld segues; the next row started past the mix point: median %.0f ms, worst %.0f ms, best %.0f ms\n",
                qlonglong(late.size()), late[late.size() / 2], late.last(), late.first());
    std::printf("%lld segues; its first audio past the mix point: median %.0f ms, worst %.0f ms, best %.0f ms\n",
                qlonglong(heard.size()), heard[heard.size() / 2], heard.last(), heard.first());
    return 0;
}
