#pragma once

// What a start-up child tells its parent: times on the monotonic clock since
// the parent started it (OL_BENCH_STARTED_MS), its CPU time, and how long
// its window's thread stalled after the first paint. Qt only, so that a
// minimal program can use it too.
#include "benchtiming.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QSet>
#include <QMainWindow>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>

// CPU time of this process so far, all threads, in ms.
inline double cpuMs()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Monotonic time in ms; the same clock in the parent and its children.
inline double monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

inline double sinceStartedMs()
{
    return monotonicMs() - qEnvironmentVariable("OL_BENCH_STARTED_MS").toDouble();
}

// Prints "KEY ms-since-start".
inline void tellMark(const char* key)
{
    std::printf("%s %.3f\n", key, sinceStartedMs());
    std::fflush(stdout);
}

// Shared libraries mapped into this process so far.
inline int mappedLibraries()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return -1;
    QSet<QByteArray> files;
    for (const QByteArray& line : maps.readAll().split('\n'))
        if (const qsizetype at = line.indexOf(" /"); at > 0 && line.contains(".so"))
            files.insert(line.mid(at + 1));
    return int(files.size());
}

// Once the first paint of a top-level window is done (the zero timer runs
// after the whole repaint and its flush), tells when it began and ended and
// the CPU time until then; then watches the window's thread for the
// seconds that follow (OL_BENCH_READY_MS, default 3000; 0 for none) and
// tells its longest stall (a 2 ms precise timer's lateness) and "ready":
// the paint's end plus that stall, when the window is painted and answers.
// Then ends the process; the exit is not timed: a bigger program takes
// longer to tear down.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType()
            && static_cast<QWidget*>(watched)->isWindow()) {
            m_seen = true;
            tellMark("paint-begins");
            QTimer::singleShot(0, this, [this] {
                std::printf("cpu %.3f\nlibs-painted %d\n", cpuMs(), mappedLibraries());
                tellMark("painted");
                const double painted = sinceStartedMs();
                const int watchMs = qEnvironmentVariable("OL_BENCH_READY_MS", QStringLiteral("3000")).toInt();
                if (watchMs <= 0)
                    std::_Exit(0);
                m_librariesAtPaint = mappedLibraries();
                m_probe.start();
                QTimer::singleShot(watchMs, this, [this, painted] {
                    std::printf("stall %.3f\nready %.3f\nlibs-after %d\n", m_probe.longestMs(),
                                painted + m_probe.longestMs(), mappedLibraries() - m_librariesAtPaint);
                    std::fflush(stdout);
                    std::_Exit(0);
                });
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
    StallProbe m_probe;
    int m_librariesAtPaint = 0;
};

// A bare QMainWindow of the program's size, shown until its first paint.
inline int showBareWindow(QApplication& app)
{
    FirstPaint filter;
    QMainWindow window;
    window.resize(1180, 720);
    window.installEventFilter(&filter);
    window.show();
    return app.exec();
}
