// ctest: serial
#include "audiofixtures.h"
#include "automation/dtmfmonitor.h"
#include "olmain.h"
#include "pipemic.h"

#include <QAudioDevice>
#include <QFile>
#include <QMediaDevices>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QString kKeys = QStringLiteral("159D*0#A");

// The keys as sox makes them, 100 ms each with 100 ms between, after half a
// second of silence.
bool keysWav(const QString& dir, const QString& path, int rate)
{
    static const double low[4] = {697, 770, 852, 941};
    static const double high[4] = {1209, 1336, 1477, 1633};
    QStringList parts;
    for (int i = 0; i < kKeys.size(); ++i) {
        const int k = QStringLiteral("123A456B789C*0#D").indexOf(kKeys.at(i));
        parts << QStringLiteral("%1/key%2.wav").arg(dir).arg(i);
        if (!AudioFixtures::run(QStringLiteral("sox"), {"-n", "-r", QString::number(rate), "-c", "1", "-b", "16", parts.last(),
                                                        "synth", "0.1", "sine", QString::number(low[k / 4]), "sine",
                                                        QString::number(high[k % 4]), "gain", "-n", "-6", "pad", "0", "0.1"}))
            return false;
    }
    return AudioFixtures::run(QStringLiteral("sox"), QStringList{"-n", "-r", QString::number(rate), "-c", "1", "-b", "16",
                                                                 dir + "/lead.wav", "trim", "0", "0.5"})
        && AudioFixtures::run(QStringLiteral("sox"), QStringList{dir + "/lead.wav"} + parts + QStringList{path, "pad", "0", "1"});
}

} // namespace

class TestDtmfMonitor : public QObject
{
    Q_OBJECT

    QString dir;
    QString wav;
    QStringList log;
    QString heard;

    void watch(DtmfMonitor& monitor)
    {
        log.clear();
        heard.clear();
        connect(&monitor, &DtmfMonitor::logMessage, this, [this](const QString& t) { log << t; });
        connect(&monitor, &DtmfMonitor::digitDetected, this, [this](char c) { heard += QLatin1Char(c); });
    }

private slots:
    void initTestCase()
    {
        dir = testHome().scratch(QStringLiteral("dtmf"));
        wav = dir + QStringLiteral("/keys.wav");
        QVERIFY(keysWav(dir, wav, 48000));
    }

    void init() { QSettings().clear(); }

    void withoutAudio()
    {
        DtmfMonitor monitor;
        watch(monitor);
        for (const char* off : {"off", "Mic", "URL", ""}) {
            QSettings().setValue(QStringLiteral("dtmf/source"), QString::fromLatin1(off));
            QCOMPARE(DtmfMonitor::sourceFromSettings(), DtmfMonitor::Off);
            monitor.start();
        }
        QSettings().setValue(QStringLiteral("dtmf/source"), QStringLiteral("url"));
        QSettings().setValue(QStringLiteral("dtmf/url"), QStringLiteral("   "));
        monitor.start();
        monitor.stop();
        QVERIFY(!monitor.isRunning());
        QCOMPARE(log, QStringList{QStringLiteral("DTMF: no stream URL configured")});
        if (QMediaDevices::audioInputs().isEmpty()) {
            QSettings().setValue(QStringLiteral("dtmf/source"), QStringLiteral("mic"));
            monitor.start();
            QCOMPARE(log.last(), QStringLiteral("DTMF: no input device available"));
        }

        // Captured bytes cut anywhere, also inside a frame, give the digits
        // that the whole capture gives.
        QAudioFormat format;
        format.setSampleFormat(QAudioFormat::Float);
        format.setSampleRate(48000);
        format.setChannelCount(2);
        monitor.detector().setSampleRate(48000);
        QByteArray bytes;
        for (const QChar key : kKeys) {
            for (const double x : DtmfDetector::generateTone(key.toLatin1(), 48000, 100, 0.5)
                     + QList<double>(4800, 0.0)) {
                const float pair[2] = {float(x), float(x)};
                bytes.append(reinterpret_cast<const char*>(pair), sizeof pair);
            }
        }
        for (qsizetype at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 7 % 4093 + 1)
            monitor.feedInput(bytes.mid(at, piece), format);
        QCOMPARE(heard, kKeys);
        QCOMPARE(monitor.detector().sequence, kKeys);
    }

