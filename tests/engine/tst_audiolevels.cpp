#include "olmain.h"

#include "engine/audiolevels.h"

#include <QAudioBuffer>
#include <QAudioFormat>

#include <cstring>

Q_DECLARE_METATYPE(QAudioFormat::SampleFormat)

namespace {

QAudioFormat formatOf(QAudioFormat::SampleFormat sf, int channels, int rate = 44100)
{
    QAudioFormat f;
    f.setSampleFormat(sf);
    f.setChannelCount(channels);
    f.setSampleRate(rate);
    return f;
}

template <typename T>
QAudioBuffer bufferOf(const QList<T>& samples, QAudioFormat::SampleFormat sf, int channels)
{
    QByteArray raw(samples.size() * qsizetype(sizeof(T)), Qt::Uninitialized);
    std::memcpy(raw.data(), samples.constData(), size_t(raw.size()));
    return QAudioBuffer(raw, formatOf(sf, channels));
}

QList<qint16> pcmOf(const QByteArray& bytes)
{
    QList<qint16> out(bytes.size() / 2);
    for (qsizetype i = 0; i < out.size(); ++i)
        out[i] = qFromLittleEndian<qint16>(bytes.constData() + 2 * i);
    return out;
}

} // namespace

class TestAudioLevels : public QObject
{
    Q_OBJECT

private slots:
    void peaks_data();
    void peaks();
    void peaksRefuseUnmeasurable();
    void peaksIgnoreChannelsBeyondTwo();
    void dbfs_data();
    void dbfs();
    void pcm16_data();
    void pcm16();
    void pcm16CopiesSixteenBitUnchanged();
    void pcm16Refuses();
};

void TestAudioLevels::peaks_data()
{
    QTest::addColumn<QAudioBuffer>("buffer");
    QTest::addColumn<double>("left");
    QTest::addColumn<double>("right");

    QTest::newRow("s16 stereo full negative left") << bufferOf<qint16>({0, 100, -32768, 16384}, QAudioFormat::Int16, 2)
                                                   << 1.0 << 0.5;
    QTest::newRow("s16 stereo positive max") << bufferOf<qint16>({32767, -8192}, QAudioFormat::Int16, 2)
                                             << 32767.0 / 32768.0 << 0.25;
    QTest::newRow("u8 constant centre is silence") << bufferOf<quint8>({128, 128, 128, 128}, QAudioFormat::UInt8, 2)
                                                   << 0.0 << 0.0;
    QTest::newRow("u8 extremes") << bufferOf<quint8>({0, 192, 255, 128}, QAudioFormat::UInt8, 2) << 1.0 << 0.5;
    QTest::newRow("s32 stereo") << bufferOf<qint32>({std::numeric_limits<qint32>::min(), 1 << 29, 0, -(1 << 30)},
                                                    QAudioFormat::Int32, 2)
                                << 1.0 << 0.5;
    QTest::newRow("float over full scale clamps") << bufferOf<float>({1.5f, -0.25f, 0.1f, 0.125f}, QAudioFormat::Float, 2)
                                                  << 1.0 << 0.25;
    QTest::newRow("float mono copies left to right") << bufferOf<float>({0.1f, -0.75f, 0.5f}, QAudioFormat::Float, 1)
                                                     << 0.75 << 0.75;
    QTest::newRow("s16 mono") << bufferOf<qint16>({-16384, 8192}, QAudioFormat::Int16, 1) << 0.5 << 0.5;
}

void TestAudioLevels::peaks()
{
    QFETCH(QAudioBuffer, buffer);
    QFETCH(double, left);
    QFETCH(double, right);
    const LevelPeaks p = AudioLevels::peakLevels(buffer);
    QVERIFY(p.valid);
    QVERIFY2(qAbs(p.left - left) < 1e-6, qPrintable(QString::number(p.left)));
    QVERIFY2(qAbs(p.right - right) < 1e-6, qPrintable(QString::number(p.right)));
}

