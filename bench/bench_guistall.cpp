// The GUI event loop's stalls and the CPU time of the playout window while
// it crossfades track after track with every station output running: a
// stream to a real Icecast server, the built-in server with a listener and
// a recording, all from the on-air mix, one MP3 encoder child feeding them.
// The window is built as the program builds it (style sheet, icon). Stall =
// a 10 ms timer's lateness.
//
// Each run is a fresh process; the rounds (5, or --rounds N) alternate the
// program with its references, measured the same way in the same sitting:
// - "bare decks": the same rows crossfaded at the same mix point on two
//   bare QMediaPlayers, each with a sound output and a buffer tap that only
//   looks at each buffer, and nothing else;
// - "bare decks + encoder": the same, and the newest deck's buffers
//   converted as the program converts them (44 100 Hz stereo 16-bit, the
//   outputs' default) and piped in 200 ms batches to an ffmpeg MP3 encoder
//   (128 kbit/s, output dropped): the program's encoder at its bare minimum.
// CPU counts the process and its child processes: living ones from
// /proc/<pid>/stat, ended ones from getrusage(RUSAGE_CHILDREN). The Icecast
// server is a peer, not the program: its CPU is shown apart and left out.
// The probe runs in every run alike; with --no-probe it runs in none, for
// CPU figures without its hundred wake-ups a second.
//
// With --render (one program run in this process) the playlist ends in 30
// minutes of long files, rendered to MP3 while the first rows play: stalls,
// how late each segue starts past its mix point, and the resident peak
// before and after. With --profile (one program run), the GUI thread's time
// by receiver class and event type (timers by their owner and interval),
// and the threads' CPU by name.
//
// Run: tools/inroot bash -c '. tools/audio-env && ol_start_audio && build/bench/bench_guistall'
#include "audiofixtures.h"
#include "benchchild.h"
#include "benchcpu.h"
#include "benchtiming.h"
#include "guiprofile.h"
#include "engine/audioengine.h"
#include "engine/mp3encoder.h"
#include "engine/audiorender.h"
#include "onairstation.h"
#include "library/musiclibrary.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playoutstartup.h"
#include "outputs/pcmconverter.h"
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
#include <QProcess>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <cstdio>
#include <vector>

namespace {

constexpr int kTracks = 6;
constexpr int kTrackSeconds = 12;
constexpr int kTickMs = 10;

// The latest CPU seconds seen of every thread of the program, by thread id,
// with the thread's name; sampled while running, as threads come and go.
struct ThreadCpu {
    QByteArray name;
    double first = -1.0;
    double last = 0.0;
};

void sampleThreads(QHash<qint64, ThreadCpu>& threads)
{
    const BenchCpu::Tree now = BenchCpu::threadsOf(getpid());
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        ThreadCpu& t = threads[it.key()];
        t.name = it->name;
        t.last = it->own;
        if (t.first < 0)
            t.first = t.last;
    }
}

// The Icecast server is the station's peer, not part of the program.
bool isPeer(const QByteArray& name)
{
    return name.startsWith("icecast") || name == "setpriv";
}

double peakRssMb()
{
    return residentMiB("VmHWM:");
}

// A 10 ms precise timer's lateness, tick by tick.
class TickLateness : public QObject {
public:
    QList<double> late;

    explicit TickLateness(bool on)
    {
        m_tick.setTimerType(Qt::PreciseTimer);
        m_tick.setInterval(kTickMs);
        QObject::connect(&m_tick, &QTimer::timeout, this, [this] {
            late << qMax(0.0, m_clock.nsecsElapsed() / 1e6 - kTickMs);
            m_clock.restart();
        });
        if (on) {
            m_clock.start();
            m_tick.start();
        }
    }
    void stop() { m_tick.stop(); }
    double percentile(double p) const
    {
        QList<double> sorted = late;
        std::sort(sorted.begin(), sorted.end());
        return sorted.isEmpty() ? -1.0 : sorted.at(qMin(sorted.size() - 1, qsizetype(p * sorted.size())));
    }

private:
    QTimer m_tick;
    QElapsedTimer m_clock;
};

