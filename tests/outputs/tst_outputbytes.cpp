// ctest: timeout 300
#include "engine/mp3encoder.h"
#include "icecastserver.h"
#include "olmain.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "outputs/pcmconverter.h"
#include "outputs/streamarchive.h"

#include <QAudioBuffer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>

#include <algorithm>

namespace {

// Float stereo noise at 48 kHz in 40 ms buffers, as a decoder hands them on;
// noise, so that no stretch of the MP3 repeats another.
QList<QAudioBuffer> noiseBuffers(int count)
{
    QAudioFormat format;
    format.setSampleRate(48000);
    format.setChannelCount(2);
    format.setSampleFormat(QAudioFormat::Float);
    QList<QAudioBuffer> buffers;
    QList<float> block(1920 * 2);
    quint32 state = 7;
    while (buffers.size() < count) {
        for (float& v : block)
            v = (float((state = state * 1664525u + 1013904223u) >> 8) / float(1 << 24) - 0.5f) * 0.6f;
        buffers << QAudioBuffer(QByteArray(reinterpret_cast<const char*>(block.constData()), 1920 * 8), format);
    }
    return buffers;
}

// What the blocking encoder makes of the same buffers at an output's format.
QByteArray blockingMp3(const QList<QAudioBuffer>& buffers, int rate)
{
    PcmConverter converter;
    converter.setTarget(rate, 2);
    Mp3Encoder encoder;
    if (!encoder.open(rate, 2, 128, Mp3Encoder::S16le))
        return {};
    QByteArray mp3;
    for (const QAudioBuffer& b : buffers)
        mp3 += encoder.encode(converter.convert(b));
    return mp3 + encoder.flush();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestOutputBytes : public QObject
{
    Q_OBJECT

private slots:
    // The same on-air buffers through the source client, the built-in server
    // and the archive, pushed faster than real time: each output's bytes are
    // the blocking encoder's for the same input. The archive's file is whole
    // when it reports the recording ended; live streams are closed, not
    // flushed, so their listeners miss only the tail that ffmpeg holds back.
    void everyOutputMatchesTheBlockingEncoder()
    {
        if (!Mp3Encoder::available())
            QSKIP("ffmpeg is not installed");
        IcecastServer ice;
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        const QString folder = testHome().scratch(QStringLiteral("bytes"));
        QSettings().setValue(QStringLiteral("server/enabled"), true);
        QSettings().setValue(QStringLiteral("server/port"), 0);

        BroadcastConfig bc;
        bc.host = QStringLiteral("127.0.0.1");
        bc.port = ice.port();
        bc.mount = QString::fromLatin1(IcecastServer::kMount);
        bc.password = QString::fromLatin1(IcecastServer::kSourcePassword);
        bc.internalMix = true;
        BroadcastService source;
        source.setConfig(bc);
        // The source client is fed from the moment it is on the air, ahead
        // of real time, until the end: any gap would go out as silence.
        const QList<QAudioBuffer> toSource = noiseBuffers(900);
        qsizetype fed = 0;
        QTimer feed;
        feed.setInterval(10);
        connect(&feed, &QTimer::timeout, &source, [&] {
            if (fed < toSource.size())
                source.pushAudio(toSource.at(fed++));
        });
        connect(&source, &BroadcastService::streamingChanged, &feed, [&](bool on) {
            if (on) {
                source.pushAudio(toSource.at(fed++));
                feed.start();
            }
        });
        source.start();
        QTRY_VERIFY_WITH_TIMEOUT(source.isStreaming(), 15000);
        BroadcastServer server;
        QVERIFY(server.start());
        ArchiveConfig ac;
        ac.folder = folder;
        ac.namePattern = QStringLiteral("'take'");
        ac.internalMix = true;
        ac.splitMinutes = 0;
        StreamArchive archive;
        archive.setConfig(ac);
        QByteArray fileAtStop;
        connect(&archive, &StreamArchive::recordingChanged, this, [&](bool on) {
            if (!on)
                fileAtStop = readFile(archive.currentFile());
        });

        QProcess fromIcecast;
        fromIcecast.start(QStringLiteral("curl"), {"-s", "-N", "-o", folder + "/icecast.mp3", ice.streamUrl()});
        QTRY_COMPARE_WITH_TIMEOUT(ice.mountStatus().value(QStringLiteral("listeners")).toInt(), 1, 15000);
        // The buffers follow the listener at once, as they do while a source
        // plays: a pause would go out as silence.
        QSignalSpy listeners(&server, &BroadcastServer::listenersChanged);
        QProcess fromServer;
        fromServer.start(QStringLiteral("curl"), {"-s", "-N", "-o", folder + "/server.mp3",
                                                  QStringLiteral("http://127.0.0.1:%1/").arg(server.port())});
        QVERIFY(listeners.wait(10000));
        QCOMPARE(server.listenerCount(), 1);
        archive.start();
        QVERIFY(archive.isRecording());

        const QList<QAudioBuffer> buffers = noiseBuffers(150);
        for (const QAudioBuffer& b : buffers) {
            server.pushAudio(b);
            archive.pushAudio(b);
            QTest::qWait(10);
        }
        archive.stop();
        QVERIFY(!archive.isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(!fileAtStop.isEmpty(), 10000);

        const QByteArray at44 = blockingMp3(buffers, 44100);
        const QByteArray at48 = blockingMp3(buffers, 48000);
        QVERIFY(at44.size() > 50000 && at48.size() > 50000);
        QCOMPARE(fileAtStop.size(), at44.size());
        QVERIFY(fileAtStop == at44);

        const QString served = folder + QStringLiteral("/server.mp3");
        QTRY_VERIFY_WITH_TIMEOUT(readFile(served).size() > at48.size() - 4096, 15000);
        const QByteArray heard = readFile(served);
        QVERIFY(heard == at48.left(heard.size()));

        // The relay may start its listener anywhere in the stream; what
        // follows the last buffer (silence) is not compared.
        const QByteArray sourced = blockingMp3(toSource, 44100);
        const QString relayedFile = folder + QStringLiteral("/icecast.mp3");
        QTRY_VERIFY_WITH_TIMEOUT(readFile(relayedFile).size() > sourced.size() / 2, 30000);
        const QByteArray relayed = readFile(relayedFile);
        const qsizetype at = sourced.indexOf(relayed.left(4096));
        QVERIFY2(at >= 0, qPrintable(QString::number(relayed.size())));
        const qsizetype compared = std::min(relayed.size(), sourced.size() - at - 16384);
        QVERIFY(compared > 4096);
        QVERIFY(relayed.left(compared) == sourced.mid(at, compared));

        fromIcecast.kill();
        fromServer.kill();
        fromIcecast.waitForFinished(5000);
        fromServer.waitForFinished(5000);
    }
};

OL_TEST_MAIN(TestOutputBytes)
#include "tst_outputbytes.moc"
