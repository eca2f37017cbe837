// ctest: serial
// ctest: timeout 900
// The playout program as a user starts it, on a library of a few thousand
// tracks: a file named on the command line is heard on the sink, and the
// File menu's Exit ends it with status 0 and nothing complained of.
#include "engine/mediabackend.h"
#include "automation/scheduledevent.h"
#include "library/librarylock.h"
#include "library/musiclibrary.h"
#include "mainwindow/playliststore.h"
#include "mainwindow/playoutstartup.h"
#include "audiofixtures.h"
#include "olmain.h"
#include "sinkrecorder.h"
#include "windowfixture.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMenuBar>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QUrl>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr double kToneHz = 660;

// Records a few seconds and tells whether the tone was in it: 100 ms of it
// at half its level or more.
bool heard(SinkRecorder& rec)
{
    QTest::qWait(4000);
    const QList<float> samples = rec.stop();
    const QList<double> env = SinkRecorder::toneEnvelope(samples, kToneHz, 20, 5);
    int run = 0;
    for (double v : env) {
        run = v > 0.25 ? run + 1 : 0;
        if (run >= 20)
            return true;
    }
    return false;
}

QStringList complaints(const QByteArray& output)
{
    static const QRegularExpression bad(QStringLiteral("warning|critical|fatal|QObject::|segmentation|abort"),
                                        QRegularExpression::CaseInsensitiveOption);
    QStringList out;
    for (const QString& line : QString::fromUtf8(output).split(QLatin1Char('\n')))
        if (bad.match(line).hasMatch())
            out << line;
    return out;
}

// One request to the program's API on loopback; empty when it is not
// answered within five seconds.
QByteArray request(quint16 port, const QByteArray& target)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(5000))
        reply += socket.readAll();
    return reply + socket.readAll();
}

// The position in ms of the first row while it plays; -1 while another row
// or none plays.
qint64 firstRowPosition(quint16 port)
{
    const QByteArray info = request(port, "/?pass=pw&action=playbackinfo");
    const qsizetype at = info.indexOf("<Position>") + 10;
    return info.contains("<State>playing</State>") && info.contains("<CurrentIndex>0</CurrentIndex>")
               ? info.mid(at, info.indexOf("</Position>") - at).toLongLong()
               : qint64(-1);
}

// The real program's surroundings in a home of its own: offscreen, its
// remote API on a free port with password "pw", resume on start on.
QProcessEnvironment stationHome(const QString& home, quint16 port)
{
    QSettings conf(home + QStringLiteral("/.config/Orchidlantern/Orchidlantern.conf"), QSettings::IniFormat);
    for (const auto& [key, value] : {std::pair<QString, QVariant>{"api/enabled", true}, {"api/port", port},
                                     {"api/password", "pw"}, {"playback/resumeOnStart", true}})
        conf.setValue(key, value);
    conf.sync();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

QString programPath()
{
    return qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR") + QStringLiteral("/apps/orchidlantern/orchidlantern");
}

// The most memory the process has held, in MB.
qint64 peakMemoryMb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = status.readAll();
    const qsizetype at = text.indexOf("VmHWM:");
    return at < 0 ? -1 : text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLongLong() / 1024;
}

QString run(const QString& program, const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(15000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// A sound server of the test's own, with a null sink "ol_air": killed and
// started again at the same socket, as a crash or an update restarts the
// desk's.
class OwnSoundServer
{
public:
    explicit OwnSoundServer(const QString& folder) : m_folder(folder) {}
    ~OwnSoundServer() { kill(); }

    QString address() const { return QStringLiteral("unix:") + m_folder + QStringLiteral("/native"); }

    bool start()
    {
        QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("PULSE_SERVER"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_folder);
        env.insert(QStringLiteral("HOME"), m_folder);
        m_process.setProcessEnvironment(env);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(m_folder + QStringLiteral("/pulse.log"), QIODevice::Append);
        m_process.start(QStringLiteral("pulseaudio"),
                        {QStringLiteral("-n"), QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
                         QStringLiteral("--use-pid-file=no"), QStringLiteral("-L"),
                         QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=%1/native").arg(m_folder),
                         QStringLiteral("-L"), QStringLiteral("module-null-sink sink_name=ol_air rate=48000"),
                         QStringLiteral("-L"), QStringLiteral("module-always-sink")});
        if (!m_process.waitForStarted(10000))
            return false;
        for (int i = 0; i < 100; ++i) {
            if (pactl({QStringLiteral("info")}).exitCode == 0)
                return true;
            QTest::qWait(100);
        }
        return false;
    }

    // As a crash ends it: no goodbye to its clients.
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(10000);
    }

    // The streams the server plays, one a line.
    QString sinkInputs() { return pactl({QStringLiteral("list"), QStringLiteral("sink-inputs"), QStringLiteral("short")}).out; }

private:
    struct Result
    {
        int exitCode = -1;
        QString out;
    };
    Result pactl(QStringList args)
    {
        QProcess p;
        p.start(QStringLiteral("pactl"), QStringList{QStringLiteral("-s"), address()} + args);
        if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit)
            return {};
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()).trimmed()};
    }

    QString m_folder;
    QProcess m_process;
};

// The real program in a home of its own, driven through its remote API; its
// log is read from its standard error. Killed when it goes, if still there.
struct Station
{
    QProcess program;
    quint16 port = WindowFixture::freePort();
    QString log;

