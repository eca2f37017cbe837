#include "engine/livemp3encoder.h"
#include "engine/mp3encoder.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtEndian>

#include <cmath>
#include <cstring>

namespace {

// A stretch of interleaved PCM: a 440 Hz sine at half scale in every channel.
QByteArray sinePcm(int sampleRate, int channels, double seconds, Mp3Encoder::InputFormat format)
{
    const qint64 frames = qint64(sampleRate * seconds);
    QByteArray pcm;
    pcm.reserve(frames * channels * (format == Mp3Encoder::S16le ? 2 : 4));
    for (qint64 i = 0; i < frames; ++i) {
        const double v = 0.5 * std::sin(2.0 * M_PI * 440.0 * double(i) / sampleRate);
        for (int c = 0; c < channels; ++c) {
            if (format == Mp3Encoder::S16le) {
                const qint16 s = qToLittleEndian(qint16(std::lround(v * 32767.0)));
                pcm.append(reinterpret_cast<const char*>(&s), 2);
            } else {
                const float f = float(v);
                quint32 bits;
                std::memcpy(&bits, &f, 4);
                bits = qToLittleEndian(bits);
                pcm.append(reinterpret_cast<const char*>(&bits), 4);
            }
        }
    }
    return pcm;
}

QString writeScript(const QString& path, const QString& body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    f.write("#!/bin/sh\n");
    f.write(body.toUtf8());
    f.write("\n");
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

bool processGone(const QString& pidFile)
{
    QFile f(pidFile);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray pid = f.readAll().trimmed();
    if (pid.isEmpty())
        return false;
    QFile status(QStringLiteral("/proc/") + QString::fromLatin1(pid) + QStringLiteral("/status"));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    // A zombie has already ended; only its entry is left.
    return status.readAll().contains("State:\tZ");
}

// Sets an environment variable for the lifetime of the guard.
struct EnvGuard
{
    QByteArray name;
    QByteArray old;
    bool had;
    EnvGuard(const char* n, const QByteArray& value) : name(n), old(qgetenv(n)), had(qEnvironmentVariableIsSet(n))
    {
        qputenv(n, value);
    }
    ~EnvGuard()
    {
        if (had)
            qputenv(name.constData(), old);
        else
            qunsetenv(name.constData());
    }
};

// A stand-in for ffmpeg that writes its pid and then runs `body`.
QString standIn(const QString& folder, const QString& body, QString* pidFile)
{
    const QString dir = testHome().scratch(folder);
    *pidFile = dir + QStringLiteral("/pid");
    QFile::remove(*pidFile);
    return writeScript(dir + QStringLiteral("/ffmpeg"), QStringLiteral("echo $$ > '%1'\n").arg(*pidFile) + body);
}

} // namespace

class TestMp3Encoder : public QObject
{
    Q_OBJECT

private slots:
    void encodesToValidMp3_data();
    void encodesToValidMp3();
    void passesTheCommandLine_data();
    void passesTheCommandLine();
    void writesWholeFramesOnly_data();
    void writesWholeFramesOnly();
    void closedEncoderDoesNothing();
    void closeKillsAHungEncoder();
    void flushKillsAHungEncoder();
    void encodeGivesUpOnAHungEncoder();
    void openFailsOnAFileThatDoesNotRun();
    void searchOrder();
    void packageFolders();
    void environmentOverride();
    void liveLetsGoOfAChildThatStops();
};

void TestMp3Encoder::encodesToValidMp3_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("smallCalls");
    QTest::newRow("44100 stereo s16 one call") << 44100 << 2 << int(Mp3Encoder::S16le) << false;
    QTest::newRow("48000 mono f32 one call") << 48000 << 1 << int(Mp3Encoder::F32le) << false;
    QTest::newRow("44100 stereo s16 live-sized calls") << 44100 << 2 << int(Mp3Encoder::S16le) << true;
    QTest::newRow("22050 stereo f32 live-sized calls") << 22050 << 2 << int(Mp3Encoder::F32le) << true;
}

