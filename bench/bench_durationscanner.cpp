// Lengths of newly loaded rows as the station gets them: 5 000 and 20 000
// rows without a length put into the viewed playlist of the playout window
// (started through the program's own start-up: style sheet, icon), from
// the insertion to the last row holding its length, with everything the
// window does with each result (rows, start times, footer, saves). Beside
// it, in the same round, the reference: a bare TagLib loop over the same
// files. Also the window's longest stall while the lengths come in (a 2 ms
// precise timer's lateness). The files are hard links to four short files
// of four formats; every row is its own path. Median and range of 5 rounds.
// Aim: within 2 x the bare loop, no stall over 40 ms.
//
// Run: tools/inroot bash -c '. tools/audio-env && ol_start_audio && build/bench/bench_durationscanner'
#include "audiofixtures.h"
#include "benchtiming.h"
#include "engine/playlistmodel.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playoutstartup.h"
#include "testhome.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <taglib/fileref.h>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kRounds = 5;
constexpr int kMaxFiles = 20000;
constexpr int kTimeoutMs = 900000;

QStringList makeFiles(const QString& top)
{
    QStringList seeds;
    const QStringList suffixes{"mp3", "wav", "flac", "ogg"};
    for (int i = 0; i < suffixes.size(); ++i) {
        const QString seed = top + QStringLiteral("/seed%1.%2").arg(i).arg(suffixes[i]);
        if (!AudioFixtures::tone(seed, 440, -12, 0.5 + 0.25 * i, 22050, 1))
            return {};
        seeds << seed;
    }
    QStringList files;
    for (int i = 0; i < kMaxFiles; ++i) {
        const QString& seed = seeds[i % seeds.size()];
        const QString path = top + QStringLiteral("/Artist %1 - Track %2.%3").arg(i % 300).arg(i).arg(QFileInfo(seed).suffix());
        if (::link(QFile::encodeName(seed).constData(), QFile::encodeName(path).constData()) != 0)
            return {};
        files << path;
    }
    return files;
}

double bareLoop(const QStringList& files)
{
    QElapsedTimer t;
    t.start();
    qint64 sum = 0;
    for (const QString& path : files) {
        const TagLib::FileRef ref(QFile::encodeName(path).constData(), true, TagLib::AudioProperties::Average);
        if (!ref.isNull() && ref.audioProperties())
            sum += ref.audioProperties()->lengthInMilliseconds();
    }
    return sum > 0 ? t.nsecsElapsed() / 1e6 : -1;
}

bool allMeasured(const PlaylistModel& model)
{
    for (const Track& t : model.tracks())
        if (t.durationMs <= 0)
            return false;
    return true;
}

QString spreadText(const QList<double>& values, int decimals = 1)
{
    const Spread s = spreadOf(values);
    return QStringLiteral("%1 (%2-%3)").arg(s.median, 0, 'f', decimals).arg(s.low, 0, 'f', decimals).arg(s.high, 0, 'f', decimals);
}

int measureInWindow(MainWindow& window, const QStringList& allFiles)
{
    auto* model = qobject_cast<PlaylistModel*>(window.findChild<QTableView*>(QStringLiteral("playlist"))->model());
    StallProbe probe;
    probe.start();
    std::printf("%-8s %-26s %-26s %-16s %s\n", "rows", "bare TagLib loop, ms", "window, to the last length, ms",
                "window / bare", "longest stall, ms");
    for (int count : {5000, 20000}) {
        const QStringList files = allFiles.mid(0, count);
        QList<Track> rows;
        for (const QString& path : files)
            rows << Track::fromFile(path);
        QList<double> bare, window, ratio, stall;
        for (int round = 0; round < kRounds; ++round) {
            model->clearAll();
            QTest::qWait(200);
            const double b = bareLoop(files);
            QElapsedTimer t;
            t.start();
            probe.reset();
            model->insertTracks(0, rows);
            const QDeadlineTimer deadline(kTimeoutMs);
            while (!allMeasured(*model) && !deadline.hasExpired())
                QTest::qWait(5);
            const double w = t.nsecsElapsed() / 1e6;
            if (b < 0 || deadline.hasExpired()) {
                std::fprintf(stderr, "lengths missing after %d ms\n", kTimeoutMs);
                return 1;
            }
            bare << b;
            window << w;
            ratio << w / b;
            stall << probe.longestMs();
        }
        std::printf("%-8d %-26s %-26s %-16s %s\n", count, qPrintable(spreadText(bare)), qPrintable(spreadText(window)),
                    qPrintable(spreadText(ratio, 2)), qPrintable(spreadText(stall)));
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    PlayoutStartup::prepareEnvironment();
    QApplication app(argc, argv);
    const QStringList files = makeFiles(home.scratch(QStringLiteral("durations")));
    if (files.size() != kMaxFiles) {
        std::fprintf(stderr, "fixtures could not be made\n");
        return 1;
    }
    int result = 1;
    QTimer::singleShot(0, [&] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* window = qobject_cast<MainWindow*>(top)) {
                result = measureInWindow(*window, files);
                window->close();
            }
        }
        QCoreApplication::exit(0);
    });
    PlayoutStartup::start(app, {});
    return result;
}
