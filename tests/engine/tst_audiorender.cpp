// ctest: timeout 600
#include "engine/audiorender.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtEndian>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>

namespace {

QString dirPath()
{
    return testHome().scratch(QStringLiteral("render"));
}

QString file(const QString& name)
{
    return QDir(dirPath()).filePath(name);
}

// aevalsrc into a WAV of the given sample codec; one expression per channel.
bool makeWav(const QString& path, const QStringList& exprs, double seconds, int rate,
             const QString& codec = QStringLiteral("pcm_f32le"))
{
    const QString layout = exprs.size() == 1 ? QStringLiteral("mono") : QStringLiteral("stereo");
    return AudioFixtures::ffmpeg({"-f", "lavfi", "-i",
                                  QStringLiteral("aevalsrc=exprs='%1':s=%2:d=%3:c=%4")
                                      .arg(exprs.join('|'))
                                      .arg(rate)
                                      .arg(seconds, 0, 'g', 10)
                                      .arg(layout),
                                  "-c:a", codec, path});
}

// The file's samples as ffmpeg decodes them, interleaved float.
QList<float> readBack(const QString& path)
{
    QByteArray raw;
    if (!AudioFixtures::run(QStringLiteral("ffmpeg"),
                            {"-v", "error", "-nostdin", "-i", path, "-f", "f32le", "-c:a", "pcm_f32le", "-"}, &raw))
        return {};
    QList<float> out(raw.size() / 4);
    std::memcpy(out.data(), raw.constData(), out.size() * 4);
    return out;
}

double rmsDb(const QList<float>& s, int channels, qint64 firstFrame, qint64 frames)
{
    double sum = 0.0;
    for (qint64 i = firstFrame * channels; i < (firstFrame + frames) * channels; ++i)
        sum += double(s[i]) * s[i];
    return 10.0 * std::log10(sum / double(frames * channels));
}

QStringList logLines(const QSignalSpy& spy)
{
    QStringList lines;
    for (const auto& args : spy)
        lines << args.at(0).toString();
    return lines;
}

Track fileTrack(const QString& path, const QString& title = {})
{
    Track t;
    t.filePath = path;
    t.title = title.isEmpty() ? QFileInfo(path).completeBaseName() : title;
    return t;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString writeScript(const QString& path, const QString& body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    f.write("#!/bin/sh\n" + body.toUtf8() + "\n");
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

struct EnvGuard
{
    QByteArray name;
    EnvGuard(const char* n, const QByteArray& value) : name(n) { qputenv(n, value); }
    ~EnvGuard() { qunsetenv(name.constData()); }
};

} // namespace

class TestAudioRender : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesSampleFormats_data();
    void decodesSampleFormats();
    void decodesCompressedFiles_data();
    void decodesCompressedFiles();
    void decodeFailures();
    void decodeTimeOutIsAFailure();
    void convertChannels_data();
    void convertChannels();
    void convertRate_data();
    void convertRate();
    void mixIntoLaw();
    void mixIntoLongOverlap();
    void renderCrossfadeKeepsPower();
    void renderCrossfadeShape();
    void renderWavHeaderAndSamples();
    void renderResamplesAndCounts();
    void renderNothingToWrite();
    void renderAppliesLevelAndClips();
    void renderSilencesNaN();
    void renderFormatFollowsName_data();
    void renderFormatFollowsName();
    void failedMp3KeepsExistingFile_data();
    void failedMp3KeepsExistingFile();
    void writeErrorIsReported();
    void clips();
};

void TestAudioRender::initTestCase()
{
    QVERIFY(MusicLibrary::initDatabase());
}

void TestAudioRender::decodesSampleFormats_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QList<double>>("values"); // written by ffmpeg
    QTest::addColumn<QList<double>>("expected");
    QTest::addColumn<double>("tolerance");
    QTest::newRow("8-bit") << "pcm_u8" << QList<double>{0.0, -1.0, 0.9921875, 0.5}
                           << QList<double>{0.0, -1.0, 0.9921875, 0.5} << 1e-7;
    QTest::newRow("16-bit") << "pcm_s16le" << QList<double>{-1.0, 32767.0 / 32768.0, 0.5, 0.0}
                            << QList<double>{-1.0, 0.999969482421875, 0.5, 0.0} << 1e-7;
    QTest::newRow("24-bit") << "pcm_s24le" << QList<double>{-1.0, 0.25, 0.5, -0.125}
                            << QList<double>{-1.0, 0.25, 0.5, -0.125} << 1e-6;
    QTest::newRow("32-bit") << "pcm_s32le" << QList<double>{-1.0, 0.25, 0.5, -0.125}
                            << QList<double>{-1.0, 0.25, 0.5, -0.125} << 1e-6;
    QTest::newRow("float") << "pcm_f32le" << QList<double>{-1.0, 0.25, 0.75, 1.0}
                           << QList<double>{-1.0, 0.25, 0.75, 1.0} << 0.0;
}

