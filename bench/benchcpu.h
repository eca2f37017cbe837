#pragma once

// CPU time as the kernel counts it in /proc, for a process with everything
// it started, and for its threads: what a benchmark sets beside a reference
// sampled over the same minutes.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMap>

#include <functional>
#include <unistd.h>

namespace BenchCpu {

inline QByteArray readProc(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One process or thread: its name, parent, own CPU seconds, and the CPU
// seconds of the children it has reaped.
struct Stat
{
    QByteArray name;
    qint64 parent = 0;
    double own = 0;
    double reaped = 0;
    bool valid = false;
};

inline Stat parseStat(const QByteArray& line)
{
    Stat s;
    const qsizetype open = line.indexOf('('), close = line.lastIndexOf(')');
    if (open < 0 || close < open)
        return s;
    const QList<QByteArray> f = line.mid(close + 2).split(' ');
    if (f.size() < 15)
        return s;
    const double tick = double(sysconf(_SC_CLK_TCK));
    s.name = line.mid(open + 1, close - open - 1);
    s.parent = f[1].toLongLong();
    s.own = (f[11].toDouble() + f[12].toDouble()) / tick;
    s.reaped = (f[13].toDouble() + f[14].toDouble()) / tick;
    s.valid = true;
    return s;
}

inline Stat statOf(qint64 pid)
{
    return parseStat(readProc(QStringLiteral("/proc/%1/stat").arg(pid)));
}

// A process and every living process below it, by id; a process that
// isPeer names (a server the program talks to) is left out with its own.
using Tree = QHash<qint64, Stat>;

inline Tree treeOf(qint64 root, const std::function<bool(const QByteArray&)>& isPeer = {})
{
    QHash<qint64, Stat> all;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number)
            if (const Stat s = statOf(pid); s.valid)
                all.insert(pid, s);
    }
    Tree tree;
    if (!all.contains(root))
        return tree;
    QList<qint64> next{root};
    while (!next.isEmpty()) {
        const qint64 pid = next.takeLast();
        tree.insert(pid, all.value(pid));
        for (auto it = all.cbegin(); it != all.cend(); ++it)
            if (it->parent == pid && !(isPeer && isPeer(it->name)))
                next << it.key();
    }
    return tree;
}

// CPU seconds a tree spent between two samples: every process's own time
// and what its members reaped meanwhile. By name, where wanted, with the
// children that ended meanwhile under "ended".
inline double spent(const Tree& before, const Tree& after, QMap<QByteArray, double>* byName = nullptr)
{
    double total = 0;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const Stat was = before.value(it.key());
        total += it->own + it->reaped - was.own - was.reaped;
        if (byName) {
            (*byName)[it->name] += it->own - was.own;
            (*byName)["ended"] += it->reaped - was.reaped;
        }
    }
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (after.contains(it.key()))
            continue;
        // Its whole life is in a parent's reaped time now.
        total -= it->own + it->reaped;
        if (byName)
            (*byName)["ended"] -= it->own + it->reaped;
    }
    if (byName && byName->value("ended") < 0.005)
        byName->remove("ended");
    return total;
}

// The threads of a process, by id.
inline Tree threadsOf(qint64 pid)
{
    Tree threads;
    const QString dir = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (const Stat s = parseStat(readProc(dir + QLatin1Char('/') + tid + QStringLiteral("/stat"))); s.valid)
            threads.insert(tid.toLongLong(), s);
    return threads;
}

// CPU seconds each thread name spent between two samples (a thread that
// ended meanwhile is not seen); the main thread, whose id is the
// process's, under mainName.
inline QMap<QByteArray, double> threadsSpent(qint64 pid, const Tree& before, const Tree& after,
                                             const QByteArray& mainName)
{
    QMap<QByteArray, double> out;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        out[it.key() == pid ? mainName : it->name] += it->own - before.value(it.key()).own;
    return out;
}

} // namespace BenchCpu