    ~Station()
    {
        program.kill();
        program.waitForFinished();
    }
    bool start(const QProcessEnvironment& env, const QStringList& rows = {})
    {
        program.setProcessEnvironment(env);
        program.start(programPath(), rows);
        return program.waitForStarted(10000);
    }
    bool command(const QString& line)
    {
        return request(port, "/?pass=pw&cmd=" + QUrl::toPercentEncoding(line)).endsWith("OK");
    }
    QByteArray info() { return request(port, "/?pass=pw&action=playbackinfo"); }
    bool onRow(int row)
    {
        const QByteArray now = info();
        return now.contains("<State>playing</State>")
               && now.contains("<CurrentIndex>" + QByteArray::number(row) + "</CurrentIndex>");
    }
    bool logged(const QString& line)
    {
        log += QString::fromUtf8(program.readAllStandardError());
        return log.contains(line);
    }
    QString lastLog()
    {
        logged({});
        return log.right(4000);
    }
    // SIGTERM: it ends normally, within the wait.
    bool endsOnSignal(int waitMs)
    {
        return program.state() == QProcess::Running && ::kill(pid_t(program.processId()), SIGTERM) == 0
               && program.waitForFinished(waitMs) && program.exitStatus() == QProcess::NormalExit
               && program.exitCode() == 0;
    }
    int openDescriptors() const
    {
        return int(QDir(QStringLiteral("/proc/%1/fd").arg(program.processId()))
                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
    }
    int threads() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(program.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = status.readAll();
        const qsizetype at = text.indexOf("Threads:");
        return at < 0 ? -1 : text.mid(at + 8, text.indexOf('\n', at) - at - 8).trimmed().toInt();
    }
};

QString configOf(const QString& home)
{
    return home + QStringLiteral("/.config/Orchidlantern/Orchidlantern");
}

// The rows the program finds stored at its start, as it stored them.
bool storeRows(const QString& home, const QStringList& files)
{
    PlaylistStore::Playlist list;
    list.name = QStringLiteral("Playlist 1");
    for (const QString& file : files)
        list.rows << Track::fromFile(file);
    PlaylistStore::Session session;
    session.playlists << list;
    PlaylistStore store;
    QString message;
    return store.save(session, message) && QDir().mkpath(configOf(home))
           && QFile::copy(PlaylistStore::path(), configOf(home) + QStringLiteral("/playlists.json"));
}

// Events due in the minute the program starts in (it runs those at once).
bool storeEvents(const QString& home, const QList<std::pair<QString, QString>>& nameAndAction)
{
    // Far enough from the minute's end to start in it.
    while (QTime::currentTime().second() > 40)
        QTest::qWait(1000);
    QJsonArray events;
    for (const auto& [name, action] : nameAndAction) {
        ScheduledEvent e;
        e.name = name;
        e.action = action;
        e.time = QTime::currentTime();
        e.days = {1, 2, 3, 4, 5, 6, 7};
        events << e.toJson();
    }
    QFile file(configOf(home) + QStringLiteral("/events.json"));
    return QDir().mkpath(configOf(home)) && file.open(QIODevice::WriteOnly)
           && file.write(QJsonDocument(events).toJson()) > 0;
}

bool writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
           && file.write(text) == text.size();
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(MusicLibrary::initDatabase());
        MusicLibrary::createLibrary(QStringLiteral("Station"));
        MusicLibrary lib;
        QVERIFY(lib.load(QStringLiteral("Station")));
        MusicLibrary::database().transaction();
        for (int i = 0; i < 3000; ++i) {
            Track t;
            t.artist = QStringLiteral("Artist %1").arg(i % 300);
            t.title = QStringLiteral("Title %1").arg(i);
            t.filePath = QStringLiteral("/music/%1.mp3").arg(i);
            t.durationMs = 180000;
            lib.addTrack(t);
        }
        MusicLibrary::database().commit();
        QCOMPARE(lib.count(), 3000);
        m_tone = WindowFixture::toneFile(QStringLiteral("Zeta - Six.mp3"), 30, kToneHz);
        QVERIFY(!m_tone.isEmpty());
    }

    void init()
    {
        QFile::remove(PlaylistStore::path());
        QSettings s;
        s.clear();
        s.setValue(QStringLiteral("playback/resumeOnStart"), true);
    }

    void underXvfbThroughToolsRun()
    {
        const QString top = qEnvironmentVariable("ORCHIDLANTERN_SOURCE_DIR");
        if (QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xvfb-run and xdotool are needed");
        const QString displayFile = testHome().scratch() + QStringLiteral("/display");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("OL_BUILD_DIR"), qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR"));
        env.insert(QStringLiteral("OL_JOBS"), QStringLiteral("1"));

        SinkRecorder rec;
        QVERIFY(rec.start());
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QStringLiteral("xvfb-run"),
                      {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 1600x1000x24"),
                       QStringLiteral("sh"), QStringLiteral("-c"),
                       QStringLiteral("printf '%s\\n%s\\n' \"$DISPLAY\" \"$XAUTHORITY\" > \"$0\"; exec \"$1\" \"$2\""),
                       displayFile, top + QStringLiteral("/tools/run"), m_tone});
        QVERIFY(program.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(displayFile).size() > 0, 60000);
        QFile f(displayFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList display = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        QProcessEnvironment x = QProcessEnvironment::systemEnvironment();
        x.insert(QStringLiteral("DISPLAY"), display.value(0));
        x.insert(QStringLiteral("XAUTHORITY"), display.value(1));
        auto xdo = [&x](const QString& args) { return run(QStringLiteral("xdotool"), QProcess::splitCommand(args), x); };

        QString id;
        QTRY_VERIFY_WITH_TIMEOUT(!(id = xdo(QStringLiteral("search --name \"^Orchidlantern \\(1\\.0\\.0\\)$\""))
                                       .section(QLatin1Char('\n'), 0, 0)).isEmpty(), 120000);
        QVERIFY(xdo(QStringLiteral("getwindowgeometry ") + id).contains(QStringLiteral("Geometry: 1180x720")));
        QVERIFY2(heard(rec), "the file from the command line was not heard");
        xdo(QStringLiteral("windowfocus --sync ") + id);
        xdo(QStringLiteral("key --delay 300 alt+f Up Return"));
        QVERIFY2(program.waitForFinished(30000), "Exit did not end the program");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        const QStringList bad = complaints(program.readAllStandardError());
        QVERIFY2(bad.isEmpty(), qPrintable(bad.join(QLatin1Char('\n'))));
    }

    // Stopped by the system (a shutdown, a service manager, a terminal), the
    // program closes as the operator would: it ends normally, and the
    // playlist, the cart walls and the layout are kept.
    void quitsOnSignalsKeepingItsWork_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void quitsOnSignalsKeepingItsWork()
    {
        QFETCH(int, signal);
        const QString program = programPath();
        const QString home = testHome().scratch(QStringLiteral("signal-%1").arg(signal));
        const QString config = home + QStringLiteral("/.config/Orchidlantern");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, {m_tone});
        QVERIFY(p.waitForStarted(10000));

        // The row from the command line is stored once it is in.
        const auto stored = [&config] {
            QFile f(config + QStringLiteral("/Orchidlantern/playlists.json"));
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(stored().contains(QFileInfo(m_tone).fileName()), 120000);
        QVERIFY(::kill(pid_t(p.processId()), signal) == 0);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        const QSettings settings(config + QStringLiteral("/Orchidlantern.conf"), QSettings::IniFormat);
        QVERIFY(settings.contains(QStringLiteral("geometry")));
        QVERIFY(settings.value(QStringLiteral("cartwalls")).toByteArray().startsWith("[{\"carts\""));
        QVERIFY(stored().contains(QFileInfo(m_tone).fileName()));
    }

    // A second start for the same user is refused while the first runs; the
    // library manager beside it is not. Standard error a pipe that nobody
    // reads, or one whose reader has gone: the program plays on from track
    // to track (the MP3 decoder has its say at each), answers, and says how
    // many log lines it could not write.
    void aSecondCopyAndAStalledStandardError()
    {
        const QString bin = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR");
        const quint16 port = WindowFixture::freePort();
        const QProcessEnvironment env = stationHome(testHome().scratch(QStringLiteral("stderr")), port);
        // Standard error the write end of a new pipe; short rows, then one
        // that outlasts the test.
        QStringList rows(60, WindowFixture::toneFile(QStringLiteral("Zeta - Short.mp3"), 3, kToneHz));
        rows << WindowFixture::toneFile(QStringLiteral("Zeta - Long.mp3"), 900, kToneHz);
        QVERIFY(!rows.contains(QString()));
        QProcess program;
        const auto start = [&] {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0)
                return -1;
            program.setProcessEnvironment(env);
            program.setStandardOutputFile(QProcess::nullDevice());
            program.setStandardErrorFile(QProcess::nullDevice());
            program.setChildProcessModifier([fd = ends[1]] { ::dup2(fd, STDERR_FILENO); });
            program.start(bin + QStringLiteral("/apps/orchidlantern/orchidlantern"), rows);
            ::close(ends[1]);
            return program.waitForStarted(10000) ? ends[0] : -1;
        };
        // The playing row's index and position, "-" when nothing plays.
        const auto playing = [port](const QByteArray& element) {
            const QByteArray info = request(port, "/?pass=pw&action=playbackinfo");
            const qsizetype at = info.indexOf("<" + element + ">") + element.size() + 2;
            return info.contains("<State>playing</State>") ? info.mid(at, info.indexOf("</" + element + ">") - at)
                                                           : QByteArray("-");
        };
        const auto playsOn = [&playing] {
            const QByteArray first = playing("Position");
            QTest::qWait(1000);
            return first != "-" && playing("Position") != first;
        };
        // So many rows come in after the start (after those kept from the
        // last run), and are then played.
        const auto playFromTheTop = [&] {
            const auto count = [port] {
                const QByteArray info = request(port, "/?pass=pw&action=playbackinfo");
                const qsizetype at = info.indexOf("<PlaylistCount>") + 15;
                return info.mid(at, info.indexOf("</PlaylistCount>") - at).toInt();
            };
            QTRY_VERIFY_WITH_TIMEOUT(count() >= rows.size(), 120000);
            QVERIFY(request(port, "/?pass=pw&cmd=play").endsWith("OK"));
        };
        // A program already gone has no id, and kill(0) would reach this test.
        const auto endsNormally = [&] {
            return program.state() == QProcess::Running && ::kill(pid_t(program.processId()), SIGTERM) == 0
                   && program.waitForFinished(30000)
                   && program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0;
        };
        const int stderrPipe = start();
        const auto end = qScopeGuard([&] {
            program.kill();
            program.waitForFinished();
            ::close(stderrPipe);
        });
        playFromTheTop();
        QTRY_VERIFY_WITH_TIMEOUT(playsOn(), 120000);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(bin + QStringLiteral("/apps/orchidlantern/orchidlantern"), {m_tone});
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitCode(), PlayoutStartup::kAlreadyRunning);
        QVERIFY(second.readAllStandardError().contains(
            QStringLiteral("Orchidlantern is already running for this user (process %1)").arg(program.processId()).toUtf8()));
        QProcess manager;
        manager.setProcessEnvironment(env);
        manager.start(bin + QStringLiteral("/apps/orchidlantern-library/orchidlantern-library"));
        QTest::qWait(3000);
        QCOMPARE(manager.state(), QProcess::Running);
        manager.kill();
        manager.waitForFinished();

        // About 2 MB of log while nothing reads the pipe.
        const QByteArray title(4000, 'x');
        for (int i = 0; i < 250; ++i)
            QVERIFY2(request(port, "/?pass=pw&cmd=setcasttitle%20" + title + QByteArray::number(i)).endsWith("OK"),
                     qPrintable(QString::number(i)));
        QTRY_VERIFY_WITH_TIMEOUT(playsOn(), 20000);
        const int row = playing("CurrentIndex").toInt();
        QVERIFY2(row < 56, "the short rows were over before the log was full");
        QTRY_VERIFY_WITH_TIMEOUT(playing("CurrentIndex").toInt() >= row + 3, 60000);
        // Read again, the log tells how many lines it dropped; the decoder's
        // words come as the log's lines, never as its own writes.
        QVERIFY(::fcntl(stderrPipe, F_SETFL, O_NONBLOCK) == 0);
        const QRegularExpression dropped(
            QStringLiteral("  Log: [1-9][0-9]* lines were dropped here while standard error was not being read\n"));
        QByteArray read;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     char chunk[65536];
                                     for (ssize_t n; (n = ::read(stderrPipe, chunk, sizeof chunk)) > 0;)
                                         read.append(chunk, n);
                                     request(port, "/?pass=pw&cmd=setcasttitle%20read");
                                     return dropped.match(QString::fromUtf8(read)).hasMatch()
                                            && read.contains("\norchidlantern.ffmpeg: [mp3");
                                 }()),
                                 30000);
        QVERIFY(!read.contains("\n[mp3"));
        QVERIFY(endsNormally());

        // Started with the reader gone, before any socket exists.
        ::close(start());
        playFromTheTop();
        QTRY_VERIFY_WITH_TIMEOUT(playsOn() || program.state() != QProcess::Running, 120000);
        QVERIFY(endsNormally());
    }

    // More files on the command line than are described at once, resume
    // on: the rows made on a worker are waited for, and the first plays.
    void manyFilesOnTheCommandLinePlay()
    {
        const QString home = testHome().scratch(QStringLiteral("many"));
        const quint16 port = WindowFixture::freePort();
        QStringList files;
        for (int i = 0; i < 30; ++i) {
            files << home + QStringLiteral("/%1 - Six.mp3").arg(i, 2, 10, QLatin1Char('0'));
            QVERIFY(QFile::link(m_tone, files.last()));
        }
        QProcess program;
        program.setProcessEnvironment(stationHome(home, port));
        program.start(programPath(), files);
        QVERIFY(program.waitForStarted(10000));
        const auto end = qScopeGuard([&program] {
            program.kill();
            program.waitForFinished();
        });
        QByteArray info;
        QTRY_VERIFY_WITH_TIMEOUT((info = request(port, "/?pass=pw&action=playbackinfo")).contains("<State>playing</State>"),
                                 90000);
        QVERIFY2(info.contains("<PlaylistCount>30</PlaylistCount>") && info.contains("<CurrentIndex>0</CurrentIndex>"),
                 info.constData());
    }

    // Held for 20 s (stopped and continued, as a paused machine is) while
    // an MP3 plays on a sink of the test's own, crossfading 30 s before the
    // end: the track goes on from where it stopped, its segue comes no
    // sooner for the time held, 25 s after the hold the sink carries the
    // show, and one line says so.
    void heardAgainAfterAHold()
    {
        QByteArray module;
        QVERIFY(AudioFixtures::run(QStringLiteral("pactl"),
                                   {QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                    QStringLiteral("sink_name=ol_held"), QStringLiteral("rate=48000"),
                                    QStringLiteral("sink_properties=device.description=Held-Output")},
                                   &module));
        const auto unload = qScopeGuard([&module] {
            AudioFixtures::run(QStringLiteral("pactl"), {QStringLiteral("unload-module"), QString::fromUtf8(module.trimmed())});
        });
        const QString home = testHome().scratch(QStringLiteral("held"));
        const quint16 port = WindowFixture::freePort();
        const QProcessEnvironment env = stationHome(home, port);
        {
            QSettings conf(home + QStringLiteral("/.config/Orchidlantern/Orchidlantern.conf"), QSettings::IniFormat);
            conf.setValue(QStringLiteral("audio/outputDevice"), QStringLiteral("Held-Output"));
            conf.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
            conf.setValue(QStringLiteral("playback/mixPointMs"), 30000);
        }
        const QStringList rows = {WindowFixture::toneFile(QStringLiteral("Zeta - Held.mp3"), 60, kToneHz),
                                  WindowFixture::toneFile(QStringLiteral("Zeta - After.mp3"), 120, kToneHz)};
        QVERIFY(!rows.contains(QString()));
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(programPath(), rows);
        QVERIFY(program.waitForStarted(10000));
        const auto end = qScopeGuard([&program] {
            ::kill(pid_t(program.processId()), SIGCONT);
            program.kill();
            program.waitForFinished();
        });
        const auto position = [port] { return firstRowPosition(port); };
        // Within 20 s of its mix point: the time held would pass it.
        QTRY_VERIFY_WITH_TIMEOUT(position() > 11000, 120000);
        SinkRecorder before;
        QVERIFY(before.start(QStringLiteral("ol_held.monitor")));
        QVERIFY2(heard(before), "the track was not heard before the hold");

        QElapsedTimer played;
        played.start();
        const qint64 from = position();
        QVERIFY(from > 0 && from < 20000);
        const pid_t pid = pid_t(program.processId());
        QElapsedTimer held;
        held.start();
        QVERIFY(::kill(pid, SIGSTOP) == 0);
        QTest::qWait(20000);
        QVERIFY(::kill(pid, SIGCONT) == 0);
        const qint64 heldMs = held.elapsed();
        QTest::qWait(3000);
        // The time held was no time the track played.
        const qint64 moved = position() - from;
        const qint64 expected = played.elapsed() - heldMs;
        QVERIFY2(qAbs(moved - expected) < 3000,
                 qPrintable(QStringLiteral("moved %1 ms in %2 ms of play").arg(moved).arg(expected)));
        QTest::qWait(21000);
        SinkRecorder after;
        QVERIFY(after.start(QStringLiteral("ol_held.monitor")));
        QVERIFY2(heard(after), "nothing was heard 25 s after the hold");
        const QString log = QString::fromUtf8(program.readAllStandardError());
        static const QRegularExpression line(QStringLiteral(
            "The program was held for (\\d+\\.\\d) s: what was playing goes on from where it stopped \\(1 player\\)"));
        QCOMPARE(log.count(line), 1);
        QVERIFY2(line.match(log).captured(1).toDouble() >= 19.0, qPrintable(line.match(log).captured(0)));
    }

    // Playlists that a share or another program spoils: one whose open never
    // returns (a share that hung after answering stat), one reached through
    // a link to a FIFO, one that grows faster than it is read. Commands on
    // the rows act, a good list loads after them, memory stays bounded and
    // SIGTERM still ends the program.
    void playlistsThatHangBlockOrGrow()
    {
        const QString bin = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR");
        const QString home = testHome().scratch(QStringLiteral("reads"));
        const QString share = home + QStringLiteral("/share/");
        QVERIFY(writeFile(share + QStringLiteral("show.m3u"), m_tone.toUtf8() + '\n'));
        Station station;
        const quint16 port = station.port;
        QProcessEnvironment env = stationHome(home, port);
        env.insert(QStringLiteral("LD_PRELOAD"), bin + QStringLiteral("/tests/libol_hungshare.so"));
        env.insert(QStringLiteral("OL_HUNG_SHARE"), share);
        const QString longTone = WindowFixture::toneFile(QStringLiteral("Zeta - Long.mp3"), 900, kToneHz);
        QVERIFY(station.start(env, {longTone, m_tone}));
        QProcess& program = station.program;
        const auto command = [&station](const QString& line) { return station.command(line); };
        const auto onRow = [&station](int row) { return station.onRow(row); };
        QTRY_VERIFY_WITH_TIMEOUT(onRow(0), 120000);
        QString& log = station.log;
        const auto logged = [&station](const QString& line) { return station.logged(line); };

        QVERIFY(command(QStringLiteral("load ") + share + QStringLiteral("show.m3u")));
        QVERIFY(command(QStringLiteral("next")));
        QTRY_VERIFY_WITH_TIMEOUT(onRow(1), 60000);
        QTRY_VERIFY2_WITH_TIMEOUT(logged(QStringLiteral("Could not open playlist: %1show.m3u (no answer for 10 s; given up)").arg(share)), qPrintable(log.right(3000)), 60000);

        const QString fifo = home + QStringLiteral("/live.fifo");
        const QString link = home + QStringLiteral("/live.m3u");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(QFile::link(fifo, link));
        QVERIFY(command(QStringLiteral("load ") + link));
        QVERIFY(command(QStringLiteral("previous")));
        QTRY_VERIFY_WITH_TIMEOUT(onRow(0), 60000);
        QTRY_VERIFY2_WITH_TIMEOUT(logged(QStringLiteral("Could not open playlist: %1 (is not a regular file)").arg(link)), qPrintable(log.right(3000)), 30000);

        // Just under the bound when opened; the writer starts once the
        // program has opened it, and outruns its reading.
        const QString growing = home + QStringLiteral("/growing.m3u");
        const QByteArray lines = QByteArray("/music/1.mp3\n").repeated(80000);
        QFile grow(growing);
        QVERIFY(grow.open(QIODevice::WriteOnly));
        for (int i = 0; i < 15; ++i)
            grow.write(lines);
        grow.flush();
        const int watch = ::inotify_init1(IN_CLOEXEC);
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(growing).constData(), IN_OPEN) >= 0);
        const qint64 peakBefore = peakMemoryMb(program.processId());
        std::thread writer([&grow, &lines, watch] {
            pollfd opened{watch, POLLIN, 0};
            if (::poll(&opened, 1, 60000) != 1)
                return;
            for (int i = 0; i < 200; ++i)
                grow.write(lines);
            grow.flush();
        });
        const auto joined = qScopeGuard([&writer, watch] {
            writer.join();
            ::close(watch);
        });
        QVERIFY(command(QStringLiteral("load ") + growing));
        QVERIFY(command(QStringLiteral("next")));
        QTRY_VERIFY2_WITH_TIMEOUT(onRow(1), qPrintable((logged({}), log.right(3000))), 60000);
        QTRY_VERIFY2_WITH_TIMEOUT(logged(QStringLiteral("Could not open playlist: %1 (is larger than 16 MB)").arg(growing)), qPrintable(log.right(3000)), 60000);
        QVERIFY2(peakMemoryMb(program.processId()) - peakBefore < 1024,
                 qPrintable(QStringLiteral("%1 MB before, %2 MB after").arg(peakBefore).arg(peakMemoryMb(program.processId()))));

        QFile good(home + QStringLiteral("/good.m3u"));
        QVERIFY(good.open(QIODevice::WriteOnly));
        good.write(m_tone.toUtf8() + '\n');
        good.close();
        QVERIFY(command(QStringLiteral("load ") + good.fileName()));
        QTRY_VERIFY2_WITH_TIMEOUT(logged(QStringLiteral("Loaded playlist good.m3u (1 tracks)")), qPrintable(log.right(3000)), 60000);

        // The worker still held in its open() is not waited for.
        QVERIFY(station.endsOnSignal(30000));
    }

    // A share that hung holds nothing but its own rows: a stored row whose
    // file does not open is failed and the next row plays; an event's file
    // and a list's rows whose tags do not come are made from their names; a
    // scheduled load that does not happen is named by its event; the API
    // answers and `next` acts meanwhile, and SIGTERM still ends the program.
    void aShareThatHangsHoldsOnlyItsOwnRows()
    {
        const QString bin = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR");
        const QString home = testHome().scratch(QStringLiteral("hung"));
        const QString share = home + QStringLiteral("/share");
        const QString hungRow = share + QStringLiteral("/air/Row - Hung.mp3");
        const QString eventFile = share + QStringLiteral("/spots/Promo - Hung.mp3");
        const QString onShare = home + QStringLiteral("/onshare.m3u");
        for (const QString& file : {hungRow, eventFile, share + QStringLiteral("/list/Rows - Hung.mp3")})
            QVERIFY(writeFile(file, "ID3"));
        QVERIFY(writeFile(onShare, (share + QStringLiteral("/list/Rows - Hung.mp3\n")).toUtf8()));
        QVERIFY(writeFile(share + QStringLiteral("/lists/evening.m3u"), m_tone.toUtf8() + '\n'));
        // Long enough for the event's row to be given up and put in after it.
        const QString first = WindowFixture::toneFile(QStringLiteral("Zeta - Twenty.mp3"), 20, kToneHz);
        const QString longTone = WindowFixture::toneFile(QStringLiteral("Zeta - Long.mp3"), 900, kToneHz);
        QVERIFY(storeRows(home, {first, hungRow, longTone, longTone, longTone}));
        QVERIFY(storeEvents(home, {{QStringLiteral("Promo"), eventFile},
                                   {QStringLiteral("Evening"), QStringLiteral("load ") + share + QStringLiteral("/lists/evening.m3u")}}));
        Station station;
        QProcessEnvironment env = stationHome(home, station.port);
        env.insert(QStringLiteral("LD_PRELOAD"), bin + QStringLiteral("/tests/libol_hungshare.so"));
        env.insert(QStringLiteral("OL_HUNG_SHARE"), share + QLatin1Char('/'));
        QVERIFY(station.start(env));

        // The API answers while the event's row and the evening's list wait
        // for the share.
        QTRY_VERIFY_WITH_TIMEOUT(station.logged(QStringLiteral("Scheduler fired: Evening")), 60000);
        QVERIFY(station.onRow(0));
        QTRY_VERIFY2_WITH_TIMEOUT(
            station.logged(QStringLiteral("Could not read %1 (no answer for 10 s; given up): 1 row(s) made from their file names").arg(eventFile))
                && station.logged(QStringLiteral("Scheduled event \"Evening\": the playlist %1/lists/evening.m3u was not loaded").arg(share)),
            qPrintable(station.lastLog()), 60000);
        // The event's row, after the track on air, is passed over at once (its
        // folder is known to hang); the row that does not open after its time.
        QVERIFY(station.info().contains("<PlaylistCount>6</PlaylistCount>"));
        QTRY_VERIFY2_WITH_TIMEOUT(station.onRow(3), qPrintable(station.lastLog()), 90000);
        QTRY_VERIFY2_WITH_TIMEOUT(station.logged(QStringLiteral("Promo - Hung: cannot be played (its folder does not answer)"))
                                      && station.logged(QStringLiteral("Row - Hung: cannot be played (not opened in 6 s)")),
                                  qPrintable(station.lastLog()), 10000);

        // A list whose rows' tags do not come: `next` acts on the list on
        // air meanwhile.
        QVERIFY(station.command(QStringLiteral("load ") + onShare));
        QVERIFY(station.command(QStringLiteral("next")));
        QTRY_VERIFY_WITH_TIMEOUT(station.onRow(4), 3000);
        QTRY_VERIFY2_WITH_TIMEOUT(station.logged(QStringLiteral("Loaded playlist onshare.m3u (1 tracks)")),
                                  qPrintable(station.lastLog()), 60000);

        // Saved first, then ended, without waiting for the reads that hang.
        QVERIFY(station.endsOnSignal(15000));
        QFile stored(configOf(home) + QStringLiteral("/playlists.json"));
        QVERIFY(stored.open(QIODevice::ReadOnly) && stored.readAll().contains("Rows - Hung.mp3"));
    }

    // Slow but answering: a share whose every open takes 3 s is waited for,
    // and a scheduled load from it is loaded and played.
    void aSlowShareIsWaitedFor()
    {
        const QString bin = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR");
        const QString home = testHome().scratch(QStringLiteral("slow"));
        const QString share = home + QStringLiteral("/slow");
        const QString song = share + QStringLiteral("/Slow - Song.mp3");
        QVERIFY(QDir().mkpath(share) && QFile::copy(WindowFixture::toneFile(QStringLiteral("Zeta - Long.mp3"), 900, kToneHz), song));
        QVERIFY(writeFile(share + QStringLiteral("/evening.m3u"), song.toUtf8() + '\n'));
        QVERIFY(storeEvents(home, {{QStringLiteral("Evening"), QStringLiteral("load ") + share + QStringLiteral("/evening.m3u")}}));
        Station station;
        QProcessEnvironment env = stationHome(home, station.port);
        env.insert(QStringLiteral("LD_PRELOAD"), bin + QStringLiteral("/tests/libol_hungshare.so"));
        env.insert(QStringLiteral("OL_HUNG_SHARE"), share + QLatin1Char('/'));
        env.insert(QStringLiteral("OL_HUNG_SHARE_DELAY_MS"), QStringLiteral("3000"));
        QVERIFY(station.start(env));
        QTRY_VERIFY2_WITH_TIMEOUT(station.logged(QStringLiteral("Loaded playlist evening.m3u (1 tracks)")),
                                  qPrintable(station.lastLog()), 90000);
        QVERIFY(station.command(QStringLiteral("play 1")));
        QTRY_VERIFY2_WITH_TIMEOUT(station.onRow(0), qPrintable(station.lastLog()), 30000);
        QVERIFY2(!station.logged(QStringLiteral("given up")) && !station.logged(QStringLiteral("cannot be played")),
                 qPrintable(station.lastLog()));
        QVERIFY(station.endsOnSignal(30000));
    }

    // Loads of a list on a share that hung, as fast as a client sends them,
    // under the usual limit of 1 024 descriptors: the program lives, holds
    // a bounded number of threads and descriptors, `play 2` acts at once
    // and a good list loads after them.
    void aFloodOfLoadsOnAHungShare()
    {
        const QString bin = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR");
        const QString home = testHome().scratch(QStringLiteral("flood"));
        const QString share = home + QStringLiteral("/share");
        QVERIFY(writeFile(share + QStringLiteral("/flood.m3u"), m_tone.toUtf8() + '\n'));
        QVERIFY(writeFile(home + QStringLiteral("/good.m3u"), m_tone.toUtf8() + '\n'));
        const QString longTone = WindowFixture::toneFile(QStringLiteral("Zeta - Long.mp3"), 900, kToneHz);
        QVERIFY(storeRows(home, {longTone, longTone}));
        Station station;
        QProcessEnvironment env = stationHome(home, station.port);
        env.insert(QStringLiteral("LD_PRELOAD"), bin + QStringLiteral("/tests/libol_hungshare.so"));
        env.insert(QStringLiteral("OL_HUNG_SHARE"), share + QLatin1Char('/'));
        station.program.setChildProcessModifier([] {
            const rlimit limit{1024, 1024};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
        QVERIFY(station.start(env));
        QTRY_VERIFY_WITH_TIMEOUT(station.onRow(0), 120000);

        // For longer than a load is waited for: the first is given up while
        // the others still come.
        QElapsedTimer flood;
        flood.start();
        for (int i = 0; i < 600 || flood.elapsed() < 15000; ++i)
            QVERIFY2(station.command(QStringLiteral("load ") + share + QStringLiteral("/flood.m3u")), qPrintable(QString::number(i)));
        QTRY_VERIFY_WITH_TIMEOUT(station.logged(QStringLiteral("Could not open playlist: %1/flood.m3u").arg(share)), 2000);
        QVERIFY(station.command(QStringLiteral("play 2")));
        QTRY_VERIFY_WITH_TIMEOUT(station.onRow(1), 3000);
        QVERIFY(station.command(QStringLiteral("load ") + home + QStringLiteral("/good.m3u")));
        QTRY_VERIFY2_WITH_TIMEOUT(station.logged(QStringLiteral("Loaded playlist good.m3u (1 tracks)")),
                                  qPrintable(station.lastLog()), 90000);
        QCOMPARE(station.program.state(), QProcess::Running);
        QVERIFY2(station.openDescriptors() < 256, qPrintable(QString::number(station.openDescriptors())));
        QVERIFY2(station.threads() < 120, qPrintable(QString::number(station.threads())));
        QVERIFY(station.endsOnSignal(15000));
    }

    // Another program holding library.db's lock at the start keeps the
    // library away for a while, not the air: the command line's row plays
    // while the lock is still held, and the line says how long it was waited for.
    void playsWhileAnotherProgramHoldsTheLibrary()
    {
        const QString home = testHome().scratch(QStringLiteral("locked"));
        QVERIFY(QDir().mkpath(configOf(home)));
        const LibraryLock held(configOf(home) + QStringLiteral("/library.db"), LibraryLock::Mode::Exclusive, 1000);
        QVERIFY(held.held());
        Station station;
        QVERIFY(station.start(stationHome(home, station.port),
                              {WindowFixture::toneFile(QStringLiteral("Zeta - Long.mp3"), 900, kToneHz)}));
        QTRY_VERIFY2_WITH_TIMEOUT(station.onRow(0), qPrintable(station.lastLog()), 30000);
        QTRY_VERIFY2_WITH_TIMEOUT(station.logged(QStringLiteral("library.db is used without looking at it")),
                                  qPrintable(station.lastLog()), 30000);
        QVERIFY(station.endsOnSignal(30000));
    }

    // The sound server killed while the station plays and started again at
    // the same socket: the program lives, says that the server went, and
    // the track on air goes on, heard again on the new server.
    void livesThroughItsSoundServerRestarting()
    {
        QVERIFY2(QFileInfo::exists(MediaBackend::fixedPluginFile()),
                 qPrintable(QStringLiteral("%1 is missing: Qt's own media plug-in crashes when the sound server "
                                           "goes; build the environment again (tools/inroot)")
                                .arg(MediaBackend::fixedPluginFile())));
        const QString home = testHome().scratch(QStringLiteral("soundserver"));
        OwnSoundServer server(testHome().scratch(QStringLiteral("soundserver-runtime")));
        QVERIFY(server.start());
        const quint16 port = WindowFixture::freePort();
        QProcessEnvironment env = stationHome(home, port);
        env.insert(QStringLiteral("PULSE_SERVER"), server.address());
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(programPath(), {WindowFixture::toneFile(QStringLiteral("Zeta - Long.mp3"), 900, kToneHz)});
        QVERIFY(program.waitForStarted(10000));
        const auto end = qScopeGuard([&program] {
            program.kill();
            program.waitForFinished();
        });
        const auto position = [port] { return firstRowPosition(port); };
        QString log;
        const auto logged = [&](const QString& line) {
            log += QString::fromUtf8(program.readAllStandardError());
            return log.contains(line);
        };
        QTRY_VERIFY_WITH_TIMEOUT(position() > 0 && !server.sinkInputs().isEmpty(), 120000);

        server.kill();
        QTRY_VERIFY2_WITH_TIMEOUT(logged(QStringLiteral("Sound server: gone (")), qPrintable(log.right(3000)), 30000);
        const qint64 atLoss = position();
        QVERIFY2(atLoss > 0, qPrintable(log.right(3000)));
        QTest::qWait(4000);
        QCOMPARE(program.state(), QProcess::Running);

        QVERIFY(server.start());
        QTRY_VERIFY2_WITH_TIMEOUT(logged(QStringLiteral("Sound server: answering again")), qPrintable(log.right(3000)),
                                  30000);
        QTRY_VERIFY2_WITH_TIMEOUT(!server.sinkInputs().isEmpty(), qPrintable(log.right(3000)), 30000);
        const QByteArray suiteServer = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", server.address().toUtf8());
        SinkRecorder rec;
        const bool recording = rec.start(QStringLiteral("ol_air.monitor"));
        if (suiteServer.isEmpty())
            qunsetenv("PULSE_SERVER");
        else
            qputenv("PULSE_SERVER", suiteServer);
        QVERIFY(recording);
        QVERIFY2(heard(rec), "the track was not heard on the server that came back");
        QVERIFY2(position() > atLoss, "the track did not go on from where it was");
        QVERIFY2(!logged(QStringLiteral("egmentation")), qPrintable(log.right(3000)));
        QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    // A file named relative to the folder the program was started in is
    // kept and reported by its whole path: started again from another
    // folder, the row plays on.
    void aRelativePathFromAnotherFolder()
    {
        const QString home = testHome().scratch(QStringLiteral("relative"));
        const QString music = home + QStringLiteral("/music");
        QVERIFY(QDir().mkpath(music + QStringLiteral("/sub")));
        const QString file = music + QStringLiteral("/sub/Zeta - Six.mp3");
        QVERIFY(QFile::copy(m_tone, file));
        const quint16 port = WindowFixture::freePort();
        QProcess program;
        program.setProcessEnvironment(stationHome(home, port));
        const auto end = qScopeGuard([&program] {
            program.kill();
            program.waitForFinished();
        });
        const auto playing = [port] {
            const QByteArray info = request(port, "/?pass=pw&action=playbackinfo");
            return info.contains("<State>playing</State>") ? WindowFixture::playbackField(info, QStringLiteral("CurrentTrack/File"))
                                                           : QString();
        };
        program.setWorkingDirectory(music);
        program.start(programPath(), {QStringLiteral("./sub/../sub/Zeta - Six.mp3")});
        QVERIFY(program.waitForStarted(10000));
        QTRY_COMPARE_WITH_TIMEOUT(playing(), file, 120000);
        QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
        QVERIFY(program.waitForFinished(30000));

        program.setWorkingDirectory(home);
        program.start(programPath(), {});
        QVERIFY(program.waitForStarted(10000));
        QTRY_COMPARE_WITH_TIMEOUT(playing(), file, 120000);
    }

    // Plays kept from runs whose database refused them grew to 200 MB: the
    // newest are taken, the older kept aside and named, the plays of this
    // run are recorded, and SIGTERM still ends the program at once.
    void aHugeFileOfPlaysWaiting()
    {
        const QString home = testHome().scratch(QStringLiteral("waiting"));
        const QString folder = home + QStringLiteral("/.config/Orchidlantern/Orchidlantern");
        QVERIFY(QDir().mkpath(folder));
        const QString waiting = folder + QStringLiteral("/plays-waiting.jsonl");
        {
            QFile kept(waiting);
            QVERIFY(kept.open(QIODevice::WriteOnly));
            const QByteArray line = R"({"artist":"Old","at":1700000000000,"ms":180000,"path":"/music/old.mp3",)"
                                    R"("stream":false,"title":"Old"})" "\n";
            const QByteArray block = line.repeated(1024 * 1024 / line.size());
            while (kept.size() < qint64(200) * 1024 * 1024)
                QCOMPARE(kept.write(block), block.size());
        }
        const QString tone = WindowFixture::toneFile(QStringLiteral("Zeta - Short.mp3"), 3, kToneHz);
        QVERIFY(!tone.isEmpty());
        QProcess program;
        program.setProcessEnvironment(stationHome(home, WindowFixture::freePort()));
        program.start(programPath(), {tone, tone, tone});
        QVERIFY(program.waitForStarted(10000));
        const auto end = qScopeGuard([&program] {
            program.kill();
            program.waitForFinished();
        });
        const auto recorded = [&folder, &tone] {
            QByteArray out;
            AudioFixtures::run(QStringLiteral("sqlite3"),
                               {QStringLiteral("-readonly"), folder + QStringLiteral("/library.db"),
                                QStringLiteral("SELECT COUNT(*) FROM play_history WHERE filepath='%1'").arg(tone)},
                               &out);
            return out.trimmed().toInt();
        };
        QTRY_VERIFY_WITH_TIMEOUT(recorded() >= 3, 120000);
        QString said;
        const QRegularExpression aside(QStringLiteral("Play log: %1 held more than 2 MB of plays: the newest [0-9]+ are "
                                                      "recorded, the 19[0-9] MB of older ones kept in (%1\\.older-[-0-9]+)\n")
                                           .arg(QRegularExpression::escape(waiting)));
        QRegularExpressionMatch named;
        QTRY_VERIFY_WITH_TIMEOUT((said += QString::fromUtf8(program.readAllStandardError()), named = aside.match(said)).hasMatch(),
                                 30000);
        QVERIFY(QFileInfo(named.captured(1)).size() > qint64(190) * 1024 * 1024);
        QVERIFY(QFileInfo(waiting).size() <= 2 * 1024 * 1024);
        QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
        // Nothing is waited for but what the exit must write.
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
    }

    // Offscreen, in this process: the same start-up code from the window on.
    void offscreenFromTheStartupCode()
    {
        SinkRecorder rec;
        QVERIFY(rec.start());
        bool wasHeard = false;
        QSize size;
        QTimer::singleShot(0, this, [&] {
            MainWindow* w = nullptr;
            for (QWidget* top : QApplication::topLevelWidgets())
                w = w ? w : qobject_cast<MainWindow*>(top);
            if (!w)
                return;
            size = w->size();
            wasHeard = heard(rec);
            // From here to the end of the event loop nothing may complain.
            QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
            for (QAction* a : w->menuBar()->actions().first()->menu()->actions())
                if (a->text() == QStringLiteral("Exit"))
                    a->trigger();
        });
        QTimer::singleShot(60000, qApp, &QCoreApplication::quit);
        const int code = PlayoutStartup::start(*qApp, {m_tone});
        QCOMPARE(size, QSize(1180, 720));
        QVERIFY2(wasHeard, "the file from the command line was not heard");
        QCOMPARE(code, 0);
    }

private:
    QString m_tone;
};

OL_TEST_MAIN(TestProgram)
#include "tst_program.moc"
