#include "outputs/pcmconverter.h"
#include "olmain.h"
#include "tonesource.h"

#include <QRandomGenerator>

#include <cmath>

namespace {

QVector<qint16> samples(const QByteArray& pcm)
{
    QVector<qint16> v(pcm.size() / 2);
    memcpy(v.data(), pcm.constData(), size_t(v.size()) * 2);
    return v;
}

// Frequency of channel `ch` from its upward zero crossings; a crossing
// counts once the wave went well below zero, so that the faint ringing of a
// band-limited filter where the tone starts is no cycle.
double frequencyOf(const QByteArray& pcm, int channels, int ch, int sampleRate)
{
    const QVector<qint16> s = samples(pcm);
    const qsizetype frames = s.size() / channels;
    int first = -1, last = -1, crossings = 0;
    bool armed = false;
    for (qsizetype i = 1; i < frames; ++i) {
        armed = armed || s[(i - 1) * channels + ch] < -1000;
        if (armed && s[(i - 1) * channels + ch] < 0 && s[i * channels + ch] >= 0) {
            armed = false;
            if (first < 0)
                first = int(i);
            else
                ++crossings;
            last = int(i);
        }
    }
    return crossings > 0 ? crossings * double(sampleRate) / (last - first) : 0.0;
}

// Level in dB of one frequency, Blackman-Harris windowed (Goertzel-style
// single-bin DFT).
double levelAt(const QVector<qint16>& x, double freq, int rate)
{
    const qsizetype n = x.size();
    double re = 0, im = 0, sum = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const double t = 2 * M_PI * double(i) / double(n - 1);
        const double win = 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
        const double ph = 2 * M_PI * freq * double(i) / rate;
        re += x[i] * win * std::cos(ph);
        im -= x[i] * win * std::sin(ph);
        sum += win;
    }
    return 20 * std::log10(std::max(std::hypot(re, im) * 2 / sum / 32768.0, 1e-12));
}

} // namespace

class TestPcmConverter : public QObject
{
    Q_OBJECT

private slots:
    void sameFormatPassesThrough()
    {
        ToneSource tone(44100, 2);
        const QAudioBuffer b = tone.next(1000);
        PcmConverter conv(44100, 2);
        QCOMPARE(conv.convert(b), QByteArray(b.constData<char>(), b.byteCount()));
    }

    // Whatever the source, the output has the target's frame count and the
    // tone keeps its pitch; blocks of any size join into the same stream as
    // one large block would give.
    void formatsRatesAndChannels_data()
    {
        QTest::addColumn<int>("inRate");
        QTest::addColumn<int>("inChannels");
        QTest::addColumn<int>("sampleFormat");
        QTest::addColumn<int>("outRate");
        QTest::addColumn<int>("outChannels");
        QTest::newRow("48k float stereo to 44.1k stereo") << 48000 << 2 << int(QAudioFormat::Float) << 44100 << 2;
        QTest::newRow("22.05k mono 16-bit to 44.1k stereo") << 22050 << 1 << int(QAudioFormat::Int16) << 44100 << 2;
        QTest::newRow("96k int32 stereo to 48k mono") << 96000 << 2 << int(QAudioFormat::Int32) << 48000 << 1;
        QTest::newRow("44.1k uint8 mono to 44.1k stereo") << 44100 << 1 << int(QAudioFormat::UInt8) << 44100 << 2;
        QTest::newRow("8k 16-bit stereo to 44.1k mono") << 8000 << 2 << int(QAudioFormat::Int16) << 44100 << 1;
    }

    void formatsRatesAndChannels()
    {
        QFETCH(int, inRate);
        QFETCH(int, inChannels);
        QFETCH(int, sampleFormat);
        QFETCH(int, outRate);
        QFETCH(int, outChannels);
        const auto fmt = QAudioFormat::SampleFormat(sampleFormat);
        const int seconds = 2;
        ToneSource whole(inRate, inChannels, fmt, 440.0, 0.5);
        PcmConverter oneShot(outRate, outChannels);
        const QByteArray expected = oneShot.convert(whole.next(inRate * seconds));

        ToneSource pieces(inRate, inChannels, fmt, 440.0, 0.5);
        PcmConverter blockwise(outRate, outChannels);
        QByteArray got;
        auto* rng = QRandomGenerator::global();
        qint64 left = qint64(inRate) * seconds;
        while (left > 0) {
            const int n = int(std::min<qint64>(left, rng->bounded(1, 3000)));
            got += blockwise.convert(pieces.next(n));
            left -= n;
        }
        QCOMPARE(got.size(), expected.size());
        QVERIFY(got == expected);

        // Upsampling holds back the stretch after the last input frame until
        // the next block brings its neighbour.
        const qint64 frames = got.size() / (2 * outChannels);
        QVERIFY2(frames <= qint64(outRate) * seconds && frames >= qint64(outRate) * seconds - outRate / inRate - 1,
                 qPrintable(QString::number(frames)));
        for (int ch = 0; ch < outChannels; ++ch) {
            const double f = frequencyOf(got, outChannels, ch, outRate);
            QVERIFY2(qAbs(f - 440.0) < 2.0, qPrintable(QStringLiteral("channel %1: %2 Hz").arg(ch).arg(f)));
        }
        // Level survives: a 0.5 sine peaks near 16384.
        const QVector<qint16> s = samples(got);
        const qint16 peak = *std::max_element(s.cbegin(), s.cend());
        QVERIFY2(peak > 15500 && peak < 17000, qPrintable(QString::number(peak)));
    }

