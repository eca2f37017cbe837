// Import speed: 2 000 tagged MP3 files in 20 folders, added with
// MusicLibrary::addFolder, beside its reference in the same round: a bare
// TagLib loop reading the same tags and lengths one file after another.
// The same loop spread over all cores is shown too: the import reads tags
// side by side, so how many cores are free at that moment moves its share
// of the bare loop. Reading alone (one thread, no database) and storing
// rows already read are shown too: the import is the two overlapped. Rounds
// alternate (5, or the first argument); rows give median and range over
// them. The operator's own road is timed too: the library window's "Add
// folder..." button, from the click to its "Added N file(s)" (batches of
// 50 through the library writer, a progress dialog between them).
//
// Run: tools/inroot build/bench/bench_libraryimport [rounds]
#include "audiofixtures.h"
#include "benchtiming.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "dialogs/prompts.h"
#include "library/musiclibrary.h"
#include "testhome.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QtConcurrent/QtConcurrentMap>

#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <cstdio>

namespace {

constexpr int kFiles = 2000;
constexpr int kFolders = 20;

QStringList makeFiles(const QString& top)
{
    const QString seed = top + QStringLiteral("/seed.mp3");
    if (!AudioFixtures::tone(seed, 440, -12, 2.0))
        return {};
    QStringList files;
    for (int i = 0; i < kFiles; ++i) {
        const QString folder = top + QStringLiteral("/folder%1").arg(i % kFolders, 2, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        const QString path = folder + QStringLiteral("/track%1.mp3").arg(i, 4, 10, QLatin1Char('0'));
        QFile::copy(seed, path);
        TagLib::FileRef ref(path.toUtf8().constData());
        if (ref.isNull() || !ref.tag())
            return {};
        ref.tag()->setArtist(TagLib::String(QStringLiteral("Artist %1 Ä").arg(i % 150).toStdString(), TagLib::String::UTF8));
        ref.tag()->setTitle(TagLib::String(QStringLiteral("Title number %1 ü").arg(i).toStdString(), TagLib::String::UTF8));
        ref.tag()->setAlbum(TagLib::String(QStringLiteral("Album %1").arg(i % 300).toStdString(), TagLib::String::UTF8));
        ref.tag()->setGenre("Rock");
        ref.tag()->setComment("bench");
        ref.tag()->setYear(1970 + i % 50);
        ref.save();
        files << path;
    }
    QFile::remove(seed);
    return files;
}

qint64 readOne(const QString& path)
{
    qint64 sink = 0;
    TagLib::FileRef ref(path.toUtf8().constData(), true, TagLib::AudioProperties::Average);
    if (ref.isNull())
        return 0;
    if (const TagLib::Tag* tag = ref.tag()) {
        sink += QString::fromUtf8(tag->artist().toCString(true)).size();
        sink += QString::fromUtf8(tag->title().toCString(true)).size();
        sink += QString::fromUtf8(tag->album().toCString(true)).size();
        sink += QString::fromUtf8(tag->genre().toCString(true)).size();
        sink += QString::fromUtf8(tag->comment().toCString(true)).size();
        sink += tag->year();
    }
    if (const TagLib::AudioProperties* p = ref.audioProperties())
        sink += p->lengthInMilliseconds();
    return sink;
}

double bareTagLib(const QStringList& files)
{
    QElapsedTimer t;
    t.start();
    qint64 sink = 0;
    for (const QString& path : files)
        sink += readOne(path);
    const double s = t.nsecsElapsed() / 1e9;
    if (sink == 42)
        std::puts("");
    return s;
}

double bareTagLibOnAllCores(const QStringList& files)
{
    QElapsedTimer t;
    t.start();
    const qint64 sink = QtConcurrent::blockingMappedReduced(
        files, readOne, [](qint64& sum, qint64 one) { sum += one; });
    const double s = t.nsecsElapsed() / 1e9;
    if (sink == 42)
        std::puts("");
    return s;
}

// The library window's "Add folder..." clicked, the folder chosen in its
// prompt; seconds to its "Added N file(s) from folder", -1 when not all
// were added.
double addFolderInTheWindow(const QString& top, const QString& library)
{
    MusicLibrary lib;
    lib.load(library);
    MusicLibraryDialog dialog;
    dialog.findChild<QComboBox*>(QStringLiteral("libraryList"))->setCurrentText(library);
    Prompts::setResponder([&top](const Prompts::Request& r) {
        Prompts::Answer a;
        a.accepted = r.kind == Prompts::Kind::Folder;
        a.text = top;
        return a;
    });
    QPushButton* button = nullptr;
    for (QPushButton* b : dialog.findChildren<QPushButton*>())
        button = b->text() == QStringLiteral("Add folder...") ? b : button;
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("status"));
    if (!button || !status)
        return -1;
    QElapsedTimer t;
    t.start();
    button->click();
    const double s = t.nsecsElapsed() / 1e9;
    Prompts::setResponder({});
    return status->text() == QStringLiteral("Added %1 file(s) from folder").arg(kFiles) ? s : -1;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    if (!MusicLibrary::initDatabase()) {
        std::fprintf(stderr, "cannot open the library database\n");
        return 1;
    }

    const QString top = home.scratch(QStringLiteral("import"));
    QElapsedTimer made;
    made.start();
    const QStringList files = makeFiles(top);
    if (files.size() != kFiles) {
        std::fprintf(stderr, "could not make the files\n");
        return 1;
    }
    std::printf("made %d tagged MP3 files in %d folders in %.1f s\n", kFiles, kFolders, made.nsecsElapsed() / 1e9);

    const int rounds = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 5;
    // The first pass warms the file cache for every contender.
    bareTagLib(files);
    QList<double> windowRate, windowShare, importRate, bareRate, allCoresRate, share, allCoresShare, scanRate, storeRate;
    for (int round = 1; round <= rounds; ++round) {
        const double bare = bareTagLib(files);
        const double allCores = bareTagLibOnAllCores(files);

        MusicLibrary lib;
        lib.load(QStringLiteral("Import %1").arg(round));
        QElapsedTimer t;
        t.start();
        const int added = lib.addFolder(top, true);
        const double import = t.nsecsElapsed() / 1e9;

        QSqlQuery q(MusicLibrary::database());
        q.prepare(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE library=? AND duration_ms > 0 AND year > 0"));
        q.addBindValue(lib.name);
        const int stored = q.exec() && q.next() ? q.value(0).toInt() : -1;
        if (added != kFiles || stored != kFiles) {
            std::fprintf(stderr, "round %d: %d added, %d stored with tags\n", round, added, stored);
            return 1;
        }

        QElapsedTimer tagsOnly;
        tagsOnly.start();
        int named = 0;
        QList<Track> scanned;
        for (const QString& path : MusicLibrary::listAudioFiles(top, true)) {
            scanned << MusicLibrary::scanFile(path);
            named += scanned.last().title.isEmpty() ? 0 : 1;
        }
        const double scan = tagsOnly.nsecsElapsed() / 1e9;

        // The other half of an import: storing rows already read.
        MusicLibrary again;
        again.load(QStringLiteral("Stored %1").arg(round));
        QElapsedTimer storing;
        storing.start();
        again.addTracks(scanned);
        const double store = storing.nsecsElapsed() / 1e9;

        const double inWindow = addFolderInTheWindow(top, QStringLiteral("Window %1").arg(round));
        if (inWindow < 0) {
            std::fprintf(stderr, "round %d: the window did not add every file\n", round);
            return 1;
        }
        windowRate << kFiles / inWindow;
        windowShare << bare / inWindow;
        importRate << added / import;
        bareRate << kFiles / bare;
        allCoresRate << kFiles / allCores;
        scanRate << named / scan;
        storeRate << scanned.size() / store;
        share << bare / import;
        allCoresShare << allCores / import;
        std::printf("round %d: addFolder %.3f s, bare loop %.3f s (%.0f %%), on all cores %.3f s, "
                    "listAudioFiles + scanFile %.3f s, addTracks of those rows %.3f s, the window's Add folder %.3f s "
                    "(%.0f %%)\n",
                    round, import, bare, 100.0 * bare / import, allCores, scan, store, inWindow, 100.0 * bare / inWindow);
    }
    const auto cell = [](const QList<double>& values, double scale = 1.0) {
        const Spread s = spreadOf(values);
        return QString::asprintf("%.0f (%.0f-%.0f)", s.median * scale, s.low * scale, s.high * scale);
    };
    std::printf("%s\nmedian (low-high) of %d rounds\n", qPrintable(machineLoad()), rounds);
    std::printf("%-44s %s files/s\n", "the library window's Add folder...", qPrintable(cell(windowRate)));
    std::printf("%-44s %s files/s\n", "addFolder", qPrintable(cell(importRate)));
    std::printf("%-44s %s files/s\n", "bare TagLib loop (the reference)", qPrintable(cell(bareRate)));
    std::printf("%-44s %s files/s\n", "bare TagLib loop on all cores", qPrintable(cell(allCoresRate)));
    std::printf("%-44s %s files/s\n", "listAudioFiles + scanFile, one thread", qPrintable(cell(scanRate)));
    std::printf("%-44s %s rows/s\n", "addTracks of rows already read", qPrintable(cell(storeRate)));
    std::printf("%-44s %s %%\n", "the window's Add folder / bare loop", qPrintable(cell(windowShare, 100.0)));
    std::printf("%-44s %s %%\n", "addFolder / bare loop, each round", qPrintable(cell(share, 100.0)));
    std::printf("%-44s %s %%\n", "addFolder / bare loop on all cores", qPrintable(cell(allCoresShare, 100.0)));
    return 0;
}
