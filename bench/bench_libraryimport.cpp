// Import speed: 2 000 tagged MP3 files in 20 folders, added with
// MusicLibrary::addFolder, beside a bare TagLib loop reading the same tags.
#include "audiofixtures.h"
#include "library/musiclibrary.h"
#include "testhome.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>

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

double bareTagLib(const QStringList& files)
{
    QElapsedTimer t;
    t.start();
    qint64 sink = 0;
    for (const QString& path : files) {
        TagLib::FileRef ref(path.toUtf8().constData(), true, TagLib::AudioProperties::Average);
        if (ref.isNull())
            continue;
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
    }
    const double s = t.nsecsElapsed() / 1e9;
    if (sink == 42)
        std::puts("");
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
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

    // The first pass warms the file cache for both contenders.
    bareTagLib(files);
    for (int round = 1; round <= 3; ++round) {
        const double bare = bareTagLib(files);

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

        QElapsedTimer tagsOnly;
        tagsOnly.start();
        int named = 0;
        for (const QString& path : MusicLibrary::listAudioFiles(top, true))
            named += MusicLibrary::scanFile(path).title.isEmpty() ? 0 : 1;
        const double scan = tagsOnly.nsecsElapsed() / 1e9;
        std::printf("round %d: listAudioFiles + scanFile of %d files %.3f s (no database)\n", round, named, scan);

        std::printf("round %d: addFolder %d files (%d stored with tags) in %.3f s = %.0f files/s; "
                    "bare TagLib loop %.3f s = %.0f files/s; library overhead %.2f ms/file\n",
                    round, added, stored, import, added / import, bare, files.size() / bare,
                    (import - bare) * 1000.0 / files.size());
    }
    return 0;
}
