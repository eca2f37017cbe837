// GUI-thread CPU time of the station outputs per minute of audio, each on
// its own and all three at once; the event loop's worst stall while the
// engine crossfades into all three, also with their ffmpeg children frozen
// for 5 s; and the delay from a buffer entering pushAudio to its sound
// reaching a listener of a real Icecast server. Run inside tools/inroot
// with the test PulseAudio started (the engine plays into it).
#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "icecastserver.h"
#include "library/musiclibrary.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "testhome.h"
#include "tonesource.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <functional>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int kAudioSeconds = 30;
constexpr double kSpeed = 3.0;

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

struct Outputs
{
    BroadcastService* service = nullptr;
    BroadcastServer* server = nullptr;
    StreamArchive* archive = nullptr;
};

// Pushes kAudioSeconds of 48 kHz float stereo (the usual decoder output)
// through the chosen outputs; returns GUI-thread CPU ms and the ms spent
// inside pushAudio.
std::pair<double, double> run(const Outputs& o)
{
    ToneSource tone(48000, 2, QAudioFormat::Float, 1000.0, 0.4);
    const int frames = 48000 / 25; // 40 ms
    const int total = kAudioSeconds * 25;
    int sent = 0;
    double insideMs = 0;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(int(40 / kSpeed));
    QEventLoop loop;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const QAudioBuffer b = tone.next(frames);
        QElapsedTimer t;
        t.start();
        if (o.service)
            o.service->pushAudio(b);
        if (o.server)
            o.server->pushAudio(b);
        if (o.archive)
            o.archive->pushAudio(b);
        insideMs += t.nsecsElapsed() / 1e6;
        if (++sent >= total)
            loop.quit();
    });
    const double cpu0 = threadCpuMs();
    timer.start();
    loop.exec();
    return {threadCpuMs() - cpu0, insideMs};
}

// The ffmpeg children of this process: the outputs' encoders.
QList<pid_t> encoderPids()
{
    QList<pid_t> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& e : entries) {
        bool ok = false;
        const pid_t pid = e.toInt(&ok);
        if (!ok)
            continue;
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = f.readAll();
        const qsizetype close = stat.lastIndexOf(')');
        const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
        if (stat.contains("(ffmpeg)") && rest.size() > 1 && rest[1].toInt() == getpid())
            pids << pid;
    }
    return pids;
}

struct Stall
{
    double worstMs = 0;
    double p99Ms = 0;
    int ticks = 0;
};