    void microphoneAndLineIn()
    {
        PipeMic mic(QStringLiteral("ol_dtmf_mic"), QStringLiteral("DTMF-Test-Microphone"), 48000, 1);
        QVERIFY(mic.load(dir));
        QVERIFY(mic.waitUntilListed());
        QSettings s;
        s.setValue(QStringLiteral("dtmf/source"), QStringLiteral("mic"));
        s.setValue(QStringLiteral("audio/micDevice"), mic.description());
        s.setValue(QStringLiteral("dtmf/minLevel"), 10);

        DtmfMonitor monitor;
        watch(monitor);
        QString sequence;
        connect(&monitor, &DtmfMonitor::sequenceReceived, this, [&](const QString& seq) { sequence = seq; });
        monitor.detector().sequence = QStringLiteral("old");
        monitor.start();
        monitor.start();
        QVERIFY(monitor.isRunning());
        QCOMPARE(log, QStringList{QStringLiteral("DTMF: listening on the microphone input")});
        QCOMPARE(monitor.detector().minLevel, 0.1);
        QCOMPARE(monitor.detector().sampleRate(), 44100);
        QVERIFY(monitor.detector().sequence.isEmpty());
        QVERIFY(mic.feed(wav));
        QTRY_COMPARE_WITH_TIMEOUT(sequence, kKeys, 20000);
        QCOMPARE(heard, kKeys);

        monitor.stop();
        monitor.stop();
        QCOMPARE(log.mid(1), QStringList{QStringLiteral("DTMF: stopped listening")});
        QCOMPARE(monitor.detector().sequence, kKeys);
        s.setValue(QStringLiteral("dtmf/source"), QStringLiteral("line"));
        s.setValue(QStringLiteral("audio/lineInDevice"), mic.description());
        monitor.start();
        QCOMPARE(log.last(), QStringLiteral("DTMF: listening on the line-in input"));
        QVERIFY(monitor.detector().sequence.isEmpty());
        heard.clear();
        QVERIFY(mic.feed(wav));
        QTRY_COMPARE_WITH_TIMEOUT(heard, kKeys, 20000);
    }

    // A stream that ends, is refused, then sends no audio without closing:
    // each time it is opened again after a longer pause, each drop and the
    // return are told, and its tones are heard again.
    void networkStreamComesBack()
    {
        const QString mp3 = dir + QStringLiteral("/keys.mp3");
        QVERIFY(AudioFixtures::ffmpeg({"-i", wav, "-c:a", "libmp3lame", "-b:a", "128k", mp3}));
        QFile file(mp3);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray body = file.readAll();
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const quint16 port = server.serverPort();
        bool holdOpen = false;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, body, holdOpen] {
                if (!socket->readAll().contains("\r\n\r\n"))
                    return;
                socket->write("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n" + body);
                if (!holdOpen) {
                    socket->disconnectFromHost();
                    return;
                }
                // Then bytes that hold no audio, never ending.
                auto* filler = new QTimer(socket);
                connect(filler, &QTimer::timeout, socket, [socket] { socket->write(QByteArray(2048, '\0')); });
                filler->start(100);
            });
        });
        const QString url = QStringLiteral("http://127.0.0.1:%1/keys.mp3").arg(port);
        QSettings().setValue(QStringLiteral("dtmf/source"), QStringLiteral("url"));
        QSettings().setValue(QStringLiteral("dtmf/url"), QStringLiteral("  ") + url + QStringLiteral(" "));

        auto monitor = std::make_unique<DtmfMonitor>();
        watch(*monitor);
        monitor->start();
        QVERIFY(monitor->isRunning());
        QCOMPARE(log, QStringList{QStringLiteral("DTMF: listening on the network stream ") + url});
        QCOMPARE(monitor->detector().minLevel, 0.02);
        QTRY_COMPARE_WITH_TIMEOUT(heard, kKeys, 30000);
        QCOMPARE(monitor->detector().sampleRate(), 48000);

        // Ended: tried again, refused while the server is away, then back
        // but with no audio after its tones, and back once more.
        // The server changes as the monitor tells of each try, so that a
        // busy machine does not change the count of tries.
        const QStringList expected{QStringLiteral("DTMF: the network stream ended; trying again in 2 s"),
                                   QStringLiteral("DTMF: the network stream failed (Could not open file); trying again in 4 s"),
                                   QStringLiteral("DTMF: the network stream is back"),
                                   QStringLiteral("DTMF: the network stream sent no audio for 10 s; trying again in 8 s"),
                                   QStringLiteral("DTMF: the network stream is back")};
        connect(monitor.get(), &DtmfMonitor::logMessage, this, [&](const QString& line) {
            if (line == expected.at(0)) {
                server.close();
            } else if (line == expected.at(1)) {
                holdOpen = true;
                QVERIFY(server.listen(QHostAddress::LocalHost, port));
            } else if (line == expected.at(3)) {
                holdOpen = false;
            }
        });
        QTRY_VERIFY2_WITH_TIMEOUT(heard == kKeys + kKeys + kKeys, qPrintable(log.join(QLatin1Char('\n'))), 120000);
        QCOMPARE(log.mid(1, 5), expected);
        monitor.reset();
        QCOMPARE(log.last(), QStringLiteral("DTMF: stopped listening"));
    }
};

OL_TEST_MAIN(TestDtmfMonitor)
#include "tst_dtmfmonitor.moc"
