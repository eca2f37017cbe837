// What keeping the station on air costs in CPU, against ffmpeg alone.
//
// On air: the built program, started as the station starts it with 20
// music-like MP3s on its command line, crossfades them with every output
// running from the on-air mix (switched on through its remote API): a
// source stream to a real Icecast server on loopback, the built-in server
// with one listener and the archive. Beside it, over the
// same minutes, the reference: ffmpeg alone decoding the same MP3s in real
// time (-re) into one 128 kbit/s MP3. Both are sampled at the same moments
// from /proc: the program with every process it started (its encoders),
// ffmpeg with its own. The Icecast server and the listener are the
// station's peers, not the program: left out (the listener lives in this
// process). Per round: the program's CPU over ffmpeg's, with and without
// its encoders; the program's threads by name.
//
// Idle: the built program with the same files in its playlist and nothing
// playing, beside a bare
// QMainWindow, both sampled over the same minute after they settled. The
// aim is at most 0.1 s of CPU a minute.
//
// Rows give the median and range of the rounds (3, or --rounds N); tracks
// are 15 s (or --track-seconds S). With --profile the window is built in a
// child of this benchmark instead, through the same start-up, and tells
// where its GUI thread's time went, event by event; --idle or --on-air
// runs only that half.
//
// Run: tools/inroot bash -c '. tools/audio-env && ol_start_audio && build/bench/bench_onair'
#include "audiofixtures.h"
#include "benchchild.h"
#include "benchcpu.h"
#include "benchtiming.h"
#include "guiprofile.h"
#include "engine/audioengine.h"
#include "library/musiclibrary.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playoutstartup.h"
#include "onairstation.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "testhome.h"

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMainWindow>
#include <QProcess>
#include <QTableView>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>

namespace {

constexpr int kTracks = 20;
constexpr int kMixSeconds = 3;
constexpr int kSettleMs = 5000;
constexpr int kIdleMs = 60000;

bool isPeer(const QByteArray& name)
{
    return name.startsWith("icecast") || name == "setpriv";
}

// A chord that swells and wavers over pink noise that breathes: enough in
// every band for an encoder to work as it does on music.
bool makeMusic(const QString& path, int index, int seconds)
{
    const int f = 110 + 17 * index;
    const QString chord = QStringLiteral(
                              "aevalsrc=0.22*sin(2*PI*%1*t)*(0.7+0.3*sin(2*PI*1.7*t))+0.12*sin(2*PI*%1*1.498*t+sin(2*PI*5*t))"
                              "+0.08*sin(2*PI*%1*2.52*t)*(0.5+0.5*sin(2*PI*0.9*t))"
                              "|0.22*sin(2*PI*%1*1.002*t)*(0.7+0.3*sin(2*PI*1.3*t))+0.12*sin(2*PI*%1*1.26*t)"
                              "+0.08*sin(2*PI*%1*3.01*t):s=44100:d=%2")
                              .arg(f)
                              .arg(seconds);
    const QString noise = QStringLiteral("anoisesrc=c=pink:a=0.15:d=%1:r=44100:seed=%2").arg(seconds).arg(index + 1);
    return AudioFixtures::ffmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), chord,
                                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), noise,
                                  QStringLiteral("-filter_complex"),
                                  QStringLiteral("[1]lowpass=f=9000,volume='0.5+0.5*sin(2*PI*2*t)':eval=frame[n];"
                                                 "[0][n]amix=inputs=2:normalize=0"),
                                  QStringLiteral("-ar"), QStringLiteral("44100"), QStringLiteral("-ac"),
                                  QStringLiteral("2"), QStringLiteral("-c:a"), QStringLiteral("libmp3lame"),
                                  QStringLiteral("-b:a"), QStringLiteral("192k"), path});
}

