// Cost of one paint pass of the display, which runs on every meter tick
// (55 ms) while playing: time per frame and the share of one core that
// 18 frames a second take. Run with QT_QPA_PLATFORM=offscreen.
#include "mainwindow/vfddisplay.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    constexpr int kFrames = 2000;
    for (const int width : {940, 1600}) {
        VfdDisplay display;
        display.resize(width, 132);
        display.setDateTime(QDateTime::currentDateTime(), true);
        display.setWeather(QStringLiteral("12°C  Partly cloudy"), QStringLiteral("Wind 12 km/h   Rain 0.0 mm"),
                           QStringLiteral("Springfield, Illinois US"));
        display.setJustPlayed(QStringLiteral("An artist - An earlier title"));
        display.setNowPlaying(QStringLiteral("Another artist - A title long enough to be elided on the panel"));
        display.setNextUp(QStringLiteral("A third artist - Next"));
        display.setPlaying(true);
        display.setUseRealMeter(true);
        QImage image(display.size(), QImage::Format_ARGB32_Premultiplied);

        QElapsedTimer t;
        t.start();
        for (int i = 0; i < kFrames; ++i) {
            display.setProgress(i * 100, kFrames * 100);
            display.setMeterLevels((i % 18) / 18.0, ((i * 7) % 18) / 18.0);
            display.render(&image);
        }
        const double ms = double(t.nsecsElapsed()) / 1e6 / kFrames;
        std::printf("%4d x 132: %.3f ms per frame, %.1f %% of a core at 18 frames/s\n", width, ms,
                    ms * 18 / 10.0);
    }
    return 0;
}
