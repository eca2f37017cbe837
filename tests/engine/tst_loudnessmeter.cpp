// ctest: timeout 600
#include "engine/audiorender.h"
#include "engine/loudnessmeter.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QAudioBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

#include <cmath>

namespace {

// A 1 kHz sine whose level in dBFS (peak) follows a piecewise expression of t.
QString sine1k(const QString& dbfs)
{
    return QStringLiteral("pow(10,(%1)/20)*sin(2*PI*1000*t)").arg(dbfs);
}

// 24-bit WAV from aevalsrc; one expression per channel.
bool generate(const QString& path, double seconds, const QStringList& exprs, const QString& layout, int rate = 48000)
{
    const QString src = QStringLiteral("aevalsrc=exprs='%1':s=%2:d=%3:c=%4")
                            .arg(exprs.join('|'))
                            .arg(rate)
                            .arg(seconds, 0, 'g', 10)
                            .arg(layout);
    return AudioFixtures::ffmpeg({"-f", "lavfi", "-i", src, "-c:a", "pcm_s24le", path});
}

QString scratch()
{
    return testHome().scratch(QStringLiteral("loudness"));
}

// A file in the scratch folder named after the current data row.
QString rowFile(const QString& suffix)
{
    QString name = QString::fromLatin1(QTest::currentDataTag());
    for (QChar& c : name) {
        if (!c.isLetterOrNumber() && c != '-')
            c = '_';
    }
    return QDir(scratch()).filePath(name + suffix);
}

} // namespace

class TestLoudnessMeter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ebuCases_data();
    void ebuCases();
    void matchesFfmpeg_data();
    void matchesFfmpeg();
    void referenceSine_data();
    void referenceSine();
    void shortInputHasNoBlock();
    void chunkedFeedMeasuresTheSame();
    void manyChannelsAddUp();
    void formatChangeRestarts();
    void bufferFeed_data();
    void bufferFeed();
    void gainAndPeakLimit();
    void silenceAnalyse();
    void normaliseStoresLevel();
    void normaliseLimitsToPeak();
    void normaliseRejectsWhatItCannotMeasure();
    void sameFiguresWhicheverDecodes_data();
    void sameFiguresWhicheverDecodes();
};

void TestLoudnessMeter::initTestCase()
{
    QVERIFY(MusicLibrary::initDatabase());
}

void TestLoudnessMeter::ebuCases_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QStringList>("exprs");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<double>("expected");

    const auto stereo = [](const QString& level) { return QStringList{sine1k(level), sine1k(level)}; };
    QTest::newRow("3341-1") << 20.0 << stereo("-23") << "stereo" << -23.0;
    QTest::newRow("3341-2") << 20.0 << stereo("-33") << "stereo" << -33.0;
    QTest::newRow("3341-3") << 80.0 << stereo("if(lt(t,10),-36,if(lt(t,70),-23,-36))") << "stereo" << -23.0;
    QTest::newRow("3341-4") << 100.0
                            << stereo("if(lt(t,10),-72,if(lt(t,20),-36,if(lt(t,80),-23,if(lt(t,90),-36,-72))))")
                            << "stereo" << -23.0;
    QTest::newRow("3341-5") << 60.1 << stereo("if(lt(t,20),-26,if(lt(t,40.1),-20,-26))") << "stereo" << -23.0;
    QTest::newRow("3341-6 5.0") << 20.0
                                << QStringList{sine1k("-28"), sine1k("-28"), sine1k("-24"), sine1k("-30"), sine1k("-30")}
                                << "5.0" << -23.0;
    // The level pairs of the loudness-range cases; their integrated values
    // follow from the gates: the quiet half passes the relative gate in 1
    // and 2, fails it in 3, and only the -50 dB parts fail it in 4.
    QTest::newRow("3342-1") << 40.0 << stereo("if(lt(t,20),-20,-30)") << "stereo" << -22.596;
    QTest::newRow("3342-2") << 40.0 << stereo("if(lt(t,20),-20,-15)") << "stereo" << -16.817;
    QTest::newRow("3342-3") << 40.0 << stereo("if(lt(t,20),-40,-20)") << "stereo" << -20.0;
    QTest::newRow("3342-4") << 100.0 << stereo("if(lt(t,20),-50,if(lt(t,40),-35,if(lt(t,60),-20,if(lt(t,80),-35,-50))))")
                            << "stereo" << -24.505;
}

