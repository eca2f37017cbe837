#pragma once

// Timing of a benchmark case: the median and the worst of several runs,
// each after an untimed setup.
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QObject>
#include <QThread>
#include <QTimer>

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

// The longest stretch the thread it lives on was kept from its event loop: a
// short precise timer notes how late each of its ticks comes. A busy handler,
// a paint or a blocking wait delays the next tick, so no stall can hide from
// it (unlike hooks on the dispatcher, which miss a stall that never waits).
class StallProbe : public QObject
{
public:
    explicit StallProbe(int intervalMs = 2, QObject* parent = nullptr)
        : QObject(parent), m_intervalMs(intervalMs)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(intervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const double now = m_clock.nsecsElapsed() / 1e6;
            const double late = now - m_last - m_intervalMs;
            if (late > m_longest)
                m_longest = late;
            if (late > 1.0)
                m_stalls << late;
            m_last = now;
        });
    }
    void start()
    {
        reset();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    // Forgets what was seen so far; the probe keeps running.
    void reset()
    {
        m_clock.start();
        m_last = 0;
        m_longest = 0;
        m_stalls.clear();
    }
    // The worst delay of a tick beyond its interval, in ms.
    double longestMs() const { return m_longest; }
    // Every delay of over 1 ms, in the order seen.
    const QList<double>& stalls() const { return m_stalls; }

private:
    int m_intervalMs;
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = 0;
    double m_longest = 0;
    QList<double> m_stalls;
};

// Median, lowest and highest of a set of figures, for "median (low-high)" rows.
struct Spread
{
    double median = 0;
    double low = 0;
    double high = 0;
};

inline Spread spreadOf(QList<double> values)
{
    if (values.isEmpty())
        return {};
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.first(), values.last()};
}

// The cores and the load average, for figures taken on a shared machine.
inline QString machineLoad()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    const QByteArray load = f.open(QIODevice::ReadOnly) ? f.readLine().trimmed() : QByteArray("?");
    return QStringLiteral("machine: %1 cores, load average %2").arg(QThread::idealThreadCount()).arg(QString::fromLatin1(load));
}