void TestMp3Encoder::encodesToValidMp3()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(int, format);
    QFETCH(bool, smallCalls);
    const auto fmt = Mp3Encoder::InputFormat(format);
    const double seconds = 4.0;
    const QByteArray pcm = sinePcm(rate, channels, seconds, fmt);

    Mp3Encoder enc;
    QVERIFY(enc.open(rate, channels, 128, fmt));
    QVERIFY(enc.isOpen());
    QByteArray mp3;
    if (smallCalls) {
        // About 40 ms per call, as the live outputs feed it.
        const int step = (rate / 25) * channels * (fmt == Mp3Encoder::S16le ? 2 : 4);
        for (int off = 0; off < pcm.size(); off += step)
            mp3 += enc.encode(pcm.mid(off, step));
        mp3 += enc.drainOutput();
    } else {
        mp3 += enc.encode(pcm);
    }
    mp3 += enc.flush();
    QVERIFY(!enc.isOpen());
    QVERIFY(mp3.size() > 1000);

    const QString path = QDir(testHome().scratch()).filePath(QStringLiteral("enc-%1.mp3").arg(QTest::currentDataTag()).replace(' ', '_'));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(mp3);
    f.close();

    QCOMPARE(AudioFixtures::probe(path, QStringLiteral("format=format_name")), QStringLiteral("mp3"));
    QCOMPARE(AudioFixtures::probe(path, QStringLiteral("stream=sample_rate")).toInt(), rate);
    QCOMPARE(AudioFixtures::probe(path, QStringLiteral("stream=channels")).toInt(), channels);
    // A piped stream has no header telling the decoder to trim: it carries the
    // encoder's start delay (576 samples) and its look-ahead frame, and is
    // padded to a whole frame.
    const int frameSamples = rate >= 32000 ? 1152 : 576;
    const double duration = AudioFixtures::probe(path, QStringLiteral("format=duration")).toDouble();
    QVERIFY2(duration >= seconds - double(frameSamples) / rate, qPrintable(QString::number(duration)));
    QVERIFY2(duration <= seconds + double(2 * frameSamples + 576) / rate, qPrintable(QString::number(duration)));

    QString err;
    QVERIFY(AudioFixtures::ffmpeg({QStringLiteral("-xerror"), QStringLiteral("-i"), path, QStringLiteral("-f"),
                                   QStringLiteral("null"), QStringLiteral("-")},
                                  &err));
    QVERIFY2(err.trimmed().isEmpty(), qPrintable(err));
}

void TestMp3Encoder::passesTheCommandLine_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("kbps");
    QTest::addColumn<int>("format");
    QTest::addColumn<QStringList>("varying"); // items 9, 11, 13 and 19
    QTest::newRow("44100 stereo 128 s16") << 44100 << 2 << 128 << int(Mp3Encoder::S16le)
                                          << QStringList{"s16le", "44100", "2", "128k"};
    QTest::newRow("no channels gives mono") << 48000 << 0 << 192 << int(Mp3Encoder::F32le)
                                            << QStringList{"f32le", "48000", "1", "192k"};
    QTest::newRow("unknown format is float") << 22050 << 1 << 64 << 7 << QStringList{"f32le", "22050", "1", "64k"};
}