void TestAudioRender::decodesSampleFormats()
{
    QFETCH(QString, codec);
    QFETCH(QList<double>, values);
    QFETCH(QList<double>, expected);
    QFETCH(double, tolerance);

    // Four stretches of 0.25 s, each holding one value in the left channel;
    // the right channel holds a constant 0.5.
    const QString left = QStringLiteral("if(lt(t,0.25),%1,if(lt(t,0.5),%2,if(lt(t,0.75),%3,%4)))")
                             .arg(values[0], 0, 'g', 17)
                             .arg(values[1], 0, 'g', 17)
                             .arg(values[2], 0, 'g', 17)
                             .arg(values[3], 0, 'g', 17);
    const QString path = file(codec + ".wav");
    QVERIFY(makeWav(path, {left, "0.5"}, 1.0, 8000, codec));

    AudioRender render;
    QList<float> out;
    int rate = -1;
    int channels = -1;
    QVERIFY(render.decodeToFloat(path, out, rate, channels, 120000));
    QCOMPARE(rate, 8000);
    QCOMPARE(channels, 2);
    QCOMPARE(out.size(), 16000);
    for (int k = 0; k < 4; ++k) {
        const int frame = k * 2000 + 1000;
        QVERIFY2(std::fabs(out[frame * 2] - expected[k]) <= tolerance,
                 qPrintable(QStringLiteral("%1: %2 != %3").arg(k).arg(out[frame * 2], 0, 'g', 10).arg(expected[k])));
        QVERIFY(std::fabs(out[frame * 2 + 1] - 0.5) <= std::max(tolerance, 1e-7));
    }
}

void TestAudioRender::decodesCompressedFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("mp3") << "tone.mp3";
    QTest::newRow("flac") << "tone.flac";
    QTest::newRow("ogg") << "tone.ogg";
}

void TestAudioRender::decodesCompressedFiles()
{
    QFETCH(QString, name);
    const QString path = file(name);
    QVERIFY(AudioFixtures::tone(path, 1000.0, -6.0, 3.0, 44100, 2));
    AudioRender render;
    QList<float> out;
    int rate = 0;
    int channels = 0;
    QVERIFY(render.decodeToFloat(path, out, rate, channels, 120000));
    QCOMPARE(rate, 44100);
    QCOMPARE(channels, 2);
    const double seconds = double(out.size() / 2) / rate;
    QVERIFY2(std::fabs(seconds - 3.0) < 0.06, qPrintable(QString::number(seconds)));
    // The level in the middle second matches ffmpeg's own decode of the file
    // (the lossy codecs move it a little off the -9.03 dB of the source).
    const double level = rmsDb(out, 2, 44100, 44100);
    const QList<float> reference = readBack(path);
    QVERIFY(reference.size() >= 2 * 44100 * 2);
    const double referenceLevel = rmsDb(reference, 2, 44100, 44100);
    QVERIFY2(std::fabs(level - referenceLevel) < 0.05, qPrintable(QStringLiteral("%1 %2").arg(level).arg(referenceLevel)));
    QVERIFY2(std::fabs(level - (-9.03)) < 0.6, qPrintable(QString::number(level)));
}

void TestAudioRender::decodeFailures()
{
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QList<float> out;
    int rate = 1;
    int channels = 1;
    QVERIFY(!render.decodeToFloat(file("missing.wav"), out, rate, channels, 120000));
    QCOMPARE(rate, 0);
    QCOMPARE(channels, 0);

    const QString junk = file("junk.mp3");
    {
        QFile f(junk);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(8192, 'z'));
    }
    QVERIFY(!render.decodeToFloat(junk, out, rate, channels, 120000));
    QVERIFY(out.isEmpty());
    const QStringList lines = logLines(log);
    QVERIFY2(lines.contains("Could not decode missing.wav"), qPrintable(lines.join(" | ")));
    QVERIFY2(lines.contains("Could not decode junk.mp3"), qPrintable(lines.join(" | ")));
}