// CPU over a run: the process (and its GUI thread) and its children.
class CpuWindow {
public:
    CpuWindow()
        : m_tree(BenchCpu::treeOf(getpid()))
        , m_threads(BenchCpu::threadsOf(getpid()))
    {
        m_run.start();
    }
    // One line for the parent: CPU seconds per minute of audio.
    void report(const TickLateness& ticks) const
    {
        const double minutes = m_run.elapsed() / 60000.0;
        const BenchCpu::Tree tree = BenchCpu::treeOf(getpid());
        const double self = (tree.value(getpid()).own - m_tree.value(getpid()).own) / minutes;
        const double main = BenchCpu::threadsSpent(getpid(), m_threads, BenchCpu::threadsOf(getpid()), "main")
                                .value("main")
                            / minutes;
        QMap<QByteArray, double> spent;
        BenchCpu::spent(m_tree, tree, &spent);
        spent.remove(tree.value(getpid()).name);
        double children = 0.0, peer = 0.0;
        QStringList names;
        for (auto it = spent.cbegin(); it != spent.cend(); ++it) {
            (isPeer(it.key()) ? peer : children) += it.value() / minutes;
            names << QStringLiteral("%1 %2").arg(QString::fromLatin1(it.key())).arg(it.value() / minutes, 0, 'f', 2);
        }
        std::printf("CPU per minute of audio: process %.2f s (GUI thread %.2f s), children %.2f s [%s]\n", self, main,
                    children, qPrintable(names.join(QStringLiteral(", "))));
        std::printf("@ %f %f %f %f %f %f\n", self, main, children, peer, ticks.percentile(0.999),
                    ticks.percentile(1.0));
    }

private:
    BenchCpu::Tree m_tree;
    BenchCpu::Tree m_threads;
    QElapsedTimer m_run;
};

// Two bare players crossfading the rows at the same mix point, each with a
// sound output and a buffer tap that only looks at each buffer; with an
// encoder, the newest deck's buffers also go to an ffmpeg MP3 encoder.
void runBare(const QStringList& files, int runMs, bool probe, bool encode)
{
    QMediaPlayer players[2];
    QAudioOutput outs[2];
    QAudioBufferOutput taps[2];
    QProcess encoder;
    PcmConverter converter(44100, 2);
    QByteArray pending;
    qint64 bytes = 0;
    int next = 1;
    int newest = 0;
    for (int i = 0; i < 2; ++i) {
        players[i].setAudioOutput(&outs[i]);
        players[i].setAudioBufferOutput(&taps[i]);
        QObject::connect(&taps[i], &QAudioBufferOutput::audioBufferReceived, &taps[i],
                         [&, i](const QAudioBuffer& b) {
                             bytes += b.byteCount();
                             if (!encode || i != newest)
                                 return;
                             // As the program feeds its encoder: converted to the
                             // outputs' default 44 100 Hz stereo 16-bit.
                             if (encoder.state() == QProcess::NotRunning) {
                                 encoder.setStandardOutputFile(QProcess::nullDevice());
                                 encoder.start(QStringLiteral("ffmpeg"),
                                               Mp3Encoder::arguments(44100, 2, 128, Mp3Encoder::S16le));
                             }
                             pending.append(converter.convert(b));
                             if (pending.size() >= 44100 * 2 * 2 / 5) {
                                 encoder.write(pending);
                                 pending.clear();
                             }
                         });
        QObject::connect(&players[i], &QMediaPlayer::positionChanged, &players[i], [&, i](qint64 ms) {
            QMediaPlayer& p = players[i];
            QMediaPlayer& other = players[1 - i];
            if (p.duration() <= 0 || ms < p.duration() - 3000 || other.playbackState() == QMediaPlayer::PlayingState
                || next >= files.size())
                return;
            other.setSource(QUrl::fromLocalFile(files.at(next++)));
            other.play();
            newest = 1 - i;
        });
    }
    const CpuWindow cpu;
    TickLateness ticks(probe);
    players[0].setSource(QUrl::fromLocalFile(files.first()));
    players[0].play();
    benchWait(runMs);
    ticks.stop();
    std::printf("bare decks%s, %d rows, %.1f MB of buffers\n", encode ? " + encoder" : "", next, bytes / 1e6);
    cpu.report(ticks);
    encoder.closeWriteChannel();
    encoder.waitForFinished(5000);
}