void TestMp3Encoder::passesTheCommandLine()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(int, kbps);
    QFETCH(int, format);
    QFETCH(QStringList, varying);

    const QString dir = testHome().scratch(QStringLiteral("args"));
    const QString argsFile = dir + QStringLiteral("/args.txt");
    QFile::remove(argsFile);
    const QString script = writeScript(dir + QStringLiteral("/record-args"),
                                       QStringLiteral("for a in \"$@\"; do printf '%s\\n' \"$a\" >> '%1'; done\n"
                                                      "exec /usr/bin/ffmpeg \"$@\"")
                                           .arg(argsFile));
    EnvGuard env("ORCHIDLANTERN_FFMPEG", script.toLocal8Bit());
    QCOMPARE(Mp3Encoder::ffmpegPath(), script);

    Mp3Encoder enc;
    QVERIFY(enc.open(rate, channels, kbps, Mp3Encoder::InputFormat(format)));
    QByteArray mp3 = enc.encode(sinePcm(rate, std::max(channels, 1), 1.0,
                                        format == 0 ? Mp3Encoder::S16le : Mp3Encoder::F32le));
    mp3 += enc.flush();
    QVERIFY(!mp3.isEmpty()); // the real ffmpeg accepted that command line

    QFile f(argsFile);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QStringList args = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    const QStringList expected{"-hide_banner", "-loglevel", "error", "-probesize", "32", "-analyzeduration", "0",
                               "-f", varying[0], "-ar", varying[1],
                               "-ac", varying[2], "-i", "pipe:0", "-c:a", "libmp3lame", "-b:a", varying[3],
                               "-f", "mp3", "-flush_packets", "1", "pipe:1"};
    QCOMPARE(args, expected);
}

void TestMp3Encoder::writesWholeFramesOnly_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("written");
    QTest::newRow("10 bytes of s16 stereo") << 2 << int(Mp3Encoder::S16le) << 10 << 8;
    QTest::newRow("200000 bytes of s16 stereo") << 2 << int(Mp3Encoder::S16le) << 200000 << 200000;
    QTest::newRow("7 bytes of f32 mono") << 1 << int(Mp3Encoder::F32le) << 7 << 4;
    QTest::newRow("3 bytes of s16 stereo") << 2 << int(Mp3Encoder::S16le) << 3 << 0;
    QTest::newRow("one sample per frame with no channels") << 0 << int(Mp3Encoder::S16le) << 5 << 4;
}