void tell(const QByteArray& line)
{
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

qint64 filesBytes(const QString& folder)
{
    qint64 bytes = 0;
    for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        bytes += QFileInfo(it.next()).size();
    return bytes;
}

// The program on air for runMs from its first row, telling its parent the
// built-in server's port, when it plays, and what its outputs did.
int onAirChild(ProfilingApp& app, const QStringList& files, int runMs, bool profile)
{
    PlayoutStartup::configureApplication(app);
    QTemporaryDir archive;
    IcecastServer ice;
    if (!ice.start()) {
        std::fprintf(stderr, "icecast: %s\n", qPrintable(ice.errorText()));
        return 1;
    }
    const quint16 serverPort = benchFreePort();
    setEveryOutput(ice, serverPort, archive.path());
    MusicLibrary::initDatabase();
    MainWindow window;
    if (!PlayoutStartup::applyStyleSheet(app)) {
        std::fprintf(stderr, "the style sheet could not be read\n");
        return 1;
    }
    window.addPaths(files);
    window.show();
    benchMenuAction(window, QStringLiteral("Start Broadcasting"))->trigger();
    window.findChild<StreamArchive*>()->start();
    auto* table = window.findChild<QTableView*>(QStringLiteral("playlist"));
    auto* server = window.findChild<BroadcastServer*>();
    tell("server " + QByteArray::number(serverPort));
    for (int i = 0; i < 200 && (server->listenerCount() < 1 || table->model()->rowCount() < files.size()); ++i)
        benchWait(50);
    if (server->listenerCount() < 1 || table->model()->rowCount() < files.size()) {
        std::fprintf(stderr, "no listener came, or the rows did not\n");
        return 1;
    }
    auto* engine = window.findChild<AudioEngine*>();
    int rows = 0;
    QObject::connect(engine, &AudioEngine::currentRowChanged, &window, [&rows] { ++rows; });
    engine->playRow(0);
    tell("playing");
    app.profiling = profile;
    benchWait(runMs);
    if (profile)
        app.report(runMs / 60000.0, stderr);
    const auto* source = window.findChild<BroadcastService*>();
    tell(QByteArrayLiteral("outputs: %1 rows started, source stream %2, archive %3 kB")
             .replace("%1", QByteArray::number(rows))
             .replace("%2", source->isStreaming() ? "on" : "OFF")
             .replace("%3", QByteArray::number(filesBytes(archive.path()) / 1024)));
    return 0;
}

// The window at rest: started as the program starts, nothing playing.
int idleChild(ProfilingApp& app, const QStringList& files, bool profile)
{
    if (profile) {
        QTimer::singleShot(kSettleMs, &app, [&app] { app.profiling = true; });
        // Told before the parent ends it.
        constexpr int profiledMs = kIdleMs - 2000;
        QTimer::singleShot(kSettleMs + profiledMs, &app, [&app] { app.report(profiledMs / 60000.0, stderr); });
    }
    return PlayoutStartup::start(app, files);
}

int bareChild(QApplication& app)
{
    QMainWindow window;
    window.resize(1180, 720);
    window.show();
    return app.exec();
}

QStringList profileArgument()
{
    return QCoreApplication::arguments().contains(QStringLiteral("--profile")) ? QStringList{QStringLiteral("--profile")}
                                                                               : QStringList{};
}

struct Child
{
    QProcess process;
    QList<QByteArray> lines;

    void start(const QStringList& args, const QString& program = QCoreApplication::applicationFilePath())
    {
        // A profile comes on standard error, with the program's log.
        if (args.contains(QStringLiteral("--profile")))
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        else
            process.setStandardErrorFile(QProcess::nullDevice());
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            while (process.canReadLine())
                lines << process.readLine().trimmed();
        });
        process.start(program, args);
    }
    // Waits for a line that starts with the word; empty when none came.
    QByteArray await(const QByteArray& word, int timeoutMs)
    {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            for (const QByteArray& line : std::as_const(lines))
                if (line.startsWith(word))
                    return line;
            if (process.state() == QProcess::NotRunning)
                break;
            benchWait(20);
        }
        return {};
    }
    void end()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(10000))
                process.kill();
        }
        process.waitForFinished(5000);
    }
};

// The built playout program beside this benchmark.
QString programPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../apps/orchidlantern/orchidlantern");
}

QString programConf(const QString& home)
{
    return home + QStringLiteral("/.config/Orchidlantern/Orchidlantern.conf");
}