// Runs the event loop for `ms` while a 10 ms timer notes how late each of
// its ticks comes; `during` runs once at the start.
Stall measureStall(int ms, const std::function<void()>& during = {})
{
    QList<double> late;
    QElapsedTimer clock;
    qint64 last = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        late << std::max(0.0, (now - last) / 1e6 - 10.0);
        last = now;
    });
    clock.start();
    tick.start();
    if (during)
        during();
    wait(ms);
    tick.stop();
    std::sort(late.begin(), late.end());
    Stall s;
    s.ticks = int(late.size());
    if (!late.isEmpty()) {
        s.worstMs = late.last();
        s.p99Ms = late.at(late.size() * 99 / 100);
    }
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    IcecastServer ice;
    if (!ice.start()) {
        std::fprintf(stderr, "icecast: %s\n", qPrintable(ice.errorText()));
        return 1;
    }
    BroadcastConfig bc;
    bc.host = QStringLiteral("127.0.0.1");
    bc.port = ice.port();
    bc.mount = QString::fromLatin1(IcecastServer::kMount);
    bc.password = QString::fromLatin1(IcecastServer::kSourcePassword);
    bc.internalMix = true;

    const quint16 port = freePort();
    QSettings().setValue(QStringLiteral("server/enabled"), true);
    QSettings().setValue(QStringLiteral("server/port"), port);

    ArchiveConfig ac;
    ac.folder = home.scratch(QStringLiteral("archive"));
    ac.internalMix = true;
    ac.splitMinutes = 0;

    BroadcastService service;
    QObject::connect(&service, &BroadcastService::logMessage,
                     [](const QString& line) { std::fprintf(stderr, "  %s\n", qPrintable(line)); });
    BroadcastServer server;
    StreamArchive archive;
    archive.setConfig(ac);
    service.setConfig(bc);
    service.start();
    server.start();
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-N"), QStringLiteral("-o"),
                                        QStringLiteral("/dev/null"), QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    for (int i = 0; i < 100 && (!service.isStreaming() || server.listenerCount() < 1); ++i)
        wait(100);
    if (!service.isStreaming() || server.listenerCount() < 1) {
        std::fprintf(stderr, "outputs did not come up\n");
        return 1;
    }
    archive.start();

    std::printf("%d s of 48 kHz float stereo in 40 ms buffers, pushed at %.0fx real time\n", kAudioSeconds, kSpeed);
    std::printf("%-32s %14s %18s\n", "output", "CPU ms/min", "in pushAudio ms/min");
    const double perMinute = 60.0 / kAudioSeconds;
    const auto [baseCpu, baseIn] = run({});
    std::printf("%-32s %14.1f %18.1f\n", "none (buffer making, timers)", baseCpu * perMinute, baseIn * perMinute);
    const struct { const char* name; Outputs o; } cases[] = {
        {"source client -> icecast", {&service, nullptr, nullptr}},
        {"built-in server, 1 listener", {nullptr, &server, nullptr}},
        {"stream archive", {nullptr, nullptr, &archive}},
        {"all three", {&service, &server, &archive}},
    };
    // The server drops a source that sends nothing for a while, as it does
    // while the other outputs are measured.
    const auto ensureStreaming = [&] {
        service.stop();
        service.start();
        for (int i = 0; i < 100 && !service.isStreaming(); ++i)
            wait(100);
    };
    for (const auto& c : cases) {
        if (c.o.service)
            ensureStreaming();
        const auto [cpu, inside] = run(c.o);
        std::printf("%-32s %14.1f %18.1f%s\n", c.name, (cpu - baseCpu) * perMinute, inside * perMinute,
                    c.o.service && !service.isStreaming() ? "  (source dropped during the run)" : "");
    }

    // Stall: the engine crossfades 12 s tones every 8 s into all three
    // outputs while a 10 ms timer runs; then the encoders are frozen.
    MusicLibrary::initDatabase();
    const QString a = home.scratch() + QStringLiteral("/a.wav");
    const QString b = home.scratch() + QStringLiteral("/b.mp3");
    if (!AudioFixtures::tone(a, 440, -6, 12) || !AudioFixtures::tone(b, 880, -6, 12)) {
        std::fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 3000);
    s.setValue(QStringLiteral("playback/mixPointMs"), 4000);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 4000);
    s.setValue(QStringLiteral("playback/fadeInMs"), 2000);
    PlaylistModel model;
    for (int i = 0; i < 20; ++i)
        model.addTrack(Track::fromFile(i % 2 ? b : a));
    AudioEngine engine;
    engine.setPlaylist(&model);
    int segues = 0;
    qint64 onAir = 0;
    QObject::connect(&engine, &AudioEngine::currentRowChanged, [&](int) { ++segues; });
    bool feed = false;
    QObject::connect(&engine, &AudioEngine::audioBufferReady, [&](const QAudioBuffer& buffer) {
        ++onAir;
        if (!feed)
            return;
        service.pushAudio(buffer);
        server.pushAudio(buffer);
        archive.pushAudio(buffer);
    });
    QStringList letGo;
    const auto noteLetGo = [&letGo](const QString& line) {
        if (line.contains(QLatin1String("stopped responding")))
            letGo << line;
    };
    QObject::connect(&service, &BroadcastService::logMessage, noteLetGo);
    QObject::connect(&server, &BroadcastServer::logMessage, noteLetGo);
    QObject::connect(&archive, &StreamArchive::logMessage, noteLetGo);
    ensureStreaming();
    engine.playRow(0);
    wait(1000);
    // The engine alone, for what the machine and the engine add.
    const Stall alone = measureStall(24000);
    ensureStreaming();
    feed = true;
    const double cpuStall0 = threadCpuMs();
    const Stall steady = measureStall(24000);
    const double cpuSteady = threadCpuMs() - cpuStall0;
    int frozen = 0;
    const Stall stopped = measureStall(12000, [&] {
        QTimer::singleShot(2000, [&] {
            const QList<pid_t> pids = encoderPids();
            frozen = int(pids.size());
            for (pid_t pid : pids)
                ::kill(pid, SIGSTOP);
            QTimer::singleShot(5000, [pids] {
                for (pid_t pid : pids)
                    ::kill(pid, SIGCONT);
            });
        });
    });
    const bool outputsUp = service.isStreaming() && archive.isRecording() && server.listenerCount() > 0;
    engine.stop();
    std::printf("engine crossfading into all three outputs, 10 ms timer: %d segues, %lld buffers on air\n", segues,
                static_cast<long long>(onAir));
    std::printf("  engine alone, 24 s: worst lateness %.1f ms, 99th percentile %.1f ms (%d ticks)\n", alone.worstMs,
                alone.p99Ms, alone.ticks);
    std::printf("  steady, 24 s: worst lateness %.1f ms, 99th percentile %.1f ms (%d ticks), GUI CPU %.0f ms/min\n",
                steady.worstMs, steady.p99Ms, steady.ticks, cpuSteady * 60000.0 / 24000.0);
    std::printf("  %d ffmpeg children stopped for 5 s, 12 s: worst lateness %.1f ms, 99th percentile %.1f ms (%d ticks)\n",
                frozen, stopped.worstMs, stopped.p99Ms, stopped.ticks);
    std::printf("  encoders let go: %lld%s; outputs still up afterwards: %s\n", static_cast<long long>(letGo.size()),
                letGo.isEmpty() ? "" : qPrintable(QStringLiteral(" (") + letGo.join(QStringLiteral("; ")) + ')'),
                outputsUp ? "yes" : "no");
    QObject::disconnect(&engine, nullptr, nullptr, nullptr);

    archive.stop();
    server.stop();
    curl.kill();
    curl.waitForFinished();
    ensureStreaming();

    // Delay: silence flows in real time; a loud burst is pushed and timed
    // until a decoding listener of the Icecast mount first hears it.
    QProcess listener;
    listener.start(QStringLiteral("ffmpeg"),
                   {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-fflags"), QStringLiteral("nobuffer"),
                    QStringLiteral("-probesize"), QStringLiteral("4096"), QStringLiteral("-analyzeduration"),
                    QStringLiteral("0"), QStringLiteral("-i"), ice.streamUrl(), QStringLiteral("-ac"),
                    QStringLiteral("1"), QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-")});
    bool loud = false;
    bool heard = false;
    QElapsedTimer since;
    QList<double> delays;
    QObject::connect(&listener, &QProcess::readyReadStandardOutput, [&] {
        const QByteArray pcm = listener.readAllStandardOutput();
        if (heard || !since.isValid())
            return;
        const auto* s = reinterpret_cast<const qint16*>(pcm.constData());
        for (qsizetype i = 0; i < pcm.size() / 2; ++i) {
            if (qAbs(s[i]) > 8000) {
                delays << since.nsecsElapsed() / 1e6;
                heard = true;
                return;
            }
        }
    });
    ToneSource silence(44100, 2, QAudioFormat::Int16, 1000.0, 0.0);
    ToneSource burst(44100, 2, QAudioFormat::Int16, 1000.0, 0.6);
    QTimer pump;
    pump.setTimerType(Qt::PreciseTimer);
    pump.setInterval(20);
    QObject::connect(&pump, &QTimer::timeout, [&] {
        const QAudioBuffer b = loud ? burst.next(882) : silence.next(882);
        if (loud && !since.isValid())
            since.start();
        service.pushAudio(b);
    });
    pump.start();
    wait(6000); // past the listener's start and the server's burst on connect
    for (int i = 0; i < 15; ++i) {
        heard = false;
        since.invalidate();
        loud = true;
        wait(300);
        loud = false;
        for (int w = 0; w < 50 && !heard; ++w)
            wait(100);
        wait(1500);
    }
    pump.stop();
    listener.kill();
    listener.waitForFinished();
    service.stop();
    std::sort(delays.begin(), delays.end());
    if (delays.isEmpty()) {
        std::printf("pushAudio -> Icecast listener: burst never heard\n");
        return 1;
    }
    std::printf("pushAudio -> Icecast listener (decoded by ffmpeg), %lld bursts: min %.0f ms, median %.0f ms, max %.0f ms\n",
                static_cast<long long>(delays.size()), delays.first(), delays.at(delays.size() / 2), delays.last());
    return 0;
}