void TestMp3Encoder::writesWholeFramesOnly()
{
    QFETCH(int, channels);
    QFETCH(int, format);
    QFETCH(int, bytes);
    QFETCH(int, written);

    // A stand-in that keeps what arrives on its input.
    const QString dir = testHome().scratch(QStringLiteral("frames"));
    const QString sink = dir + QStringLiteral("/input.raw");
    QFile::remove(sink);
    const QString script = writeScript(dir + QStringLiteral("/keep-input"), QStringLiteral("exec cat > '%1'").arg(sink));
    EnvGuard env("ORCHIDLANTERN_FFMPEG", script.toLocal8Bit());

    QByteArray data(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        data[i] = char(i * 7);
    Mp3Encoder enc;
    QVERIFY(enc.open(44100, channels, 128, Mp3Encoder::InputFormat(format)));
    enc.encode(data);
    enc.flush();

    QFile f(sink);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray got = f.readAll();
    QCOMPARE(got.size(), written);
    QCOMPARE(got, data.left(written));
}

void TestMp3Encoder::closedEncoderDoesNothing()
{
    Mp3Encoder enc;
    QVERIFY(!enc.isOpen());
    QElapsedTimer t;
    t.start();
    QVERIFY(enc.flush().isEmpty());
    QVERIFY(enc.drainOutput().isEmpty());
    QVERIFY(enc.encode(QByteArray(4096, '\0')).isEmpty());
    const char pcm[4] = {};
    QVERIFY(enc.encode(pcm, 1).isEmpty());
    enc.close();
    QVERIFY(t.elapsed() < 1000);
    QVERIFY(!enc.isOpen());

    // An open encoder ignores null data and empty frame counts.
    QVERIFY(enc.open(44100, 2, 128, Mp3Encoder::S16le));
    QVERIFY(enc.encode(nullptr, 100).isEmpty());
    QVERIFY(enc.encode(pcm, 0).isEmpty());
    enc.close();
    QVERIFY(!enc.isOpen());
}

void TestMp3Encoder::closeKillsAHungEncoder()
{
    const QString dir = testHome().scratch(QStringLiteral("hung-close"));
    const QString pidFile = dir + QStringLiteral("/pid");
    const QString script = writeScript(dir + QStringLiteral("/hang"),
                                       QStringLiteral("echo $$ > '%1'\nexec sleep 120").arg(pidFile));
    EnvGuard env("ORCHIDLANTERN_FFMPEG", script.toLocal8Bit());

    Mp3Encoder enc;
    QVERIFY(enc.open(44100, 2, 128, Mp3Encoder::S16le));
    QTRY_VERIFY(QFileInfo(pidFile).size() > 0);
    enc.encode(QByteArray(16384, '\0'));
    QElapsedTimer t;
    t.start();
    enc.close();
    const qint64 took = t.elapsed();
    QVERIFY(!enc.isOpen());
    QVERIFY2(took < 2000, qPrintable(QString::number(took))); // 300 ms grace, then killed
    QTRY_VERIFY(processGone(pidFile));
}

void TestMp3Encoder::flushKillsAHungEncoder()
{
    const QString dir = testHome().scratch(QStringLiteral("hung-flush"));
    const QString pidFile = dir + QStringLiteral("/pid");
    const QString script = writeScript(dir + QStringLiteral("/hang"),
                                       QStringLiteral("echo $$ > '%1'\nexec sleep 120").arg(pidFile));
    EnvGuard env("ORCHIDLANTERN_FFMPEG", script.toLocal8Bit());

    Mp3Encoder enc;
    QVERIFY(enc.open(44100, 2, 128, Mp3Encoder::S16le));
    QTRY_VERIFY(QFileInfo(pidFile).size() > 0);
    QElapsedTimer t;
    t.start();
    QVERIFY(enc.flush().isEmpty());
    QVERIFY(!enc.isOpen());
    QVERIFY2(t.elapsed() < 30000, qPrintable(QString::number(t.elapsed())));
    QTRY_VERIFY(processGone(pidFile));
}

void TestMp3Encoder::encodeGivesUpOnAHungEncoder()
{
    const QString dir = testHome().scratch(QStringLiteral("hung-encode"));
    const QString pidFile = dir + QStringLiteral("/pid");
    const QString script = writeScript(dir + QStringLiteral("/hang"),
                                       QStringLiteral("echo $$ > '%1'\nexec sleep 120").arg(pidFile));
    EnvGuard env("ORCHIDLANTERN_FFMPEG", script.toLocal8Bit());

    Mp3Encoder enc;
    QVERIFY(enc.open(44100, 2, 128, Mp3Encoder::S16le));
    QTRY_VERIFY(QFileInfo(pidFile).size() > 0);
    // Ten minutes of audio: at one bounded wait per chunk this would block
    // for over an hour if the encoder never gave up.
    const QByteArray pcm(44100 * 4 * 600, '\0');
    QElapsedTimer t;
    t.start();
    QVERIFY(enc.encode(pcm).isEmpty());
    QVERIFY(!enc.isOpen());
    QVERIFY2(t.elapsed() < 30000, qPrintable(QString::number(t.elapsed())));
    QTRY_VERIFY(processGone(pidFile));
}

void TestMp3Encoder::openFailsOnAFileThatDoesNotRun()
{
    const QString path = testHome().scratch(QStringLiteral("notexec")) + QStringLiteral("/ffmpeg");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not a program");
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EnvGuard env("ORCHIDLANTERN_FFMPEG", path.toLocal8Bit());

    QVERIFY(Mp3Encoder::available());
    Mp3Encoder enc;
    QVERIFY(!enc.open(44100, 2, 128, Mp3Encoder::S16le));
    QVERIFY(!enc.isOpen());
    QVERIFY(enc.flush().isEmpty());
    // The live encoder knows at once where children start synchronously
    // (a plain build here); otherwise, as under the sanitizers, it reports
    // the failure as soon as the child's start fails.
    LiveMp3Encoder live;
    QSignalSpy failed(&live, &LiveMp3Encoder::failed);
    if (live.open(44100, 2, 128, Mp3Encoder::S16le))
        QTRY_COMPARE(failed.count(), 1);
    QVERIFY(!live.isOpen());
}

void TestMp3Encoder::searchOrder()
{
    const QDir root(testHome().scratch(QStringLiteral("search")));
    const QString binA = root.filePath(QStringLiteral("binA"));
    const QString binB = root.filePath(QStringLiteral("binB"));
    const QString empty = root.filePath(QStringLiteral("empty"));
    QDir().mkpath(binA);
    QDir().mkpath(binB);
    QDir().mkpath(empty);
    const QString inB = writeScript(binB + QStringLiteral("/ffmpeg"), QStringLiteral("exit 0"));
    const QString fixed = writeScript(root.filePath(QStringLiteral("fixed-ffmpeg")), QStringLiteral("exit 0"));
    const QString override = writeScript(root.filePath(QStringLiteral("my-ffmpeg")), QStringLiteral("exit 0"));

    // Nothing anywhere: not found.
    QCOMPARE(Mp3Encoder::findFfmpeg({}, {empty}, {root.filePath("nope")}, {root.filePath("nope/ffmpeg")}), QString());
    // The override wins, as written.
    QCOMPARE(Mp3Encoder::findFfmpeg(override, {binB}, {}, {fixed}), override);
    // A missing override falls through to the search folders, in their order.
    QCOMPARE(Mp3Encoder::findFfmpeg(root.filePath("missing"), {binA, binB}, {}, {fixed}), inB);
    // A folder named like the override does not count as the program.
    QCOMPARE(Mp3Encoder::findFfmpeg(binA, {empty}, {}, {fixed}), fixed);
    // Nothing on the search path: the fixed paths, the first that exists.
    QCOMPARE(Mp3Encoder::findFfmpeg({}, {empty}, {}, {root.filePath("gone"), fixed}), fixed);
}

void TestMp3Encoder::packageFolders()
{
    const QDir root(testHome().scratch(QStringLiteral("packages")));
    const QString user = root.filePath(QStringLiteral("user/Packages"));
    const QString machine = root.filePath(QStringLiteral("machine/Packages"));
    auto makeBuild = [](const QString& folder, const QString& package, const QString& build, bool withExe) {
        const QString bin = folder + '/' + package + '/' + build + QStringLiteral("/bin");
        QDir().mkpath(bin);
        if (withExe) {
            QFile f(bin + QStringLiteral("/ffmpeg.exe"));
            f.open(QIODevice::WriteOnly);
        }
        return QDir::toNativeSeparators(bin + QStringLiteral("/ffmpeg.exe"));
    };
    // Builds that do not qualify: another package, a build folder of another
    // name, a matching build without the program.
    makeBuild(user, QStringLiteral("Other.Tool_1"), QStringLiteral("ffmpeg-7.0"), true);
    makeBuild(user, QStringLiteral("Gyan.FFmpeg_abc"), QStringLiteral("tools-1.0"), true);
    makeBuild(user, QStringLiteral("Gyan.FFmpeg_abc"), QStringLiteral("ffmpeg-6.0-empty"), false);
    const QString machineExe = makeBuild(machine, QStringLiteral("Gyan.FFmpeg_xyz"), QStringLiteral("ffmpeg-7.1-full"), true);

    QCOMPARE(Mp3Encoder::findFfmpeg({}, {}, {user, machine}, {}), machineExe);
    const QString userExe = makeBuild(user, QStringLiteral("Gyan.FFmpeg_abc"), QStringLiteral("ffmpeg-7.1-essentials"), true);
    // The per-user folder is searched first.
    QCOMPARE(Mp3Encoder::findFfmpeg({}, {}, {user, machine}, {}), userExe);
    // A missing package folder is passed over.
    QCOMPARE(Mp3Encoder::findFfmpeg({}, {}, {root.filePath("none"), machine}, {}), machineExe);
    // The package folders come before the fixed paths.
    QCOMPARE(Mp3Encoder::findFfmpeg({}, {}, {machine}, {QStringLiteral("/usr/bin/ffmpeg")}), machineExe);
}

void TestMp3Encoder::environmentOverride()
{
    {
        // A path that does not exist: the search goes on and still finds ffmpeg.
        EnvGuard env("ORCHIDLANTERN_FFMPEG", QByteArray("/nonexistent/ffmpeg"));
        const QString found = Mp3Encoder::ffmpegPath();
        QVERIFY(!found.isEmpty());
        QVERIFY(found != QLatin1String("/nonexistent/ffmpeg"));
        QVERIFY(Mp3Encoder::available());
        Mp3Encoder enc;
        QVERIFY(enc.open(44100, 2, 128, Mp3Encoder::S16le));
    }
    {
        // An empty search path leaves the fixed paths.
        EnvGuard env("ORCHIDLANTERN_FFMPEG", QByteArray());
        EnvGuard path("PATH", QByteArray());
        QCOMPARE(Mp3Encoder::ffmpegPath(), QStringLiteral("/usr/bin/ffmpeg"));
    }
    const QString own = writeScript(testHome().scratch(QStringLiteral("own")) + QStringLiteral("/ff"),
                                    QStringLiteral("exec /usr/bin/ffmpeg \"$@\""));
    EnvGuard env("ORCHIDLANTERN_FFMPEG", own.toLocal8Bit());
    QCOMPARE(Mp3Encoder::ffmpegPath(), own);
}

// A child that takes nothing is let go once its queue passes ten seconds of
// audio, or after five seconds without progress; one that ends by itself
// is reported the same way. Finishing or closing a hung child ends it.
void TestMp3Encoder::liveLetsGoOfAChildThatStops()
{
    QString pidFile;
    const QString hang = standIn(QStringLiteral("live-hung"), QStringLiteral("exec sleep 120"), &pidFile);
    EnvGuard env("ORCHIDLANTERN_FFMPEG", hang.toLocal8Bit());
    const QByteArray second(44100 * 4, '\0');
    LiveMp3Encoder live;
    QSignalSpy failed(&live, &LiveMp3Encoder::failed);
    QSignalSpy finished(&live, &LiveMp3Encoder::finished);
    const auto openHung = [&] {
        QFile::remove(pidFile);
        return live.open(44100, 2, 128, Mp3Encoder::S16le) && QTest::qWaitFor([&] { return QFileInfo(pidFile).size() > 0; });
    };

    QVERIFY(openHung());
    for (int i = 0; i < 11 && live.isOpen(); ++i)
        live.encode(second);
    QCOMPARE(failed.count(), 1);
    QTRY_VERIFY(processGone(pidFile));

    QVERIFY(openHung());
    live.encode(second); // more than the pipe holds
    QTest::qWait(3000);
    QCOMPARE(failed.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, 15000);
    QTRY_VERIFY(processGone(pidFile));

    QVERIFY(openHung());
    live.encode(second);
    live.finish();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QTRY_VERIFY(processGone(pidFile));

    QVERIFY(openHung());
    live.close();
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pidFile), 5000);
    QCOMPARE(failed.count(), 2);

    const QString quits = standIn(QStringLiteral("live-quits"), QStringLiteral("exec head -c 1000 > /dev/null"), &pidFile);
    EnvGuard env2("ORCHIDLANTERN_FFMPEG", quits.toLocal8Bit());
    QVERIFY(live.open(44100, 2, 128, Mp3Encoder::S16le));
    live.encode(second);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 3, 15000);
    QVERIFY(!live.isOpen());
}

OL_TEST_MAIN(TestMp3Encoder)
#include "tst_mp3encoder.moc"