void TestAudioRender::decodeTimeOutIsAFailure()
{
    const QString path = file("long.flac");
    QVERIFY(AudioFixtures::tone(path, 440.0, -10.0, 120.0, 48000, 2));
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QList<float> out;
    int rate = 0;
    int channels = 0;
    QVERIFY(!render.decodeToFloat(path, out, rate, channels, 5));
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.at(0).at(0).toString(), QStringLiteral("Could not decode long.flac (timed out after 5 ms)"));

    // The same file with time enough decodes whole.
    out.clear();
    QVERIFY(render.decodeToFloat(path, out, rate, channels, 120000));
    QCOMPARE(out.size(), qsizetype(120) * 48000 * 2);
}

void TestAudioRender::convertChannels_data()
{
    QTest::addColumn<QList<float>>("in");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<QList<float>>("out");
    QTest::newRow("mono to stereo") << QList<float>{0.1f, 0.2f} << 1 << 2 << QList<float>{0.1f, 0.1f, 0.2f, 0.2f};
    QTest::newRow("stereo to mono") << QList<float>{0.5f, -0.5f, 0.25f, 0.75f} << 2 << 1 << QList<float>{0.0f, 0.5f};
    QTest::newRow("stereo to 5 repeats the right")
        << QList<float>{0.1f, 0.2f} << 2 << 5 << QList<float>{0.1f, 0.2f, 0.2f, 0.2f, 0.2f};
    QTest::newRow("6 to stereo keeps the first two")
        << QList<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12} << 6 << 2 << QList<float>{1, 2, 7, 8};
    QTest::newRow("partial frame dropped") << QList<float>{0.1f, 0.2f, 0.3f} << 2 << 1 << QList<float>{0.15f};
    QTest::newRow("bad channel count leaves it") << QList<float>{0.1f, 0.2f} << 0 << 2 << QList<float>{0.1f, 0.2f};
}

void TestAudioRender::convertChannels()
{
    QFETCH(QList<float>, in);
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QList<float>, out);
    AudioRender::convertFormat(in, 44100, from, 44100, to);
    QCOMPARE(in.size(), out.size());
    for (qsizetype i = 0; i < in.size(); ++i)
        QVERIFY2(std::fabs(in[i] - out[i]) < 1e-6, qPrintable(QString::number(i)));
}

void TestAudioRender::convertRate_data()
{
    QTest::addColumn<QList<float>>("in");
    QTest::addColumn<int>("fromRate");
    QTest::addColumn<int>("fromChannels");
    QTest::addColumn<int>("toRate");
    QTest::addColumn<int>("toChannels");
    QTest::addColumn<QList<float>>("out");
    QTest::newRow("mono 22050 to stereo 44100")
        << QList<float>{0.0f, 0.6f, 0.3f} << 22050 << 1 << 44100 << 2
        << QList<float>{0.0f, 0.0f, 0.24f, 0.24f, 0.48f, 0.48f, 0.54f, 0.54f, 0.42f, 0.42f, 0.3f, 0.3f};
    QTest::newRow("one frame halved is nothing") << QList<float>{0.5f, 0.5f} << 44100 << 2 << 22050 << 2
                                                 << QList<float>{};
    QTest::newRow("2 frames to 4 interpolate")
        << QList<float>{0.0f, 0.9f} << 11025 << 1 << 22050 << 1 << QList<float>{0.0f, 0.3f, 0.6f, 0.9f};
    QTest::newRow("downsampling keeps the ends")
        << QList<float>{1, 2, 3, 4, 5, 6, 7, 8} << 48000 << 1 << 24000 << 1 << QList<float>{1, 3.3333333f, 5.6666667f, 8};
    QTest::newRow("bad rate leaves it") << QList<float>{0.5f} << 0 << 1 << 44100 << 2 << QList<float>{0.5f};
}

void TestAudioRender::convertRate()
{
    QFETCH(QList<float>, in);
    QFETCH(int, fromRate);
    QFETCH(int, fromChannels);
    QFETCH(int, toRate);
    QFETCH(int, toChannels);
    QFETCH(QList<float>, out);
    AudioRender::convertFormat(in, fromRate, fromChannels, toRate, toChannels);
    QCOMPARE(in.size(), out.size());
    for (qsizetype i = 0; i < in.size(); ++i)
        QVERIFY2(std::fabs(in[i] - out[i]) < 1e-5, qPrintable(QStringLiteral("%1: %2").arg(i).arg(in[i])));
}

