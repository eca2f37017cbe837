#include "olmain.h"

#include "audiofixtures.h"
#include "engine/audiolevels.h"
#include "engine/silencedetector.h"

#include <QAudioBuffer>
#include <QAudioDecoder>
#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QUrl>

namespace {

constexpr int kTickMs = 250;

// The decoded audio of a file cut into pieces of one tick each, as buffers.
QList<QAudioBuffer> decodeInTicks(const QString& path, QString* error)
{
    QAudioDecoder decoder;
    QList<QAudioBuffer> decoded;
    bool done = false;
    QObject::connect(&decoder, &QAudioDecoder::bufferReady, [&] { decoded.append(decoder.read()); });
    QObject::connect(&decoder, &QAudioDecoder::finished, [&] { done = true; });
    QObject::connect(&decoder, qOverload<QAudioDecoder::Error>(&QAudioDecoder::error), [&] {
        *error = decoder.errorString();
        done = true;
    });
    decoder.setSource(QUrl::fromLocalFile(path));
    decoder.start();
    QDeadlineTimer deadline(60000);
    while (!done && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!done)
        *error = QStringLiteral("decoding timed out");
    if (!error->isEmpty() || decoded.isEmpty())
        return {};

    const QAudioFormat format = decoded.first().format();
    const qsizetype tickBytes = qsizetype(format.bytesForDuration(kTickMs * 1000));
    QList<QAudioBuffer> ticks;
    QByteArray pending;
    for (const QAudioBuffer& b : std::as_const(decoded)) {
        pending.append(b.constData<char>(), b.byteCount());
        while (pending.size() >= tickBytes) {
            ticks.append(QAudioBuffer(pending.left(tickBytes), format));
            pending.remove(0, tickBytes);
        }
    }
    return ticks;
}

struct Gap
{
    double start = 0.0;
    double end = -1.0; // -1: lasts to the end
};

// ffmpeg's own reading of the silences of at least minSeconds.
QList<Gap> ffmpegSilences(const QString& path, double noise, double minSeconds)
{
    QString err;
    AudioFixtures::run(QStringLiteral("ffmpeg"),
                       {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-i"), path,
                        QStringLiteral("-af"),
                        QStringLiteral("silencedetect=noise=%1:d=%2").arg(noise).arg(minSeconds),
                        QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")},
                       nullptr, &err);
    QList<Gap> gaps;
    const QRegularExpression re(QStringLiteral("silence_(start|end): (-?[0-9.]+)"));
    for (auto it = re.globalMatch(err); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        if (m.captured(1) == QLatin1String("start"))
            gaps.append({m.captured(2).toDouble(), -1.0});
        else if (!gaps.isEmpty())
            gaps.last().end = m.captured(2).toDouble();
    }
    return gaps;
}

} // namespace

class TestSilenceDetector : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QSettings().remove(QStringLiteral("silence"));
    }

    void defaults()
    {
        SilenceDetector d;
        QVERIFY(!d.isEnabled());
        QCOMPARE(d.timeoutSecs(), 10);
        QCOMPARE(d.threshold(), 0.02);
        QCOMPARE(d.action(), SilenceDetector::PlayNext);
        QVERIFY(d.playlist().isEmpty());
        QCOMPARE(d.statusText(), QStringLiteral("Silence detector: Disabled"));
    }

    void firesAtEachTimeout()
    {
        SilenceDetector d;
        d.setEnabled(true);
        QSignalSpy spy(&d, &SilenceDetector::silenceDetected);
        for (int i = 1; i < 40; ++i)
            QVERIFY2(!d.feed(0.0, 250), qPrintable(QString::number(i)));
        QCOMPARE(spy.count(), 0);
        QVERIFY(d.feed(0.0, 250));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), int(SilenceDetector::PlayNext));
        // While the silence lasts it is reported again after each time-out.
        for (int i = 1; i < 40; ++i)
            QVERIFY(!d.feed(0.0, 250));
        QVERIFY(d.feed(0.0, 250));
        QCOMPARE(spy.count(), 2);
        QCOMPARE(d.statusText(), QStringLiteral("Silence: 20s / 10s"));
        // Sound restarts the count: a new silence needs the full time-out.
        QVERIFY(!d.feed(0.5, 250));
        for (int i = 1; i < 40; ++i)
            QVERIFY(!d.feed(0.01, 250));
        QVERIFY(d.feed(0.01, 250));
        QCOMPARE(spy.count(), 3);
    }

    void thresholdBoundary_data()
    {
        QTest::addColumn<double>("level");
        QTest::addColumn<bool>("silent");
        QTest::newRow("zero") << 0.0 << true;
        QTest::newRow("exactly the threshold") << 0.02 << true;
        QTest::newRow("just above") << 0.0201 << false;
        QTest::newRow("full scale") << 1.0 << false;
        QTest::newRow("negative") << -0.5 << true;
    }

    void thresholdBoundary()
    {
        QFETCH(double, level);
        QFETCH(bool, silent);
        SilenceDetector d;
        d.setEnabled(true);
        d.setTimeoutSecs(1);
        d.feed(0.0, 500);
        QCOMPARE(d.silentMs(), 500);
        QCOMPARE(d.feed(level, 500), silent);
        QCOMPARE(d.silentMs(), silent ? 1000 : 0);
    }

    void negativeMsAddsNothing()
    {
        SilenceDetector d;
        d.setEnabled(true);
        d.feed(0.0, 300);
        QVERIFY(!d.feed(0.0, -5000));
        QCOMPARE(d.silentMs(), 300);
        QVERIFY(!d.feed(0.0, 0));
        QCOMPARE(d.silentMs(), 300);
    }

    void disabledNeverCounts()
    {
        SilenceDetector d;
        QSignalSpy spy(&d, &SilenceDetector::silenceDetected);
        for (int i = 0; i < 100; ++i)
            QVERIFY(!d.feed(0.0, 1000));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(d.silentMs(), 0);
    }

    void resets()
    {
        SilenceDetector d;
        d.setEnabled(true);
        d.setTimeoutSecs(1);
        d.feed(0.0, 1000);
        QVERIFY(d.hasFired());

        // The threshold changes nothing of the count.
        d.setThreshold(0.5);
        QVERIFY(d.hasFired());
        QCOMPARE(d.silentMs(), 1000);

        // Setting the same enabled flag is no change.
        d.setEnabled(true);
        QCOMPARE(d.silentMs(), 1000);

        d.setEnabled(false);
        d.setEnabled(true);
        QCOMPARE(d.silentMs(), 0);
        QVERIFY(!d.hasFired());

        d.feed(0.0, 1000);
        d.setTimeoutSecs(1);
        QCOMPARE(d.silentMs(), 0);
        QVERIFY(!d.hasFired());

        d.feed(0.0, 1000);
        d.reset();
        QCOMPARE(d.silentMs(), 0);
        QVERIFY(!d.hasFired());
    }

    void clamps_data()
    {
        QTest::addColumn<int>("timeout");
        QTest::addColumn<int>("expectedTimeout");
        QTest::addColumn<double>("threshold");
        QTest::addColumn<double>("expectedThreshold");
        QTest::addColumn<int>("storedTimeout");
        QTest::addColumn<double>("storedThreshold");
        // Set directly a value is held to the bounds; stored outside them it
        // is absurd and gives the default.
        QTest::newRow("lower bounds") << 0 << 1 << -0.3 << 0.0 << 10 << 0.02;
        QTest::newRow("upper bounds") << 1000 << 300 << 1.7 << 1.0 << 10 << 0.02;
        QTest::newRow("inside") << 45 << 45 << 0.25 << 0.25 << 45 << 0.25;
        QTest::newRow("edges") << 300 << 300 << 1.0 << 1.0 << 300 << 1.0;
    }

    void clamps()
    {
        QFETCH(int, timeout);
        QFETCH(int, expectedTimeout);
        QFETCH(double, threshold);
        QFETCH(double, expectedThreshold);
        QFETCH(int, storedTimeout);
        QFETCH(double, storedThreshold);
        SilenceDetector d;
        d.setTimeoutSecs(timeout);
        d.setThreshold(threshold);
        QCOMPARE(d.timeoutSecs(), expectedTimeout);
        QCOMPARE(d.threshold(), expectedThreshold);

        QSettings s;
        s.setValue(QStringLiteral("silence/timeout"), timeout);
        s.setValue(QStringLiteral("silence/threshold"), threshold);
        s.sync();
        SilenceDetector loaded;
        loaded.loadFromSettings();
        QCOMPARE(loaded.timeoutSecs(), storedTimeout);
        QCOMPARE(loaded.threshold(), storedThreshold);
    }

    void actionFromSettings_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("action");
        QTest::newRow("next") << QVariant(0) << 0;
        QTest::newRow("repeat") << QVariant(1) << 1;
        QTest::newRow("extra playlist") << QVariant(2) << 2;
        QTest::newRow("out of range") << QVariant(7) << 0;
        QTest::newRow("negative") << QVariant(-1) << 0;
        QTest::newRow("text") << QVariant(QStringLiteral("two")) << 0;
    }

    void actionFromSettings()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, action);
        QSettings s;
        s.setValue(QStringLiteral("silence/action"), stored);
        s.sync();
        QObject owner;
        SilenceDetector* d = SilenceDetector::fromSettings(&owner);
        QCOMPARE(d->parent(), &owner);
        QCOMPARE(int(d->action()), action);
        QCOMPARE(int(SilenceDetector::actionFromInt(stored.toInt())), action);
    }

    void saveAndLoadRoundTrip()
    {
        SilenceDetector d;
        d.setEnabled(true);
        d.setTimeoutSecs(42);
        d.setThreshold(0.07);
        d.setAction(SilenceDetector::actionFromInt(2));
        d.setPlaylist(QStringLiteral("/srv/playlists/fallback.m3u8"));
        d.saveToSettings();

        QSettings s;
        QCOMPARE(s.value(QStringLiteral("silence/enabled")).toBool(), true);
        QCOMPARE(s.value(QStringLiteral("silence/timeout")).toInt(), 42);
        QCOMPARE(s.value(QStringLiteral("silence/threshold")).toDouble(), 0.07);
        QCOMPARE(s.value(QStringLiteral("silence/action")).toInt(), 2);

        SilenceDetector loaded;
        loaded.setTimeoutSecs(1);
        loaded.feed(0.0, 0);
        loaded.setEnabled(true);
        loaded.feed(0.0, 1000);
        QVERIFY(loaded.hasFired());
        loaded.loadFromSettings();
        QVERIFY(loaded.isEnabled());
        QCOMPARE(loaded.timeoutSecs(), 42);
        QCOMPARE(loaded.threshold(), 0.07);
        QCOMPARE(loaded.action(), SilenceDetector::LoadPlaylist);
        QCOMPARE(loaded.playlist(), QStringLiteral("/srv/playlists/fallback.m3u8"));
        // A reload starts the count afresh.
        QCOMPARE(loaded.silentMs(), 0);
        QVERIFY(!loaded.hasFired());

        QSignalSpy spy(&loaded, &SilenceDetector::silenceDetected);
        loaded.feed(0.0, 42000);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), 2);
    }

    void statusText()
    {
        SilenceDetector d;
        d.setEnabled(true);
        QCOMPARE(d.statusText(), QStringLiteral("Silence detector: On (10s)"));
        for (int i = 0; i < 10; ++i)
            d.feed(0.0, 250);
        QCOMPARE(d.statusText(), QStringLiteral("Silence: 2s / 10s"));
        d.feed(0.0, 1);
        QCOMPARE(d.statusText(), QStringLiteral("Silence: 2s / 10s"));
        d.feed(0.9, 250);
        QCOMPARE(d.statusText(), QStringLiteral("Silence detector: On (10s)"));
        d.setEnabled(false);
        QCOMPARE(d.statusText(), QStringLiteral("Silence detector: Disabled"));
    }

    // A programme with dead air in it: the levels of its decoded buffers,
    // fed tick by tick, report a gap at each whole time-out it lasts,
    // counted from where ffmpeg finds the gap to begin.
    void realAudio_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::newRow("wav") << "wav";
        QTest::newRow("mp3") << "mp3";
    }

    void realAudio()
    {
        QFETCH(QString, suffix);
        // Tone at -20 dBFS; gaps of 5.1 s (two time-outs), 1.5 s (shorter
        // than the time-out) and 3.5 s at the end.
        AudioFixtures::Signal signal;
        signal.expression = AudioFixtures::sineExpression(1000.0, QStringLiteral("-20")) +
                            QStringLiteral("*(lt(t,3.1)+gte(t,8.2)*lt(t,11.3)+gte(t,12.8)*lt(t,15))");
        signal.seconds = 18.5;
        const QString path = QDir(testHome().scratch(QStringLiteral("silence"))).filePath(
            QStringLiteral("gaps.") + suffix);
        QVERIFY(AudioFixtures::make(path, signal));

        const int timeoutSecs = 2;
        const QList<Gap> gaps = ffmpegSilences(path, 0.02, timeoutSecs);
        QCOMPARE(gaps.size(), 2);

        QString error;
        const QList<QAudioBuffer> ticks = decodeInTicks(path, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(ticks.size() >= 70);

        SilenceDetector d;
        d.setEnabled(true);
        d.setTimeoutSecs(timeoutSecs);
        QSignalSpy spy(&d, &SilenceDetector::silenceDetected);
        QList<double> reported; // seconds into the file, at the end of the tick
        QList<double> resumed;
        for (qsizetype i = 0; i < ticks.size(); ++i) {
            const LevelPeaks p = AudioLevels::peakLevels(ticks.at(i));
            QVERIFY(p.valid);
            const qint64 before = d.silentMs();
            if (d.feed(std::max(p.left, p.right), kTickMs))
                reported.append((i + 1) * kTickMs / 1000.0);
            if (before > 0 && d.silentMs() == 0)
                resumed.append(i * kTickMs / 1000.0);
        }
        QCOMPARE(spy.count(), reported.size());
        const QList<double> due = {gaps.at(0).start + timeoutSecs, gaps.at(0).start + 2 * timeoutSecs,
                                   gaps.at(1).start + timeoutSecs};
        QCOMPARE(reported.size(), due.size());
        for (qsizetype i = 0; i < due.size(); ++i) {
            const double expected = due.at(i);
            const double late = reported.at(i) - expected;
            // A tick is counted only when wholly silent, so the report comes
            // at most one tick after the gap is long enough.
            QVERIFY2(late > -0.05 && late < kTickMs / 1000.0 + 0.05,
                     qPrintable(QStringLiteral("gap %1: reported at %2 s, ffmpeg: %3 s + %4 s")
                                    .arg(i).arg(reported.at(i)).arg(expected - timeoutSecs).arg(timeoutSecs)));
        }
        // The count restarts where the sound comes back: after the first gap
        // and after the short one, which ffmpeg does not count either.
        QCOMPARE(resumed.size(), 2);
        QVERIFY2(qAbs(resumed.at(0) - gaps.at(0).end) < kTickMs / 1000.0 + 0.05,
                 qPrintable(QStringLiteral("%1 / %2").arg(resumed.at(0)).arg(gaps.at(0).end)));
    }
};

OL_TEST_MAIN(TestSilenceDetector)
#include "tst_silencedetector.moc"