QProcessEnvironment programEnvironment(const QString& home)
{
    QProcessEnvironment env = benchHomeEnvironment(home);
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

constexpr const char* kApiPassword = "pw";

// One request to the program's remote API; empty when not answered.
QByteArray apiRequest(quint16 port, const QByteArray& query)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET /?pass=" + QByteArray(kApiPassword) + '&' + query + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(5000))
        reply += socket.readAll();
    return reply + socket.readAll();
}

QByteArray xmlField(const QByteArray& xml, const QByteArray& name)
{
    const qsizetype at = xml.indexOf('<' + name + '>');
    if (at < 0)
        return {};
    const qsizetype from = at + name.size() + 2;
    return xml.mid(from, xml.indexOf("</" + name + '>', from) - from);
}

// The built program with every output on and its first row playing; the
// built-in server's port in serverPort.
bool startOnAirProgram(Child& program, const IcecastServer& ice, const QString& home, const QStringList& files,
                       quint16& apiPort, quint16& serverPort)
{
    serverPort = benchFreePort();
    apiPort = benchFreePort();
    {
        QSettings conf(programConf(home), QSettings::IniFormat);
        setEveryOutput(conf, ice, serverPort, home + QStringLiteral("/archive"));
        conf.setValue(QStringLiteral("api/enabled"), true);
        conf.setValue(QStringLiteral("api/port"), apiPort);
        conf.setValue(QStringLiteral("api/password"), QString::fromLatin1(kApiPassword));
        conf.sync();
    }
    program.process.setProcessEnvironment(programEnvironment(home));
    program.start(files, programPath());
    const auto rows = [apiPort] { return xmlField(apiRequest(apiPort, "action=playbackinfo"), "PlaylistCount").toInt(); };
    for (int i = 0; i < 600 && rows() < files.size() && program.process.state() != QProcess::NotRunning; ++i)
        benchWait(100);
    if (rows() < files.size())
        return false;
    for (const QByteArray& command : {QByteArray("connect"), QByteArray("streamarchive%20on"), QByteArray("play%201")})
        if (!apiRequest(apiPort, "cmd=" + command).endsWith("OK")) {
            std::fprintf(stderr, "the program refused %s\n", command.constData());
            return false;
        }
    for (int i = 0; i < 300; ++i) {
        if (xmlField(apiRequest(apiPort, "action=playbackinfo"), "State") == "playing")
            return true;
        benchWait(100);
    }
    return false;
}

struct Sample
{
    BenchCpu::Tree program;
    BenchCpu::Tree threads;
    BenchCpu::Tree reference;

    static Sample take(qint64 programPid, qint64 referencePid)
    {
        return {BenchCpu::treeOf(programPid, isPeer), BenchCpu::threadsOf(programPid), BenchCpu::treeOf(referencePid)};
    }
};

struct OnAirRound
{
    double withEncoders = 0; // program and its children, CPU s a minute
    double process = 0;      // the program's process alone
    double reference = 0;    // ffmpeg alone
    QMap<QByteArray, double> threads;
    QMap<QByteArray, double> children;
};