void TestAudioRender::mixIntoLaw()
{
    // Old content 1.0 everywhere, new content 1.0 at gain 0.5, 4 frames of
    // overlap starting at frame 2 of 6.
    QList<float> dst(6 * 2, 1.0f);
    const QList<float> src(8 * 2, 1.0f);
    AudioRender::mixInto(dst, src, 2, 4, 2, 0.5);
    QCOMPARE(dst.size(), (2 + 8) * 2);
    QCOMPARE(dst[0], 1.0f);
    QCOMPARE(dst[3], 1.0f);
    for (int i = 0; i < 4; ++i) {
        const double theta = i / 4.0 * M_PI / 2;
        const float want = float(double(float(0.5 * std::sin(theta))) + std::cos(theta));
        QCOMPARE(dst[(2 + i) * 2], want);
        QCOMPARE(dst[(2 + i) * 2 + 1], want);
    }
    QCOMPARE(dst[4], 1.0f); // first overlap frame: old whole, nothing new
    // Past the overlap: the old content (frames 6 and 7 extended as zeros, frames
    // before 6 as 1.0) plus the new at gain.
    QCOMPARE(dst[6 * 2], 0.5f);
    QCOMPARE(dst[9 * 2 + 1], 0.5f);

    // Without overlap it simply adds.
    QList<float> plain{0.25f, 0.25f};
    AudioRender::mixInto(plain, QList<float>{0.5f, 0.5f, 0.5f, 0.5f}, 0, 0, 2, 1.0);
    QCOMPARE(plain, (QList<float>{0.75f, 0.75f, 0.5f, 0.5f}));

    // Nothing for no channels or no source.
    QList<float> same{0.1f};
    AudioRender::mixInto(same, {}, 5, 0, 1, 1.0);
    AudioRender::mixInto(same, {0.3f}, 5, 0, 0, 1.0);
    QCOMPARE(same, QList<float>{0.1f});
}

void TestAudioRender::mixIntoLongOverlap()
{
    // An overlap longer than the new material: it fades in throughout and
    // never reaches full gain.
    QList<float> dst;
    const QList<float> src(100, 1.0f);
    AudioRender::mixInto(dst, src, 0, 1000, 1, 1.0);
    QCOMPARE(dst.size(), 100);
    QCOMPARE(dst[0], 0.0f);
    const float last = float(std::sin(99.0 / 1000.0 * M_PI / 2));
    QCOMPARE(dst[99], last);
    QVERIFY(dst[99] < 0.2f);
}

void TestAudioRender::renderCrossfadeKeepsPower()
{
    // Two equal tones at different pitches (uncorrelated over a short window),
    // 10 s each, 2 s of overlap: 18 s, steady power through the crossfade.
    const QString a = file("a440.wav");
    const QString b = file("b554.wav");
    QVERIFY(AudioFixtures::tone(a, 440.0, -6.0, 10.0, 44100, 2));
    QVERIFY(AudioFixtures::tone(b, 554.37, -6.0, 10.0, 44100, 2));
    const QString out = file("xfade.wav");
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QVERIFY(render.renderToFile({fileTrack(a), fileTrack(b)}, out, 2000, 128));
    QCOMPARE(logLines(log), QStringList{"Render: wrote xfade.wav (2 tracks)"});

    QCOMPARE(AudioFixtures::probe(out, "stream=codec_name"), QStringLiteral("pcm_s16le"));
    QCOMPARE(AudioFixtures::probe(out, "stream=sample_rate"), QStringLiteral("44100"));
    QCOMPARE(AudioFixtures::probe(out, "stream=channels"), QStringLiteral("2"));
    QByteArray soxOut;
    QVERIFY(AudioFixtures::run("sox", {"--i", "-s", out}, &soxOut));
    QCOMPARE(soxOut.trimmed().toLongLong(), qint64(18) * 44100);

    const QList<float> s = readBack(out);
    QCOMPARE(s.size(), qsizetype(18) * 44100 * 2);
    const double steady = rmsDb(s, 2, 44100 * 4, 44100);
    QVERIFY(std::fabs(steady - (-9.03)) < 0.05);
    // Windows of 100 ms across the crossfade, the middle one included.
    for (int w = 0; w < 20; ++w) {
        const double level = rmsDb(s, 2, 44100 * 8 + w * 4410, 4410);
        QVERIFY2(std::fabs(level - steady) < 1.0, qPrintable(QStringLiteral("window %1: %2 dB").arg(w).arg(level)));
    }
    const double middle = rmsDb(s, 2, 44100 * 9 - 2205, 4410);
    QVERIFY2(middle > steady - 1.0, qPrintable(QString::number(middle)));
    QVERIFY(std::fabs(rmsDb(s, 2, 44100 * 14, 44100) - steady) < 0.05);
}