int runProgram(QApplication& app, TestHome& home, QStringList files, int runMs, bool probe, bool render,
               ProfilingApp* profiler)
{
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
    const quint16 serverPort = benchFreePort();
    setEveryOutput(ice, serverPort, home.scratch(QStringLiteral("archive")));

    // As the program starts: plays are written to a library database with
    // its tables, the window wears the program's style sheet and icon.
    PlayoutStartup::configureApplication(app);
    MusicLibrary::initDatabase();
    if (!PlayoutStartup::applyStyleSheet(app)) {
        std::fprintf(stderr, "the style sheet could not be read\n");
        return 1;
    }
    MainWindow window;
    window.addPaths(files);
    window.show();
    benchMenuAction(window, QStringLiteral("Start Broadcasting"))->trigger();
    QTcpSocket listener;
    listener.connectToHost(QHostAddress::LocalHost, serverPort);
    listener.waitForConnected(5000);
    listener.write("GET / HTTP/1.0\r\n\r\n");
    QObject::connect(&listener, &QTcpSocket::readyRead, &listener, [&listener] { listener.readAll(); });
    window.findChild<StreamArchive*>()->start();
    benchWait(2000);

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
    const bool profile = profiler != nullptr;
    if (profiler)
        profiler->profiling = true;
    QHash<qint64, ThreadCpu> threads;
    QTimer threadSampler;
    if (profile) {
        sampleThreads(threads);
        for (ThreadCpu& t : threads)
            t.first = t.last;
        QObject::connect(&threadSampler, &QTimer::timeout, &window, [&threads] { sampleThreads(threads); });
        threadSampler.start(500);
    }
    const CpuWindow cpu;
    engine->playRow(0);
    TickLateness ticks(probe);
    QElapsedTimer run;
    run.start();
    double renderSeconds = 0.0;
    double rssBefore = 0.0;
    bool rendered = false;
    if (render) {
        benchWait(3000);
        rssBefore = peakRssMb();
        QElapsedTimer took;
        took.start();
        const QString target = home.scratch() + QStringLiteral("/render.mp3");
        // The render runs on its own thread; its object goes when it ends.
        if (window.renderPlaylistTo(target)) {
            while (window.findChild<AudioRender*>(QStringLiteral("commandRender")))
                benchWait(20);
        }
        rendered = QFile::exists(target);
        renderSeconds = took.elapsed() / 1000.0;
    }
    benchWait(int(std::max<qint64>(runMs - run.elapsed(), 0)));
    ticks.stop();
    if (profiler)
        profiler->profiling = false;
    const double minutes = run.elapsed() / 60000.0;

    std::printf("%d rows started in %.0f s of crossfading, source stream, listener and recording running\n",
                rowsStarted, runMs / 1000.0);
    if (!ticks.late.isEmpty())
        std::printf("10 ms timer lateness: median %.1f ms, 99th %.1f ms, 99.9th %.1f ms, worst %.1f ms (%lld ticks)\n",
                    ticks.percentile(0.5), ticks.percentile(0.99), ticks.percentile(0.999), ticks.percentile(1.0),
                    qint64(ticks.late.size()));
    cpu.report(ticks);
    if (profiler) {
        profiler->report(minutes);
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

// One run of a mode in a fresh process; its figures, or none when it failed.
struct RunFigures {
    double process = 0, gui = 0, children = 0, peer = 0, stall999 = 0, worst = 0;
};

std::optional<RunFigures> runChild(const QString& mode, bool probe)
{
    QProcess p;
    QStringList args{QStringLiteral("--child"), mode};
    if (!probe)
        args << QStringLiteral("--no-probe");
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(), args);
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return std::nullopt;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        if (!line.startsWith("@ ")) {
            if (!line.isEmpty())
                std::printf("    %s: %s\n", qPrintable(mode), line.constData());
            continue;
        }
        const QList<QByteArray> f = line.mid(2).split(' ');
        if (f.size() == 6)
            return RunFigures{f[0].toDouble(), f[1].toDouble(), f[2].toDouble(), f[3].toDouble(), f[4].toDouble(),
                              f[5].toDouble()};
    }
    return std::nullopt;
}

