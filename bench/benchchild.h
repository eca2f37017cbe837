#pragma once

// A benchmark's children: the same executable started again in a home of
// its own through the program's own start-up, answering on standard output.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QProcess>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>

// Ends the process at the first paint of a top-level window.
class ExitAtFirstPaint : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow()) {
            std::printf("painted\n");
            std::fflush(stdout);
            std::_Exit(0);
        }
        return QObject::eventFilter(watched, event);
    }
};

inline QProcessEnvironment benchHomeEnvironment(const QString& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
    return env;
}

struct ChildAnswer
{
    double wallMs = -1; // from the start to the end of the child
    QList<QByteArray> lines;

    // The figures after "key " on the child's line that starts with it.
    QList<double> figures(const QByteArray& key) const
    {
        QList<double> out;
        for (const QByteArray& line : lines) {
            if (!line.startsWith(key + ' '))
                continue;
            for (const QByteArray& word : line.mid(key.size() + 1).split(' '))
                if (!word.isEmpty())
                    out << word.toDouble();
        }
        return out;
    }
    bool has(const QByteArray& line) const { return lines.contains(line); }
};

// Started from this executable, or another one beside it; told when it was
// started on the monotonic clock (OL_BENCH_STARTED_MS, see firstpaint.h).
inline ChildAnswer runBenchChild(const QStringList& args, const QString& home, int timeoutMs = 300000,
                                 const QString& program = QString())
{
    QProcess p;
    QProcessEnvironment env = benchHomeEnvironment(home);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    env.insert(QStringLiteral("OL_BENCH_STARTED_MS"), QString::number(now.tv_sec * 1e3 + now.tv_nsec / 1e6, 'f', 3));
    p.setProcessEnvironment(env);
    // The program's log goes to standard error: not wanted here.
    p.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    p.start(program.isEmpty() ? QCoreApplication::applicationFilePath()
                              : QCoreApplication::applicationDirPath() + QLatin1Char('/') + program,
            args);
    ChildAnswer answer;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return answer;
    }
    answer.wallMs = t.nsecsElapsed() / 1e6;
    answer.lines = p.readAllStandardOutput().split('\n');
    return answer;
}

// This process's peak and present resident memory, in MiB.
inline double residentMiB(const char* key = "VmRSS:")
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}