void TestAudioRender::renderCrossfadeShape()
{
    // A constant 0.5 followed by silence shows the outgoing curve; silence
    // followed by 0.5 the incoming one.
    const QString level = file("dc.wav");
    const QString quiet = file("quiet.wav");
    QVERIFY(makeWav(level, {"0.5", "0.5"}, 3.0, 44100));
    QVERIFY(makeWav(quiet, {"0", "0"}, 3.0, 44100));
    struct Case { QString first, second; bool fadingOut; };
    const Case cases[] = {{level, quiet, true}, {quiet, level, false}};
    for (const Case& c : cases) {
        const QString out = file(c.fadingOut ? "out-curve.wav" : "in-curve.wav");
        AudioRender render;
        QVERIFY(render.renderToFile({fileTrack(c.first), fileTrack(c.second)}, out, 1000, 128));
        const QList<float> s = readBack(out);
        QCOMPARE(s.size(), qsizetype(5) * 44100 * 2);
        for (int i = 0; i < 44100; i += 2205) {
            const double theta = double(i) / 44100.0 * M_PI / 2;
            const double want = 0.5 * (c.fadingOut ? std::cos(theta) : std::sin(theta));
            const float got = s[(2 * 44100 + i) * 2];
            QVERIFY2(std::fabs(got - want) < 2.0 / 32767,
                     qPrintable(QStringLiteral("frame %1: %2 != %3").arg(i).arg(got).arg(want)));
        }
    }

    // A jingle shorter than the crossfade: the next track starts with it,
    // not before it, into the tail of the track before.
    const QString jingle = file("jingle.wav");
    QVERIFY(makeWav(jingle, {"0", "0"}, 0.5, 44100));
    const QString out = file("jingle-out.wav");
    AudioRender render;
    QVERIFY(render.renderToFile({fileTrack(level), fileTrack(jingle), fileTrack(quiet)}, out, 1000, 128));
    const QList<float> s = readBack(out);
    QCOMPARE(s.size(), qsizetype(5) * 44100 * 2);
    QVERIFY(std::fabs(s[(2 * 44100 + 22050) * 2] - 0.5 * std::cos(M_PI / 4)) < 2.0 / 32767);
}

void TestAudioRender::renderWavHeaderAndSamples()
{
    // Alternating frames (0.5, -0.5) and (1.0, -1.0).
    const QString in = file("pattern.wav");
    QVERIFY(makeWav(in, {"if(eq(mod(n,2),0),0.5,1.0)", "if(eq(mod(n,2),0),-0.5,-1.0)"}, 0.5, 44100));
    const QString out = file("pattern-out.wav");
    AudioRender render;
    QVERIFY(render.renderToFile({fileTrack(in)}, out, 0, 128));
    const QByteArray bytes = contents(out);
    const qint64 frames = 22050;
    const qint64 dataSize = frames * 2 * 2;
    QCOMPARE(bytes.size(), 44 + dataSize);
    const char* p = bytes.constData();
    QCOMPARE(QByteArray(p, 4), QByteArray("RIFF"));
    QCOMPARE(qFromLittleEndian<quint32>(p + 4), quint32(dataSize + 36));
    QCOMPARE(QByteArray(p + 8, 8), QByteArray("WAVEfmt "));
    QCOMPARE(qFromLittleEndian<quint32>(p + 16), 16u);
    QCOMPARE(qFromLittleEndian<quint16>(p + 20), quint16(1));
    QCOMPARE(qFromLittleEndian<quint16>(p + 22), quint16(2));
    QCOMPARE(qFromLittleEndian<quint32>(p + 24), 44100u);
    QCOMPARE(qFromLittleEndian<quint32>(p + 28), 44100u * 4);
    QCOMPARE(qFromLittleEndian<quint16>(p + 32), quint16(4));
    QCOMPARE(qFromLittleEndian<quint16>(p + 34), quint16(16));
    QCOMPARE(QByteArray(p + 36, 4), QByteArray("data"));
    QCOMPARE(qFromLittleEndian<quint32>(p + 40), quint32(dataSize));
    const qint16 want[4] = {16383, -16383, 32767, -32767};
    for (int i = 0; i < 8; ++i)
        QCOMPARE(qFromLittleEndian<qint16>(p + 44 + 2 * i), want[i % 4]);
    // And ffprobe agrees on what it is.
    QCOMPARE(AudioFixtures::probe(out, "stream=codec_name"), QStringLiteral("pcm_s16le"));
    QCOMPARE(AudioFixtures::probe(out, "format=duration").toDouble(), 0.5);
}