void TestAudioLevels::peaksRefuseUnmeasurable()
{
    QVERIFY(!AudioLevels::peakLevels(QAudioBuffer()).valid);
    QVERIFY(!AudioLevels::peakLevels(QAudioBuffer(QByteArray(), formatOf(QAudioFormat::Int16, 2))).valid);
    QAudioFormat noChannels = formatOf(QAudioFormat::Int16, 0);
    QVERIFY(!AudioLevels::peakLevels(QAudioBuffer(QByteArray(8, 'x'), noChannels)).valid);
    const LevelPeaks unsupported =
        AudioLevels::peakLevels(QAudioBuffer(QByteArray(8, 'x'), formatOf(QAudioFormat::Unknown, 2)));
    QVERIFY(!unsupported.valid);
    QCOMPARE(unsupported.left, 0.0);
    QCOMPARE(unsupported.right, 0.0);
}

void TestAudioLevels::peaksIgnoreChannelsBeyondTwo()
{
    // Four channels: the loud third and fourth channel must not count.
    const LevelPeaks p = AudioLevels::peakLevels(
        bufferOf<qint16>({8192, 4096, 32767, 32767, -8192, 0, -32768, -32768}, QAudioFormat::Int16, 4));
    QVERIFY(p.valid);
    QCOMPARE(p.left, 0.25);
    QCOMPARE(p.right, 0.125);
}

void TestAudioLevels::dbfs_data()
{
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("db");
    QTest::newRow("zero") << 0.0 << -100.0;
    QTest::newRow("negative") << -0.5 << -100.0;
    QTest::newRow("below floor") << 0.000001 << -100.0;
    QTest::newRow("half") << 0.5 << -6.0206;
    QTest::newRow("full") << 1.0 << 0.0;
    QTest::newRow("tenth") << 0.1 << -20.0;
    QTest::newRow("over") << 2.0 << 6.0206;
}

void TestAudioLevels::dbfs()
{
    QFETCH(double, x);
    QFETCH(double, db);
    QVERIFY2(qAbs(AudioLevels::toDbfs(x) - db) < 1e-3, qPrintable(QString::number(AudioLevels::toDbfs(x))));
}

void TestAudioLevels::pcm16_data()
{
    QTest::addColumn<QAudioBuffer>("buffer");
    QTest::addColumn<QList<qint16>>("expected");

    // 8-bit: (s-128)/128 × 32767; 192 lands on 16383.5 and -16383.5 for 64,
    // which must round away from zero.
    QTest::newRow("u8") << bufferOf<quint8>({128, 0, 255, 192, 64, 129}, QAudioFormat::UInt8, 2)
                        << QList<qint16>{0, -32767, 32511, 16384, -16384, 256};
    QTest::newRow("s32") << bufferOf<qint32>({std::numeric_limits<qint32>::max(), std::numeric_limits<qint32>::min(),
                                              1 << 30, 0},
                                             QAudioFormat::Int32, 2)
                         << QList<qint16>{32767, -32767, 16384, 0};
    QTest::newRow("float clamps and rounds") << bufferOf<float>({1.5f, -1.5f, 0.5f, -0.25f, 0.0f, 1.0f}, QAudioFormat::Float, 2)
                                             << QList<qint16>{32767, -32768, 16384, -8192, 0, 32767};
    QTest::newRow("float mono") << bufferOf<float>({-1.0f, 0.75f}, QAudioFormat::Float, 1)
                                << QList<qint16>{-32767, 24575};
}

void TestAudioLevels::pcm16()
{
    QFETCH(QAudioBuffer, buffer);
    QFETCH(QList<qint16>, expected);
    const QByteArray out = AudioLevels::toPcm16(buffer);
    QCOMPARE(out.size(), buffer.frameCount() * buffer.format().channelCount() * 2);
    QCOMPARE(pcmOf(out), expected);
}

void TestAudioLevels::pcm16CopiesSixteenBitUnchanged()
{
    const QList<qint16> samples{-32768, 32767, 0, 1, -1, 12345};
    const QAudioBuffer b = bufferOf<qint16>(samples, QAudioFormat::Int16, 2);
    QCOMPARE(pcmOf(AudioLevels::toPcm16(b)), samples);
}

void TestAudioLevels::pcm16Refuses()
{
    QVERIFY(AudioLevels::toPcm16(QAudioBuffer()).isEmpty());
    QVERIFY(AudioLevels::toPcm16(QAudioBuffer(QByteArray(), formatOf(QAudioFormat::Float, 2))).isEmpty());
    QVERIFY(AudioLevels::toPcm16(QAudioBuffer(QByteArray(16, 'x'), formatOf(QAudioFormat::Unknown, 2))).isEmpty());
}

OL_TEST_MAIN(TestAudioLevels)
#include "tst_audiolevels.moc"