void TestLoudnessMeter::ebuCases()
{
    QFETCH(double, seconds);
    QFETCH(QStringList, exprs);
    QFETCH(QString, layout);
    QFETCH(double, expected);

    const QString path = rowFile(".wav");
    QVERIFY(generate(path, seconds, exprs, layout));

    AudioRender render;
    const LoudnessAnalysis a = render.analyse(path, 120000);
    QVERIFY(a.ok);
    qInfo("%s: %.3f LUFS (expected %.3f)", QTest::currentDataTag(), a.integratedLufs, expected);
    QVERIFY2(std::fabs(a.integratedLufs - expected) <= 0.1,
             qPrintable(QStringLiteral("measured %1, expected %2").arg(a.integratedLufs).arg(expected)));
    QVERIFY(std::fabs(a.durationMs - seconds * 1000.0) <= 1.0);
}

void TestLoudnessMeter::matchesFfmpeg_data()
{
    QTest::addColumn<QStringList>("ffmpegInput"); // lavfi source and options, before -c:a
    QTest::addColumn<bool>("lowLevel");

    QTest::newRow("pink noise stereo 44100")
        << QStringList{"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:seed=11:d=30:r=44100", "-f", "lavfi",
                       "-i", "anoisesrc=color=pink:amplitude=0.3:seed=12:d=30:r=44100", "-filter_complex",
                       "[0:a][1:a]amerge=inputs=2"}
        << false;
    QTest::newRow("log sweep 20 Hz-20 kHz stereo 48000")
        << QStringList{"-f", "lavfi", "-i",
                       "aevalsrc=exprs='0.5*sin(2*PI*20*30/log(1000)*(exp(t/30*log(1000))-1))':s=48000:d=30:c=stereo"}
        << false;
    QTest::newRow("brown noise with a slow swell, mono 48000")
        << QStringList{"-f", "lavfi", "-i", "anoisesrc=color=brown:amplitude=0.5:seed=3:d=40:r=48000", "-af",
                       "volume='0.1+0.9*abs(sin(2*PI*t/13))':eval=frame"}
        << false;
    QTest::newRow("quiet white noise with pauses, stereo 32000")
        << QStringList{"-f", "lavfi", "-i", "anoisesrc=color=white:amplitude=0.02:seed=5:d=30:r=32000", "-af",
                       "volume='lt(mod(t,7),5)':eval=frame", "-ac", "2"}
        << true;
}

void TestLoudnessMeter::matchesFfmpeg()
{
    QFETCH(QStringList, ffmpegInput);
    QFETCH(bool, lowLevel);
    const QString path = rowFile(".wav");
    QVERIFY(AudioFixtures::ffmpeg(ffmpegInput + QStringList{"-c:a", "pcm_s24le", path}));

    const double reference = AudioFixtures::integratedLoudness(path);
    QVERIFY(!std::isnan(reference));
    if (lowLevel)
        QVERIFY(reference < -30.0);
    AudioRender render;
    const LoudnessAnalysis a = render.analyse(path, 120000);
    QVERIFY(a.ok);
    qInfo("%s: %.3f LUFS, ffmpeg %.3f", QTest::currentDataTag(), a.integratedLufs, reference);
    QVERIFY2(std::fabs(a.integratedLufs - reference) <= 0.2,
             qPrintable(QStringLiteral("ours %1, ffmpeg %2").arg(a.integratedLufs).arg(reference)));
}

void TestLoudnessMeter::referenceSine_data()
{
    QTest::addColumn<QStringList>("exprs");
    QTest::addColumn<double>("expected");
    const QString full = QStringLiteral("sin(2*PI*997*t)");
    QTest::newRow("one channel of two") << QStringList{full, "0"} << -3.01;
    QTest::newRow("both channels") << QStringList{full, full} << 0.0;
}

