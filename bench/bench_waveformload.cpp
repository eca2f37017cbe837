// The track tool on a 60-minute MP3: how long its waveform takes to appear,
// the longest the event loop stalls meanwhile (the window cannot repaint or
// take input for that long), and the same for the "Auto" loudness
// measurement. Peak resident size at the end.
#include "dialogs/library/tracktooldialog.h"
#include "dialogs/library/waveformview.h"
#include "library/musiclibrary.h"

#include "audiofixtures.h"
#include "testhome.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

namespace {

struct Stalls
{
    double totalMs = 0;
    double longestMs = 0;
    int ticks = 0;
};

// Runs the event loop with a 5 ms heartbeat until done() holds; the longest
// gap between two beats is the longest stall.
Stalls watch(const std::function<void()>& start, const std::function<bool()>& done)
{
    Stalls s;
    QElapsedTimer total;
    QElapsedTimer sinceBeat;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    beat.setInterval(5);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        s.longestMs = std::max(s.longestMs, sinceBeat.nsecsElapsed() / 1e6);
        sinceBeat.restart();
        ++s.ticks;
    });
    total.start();
    sinceBeat.start();
    beat.start();
    QTimer::singleShot(0, start);
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    s.totalMs = total.nsecsElapsed() / 1e6;
    // A stall still running when the loop ended counts too.
    s.longestMs = std::max(s.longestMs, sinceBeat.nsecsElapsed() / 1e6);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    MusicLibrary::initDatabase();

    const QString path = QDir(home.scratch()).filePath(QStringLiteral("hour.mp3"));
    std::printf("making a 60-minute MP3 (pink noise and a tone, 44.1 kHz stereo, 192 kbit/s)...\n");
    std::fflush(stdout);
    if (!AudioFixtures::ffmpeg({"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.2:seed=7:d=3600:r=44100",
                                "-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100:d=3600",
                                "-filter_complex",
                                "[0:a]aformat=channel_layouts=stereo[n];[1:a]aformat=channel_layouts=stereo,"
                                "volume=0.2[s];[n][s]amix=inputs=2:normalize=0",
                                "-c:a", "libmp3lame", "-b:a", "192k", path})) {
        std::printf("could not make %s\n", qPrintable(path));
        return 1;
    }

    Track track = Track::fromFile(path);
    TrackToolDialog dialog(track, nullptr);
    auto* waveform = dialog.findChild<WaveformView*>(QStringLiteral("waveform"));
    dialog.show();

    const Stalls load = watch([] {}, [&] { return !waveform->data().peaks.isEmpty(); });
    std::printf("waveform:  %lld peaks over %lld ms, shown after %8.0f ms; longest stall %6.0f ms (%d beats)\n",
                qint64(waveform->data().peaks.size()), waveform->data().durationMs, load.totalMs, load.longestMs,
                load.ticks);

    auto* autoButton = dialog.findChild<QPushButton*>(QStringLiteral("autoButton"));
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("loudnessStatus"));
    const Stalls measure =
        watch([&] { autoButton->click(); }, [&] { return status->text().endsWith(QLatin1String("LUFS"))
                                                     || status->text() == QLatin1String("Could not measure"); });
    std::printf("Auto:      \"%s\" after %8.0f ms; longest stall %6.0f ms (%d beats)\n",
                qPrintable(status->text()), measure.totalMs, measure.longestMs, measure.ticks);

    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("peak RSS %.0f MB\n", ru.ru_maxrss / 1024.0);
    return 0;
}
