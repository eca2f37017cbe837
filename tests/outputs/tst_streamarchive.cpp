// ctest: timeout 600
#include "audiofixtures.h"
#include "olmain.h"
#include "outputs/streamarchive.h"
#include "tonesource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>

#include <sys/resource.h>

#include <csignal>
#include <memory>
#include <utility>

namespace {

ArchiveConfig mixConfig(const QString& folder)
{
    ArchiveConfig c;
    c.folder = folder;
    c.internalMix = true;
    c.splitMinutes = 0;
    return c;
}

QString logText(const QSignalSpy& spy)
{
    QStringList lines;
    for (const QList<QVariant>& args : spy)
        lines << args.at(0).toString();
    return lines.join(QLatin1Char('\n'));
}

// An archive of the engine's mix under a literal name, fed a tone by a pump.
struct MixRecorder
{
    MixRecorder(const QString& folder, const QString& pattern, double speed = 1.0)
        : tone(44100, 2)
        , pump(&tone, 40, speed)
    {
        ArchiveConfig c = mixConfig(folder);
        c.namePattern = pattern;
        archive.setConfig(c);
        QObject::connect(&pump, &TonePump::buffer, &archive, &StreamArchive::pushAudio);
    }

    StreamArchive archive;
    QSignalSpy rec{&archive, &StreamArchive::recordingChanged};
    QSignalSpy log{&archive, &StreamArchive::logMessage};
    ToneSource tone;
    TonePump pump;
};

} // namespace

