// "makelibrary" of a folder of 2000 new files while another program holds
// library.db's write lock for 20 s, on the real window playing a playlist
// of 2 s tracks one after another: the GUI thread's longest stall
// (StallProbe), the rows the engine marked "cannot be played", and what
// became of the 2000 files (stored, reported as not stored, or neither).
// Each run starts from an empty library; the stall and the counts are
// taken from the command until the lock is gone and the rebuild has said
// its last. Beside each run, the reference: the same lock and playback
// without the command. Run inside tools/inroot with the test PulseAudio sink:
//   . tools/audio-env; ol_start_audio; build/bench/bench_librarywrites [runs]
#include "audiofixtures.h"
#include "benchtiming.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "mainwindow/mainwindow.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSqlQuery>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

constexpr int kFiles = 2000;
constexpr int kLockMs = 20000;
constexpr int kTracks = 20;
constexpr double kTrackSeconds = 2.0;

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        wait(10);
    }
    return true;
}

QStringList logLines(MainWindow& window)
{
    QStringList lines;
    if (const auto* list = window.findChild<QListWidget*>(QStringLiteral("log"))) {
        for (int i = list->count() - 1; i >= 0; --i)
            lines << list->item(i)->text().section(QStringLiteral("  "), 1);
    }
    return lines;
}

int storedRows()
{
    QSqlQuery q(MusicLibrary::database());
    return q.exec(QStringLiteral("SELECT COUNT(*) FROM tracks")) && q.next() ? q.value(0).toInt() : -1;
}

struct Run
{
    double stallMs = 0;
    int stored = 0;
    int reported = 0;
    int skipped = 0;
    double endSeconds = 0;
};

// Plays the rows from the top; true once the first has started.
bool startPlaying(MainWindow& window, const QStringList& rows)
{
    window.runSchedulerCommand(QStringLiteral("stop"));
    window.runSchedulerCommand(QStringLiteral("clear"));
    window.addPaths(rows);
    auto* engine = window.findChild<AudioEngine*>();
    auto* onAir = window.findChildren<PlaylistModel*>().value(0);
    if (!waitFor([&] { return onAir && onAir->rowCount() == rows.size(); }, 30000))
        return false;
    window.runSchedulerCommand(QStringLiteral("play"));
    return waitFor([&] { return engine->isPlaying() && engine->position() > 0; }, 15000);
}

Run runOnce(MainWindow& window, const QString& folder, bool rebuild)
{
    QSqlQuery(MusicLibrary::database()).exec(QStringLiteral("DELETE FROM tracks"));
    const qsizetype before = logLines(window).size();
    // Another program: the sqlite3 shell in a transaction for 20 s.
    QProcess holder;
    holder.start(QStringLiteral("sqlite3"), {MusicLibrary::database().databaseName()});
    holder.write("BEGIN IMMEDIATE;\nSELECT 'locked';\n");
    if (!holder.waitForReadyRead(10000))
        return {};
    QTimer::singleShot(kLockMs, &holder, [&holder] {
        holder.write("COMMIT;\n");
        holder.closeWriteChannel();
    });

    StallProbe probe;
    probe.start();
    QElapsedTimer clock;
    clock.start();
    if (rebuild)
        window.runSchedulerCommand(QStringLiteral("makelibrary ") + folder);
    // The rebuild's last word: a scanned line, or the files not stored.
    static const QRegularExpression last(QStringLiteral("^makelibrary: (scanned|\\d+ files could not be stored)"));
    Run r;
    waitFor([&] {
        if (!rebuild)
            return true;
        const QStringList lines = logLines(window).mid(before);
        for (const QString& line : lines) {
            if (last.match(line).hasMatch())
                return true;
        }
        return false;
    }, 120000);
    r.endSeconds = clock.elapsed() / 1000.0;
    waitFor([&] { return holder.state() == QProcess::NotRunning; }, kLockMs + 10000);
    probe.stop();
    // The plays held back meanwhile are written before the next lock.
    wait(3000);
    r.stallMs = probe.longestMs();
    static const QRegularExpression notStored(QStringLiteral("^makelibrary: (\\d+) files could not be stored"));
    for (const QString& line : logLines(window).mid(before)) {
        if (const QRegularExpressionMatch m = notStored.match(line); m.hasMatch())
            r.reported += m.captured(1).toInt();
        if (line.contains(QStringLiteral(": cannot be played (")))
            ++r.skipped;
    }
    r.stored = storedRows();
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    const QString folder = home.scratch(QStringLiteral("music"));
    const QString seed = home.scratch() + QStringLiteral("/seed.wav");
    if (!AudioFixtures::tone(seed, 440, -12, 0.2))
        return 1;
    for (int i = 0; i < kFiles; ++i) {
        if (!QFile::copy(seed, folder + QStringLiteral("/Artist %1 - Title %1.wav").arg(i)))
            return 1;
    }
    QStringList playlist;
    for (int i = 0; i < kTracks; ++i) {
        playlist << home.scratch(QStringLiteral("air")) + QStringLiteral("/Air %1 - Row %1.wav").arg(i);
        if (!AudioFixtures::tone(playlist.last(), 330 + 40 * i, -6, kTrackSeconds))
            return 1;
    }

    MusicLibrary::initDatabase();
    MainWindow window;
    window.show();
    QList<double> stalls;
    QList<double> references;
    QList<double> stored, reported, neither;
    std::printf("makelibrary of %d new files under a %d s foreign write lock, %d runs, tracks of %.0f s on air\n",
                kFiles, kLockMs / 1000, runs, kTrackSeconds);
    std::printf("run  longest stall (reference)  stored  reported  neither  rows skipped  last word after\n");
    for (int i = 0; i < runs; ++i) {
        if (!startPlaying(window, playlist))
            return 1;
        const Run reference = runOnce(window, folder, false);
        if (!startPlaying(window, playlist))
            return 1;
        const Run r = runOnce(window, folder, true);
        stalls << r.stallMs;
        references << reference.stallMs;
        stored << r.stored;
        reported << r.reported;
        neither << kFiles - r.stored - r.reported;
        std::printf("%3d  %10.1f ms (%7.1f ms)  %6d  %8d  %7d  %5d (%d)  %12.1f s\n", i + 1, r.stallMs,
                    reference.stallMs, r.stored, r.reported, kFiles - r.stored - r.reported, r.skipped,
                    reference.skipped, r.endSeconds);
        std::fflush(stdout);
    }
    window.runSchedulerCommand(QStringLiteral("stop"));
    const Spread s = spreadOf(stalls);
    const Spread ref = spreadOf(references);
    std::printf("longest stall: median %.1f ms (%.1f-%.1f), aim < 100 ms; reference median %.1f ms (%.1f-%.1f)\n",
                s.median, s.low, s.high, ref.median, ref.low, ref.high);
    for (const auto& [label, counts] : {std::pair{"stored", &stored}, std::pair{"reported as not stored", &reported},
                                        std::pair{"neither (lost unreported)", &neither}}) {
        const Spread c = spreadOf(*counts);
        std::printf("files %s: median %.0f of %d (%.0f-%.0f)\n", label, c.median, kFiles, c.low, c.high);
    }
    return 0;
}
