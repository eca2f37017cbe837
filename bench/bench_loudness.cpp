// Loudness of a 10-minute stereo 48 kHz file, decode included, beside
// ffmpeg's ebur128 filter on the same file: the best of three rounds each,
// taken in turns so that a busy machine slows both alike.
#include "engine/audiorender.h"
#include "engine/loudnessmeter.h"

#include "audiofixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

double ffmpegSeconds(const QString& path, QString* summary)
{
    QElapsedTimer t;
    t.start();
    QString err;
    AudioFixtures::run(QStringLiteral("ffmpeg"),
                       {"-hide_banner", "-nostdin", "-nostats", "-i", path, "-af", "ebur128", "-f", "null", "-"},
                       nullptr, &err, 600000);
    const double s = t.elapsed() / 1000.0;
    const qsizetype at = err.lastIndexOf(QStringLiteral("I:"));
    *summary = at >= 0 ? err.mid(at, 24).simplified() : QStringLiteral("?");
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const double seconds = 600.0;
    // Music-like material: two uncorrelated pink noises under a slow swell.
    const QStringList input{"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:seed=1:d=600:r=48000",
                            "-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:seed=2:d=600:r=48000",
                            "-filter_complex", "[0:a][1:a]amerge=inputs=2,volume='0.3+0.7*abs(sin(2*PI*t/23))':eval=frame"};
    const QStringList kinds{"wav", "flac", "mp3"};
    {
        // The meter alone, fed 10 minutes of stereo in analysis-sized blocks.
        QList<double> block(4096);
        quint32 state = 1;
        LoudnessMeter meter;
        QElapsedTimer t;
        t.start();
        for (qint64 n = 0; n < qint64(seconds) * 48000 * 2; n += block.size()) {
            for (double& v : block) {
                state = state * 1664525u + 1013904223u;
                v = (double(state >> 8) / double(1 << 24) - 0.5) * 0.5;
            }
            meter.addSamples(block, 2, 48000);
        }
        std::printf("meter alone, 10 minutes of stereo: %.3f s (noise made on the way included), %.6f LUFS\n",
                    t.elapsed() / 1000.0, meter.integratedLufs());
    }
    std::printf("10-minute stereo 48 kHz file, loudness with decode\n");
    for (const QString& kind : kinds) {
        const QString path = dir.filePath("programme." + kind);
        QStringList codec = kind == "mp3" ? QStringList{"-c:a", "libmp3lame", "-b:a", "192k"}
                          : kind == "flac" ? QStringList{"-c:a", "flac"}
                                           : QStringList{"-c:a", "pcm_s16le"};
        if (!AudioFixtures::ffmpeg(input + codec + QStringList{path})) {
            std::printf("could not make %s\n", qPrintable(path));
            return 1;
        }
        // One untimed pass each, so both read the file from the page cache.
        AudioRender render;
        render.analyse(path, 600000);
        QString summary;
        ffmpegSeconds(path, &summary);

        double ours = 1e9;
        double theirs = 1e9;
        LoudnessAnalysis a;
        for (int round = 0; round < 3; ++round) {
            QElapsedTimer t;
            t.start();
            a = render.analyse(path, 600000);
            ours = std::min(ours, t.elapsed() / 1000.0);
            theirs = std::min(theirs, ffmpegSeconds(path, &summary));
        }
        std::printf("%-5s ours: %6.3f s (%5.0fx real time) %.6f LUFS peak %.6f %lld ms ok=%d | ffmpeg ebur128: %6.3f s "
                    "(%5.0fx) %s | ours/ffmpeg time %.2f\n",
                    qPrintable(kind), ours, seconds / ours, a.integratedLufs, a.peak,
                    static_cast<long long>(a.durationMs), a.ok, theirs, seconds / theirs, qPrintable(summary),
                    ours / theirs);
    }
    return 0;
}
