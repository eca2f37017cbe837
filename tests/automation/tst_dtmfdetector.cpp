#include "automation/dtmfdetector.h"
#include "audiofixtures.h"
#include "olmain.h"

#include <QAudioBuffer>
#include <QFile>
#include <QSignalSpy>

#include <cmath>
#include <cstring>
#include <numbers>

namespace {

const QString kKeys = QStringLiteral("123A456B789C*0#D");
constexpr double kLow[4] = {697.0, 770.0, 852.0, 941.0};
constexpr double kHigh[4] = {1209.0, 1336.0, 1477.0, 1633.0};

double lowOf(QChar key) { return kLow[kKeys.indexOf(key) / 4]; }
double highOf(QChar key) { return kHigh[kKeys.indexOf(key) % 4]; }

// Raw samples of a file, decoded by ffmpeg as interleaved values of the
// given format ("s16le", "f64le" ...) at the file's own rate.
QByteArray decodeRaw(const QString& path, const QString& format, int channels)
{
    QByteArray out;
    QString err;
    const bool ok = AudioFixtures::run(QStringLiteral("ffmpeg"),
                                       {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                                        QStringLiteral("error"), QStringLiteral("-i"), path,
                                        QStringLiteral("-ac"), QString::number(channels), QStringLiteral("-f"),
                                        format, QStringLiteral("pipe:1")},
                                       &out, &err);
    if (!ok)
        qWarning("ffmpeg could not decode %s: %s", qPrintable(path), qPrintable(err));
    return out;
}

QList<double> decodeMono(const QString& path)
{
    const QByteArray raw = decodeRaw(path, QStringLiteral("f64le"), 1);
    QList<double> samples(raw.size() / qsizetype(sizeof(double)));
    std::memcpy(samples.data(), raw.constData(), samples.size() * sizeof(double));
    return samples;
}

bool sox(const QStringList& args)
{
    QString err;
    const bool ok = AudioFixtures::run(QStringLiteral("sox"), args, nullptr, &err);
    if (!ok)
        qWarning("sox %s: %s", qPrintable(args.join(QLatin1Char(' '))), qPrintable(err));
    return ok;
}

// The digits the detector reports for the samples, fed in pieces as an
// audio device delivers them.
QString detect(const QList<double>& samples, int rate, double minLevel = 0.02, int* reports = nullptr)
{
    DtmfDetector d;
    d.setSampleRate(rate);
    d.minLevel = minLevel;
    QString all;
    QObject::connect(&d, &DtmfDetector::digitDetected, [&all](char c) { all += QLatin1Char(c); });
    for (qsizetype i = 0; i < samples.size(); i += 3000)
        d.addSamples(samples.mid(i, 3000));
    if (reports)
        *reports = int(all.size());
    return all;
}

struct ToneSpec
{
    double onMs = 100;
    double offMs = 100;
    double offset = 0;     // relative frequency error, both tones
    double twistDb = 0;    // low group relative to high group
    double levelDb = -6;   // each tone, dBFS peak
};

// A WAV of the keys made by sox: each key a pair of sines, then silence.
QString soxKeys(const QString& dir, const QString& name, const QString& keys, int rate, const ToneSpec& spec)
{
    QStringList parts;
    for (int i = 0; i < keys.size(); ++i) {
        const QString part = dir + QStringLiteral("/%1-%2.wav").arg(name).arg(i);
        const double lowDb = spec.levelDb + spec.twistDb / 2;
        const double highDb = spec.levelDb - spec.twistDb / 2;
        // Each tone at its own level: made apart, then mixed at unity gain.
        const QString low = part + QStringLiteral(".low.wav");
        const QString high = part + QStringLiteral(".high.wav");
        const QString len = QString::number(spec.onMs / 1000.0, 'f', 4);
        if (!sox({"-n", "-r", QString::number(rate), "-c", "1", "-b", "16", low, "synth", len, "sine",
                  QString::number(lowOf(keys.at(i)) * (1 + spec.offset), 'f', 3), "gain", "-n",
                  QString::number(lowDb, 'f', 2)})
            || !sox({"-n", "-r", QString::number(rate), "-c", "1", "-b", "16", high, "synth", len, "sine",
                     QString::number(highOf(keys.at(i)) * (1 + spec.offset), 'f', 3), "gain", "-n",
                     QString::number(highDb, 'f', 2)})
            || !sox({"-m", "-v", "1", low, "-v", "1", high, part, "pad", "0",
                     QString::number(spec.offMs / 1000.0, 'f', 4)}))
            return QString();
        parts << part;
    }
    const QString out = dir + QLatin1Char('/') + name + QStringLiteral(".wav");
    QStringList args = parts;
    args << out;
    return sox(args) ? out : QString();
}

} // namespace

class TestDtmfDetector : public QObject
{
    Q_OBJECT

private:
    QString m_dir;

private slots:
    void initTestCase() { m_dir = testHome().scratch(QStringLiteral("dtmf")); }

