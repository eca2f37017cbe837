// Durations of newly added rows: DurationScanner on 2 000 short files of
// four formats, from scan to finished, beside a bare TagLib loop over the
// same paths.
#include "audiofixtures.h"
#include "library/durationscanner.h"
#include "testhome.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>

#include <taglib/fileref.h>

#include <cstdio>

namespace {

constexpr int kFiles = 2000;

QStringList makeFiles(const QString& top)
{
    QStringList seeds;
    const QStringList suffixes{"mp3", "wav", "flac", "ogg"};
    for (int i = 0; i < suffixes.size(); ++i) {
        const QString seed = top + QStringLiteral("/seed%1.%2").arg(i).arg(suffixes[i]);
        if (!AudioFixtures::tone(seed, 440, -12, 1.0 + i))
            return {};
        seeds << seed;
    }
    QStringList files;
    for (int i = 0; i < kFiles; ++i) {
        const QString& seed = seeds[i % seeds.size()];
        const QString path = top + QStringLiteral("/track%1.%2").arg(i).arg(QFileInfo(seed).suffix());
        if (!QFile::copy(seed, path))
            return {};
        files << path;
    }
    return files;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    const QStringList files = makeFiles(home.scratch(QStringLiteral("durations")));
    if (files.isEmpty()) {
        std::fprintf(stderr, "fixtures could not be made\n");
        return 1;
    }

    QElapsedTimer t;
    t.start();
    qint64 sum = 0;
    for (const QString& path : files) {
        const TagLib::FileRef ref(QFile::encodeName(path).constData(), true, TagLib::AudioProperties::Average);
        if (!ref.isNull() && ref.audioProperties())
            sum += ref.audioProperties()->lengthInMilliseconds();
    }
    const double bareMs = t.nsecsElapsed() / 1e6;

    DurationScanner scanner;
    QSignalSpy finished(&scanner, &DurationScanner::finished);
    QSignalSpy resolved(&scanner, &DurationScanner::resolved);
    t.restart();
    scanner.scan(files);
    if (!finished.wait(600000) && finished.isEmpty()) {
        std::fprintf(stderr, "the scanner did not finish\n");
        return 1;
    }
    const double scanMs = t.nsecsElapsed() / 1e6;
    int known = 0;
    for (const QList<QVariant>& r : std::as_const(resolved))
        known += r.at(1).toLongLong() > 0 ? 1 : 0;

    std::printf("%-36s %8s %12s %14s\n", "case", "files", "ms", "files/s");
    std::printf("%-36s %8lld %12.1f %14.0f\n", "bare TagLib loop", qlonglong(files.size()), bareMs,
                files.size() / bareMs * 1000);
    std::printf("%-36s %8lld %12.1f %14.0f  (%d with a length)\n", "DurationScanner scan to finished",
                qlonglong(resolved.size()), scanMs, resolved.size() / scanMs * 1000, known);
    return sum > 0 ? 0 : 1;
}
