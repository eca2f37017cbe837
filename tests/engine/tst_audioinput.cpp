// ctest: serial
#include "olmain.h"

#include "audiofixtures.h"
#include "engine/audioinput.h"
#include "engine/audiolevels.h"
#include "pipemic.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QThread>

#include <csignal>
#include <memory>

namespace {

QString pactl(const QStringList& args, bool* ok = nullptr)
{
    return PipeMic::pactl(args, ok);
}

bool listed(const QList<QAudioDevice>& devices, const QString& description)
{
    return std::any_of(devices.cbegin(), devices.cend(),
                       [&](const QAudioDevice& d) { return d.description() == description; });
}

QStringList tableColumn(const QStringList& listArgs, int keyColumn, const QString& key, int valueColumn)
{
    QStringList out;
    for (const QString& line : pactl(QStringList{QStringLiteral("list")} + listArgs + QStringList{QStringLiteral("short")})
                                   .split(QLatin1Char('\n'))) {
        const QStringList cols = line.split(QLatin1Char('\t'));
        if (cols.size() > std::max(keyColumn, valueColumn) && cols.at(keyColumn) == key)
            out << cols.at(valueColumn);
    }
    return out;
}

// The capture streams (source outputs) attached to one source, by its name.
QStringList streamsOn(const QString& sourceName)
{
    const QStringList index = tableColumn({QStringLiteral("sources")}, 1, sourceName, 0);
    if (index.isEmpty())
        return {};
    return tableColumn({QStringLiteral("source-outputs")}, 1, index.first(), 0);
}

QStringList playingOn(const QString& sinkName)
{
    const QStringList index = tableColumn({QStringLiteral("sinks")}, 1, sinkName, 0);
    if (index.isEmpty())
        return {};
    return tableColumn({QStringLiteral("sink-inputs")}, 1, index.first(), 0);
}

// The playback streams of this test process on one sink, by the sink's name.
int ownStreamsOn(const QString& sinkName)
{
    const QStringList index = tableColumn({QStringLiteral("sinks")}, 1, sinkName, 0);
    if (index.isEmpty())
        return 0;
    const QRegularExpression onSink(QStringLiteral("\\n\\s*Sink: %1\\n").arg(index.first()));
    const QString ours = QStringLiteral("application.process.id = \"%1\"").arg(QCoreApplication::applicationPid());
    const QStringList streams = pactl({QStringLiteral("list"), QStringLiteral("sink-inputs")}).split(QStringLiteral("Sink Input #"));
    return int(std::count_if(streams.cbegin(), streams.cend(),
                             [&](const QString& s) { return onSink.match(s).hasMatch() && s.contains(ours); }));
}

// A null sink of the test's own. Tests that play run beside this one on
// the shared sink: a level read there would be theirs as well.
class OwnSink
{
public:
    OwnSink()
    {
        m_module = pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                          QStringLiteral("sink_name=") + name(), QStringLiteral("rate=48000"),
                          QStringLiteral("sink_properties=device.description=") + description()});
    }
    ~OwnSink()
    {
        if (!m_module.isEmpty())
            pactl({QStringLiteral("unload-module"), m_module});
    }
    static QString name() { return QStringLiteral("ol_test_monitor"); }
    static QString description() { return QStringLiteral("Test-Monitor"); }
    bool listed() const
    {
        return !m_module.isEmpty()
               && QTest::qWaitFor([] { return ::listed(QMediaDevices::audioOutputs(), description()); }, 10000);
    }

private:
    QString m_module;
};

// Records a PulseAudio source to a WAV file until stopped.
class Recorder
{
public:
    bool start(const QString& source, const QString& path)
    {
        m_path = path;
        m_process.start(QStringLiteral("parecord"),
                        {QStringLiteral("-d"), source, QStringLiteral("--latency-msec=50"),
                         QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"),
                         QStringLiteral("--format=s16le"), QStringLiteral("--file-format=wav"), path});
        return m_process.waitForStarted(10000);
    }

    // Seconds of audio written so far.
    double seconds() const { return std::max<qint64>(QFileInfo(m_path).size() - 44, 0) / (48000.0 * 4); }

