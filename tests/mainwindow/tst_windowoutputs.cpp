// ctest: serial
// ctest: timeout 600
// The window's station outputs, switched on as the operator does: a stream
// to a real icecast2, the built-in server with listeners, a recording and a
// relay. The titles they carry (never a command row's), one encoder shared
// by them, and a quit while they run.
#include "audiofixtures.h"
#include "automation/hotkeys.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "icecastserver.h"
#include "olmain.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "windowfixture.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolButton>

namespace {

// A listener of the built-in server; returns its header block.
QByteArray listen(QTcpSocket& socket, quint16 port)
{
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET / HTTP/1.0\r\n\r\n");
    QByteArray head;
    QDeadlineTimer deadline(10000);
    while (!head.contains("\r\n\r\n") && !deadline.hasExpired()) {
        QTest::qWait(20);
        head += socket.readAll();
    }
    return head.left(head.indexOf("\r\n\r\n"));
}

QString readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

// The ffmpeg encoders this process still runs.
QByteArray ffmpegChildren()
{
    QByteArray pids;
    AudioFixtures::run(QStringLiteral("pgrep"),
                       {QStringLiteral("-P"), QString::number(QCoreApplication::applicationPid()), QStringLiteral("ffmpeg")},
                       &pids);
    return pids.trimmed();
}

} // namespace