void TestLoudnessMeter::referenceSine()
{
    QFETCH(QStringList, exprs);
    QFETCH(double, expected);
    const QString path = rowFile(".wav");
    QVERIFY(AudioFixtures::ffmpeg({"-f", "lavfi", "-i",
                                   QStringLiteral("aevalsrc=exprs='%1':s=48000:d=10:c=stereo").arg(exprs.join('|')),
                                   "-c:a", "pcm_f32le", path}));
    AudioRender render;
    const LoudnessAnalysis a = render.analyse(path, 120000);
    QVERIFY(a.ok);
    qInfo("%s: %.4f LUFS", QTest::currentDataTag(), a.integratedLufs);
    QVERIFY2(std::fabs(a.integratedLufs - expected) <= 0.02, qPrintable(QString::number(a.integratedLufs, 'f', 4)));
    QVERIFY(std::fabs(a.peak - 1.0) < 1e-3);
}

void TestLoudnessMeter::shortInputHasNoBlock()
{
    LoudnessMeter meter;
    QList<double> samples;
    for (int i = 0; i < 48000 * 39 / 100; ++i) // 390 ms, stereo
        samples << 0.5 * std::sin(i * 0.1) << 0.5 * std::sin(i * 0.1);
    meter.addSamples(samples, 2, 48000);
    QCOMPARE(meter.hopEnergy.size(), 3);
    QVERIFY(meter.blockLoudness.isEmpty());
    QCOMPARE(meter.integratedLufs(), -70.0);
    QVERIFY(std::fabs(meter.peak - 0.5) < 1e-3);

    // 10 ms more completes the fourth hop and so the first block.
    QList<double> more;
    for (int i = 0; i < 480; ++i)
        more << 0.5 << 0.5;
    meter.addSamples(more, 2, 48000);
    QCOMPARE(meter.blockLoudness.size(), 1);
    QVERIFY(meter.integratedLufs() > -70.0);
}

void TestLoudnessMeter::chunkedFeedMeasuresTheSame()
{
    // Six channels of different noise-like content, fed whole and in pieces
    // of odd sizes (partial frames stay out of each piece).
    const int ch = 6;
    QList<double> samples;
    quint32 state = 12345;
    for (int i = 0; i < 48000 * 3; ++i) {
        for (int c = 0; c < ch; ++c) {
            state = state * 1664525u + 1013904223u;
            samples << (double(state >> 8) / double(1 << 24) - 0.5) * (0.2 + 0.1 * c);
        }
    }
    LoudnessMeter whole;
    whole.addSamples(samples, ch, 48000);

    LoudnessMeter pieces;
    const qsizetype sizes[] = {6, 600, 6 * 4801, 6 * 17};
    qsizetype pos = 0;
    for (int k = 0; pos < samples.size(); ++k) {
        const qsizetype n = std::min(sizes[k % 4], samples.size() - pos);
        pieces.addSamples(samples.mid(pos, n), ch, 48000);
        pos += n;
    }
    QCOMPARE(pieces.blockLoudness.size(), whole.blockLoudness.size());
    QCOMPARE(pieces.integratedLufs(), whole.integratedLufs());
    QCOMPARE(pieces.peak, whole.peak);
    QVERIFY(whole.integratedLufs() > -40.0);
}

void TestLoudnessMeter::manyChannelsAddUp()
{
    // Ten channels holding one stereo pair five times carry five times its
    // energy: 10 log10(5) dB above the pair alone.
    QList<double> pair;
    QList<double> ten;
    for (int i = 0; i < 48000 * 3; ++i) {
        const double l = 0.3 * std::sin(2 * M_PI * 440.0 * i / 48000.0);
        const double r = 0.2 * std::sin(2 * M_PI * 1900.0 * i / 48000.0);
        pair << l << r;
        for (int k = 0; k < 5; ++k)
            ten << l << r;
    }
    LoudnessMeter stereo;
    stereo.addSamples(pair, 2, 48000);
    LoudnessMeter many;
    many.addSamples(ten, 10, 48000);
    QCOMPARE(many.blockLoudness.size(), stereo.blockLoudness.size());
    QVERIFY(std::fabs(many.integratedLufs() - stereo.integratedLufs() - 10.0 * std::log10(5.0)) < 1e-6);
    QCOMPARE(many.peak, stereo.peak);
}

