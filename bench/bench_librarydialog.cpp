// The music library window on a library of 100 000 tracks: opening it
// (the whole library into the table, drawn once) and filter keystrokes,
// each beside the bare MusicLibrary::search of the same query; then adding
// a folder of 5 000 files through the window beside MusicLibrary::addFolder
// of the same folder. Medians and worst of several runs.
#include "audiofixtures.h"
#include "benchtiming.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "library/musiclibrary.h"
#include "promptscript.h"
#include "testhome.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSqlQuery>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRows = 100000;
constexpr int kRuns = 9;
constexpr int kFolderFiles = 5000;

qint64 residentMb()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().split(' ').value(1).toLongLong() * 4096 / (1024 * 1024);
}

QString word(QRandomGenerator& rng)
{
    static const char* syllables[] = {"ka", "lo", "mi", "ne", "ra", "su", "to", "vi", "an", "el", "or", "un",
                                      "bri", "cha", "dre", "glo", "pha", "stu", "tre", "wen", "xo", "yu", "ze"};
    QString w;
    for (int i = 0, n = 2 + rng.bounded(3); i < n; ++i)
        w += QLatin1String(syllables[rng.bounded(int(std::size(syllables)))]);
    w[0] = w[0].toUpper();
    return w;
}

void fillLibrary(const QString& name)
{
    QRandomGenerator rng(7);
    MusicLibrary lib;
    lib.load(name);
    QSqlDatabase db = MusicLibrary::database();
    db.transaction();
    for (int i = 0; i < kRows; ++i) {
        Track t;
        t.artist = word(rng) + QLatin1Char(' ') + word(rng);
        t.title = word(rng) + QLatin1Char(' ') + word(rng) + (i % 11 == 0 ? QStringLiteral(" Love") : QString());
        t.album = word(rng);
        t.genre = QStringList{"Rock", "Pop", "Jazz", "Dance", "Folk", "Soul"}[rng.bounded(6)];
        t.year = 1950 + rng.bounded(75);
        t.durationMs = 60000 + rng.bounded(400000);
        t.filePath = QStringLiteral("/music/%1/%2 - %3.mp3").arg(i % 500).arg(t.artist, t.title);
        lib.addTrack(t);
    }
    db.commit();
}

QStringList makeFolder(const QString& top)
{
    const QString seed = top + QStringLiteral("/seed.mp3");
    if (!AudioFixtures::tone(seed, 440, -12, 2.0, 44100, 2, {{"artist", "Bench Artist"}, {"title", "Bench"}}))
        return {};
    QStringList files;
    for (int i = 0; i < kFolderFiles; ++i) {
        const QString folder = top + QStringLiteral("/tree/f%1").arg(i % 25);
        QDir().mkpath(folder);
        const QString path = folder + QStringLiteral("/t%1.mp3").arg(i);
        if (!QFile::copy(seed, path))
            return {};
        files << path;
    }
    return files;
}

int rowsOf(const QString& library)
{
    QSqlQuery q(MusicLibrary::database());
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE library=?"));
    q.addBindValue(library);
    return q.exec() && q.next() ? q.value(0).toInt() : -1;
}

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
    const QString station = QStringLiteral("Station");
    fillLibrary(station);
    MusicLibrary bare;
    bare.load(station);

    std::printf("%-34s %8s %12s %12s %14s %14s\n", "case", "rows", "median ms", "worst ms", "search median",
                "search worst");
    const qint64 before = residentMb();
    const Stats open = measure(kRuns, [&] {
        MusicLibraryDialog dialog;
        dialog.show();
        QCoreApplication::processEvents();
    });
    const Stats openSearch = measure(kRuns, [&] { bare.search(MusicLibrary::Query{}); });
    std::printf("%-34s %8d %12.1f %12.1f %14.1f %14.1f\n", "open on the whole library", kRows, open.median,
                open.worst, openSearch.median, openSearch.worst);

    MusicLibraryDialog dialog;
    dialog.show();
    QCoreApplication::processEvents();
    std::printf("resident memory with the window open: +%lld MB\n", residentMb() - before);
    QLineEdit* search = dialog.findChild<QLineEdit*>(QStringLiteral("searchBox"));
    // One keystroke: the text before it is set untimed, then the key.
    for (const char* typed : {"l", "lo", "love", "love k", "kalo", ""}) {
        const QString text = QString::fromLatin1(typed);
        const QString before = text.isEmpty() ? QStringLiteral("k") : text.chopped(1);
        int rows = 0;
        const Stats key = measure(
            kRuns,
            [&] {
                search->setText(text);
                QCoreApplication::processEvents();
            },
            [&] {
                search->setText(before);
                QCoreApplication::processEvents();
            });
        const MusicLibrary::Query query = dialog.currentQuery();
        const Stats bareKey = measure(kRuns, [&] { rows = int(bare.search(query).size()); });
        const QString label = text.isEmpty() ? QStringLiteral("keystroke clearing 'k'")
                                             : QStringLiteral("keystroke '%1' after '%2'").arg(text, before);
        std::printf("%-34s %8d %12.1f %12.1f %14.1f %14.1f\n", qPrintable(label), rows, key.median, key.worst,
                    bareKey.median, bareKey.worst);
    }
    search->clear();
    // Part of every keystroke: the files still to be measured.
    const Stats unmeasured = measure(kRuns, [&] { bare.unmeasuredFiles(); });
    std::printf("%-34s %8s %12.1f %12.1f\n", "files without a duration", "0", unmeasured.median, unmeasured.worst);

    const QStringList files = makeFolder(home.scratch(QStringLiteral("folder")));
    if (files.size() != kFolderFiles) {
        std::fprintf(stderr, "could not make the folder\n");
        return 1;
    }
    const QString tree = home.scratch(QStringLiteral("folder")) + QStringLiteral("/tree");
    QList<double> window, library;
    for (int run = 0; run < 3; ++run) {
        MusicLibrary plain;
        plain.load(QStringLiteral("Plain"));
        plain.clear();
        QElapsedTimer t;
        t.start();
        plain.addFolder(tree, true);
        library << t.nsecsElapsed() / 1e6;

        MusicLibrary imported;
        imported.load(QStringLiteral("Imported"));
        imported.clear();
        MusicLibraryDialog importer;
        importer.findChild<QComboBox*>()->setCurrentText(QStringLiteral("Imported"));
        script.answerFolder(tree);
        t.restart();
        importer.addFolder();
        window << t.nsecsElapsed() / 1e6;
        if (rowsOf(QStringLiteral("Imported")) != kFolderFiles || rowsOf(QStringLiteral("Plain")) != kFolderFiles) {
            std::fprintf(stderr, "a folder import lost rows\n");
            return 1;
        }
    }
    std::sort(window.begin(), window.end());
    std::sort(library.begin(), library.end());
    std::printf("addFolder of %d files: window %.0f ms (worst %.0f), MusicLibrary::addFolder %.0f ms (worst %.0f)\n",
                kFolderFiles, window[1], window.last(), library[1], library.last());
    return 0;
}
