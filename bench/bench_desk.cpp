// The playlist desk of the main window: a keystroke in the search panel on
// a library of 100 000 tracks, from the key to the result table filled and
// drawn, beside the bare MusicLibrary::search of the same query; appending
// 5 000 paths with addPaths (invented paths, real tagged files, files of a
// library); loading a playlist file of 5 000 entries beside a bare loader
// (parse the file, build one Track per entry).
// Medians and worst of several runs.
#include "benchlibrary.h"
#include "audiofixtures.h"
#include "benchtiming.h"
#include "engine/playlistmodel.h"
#include "library/playlistfile.h"
#include "mainwindow/mainwindow.h"
#include "promptscript.h"
#include "testhome.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QTextStream>

#include <cstdio>

namespace {

constexpr int kRows = 100000;
constexpr int kRuns = 7;
constexpr int kPaths = 5000;

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    if (!MusicLibrary::initDatabase()) {
        std::fprintf(stderr, "no library database\n");
        return 1;
    }
    PromptScript script;
    fillBenchLibrary(QStringLiteral("Bench"), kRows);
    MusicLibrary bare;
    bare.load(QStringLiteral("Bench"));

    MainWindow window;
    window.show();
    QCoreApplication::processEvents();
    auto* source = window.findChild<QComboBox*>(QStringLiteral("searchSource"));
    source->setCurrentIndex(source->findData(QStringLiteral("Bench")));
    auto* box = window.findChild<QLineEdit*>(QStringLiteral("searchBox"));
    auto* table = window.findChild<QTableView*>(QStringLiteral("searchResults"));

    std::printf("%-36s %8s %12s %12s %14s %14s\n", "case", "rows", "median ms", "worst ms", "search median",
                "search worst");
    // The text before the last key is set untimed; the key press is timed
    // with the table's repaint.
    for (const char* typed : {"quixotry", "love night", "k"}) {
        const QString text = QString::fromLatin1(typed);
        const Stats key = measure(
            kRuns,
            [&] {
                QTest::keyClick(box, text.back().toLatin1());
                table->viewport()->repaint();
            },
            [&] {
                box->setText(text.chopped(1));
                QCoreApplication::processEvents();
            });
        MusicLibrary::Query query;
        query.any = text;
        int rows = 0;
        const Stats search = measure(kRuns, [&] { rows = int(bare.search(query).size()); });
        std::printf("%-36s %8d %12.1f %12.1f %14.1f %14.1f\n",
                    qPrintable(QStringLiteral("key '%1' after '%2'").arg(text.back(), text.chopped(1))), rows,
                    key.median, key.worst, search.median, search.worst);
    }
    box->clear();

    QStringList paths;
    for (int i = 0; i < kPaths; ++i)
        paths << QStringLiteral("/music/f%1/Artist %2 - Title %2.mp3").arg(i % 50).arg(i);
    auto* viewed = qobject_cast<PlaylistModel*>(window.findChild<QTableView*>(QStringLiteral("playlist"))->model());
    auto empty = [&] {
        viewed->clearAll();
        QCoreApplication::processEvents();
    };
    const Stats add = measure(kRuns, [&] { window.addPaths(paths); }, empty);
    std::printf("%-36s %8d %12.1f %12.1f\n", "addPaths", kPaths, add.median, add.worst);

    // Copies of one tagged file, warm in the page cache after copying.
    const QString tagged = home.scratch(QStringLiteral("tagged"));
    const QString seed = tagged + QStringLiteral("/seed.mp3");
    if (!AudioFixtures::tone(seed, 440, -12, 0.5, 44100, 2,
                             {{QStringLiteral("title"), QStringLiteral("Orchid FM")},
                              {QStringLiteral("artist"), QStringLiteral("Station ID (long)")}}))
        return 1;
    QStringList files;
    for (int i = 0; i < kPaths; ++i) {
        files << tagged + QStringLiteral("/Station ID - Orchid FM %1.mp3").arg(i);
        if (!QFile::copy(seed, files.last()))
            return 1;
    }
    const Stats addTagged = measure(kRuns, [&] { window.addPaths(files); }, empty);
    std::printf("%-36s %8d %12.1f %12.1f\n", "addPaths (tagged files)", kPaths, addTagged.median, addTagged.worst);

    QStringList known;
    for (const Track& t : bare.search(QString()).mid(0, kPaths))
        known << t.filePath;
    const Stats addKnown = measure(kRuns, [&] { window.addPaths(known); }, empty);
    std::printf("%-36s %8d %12.1f %12.1f\n", "addPaths (library files)", kPaths, addKnown.median, addKnown.worst);

    const QString list = home.scratch(QStringLiteral("lists")) + QStringLiteral("/big.m3u");
    QFile file(list);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return 1;
    file.write("#EXTM3U\n");
    for (const QString& path : std::as_const(paths))
        file.write("#EXTINF:215," + path.toUtf8() + "\n" + path.toUtf8() + "\n");
    file.close();
    const Stats load = measure(kRuns, [&] { window.loadPlaylistFile(list); }, empty);
    std::printf("%-36s %8d %12.1f %12.1f\n", "loadPlaylistFile", kPaths, load.median, load.worst);
    int built = 0;
    const Stats bareLoad = measure(kRuns, [&] {
        QFile in(list);
        if (!in.open(QIODevice::ReadOnly | QIODevice::Text))
            return;
        QTextStream text(&in);
        QList<Track> rows;
        for (const QString& entry : PlaylistFile::entries(text, false))
            rows.append(Track::fromFile(entry));
        built = int(rows.size());
    });
    std::printf("%-36s %8d %12.1f %12.1f\n", "bare loader (entries + Track::fromFile)", built, bareLoad.median,
                bareLoad.worst);
    return 0;
}