void TestLoudnessMeter::formatChangeRestarts()
{
    LoudnessMeter meter;
    QList<double> loud(48000 * 2 * 2, 0.9);
    for (qsizetype i = 0; i < loud.size(); ++i)
        loud[i] = 0.9 * std::sin(double(i / 2) * 2 * M_PI * 1000 / 48000);
    meter.addSamples(loud, 2, 48000);
    QVERIFY(!meter.blockLoudness.isEmpty());
    QCOMPARE(meter.sampleRate, 48000);

    // The same format again: the measurement goes on.
    const qsizetype blocks = meter.blockLoudness.size();
    meter.configure(2, 48000);
    QCOMPARE(meter.blockLoudness.size(), blocks);

    // A new format restarts it; a rate below 8000 counts as 8000.
    QList<double> quiet(8000, 0.0);
    meter.addSamples(quiet, 1, 4000);
    QCOMPARE(meter.channels, 1);
    QCOMPARE(meter.sampleRate, 8000);
    QCOMPARE(meter.hopFrames, qint64(800));
    QCOMPARE(meter.hopEnergy.size(), 10);
    QCOMPARE(meter.integratedLufs(), -70.0); // the loud part is gone
    QVERIFY(std::fabs(meter.peak - 0.9) < 1e-3); // but its peak stays

    meter.reset();
    QCOMPARE(meter.channels, 0);
    QCOMPARE(meter.peak, 0.0);
    QVERIFY(meter.hopEnergy.isEmpty());
}

void TestLoudnessMeter::bufferFeed_data()
{
    QTest::addColumn<int>("sampleFormat");
    QTest::newRow("int16") << int(QAudioFormat::Int16);
    QTest::newRow("int32") << int(QAudioFormat::Int32);
    QTest::newRow("float") << int(QAudioFormat::Float);
    QTest::newRow("uint8") << int(QAudioFormat::UInt8);
}

void TestLoudnessMeter::bufferFeed()
{
    QFETCH(int, sampleFormat);
    QAudioFormat fmt;
    fmt.setSampleRate(48000);
    fmt.setChannelCount(2);
    fmt.setSampleFormat(QAudioFormat::SampleFormat(sampleFormat));
    const int frames = 48000 * 2;
    QByteArray bytes(frames * 2 * fmt.bytesPerSample(), Qt::Uninitialized);
    QList<double> reference;
    for (int i = 0; i < frames; ++i) {
        const double v = 0.5 * std::sin(2 * M_PI * 1000.0 * i / 48000.0);
        for (int c = 0; c < 2; ++c) {
            const int k = i * 2 + c;
            double fed = 0.0;
            switch (fmt.sampleFormat()) {
            case QAudioFormat::Int16: {
                const qint16 s = qint16(std::lround(v * 32767));
                reinterpret_cast<qint16*>(bytes.data())[k] = s;
                fed = s * 3.0517578125e-05;
                break;
            }
            case QAudioFormat::Int32: {
                const qint32 s = qint32(std::lround(v * 2147483647.0));
                reinterpret_cast<qint32*>(bytes.data())[k] = s;
                fed = s * 4.656612873077393e-10;
                break;
            }
            case QAudioFormat::Float:
                reinterpret_cast<float*>(bytes.data())[k] = float(v);
                fed = float(v);
                break;
            default: {
                const quint8 s = quint8(std::lround(v * 127 + 128));
                reinterpret_cast<quint8*>(bytes.data())[k] = s;
                fed = (s - 128.0) * 0.0078125;
                break;
            }
            }
            reference << fed;
        }
    }
    LoudnessMeter viaBuffer;
    viaBuffer.addBuffer(QAudioBuffer(bytes, fmt));
    LoudnessMeter viaSamples;
    viaSamples.addSamples(reference, 2, 48000);
    QCOMPARE(viaBuffer.blockLoudness.size(), viaSamples.blockLoudness.size());
    QCOMPARE(viaBuffer.integratedLufs(), viaSamples.integratedLufs());
    QVERIFY(std::fabs(viaBuffer.integratedLufs() - (-6.02)) < 0.1); // a half-scale sine in both channels

    LoudnessMeter none;
    none.addBuffer(QAudioBuffer());
    QCOMPARE(none.channels, 0);
}