void TestAudioRender::renderResamplesAndCounts()
{
    const QString mono = file("mono22k.wav");
    const QString stereo = file("stereo44k.wav");
    const QString broken = file("broken.ogg");
    QVERIFY(AudioFixtures::tone(mono, 300.0, -12.0, 2.0, 22050, 1));
    QVERIFY(AudioFixtures::tone(stereo, 300.0, -12.0, 1.0, 44100, 2));
    {
        QFile f(broken);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("OggS but nothing else");
    }
    const QString out = file("mixed.wav");
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QSignalSpy progress(&render, &AudioRender::progress);
    Track stop;
    stop.marker = true;
    stop.label = "STOP";
    QVERIFY(render.renderToFile({fileTrack(mono, "Mono"), stop, fileTrack(broken, "Broken"), fileTrack(stereo, "Stereo")},
                                out, 0, 128));
    const QStringList lines = logLines(log);
    QCOMPARE(lines, (QStringList{"Resampled Mono (22050 Hz/1ch -> 44100 Hz/2ch)", "Could not decode broken.ogg",
                                 "Render: wrote mixed.wav (3 tracks)"}));
    QCOMPARE(AudioFixtures::probe(out, "stream=sample_rate"), QStringLiteral("44100"));
    QCOMPARE(AudioFixtures::probe(out, "stream=channels"), QStringLiteral("2"));
    QVERIFY(std::fabs(AudioFixtures::probe(out, "format=duration").toDouble() - 3.0) < 0.001);

    QList<int> percents;
    QStringList texts;
    for (const auto& args : progress) {
        percents << args.at(0).toInt();
        texts << args.at(1).toString();
    }
    QCOMPARE(percents, (QList<int>{0, 25, 50, 95, 100}));
    QCOMPARE(texts.first(), QStringLiteral("Decoding Mono"));
    QCOMPARE(texts.at(3), QStringLiteral("Writing mixed.wav"));
    QCOMPARE(texts.last(), QStringLiteral("Done"));

    // A 48000 Hz first file sets the rate for the whole render.
    const QString hi = file("hi48k.wav");
    QVERIFY(AudioFixtures::tone(hi, 300.0, -12.0, 1.0, 48000, 2));
    const QString out48 = file("mixed48.wav");
    QVERIFY(render.renderToFile({fileTrack(hi), fileTrack(stereo)}, out48, 0, 128));
    QCOMPARE(AudioFixtures::probe(out48, "stream=sample_rate"), QStringLiteral("48000"));
}

void TestAudioRender::renderNothingToWrite()
{
    Track stop;
    stop.marker = true;
    stop.label = "STOP";
    Track stream;
    stream.isStream = true;
    stream.filePath = "http://127.0.0.1:9/stream";
    const QString out = file("nothing.wav");
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QVERIFY(!render.renderToFile({stop, stream}, out, 0, 128));
    QCOMPARE(logLines(log), QStringList{"Render: nothing to write"});
    QVERIFY(!QFile::exists(out));

    QVERIFY(!render.renderToFile({}, out, 0, 128));
    QCOMPARE(log.size(), 1); // an empty list says nothing
}

void TestAudioRender::renderAppliesLevelAndClips()
{
    const QString in = file("loud.wav");
    QVERIFY(makeWav(in, {"0.75*sin(2*PI*100*t)", "0.25"}, 1.0, 44100));
    TrackParams p;
    p.level = 2.0;
    TrackParams::save(in, p);
    const QString out = file("loud-out.wav");
    AudioRender render;
    QVERIFY(render.renderToFile({fileTrack(in)}, out, 0, 128));
    TrackParams::remove(in);

    const QList<float> s = readBack(out);
    QCOMPARE(s.size(), 44100 * 2);
    float maxLeft = 0.0f;
    float minLeft = 0.0f;
    for (int i = 0; i < 44100; ++i) {
        maxLeft = std::max(maxLeft, s[2 * i]);
        minLeft = std::min(minLeft, s[2 * i]);
        QVERIFY(std::fabs(s[2 * i + 1] - 0.5f) < 1e-4);
    }
    QCOMPARE(maxLeft, 32767.0f / 32768.0f);  // clipped to full scale
    QCOMPARE(minLeft, -32767.0f / 32768.0f);
    // Below the clipping point the doubling is exact: 0.75 * sin(x) * 2 at 0.5.
    const int frame = 36; // sin is about 0.49 here, 1/12 of the 441-frame period
    QVERIFY(std::fabs(s[2 * frame] - 2.0f * 0.75f * float(std::sin(2 * M_PI * 100 * frame / 44100.0))) < 1e-3);
}