class TestStreamArchive : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (!StreamArchive::encoderAvailable())
            QSKIP("ffmpeg is not installed");
    }

    void settingsRoundTrip()
    {
        const ArchiveConfig d = StreamArchive::configFromSettings();
        QCOMPARE(d.namePattern, QStringLiteral("'Orchidlantern_'yyyy-MM-dd_HH-mm-ss"));
        QCOMPARE(d.bitrate, 128);
        QCOMPARE(d.sampleRate, 44100);
        QCOMPARE(d.channels, 2);
        QCOMPARE(d.splitMinutes, 60);
        QVERIFY(d.folder.isEmpty() && !d.internalMix && d.inputDevice.isEmpty());

        ArchiveConfig c;
        c.folder = QStringLiteral("/rec");
        c.namePattern = QStringLiteral("'x'HH");
        c.bitrate = 64;
        c.sampleRate = 22050;
        c.channels = 1;
        c.splitMinutes = 5;
        c.stopAfterMs = 123000;
        c.internalMix = true;
        c.inputDevice = QStringLiteral("Mic");
        StreamArchive::saveConfig(c);
        QVERIFY(!QSettings().contains(QStringLiteral("archive/stopAfterMs")));
        const ArchiveConfig r = StreamArchive::configFromSettings();
        QCOMPARE(r.folder, c.folder);
        QCOMPARE(r.namePattern, c.namePattern);
        QCOMPARE(r.bitrate, 64);
        QCOMPARE(r.sampleRate, 22050);
        QCOMPARE(r.channels, 1);
        QCOMPARE(r.splitMinutes, 5);
        QCOMPARE(r.stopAfterMs, 0);
        QCOMPARE(r.internalMix, true);
        QCOMPARE(r.inputDevice, c.inputDevice);
        QSettings().remove(QStringLiteral("archive"));
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("expected");
        QTest::newRow("default") << "/rec" << "'Orchidlantern_'yyyy-MM-dd_HH-mm-ss"
                                 << "/rec/Orchidlantern_2026-12-08_14-05-09.mp3";
        QTest::newRow("blank pattern") << "/rec" << "   " << "/rec/Orchidlantern_2026-12-08_14-05-09.mp3";
        QTest::newRow("literal") << "/tmp/v" << "'ol_voicetrack'" << "/tmp/v/ol_voicetrack.mp3";
        QTest::newRow("trimmed") << "/rec/" << "  'show-'HHmm  " << "/rec/show-1405.mp3";
    }

    void fileNames()
    {
        QFETCH(QString, folder);
        QFETCH(QString, pattern);
        QFETCH(QString, expected);
        ArchiveConfig c;
        c.folder = folder;
        c.namePattern = pattern;
        const QDateTime when(QDate(2026, 12, 8), QTime(14, 5, 9));
        QCOMPARE(StreamArchive::buildFileName(c, when), expected);
    }

    void fileNameInMusicFolder()
    {
        ArchiveConfig c;
        c.namePattern = QStringLiteral("'a'");
        QCOMPARE(StreamArchive::buildFileName(c, QDateTime::currentDateTime()),
                 QStandardPaths::writableLocation(QStandardPaths::MusicLocation) + QStringLiteral("/a.mp3"));
    }

    void shouldSplit_data()
    {
        QTest::addColumn<int>("minutes");
        QTest::addColumn<qint64>("ageMs");
        QTest::addColumn<bool>("split");
        QTest::newRow("never") << 0 << qint64(10'000'000) << false;
        QTest::newRow("negative never") << -5 << qint64(10'000'000) << false;
        QTest::newRow("one minute, just short") << 1 << qint64(59'999) << false;
        QTest::newRow("one minute, reached") << 1 << qint64(60'000) << true;
        QTest::newRow("an hour") << 60 << qint64(3'600'000) << true;
    }

    void shouldSplit()
    {
        QFETCH(int, minutes);
        QFETCH(qint64, ageMs);
        QFETCH(bool, split);
        ArchiveConfig c;
        c.splitMinutes = minutes;
        QCOMPARE(StreamArchive::shouldSplit(c, ageMs), split);
    }

    void idleAndRefusedStarts()
    {
        StreamArchive archive;
        QSignalSpy log(&archive, &StreamArchive::logMessage);
        QSignalSpy rec(&archive, &StreamArchive::recordingChanged);
        archive.stop();
        QCOMPARE(log.count(), 0);
        QCOMPARE(archive.recordedMs(), 0);

        // A folder below a plain file cannot be made.
        const QString blocker = testHome().scratch(QStringLiteral("blocked")) + QStringLiteral("/file");
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        ArchiveConfig c = mixConfig(blocker + QStringLiteral("/sub"));
        c.namePattern = QStringLiteral("'x'");
        archive.setConfig(c);
        archive.start();
        QVERIFY(log.last().at(0).toString().startsWith(QStringLiteral("Stream Archive: cannot write ") + blocker +
                                                       QStringLiteral("/sub/x.mp3 (")));
        QVERIFY(!archive.isRecording());
        QCOMPARE(rec.count(), 0);
    }

    // Engine buffers at 48 kHz float are recorded at the configured rate;
    // the file splits at the first block a minute after it was opened, and
    // each file decodes on its own with the tone at its pitch.
    void recordsAndSplits()
    {
        const QString folder = testHome().scratch(QStringLiteral("split"));
        ArchiveConfig c = mixConfig(folder);
        c.splitMinutes = 1;
        c.namePattern = QStringLiteral("'rec_'HH-mm-ss-zzz");
        StreamArchive archive;
        archive.setConfig(c);
        QSignalSpy log(&archive, &StreamArchive::logMessage);
        QSignalSpy rec(&archive, &StreamArchive::recordingChanged);
        QSignalSpy files(&archive, &StreamArchive::fileStarted);
        ToneSource tone(48000, 2, QAudioFormat::Float, 1000.0, 0.4);
        TonePump pump(&tone, 40, 1.0);
        connect(&pump, &TonePump::buffer, &archive, &StreamArchive::pushAudio);

        // Buffers are taken only while recording.
        pump.start();
        QTest::qWait(200);
        archive.start();
        QVERIFY(archive.isRecording());
        QCOMPARE(rec.count(), 1);
        QCOMPARE(files.count(), 1);
        const QString firstFile = files.first().at(0).toString();
        QCOMPARE(archive.currentFile(), firstFile);
        QCOMPARE(log.last().at(0).toString(),
                 QStringLiteral("Stream Archive: recording to ") + QFileInfo(firstFile).fileName());
        archive.start(); // no second start while recording
        QCOMPARE(files.count(), 1);

        QTRY_COMPARE_WITH_TIMEOUT(files.count(), 2, 120000);
        QTRY_VERIFY_WITH_TIMEOUT(archive.recordedMs() > 65000, 30000);
        const QString secondFile = files.last().at(0).toString();
        archive.stop();
        pump.stop();
        const double recordedSeconds = archive.recordedMs() / 1000.0; // it goes on counting
        QVERIFY(!archive.isRecording());
        // The last file is finished in the background; the signal waits for it.
        QTRY_COMPARE_WITH_TIMEOUT(rec.last().at(0).toBool(), false, 10000);
        QCOMPARE(log.last().at(0).toString(),
                 QStringLiteral("Stream Archive: stopped - ") + QFileInfo(secondFile).fileName());

        const QRegularExpression name(QStringLiteral("^rec_\\d{2}-\\d{2}-\\d{2}-\\d{3}\\.mp3$"));
        QStringList found = QDir(folder).entryList(QDir::Files, QDir::Name);
        QCOMPARE(found.size(), 2);
        for (const QString& f : std::as_const(found))
            QVERIFY2(name.match(f).hasMatch(), qPrintable(f));

        const double firstSeconds = AudioFixtures::probe(firstFile, QStringLiteral("format=duration")).toDouble();
        const double secondSeconds = AudioFixtures::probe(secondFile, QStringLiteral("format=duration")).toDouble();
        QVERIFY2(firstSeconds > 58.0 && firstSeconds < 63.0, qPrintable(QString::number(firstSeconds)));
        QVERIFY2(secondSeconds > 3.0 && secondSeconds < 20.0, qPrintable(QString::number(secondSeconds)));
        for (const QString& f : {firstFile, secondFile}) {
            QCOMPARE(AudioFixtures::probe(f, QStringLiteral("stream=sample_rate")), QStringLiteral("44100"));
            QCOMPARE(AudioFixtures::probe(f, QStringLiteral("stream=channels")), QStringLiteral("2"));
            QString error;
            QVERIFY2(AudioFixtures::ffmpeg({QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-xerror"),
                                            QStringLiteral("-i"), f, QStringLiteral("-f"), QStringLiteral("null"),
                                            QStringLiteral("-")},
                                           &error),
                     qPrintable(error));
        }
        // The files together hold about as much audio as was recorded.
        QVERIFY2(qAbs(firstSeconds + secondSeconds - recordedSeconds) < 3.0,
                 qPrintable(QStringLiteral("%1 + %2 vs %3").arg(firstSeconds).arg(secondSeconds).arg(recordedSeconds)));
    }

    void stopsAfterTheSetTime()
    {
        const QString folder = testHome().scratch(QStringLiteral("stopafter"));
        ArchiveConfig c = mixConfig(folder);
        c.stopAfterMs = 3000;
        c.namePattern = QStringLiteral("'timed'");
        StreamArchive archive;
        archive.setConfig(c);
        QSignalSpy rec(&archive, &StreamArchive::recordingChanged);
        QSignalSpy log(&archive, &StreamArchive::logMessage);
        ToneSource tone(44100, 1, QAudioFormat::Int16, 440.0, 0.3);
        TonePump pump(&tone, 40, 1.0);
        connect(&pump, &TonePump::buffer, &archive, &StreamArchive::pushAudio);
        archive.start();
        pump.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.last().at(0).toBool(), false, 30000);
        QVERIFY(archive.recordedMs() >= 3000);
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Stream Archive: stopped - timed.mp3"));
        const double seconds =
            AudioFixtures::probe(folder + QStringLiteral("/timed.mp3"), QStringLiteral("format=duration")).toDouble();
        QVERIFY2(seconds > 2.0 && seconds < 5.0, qPrintable(QString::number(seconds)));
        // recordedMs goes on counting from the last start.
        const qint64 at = archive.recordedMs();
        QTRY_VERIFY_WITH_TIMEOUT(archive.recordedMs() > at + 100, 5000);
        pump.stop();

        // A limit that falls on a split boundary ends the recording there,
        // with no empty part opened after it, even when the first file took
        // long to open (half a minute here).
        c.splitMinutes = 1;
        c.stopAfterMs = 120000;
        c.namePattern = QStringLiteral("'boundary'");
        // Shared: the archive, made earlier, outlives a plain local.
        const QDateTime t0 = QDateTime::currentDateTime();
        auto now = std::make_shared<QDateTime>(t0);
        archive.setClock([now, opened = std::make_shared<bool>(false)] {
            const QDateTime t = *now;
            if (!std::exchange(*opened, true))
                *now = now->addSecs(30);
            return t;
        });
        archive.setConfig(c);
        archive.start();
        for (int s : {60, 120, 150}) {
            *now = t0.addSecs(s);
            archive.pushAudio(tone.next(4410));
        }
        QVERIFY(!archive.isRecording());
        QTRY_COMPARE_WITH_TIMEOUT(rec.last().at(0).toBool(), false, 10000);
        QCOMPARE(QDir(folder).entryList({QStringLiteral("boundary*")}, QDir::Files),
                 (QStringList{QStringLiteral("boundary-2.mp3"), QStringLiteral("boundary.mp3")}));
    }

    // A file that cannot grow (a full disk; here a file-size limit) pauses
    // the recording with the cause named; it goes on in a new file once
    // there is room, the part written so far kept.
    void noRoomPausesUntilThereIsRoom()
    {
        const QString folder = testHome().scratch(QStringLiteral("full"));
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto restore = qScopeGuard([&saved] { setrlimit(RLIMIT_FSIZE, &saved); });
        rlimit small = saved;
        small.rlim_cur = 32768;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        MixRecorder r(folder, QStringLiteral("'disk'"), 2.0);
        auto& [archive, rec, log, tone, pump] = r;
        archive.start();
        pump.start();
        const QString paused =
            QStringLiteral("Stream Archive: write error on disk.mp3 (File too large) - recording paused until there is room");
        QTRY_VERIFY2_WITH_TIMEOUT(logText(log).contains(paused), qPrintable(logText(log)), 30000);
        QVERIFY(archive.isRecording());
        QCOMPARE(QFileInfo(folder + QStringLiteral("/disk.mp3")).size(), 32768);

        QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
        QTRY_VERIFY_WITH_TIMEOUT(logText(log).contains(QStringLiteral("Stream Archive: recording resumed")), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(folder + QStringLiteral("/disk-2.mp3")).size() > 65536, 30000);
        QCOMPARE(logText(log).count(paused), 1);
        QCOMPARE(rec.count(), 1);
        archive.stop();
        QTRY_COMPARE_WITH_TIMEOUT(rec.last().at(0).toBool(), false, 10000);
    }

    // A folder that went away ends the recording with a line in the log
    // instead of keeping REC lit while nothing is written.
    void removedFolderEndsTheRecording()
    {
        const QString folder = testHome().scratch(QStringLiteral("gone")) + QStringLiteral("/rec");
        QVERIFY(QDir().mkpath(folder));
        MixRecorder r(folder, QStringLiteral("'disk'"));
        auto& [archive, rec, log, tone, pump] = r;
        archive.start();
        QVERIFY(archive.isRecording());
        pump.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(folder + QStringLiteral("/disk.mp3")).size() > 0, 20000);
        QVERIFY(QDir(folder).removeRecursively());
        QTRY_VERIFY_WITH_TIMEOUT(!archive.isRecording(), 20000);
        QCOMPARE(rec.last().at(0).toBool(), false);
        const QString text = logText(log);
        QVERIFY2(text.contains(QStringLiteral("Stream Archive: write error on disk.mp3 (file was removed) - recording ended")),
                 qPrintable(text));
        QCOMPARE(log.last().at(0).toString(), QStringLiteral("Stream Archive: stopped - disk.mp3"));
    }

    // No recording replaces an earlier one: a split shorter than what the
    // name tells apart, a literal name, and a stop and start within one
    // second each give the new file a counter.
    void existingFilesAreKept()
    {
        const QString folder = testHome().scratch(QStringLiteral("kept"));
        QDateTime now(QDate(2026, 3, 2), QTime(10, 15, 0));
        StreamArchive archive;
        archive.setClock([&now] { return now; });
        QSignalSpy files(&archive, &StreamArchive::fileStarted);
        QSignalSpy rec(&archive, &StreamArchive::recordingChanged);
        ToneSource tone(44100, 2);
        TonePump pump(&tone, 40, 1.0);
        connect(&pump, &TonePump::buffer, &archive, &StreamArchive::pushAudio);
        pump.start();
        const auto recordAWhile = [&] {
            const qint64 until = pump.buffersSent() + 30;
            return QTest::qWaitFor([&] { return pump.buffersSent() >= until; }, 20000);
        };

        ArchiveConfig c = mixConfig(folder);
        c.namePattern = QStringLiteral("'x'HH");
        c.splitMinutes = 5;
        archive.setConfig(c);
        archive.start();
        for (int split = 0; split < 2; ++split) {
            QVERIFY(recordAWhile());
            now = now.addSecs(5 * 60);
        }
        QVERIFY(recordAWhile());
        archive.stop();

        c.namePattern = QStringLiteral("'show'");
        c.splitMinutes = 0;
        archive.setConfig(c);
        c.namePattern.clear(); // the default, down to the second
        for (const ArchiveConfig& config : {archive.config(), archive.config(), c, c}) {
            archive.setConfig(config);
            archive.start();
            QVERIFY(recordAWhile());
            archive.stop();
        }
        QTRY_COMPARE_WITH_TIMEOUT(rec.last().at(0).toBool(), false, 10000);

        QStringList started;
        for (const QList<QVariant>& args : std::as_const(files))
            started << QFileInfo(args.at(0).toString()).fileName();
        const QStringList expected{"x10.mp3", "x10-2.mp3", "x10-3.mp3", "show.mp3", "show-2.mp3",
                                   "Orchidlantern_2026-03-02_10-25-00.mp3", "Orchidlantern_2026-03-02_10-25-00-2.mp3"};
        QCOMPARE(started, expected);
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), expected.size());
        for (const QString& name : expected) {
            const double seconds =
                AudioFixtures::probe(folder + QLatin1Char('/') + name, QStringLiteral("format=duration")).toDouble();
            QVERIFY2(seconds > 0.5, qPrintable(name + QStringLiteral(": ") + QString::number(seconds)));
        }
    }

    // An encoder that stops answering is replaced and the file goes on;
    // the pause around it is recorded as silence, at its length.
    void hungEncoderIsReplaced()
    {
        const QString folder = testHome().scratch(QStringLiteral("replaced"));
        const QString path = folder + QStringLiteral("/take.mp3");
        MixRecorder r(folder, QStringLiteral("'take'"));
        auto& [archive, rec, log, tone, pump] = r;
        archive.start();
        pump.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > 16000, 20000);
        pump.stop();
        const QList<qint64> hung = ffmpegChildren();
        QCOMPARE(hung.size(), 1);
        ::kill(pid_t(hung.first()), SIGSTOP);
        QTRY_VERIFY_WITH_TIMEOUT(logText(log).contains(QStringLiteral("Stream Archive: encoder stopped responding, restarting it")),
                                 20000);
        const qint64 size = QFileInfo(path).size();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > size + 16000 * 2, 20000);
        QVERIFY(archive.isRecording());
        QCOMPARE(rec.count(), 1);
        archive.stop();
        QTRY_COMPARE_WITH_TIMEOUT(rec.last().at(0).toBool(), false, 10000);
    }

    // An encoder that hangs again at once ends the recording rather than
    // be restarted for ever.
    void hungEncoderEndsTheRecording()
    {
        const QString dir = testHome().scratch(QStringLiteral("hung"));
        const QString script = dir + QStringLiteral("/ffmpeg");
        {
            QFile f(script);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("#!/bin/sh\nexec sleep 120\n");
        }
        QFile::setPermissions(script, QFile::permissions(script) | QFileDevice::ExeOwner);
        const QByteArray saved = qgetenv("ORCHIDLANTERN_FFMPEG");
        qputenv("ORCHIDLANTERN_FFMPEG", script.toLocal8Bit());

        MixRecorder r(dir, QStringLiteral("'hung'"), 4.0);
        auto& [archive, rec, log, tone, pump] = r;
        archive.start();
        const bool started = archive.isRecording();
        pump.start();
        QTRY_VERIFY_WITH_TIMEOUT(!archive.isRecording(), 60000);
        qputenv("ORCHIDLANTERN_FFMPEG", saved);
        QVERIFY(started);
        QVERIFY2(logText(log).contains(QStringLiteral("Stream Archive: the MP3 encoder keeps failing - recording ended")),
                 qPrintable(logText(log)));
    }
};

OL_TEST_MAIN(TestStreamArchive)
#include "tst_streamarchive.moc"