void TestLoudnessMeter::gainAndPeakLimit()
{
    const auto near = [](double a, double b) { return std::fabs(a - b) < 1e-9; };
    QVERIFY(near(LoudnessMeter::gainForTarget(-30.0, -14.0, 12.0), std::pow(10.0, 12.0 / 20.0))); // capped up
    QVERIFY(near(LoudnessMeter::gainForTarget(-6.0, -14.0, 12.0), std::pow(10.0, -8.0 / 20.0)));
    QVERIFY(near(LoudnessMeter::gainForTarget(5.0, -14.0, 12.0), std::pow(10.0, -12.0 / 20.0))); // capped down
    QVERIFY(near(LoudnessMeter::gainForTarget(-70.0, -14.0, 12.0), 1.0)); // nothing measured
    QVERIFY(near(LoudnessMeter::limitForPeak(2.0, 0.8), 1.24875));
    QVERIFY(near(LoudnessMeter::limitForPeak(2.0, 0.0), 2.0));
    QVERIFY(near(LoudnessMeter::limitForPeak(1.5, 0.5), 1.5));
}

void TestLoudnessMeter::silenceAnalyse()
{
    const QString path = QDir(scratch()).filePath("silence.wav");
    QVERIFY(AudioFixtures::silence(path, 3.0, 48000, 2));
    AudioRender render;
    const LoudnessAnalysis a = render.analyse(path, 120000);
    QVERIFY(a.ok);
    QCOMPARE(a.integratedLufs, -70.0);
    QCOMPARE(a.peak, 0.0);
    QCOMPARE(a.durationMs, qint64(3000));

    const LoudnessAnalysis missing = render.analyse(QDir(scratch()).filePath("nope.wav"), 120000);
    QVERIFY(!missing.ok);
    QCOMPARE(missing.integratedLufs, -70.0);
}

void TestLoudnessMeter::normaliseStoresLevel()
{
    const QString path = QDir(scratch()).filePath("minus23.wav");
    QVERIFY(generate(path, 10.0, {sine1k("-23"), sine1k("-23")}, "stereo"));
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    const double gain = render.normalise(path, -18.0);
    QVERIFY(std::fabs(gain - std::pow(10.0, 5.0 / 20.0)) < 0.02);
    QVERIFY(std::fabs(TrackParams::load(path).level - gain) < 1e-9);
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.at(0).at(0).toString(),
             QStringLiteral("Normalize: minus23.wav  -23.0 LUFS -> gain %1").arg(gain, 0, 'f', 3));

    // Other stored parameters survive; reaching the level 1.0 with nothing
    // else set removes the stored row.
    TrackParams p = TrackParams::load(path);
    p.rating = 7;
    TrackParams::save(path, p);
    render.normalise(path, -16.0);
    QCOMPARE(TrackParams::load(path).rating, 7);
    p = TrackParams::load(path);
    p.rating = 0;
    TrackParams::save(path, p);
    const double unity = render.normalise(path, -23.0);
    QVERIFY(std::fabs(unity - 1.0) < 0.02);
}

