// The window's longest stall around a track start, with 10 000 and 50 000
// rows in the on-air playlist, beside the same with 10 rows (the floor the
// rest of a start costs). The program is started through its own start-up
// (style sheet, icon) on a playlists.json of that many rows of real 2.5 s
// files, resuming playback; each track then ends by itself and the next
// starts. Stall = the lateness of a 2 ms precise timer, so a busy handler, a
// paint or a blocking write cannot hide. The stall of a start is the longest
// one from that start to the next, which holds the playlist save the start
// schedules. The first two starts (the start-up itself) are left out; each
// row gives the median and range of the starts of two runs. Aim: < 40 ms.
//
// Run: tools/inroot bash -c '. tools/audio-env && ol_start_audio && build/bench/bench_trackstart'
#include "audiofixtures.h"
#include "benchchild.h"
#include "benchtiming.h"
#include "engine/audioengine.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playliststore.h"
#include "mainwindow/playoutstartup.h"
#include "testhome.h"

#include <QApplication>
#include <QSettings>
#include <QTimer>

#include <cstdio>

namespace {

constexpr double kTrackSeconds = 2.5;
constexpr int kSkipped = 2;
constexpr int kMeasured = 6;
constexpr int kRuns = 2;

// Started with the rows' count and the tone files: stores the session,
// starts the program and reports the stall of each start.
int child(int argc, char** argv)
{
    const int rows = QByteArray(argv[2]).toInt();
    PlayoutStartup::prepareEnvironment();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QStringList files;
    for (int i = 3; i < argc; ++i)
        files << QString::fromLocal8Bit(argv[i]);
    {
        PlaylistStore::Session session;
        session.playlists.resize(2);
        session.playlists[0].name = QStringLiteral("Playlist 1");
        session.playlists[1].name = QStringLiteral("Playlist 2");
        for (int r = 0; r < rows; ++r) {
            Track t = Track::fromFile(files.at(r % files.size()));
            t.durationMs = qint64(kTrackSeconds * 1000);
            session.playlists[0].rows << t;
        }
        session.playlists[0].currentRow = 0;
        session.playing = true;
        PlaylistStore store;
        QString message;
        if (!store.save(session, message))
            return 1;
        QSettings().setValue(QStringLiteral("playback/resumeOnStart"), true);
    }

    StallProbe probe;
    probe.start();
    int starts = 0;
    QList<double> stalls;
    QTimer::singleShot(0, [&] {
        AudioEngine* engine = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* window = qobject_cast<MainWindow*>(top))
                engine = window->findChild<AudioEngine*>();
        if (!engine) {
            std::fprintf(stderr, "no window\n");
            std::_Exit(1);
        }
        QObject::connect(engine, &AudioEngine::playStarted, [&] {
            ++starts;
            if (starts > kSkipped + 1)
                stalls << probe.longestMs();
            probe.reset();
            if (stalls.size() == kMeasured) {
                std::printf("stalls");
                for (double s : std::as_const(stalls))
                    std::printf(" %.2f", s);
                std::printf("\n");
                std::fflush(stdout);
                std::_Exit(0);
            }
        });
    });
    return PlayoutStartup::start(app, {});
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 2 && QByteArray(argv[1]) == "rows")
        return child(argc, argv);

    TestHome home;
    QCoreApplication app(argc, argv);
    QStringList files;
    const QString folder = home.scratch(QStringLiteral("tones"));
    for (int i = 0; i < 4; ++i) {
        files << folder + QStringLiteral("/Artist %1 - Tone %1.mp3").arg(i);
        if (!AudioFixtures::tone(files.last(), 330 + 110 * i, -12, kTrackSeconds)) {
            std::fprintf(stderr, "fixtures could not be made\n");
            return 1;
        }
    }

    std::printf("%-44s %s\n", "rows in the on-air playlist", "longest stall per track start, ms: median (range)");
    for (int rows : {10, 10000, 50000}) {
        QList<double> stalls;
        for (int run = 0; run < kRuns; ++run) {
            const QString runHome = home.scratch(QStringLiteral("home-%1-%2").arg(rows).arg(run));
            const ChildAnswer answer =
                runBenchChild(QStringList{QStringLiteral("rows"), QString::number(rows)} + files, runHome);
            const QList<double> got = answer.figures("stalls");
            if (got.size() != kMeasured) {
                std::fprintf(stderr, "the run with %d rows did not answer\n", rows);
                return 1;
            }
            stalls << got;
        }
        const Spread s = spreadOf(stalls);
        std::printf("%-44d %.1f (%.1f-%.1f)  over %lld starts%s\n", rows, s.median, s.low, s.high,
                    qlonglong(stalls.size()), rows == 10 ? "  [reference]" : "  (aim < 40)");
        std::fflush(stdout);
    }
    return 0;
}
