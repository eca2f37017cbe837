#pragma once

// Timing of a benchmark case: the median and the worst of several runs,
// each after an untimed setup.
#include <QElapsedTimer>
#include <QList>

#include <algorithm>
#include <functional>

struct Stats
{
    double median;
    double worst;
};

inline Stats measure(int runs, const std::function<void()>& run, const std::function<void()>& setup = {})
{
    QList<double> ms;
    for (int i = 0; i < runs; ++i) {
        if (setup)
            setup();
        QElapsedTimer t;
        t.start();
        run();
        ms << t.nsecsElapsed() / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    return {ms[runs / 2], ms.last()};
}
