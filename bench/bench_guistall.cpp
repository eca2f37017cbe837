// The longest stall of the GUI event loop while the playout window
// crossfades track after track with every station output running: a
// stream to a real Icecast server, the built-in server with a listener and
// a recording, all from the on-air mix. Stall = a 10 ms timer's lateness.
// Also the CPU time the program and its child processes spend per minute
// of audio. With --render the playlist ends in 30 minutes of long files,
// rendered to MP3 while the first rows play: stalls, how late each segue
// starts past its mix point, and the resident peak before and after.
// With --no-probe the 10 ms timer stays off, for CPU figures without its
// hundred wake-ups a second. With --bare, the same rows crossfade on two bare
// players with an output and a buffer tap each and nothing else: the floor
// Qt's playback sets for the program's figure. With --profile, the GUI thread's time by receiver class and event type
// (timers by their owner and interval), and the busiest widgets' paints.
#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/audiorender.h"
#include "icecastserver.h"
#include "library/musiclibrary.h"
#include "mainwindow/mainwindow.h"
#include "outputs/streamarchive.h"
#include "testhome.h"

#include <QAction>
#include <QAudioBuffer>
#include <QAudioBufferOutput>
#include <QAudioOutput>
#include <QMediaPlayer>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenuBar>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <QTimerEvent>
#include <QThread>
#include <QSocketNotifier>
#include <QMetaEnum>

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <vector>

namespace {

constexpr int kTracks = 6;
constexpr int kTrackSeconds = 12;
constexpr int kTickMs = 10;

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// utime + stime of a /proc stat line, in seconds.
double cpuSeconds(const QByteArray& stat)
{
    const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return f.size() > 12 ? (f[11].toDouble() + f[12].toDouble()) / double(sysconf(_SC_CLK_TCK)) : 0.0;
}

QByteArray readStat(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The latest CPU seconds seen of every thread of the program, by thread id,
// with the thread's name; sampled while running, as threads come and go.
struct ThreadCpu {
    QByteArray name;
    double first = -1.0;
    double last = 0.0;
};

void sampleThreads(QHash<QString, ThreadCpu>& threads)
{
    for (const QString& tid : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray stat = readStat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
        const qsizetype open = stat.indexOf('('), close = stat.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        ThreadCpu& t = threads[tid];
        t.name = stat.mid(open + 1, close - open - 1);
        t.last = cpuSeconds(stat);
        if (t.first < 0)
            t.first = t.last;
    }
}

// CPU seconds of every living child process, by process id.
QHash<QString, double> childCpu()
{
    QHash<QString, double> out;
    const QByteArray self = QByteArray::number(getpid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = readStat(QStringLiteral("/proc/%1/stat").arg(pid));
        const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 1 && f[1] == self)
            out.insert(pid, cpuSeconds(stat));
    }
    return out;
}

double peakRssMb()
{
    for (const QByteArray& line : readStat(QStringLiteral("/proc/self/status")).split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0.0;
}

QAction* menuAction(QMainWindow& w, const QString& text)
{
    for (QAction* top : w.menuBar()->actions())
        for (QAction* a : top->menu() ? top->menu()->actions() : QList<QAction*>())
            if (a->text() == text)
                return a;
    return nullptr;
}


// Times (in CPU time) every event the GUI thread delivers, exclusive of nested
// deliveries, keyed by receiver class and event type.
class ProfilingApp : public QApplication {
public:
    using QApplication::QApplication;
    bool profiling = false;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (!profiling || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        // The receiver may be gone once delivered (deferred deletes).
        Key key{receiver->metaObject(), int(event->type()), -1, nullptr};
        if (auto* timer = qobject_cast<QTimer*>(receiver))
            key.interval = timer->isSingleShot() ? -timer->interval() - 2 : timer->interval();
        if (key.interval != -1 || qobject_cast<QSocketNotifier*>(receiver))
            key.owner = receiver->parent() ? receiver->parent()->metaObject() : nullptr;
        const qint64 start = threadCpuNs();
        m_stack.push_back(0);
        const bool result = QApplication::notify(receiver, event);
        const qint64 total = threadCpuNs() - start;
        const qint64 nested = m_stack.back();
        m_stack.pop_back();
        if (!m_stack.empty())
            m_stack.back() += total;
        Entry& e = m_entries[key];
        e.self += total - nested;
        e.count += 1;
        return result;
    }

    void report(double minutes) const
    {
        static const QMetaEnum types = QMetaEnum::fromType<QEvent::Type>();
        QList<QPair<QString, Entry>> rows;
        qint64 sum = 0;
        for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
            const Key& k = it.key();
            const char* typeName = types.valueToKey(k.type);
            QString name = QString::fromLatin1(k.receiver->className()) + QLatin1Char(' ')
                           + (typeName ? QString::fromLatin1(typeName) : QString::number(k.type));
            if (k.interval >= 0)
                name += QStringLiteral(" %1 ms").arg(k.interval);
            else if (k.interval < -1)
                name += QStringLiteral(" single %1 ms").arg(-k.interval - 2);
            if (k.owner)
                name += QStringLiteral(" owner %1").arg(QString::fromLatin1(k.owner->className()));
            rows << qMakePair(name, it.value());
            sum += it.value().self;
        }
        std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second.self > b.second.self; });
        std::printf("GUI thread events, %.2f s per minute in all (self time per minute, deliveries per second):\n",
                    sum / 1e9 / minutes);
        for (int i = 0; i < qMin<qsizetype>(40, rows.size()); ++i)
            std::printf("  %7.3f s  %8.1f/s  %s\n", rows[i].second.self / 1e9 / minutes,
                        rows[i].second.count / minutes / 60.0, qPrintable(rows[i].first));
    }

