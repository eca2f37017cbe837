// ctest: serial
#include "audiofixtures.h"
#include "engine/mp3encoder.h"
#include "icecastserver.h"
#include "olmain.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "tonesource.h"

#include <QAudioDevice>
#include <QFile>
#include <QMediaDevices>
#include <QProcess>
#include <QSignalSpy>

namespace {

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Plays a tone on the default output (the null sink), whose monitor is
// the default input.
class Player
{
public:
    explicit Player(const QString& wav)
    {
        m_process.start(QStringLiteral("paplay"), {wav});
        m_process.waitForStarted(5000);
    }
    ~Player()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    QProcess m_process;
};

} // namespace

class TestOutputCapture : public QObject
{
    Q_OBJECT

private:
    QString m_tone;
    QString m_module;

private slots:
    void initTestCase()
    {
        if (!Mp3Encoder::available())
            QSKIP("ffmpeg is not installed");
        // The media framework does not offer monitor sources as inputs, so
        // the null sink's monitor is remapped into a source of its own.
        QByteArray out;
        QVERIFY(AudioFixtures::run(QStringLiteral("pactl"),
                                   {QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                                    QStringLiteral("master=ol_null.monitor"), QStringLiteral("source_name=ol_capture"),
                                    QStringLiteral("source_properties=device.description=Capture-Test")},
                                   &out));
        m_module = QString::fromUtf8(out).trimmed();
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(QMediaDevices::audioInputs().cbegin(), QMediaDevices::audioInputs().cend(),
                                             [](const QAudioDevice& d) {
                                                 return d.description() == QStringLiteral("Capture-Test");
                                             }),
                                 10000);
        m_tone = testHome().scratch(QStringLiteral("tone")) + QStringLiteral("/tone.wav");
        QVERIFY(AudioFixtures::tone(m_tone, 1000.0, -6.0, 30.0, 48000, 2));
    }

    void cleanupTestCase()
    {
        if (!m_module.isEmpty())
            AudioFixtures::run(QStringLiteral("pactl"), {QStringLiteral("unload-module"), m_module});
    }

    void archiveRecordsTheInputDevice()
    {
        const QString folder = testHome().scratch(QStringLiteral("capture"));
        ArchiveConfig c;
        c.folder = folder;
        c.namePattern = QStringLiteral("'input'");
        c.splitMinutes = 0;
        c.internalMix = false;
        c.inputDevice = QStringLiteral("Capture-Test");
        StreamArchive archive;
        archive.setConfig(c);
        QSignalSpy log(&archive, &StreamArchive::logMessage);
        QSignalSpy rec(&archive, &StreamArchive::recordingChanged);
        // Engine buffers are not recorded while the device is.
        ToneSource other(44100, 2, QAudioFormat::Int16, 3000.0, 0.5);
        TonePump pump(&other, 40, 1.0);
        connect(&pump, &TonePump::buffer, &archive, &StreamArchive::pushAudio);
        Player player(m_tone);
        archive.start();
        QVERIFY(archive.isRecording());
        pump.start();
        QTRY_VERIFY_WITH_TIMEOUT(archive.recordedMs() > 6000, 20000);
        archive.stop();
        QTRY_COMPARE_WITH_TIMEOUT(rec.last().at(0).toBool(), false, 10000);
        const QString file = folder + QStringLiteral("/input.mp3");
        QCOMPARE(AudioFixtures::probe(file, QStringLiteral("stream=sample_rate")), QStringLiteral("44100"));
        const double seconds = AudioFixtures::probe(file, QStringLiteral("format=duration")).toDouble();
        QVERIFY2(seconds > 2.0 && seconds < 9.0, qPrintable(QString::number(seconds)));
        const double f = ToneSource::frequencyIn(file, 44100);
        QVERIFY2(qAbs(f - 1000.0) < 5.0, qPrintable(QString::number(f)));
    }

    void sourceClientStreamsTheInputDevice()
    {
        IcecastServer ice;
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        BroadcastConfig c;
        c.host = QStringLiteral("127.0.0.1");
        c.port = ice.port();
        c.mount = QString::fromLatin1(IcecastServer::kMount);
        c.password = QString::fromLatin1(IcecastServer::kSourcePassword);
        c.internalMix = false;
        c.inputDevice = QStringLiteral("Capture-Test");
        BroadcastService svc;
        ToneSource other(44100, 2, QAudioFormat::Int16, 3000.0, 0.5);
        TonePump pump(&other, 40, 1.0);
        connect(&pump, &TonePump::buffer, &svc, &BroadcastService::pushAudio);
        Player player(m_tone);
        svc.setConfig(c);
        svc.start();
        QTRY_VERIFY_WITH_TIMEOUT(svc.isStreaming(), 15000);
        pump.start();

        const QString capture = testHome().scratch(QStringLiteral("listen")) + QStringLiteral("/in.mp3");
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-N"), QStringLiteral("-o"), capture,
                                            ice.streamUrl()});
        QTRY_VERIFY_WITH_TIMEOUT(readFile(capture).size() > 16000 * 4, 30000);
        curl.kill();
        curl.waitForFinished(5000);
        svc.stop();
        QCOMPARE(AudioFixtures::probe(capture, QStringLiteral("stream=sample_rate")), QStringLiteral("44100"));
        const double f = ToneSource::frequencyIn(capture, 44100);
        QVERIFY2(qAbs(f - 1000.0) < 5.0, qPrintable(QString::number(f)));
    }
};

OL_TEST_MAIN(TestOutputCapture)
#include "tst_outputcapture.moc"