    bool stop()
    {
        // parecord writes out what it holds only when interrupted.
        ::kill(pid_t(m_process.processId()), SIGINT);
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return false;
        }
        return QFile::exists(m_path);
    }

private:
    QProcess m_process;
    QString m_path;
};

// The peak of a file in dBFS as ffmpeg's volumedetect reads it; +1 when it
// cannot be read.
double maxVolumeDb(const QString& path)
{
    QString err;
    AudioFixtures::run(QStringLiteral("ffmpeg"),
                       {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-i"), path,
                        QStringLiteral("-af"), QStringLiteral("volumedetect"), QStringLiteral("-f"),
                        QStringLiteral("null"), QStringLiteral("-")},
                       nullptr, &err);
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("max_volume: (-?[0-9.]+|-inf) dB")).match(err);
    if (!m.hasMatch()) {
        qWarning("volumedetect gave no peak for %s (%lld bytes): %s", qPrintable(path), QFileInfo(path).size(),
                 qPrintable(err));
        return 1.0;
    }
    if (m.captured(1) == QLatin1String("-inf"))
        return -200.0;
    return m.captured(1).toDouble();
}

struct LevelLog
{
    QList<std::pair<double, double>> values;

    double maxLeft(qsizetype from = 0) const
    {
        double m = 0.0;
        for (qsizetype i = from; i < values.size(); ++i)
            m = std::max(m, values.at(i).first);
        return m;
    }
    double maxRight(qsizetype from = 0) const
    {
        double m = 0.0;
        for (qsizetype i = from; i < values.size(); ++i)
            m = std::max(m, values.at(i).second);
        return m;
    }
};

} // namespace

class TestAudioInput : public QObject
{
    Q_OBJECT

private:
    int m_serial = 0;
    QString m_scratch;

    // A live microphone: a fresh pipe source, fed with a file and listed by
    // the framework. Each gets a name of its own, since the framework keeps
    // listing a removed source and a reused description could find it.
    std::unique_ptr<PipeMic> liveMic(const QString& audioFile, int rate, int channels)
    {
        ++m_serial;
        auto mic = std::make_unique<PipeMic>(QStringLiteral("ol_test_mic%1").arg(m_serial),
                                             QStringLiteral("Test-Microphone-%1").arg(m_serial), rate, channels);
        if (audioFile.isEmpty() || !mic->open(m_scratch, audioFile))
            return nullptr;
        return mic;
    }