class TestWindowOutputs : public QObject
{
    Q_OBJECT

private slots:
    // The streaming server on this computer already holds the built-in
    // server's port: the status bar says so until the server listens.
    void portClashIsShownToTheOperator()
    {
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::Any, 0));
        WindowFixture f({{QStringLiteral("server/enabled"), true},
                         {QStringLiteral("server/port"), occupier.serverPort()}});
        auto* problem = f.find<QLabel>(QStringLiteral("serverProblem"));
        QVERIFY(problem);
        QVERIFY(!problem->isHidden());
        QCOMPARE(problem->text(), QStringLiteral("Built-in server not listening: port %1 is in use by another program")
                                      .arg(occupier.serverPort()));
        QAction* serverAction = f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Built-in server"));
        QVERIFY(!serverAction->isChecked());

        occupier.close();
        serverAction->trigger();
        QVERIFY(serverAction->isChecked());
        QVERIFY(problem->isHidden());
    }

    void outputsCarryTitlesAndEndCleanlyAtQuit()
    {
        IcecastServer ice;
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        const QString a = WindowFixture::toneFile(QStringLiteral("Delta - Four.mp3"), 60, 440);
        const QString b = WindowFixture::toneFile(QStringLiteral("Echo - Five.mp3"), 60, 550);
        const QString scratch = testHome().scratch(QStringLiteral("outputs"));
        const quint16 serverPort = WindowFixture::freePort();
        WindowFixture f({{QStringLiteral("server/enabled"), true},
                         {QStringLiteral("server/port"), serverPort},
                         {QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1")},
                         {QStringLiteral("broadcast/port"), ice.port()},
                         {QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount)},
                         {QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword)},
                         {QStringLiteral("broadcast/internalMix"), true},
                         {QStringLiteral("nowplaying/enabled"), true},
                         {QStringLiteral("nowplaying/path"), scratch + QStringLiteral("/np.txt")},
                         {QStringLiteral("archive/folder"), scratch},
                         {QStringLiteral("archive/namePattern"), QStringLiteral("'take'")},
                         {QStringLiteral("archive/internalMix"), true}});
        // The server started during construction, after its menu entry was made.
        QAction* serverAction = f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Built-in server"));
        QVERIFY(serverAction->isChecked());
        f->show();

        auto* engine = f.find<AudioEngine>();
        auto* model = qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model());
        f.addPaths({a});
        Track stop;
        stop.marker = true;
        stop.label = QStringLiteral("stop");
        model->addTrack(stop);
        f.addPaths({b});

        f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Start Broadcasting"))->trigger();
        QVERIFY(f.waitForLog(QStringLiteral("Broadcast: connected to server — you are on the air")));
        QVERIFY(f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Stop Broadcasting"))->isChecked());
        QCOMPARE(f.find<QToolButton>(QStringLiteral("onAir"))->text(), QStringLiteral("● ON AIR"));

        emit f.find<QTableView>(QStringLiteral("playlist"))->doubleClicked(model->index(0, PlaylistModel::TitleColumn));
        auto title = [&] { return ice.mountStatus().value(QStringLiteral("title")).toString(); };
        QTRY_COMPARE_WITH_TIMEOUT(title(), QStringLiteral("Delta - Four"), 20000);
        QCOMPARE(readFile(scratch + QStringLiteral("/np.txt")), QStringLiteral("Delta - Four"));
        QTcpSocket first;
        QVERIFY(listen(first, serverPort).contains("icy-notice2: Delta - Four"));
        QTRY_COMPARE(serverAction->text(), QStringLiteral("Built-in server (1 listening)"));
        QCOMPARE(f.find<QLabel>(QStringLiteral("listeners"))->text(), QStringLiteral("♫ 1"));
        QVERIFY(!f.screenshot(QStringLiteral("window-playing")).isEmpty());

        // A STOP row halts playback but is no title for anyone outside.
        engine->playRow(1);
        QTest::qWait(2000);
        QCOMPARE(title(), QStringLiteral("Delta - Four"));
        QCOMPARE(readFile(scratch + QStringLiteral("/np.txt")), QStringLiteral("Delta - Four"));
        QTcpSocket second;
        QVERIFY(listen(second, serverPort).contains("icy-notice2: Delta - Four"));
        engine->playRow(2);
        QTRY_COMPARE_WITH_TIMEOUT(title(), QStringLiteral("Echo - Five"), 20000);

        auto* archive = f.find<StreamArchive>();
        archive->start();
        QVERIFY(archive->isRecording());
        QStringList labels;
        for (const QLabel* l : f->findChildren<QLabel*>())
            labels << l->text();
        QVERIFY(labels.contains(QStringLiteral("REC")) && labels.contains(QStringLiteral("Broadcast: ON AIR")));
        // Another station on a second mount is what the relay takes on air.
        QProcess other;
        const auto endOther = qScopeGuard([&other] {
            other.kill();
            other.waitForFinished();
        });
        other.start(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-re"),
                                               QStringLiteral("-i"), b, QStringLiteral("-c:a"), QStringLiteral("copy"),
                                               QStringLiteral("-content_type"), QStringLiteral("audio/mpeg"),
                                               QStringLiteral("-f"), QStringLiteral("mp3"),
                                               QStringLiteral("icecast://source:%1@127.0.0.1:%2/relay.mp3")
                                                   .arg(QLatin1String(IcecastServer::kSourcePassword))
                                                   .arg(ice.port())});
        QTRY_VERIFY_WITH_TIMEOUT(!ice.mountStatus(QStringLiteral("/relay.mp3")).isEmpty(), 15000);
        engine->startRelay(ice.baseUrl() + QStringLiteral("/relay.mp3"));
        QVERIFY(f.waitForLog(QStringLiteral("Relay: live"), 30000));
        QTest::qWait(2000);
        QVERIFY(!f.screenshot(QStringLiteral("window-streaming")).isEmpty());
        const QString recording = archive->currentFile();

        // All three send the same MP3 format, so one encoder feeds them; the
        // source client leaving it stops neither the recording nor a listener.
        const auto encoders = [&other] {
            QList<QByteArray> pids = ffmpegChildren().split('\n');
            pids.removeAll(QByteArray::number(other.processId()));
            return pids.size();
        };
        QCOMPARE(encoders(), 1);
        f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Stop Broadcasting"))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(ice.mountStatus().isEmpty(), true, 15000);
        const qint64 recorded = QFileInfo(recording).size();
        first.readAll();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(recording).size() > recorded + 16000 && first.bytesAvailable() > 16000,
                                 15000);
        QVERIFY(archive->isRecording());
        // Back on the air, it joins the running encoder.
        f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Start Broadcasting"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!ice.mountStatus().isEmpty(), 15000);
        QCOMPARE(encoders(), 1);

        // Nothing reports once the window goes, and nothing is left running.
        QObject probe;
        QStringList late;
        auto report = [&late](const char* what) { return [&late, what] { late << QLatin1String(what); }; };
        connect(f.find<BroadcastService>(), &BroadcastService::logMessage, &probe, report("source client"));
        connect(f.find<BroadcastServer>(), &BroadcastServer::logMessage, &probe, report("listener server"));
        connect(archive, &StreamArchive::logMessage, &probe, report("archive"));
        connect(archive, &StreamArchive::recordingChanged, &probe, report("archive state"));
        connect(engine, &AudioEngine::relayStateChanged, &probe, report("relay"));
        connect(engine, &AudioEngine::playingChanged, &probe, report("engine"));
        f->close();
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        f.destroy();
        QVERIFY2(late.isEmpty(), qPrintable(late.join(QStringLiteral(", "))));
        QTRY_COMPARE_WITH_TIMEOUT(ice.mountStatus().isEmpty(), true, 15000);
        QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(second.state(), QAbstractSocket::UnconnectedState);
        other.kill();
        other.waitForFinished();
        QCOMPARE(ffmpegChildren(), QByteArray());
        QVERIFY(AudioFixtures::probe(recording, QStringLiteral("format=duration")).toDouble() > 2.0);
    }

    // A track that begins while the stream is away (the server restarting,
    // or the stream still connecting after the program's own restart) is
    // titled on the server once the stream is back.
    void titleGoesOutWhenTheStreamReturns()
    {
        IcecastServer ice;
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        const QString a = WindowFixture::toneFile(QStringLiteral("Golf - Seven.mp3"), 60, 440);
        WindowFixture f({{QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1")},
                         {QStringLiteral("broadcast/port"), ice.port()},
                         {QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount)},
                         {QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword)},
                         {QStringLiteral("broadcast/internalMix"), true}});
        f.addPaths({a});
        f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Start Broadcasting"))->trigger();
        QVERIFY(f.waitForLog(QStringLiteral("Broadcast: connected to server — you are on the air")));
        ice.kill();
        auto* service = f.find<BroadcastService>();
        QTRY_VERIFY_WITH_TIMEOUT(service->isReconnecting(), 15000);

        f.find<AudioEngine>()->playRow(0);
        QTRY_VERIFY_WITH_TIMEOUT(f.find<AudioEngine>()->isPlaying(), 20000);
        QVERIFY(!service->isStreaming());
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        QTRY_VERIFY_WITH_TIMEOUT(service->isStreaming(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(ice.mountStatus().value(QStringLiteral("title")).toString(),
                                  QStringLiteral("Golf - Seven"), 20000);
    }

    // What the operator left on comes back after a restart as it was: a
    // stream dropped and being retried, a timed take into its own folder
    // ending when it was to end (one whose end passed meanwhile is not
    // taken up again, and the log says so). The hot key stops the retries.
    // With resume off, the log and the status bar say what stayed off.
    void onAirStateOutlivesDropsAndRestarts()
    {
        IcecastServer ice;
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        const QString scratch = testHome().scratch(QStringLiteral("onair"));
        WindowFixture f({{QStringLiteral("playback/resumeOnStart"), true},
                         {QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1")},
                         {QStringLiteral("broadcast/port"), ice.port()},
                         {QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount)},
                         {QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword)},
                         {QStringLiteral("broadcast/internalMix"), true},
                         {QStringLiteral("archive/folder"), scratch},
                         {QStringLiteral("archive/internalMix"), true}});
        f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Start Broadcasting"))->trigger();
        QVERIFY(f.waitForLog(QStringLiteral("Broadcast: connected to server — you are on the air")));
        QElapsedTimer take;
        take.start();
        f->runSchedulerCommand(QStringLiteral("streamarchive 8 %1/shows/show.mp3").arg(scratch));
        QTRY_VERIFY(f.find<StreamArchive>()->isRecording());
        ice.kill();
        QTRY_VERIFY_WITH_TIMEOUT(f.find<BroadcastService>()->isReconnecting(), 15000);

        f.restart();
        f->maybeResumePlayback();
        auto* service = f.find<BroadcastService>();
        auto* archive = f.find<StreamArchive>();
        QTRY_VERIFY_WITH_TIMEOUT(service->isReconnecting(), 15000);
        QVERIFY(archive->isRecording());
        QCOMPARE(archive->currentFile(), QDir(scratch).filePath(QStringLiteral("shows/show-2.mp3")));
        QTRY_VERIFY_WITH_TIMEOUT(!archive->isRecording(), 15000);
        QVERIFY2(take.elapsed() < 9500, qPrintable(QString::number(take.elapsed())));

        const QList<QShortcut*> keys = f->findChildren<QShortcut*>();
        const auto key = std::ranges::find_if(keys, [](const QShortcut* s) {
            return s->key() == HotKeys::shortcut(QStringLiteral("broadcast"));
        });
        QVERIFY(key != keys.end());
        emit (*key)->activated();
        QTRY_VERIFY(!service->isReconnecting());
        QVERIFY(!service->isStreaming());

        f->runSchedulerCommand(QStringLiteral("streamarchive 2 %1/shows/late.mp3").arg(scratch));
        QTRY_VERIFY(f.find<StreamArchive>()->isRecording());
        f.destroy();
        QTest::qWait(2500);
        f.restart();
        f->maybeResumePlayback();
        QVERIFY(!f.find<StreamArchive>()->isRecording());
        QVERIFY2(std::ranges::any_of(f.log(), [](const QString& l) { return l.contains(QLatin1String("late.mp3")); }),
                 qPrintable(f.log().join(QLatin1Char('\n'))));

        f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Start Broadcasting"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(f.find<BroadcastService>()->isReconnecting(), 15000);
        f->runSchedulerCommand(QStringLiteral("streamarchive on"));
        QTRY_VERIFY(f.find<StreamArchive>()->isRecording());
        QSettings().setValue(QStringLiteral("playback/resumeOnStart"), false);
        f.restart();
        f->maybeResumePlayback();
        const QString said = QStringLiteral("Broadcasting and recording were on at exit and are off now "
                                            "(\"Resume playback on startup\" is off)");
        QVERIFY2(f.log().contains(said), qPrintable(f.log().join(QLatin1Char('\n'))));
        QCOMPARE(f->statusBar()->currentMessage(), said);
        QVERIFY(!f.find<BroadcastService>()->isReconnecting() && !f.find<StreamArchive>()->isRecording());
    }
};

OL_TEST_MAIN(TestWindowOutputs)
#include "tst_windowoutputs.moc"