// A float file may hold NaN; it must neither reach an integer conversion
// nor the MP3 encoder, whose psychoacoustic model aborts on it.
void TestAudioRender::renderSilencesNaN()
{
    const QString in = file("nan.wav");
    QVERIFY(makeWav(in, {"if(between(t,0.5,0.6),0/0,0.5)"}, 1.0, 44100));
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    const QString wav = file("nan-out.wav");
    const QString mp3 = file("nan-out.mp3");
    QVERIFY(render.renderToFile({fileTrack(in)}, wav, 0, 128));
    QVERIFY2(render.renderToFile({fileTrack(in)}, mp3, 0, 128), qPrintable(logLines(log).join('\n')));

    const QList<float> s = readBack(wav);
    QCOMPARE(s.size(), 44100 * 2);
    QCOMPARE(s[2 * 22050 + 2000], 0.0f);
    QVERIFY(std::fabs(s[2 * 11025] - 0.5f) < 1e-4);
    QVERIFY(std::fabs(s[2 * 33075] - 0.5f) < 1e-4);
    QVERIFY(std::all_of(s.cbegin(), s.cend(), [](float v) { return std::isfinite(v); }));
    const QList<float> decoded = readBack(mp3);
    QVERIFY(decoded.size() > 44100 * 2);
}

void TestAudioRender::renderFormatFollowsName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kbps");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("bitRate");
    QTest::newRow(".MP3 at 192") << "upper.MP3" << 192 << "mp3" << 192000;
    QTest::newRow(".mp3 at 128") << "lower.mp3" << 128 << "mp3" << 128000;
    QTest::newRow(".flac is WAV") << "named.flac" << 192 << "wav" << 44100 * 2 * 16;
    QTest::newRow(".wav ignores kbps") << "plain.wav" << 64 << "wav" << 44100 * 2 * 16;
}

void TestAudioRender::renderFormatFollowsName()
{
    QFETCH(QString, name);
    QFETCH(int, kbps);
    QFETCH(QString, format);
    QFETCH(int, bitRate);
    const QString in = file("fmt-in.wav");
    if (!QFile::exists(in))
        QVERIFY(AudioFixtures::tone(in, 440.0, -6.0, 5.0, 44100, 2));
    const QString out = file(name);
    AudioRender render;
    QVERIFY(render.renderToFile({fileTrack(in)}, out, 0, kbps));
    QCOMPARE(AudioFixtures::probe(out, "format=format_name"), format);
    QCOMPARE(AudioFixtures::probe(out, "stream=sample_rate"), QStringLiteral("44100"));
    QCOMPARE(AudioFixtures::probe(out, "stream=channels"), QStringLiteral("2"));
    QCOMPARE(AudioFixtures::probe(out, "stream=bit_rate").toInt(), bitRate);
    const double duration = AudioFixtures::probe(out, "format=duration").toDouble();
    // An MP3 carries the encoder's start delay and frame padding.
    QVERIFY2(duration >= 5.0 && duration < 5.0 + (576 + 2 * 1152) / 44100.0, qPrintable(QString::number(duration)));
    QString err;
    QVERIFY(AudioFixtures::ffmpeg({"-xerror", "-i", out, "-f", "null", "-"}, &err));
    QVERIFY2(err.trimmed().isEmpty(), qPrintable(err));
    // Nothing but the file itself is left in the folder.
    const QStringList left = QDir(dirPath()).entryList({name + "*"}, QDir::Files | QDir::Hidden);
    QCOMPARE(left, QStringList{name});
}

void TestAudioRender::failedMp3KeepsExistingFile_data()
{
    QTest::addColumn<QString>("script"); // body of the stand-in ffmpeg; empty: not executable
    QTest::addColumn<QString>("error"); // how the line begins; FAKE is the stand-in's path
    QTest::newRow("does not start") << QString() << "Render: MP3 encoder failed to start: FAKE did not start (";
    QTest::newRow("hangs") << "exec sleep 120" << "Render: MP3 encoder produced no output";
    QTest::newRow("dies at once") << "exit 3" << "Render: MP3 encoder produced no output";
}

void TestAudioRender::failedMp3KeepsExistingFile()
{
    QFETCH(QString, script);
    QFETCH(QString, error);
    const QString in = file("keep-in.wav");
    if (!QFile::exists(in))
        QVERIFY(AudioFixtures::tone(in, 440.0, -6.0, 2.0, 44100, 2));
    const QString folder = testHome().scratch(QStringLiteral("keep-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
    const QString target = folder + "/show.mp3";
    {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("the previous render");
    }
    QString fake = folder + "/fake-ffmpeg";
    if (script.isEmpty()) {
        QFile f(fake);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a program");
    } else {
        writeScript(fake, script);
    }
    EnvGuard env("ORCHIDLANTERN_FFMPEG", fake.toLocal8Bit());

    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QVERIFY(!render.renderToFile({fileTrack(in)}, target, 0, 128));
    const QStringList lines = logLines(log);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QString(error).replace(QLatin1String("FAKE"), fake)), qPrintable(lines.first()));
    QCOMPARE(contents(target), QByteArray("the previous render"));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 2); // the target and the stand-in
}