void TestLoudnessMeter::normaliseLimitsToPeak()
{
    // Quiet programme with one full-scale burst: the loudness asks for more
    // gain than the peak allows.
    const QString path = QDir(scratch()).filePath("burst.wav");
    const QString e = QStringLiteral("if(between(t,5,5.05),1,pow(10,-20/20))*sin(2*PI*1000*t)");
    QVERIFY(generate(path, 10.0, {e, e}, "stereo"));
    AudioRender render;
    const LoudnessAnalysis a = render.analyse(path, 120000);
    QVERIFY(a.ok);
    QVERIFY(a.peak > 0.99);
    const double gain = render.normalise(path, -10.0);
    QVERIFY(std::fabs(gain - 0.999 / a.peak) < 1e-9);
    QVERIFY(std::fabs(TrackParams::load(path).level - gain) < 1e-9);
}

void TestLoudnessMeter::normaliseRejectsWhatItCannotMeasure()
{
    const QString silent = QDir(scratch()).filePath("quiet.wav");
    QVERIFY(AudioFixtures::silence(silent, 2.0, 44100, 2));
    const QString broken = QDir(scratch()).filePath("broken.mp3");
    {
        QFile f(broken);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(5000, 'x'));
    }
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    QCOMPARE(render.normalise(silent, -14.0), 1.0);
    QCOMPARE(render.normalise(broken, -14.0), 1.0);
    QVERIFY(TrackParams::load(silent).isDefault());
    QVERIFY(TrackParams::load(broken).isDefault());
    QStringList lines;
    for (const auto& args : log)
        lines << args.at(0).toString();
    QVERIFY2(lines.contains("Normalize: could not measure quiet.wav"), qPrintable(lines.join(" | ")));
    QVERIFY2(lines.contains("Normalize: could not measure broken.mp3"), qPrintable(lines.join(" | ")));
}

void TestLoudnessMeter::sameFiguresWhicheverDecodes_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QStringList>("codec");
    QTest::newRow("24-bit wav") << ".wav" << QStringList{"-c:a", "pcm_s24le"};
    QTest::newRow("mp3") << ".mp3" << QStringList{"-c:a", "libmp3lame", "-b:a", "192k"};
    QTest::newRow("ogg") << ".ogg" << QStringList{"-c:a", "libvorbis"};
}

// Analysis reads ffmpeg's decoded output when it can; the figures are
// exactly those of the framework's decoder, which takes over when ffmpeg
// cannot decode the file.
void TestLoudnessMeter::sameFiguresWhicheverDecodes()
{
    QFETCH(QString, suffix);
    QFETCH(QStringList, codec);
    const QString path = rowFile(suffix);
    QVERIFY(AudioFixtures::ffmpeg(QStringList{"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:seed=4:d=8:r=44100",
                                              "-af", "volume='0.2+0.8*abs(sin(2*PI*t/3))':eval=frame", "-ac", "2"}
                                  + codec + QStringList{path}));
    AudioRender render;
    QSignalSpy log(&render, &AudioRender::logMessage);
    const LoudnessAnalysis piped = render.analyse(path, 120000);
    QVERIFY(piped.ok);

    qputenv("ORCHIDLANTERN_FFMPEG", "/bin/false"); // an ffmpeg that decodes nothing
    const LoudnessAnalysis framework = render.analyse(path, 120000);
    qunsetenv("ORCHIDLANTERN_FFMPEG");
    QVERIFY(framework.ok);
    QCOMPARE(piped.integratedLufs, framework.integratedLufs);
    QCOMPARE(piped.peak, framework.peak);
    QCOMPARE(piped.durationMs, framework.durationMs);
    QVERIFY(piped.integratedLufs > -40.0);
    QCOMPARE(log.count(), 0);

    // Out of time is a failure, not a partial measurement.
    const LoudnessAnalysis late = render.analyse(path, 1);
    QVERIFY(!late.ok);
    QCOMPARE(log.last().at(0).toString(),
             QStringLiteral("Could not decode %1 (timed out after 1 ms)").arg(QFileInfo(path).fileName()));
}

OL_TEST_MAIN(TestLoudnessMeter)
#include "tst_loudnessmeter.moc"
