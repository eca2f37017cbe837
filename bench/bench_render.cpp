// Rendering a 30-minute playlist of ten files to WAV and to MP3: time and
// peak memory. Each render runs in a child process of its own so that its
// peak resident size is its own.
#include "engine/audiorender.h"
#include "library/musiclibrary.h"

#include "audiofixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>

namespace {

int renderChild(const QString& folder, const QString& target)
{
    MusicLibrary::initDatabase();
    QList<Track> tracks;
    for (int i = 0; i < 10; ++i) {
        Track t;
        t.filePath = QDir(folder).filePath(QStringLiteral("track%1.mp3").arg(i));
        t.title = QStringLiteral("Track %1").arg(i);
        tracks << t;
    }
    AudioRender render;
    QElapsedTimer timer;
    timer.start();
    const bool ok = render.renderToFile(tracks, target, 2000, 192);
    const double s = timer.elapsed() / 1000.0;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%d %.3f %ld\n", ok, s, ru.ru_maxrss);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == "--child")
        return renderChild(args[2], args[3]);

    QTemporaryDir dir;
    // Ten 3-minute music-like files, 44.1 kHz stereo MP3.
    for (int i = 0; i < 10; ++i) {
        const QString path = dir.filePath(QStringLiteral("track%1.mp3").arg(i));
        const QString f = QString::number(110 * (i + 2));
        if (!AudioFixtures::ffmpeg({"-f", "lavfi", "-i",
                                    QStringLiteral("anoisesrc=color=pink:amplitude=0.2:seed=%1:d=180:r=44100").arg(i + 1),
                                    "-f", "lavfi", "-i",
                                    QStringLiteral("aevalsrc=exprs='0.2*sin(2*PI*%1*t)|0.2*sin(2*PI*%1*1.5*t)':s=44100:d=180:c=stereo").arg(f),
                                    "-filter_complex", "[0:a]aformat=channel_layouts=stereo[n];[n][1:a]amix=inputs=2:normalize=0",
                                    "-c:a", "libmp3lame", "-b:a", "192k", path})) {
            std::printf("could not make %s\n", qPrintable(path));
            return 1;
        }
    }
    std::printf("Playlist: 10 MP3 files of 180 s (44.1 kHz stereo), 2000 ms overlaps: 29:42 of audio\n");
    for (const QString& name : {QStringLiteral("render.wav"), QStringLiteral("render.mp3")}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(app.applicationFilePath(), {"--child", dir.path(), dir.filePath(name)});
        child.waitForFinished(-1);
        const QStringList f = QString::fromUtf8(child.readAllStandardOutput()).split(' ', Qt::SkipEmptyParts);
        if (f.size() < 3) {
            std::printf("%s: render failed\n", qPrintable(name));
            continue;
        }
        const double bytes = QFileInfo(dir.filePath(name)).size();
        std::printf("%-11s ok=%s  %7.2f s (%4.0fx real time)  peak RSS %6.0f MB  file %6.1f MB  duration %s s\n",
                    qPrintable(name), qPrintable(f[0]), f[1].toDouble(), 1782.0 / f[1].toDouble(),
                    f[2].toDouble() / 1024.0, bytes / 1e6,
                    qPrintable(AudioFixtures::probe(dir.filePath(name), "format=duration")));
    }
    return 0;
}
