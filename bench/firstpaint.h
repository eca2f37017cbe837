#pragma once

// What a start-up child tells its parent: times on the monotonic clock since
// the parent started it (OL_BENCH_STARTED_MS), and its CPU time. Qt only, so
// that a minimal program can use it too.
#include <QApplication>
#include <QEvent>
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

// Ends the process once the first paint of a top-level window is done (the
// zero timer runs after the whole repaint and its flush), telling when it
// began and ended, and the CPU time until then. The exit is not timed: a
// bigger program takes longer to tear down.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType()
            && static_cast<QWidget*>(watched)->isWindow()) {
            m_seen = true;
            tellMark("paint-begins");
            QTimer::singleShot(0, [] {
                std::printf("cpu %.3f\n", cpuMs());
                tellMark("painted");
                std::_Exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
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