    // A bright tone keeps no audible copy folded back into the band: the
    // rate change filters out what lies beyond the lower Nyquist frequency.
    void imagesStayFarBelowTheTone_data()
    {
        QTest::addColumn<int>("inRate");
        QTest::addColumn<int>("outRate");
        QTest::addColumn<double>("image");
        QTest::newRow("44.1k to 48k") << 44100 << 48000 << 13900.0;
        QTest::newRow("48k to 44.1k") << 48000 << 44100 << 6100.0;
    }

    void imagesStayFarBelowTheTone()
    {
        QFETCH(int, inRate);
        QFETCH(int, outRate);
        QFETCH(double, image);
        ToneSource tone(inRate, 1, QAudioFormat::Int16, 10000.0, 0.5);
        PcmConverter conv(outRate, 1);
        const QVector<qint16> out = samples(conv.convert(tone.next(inRate)));
        const QVector<qint16> middle = out.mid(out.size() / 8, out.size() * 3 / 4);
        const double toneDb = levelAt(middle, 10000.0, outRate);
        const double imageDb = levelAt(middle, image, outRate);
        QVERIFY2(toneDb > -7.0, qPrintable(QString::number(toneDb)));
        QVERIFY2(imageDb - toneDb < -90.0, qPrintable(QStringLiteral("image %1 dB below the tone").arg(toneDb - imageDb)));
    }

    void channelMapping()
    {
        const QVector<qint16> stereo{1000, 3000, -2000, 4000};
        PcmConverter toMono(44100, 1);
        const QByteArray in(reinterpret_cast<const char*>(stereo.constData()), stereo.size() * 2);
        QCOMPARE(samples(toMono.convertPcm16(in, 44100, 2)), (QVector<qint16>{2000, 1000}));

        const QVector<qint16> mono{7, -9};
        PcmConverter toStereo(44100, 2);
        const QByteArray m(reinterpret_cast<const char*>(mono.constData()), mono.size() * 2);
        QCOMPARE(samples(toStereo.convertPcm16(m, 44100, 1)), (QVector<qint16>{7, 7, -9, -9}));
    }

    // A capture device may hand over bytes that end inside a frame; the
    // rest of that frame arrives with the next read.
    void rawBytesCarryIncompleteFrames()
    {
        ToneSource tone(48000, 2, QAudioFormat::Float, 1000.0, 0.3);
        const QByteArray raw = tone.nextBytes(4800);
        PcmConverter whole(44100, 2);
        const QByteArray expected = whole.convertRaw(raw, tone.format());

        PcmConverter split(44100, 2);
        QByteArray got;
        for (qsizetype pos = 0; pos < raw.size();) {
            const qsizetype n = std::min<qsizetype>(raw.size() - pos, 1 + (pos * 7) % 37); // never frame-aligned
            got += split.convertRaw(raw.mid(pos, n), tone.format());
            pos += n;
        }
        QCOMPARE(got.size(), expected.size());
        QVERIFY(got == expected);
        QVERIFY(!got.isEmpty());
    }

    void sourceRateChangeStartsAfresh()
    {
        PcmConverter conv(44100, 2);
        ToneSource a(48000, 2);
        ToneSource b(32000, 2);
        const qsizetype first = conv.convert(a.next(48000)).size() / 4;
        const qsizetype second = conv.convert(b.next(32000)).size() / 4;
        QVERIFY(qAbs(first - 44100) <= 1);
        QVERIFY(qAbs(second - 44100) <= 1);
        QVERIFY(conv.convert(QAudioBuffer()).isEmpty());
    }
};

OL_TEST_MAIN(TestPcmConverter)
#include "tst_pcmconverter.moc"