    void blockSize_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("size");
        QTest::newRow("44100") << 44100 << 1025;
        QTest::newRow("48000") << 48000 << 1116;
        QTest::newRow("8000") << 8000 << 186;
        QTest::newRow("6880 is the floor") << 6880 << 160;
        QTest::newRow("low rate") << 1000 << 160;
        QTest::newRow("one") << 1 << 160;
    }

    void blockSize()
    {
        QFETCH(int, rate);
        QFETCH(int, size);
        QCOMPARE(DtmfDetector::blockSize(rate), size);
        // One sample short of a block stays pending; one more is analysed.
        DtmfDetector d;
        d.setSampleRate(rate);
        QSignalSpy digits(&d, &DtmfDetector::digitDetected);
        const QList<double> tone = DtmfDetector::generateTone('5', rate, 2000, 0.5);
        if (rate < 4000)
            return; // too slow a rate to carry the keypad tones
        d.addSamples(tone.mid(0, size - 1));
        QCOMPARE(digits.count(), 0);
        d.addSamples(tone.mid(size - 1, 1));
        QCOMPARE(digits.count(), 1);
    }

    void keypad() { QCOMPARE(DtmfDetector::keypad(), kKeys); }

    void generateTone_data()
    {
        QTest::addColumn<char>("digit");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("count");
        QTest::newRow("key 5") << '5' << 8000 << 100 << 800;
        QTest::newRow("key D at 44.1 kHz") << 'D' << 44100 << 10 << 441;
        QTest::newRow("rounded down") << '#' << 44100 << 1 << 44;
        QTest::newRow("one sample") << '1' << 1000 << 1 << 1;
        QTest::newRow("past 32 bits of ms x rate") << '5' << 48000 << 90000 << 4320000;
        QTest::newRow("product below 1000") << '1' << 999 << 1 << 0;
        QTest::newRow("unknown character") << 'x' << 8000 << 100 << 0;
        QTest::newRow("lower-case letter") << 'a' << 8000 << 100 << 0;
        QTest::newRow("nul") << '\0' << 8000 << 100 << 0;
        QTest::newRow("zero duration") << '5' << 8000 << 0 << 0;
        QTest::newRow("negative duration") << '5' << 8000 << -5 << 0;
        QTest::newRow("zero rate") << '5' << 0 << 100 << 0;
    }

    void generateTone()
    {
        QFETCH(char, digit);
        QFETCH(int, rate);
        QFETCH(int, ms);
        QFETCH(int, count);
        const double amplitude = 0.8;
        const QList<double> s = DtmfDetector::generateTone(digit, rate, ms, amplitude);
        QCOMPARE(s.size(), count);
        if (count == 0)
            return;
        const double fl = lowOf(QLatin1Char(digit));
        const double fh = highOf(QLatin1Char(digit));
        for (int i = 0; i < count; i += std::max(1, count / 37)) {
            const double t = double(i) / rate;
            const double expected =
                (std::sin(2 * std::numbers::pi * fl * t) + std::sin(2 * std::numbers::pi * fh * t)) * amplitude * 0.5;
            QVERIFY2(std::abs(s.at(i) - expected) < 1e-9, qPrintable(QString::number(i)));
        }
    }

    void generatedToneDecodedByMultimon()
    {
        // multimon-ng reads mono 16-bit samples at 22050 Hz.
        const int rate = 22050;
        QByteArray raw;
        const QString keys = kKeys + QStringLiteral("1190");
        auto appendSamples = [&raw](const QList<double>& samples) {
            for (const double x : samples) {
                const qint16 v = qint16(std::lround(std::clamp(x, -1.0, 1.0) * 32767));
                raw.append(reinterpret_cast<const char*>(&v), 2);
            }
        };
        appendSamples(QList<double>(rate / 10, 0.0));
        for (const QChar k : keys) {
            appendSamples(DtmfDetector::generateTone(char(k.toLatin1()), rate, 100, 0.5));
            appendSamples(QList<double>(rate / 10, 0.0));
        }
        const QString path = m_dir + QStringLiteral("/generated.raw");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(raw);
        f.close();
        QByteArray out;
        QString err;
        QVERIFY2(AudioFixtures::run(QStringLiteral("multimon-ng"),
                                    {"-q", "-c", "-a", "DTMF", "-t", "raw", path}, &out, &err),
                 qPrintable(err));
        QString heard;
        for (const QByteArray& line : out.split('\n')) {
            if (line.startsWith("DTMF: "))
                heard += QLatin1Char(line.at(6));
        }
        QCOMPARE(heard, keys);
    }

    void parseSequences_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("list");
        QTest::newRow("blanks and case") << " 12#, , a* " << QStringList{"12#", "A*"};
        QTest::newRow("empty") << "" << QStringList();
        QTest::newRow("commas only") << ",,," << QStringList();
        QTest::newRow("one") << "123#" << QStringList{"123#"};
        QTest::newRow("inner blanks kept") << "1 2, 3" << QStringList{"1 2", "3"};
        QTest::newRow("tabs trimmed") << "\t9*\t,#" << QStringList{"9*", "#"};
    }

    void parseSequences()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, list);
        QCOMPARE(DtmfDetector::parseSequences(text), list);
    }

    void matches_data()
    {
        QTest::addColumn<QString>("received");
        QTest::addColumn<QString>("sequences");
        QTest::addColumn<bool>("match");
        QTest::newRow("ends with it") << "00123#" << "123#" << true;
        QTest::newRow("digits after it") << "123#0" << "123#" << false;
        QTest::newRow("blanks and commas only") << "123" << " , ,, " << false;
        QTest::newRow("empty list") << "123" << "" << false;
        QTest::newRow("both upper-cased") << "12a" << "2A" << true;
        QTest::newRow("second of two") << "9*" << "123#, 9*" << true;
        QTest::newRow("exactly") << "A" << "a" << true;
        QTest::newRow("longer than heard") << "3#" << "123#" << false;
        QTest::newRow("nothing heard") << "" << "1" << false;
    }

    void matches()
    {
        QFETCH(QString, received);
        QFETCH(QString, sequences);
        QFETCH(bool, match);
        QCOMPARE(DtmfDetector::matches(received, sequences), match);
    }

    void analyseBlock_data()
    {
        QTest::addColumn<double>("lowAmp");
        QTest::addColumn<double>("highAmp");
        QTest::addColumn<double>("extraRowAmp"); // a second row tone (770 Hz)
        QTest::addColumn<double>("minLevel");
        QTest::addColumn<char>("key");
        // Key 1 (697 + 1209 Hz) in one block at 44.1 kHz.
        QTest::newRow("clean") << 0.25 << 0.25 << 0.0 << 0.02 << '1';
        QTest::newRow("below the minimum level") << 0.009 << 0.009 << 0.0 << 0.02 << char(0);
        QTest::newRow("low tone only") << 0.25 << 0.0 << 0.0 << 0.02 << char(0);
        QTest::newRow("high tone only") << 0.0 << 0.25 << 0.0 << 0.02 << char(0);
        QTest::newRow("second row at a third of the power") << 0.25 << 0.25 << 0.25 / std::sqrt(3.0) << 0.02
                                                            << char(0);
        QTest::newRow("second row at a fifth of the power") << 0.25 << 0.25 << 0.25 / std::sqrt(5.0) << 0.02
                                                            << '1';
        QTest::newRow("row 25 times the column power") << 0.5 << 0.1 << 0.0 << 0.02 << char(0);
        QTest::newRow("column 25 times the row power") << 0.1 << 0.5 << 0.0 << 0.02 << char(0);
        QTest::newRow("row 16 times the column power") << 0.4 << 0.1 << 0.0 << 0.02 << '1';
        QTest::newRow("silence") << 0.0 << 0.0 << 0.0 << 0.0 << char(0);
    }

    void analyseBlock()
    {
        QFETCH(double, lowAmp);
        QFETCH(double, highAmp);
        QFETCH(double, extraRowAmp);
        QFETCH(double, minLevel);
        QFETCH(char, key);
        const int rate = 44100;
        QList<double> block(DtmfDetector::blockSize(rate));
        for (int i = 0; i < block.size(); ++i) {
            const double t = double(i) / rate;
            block[i] = lowAmp * std::sin(2 * std::numbers::pi * 697 * t)
                + highAmp * std::sin(2 * std::numbers::pi * 1209 * t)
                + extraRowAmp * std::sin(2 * std::numbers::pi * 770 * t);
        }
        QCOMPARE(DtmfDetector::analyseBlock(block, rate, minLevel), key);
    }

    void minimumLevelEdge()
    {
        QList<double> block = DtmfDetector::generateTone('9', 44100, 24, 0.5).mid(0, 1025);
        double peak = 0;
        for (const double x : block)
            peak = std::max(peak, std::abs(x));
        QCOMPARE(DtmfDetector::analyseBlock(block, 44100, peak), '9');
        QCOMPARE(DtmfDetector::analyseBlock(block, 44100, std::nextafter(peak, 1.0)), char(0));
        QCOMPARE(DtmfDetector::analyseBlock({}, 44100, 0.0), char(0));
        QCOMPARE(DtmfDetector::analyseBlock(block, 0, 0.0), char(0));
    }

    void releaseRules_data()
    {
        QTest::addColumn<QString>("pattern"); // per block: a key, or '.' for a block without one
        QTest::addColumn<QString>("reported");
        QTest::newRow("held for a second") << QString(43, QLatin1Char('1')) << "1";
        QTest::newRow("one quiet block is no release") << "111.111" << "1";
        QTest::newRow("two quiet blocks release") << "111..111" << "11";
        QTest::newRow("many quiet blocks") << "1......1" << "11";
        QTest::newRow("change without a pause") << "1122" << "12";
        QTest::newRow("back and forth") << "12121" << "12121";
        QTest::newRow("quiet block between different keys") << "1.2" << "12";
        QTest::newRow("quiet block does not release") << "1.2.1" << "121";
        QTest::newRow("nothing") << "...." << "";
        QTest::newRow("a weak block counts as quiet") << "11ww11" << "11";
        QTest::newRow("one weak block") << "11w11" << "1";
    }

    void releaseRules()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, reported);
        const int rate = 44100;
        const int size = DtmfDetector::blockSize(rate);
        QList<double> samples;
        for (const QChar c : pattern) {
            if (c == QLatin1Char('.')) {
                samples += QList<double>(size, 0.0);
            } else if (c == QLatin1Char('w')) {
                // A clean tone, but under the minimum level.
                samples += DtmfDetector::generateTone('1', rate, 30, 0.015).mid(0, size);
            } else {
                samples += DtmfDetector::generateTone(char(c.toLatin1()), rate, 30, 0.5).mid(0, size);
            }
        }
        DtmfDetector d;
        QSignalSpy digits(&d, &DtmfDetector::digitDetected);
        QSignalSpy sequences(&d, &DtmfDetector::sequenceReceived);
        QStringList order;
        connect(&d, &DtmfDetector::digitDetected, this, [&order](char c) { order << QStringLiteral("digit") + c; });
        connect(&d, &DtmfDetector::sequenceReceived, this,
                [&order](const QString& s) { order << QStringLiteral("sequence") + s; });
        d.addSamples(samples);
        QCOMPARE(d.sequence, reported);
        QCOMPARE(digits.count(), reported.size());
        QStringList expectedOrder;
        for (int i = 0; i < reported.size(); ++i)
            expectedOrder << QStringLiteral("digit") + reported.at(i) << QStringLiteral("sequence") + reported.left(i + 1);
        QCOMPARE(order, expectedOrder);
    }

    void sequenceKeepsLast64()
    {
        DtmfDetector d;
        QString sent;
        for (int i = 0; i < 65; ++i) {
            const char key = char(kKeys.at(i % 16).toLatin1());
            sent += QLatin1Char(key);
            d.addSamples(DtmfDetector::generateTone(key, 44100, 70, 0.5));
            d.addSamples(QList<double>(3000, 0.0));
        }
        QCOMPARE(d.sequence.size(), 64);
        QCOMPARE(d.sequence, sent.right(64));
    }

    void rateChangeDiscardsPending()
    {
        DtmfDetector d;
        QSignalSpy digits(&d, &DtmfDetector::digitDetected);
        const QList<double> tone = DtmfDetector::generateTone('7', 48000, 200, 0.5);
        d.addSamples(tone.mid(0, 1000)); // pending, under one block at 44.1 kHz
        d.setSampleRate(48000);
        QCOMPARE(d.sampleRate(), 48000);
        d.addSamples(tone.mid(1000, 1000)); // 1000 of 1116: still nothing to analyse
        QCOMPARE(digits.count(), 0);
        d.setSampleRate(0);
        d.setSampleRate(-5);
        d.setSampleRate(48000);
        QCOMPARE(d.sampleRate(), 48000);
        d.addSamples(tone.mid(2000, 116)); // kept: the ignored calls discarded nothing
        QCOMPARE(digits.count(), 1);
        QCOMPARE(d.sequence, QStringLiteral("7"));

        // The sequence and the digit state survive a change of rate.
        d.setSampleRate(44100);
        d.addSamples(DtmfDetector::generateTone('7', 44100, 100, 0.5));
        QCOMPARE(d.sequence, QStringLiteral("7"));
    }

    void resetClearsEverything()
    {
        DtmfDetector d;
        d.addSamples(DtmfDetector::generateTone('3', 44100, 100, 0.5));
        d.addSamples(DtmfDetector::generateTone('3', 44100, 10, 0.5)); // left pending
        QCOMPARE(d.sequence, QStringLiteral("3"));
        d.reset();
        QVERIFY(d.sequence.isEmpty());
        // The held key counts as released, and the pending part is gone:
        // 1020 samples of key 3 make no block on their own.
        QSignalSpy digits(&d, &DtmfDetector::digitDetected);
        d.addSamples(DtmfDetector::generateTone('3', 44100, 100, 0.5).mid(0, 1020));
        QCOMPARE(digits.count(), 0);
        d.addSamples(DtmfDetector::generateTone('3', 44100, 100, 0.5).mid(0, 5));
        QCOMPARE(digits.count(), 1);
    }

    void receiverMayEmptyOrReset()
    {
        DtmfDetector d;
        // Emptying the sequence inside the signal, as the event logic does.
        connect(&d, &DtmfDetector::sequenceReceived, this, [&d](const QString& s) {
            if (s.endsWith(QLatin1Char('#')))
                d.sequence.clear();
        });
        QList<double> samples;
        for (const char k : {'1', '#', '2'}) {
            samples += DtmfDetector::generateTone(k, 44100, 100, 0.5);
            samples += QList<double>(4000, 0.0);
        }
        d.addSamples(samples);
        QCOMPARE(d.sequence, QStringLiteral("2"));

        // A reset inside the signal ends the analysis of that feed safely.
        DtmfDetector r;
        QSignalSpy digits(&r, &DtmfDetector::digitDetected);
        connect(&r, &DtmfDetector::digitDetected, this, [&r](char) { r.reset(); });
        r.addSamples(samples);
        QCOMPARE(digits.count(), 1);
        QVERIFY(r.sequence.isEmpty());
        r.addSamples(samples);
        QCOMPARE(digits.count(), 2);
    }

    void buffers_data()
    {
        QTest::addColumn<QString>("ffmpegFormat");
        QTest::addColumn<int>("sampleFormat");
        QTest::addColumn<int>("channels");
        QTest::addColumn<bool>("opposite"); // right channel inverted: the mean is silent
        QTest::addColumn<QString>("digits");
        QTest::newRow("unsigned 8-bit mono") << "u8" << int(QAudioFormat::UInt8) << 1 << false << "159#";
        QTest::newRow("signed 16-bit stereo") << "s16le" << int(QAudioFormat::Int16) << 2 << false << "159#";
        QTest::newRow("signed 32-bit stereo") << "s32le" << int(QAudioFormat::Int32) << 2 << false << "159#";
        QTest::newRow("float stereo") << "f32le" << int(QAudioFormat::Float) << 2 << false << "159#";
        QTest::newRow("float, channels cancel") << "f32le" << int(QAudioFormat::Float) << 2 << true << "";
        QTest::newRow("16-bit, channels cancel") << "s16le" << int(QAudioFormat::Int16) << 2 << true << "";
    }

    void buffers()
    {
        QFETCH(QString, ffmpegFormat);
        QFETCH(int, sampleFormat);
        QFETCH(int, channels);
        QFETCH(bool, opposite);
        QFETCH(QString, digits);
        // A stereo file of the keys 1, 5, 9 and # made by ffmpeg at 48 kHz.
        QStringList terms;
        const QString keys = QStringLiteral("159#");
        for (int i = 0; i < keys.size(); ++i) {
            terms << QStringLiteral("between(t,%1,%2)*(sin(2*PI*%3*t)+sin(2*PI*%4*t))")
                         .arg(0.05 + i * 0.2)
                         .arg(0.15 + i * 0.2)
                         .arg(lowOf(keys.at(i)))
                         .arg(highOf(keys.at(i)));
        }
        const QString expr = QStringLiteral("0.3*(") + terms.join(QLatin1Char('+')) + QLatin1Char(')');
        const QString path = m_dir + QStringLiteral("/buffer-%1.wav").arg(opposite ? 1 : 0);
        const QString exprs = opposite ? expr + QStringLiteral("|-") + expr : expr + QLatin1Char('|') + expr;
        QVERIFY(AudioFixtures::ffmpeg({"-f", "lavfi", "-i",
                                       QStringLiteral("aevalsrc=exprs='%1':s=48000:d=0.9:c=stereo").arg(exprs),
                                       "-c:a", "pcm_f32le", path}));
        const QByteArray raw = decodeRaw(path, ffmpegFormat, channels);
        QVERIFY(!raw.isEmpty());

        QAudioFormat format;
        format.setSampleRate(48000);
        format.setChannelCount(channels);
        format.setSampleFormat(QAudioFormat::SampleFormat(sampleFormat));
        DtmfDetector d;
        QCOMPARE(d.sampleRate(), 44100);
        // Delivered in device-sized buffers.
        const int chunk = format.bytesForFrames(2048);
        for (qsizetype i = 0; i < raw.size(); i += chunk)
            d.addBuffer(QAudioBuffer(raw.mid(i, chunk), format));
        QCOMPARE(d.sampleRate(), 48000);
        QCOMPARE(d.sequence, digits);
    }

    void buffersIgnored()
    {
        DtmfDetector d;
        const QList<double> tone = DtmfDetector::generateTone('5', 22050, 200, 0.5);
        QByteArray raw;
        for (const double x : tone) {
            const qint16 v = qint16(x * 32767);
            raw.append(reinterpret_cast<const char*>(&v), 2);
        }
        d.addBuffer(QAudioBuffer());
        QAudioFormat format;
        format.setSampleRate(22050);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        d.addBuffer(QAudioBuffer(QByteArray(), format));
        QCOMPARE(d.sampleRate(), 44100);

        // A format without a rate makes the buffer invalid: nothing is read.
        QAudioFormat noRate = format;
        noRate.setSampleRate(0);
        d.setSampleRate(22050);
        d.addBuffer(QAudioBuffer(raw, noRate));
        QCOMPARE(d.sampleRate(), 22050);
        QVERIFY(d.sequence.isEmpty());
        d.addBuffer(QAudioBuffer(raw, format));
        QCOMPARE(d.sequence, QStringLiteral("5"));
    }

    void keysFromSox_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("44.1 kHz") << 44100;
        QTest::newRow("48 kHz") << 48000;
    }

    void keysFromSox()
    {
        QFETCH(int, rate);
        const QString file = soxKeys(m_dir, QStringLiteral("all-%1").arg(rate), kKeys, rate, {});
        QVERIFY(!file.isEmpty());
        QCOMPARE(AudioFixtures::probe(file, QStringLiteral("stream=sample_rate")), QString::number(rate));
        QCOMPARE(detect(decodeMono(file), rate), kKeys);
    }

    void variantsFromSox_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<double>("onMs");
        QTest::addColumn<double>("offMs");
        QTest::addColumn<double>("offsetPercent");
        QTest::addColumn<double>("twistDb");
        QTest::addColumn<QString>("heard");
        const QString repeats = QStringLiteral("1122##0*0*");
        for (const int rate : {44100, 48000}) {
            const QString r = QString::number(rate) + QLatin1Char(' ');
            QTest::newRow(qPrintable(r + "repeated keys, 100 ms gaps")) << rate << repeats << 100.0 << 100.0 << 0.0 << 0.0 << QString(repeats);
            QTest::newRow(qPrintable(r + "repeated keys, 70 ms gaps")) << rate << repeats << 50.0 << 70.0 << 0.0 << 0.0 << QString(repeats);
            QTest::newRow(qPrintable(r + "gaps too short to release")) << rate << QStringLiteral("5555") << 100.0 << 15.0 << 0.0 << 0.0 << QString("5");
            QTest::newRow(qPrintable(r + "40 ms tones")) << rate << kKeys << 40.0 << 80.0 << 0.0 << 0.0 << QString(kKeys);
            QTest::newRow(qPrintable(r + "+1 %")) << rate << kKeys << 100.0 << 100.0 << 1.0 << 0.0 << QString(kKeys);
            QTest::newRow(qPrintable(r + "-1 %")) << rate << kKeys << 100.0 << 100.0 << -1.0 << 0.0 << QString(kKeys);
            QTest::newRow(qPrintable(r + "+1.5 %")) << rate << kKeys << 100.0 << 100.0 << 1.5 << 0.0 << QString(kKeys);
            QTest::newRow(qPrintable(r + "-1.5 %")) << rate << kKeys << 100.0 << 100.0 << -1.5 << 0.0 << QString(kKeys);
            QTest::newRow(qPrintable(r + "high group 6 dB louder")) << rate << kKeys << 100.0 << 100.0 << 0.0 << -6.0 << QString(kKeys);
            QTest::newRow(qPrintable(r + "low group 6 dB louder")) << rate << kKeys << 100.0 << 100.0 << 0.0 << 6.0 << QString(kKeys);
            QTest::newRow(qPrintable(r + "high group 10 dB louder")) << rate << kKeys << 100.0 << 100.0 << 0.0 << -10.0 << QString(kKeys);
            QTest::newRow(qPrintable(r + "twist of 15 dB rejected")) << rate << kKeys << 100.0 << 100.0 << 0.0 << -15.0 << QString("");
            QTest::newRow(qPrintable(r + "reverse twist of 15 dB rejected")) << rate << kKeys << 100.0 << 100.0 << 0.0 << 15.0 << QString("");
        }
    }

    void variantsFromSox()
    {
        QFETCH(int, rate);
        QFETCH(QString, keys);
        QFETCH(double, onMs);
        QFETCH(double, offMs);
        QFETCH(double, offsetPercent);
        QFETCH(double, twistDb);
        QFETCH(QString, heard);
        ToneSpec spec;
        spec.onMs = onMs;
        spec.offMs = offMs;
        spec.offset = offsetPercent / 100.0;
        spec.twistDb = twistDb;
        const QString file = soxKeys(m_dir, QStringLiteral("variant"), keys, rate, spec);
        QVERIFY(!file.isEmpty());
        QCOMPARE(detect(decodeMono(file), rate), heard);
    }

    void keysInNoise_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("44.1 kHz") << 44100;
        QTest::newRow("48 kHz") << 48000;
    }

    void keysInNoise()
    {
        QFETCH(int, rate);
        // Tones at -12 dBFS each (together -9 dBFS rms), white noise at
        // -24 dBFS rms over the whole band: 15 dB S/N, about 23 dB in 300-3400 Hz.
        ToneSpec spec;
        spec.levelDb = -12;
        const QString tones = soxKeys(m_dir, QStringLiteral("noisy-%1").arg(rate), kKeys, rate, spec);
        QVERIFY(!tones.isEmpty());
        const QString noise = m_dir + QStringLiteral("/noise.wav");
        const QString mixed = m_dir + QStringLiteral("/noisy.wav");
        const QString seconds = QString::number(kKeys.size() * 0.2, 'f', 2);
        QVERIFY(sox({"-R", "-n", "-r", QString::number(rate), "-c", "1", "-b", "16", noise, "synth", seconds,
                     "whitenoise", "gain", "-n", "-15.5"}));
        QVERIFY(sox({"-m", "-v", "1", tones, "-v", "1", noise, mixed}));
        const QList<double> samples = decodeMono(mixed);
        QVERIFY(!samples.isEmpty());

        // Every key is heard, in order and once, while its tone lasts.
        // Noise alone in the pauses can pass the default level gate, and then
        // the block test can find a key in it; a gate above the noise peak
        // leaves only the keys.
        double noisePeak = 0;
        for (const double x : decodeMono(noise))
            noisePeak = std::max(noisePeak, std::abs(x));
        QVERIFY(noisePeak > 0.02);
        QCOMPARE(detect(samples, rate, noisePeak * 1.05), kKeys);
        const QString loose = detect(samples, rate);
        int found = 0;
        for (const QChar c : loose) {
            if (found < kKeys.size() && c == kKeys.at(found))
                ++found;
        }
        QCOMPARE(found, kKeys.size());
        QVERIFY2(loose.size() <= kKeys.size() + 4, qPrintable(loose));
    }

    void musicWithoutTones_data()
    {
        QTest::addColumn<int>("rate");
        QTest::newRow("44.1 kHz") << 44100;
        QTest::newRow("48 kHz") << 48000;
    }

    void musicWithoutTones()
    {
        QFETCH(int, rate);
        // Plucked-string chords over a sawtooth bass, half a second each.
        const QStringList chords{"C3 E3 G3 C4", "A2 C3 E3 A3", "F2 A2 C3 F3", "G2 B2 D3 G3",
                                 "C3 E3 G3 C4", "E2 G2 B2 E3", "F2 A2 C3 F3", "G2 B2 D3 F3"};
        QStringList parts;
        for (int i = 0; i < chords.size(); ++i) {
            const QString part = m_dir + QStringLiteral("/chord-%1.wav").arg(i);
            QStringList args{"-n", "-r", QString::number(rate), "-c", "5", "-b", "16", part, "synth", "0.5"};
            const QStringList notes = chords.at(i).split(QLatin1Char(' '));
            for (const QString& n : notes)
                args << "pluck" << n;
            args << "sawtooth" << notes.first();
            args << "remix" << "1v0.3,2v0.3,3v0.3,4v0.3,5v0.1";
            QVERIFY(sox(args));
            parts << part;
        }
        const QString music = m_dir + QStringLiteral("/music.wav");
        QVERIFY(sox(QStringList(parts) << music));
        const QList<double> samples = decodeMono(music);
        QVERIFY(samples.size() >= rate * 3);
        double peak = 0;
        for (const double x : samples)
            peak = std::max(peak, std::abs(x));
        QVERIFY(peak > 0.1);
        int reports = 0;
        const QString heard = detect(samples, rate, 0.02, &reports);
        QVERIFY2(reports == 0, qPrintable(heard));
    }

    void toneShare_data()
    {
        // Key 1 (697 + 1209 Hz, 0.25 each) in one block with a third sine.
        QTest::addColumn<int>("rate");
        QTest::addColumn<double>("extraHz");
        QTest::addColumn<double>("extraAmp");
        QTest::addColumn<char>("key");
        QTest::newRow("clean") << 44100 << 500.0 << 0.0 << '1';
        QTest::newRow("third sine as strong as each tone") << 44100 << 500.0 << 0.25 << char(0);
        QTest::newRow("third sine well under the tones") << 44100 << 500.0 << 0.15 << '1';
        QTest::newRow("strong sine in the band") << 48000 << 3000.0 << 0.4 << char(0);
        QTest::newRow("strong sine above the band") << 48000 << 8000.0 << 0.4 << '1';
        QTest::newRow("telephone rate, clean") << 8000 << 3000.0 << 0.0 << '1';
        QTest::newRow("telephone rate, strong sine") << 8000 << 3000.0 << 0.4 << char(0);
    }

    void toneShare()
    {
        QFETCH(int, rate);
        QFETCH(double, extraHz);
        QFETCH(double, extraAmp);
        QFETCH(char, key);
        QList<double> block(DtmfDetector::blockSize(rate));
        for (int i = 0; i < block.size(); ++i) {
            const double t = double(i) / rate;
            block[i] = 0.25 * std::sin(2 * std::numbers::pi * 697 * t) + 0.25 * std::sin(2 * std::numbers::pi * 1209 * t)
                + extraAmp * std::sin(2 * std::numbers::pi * extraHz * t + 0.3);
        }
        QCOMPARE(DtmfDetector::analyseBlock(block, rate, 0.02), key);
    }

    void offFrequencyBlocks()
    {
        // A whole block of every key 1.5 % off, also with the high group
        // 8 dB louder or the low group 4 dB louder.
        for (const int rate : {44100, 48000}) {
            for (const double offset : {-0.015, 0.015}) {
                for (const double twistDb : {0.0, -8.0, 4.0}) {
                    for (const QChar k : kKeys) {
                        QList<double> block(DtmfDetector::blockSize(rate));
                        const double lowAmp = 0.25 * std::pow(10.0, twistDb / 40);
                        const double highAmp = 0.25 * std::pow(10.0, -twistDb / 40);
                        for (int i = 0; i < block.size(); ++i) {
                            const double t = double(i) / rate;
                            block[i] = lowAmp * std::sin(2 * std::numbers::pi * lowOf(k) * (1 + offset) * t)
                                + highAmp * std::sin(2 * std::numbers::pi * highOf(k) * (1 + offset) * t + 1.0);
                        }
                        QVERIFY2(DtmfDetector::analyseBlock(block, rate, 0.02) == k.toLatin1(),
                                 qPrintable(QStringLiteral("key %1 at %2 Hz, %3 %, twist %4 dB")
                                                .arg(k)
                                                .arg(rate)
                                                .arg(offset * 100)
                                                .arg(twistDb)));
                    }
                }
            }
        }
    }

    void farOffKeysRejected()
    {
        // 3.5 % off, both tones or one of them, filling the block or
        // starting inside it, at several phases: never a key.
        QStringList accepted;
        for (const int rate : {44100, 48000}) {
            const int n = DtmfDetector::blockSize(rate);
            for (const double offset : {-0.035, 0.035}) {
                for (const int which : {0, 1, 2}) { // both off, low off, high off
                    for (const int start : {0, n / 8, n / 4}) {
                        for (const QChar k : kKeys) {
                            const double phase = 0.4 * (start + which);
                            QList<double> block(n, 0.0);
                            for (int i = start; i < n; ++i) {
                                const double t = double(i) / rate;
                                block[i] = 0.25 * std::sin(2 * std::numbers::pi * lowOf(k) * (1 + (which != 2 ? offset : 0)) * t + phase)
                                    + 0.25 * std::sin(2 * std::numbers::pi * highOf(k) * (1 + (which != 1 ? offset : 0)) * t);
                            }
                            if (DtmfDetector::analyseBlock(block, rate, 0.02) != 0)
                                accepted << QStringLiteral("%1 %2 Hz %3 % kind %4 from %5").arg(k).arg(rate).arg(offset * 100).arg(which).arg(start);
                        }
                    }
                }
            }
        }
        QVERIFY2(accepted.isEmpty(), qPrintable(accepted.join(QStringLiteral("; "))));
    }

    void keysAtTheLimits_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<double>("onMs");
        QTest::addColumn<double>("offMs");
        QTest::addColumn<double>("offsetPercent");
        QTest::addColumn<double>("twistDb");
        QTest::addColumn<double>("snrDb"); // in 300-3400 Hz; 0 for no noise
        for (const int rate : {44100, 48000}) {
            const QString r = QString::number(rate) + QLatin1Char(' ');
            QTest::newRow(qPrintable(r + "+1.5 %, high group 8 dB louder")) << rate << 100.0 << 100.0 << 1.5 << -8.0 << 0.0;
            QTest::newRow(qPrintable(r + "-1.5 %, high group 8 dB louder")) << rate << 100.0 << 100.0 << -1.5 << -8.0 << 0.0;
            QTest::newRow(qPrintable(r + "+1.5 %, low group 4 dB louder")) << rate << 100.0 << 100.0 << 1.5 << 4.0 << 0.0;
            QTest::newRow(qPrintable(r + "-1.5 %, low group 4 dB louder")) << rate << 100.0 << 100.0 << -1.5 << 4.0 << 0.0;
            QTest::newRow(qPrintable(r + "40 ms tones, +1.5 %")) << rate << 40.0 << 60.0 << 1.5 << 0.0 << 0.0;
            QTest::newRow(qPrintable(r + "40 ms tones, -1.5 %")) << rate << 40.0 << 60.0 << -1.5 << 0.0 << 0.0;
            QTest::newRow(qPrintable(r + "noise 15 dB under the tones")) << rate << 100.0 << 100.0 << 0.0 << 0.0 << 15.0;
            QTest::newRow(qPrintable(r + "noise 15 dB under, +1.5 %")) << rate << 100.0 << 100.0 << 1.5 << 0.0 << 15.0;
            QTest::newRow(qPrintable(r + "noise 15 dB under, 40 ms tones")) << rate << 40.0 << 60.0 << 0.0 << 0.0 << 15.0;
        }
    }

    void keysAtTheLimits()
    {
        QFETCH(int, rate);
        QFETCH(double, onMs);
        QFETCH(double, offMs);
        QFETCH(double, offsetPercent);
        QFETCH(double, twistDb);
        QFETCH(double, snrDb);
        ToneSpec spec;
        spec.onMs = onMs;
        spec.offMs = offMs;
        spec.offset = offsetPercent / 100.0;
        spec.twistDb = twistDb;
        spec.levelDb = -12;
        const QString file = soxKeys(m_dir, QStringLiteral("limits"), kKeys, rate, spec);
        QVERIFY(!file.isEmpty());
        QList<double> samples = decodeMono(file);
        QVERIFY(!samples.isEmpty());
        if (snrDb > 0) {
            // White noise over the whole band, scaled so that its share in
            // 300-3400 Hz lies snrDb under the power of the two tones.
            const QString noiseFile = m_dir + QStringLiteral("/limits-noise.wav");
            QVERIFY(sox({"-R", "-n", "-r", QString::number(rate), "-c", "1", "-b", "16", noiseFile, "synth",
                         QString::number(samples.size() / double(rate) + 0.1, 'f', 3), "whitenoise", "gain", "-n",
                         "-6"}));
            const QList<double> noise = decodeMono(noiseFile);
            QVERIFY(noise.size() >= samples.size());
            double noisePower = 0;
            for (qsizetype i = 0; i < samples.size(); ++i)
                noisePower += noise.at(i) * noise.at(i);
            noisePower /= double(samples.size());
            const double a = std::pow(10.0, -12 / 20.0);
            const double tonePower = a * a; // two tones of amplitude a, a²/2 each
            const double wanted = tonePower / std::pow(10.0, snrDb / 10) * (rate / 2.0 / 3100.0);
            const double scale = std::sqrt(wanted / noisePower);
            for (qsizetype i = 0; i < samples.size(); ++i)
                samples[i] += scale * noise.at(i);
        }
        // Every key exactly once, with the default level gate: noise alone
        // in the pauses is no key either.
        QCOMPARE(detect(samples, rate), kKeys);
    }

    void signalsWithoutKeys_data()
    {
        // Each part is one sox run ("%1" is its file); the parts play in turn.
        QTest::addColumn<int>("rate");
        QTest::addColumn<QStringList>("parts");
        QTest::addColumn<bool>("viaFfmpeg"); // else sox parts
        const QStringList triads{"C4 E4 G4", "A3 C4 E4", "F3 A3 C4", "G3 B3 D4", "E3 G3 B3", "D4 F4 A4"};
        QStringList sawtooth;
        QStringList square;
        for (const QString& chord : triads) {
            const QStringList n = chord.split(QLatin1Char(' '));
            sawtooth << QStringLiteral("-c 3 %1 synth 0.6 sawtooth %2 sawtooth %3 sawtooth %4 "
                                       "remix 1v0.25,2v0.25,3v0.25 fade 0 0.6 0.5")
                            .arg("%1", n.at(0), n.at(1), n.at(2));
            square << QStringLiteral("-c 2 %1 synth 0.4 square %2 square %3 remix 1v0.3,2v0.2 fade 0.02 0.4 0.2")
                          .arg("%1", n.at(0), n.at(2));
        }
        // Vowel-like sounds: a gliding buzz through three formant peaks.
        QStringList vowels;
        for (const QString& formants : {QStringLiteral("730 1090 2440"), QStringLiteral("270 2290 3010"),
                                        QStringLiteral("530 1840 2480"), QStringLiteral("570 840 2410"),
                                        QStringLiteral("660 1720 2410"), QStringLiteral("300 870 2240")}) {
            const QStringList f = formants.split(QLatin1Char(' '));
            vowels << QStringLiteral("-c 1 %1 synth 0.5 sawtooth 110:190 lowpass 3500 equalizer %2 1.5q +14 "
                                     "equalizer %3 1.5q +10 equalizer %4 2q +8 gain -n -3 fade 0.05 0.5 0.1")
                          .arg("%1", f.at(0), f.at(1), f.at(2));
        }
        // Chords of eight harmonics at 1/h each, decaying, made by ffmpeg.
        QStringList harmonic;
        for (const double root : {261.63, 220.0, 174.61, 196.0, 329.63, 146.83}) {
            QStringList terms;
            for (const double ratio : {1.0, 1.2599, 1.4983}) {
                for (int h = 1; h <= 8; ++h)
                    terms << QStringLiteral("sin(2*PI*%1*t)/%2").arg(root * ratio * h, 0, 'f', 3).arg(h);
            }
            harmonic << QStringLiteral("0.08*exp(-3*t)*(%1)").arg(terms.join(QLatin1Char('+')));
        }
        for (const int rate : {44100, 48000}) {
            const QString r = QString::number(rate) + QLatin1Char(' ');
            QTest::newRow(qPrintable(r + "sawtooth triads")) << rate << sawtooth << false;
            QTest::newRow(qPrintable(r + "square-wave intervals")) << rate << square << false;
            QTest::newRow(qPrintable(r + "harmonic chords")) << rate << harmonic << true;
            QTest::newRow(qPrintable(r + "vowels")) << rate << vowels << false;
            QTest::newRow(qPrintable(r + "white noise")) << rate << QStringList{"-c 1 %1 synth 6 whitenoise gain -n -12"}
                                                         << false;
            QTest::newRow(qPrintable(r + "pink noise")) << rate << QStringList{"-c 1 %1 synth 6 pinknoise gain -n -12"}
                                                        << false;
            QTest::newRow(qPrintable(r + "brown noise")) << rate << QStringList{"-c 1 %1 synth 6 brownnoise gain -n -12"}
                                                         << false;
        }
    }

    void signalsWithoutKeys()
    {
        QFETCH(int, rate);
        QFETCH(QStringList, parts);
        QFETCH(bool, viaFfmpeg);
        QStringList files;
        for (int i = 0; i < parts.size(); ++i) {
            const QString file = m_dir + QStringLiteral("/nokeys-%1.wav").arg(i);
            if (viaFfmpeg) {
                QVERIFY(AudioFixtures::ffmpeg({"-f", "lavfi", "-i",
                                               QStringLiteral("aevalsrc=exprs='%1':s=%2:d=0.5")
                                                   .arg(parts.at(i))
                                                   .arg(rate),
                                               "-c:a", "pcm_s16le", file}));
            } else {
                QStringList args{"-n", "-r", QString::number(rate), "-b", "16"};
                for (const QString& a : parts.at(i).split(QLatin1Char(' ')))
                    args << (a == QLatin1String("%1") ? file : a);
                QVERIFY(sox(args));
            }
            files << file;
        }
        const QString all = m_dir + QStringLiteral("/nokeys.wav");
        QVERIFY(sox(QStringList(files) << all));
        const QList<double> samples = decodeMono(all);
        QVERIFY(samples.size() >= rate * 2);
        double peak = 0;
        for (const double x : samples)
            peak = std::max(peak, std::abs(x));
        QVERIFY2(peak > 0.1, qPrintable(QString::number(peak)));
        QCOMPARE(detect(samples, rate), QString());
    }
};

OL_TEST_MAIN(TestDtmfDetector)
#include "tst_dtmfdetector.moc"