private:
    // CPU time, not wall time: on a busy machine the thread is preempted.
    static qint64 threadCpuNs()
    {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }

    struct Key {
        const QMetaObject* receiver;
        int type;
        int interval;
        const QMetaObject* owner;
        bool operator==(const Key& o) const
        {
            return receiver == o.receiver && type == o.type && interval == o.interval && owner == o.owner;
        }
    };
    friend size_t qHash(const Key& k, size_t seed) { return qHashMulti(seed, k.receiver, k.type, k.interval, k.owner); }
    struct Entry {
        qint64 self = 0;
        qint64 count = 0;
    };

    QHash<Key, Entry> m_entries;
    std::vector<qint64> m_stack;
};

// Two bare players crossfading the rows at the same mix point, each with a
// sound output and a buffer tap that only looks at each buffer.
void runBare(const QStringList& files, int runMs)
{
    QMediaPlayer players[2];
    QAudioOutput outs[2];
    QAudioBufferOutput taps[2];
    qint64 bytes = 0;
    int next = 1;
    for (int i = 0; i < 2; ++i) {
        players[i].setAudioOutput(&outs[i]);
        players[i].setAudioBufferOutput(&taps[i]);
        QObject::connect(&taps[i], &QAudioBufferOutput::audioBufferReceived, &taps[i],
                         [&bytes](const QAudioBuffer& b) { bytes += b.byteCount(); });
        QObject::connect(&players[i], &QMediaPlayer::positionChanged, &players[i], [&, i](qint64 ms) {
            QMediaPlayer& p = players[i];
            QMediaPlayer& other = players[1 - i];
            if (p.duration() <= 0 || ms < p.duration() - 3000 || other.playbackState() == QMediaPlayer::PlayingState
                || next >= files.size())
                return;
            other.setSource(QUrl::fromLocalFile(files.at(next++)));
            other.play();
        });
    }
    const QHash<QString, double> childrenBefore = childCpu();
    const double cpuBefore = cpuSeconds(readStat(QStringLiteral("/proc/self/stat")));
    const double mainBefore = cpuSeconds(readStat(QStringLiteral("/proc/self/task/%1/stat").arg(getpid())));
    QElapsedTimer run;
    run.start();
    players[0].setSource(QUrl::fromLocalFile(files.first()));
    players[0].play();
    wait(runMs);
    const double minutes = run.elapsed() / 60000.0;
    const double cpuMain = cpuSeconds(readStat(QStringLiteral("/proc/self/task/%1/stat").arg(getpid()))) - mainBefore;
    const double cpuSelf = cpuSeconds(readStat(QStringLiteral("/proc/self/stat"))) - cpuBefore;
    std::printf("bare players, %d rows, %.1f MB of buffers: CPU per minute of audio %.2f s (GUI thread %.2f s)\n",
                next, bytes / 1e6, cpuSelf / minutes, cpuMain / minutes);
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    ProfilingApp app(argc, argv);
    const bool profile = app.arguments().contains(QStringLiteral("--profile"));
    const bool probe = !app.arguments().contains(QStringLiteral("--no-probe"));
    const bool render = app.arguments().contains(QStringLiteral("--render"));
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    const int runMs = (kTracks - 1) * (kTrackSeconds - 3) * 1000 + 2000;
    QStringList files;
    for (int i = 0; i < kTracks; ++i) {
        const QString path = home.scratch() + QStringLiteral("/Artist %1 - Song %1.mp3").arg(i);
        if (!AudioFixtures::tone(path, 330 + 110 * i, -6, kTrackSeconds))
            return 1;
        files << path;
    }
    if (app.arguments().contains(QStringLiteral("--bare"))) {
        runBare(files, runMs);
        return 0;
    }

    IcecastServer ice;
    if (!ice.start()) {
        std::fprintf(stderr, "icecast: %s\n", qPrintable(ice.errorText()));
        return 1;
    }
    for (int i = 0; render && i < 10; ++i) {
        const QString path = home.scratch() + QStringLiteral("/Long %1.mp3").arg(i);
        if (!AudioFixtures::tone(path, 220 + 55 * i, -12, 180))
            return 1;
        files << path;
    }
    const quint16 serverPort = freePort();
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/mixPointMs"), 3000);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 3000);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 5000);
    s.setValue(QStringLiteral("server/enabled"), true);
    s.setValue(QStringLiteral("server/port"), serverPort);
    s.setValue(QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1"));
    s.setValue(QStringLiteral("broadcast/port"), ice.port());
    s.setValue(QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount));
    s.setValue(QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword));
    s.setValue(QStringLiteral("broadcast/internalMix"), true);
    s.setValue(QStringLiteral("archive/folder"), home.scratch(QStringLiteral("archive")));
    s.setValue(QStringLiteral("archive/internalMix"), true);
    s.sync();

    // As the program starts: plays are written to a library database with its tables.
    MusicLibrary::initDatabase();
    MainWindow window;
    window.addPaths(files);
    window.show();
    menuAction(window, QStringLiteral("Start Broadcasting"))->trigger();
    QTcpSocket listener;
    listener.connectToHost(QHostAddress::LocalHost, serverPort);
    listener.waitForConnected(5000);
    listener.write("GET / HTTP/1.0\r\n\r\n");
    QObject::connect(&listener, &QTcpSocket::readyRead, &listener, [&listener] { listener.readAll(); });
    window.findChild<StreamArchive*>()->start();
    wait(2000);

    auto* engine = window.findChild<AudioEngine*>();
    int rowsStarted = 0;
    // How far past its mix point the outgoing row was when the next started.
    QList<double> segueLate;
    qint64 lastPosition = -1;
    QElapsedTimer wall;
    wall.start();
    qint64 lastAt = 0;
    QObject::connect(engine, &AudioEngine::positionChanged, &window, [&](qint64 ms) {
        lastPosition = ms;
        lastAt = wall.elapsed();
    });
    QObject::connect(engine, &AudioEngine::currentRowChanged, &window, [&] {
        ++rowsStarted;
        if (lastPosition >= 0)
            segueLate << double(lastPosition + wall.elapsed() - lastAt - (engine->duration() - 3000));
        lastPosition = -1;
    });
    QList<double> lateness;
    QElapsedTimer clock;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(kTickMs);
    QObject::connect(&tick, &QTimer::timeout, &window, [&] {
        lateness << qMax(0.0, clock.nsecsElapsed() / 1e6 - kTickMs);
        clock.restart();
    });
    const QHash<QString, double> childrenBefore = childCpu();
    const double cpuBefore = cpuSeconds(readStat(QStringLiteral("/proc/self/stat")));
    const double mainBefore = cpuSeconds(readStat(QStringLiteral("/proc/self/task/%1/stat").arg(getpid())));
    app.profiling = profile;
    QHash<QString, ThreadCpu> threads;
    QTimer threadSampler;
    if (profile) {
        sampleThreads(threads);
        for (ThreadCpu& t : threads)
            t.first = t.last;
        QObject::connect(&threadSampler, &QTimer::timeout, &window, [&threads] { sampleThreads(threads); });
        threadSampler.start(500);
    }
    engine->playRow(0);
    clock.start();
    if (probe)
        tick.start();
    QElapsedTimer run;
    run.start();
    double renderSeconds = 0.0;
    double rssBefore = 0.0;
    bool rendered = false;
    if (render) {
        wait(3000);
        rssBefore = peakRssMb();
        QElapsedTimer took;
        took.start();
        const QString target = home.scratch() + QStringLiteral("/render.mp3");
        // The render runs on its own thread; its object goes when it ends.
        if (window.renderPlaylistTo(target)) {
            while (window.findChild<AudioRender*>(QStringLiteral("commandRender")))
                wait(20);
        }
        rendered = QFile::exists(target);
        renderSeconds = took.elapsed() / 1000.0;
    }
    wait(int(std::max<qint64>(runMs - run.elapsed(), 0)));
    tick.stop();
    app.profiling = false;
    const double cpuMain = cpuSeconds(readStat(QStringLiteral("/proc/self/task/%1/stat").arg(getpid()))) - mainBefore;
    const double cpuSelf = cpuSeconds(readStat(QStringLiteral("/proc/self/stat"))) - cpuBefore;
    double cpuChildren = 0.0;
    const QHash<QString, double> childrenAfter = childCpu();
    for (auto it = childrenAfter.cbegin(); it != childrenAfter.cend(); ++it)
        cpuChildren += it.value() - childrenBefore.value(it.key(), 0.0);

    std::sort(lateness.begin(), lateness.end());
    const auto pct = [&](double p) { return lateness.at(qMin(lateness.size() - 1, qsizetype(p * lateness.size()))); };
    std::printf("%d rows started in %.0f s of crossfading, source stream, listener and recording running\n",
                rowsStarted, runMs / 1000.0);
    if (!lateness.isEmpty())
        std::printf("10 ms timer lateness: median %.1f ms, 99th %.1f ms, 99.9th %.1f ms, worst %.1f ms (%lld ticks)\n",
                    pct(0.5), pct(0.99), pct(0.999), lateness.last(), qint64(lateness.size()));
    const double minutes = run.elapsed() / 60000.0;
    std::printf("CPU per minute of audio: program %.2f s (GUI thread %.2f s), child processes %.2f s\n",
                cpuSelf / minutes, cpuMain / minutes, cpuChildren / minutes);
    if (profile) {
        app.report(minutes);
        sampleThreads(threads);
        QMap<QByteArray, double> byName;
        for (const ThreadCpu& t : threads)
            byName[t.name] += t.last - t.first;
        std::printf("threads by name (CPU s per minute):\n");
        for (auto it = byName.cbegin(); it != byName.cend(); ++it)
            if (it.value() / minutes >= 0.01)
                std::printf("  %7.3f s  %s\n", it.value() / minutes, it.key().constData());
    }
    std::sort(segueLate.begin(), segueLate.end());
    if (!segueLate.isEmpty())
        std::printf("segues past the mix point: median %.0f ms, worst %.0f ms\n", segueLate[segueLate.size() / 2],
                    segueLate.last());
    if (render)
        std::printf("render of the playlist to MP3 during playout: %s in %.1f s, peak RSS %.0f MB before, %.0f MB after\n",
                    rendered ? "done" : "FAILED", renderSeconds, rssBefore, peakRssMb());
    return 0;
}
