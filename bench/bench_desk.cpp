// The playlist desk of the main window as the operator meets it, the window
// built as the program builds it (its style sheet and icon):
// - a keystroke in the search panel on a library of 100 000 tracks, from the
//   key to the answer shown in the result table and drawn, beside the bare
//   MusicLibrary::search of the same query;
// - adding 20 000 files, and loading playlist files of 5 000 and 20 000
//   entries: real files made by ffmpeg once (hard links of a few tagged
//   seeds), a quarter of them known to a library, their tags read and their
//   lengths queued, until the rows are in the playlist and drawn; beside the
//   bare loader (the file parsed, each entry's tags read by TagLib on one
//   thread), run in the same run.
// Each row gives the time and the window's longest stall (the lateness of a
// 2 ms timer, which no stall escapes): median (lowest-highest) of the runs.
// --quick: fewer entries and runs, as a smoke run.
#include "audiofixtures.h"
#include "benchlibrary.h"
#include "benchtiming.h"
#include "engine/playlistmodel.h"
#include "library/durationscanner.h"
#include "library/librarysearcher.h"
#include "library/playlistfile.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playoutstartup.h"
#include "promptscript.h"
#include "testhome.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QTextStream>

#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kLibraryRows = 100000;
constexpr int kSeeds = 8;
constexpr int kFolderSize = 200;
constexpr int kSettleMs = 100;

// Runs the event loop, really waiting between checks, until done() or the
// time is up; false on time-out.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 120000)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(1);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    return done();
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Row
{
    QList<double> ms;
    QList<double> stallMs;
};

QString cell(const QList<double>& values)
{
    const Spread s = spreadOf(values);
    return QStringLiteral("%1 (%2-%3)").arg(s.median, 0, 'f', 1).arg(s.low, 0, 'f', 1).arg(s.high, 0, 'f', 1);
}

void print(const QString& name, int count, const Row& row)
{
    std::printf("%-40s %7d %24s %24s\n", qPrintable(name), count, qPrintable(cell(row.ms)),
                row.stallMs.isEmpty() ? "" : qPrintable(cell(row.stallMs)));
    std::fflush(stdout);
}

// The entries of an M3U file, each a Track with the file's tags, on this
// thread alone: the least a loader of tagged rows has to do.
int bareLoad(const QString& list)
{
    QFile in(list);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    QTextStream text(&in);
    QList<Track> rows;
    for (const QString& entry : PlaylistFile::entries(text, false)) {
        Track t;
        t.filePath = entry;
        const TagLib::FileRef ref(QFile::encodeName(entry).constData(), false);
        if (!ref.isNull() && ref.tag()) {
            t.artist = QString::fromStdWString(ref.tag()->artist().toWString());
            t.title = QString::fromStdWString(ref.tag()->title().toWString());
        }
        rows.append(t);
    }
    return int(rows.size());
}

