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
// The longest stall is also split by the kernel's count for the thread:
// time on a core, time runnable but waiting for one (a loaded machine), and
// the rest, asleep or blocked (a lock, the disk).
class StallProbe : public QObject
{
public:
    struct Split
    {
        double onCpu = 0;
        double waitingForCpu = 0;
        double blocked = 0;
    };

    explicit StallProbe(int intervalMs = 2, QObject* parent = nullptr)
        : QObject(parent), m_intervalMs(intervalMs)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(intervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const double now = m_clock.nsecsElapsed() / 1e6;
            const Sched sched = readSched();
            const double late = now - m_last - m_intervalMs;
            if (late > m_longest) {
                m_longest = late;
                const double onCpu = sched.run - m_sched.run;
                const double waiting = sched.wait - m_sched.wait;
                m_split = {onCpu, waiting, std::max(0.0, now - m_last - onCpu - waiting)};
            }
            if (late > 1.0)
                m_stalls << late;
            m_last = now;
            m_sched = sched;
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
        m_split = {};
        m_sched = readSched();
        m_stalls.clear();
    }
    // The worst delay of a tick beyond its interval, in ms.
    double longestMs() const { return m_longest; }
    // Where the thread was during that stall (its whole tick), in ms; all
    // zero where the kernel does not say.
    Split longestSplit() const { return m_split; }
    // Every delay of over 1 ms, in the order seen.
    const QList<double>& stalls() const { return m_stalls; }

private:
    struct Sched
    {
        double run = 0;
        double wait = 0;
    };
    // The thread's time on a core and waiting for one, in ms.
    Sched readSched()
    {
        if (!m_schedstat.isOpen()) {
            m_schedstat.setFileName(QStringLiteral("/proc/thread-self/schedstat"));
            if (!m_schedstat.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
                return {};
        }
        m_schedstat.seek(0);
        const QList<QByteArray> v = m_schedstat.read(128).trimmed().split(' ');
        return v.size() >= 2 ? Sched{v[0].toDouble() / 1e6, v[1].toDouble() / 1e6} : Sched{};
    }

    int m_intervalMs;
    QTimer m_timer;
    QElapsedTimer m_clock;
    QFile m_schedstat;
    double m_last = 0;
    double m_longest = 0;
    Split m_split;
    Sched m_sched;
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