    // A microphone hearing a 1 kHz tone at -20 dBFS.
    std::unique_ptr<PipeMic> toneMic()
    {
        const QString path = QDir(m_scratch).filePath(QStringLiteral("tone-20.wav"));
        if (!QFile::exists(path) && !AudioFixtures::tone(path, 1000.0, -20.0, 60.0, 48000, 1))
            return nullptr;
        return liveMic(path, 48000, 1);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!pactl({QStringLiteral("info")}).isEmpty(), "PulseAudio is not reachable");
        m_scratch = testHome().scratch(QStringLiteral("audioinput"));
    }

    void cleanup()
    {
        pactl({QStringLiteral("set-default-source"), QStringLiteral("ol_null.monitor")});
    }

    // Runs first, before any test source exists: the null sink's monitor is
    // the only source and the framework lists no monitors as inputs.
    void noInputDevice()
    {
        if (!QMediaDevices::audioInputs().isEmpty())
            QSKIP("this machine has an audio input");
        AudioInput input;
        QSignalSpy active(&input, &AudioInput::activeChanged);
        QSignalSpy log(&input, &AudioInput::logMessage);
        input.start();
        QVERIFY(!input.isActive());
        QCOMPARE(active.count(), 0);
        QCOMPARE(log.count(), 1);
        QCOMPARE(log.at(0).at(0).toString(), QStringLiteral("Line-in: no audio input device available"));
        input.stop();
        QCOMPARE(active.count(), 0);
        QCOMPARE(log.count(), 1);
    }

    void captureAndMonitor()
    {
        auto mic = toneMic();
        QVERIFY(mic);
        const OwnSink out;
        QVERIFY(out.listed());

        AudioInput input;
        input.inputDevice = mic->description();
        input.outputDevice = OwnSink::description();
        LevelLog levels;
        connect(&input, &AudioInput::level, this,
                [&](double l, double r) { levels.values.append({l, r}); });
        QSignalSpy active(&input, &AudioInput::activeChanged);
        QSignalSpy log(&input, &AudioInput::logMessage);

        input.start();
        QVERIFY(input.isActive());
        QCOMPARE(active.count(), 1);
        QCOMPARE(active.at(0).at(0).toBool(), true);
        QCOMPARE(log.count(), 1);
        QCOMPARE(log.at(0).at(0).toString(),
                 QStringLiteral("Line-in / MIC ON (%1)").arg(mic->description()));
        QCOMPARE(input.captureFormat().sampleRate(), 44100);
        QCOMPARE(input.captureFormat().channelCount(), 2);
        QCOMPARE(input.captureFormat().sampleFormat(), QAudioFormat::Int16);
        QCOMPARE(streamsOn(mic->name()).size(), 1);

        // What goes to the monitor output comes back on the sink's monitor.
        Recorder rec;
        const QString recorded = QDir(m_scratch).filePath(QStringLiteral("monitor.wav"));
        QVERIFY(rec.start(OwnSink::name() + QStringLiteral(".monitor"), recorded));

        QTRY_VERIFY_WITH_TIMEOUT(levels.maxLeft() > 0.05, 15000);
        const qsizetype from = levels.values.size();
        // Collect about two seconds of level readings (about 40 ms each).
        QTRY_VERIFY_WITH_TIMEOUT(levels.values.size() > from + 20, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(rec.seconds() > 1.5, 15000);
        QVERIFY(rec.stop());

        const double leftDb = AudioLevels::toDbfs(levels.maxLeft(from));
        const double rightDb = AudioLevels::toDbfs(levels.maxRight(from));
        QVERIFY2(qAbs(leftDb + 20.0) < 1.0, qPrintable(QString::number(leftDb)));
        // A mono source reaches both channels alike.
        QVERIFY2(qAbs(rightDb - leftDb) < 0.2, qPrintable(QString::number(rightDb)));

        const double monitorDb = maxVolumeDb(recorded);
        QVERIFY2(qAbs(monitorDb + 20.0) < 1.5, qPrintable(QString::number(monitorDb)));

        input.stop();
        QVERIFY(!input.isActive());
        QCOMPARE(active.count(), 2);
        QCOMPARE(active.at(1).at(0).toBool(), false);
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Line-in / MIC OFF"));
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(mic->name()).size(), 0, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(playingOn(OwnSink::name()).size(), 0, 10000);

        // Once off, nothing reaches the output any more.
        const qsizetype after = levels.values.size();
        const QString quiet = QDir(m_scratch).filePath(QStringLiteral("monitor-off.wav"));
        QVERIFY(rec.start(OwnSink::name() + QStringLiteral(".monitor"), quiet));
        QTRY_VERIFY_WITH_TIMEOUT(rec.seconds() > 1.0, 15000);
        QVERIFY(rec.stop());
        const double quietDb = maxVolumeDb(quiet);
        QVERIFY2(quietDb < -60.0, qPrintable(QString::number(quietDb)));
        QCOMPARE(levels.values.size(), after);
    }

    // Without conversion on the way, the levels are exact: channel 0 and 1
    // apart, and a full-scale negative sample reads 1.0.
    void exactChannelLevels()
    {
        const QString path = QDir(m_scratch).filePath(QStringLiteral("fullscale.wav"));
        QVERIFY(AudioFixtures::ffmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                       QStringLiteral("aevalsrc=exprs='-1|0.25':s=44100:d=60:c=stereo"),
                                       QStringLiteral("-c:a"), QStringLiteral("pcm_s16le"), path}));
        auto mic = liveMic(path, 44100, 2);
        QVERIFY(mic);

        AudioInput input;
        input.inputDevice = mic->description();
        input.outputDevice = QStringLiteral("Null-Output");
        LevelLog levels;
        connect(&input, &AudioInput::level, this,
                [&](double l, double r) { levels.values.append({l, r}); });
        input.start();
        QVERIFY(input.isActive());
        QTRY_VERIFY_WITH_TIMEOUT(levels.maxLeft() > 0.9, 15000);
        const qsizetype from = levels.values.size();
        QTRY_VERIFY_WITH_TIMEOUT(levels.values.size() > from + 10, 15000);
        QCOMPARE(levels.maxLeft(from), 1.0);
        QCOMPARE(levels.maxRight(from), 0.25);
        input.stop();
    }

    void startTwiceAndToggle()
    {
        auto mic = toneMic();
        QVERIFY(mic);

        AudioInput input;
        input.inputDevice = mic->description();
        QSignalSpy active(&input, &AudioInput::activeChanged);
        QSignalSpy log(&input, &AudioInput::logMessage);
        QSignalSpy level(&input, &AudioInput::level);

        input.start();
        input.start();
        QVERIFY(input.isActive());
        QCOMPARE(active.count(), 1);
        QCOMPARE(log.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(level.count() > 5, 15000);
        QCOMPARE(streamsOn(mic->name()).size(), 1);

        input.toggle();
        QVERIFY(!input.isActive());
        QCOMPARE(active.count(), 2);
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Line-in / MIC OFF"));
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(mic->name()).size(), 0, 10000);

        // A second stop releases nothing more and says nothing.
        input.stop();
        QCOMPARE(active.count(), 2);
        QCOMPARE(log.count(), 2);

        input.toggle();
        QVERIFY(input.isActive());
        QCOMPARE(active.count(), 3);
        QCOMPARE(active.last().at(0).toBool(), true);
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(mic->name()).size(), 1, 10000);
        const int before = int(level.count());
        QTRY_VERIFY_WITH_TIMEOUT(level.count() > before + 5, 15000);
        input.toggle();
        QVERIFY(!input.isActive());
        QCOMPARE(active.count(), 4);
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(mic->name()).size(), 0, 10000);
    }

    // A busy program that does not get to its event loop for a while has
    // not lost its input.
    void heldUpEventLoopKeepsInput()
    {
        auto mic = toneMic();
        QVERIFY(mic);

        AudioInput input;
        input.inputDevice = mic->description();
        QSignalSpy log(&input, &AudioInput::logMessage);
        QSignalSpy level(&input, &AudioInput::level);
        input.start();
        QVERIFY(input.isActive());
        QTRY_VERIFY_WITH_TIMEOUT(level.count() > 5, 15000);

        QThread::sleep(std::chrono::seconds(5));
        const int before = int(level.count());
        QTRY_VERIFY_WITH_TIMEOUT(level.count() > before + 50, 20000);
        QVERIFY(input.isActive());
        QCOMPARE(log.count(), 1);

        // The held-up capture came in one burst; switching off drops what the
        // monitor still holds instead of waiting for it to play out.
        QElapsedTimer stopping;
        stopping.start();
        input.stop();
        QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
        QVERIFY(!input.isActive());
    }

    // Descriptions that match nothing fall back to the defaults.
    void unmatchedDescription()
    {
        auto mic = toneMic();
        QVERIFY(mic);
        pactl({QStringLiteral("set-default-source"), mic->name()});
        QTRY_COMPARE_WITH_TIMEOUT(QMediaDevices::defaultAudioInput().description(), mic->description(), 10000);

        AudioInput input;
        input.inputDevice = QStringLiteral("No Such Microphone");
        input.outputDevice = QStringLiteral("No Such Speaker");
        QSignalSpy log(&input, &AudioInput::logMessage);
        LevelLog levels;
        connect(&input, &AudioInput::level, this,
                [&](double l, double r) { levels.values.append({l, r}); });

        input.start();
        QVERIFY(input.isActive());
        QCOMPARE(log.at(0).at(0).toString(), QStringLiteral("Line-in / MIC ON (%1)").arg(mic->description()));
        QCOMPARE(streamsOn(mic->name()).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(levels.maxLeft() > 0.05, 15000);
        QVERIFY2(qAbs(AudioLevels::toDbfs(levels.maxLeft()) + 20.0) < 1.0,
                 qPrintable(QString::number(levels.maxLeft())));
        // The monitor plays on the default output, the shared null sink;
        // what is heard there is every test's, so the stream is looked for.
        QTRY_COMPARE_WITH_TIMEOUT(ownStreamsOn(QStringLiteral("ol_null")), 1, 10000);
        input.stop();
    }

    // The server ends the capture stream, as when the device goes away
    // under it: the input notices, says so and switches off.
    void captureStreamEnds()
    {
        auto mic = toneMic();
        QVERIFY(mic);

        AudioInput input;
        input.inputDevice = mic->description();
        QSignalSpy active(&input, &AudioInput::activeChanged);
        QSignalSpy log(&input, &AudioInput::logMessage);
        QSignalSpy level(&input, &AudioInput::level);
        input.start();
        QVERIFY(input.isActive());
        QTRY_VERIFY_WITH_TIMEOUT(level.count() > 5, 15000);

        const QStringList streams = streamsOn(mic->name());
        QCOMPARE(streams.size(), 1);
        QByteArray out;
        QString err;
        QVERIFY2(AudioFixtures::run(QStringLiteral("pacmd"), {QStringLiteral("kill-source-output"), streams.first()},
                                    &out, &err, 20000),
                 qPrintable(err));

        QTRY_VERIFY_WITH_TIMEOUT(!input.isActive(), 20000);
        QCOMPARE(active.count(), 2);
        QCOMPARE(active.last().at(0).toBool(), false);
        QStringList texts;
        for (const QList<QVariant>& args : std::as_const(log))
            texts << args.at(0).toString();
        QCOMPARE(texts.mid(1), QStringList({QStringLiteral("Line-in: input device lost (%1)").arg(mic->description()),
                                            QStringLiteral("Line-in / MIC OFF")}));

        // It can be switched on again on the same device.
        input.start();
        QVERIFY(input.isActive());
        const int before = int(level.count());
        QTRY_VERIFY_WITH_TIMEOUT(level.count() > before + 5, 15000);
        input.stop();
    }

    // The device itself goes away while capturing. The sound server moves
    // the capture to its default source, so the input carries on from there
    // or, where the stream ends instead, switches off with a log line.
    void deviceRemoved()
    {
        auto mic = toneMic();
        QVERIFY(mic);

        // Monitor onto a sink of its own, so that the default source (the
        // null sink's monitor) does not hear the input's own output.
        bool ok = false;
        const QString sinkModule =
            pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                   QStringLiteral("sink_name=ol_test_monitor_out"),
                   QStringLiteral("sink_properties=device.description=Test-Monitor-Output")},
                  &ok);
        QVERIFY(ok);
        const auto unloadSink = qScopeGuard([&] { pactl({QStringLiteral("unload-module"), sinkModule}); });
        QTRY_VERIFY_WITH_TIMEOUT(listed(QMediaDevices::audioOutputs(), QStringLiteral("Test-Monitor-Output")), 10000);

        AudioInput input;
        input.inputDevice = mic->description();
        input.outputDevice = QStringLiteral("Test-Monitor-Output");
        QSignalSpy active(&input, &AudioInput::activeChanged);
        QSignalSpy log(&input, &AudioInput::logMessage);
        QSignalSpy level(&input, &AudioInput::level);
        input.start();
        QVERIFY(input.isActive());
        QTRY_VERIFY_WITH_TIMEOUT(level.count() > 5, 15000);

        mic->unload();
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(mic->name()).size(), 0, 10000);

        // Levels keep coming from the default source, or the input has
        // switched itself off and said why.
        const int before = int(level.count());
        QTRY_VERIFY_WITH_TIMEOUT(!input.isActive() || level.count() > before + 20, 20000);
        if (!input.isActive()) {
            QCOMPARE(log.at(1).at(0).toString(),
                     QStringLiteral("Line-in: input device lost (%1)").arg(mic->description()));
        } else {
            QCOMPARE(streamsOn(QStringLiteral("ol_null.monitor")).size(), 1);
        }
        input.stop();
        QVERIFY(!input.isActive());
        QCOMPARE(active.count(), 2);
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Line-in / MIC OFF"));
        QTRY_COMPARE_WITH_TIMEOUT(streamsOn(QStringLiteral("ol_null.monitor")).size(), 0, 10000);
    }
};

OL_TEST_MAIN(TestAudioInput)
#include "tst_audioinput.moc"