void TestAudioRender::writeErrorIsReported()
{
    const QString in = file("big-in.wav");
    QVERIFY(AudioFixtures::tone(in, 440.0, -6.0, 5.0, 44100, 2));
    const QString target = file("full.wav");
    {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("older render");
    }

    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QVERIFY(!render.renderToFile({fileTrack(in)}, file("no/such/folder/out.wav"), 0, 128));
    QVERIFY(logLines(log).last().startsWith(QStringLiteral("Render: cannot write ") + file("no/such/folder/out.wav") + " ("));

    // A file-size limit makes the writes themselves fail, as a full disk does.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = render.renderToFile({fileTrack(in)}, target, 0, 128);
    setrlimit(RLIMIT_FSIZE, &old);
    QVERIFY(!ok);
    const QString last = logLines(log).last();
    QVERIFY2(last.startsWith(QStringLiteral("Render: cannot write ") + target + " ("), qPrintable(last));
    QCOMPARE(contents(target), QByteArray("older render"));
    QCOMPARE(QDir(dirPath()).entryList({"full.wav*"}, QDir::Files | QDir::Hidden), QStringList{"full.wav"});
}

void TestAudioRender::clips()
{
    // A ramp whose value tells the time: 0.05 per second.
    const QString ramp = file("ramp.wav");
    const QString shortFile = file("four.wav");
    QVERIFY(makeWav(ramp, {"t/20", "t/20"}, 10.0, 44100));
    QVERIFY(makeWav(shortFile, {"-0.5", "-0.5"}, 4.0, 44100));

    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QSignalSpy progress(&render, &AudioRender::progress);
    const QString out = file("teaser.wav");
    const QList<AudioRender::Clip> list{{ramp, 2000, 1000}, {shortFile, 5000, 0}, {ramp, 8000, 0}, {file("gone.wav"), 0, 0}};
    QVERIFY(render.renderClips(list, out, 0, 128));
    const QStringList lines = logLines(log);
    QCOMPARE(lines.last(), QStringLiteral("Teaser: wrote teaser.wav (4 elements)"));
    QVERIFY(lines.contains("Could not decode gone.wav"));
    QCOMPARE(progress.size(), 5);
    QCOMPARE(progress.at(1).at(0).toInt(), 25);
    QCOMPARE(progress.at(1).at(1).toString(), QStringLiteral("Decoding four.wav"));
    QCOMPARE(progress.last().at(1).toString(), QStringLiteral("Done"));

    const QList<float> s = readBack(out);
    QCOMPARE(s.size(), qsizetype(3) * 44100 * 2); // 1 s from 2 s, the 4 s file skipped, 2 s from 8 s
    QVERIFY(std::fabs(s[0] - 0.10f) < 1e-3);
    QVERIFY(std::fabs(s[(44100 - 1) * 2] - 0.15f) < 1e-3);
    QVERIFY(std::fabs(s[44100 * 2] - 0.40f) < 1e-3);
    QVERIFY(std::fabs(s[(3 * 44100 - 1) * 2] - 0.5f) < 1e-3);

    // With an overlap the second stretch crossfades over the end of the first.
    const QString joined = file("teaser-joined.mp3");
    QVERIFY(render.renderClips({{ramp, 0, 4000}, {ramp, 5000, 3000}}, joined, 1000, 128));
    QCOMPARE(AudioFixtures::probe(joined, "format=format_name"), QStringLiteral("mp3"));
    const double duration = AudioFixtures::probe(joined, "format=duration").toDouble();
    QVERIFY2(duration >= 6.0 && duration < 6.0 + (576 + 2 * 1152) / 44100.0, qPrintable(QString::number(duration)));

    // Only unusable stretches: nothing is written.
    log.clear();
    progress.clear();
    const QString none = file("teaser-none.wav");
    QVERIFY(!render.renderClips({{shortFile, 5000, 0}, {shortFile, 4000, 1000}}, none, 0, 128));
    QCOMPARE(logLines(log), QStringList{"Teaser: nothing to assemble"});
    QVERIFY(!QFile::exists(none));
    QVERIFY(!render.renderClips({}, none, 0, 128));
}

OL_TEST_MAIN(TestAudioRender)
#include "tst_audiorender.moc"