bool onAirRound(const QString& list, const QStringList& files, int runMs, OnAirRound& out)
{
    Child program;
    QTemporaryDir home;
    const bool profile = !profileArgument().isEmpty();
    // Started here, it is a peer of the program, not one of its children.
    IcecastServer ice;
    quint16 apiPort = 0, serverPort = 0;
    if (profile) {
        program.process.setProcessEnvironment(benchHomeEnvironment(home.path()));
        program.start(profileArgument() + QStringList{QStringLiteral("--child"), QStringLiteral("program"), QString::number(runMs)}
                      + files);
        serverPort = quint16(program.await("server ", 60000).mid(7).toUInt());
    } else if (!ice.start()) {
        std::fprintf(stderr, "icecast: %s\n", qPrintable(ice.errorText()));
        return false;
    }
    QTcpSocket listener;
    qint64 heard = 0;
    QObject::connect(&listener, &QTcpSocket::readyRead, &listener, [&] { heard += listener.readAll().size(); });
    const auto listen = [&] {
        listener.connectToHost(QHostAddress::LocalHost, serverPort);
        if (!listener.waitForConnected(5000))
            return false;
        listener.write("GET / HTTP/1.0\r\n\r\n");
        return true;
    };
    // The listener comes before the first row plays.
    const bool started = profile ? serverPort != 0 && listen() && !program.await("playing", 30000).isEmpty()
                                 : startOnAirProgram(program, ice, home.path(), files, apiPort, serverPort) && listen();
    if (!started) {
        std::fprintf(stderr, "the program did not start on air\n");
        program.end();
        return false;
    }
    QProcess reference;
    reference.setStandardOutputFile(QProcess::nullDevice());
    reference.setStandardErrorFile(QProcess::nullDevice());
    reference.start(QStringLiteral("ffmpeg"),
                    {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-re"), QStringLiteral("-f"),
                     QStringLiteral("concat"), QStringLiteral("-safe"), QStringLiteral("0"), QStringLiteral("-i"), list,
                     QStringLiteral("-c:a"), QStringLiteral("libmp3lame"), QStringLiteral("-b:a"),
                     QStringLiteral("128k"), QStringLiteral("-f"), QStringLiteral("mp3"), QStringLiteral("-y"),
                     QStringLiteral("/dev/null")});
    if (!reference.waitForStarted(10000))
        return false;
    benchWait(kSettleMs);
    const qint64 pid = program.process.processId();
    const Sample before = Sample::take(pid, reference.processId());
    QElapsedTimer window;
    window.start();
    const qint64 heardBefore = heard;
    // The decoders' threads come and go with the tracks: seen every second,
    // each is counted under its name from its first sight to its last.
    QHash<qint64, QPair<BenchCpu::Stat, BenchCpu::Stat>> seen;
    for (auto it = before.threads.cbegin(); it != before.threads.cend(); ++it)
        seen.insert(it.key(), {*it, *it});
    while (window.elapsed() < runMs - 2 * kSettleMs) {
        benchWait(1000);
        const BenchCpu::Tree now = BenchCpu::threadsOf(pid);
        for (auto it = now.cbegin(); it != now.cend(); ++it) {
            auto& [first, last] = seen[it.key()];
            if (!first.valid)
                first = BenchCpu::Stat{it->name, 0, 0, 0, true};
            last = *it;
        }
    }
    const Sample after = Sample::take(pid, reference.processId());
    const double minutes = window.elapsed() / 60000.0;
    const double listenerRate = (heard - heardBefore) / (window.elapsed() / 1000.0);
    bool ended = false;
    if (profile) {
        ended = !program.await("outputs:", runMs).isEmpty();
    } else {
        benchWait(kSettleMs);
        const QByteArray info = apiRequest(apiPort, "action=playbackinfo");
        const QByteArray line = QByteArrayLiteral("outputs: on row %1 of %2, source stream %3, archive %4 kB")
                                    .replace("%1", QByteArray::number(xmlField(info, "CurrentIndex").toInt() + 1))
                                    .replace("%2", QByteArray::number(files.size()))
                                    .replace("%3", ice.mountStatus().isEmpty() ? "OFF" : "on")
                                    .replace("%4", QByteArray::number(filesBytes(home.path() + QStringLiteral("/archive")) / 1024));
        program.lines << line;
        ended = !info.isEmpty();
    }
    reference.kill();
    reference.waitForFinished(5000);
    program.end();
    for (const QByteArray& line : std::as_const(program.lines))
        if (line.startsWith("outputs:"))
            std::printf("    %s, listener %.0f bytes/s\n", line.constData(), listenerRate);
    if (!ended || after.reference.isEmpty())
        return false;

    QMap<QByteArray, double> byName;
    out.withEncoders = BenchCpu::spent(before.program, after.program, &byName) / minutes;
    out.process = (after.program.value(pid).own - before.program.value(pid).own) / minutes;
    out.reference = BenchCpu::spent(before.reference, after.reference) / minutes;
    for (auto it = byName.cbegin(); it != byName.cend(); ++it)
        if (it.key() != after.program.value(pid).name)
            out.children[it.key()] = it.value() / minutes;
    for (auto it = after.threads.cbegin(); it != after.threads.cend(); ++it)
        seen[it.key()].second = *it;
    double counted = 0;
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        const double spent = (it->second.own - it->first.own) / minutes;
        out.threads[it.key() == pid ? QByteArray("GUI thread") : it->second.name] += spent;
        counted += spent;
    }
    out.threads["(threads unseen)"] = out.process - counted;
    return true;
}

