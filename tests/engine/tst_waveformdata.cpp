#include "engine/waveformdata.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QDir>
#include <QFile>

#include <cmath>

class TestWaveformData : public QObject
{
    Q_OBJECT

private slots:
    void bucketRanges();
    void reduceEdges_data();
    void reduceEdges();
    void loadsSilenceThenTone();
    void conversions_data();
    void conversions();
    void loadFailures();
};

void TestWaveformData::bucketRanges()
{
    // Each frame holds its own index, so a bucket's min and max are the
    // first and last frame of its range: [0,2), [2,5), [5,7), [7,10).
    QList<float> samples;
    for (int i = 0; i < 10; ++i)
        samples << float(i);
    const QList<WaveformPeak> peaks = WaveformData::reduce(samples, 1, 4);
    QCOMPARE(peaks.size(), 4);
    const float ranges[4][2] = {{0, 1}, {2, 4}, {5, 6}, {7, 9}};
    for (int b = 0; b < 4; ++b) {
        QCOMPARE(peaks[b].min, ranges[b][0]);
        QCOMPARE(peaks[b].max, ranges[b][1]);
    }
}

void TestWaveformData::reduceEdges_data()
{
    QTest::addColumn<QList<float>>("samples");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("buckets");
    QTest::addColumn<QList<float>>("minMax"); // min, max per bucket

    QTest::newRow("short file, one frame a bucket")
        << QList<float>{0.1f, -0.2f, 0.3f} << 1 << 1500 << QList<float>{0.1f, 0.1f, -0.2f, -0.2f, 0.3f, 0.3f};
    QTest::newRow("opposite channels cancel") << QList<float>{1.0f, -1.0f, 1.0f, -1.0f} << 2 << 1
                                              << QList<float>{0.0f, 0.0f};
    QTest::newRow("channels averaged") << QList<float>{0.5f, 0.3f, -0.5f, -0.1f} << 2 << 1
                                       << QList<float>{-0.3f, 0.4f};
    QTest::newRow("no buckets") << QList<float>{0.5f} << 1 << 0 << QList<float>{};
    QTest::newRow("no channels") << QList<float>{0.5f} << 0 << 10 << QList<float>{};
    QTest::newRow("no samples") << QList<float>{} << 2 << 10 << QList<float>{};
    QTest::newRow("less than a frame") << QList<float>{0.5f} << 2 << 10 << QList<float>{};
}

void TestWaveformData::reduceEdges()
{
    QFETCH(QList<float>, samples);
    QFETCH(int, channels);
    QFETCH(int, buckets);
    QFETCH(QList<float>, minMax);
    const QList<WaveformPeak> peaks = WaveformData::reduce(samples, channels, buckets);
    QCOMPARE(peaks.size() * 2, minMax.size());
    for (qsizetype b = 0; b < peaks.size(); ++b) {
        QVERIFY(std::fabs(peaks[b].min - minMax[2 * b]) < 1e-6);
        QVERIFY(std::fabs(peaks[b].max - minMax[2 * b + 1]) < 1e-6);
    }
}

void TestWaveformData::loadsSilenceThenTone()
{
    // 2 s of silence, then 2 s of a full-scale 100 Hz tone, stereo.
    const QString path = QDir(testHome().scratch()).filePath("silence-tone.wav");
    AudioFixtures::Signal s;
    s.expression = "if(lt(t,2),0,sin(2*PI*100*t))";
    s.seconds = 4.0;
    s.sampleRate = 44100;
    s.channels = 2;
    QVERIFY(AudioFixtures::make(path, s));

    WaveformData w;
    QVERIFY(w.load(path, 200));
    QCOMPARE(w.durationMs, qint64(4000));
    QCOMPARE(w.peaks.size(), 200);
    for (int b = 0; b < 100; ++b) {
        QCOMPARE(w.peaks[b].min, 0.0f);
        QCOMPARE(w.peaks[b].max, 0.0f);
    }
    // Every tone bucket spans two periods, so it reaches both extremes.
    for (int b = 100; b < 200; ++b) {
        QVERIFY2(w.peaks[b].max > 0.99f && w.peaks[b].max <= 1.0f, qPrintable(QString::number(b)));
        QVERIFY2(w.peaks[b].min < -0.99f && w.peaks[b].min >= -1.0f, qPrintable(QString::number(b)));
    }
    QCOMPARE(w.msToBucket(1999), 99);
    QCOMPARE(w.msToBucket(2000), 100);
    QCOMPARE(w.bucketToMs(100), qint64(2000));

    // Loading again replaces what was there.
    QVERIFY(w.load(path, 4));
    QCOMPARE(w.peaks.size(), 4);
}

void TestWaveformData::conversions_data()
{
    QTest::addColumn<int>("buckets");
    QTest::addColumn<qint64>("duration");
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<int>("bucket");   // msToBucket(ms)
    QTest::addColumn<int>("someBucket");
    QTest::addColumn<qint64>("startMs"); // bucketToMs(someBucket)
    QTest::newRow("middle") << 1200 << qint64(120000) << qint64(60000) << 600 << 600 << qint64(60000);
    QTest::newRow("past the end") << 1200 << qint64(120000) << qint64(500000) << 1199 << 1200 << qint64(120000);
    QTest::newRow("negative") << 1200 << qint64(120000) << qint64(-5) << 0 << -3 << qint64(-300);
    QTest::newRow("rounds down") << 3 << qint64(1000) << qint64(666) << 1 << 2 << qint64(666);
    QTest::newRow("no duration") << 10 << qint64(0) << qint64(500) << 0 << 5 << qint64(0);
    QTest::newRow("no buckets") << 0 << qint64(1000) << qint64(500) << 0 << 5 << qint64(0);
}

void TestWaveformData::conversions()
{
    QFETCH(int, buckets);
    QFETCH(qint64, duration);
    QFETCH(qint64, ms);
    QFETCH(int, bucket);
    QFETCH(int, someBucket);
    QFETCH(qint64, startMs);
    WaveformData w;
    w.peaks = QList<WaveformPeak>(buckets);
    w.durationMs = duration;
    QCOMPARE(w.msToBucket(ms), bucket);
    QCOMPARE(w.bucketToMs(someBucket), startMs);
}

void TestWaveformData::loadFailures()
{
    WaveformData w;
    w.peaks = QList<WaveformPeak>(5);
    w.durationMs = 900;
    QVERIFY(!w.load(QString(), 100));
    QVERIFY(w.peaks.isEmpty());
    QCOMPARE(w.durationMs, qint64(0));

    const QString junk = QDir(testHome().scratch()).filePath("junk.wav");
    QFile f(junk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1000, '\x01'));
    f.close();
    QVERIFY(!w.load(junk, 100));
    QVERIFY(w.peaks.isEmpty());
    QCOMPARE(w.msToBucket(100), 0);
    QCOMPARE(w.bucketToMs(3), qint64(0));
}

OL_TEST_MAIN(TestWaveformData)
#include "tst_waveformdata.moc"
