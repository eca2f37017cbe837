// The track tool's "Auto" on a 60-minute MP3: clicked in the dialog once its
// waveform is in, the time until the level is set and the longest the window's thread was kept
// from its events meanwhile (a 1 ms timer's late ticks). Beside it the
// measurement alone, AudioRender::analyse on the window's thread: what a
// click blocked while the measurement ran there.
#include "audiofixtures.h"
#include "dialogs/library/tracktooldialog.h"
#include "dialogs/library/waveformview.h"
#include "engine/audiorender.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    const QString file = home.scratch(QStringLiteral("hour")) + QStringLiteral("/hour.mp3");
    if (!AudioFixtures::tone(file, 440, -14, 3600.0)) {
        std::fprintf(stderr, "could not make the file\n");
        return 1;
    }

    QElapsedTimer alone;
    alone.start();
    AudioRender render;
    const LoudnessAnalysis a = render.analyse(file, 120000);
    std::printf("AudioRender::analyse on the calling thread  %8.1f ms  (%.1f LUFS)\n", alone.nsecsElapsed() / 1e6,
                a.integratedLufs);

    Track track;
    track.filePath = file;
    track.durationMs = 3600000;
    TrackToolDialog dialog(track);
    dialog.show();
    auto* waveform = dialog.findChild<WaveformView*>(QStringLiteral("waveform"));
    QElapsedTimer waited;
    waited.start();
    while (waveform->data().peaks.isEmpty() && waited.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    auto* autoButton = dialog.findChild<QPushButton*>(QStringLiteral("autoButton"));
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("loudnessStatus"));
    double stall = 0;
    QElapsedTimer sinceTick;
    QElapsedTimer clicked;
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        stall = std::max(stall, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
        if (autoButton->isEnabled())
            loop.quit();
    });
    clicked.start();
    sinceTick.start();
    autoButton->click();
    tick.start();
    loop.exec();
    std::printf("\"Auto\" clicked to level set               %8.1f ms  longest stall %.1f ms  (%s)\n",
                clicked.nsecsElapsed() / 1e6, stall, qPrintable(status->text()));
    return 0;
}