struct IdleRound
{
    double program = 0;
    double gui = 0;
    double bare = 0;
    QMap<QByteArray, double> threads;
};

bool idleRound(const QStringList& files, IdleRound& out)
{
    Child program, bare;
    QTemporaryDir programHome, bareHome;
    bare.process.setProcessEnvironment(benchHomeEnvironment(bareHome.path()));
    if (profileArgument().isEmpty()) {
        program.process.setProcessEnvironment(programEnvironment(programHome.path()));
        program.start(files, programPath());
    } else {
        program.process.setProcessEnvironment(benchHomeEnvironment(programHome.path()));
        program.start(profileArgument() + QStringList{QStringLiteral("--child"), QStringLiteral("idle")} + files);
    }
    bare.start({QStringLiteral("--child"), QStringLiteral("bare")});
    benchWait(kSettleMs);
    const qint64 pid = program.process.processId();
    const Sample before = Sample::take(pid, bare.process.processId());
    QElapsedTimer window;
    window.start();
    benchWait(kIdleMs);
    const Sample after = Sample::take(pid, bare.process.processId());
    const double minutes = window.elapsed() / 60000.0;
    const bool running = program.process.state() == QProcess::Running && bare.process.state() == QProcess::Running;
    program.end();
    bare.end();
    if (!running)
        return false;
    out.program = BenchCpu::spent(before.program, after.program) / minutes;
    out.bare = BenchCpu::spent(before.reference, after.reference) / minutes;
    const QMap<QByteArray, double> threads = BenchCpu::threadsSpent(pid, before.threads, after.threads, "GUI thread");
    for (auto it = threads.cbegin(); it != threads.cend(); ++it)
        out.threads[it.key()] = it.value() / minutes;
    out.gui = out.threads.value("GUI thread");
    return true;
}

QString spread(const QList<double>& values, const char* format = "%.2f")
{
    const Spread s = spreadOf(values);
    const QString f = QString::fromLatin1(format);
    return QString::asprintf(qPrintable(f + QStringLiteral(" (") + f + QLatin1Char('-') + f + QLatin1Char(')')),
                             s.median, s.low, s.high);
}

// Median and range of each name's figure over the rounds, largest first.
void byNameRows(const char* title, const QList<QMap<QByteArray, double>>& rounds, double floor)
{
    QMap<QByteArray, QList<double>> names;
    for (const auto& round : rounds)
        for (auto it = round.cbegin(); it != round.cend(); ++it)
            names[it.key()] << it.value();
    QList<QPair<double, QByteArray>> order;
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        if (spreadOf(it.value()).median >= floor)
            order << qMakePair(spreadOf(it.value()).median, it.key());
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::printf("%s\n", title);
    for (const auto& [median, name] : order)
        std::printf("  %-24s %s\n", name.constData(), qPrintable(spread(names.value(name), "%.3f")));
}

} // namespace