QString spread(const QList<double>& values, const char* format = "%.2f")
{
    const Spread s = spreadOf(values);
    const QString f = QString::fromLatin1(format);
    return QString::asprintf(qPrintable(f + QStringLiteral(" (") + f + QLatin1Char('-') + f + QLatin1Char(')')),
                             s.median, s.low, s.high);
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    PlayoutStartup::prepareEnvironment();
    ProfilingApp app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool probe = !arguments.contains(QStringLiteral("--no-probe"));
    const bool render = arguments.contains(QStringLiteral("--render"));
    const bool profile = arguments.contains(QStringLiteral("--profile"));
    const qsizetype childAt = arguments.indexOf(QStringLiteral("--child"));
    const QString mode = childAt > 0 ? arguments.value(childAt + 1)
                         : render || profile ? QStringLiteral("program")
                                             : QString();
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    if (mode.isEmpty()) {
        const qsizetype roundsAt = arguments.indexOf(QStringLiteral("--rounds"));
        const int rounds = roundsAt > 0 ? std::max(1, arguments.value(roundsAt + 1).toInt()) : 5;
        const QStringList modes = {QStringLiteral("program"), QStringLiteral("bare"), QStringLiteral("bare+encoder")};
        QMap<QString, QList<RunFigures>> runs;
        QList<double> overBare, overEncoder;
        std::printf("%s\n", qPrintable(machineLoad()));
        for (int round = 0; round < rounds; ++round) {
            // The order turns each round, so that no mode always runs first.
            QMap<QString, RunFigures> got;
            for (int i = 0; i < modes.size(); ++i) {
                const QString& m = modes.at((i + round) % modes.size());
                const std::optional<RunFigures> f = runChild(m, probe);
                if (!f) {
                    std::fprintf(stderr, "a %s run failed\n", qPrintable(m));
                    return 1;
                }
                got.insert(m, *f);
                runs[m] << *f;
            }
            const double program = got[modes[0]].process + got[modes[0]].children;
            overBare << program / (got[modes[1]].process + got[modes[1]].children);
            overEncoder << program / (got[modes[2]].process + got[modes[2]].children);
        }
        std::printf("\n%s\n", qPrintable(machineLoad()));
        std::printf("median (low-high) of %d runs each; CPU in s per minute of audio; stall in ms%s\n", rounds,
                    probe ? "" : " (probe off)");
        std::printf("%-22s %20s %20s %20s %20s %20s %22s\n", "run", "CPU with children", "process", "GUI thread",
                    "children", "icecast (peer)", "worst stall");
        for (const QString& m : modes) {
            QList<double> all, process, gui, children, peer, worst;
            for (const RunFigures& f : std::as_const(runs[m])) {
                all << f.process + f.children;
                process << f.process;
                gui << f.gui;
                children << f.children;
                peer << f.peer;
                worst << f.worst;
            }
            const QString name = m == modes[0] ? QStringLiteral("program") : m == modes[1] ? QStringLiteral("bare decks")
                                                                                          : QStringLiteral("bare decks + encoder");
            std::printf("%-22s %20s %20s %20s %20s %20s %22s\n", qPrintable(name), qPrintable(spread(all)),
                        qPrintable(spread(process)), qPrintable(spread(gui)), qPrintable(spread(children)),
                        qPrintable(spread(peer)), probe ? qPrintable(spread(worst, "%.1f")) : "-");
        }
        std::printf("program / bare decks, each round: %s\n", qPrintable(spread(overBare)));
        std::printf("program / bare decks + encoder, each round: %s\n", qPrintable(spread(overEncoder)));
        return 0;
    }

    const int runMs = (kTracks - 1) * (kTrackSeconds - 3) * 1000 + 2000;
    QStringList files;
    for (int i = 0; i < kTracks; ++i) {
        const QString path = home.scratch() + QStringLiteral("/Artist %1 - Song %1.mp3").arg(i);
        if (!AudioFixtures::tone(path, 330 + 110 * i, -6, kTrackSeconds))
            return 1;
        files << path;
    }
    if (mode.startsWith(QStringLiteral("bare"))) {
        runBare(files, runMs, probe, mode.endsWith(QStringLiteral("encoder")));
        return 0;
    }
    return runProgram(app, home, files, runMs, probe, render, profile ? &app : nullptr);
}