bool writeList(const QString& path, const QStringList& files)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    file.write("#EXTM3U\n");
    for (const QString& f : files)
        file.write("#EXTINF:1," + QFileInfo(f).completeBaseName().toUtf8() + "\n" + f.toUtf8() + "\n");
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && qstrcmp(argv[1], "--quick") == 0;
    const int runs = quick ? 2 : 5;
    const int manyFiles = quick ? 2000 : 20000;
    const int someFiles = quick ? 500 : 5000;
    TestHome home;
    PlayoutStartup::prepareEnvironment();
    QApplication app(argc, argv);
    PlayoutStartup::configureApplication(app);
    if (!MusicLibrary::initDatabase()) {
        std::fprintf(stderr, "no library database\n");
        return 1;
    }
    if (!PlayoutStartup::applyStyleSheet(app)) {
        std::fprintf(stderr, "no style sheet\n");
        return 1;
    }
    PromptScript script;
    fillBenchLibrary(QStringLiteral("Bench"), quick ? 10000 : kLibraryRows);
    MusicLibrary bare;
    bare.load(QStringLiteral("Bench"));

    // The files: tagged seeds made once, hard-linked under the names a
    // station's folders hold; a quarter known to a library of their own.
    const QString music = home.scratch(QStringLiteral("music"));
    QStringList seeds;
    for (int s = 0; s < kSeeds; ++s) {
        seeds << music + QStringLiteral("/seed%1.mp3").arg(s);
        if (!AudioFixtures::tone(seeds.last(), 330 + 55 * s, -14, 2.0, 44100, 2,
                                 {{QStringLiteral("title"), QStringLiteral("Song %1").arg(s)},
                                  {QStringLiteral("artist"), QStringLiteral("Singer %1").arg(s)},
                                  {QStringLiteral("album"), QStringLiteral("Album %1").arg(s)}})) {
            std::fprintf(stderr, "ffmpeg could not make the seeds\n");
            return 1;
        }
    }
    QStringList files;
    QStringList known;
    for (int i = 0; i < manyFiles; ++i) {
        const QString folder = music + QStringLiteral("/f%1").arg(i / kFolderSize);
        QDir().mkpath(folder);
        files << folder + QStringLiteral("/Singer %1 - Song %2.mp3").arg(i % kSeeds).arg(i);
        if (::link(QFile::encodeName(seeds.at(i % kSeeds)).constData(), QFile::encodeName(files.last()).constData())
            != 0) {
            std::fprintf(stderr, "cannot link %s\n", qPrintable(files.last()));
            return 1;
        }
        if (i % 4 == 0)
            known << files.last();
    }
    MusicLibrary::createLibrary(QStringLiteral("Files"));
    MusicLibrary filesLibrary;
    filesLibrary.load(QStringLiteral("Files"));
    if (filesLibrary.addFiles(known) != known.size()) {
        std::fprintf(stderr, "the library did not take the files\n");
        return 1;
    }
    const QString lists = home.scratch(QStringLiteral("lists"));
    const QString someList = lists + QStringLiteral("/some.m3u");
    const QString manyList = lists + QStringLiteral("/many.m3u");
    if (!writeList(someList, files.mid(0, someFiles)) || !writeList(manyList, files))
        return 1;

    MainWindow window;
    window.show();
    settle(500);
    auto* source = window.findChild<QComboBox*>(QStringLiteral("searchSource"));
    source->setCurrentIndex(source->findData(QStringLiteral("Bench")));
    auto* box = window.findChild<QLineEdit*>(QStringLiteral("searchBox"));
    auto* results = window.findChild<QTableView*>(QStringLiteral("searchResults"));
    auto* searcher = window.findChild<LibrarySearcher*>();
    auto* playlist = window.findChild<QTableView*>(QStringLiteral("playlist"));
    auto* viewed = qobject_cast<PlaylistModel*>(playlist->model());
    auto* durations = window.findChild<DurationScanner*>();
    int answers = 0;
    // After the window's own handler: the table holds the answer by then.
    QObject::connect(searcher, &LibrarySearcher::found, &window, [&answers] { ++answers; });
    StallProbe probe;
    probe.start();

    std::printf("%-40s %7s %24s %24s\n", "case", "rows", "ms median (low-high)", "longest stall ms");
    {
        // The floor on this machine: the same probe over a second in which
        // nothing is asked.
        Row idle;
        for (int r = 0; r < runs; ++r) {
            probe.reset();
            settle(1000);
            idle.stallMs << probe.longestMs();
            idle.ms << 1000;
        }
        print(QStringLiteral("idle second (nothing asked)"), 0, idle);
        // What one paint of the whole window costs here.
        Row paint;
        for (int r = 0; r < runs; ++r) {
            QElapsedTimer t;
            t.start();
            window.repaint();
            paint.ms << t.nsecsElapsed() / 1e6;
        }
        print(QStringLiteral("whole window painted"), 0, paint);
    }
    // The text before the last key is typed untimed and its answer awaited;
    // the last key is timed to its answer in the table, drawn.
    for (const char* typed : {"quixotry", "love night", "k"}) {
        const QString text = QString::fromLatin1(typed);
        Row key;
        Row search;
        int rows = 0;
        for (int r = 0; r < runs; ++r) {
            const int before = answers;
            box->setText(text.chopped(1));
            if (!waitUntil([&] { return answers > before; }))
                return 1;
            settle(kSettleMs);
            const int asked = answers;
            probe.reset();
            QElapsedTimer t;
            t.start();
            QTest::keyClick(box, text.back().toLatin1());
            if (!waitUntil([&] { return answers > asked; }))
                return 1;
            results->viewport()->repaint();
            key.ms << t.nsecsElapsed() / 1e6;
            key.stallMs << probe.longestMs();

            MusicLibrary::Query query;
            query.any = text;
            t.start();
            rows = int(bare.search(query).size());
            search.ms << t.nsecsElapsed() / 1e6;
        }
        print(QStringLiteral("key '%1' after '%2', drawn").arg(text.back(), text.chopped(1)), rows, key);
        print(QStringLiteral("  bare search"), rows, search);
    }
    box->clear();
    settle(kSettleMs);

    // Rows going in: timed from the call to the rows in the viewed playlist
    // and drawn; the stall over that and a moment after. The playlists are
    // saved a second after a change: the save of the emptied list (and the
    // memory it hands back) is let pass before the call.
    auto timeRows = [&](const QString& name, int expected, const std::function<void()>& call) {
        Row row;
        for (int r = 0; r < runs; ++r) {
            viewed->clearAll();
            durations->clearQueue();
            settle(1500);
            probe.reset();
            QElapsedTimer t;
            t.start();
            call();
            if (!waitUntil([&] { return viewed->rowCount() >= expected; })) {
                std::fprintf(stderr, "%s: %d rows of %d\n", qPrintable(name), viewed->rowCount(), expected);
                return;
            }
            playlist->viewport()->repaint();
            row.ms << t.nsecsElapsed() / 1e6;
            settle(kSettleMs);
            row.stallMs << probe.longestMs();
        }
        print(name, viewed->rowCount(), row);
    };
    timeRows(QStringLiteral("addPaths"), manyFiles, [&] { window.addPaths(files); });
    for (const QString& list : {someList, manyList}) {
        const int entries = list == someList ? someFiles : manyFiles;
        timeRows(QStringLiteral("loadPlaylistFile"), entries, [&] { window.loadPlaylistFile(list); });
        Row reference;
        int built = 0;
        for (int r = 0; r < runs; ++r) {
            QElapsedTimer t;
            t.start();
            built = bareLoad(list);
            reference.ms << t.nsecsElapsed() / 1e6;
        }
        print(QStringLiteral("  bare loader (parse + tags, one thread)"), built, reference);
    }
    viewed->clearAll();
    durations->clearQueue();
    return 0;
}