int main(int argc, char** argv)
{
    PlayoutStartup::prepareEnvironment();
    bool isChild = false;
    for (int i = 1; i < argc; ++i)
        isChild = isChild || qstrcmp(argv[i], "--child") == 0;
    // The scratch home comes before the application, which reads it.
    std::optional<TestHome> home;
    if (!isChild)
        home.emplace();
    ProfilingApp app(argc, argv);
    const QStringList args = app.arguments();
    const bool profile = args.contains(QStringLiteral("--profile"));
    const qsizetype childAt = args.indexOf(QStringLiteral("--child"));
    if (isChild) {
        const QString mode = args.value(childAt + 1);
        if (mode == QLatin1String("program"))
            return onAirChild(app, args.mid(childAt + 3), args.value(childAt + 2).toInt(), profile);
        if (mode == QLatin1String("idle"))
            return idleChild(app, args.mid(childAt + 2), profile);
        return bareChild(app);
    }
    const auto option = [&args](const char* name, int fallback) {
        const qsizetype at = args.indexOf(QLatin1String(name));
        return at > 0 ? std::max(1, args.value(at + 1).toInt()) : fallback;
    };
    const int rounds = option("--rounds", 3);
    const int trackSeconds = std::max(option("--track-seconds", 15), kMixSeconds + 4);

    QStringList files;
    QByteArray concat;
    for (int i = 0; i < kTracks; ++i) {
        const QString path = home->scratch(QStringLiteral("music")) + QStringLiteral("/Artist %1 - Song %1.mp3").arg(i);
        if (!makeMusic(path, i, trackSeconds))
            return 1;
        files << path;
        concat += "file '" + path.toUtf8() + "'\n";
    }
    const QString list = home->scratch() + QStringLiteral("/concat.txt");
    {
        QFile f(list);
        if (!f.open(QIODevice::WriteOnly) || f.write(concat) != concat.size())
            return 1;
    }
    const int runMs = (kTracks * (trackSeconds - kMixSeconds) + kMixSeconds) * 1000;

    std::printf("%s\n", qPrintable(machineLoad()));
    QList<double> withEncoders, process, reference, overWith, overProcess;
    QList<double> idle, idleGui, bareIdle, idleOverBare;
    QList<QMap<QByteArray, double>> threads, children, idleThreads;
    const bool onAir = !args.contains(QStringLiteral("--idle"));
    const bool atRest = !args.contains(QStringLiteral("--on-air"));
    for (int round = 0; round < rounds; ++round) {
        OnAirRound air;
        if (onAir && !onAirRound(list, files, runMs, air)) {
            std::fprintf(stderr, "an on-air round failed\n");
            return 1;
        }
        withEncoders << air.withEncoders;
        process << air.process;
        reference << air.reference;
        overWith << air.withEncoders / air.reference;
        overProcess << air.process / air.reference;
        threads << air.threads;
        children << air.children;
        IdleRound rest;
        if (atRest && !idleRound(files, rest)) {
            std::fprintf(stderr, "an idle round failed\n");
            return 1;
        }
        idle << rest.program;
        idleGui << rest.gui;
        bareIdle << rest.bare;
        idleOverBare << rest.program / std::max(rest.bare, 0.001);
        idleThreads << rest.threads;
        std::printf("  round %d: on air %.2f / ffmpeg %.2f = %.2fx (process alone %.2fx); idle %.3f s a minute\n",
                    round + 1, air.withEncoders, air.reference, overWith.last(), overProcess.last(), rest.program);
    }
    std::printf("%s\n", qPrintable(machineLoad()));
    std::printf("median (range) of %d rounds, CPU seconds a minute\n", rounds);
    std::printf("%-44s %s\n", "on air, program with its encoders", qPrintable(spread(withEncoders)));
    std::printf("%-44s %s\n", "on air, the program's process alone", qPrintable(spread(process)));
    std::printf("%-44s %s\n", "ffmpeg -re alone, same minutes (reference)", qPrintable(spread(reference)));
    std::printf("%-44s %s   (aim <= 1.5)\n", "  program with encoders / ffmpeg", qPrintable(spread(overWith)));
    std::printf("%-44s %s\n", "  program's process alone / ffmpeg", qPrintable(spread(overProcess)));
    byNameRows("on air, the program's threads:", threads, 0.01);
    byNameRows("on air, the program's children:", children, 0.01);
    std::printf("%-44s %s   (aim <= 0.1)\n", "idle window, nothing playing", qPrintable(spread(idle, "%.3f")));
    std::printf("%-44s %s\n", "  of it the GUI thread", qPrintable(spread(idleGui, "%.3f")));
    std::printf("%-44s %s\n", "bare QMainWindow, same minute (reference)", qPrintable(spread(bareIdle, "%.3f")));
    std::printf("%-44s %s\n", "  idle window / bare window", qPrintable(spread(idleOverBare, "%.1f")));
    byNameRows("idle, the program's threads:", idleThreads, 0.001);
    return 0;
}
