// ctest: serial
// Segues: when the next row starts and what a listener hears of it, checked
// on the engine's own position reports and on a recording of the null sink.
#include "olmain.h"

#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "sinkrecorder.h"

#include <QAudioOutput>
#include <QMediaPlayer>
#include <QSettings>
#include <QSignalSpy>

namespace {

constexpr int kHopMs = 5;

QMediaPlayer* deckPlayer(AudioEngine& e, int deck)
{
    e.prepareDecks();
    return e.findChild<QMediaPlayer*>(QStringLiteral("deck%1").arg(deck), Qt::FindDirectChildrenOnly);
}

QAudioOutput* deckOutput(AudioEngine& e, int deck)
{
    e.prepareDecks();
    return e.findChild<QAudioOutput*>(QStringLiteral("deck%1").arg(deck), Qt::FindDirectChildrenOnly);
}

// First envelope index at or after from whose value reaches threshold; -1.
qsizetype firstAbove(const QList<double>& env, double threshold, qsizetype from = 0)
{
    for (qsizetype i = qMax<qsizetype>(from, 0); i < env.size(); ++i) {
        if (env.at(i) >= threshold)
            return i;
    }
    return -1;
}

// Least-squares line through env over [from, to): value = a + b·index.
struct Line
{
    double a = 0, b = 0, maxResidual = 0;
};

Line fit(const QList<double>& env, qsizetype from, qsizetype to)
{
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (qsizetype i = from; i < to; ++i) {
        n += 1;
        sx += double(i);
        sy += env.at(i);
        sxx += double(i) * double(i);
        sxy += double(i) * env.at(i);
    }
    Line l;
    l.b = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    l.a = (sy - l.b * sx) / n;
    for (qsizetype i = from; i < to; ++i)
        l.maxResidual = qMax(l.maxResidual, qAbs(env.at(i) - (l.a + l.b * double(i))));
    return l;
}

// Median of env over [from, to).
double plateau(const QList<double>& env, qsizetype from, qsizetype to)
{
    QList<double> v = env.mid(from, to - from);
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0.0 : v.at(v.size() / 2);
}

struct Fall
{
    double startMs = 0; // where the falling line leaves the plateau
    double endMs = 0;   // where it reaches zero
    double maxResidual = 0;
};

// The linear fall of a tone from its plateau p: fitted between 85 % and 15 %
// of p, so that the window's smearing at both ends stays out of the fit.
Fall linearFall(const QList<double>& env, qsizetype from, double p)
{
    qsizetype hi = from;
    while (hi < env.size() && env.at(hi) > 0.85 * p)
        ++hi;
    qsizetype lo = hi;
    while (lo < env.size() && env.at(lo) > 0.15 * p)
        ++lo;
    Fall f;
    if (lo - hi < 4)
        return f;
    const Line l = fit(env, hi, lo);
    f.startMs = (p - l.a) / l.b * kHopMs;
    f.endMs = -l.a / l.b * kHopMs;
    f.maxResidual = l.maxResidual / p;
    return f;
}

} // namespace

class TestSegues : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void startsAtFirstReportWithinMixPoint_data();
    void startsAtFirstReportWithinMixPoint();
    void shortTrackNeverSegues();
    void noSegueIntoStopRow();
    void segueTakesQueueHead();
    void waitingDeckFollowsTheNextRow();
    void withoutFadeOnMixOutgoingPlaysOut();
    void levelTriggerIgnoresVolumeAndDucking();

    void crossfadeAsHeard();
    void levelTriggerAsHeardWithoutCascade();

private:
    struct Report
    {
        qint64 position;
        qint64 duration;
    };
    // Plays row 0 and returns the active deck's last position reports
    // before row 1 started (empty when it never did within the timeout).
    QList<Report> reportsUntilSegue(AudioEngine& e, int timeoutMs);

    QString m_dir;
    QString m_six;   // 6 s, 440 Hz
    QString m_four;  // 4 s, 880 Hz
    QString m_drop;  // 440 Hz, -6 dBFS for 4 s, then -26 dBFS for 3 s
    QString m_eight; // 8 s, 880 Hz
    QString m_three; // 3 s, 660 Hz
};

void TestSegues::initTestCase()
{
    QVERIFY(MusicLibrary::initDatabase());
    TrackParams::ensureSchema();
    m_dir = testHome().scratch(QStringLiteral("audio"));
    m_six = m_dir + QStringLiteral("/six.wav");
    m_four = m_dir + QStringLiteral("/four.wav");
    m_drop = m_dir + QStringLiteral("/drop.wav");
    m_eight = m_dir + QStringLiteral("/eight.wav");
    m_three = m_dir + QStringLiteral("/three.wav");
    QVERIFY(AudioFixtures::tone(m_six, 440, -6, 6));
    QVERIFY(AudioFixtures::tone(m_four, 880, -6, 4));
    QVERIFY(AudioFixtures::tone(m_eight, 880, -6, 8));
    QVERIFY(AudioFixtures::tone(m_three, 660, -6, 3));
    AudioFixtures::Signal drop;
    drop.expression = AudioFixtures::sineExpression(440, QStringLiteral("if(lt(t,4),-6,-26)"));
    drop.seconds = 7;
    QVERIFY(AudioFixtures::make(m_drop, drop));
}

void TestSegues::init()
{
    QSettings s;
    s.clear();
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 3000);
    s.setValue(QStringLiteral("playback/mixPointMs"), 2000);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 2000);
    s.setValue(QStringLiteral("playback/fadeInMs"), 1000);
    s.setValue(QStringLiteral("audio/defaultVolume"), 100);
}

QList<TestSegues::Report> TestSegues::reportsUntilSegue(AudioEngine& e, int timeoutMs)
{
    QList<Report> reports;
    bool started = false;
    auto c1 = connect(&e, &AudioEngine::positionChanged, this, [&](qint64 pos) {
        if (!started)
            reports.append({pos, e.duration()});
    });
    auto c2 = connect(&e, &AudioEngine::currentRowChanged, this, [&](int row) {
        if (row == 1)
            started = true;
    });
    e.playRow(0);
    if (!QTest::qWaitFor([&] { return started; }, timeoutMs))
        started = false;
    disconnect(c1);
    disconnect(c2);
    if (!started)
        reports.clear();
    return reports;
}

void TestSegues::startsAtFirstReportWithinMixPoint_data()
{
    QTest::addColumn<int>("fileMix");     // the file's own mix point, -1 none
    QTest::addColumn<int>("segueMix");    // the transition's override, -1 none
    QTest::addColumn<int>("expectedMix");
    QTest::newRow("settings") << -1 << -1 << 2000;
    QTest::newRow("file overrides settings") << 1000 << -1 << 1000;
    QTest::newRow("transition overrides file") << 1000 << 3000 << 3000;
    QTest::newRow("transition of zero waits for the end") << -1 << 0 << 0;
}

void TestSegues::startsAtFirstReportWithinMixPoint()
{
    QFETCH(int, fileMix);
    QFETCH(int, segueMix);
    QFETCH(int, expectedMix);
    TrackParams p;
    p.mix = fileMix;
    TrackParams::save(m_six, p);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_six));
    model.addTrack(Track::fromFile(m_four));
    if (segueMix >= 0)
        model.setSegueOverrides(0, {TrackParams::SegueOverride{segueMix, -1}});
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    const QList<Report> reports = reportsUntilSegue(e, 15000);
    QVERIFY(reports.size() >= 3);
    const Report last = reports.last();
    const qint64 remaining = last.duration - last.position;
    if (expectedMix == 0) {
        // Either the report at the very end or the end of media starts it.
        QVERIFY(remaining <= 0 || reports.at(reports.size() - 1).position >= last.duration - 100);
    } else {
        QVERIFY2(remaining <= expectedMix && remaining >= 0, qPrintable(QString::number(remaining)));
        const Report before = reports.at(reports.size() - 2);
        QVERIFY2(before.duration - before.position > expectedMix, qPrintable(QString::number(before.position)));
        // A segue, not the end of the track.
        for (const QList<QVariant>& args : log)
            QVERIFY(!args.at(0).toString().startsWith(QStringLiteral("End of track")));
    }
    e.stop();
    TrackParams::remove(m_six);
}

void TestSegues::shortTrackNeverSegues()
{
    QSettings().setValue(QStringLiteral("playback/minCrossfadeMs"), 7000);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_six));
    model.addTrack(Track::fromFile(m_four));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    const QList<Report> reports = reportsUntilSegue(e, 15000);
    QVERIFY(!reports.isEmpty());
    QVERIFY(reports.last().duration - reports.last().position < 200);
    QVERIFY(std::any_of(log.cbegin(), log.cend(), [](const QList<QVariant>& a) {
        return a.at(0).toString() == QStringLiteral("End of track: six");
    }));
    e.stop();
}

void TestSegues::noSegueIntoStopRow()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_six));
    Track stop;
    stop.marker = true;
    stop.label = QStringLiteral("STOP");
    model.addTrack(stop);
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    const QList<Report> reports = reportsUntilSegue(e, 15000);
    QVERIFY(!reports.isEmpty());
    QVERIFY(reports.last().duration - reports.last().position < 200);
    QCOMPARE(log.last().at(0).toString(),
             QStringLiteral("STOP command - playback halted (press Play or Next to continue)"));
    QVERIFY(!e.isPlaying());
}

void TestSegues::segueTakesQueueHead()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_six));
    model.addTrack(Track::fromFile(m_four));
    model.addTrack(Track::fromFile(m_three));
    model.addToQueue(2);
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy rows(&e, &AudioEngine::currentRowChanged);
    e.playRow(0);
    QTRY_COMPARE_WITH_TIMEOUT(rows.size(), 2, 15000);
    QCOMPARE(rows.last().at(0).toInt(), 2);
    QVERIFY(model.queue().isEmpty());
    // The segue came before the end: the outgoing deck is still sounding.
    QVERIFY(deckPlayer(e, 0)->playbackState() == QMediaPlayer::PlayingState);
    e.stop();
}

void TestSegues::waitingDeckFollowsTheNextRow()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_eight));
    model.addTrack(Track::fromFile(m_four));
    model.addTrack(Track::fromFile(m_three));
    model.addTrack(Track::fromFile(m_six));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy rows(&e, &AudioEngine::currentRowChanged);
    QSignalSpy started(&e, &AudioEngine::playStarted);
    QMediaPlayer* idle = deckPlayer(e, 1);
    const auto waitsWith = [&](const QString& file) {
        return idle->source() == QUrl::fromLocalFile(file) && idle->playbackState() == QMediaPlayer::PausedState;
    };
    e.playRow(0);
    // The next row waits silent on the idle deck well before the mix point.
    QTRY_VERIFY_WITH_TIMEOUT(waitsWith(m_four), 10000);
    QCOMPARE(e.currentRow(), 0);
    QCOMPARE(deckOutput(e, 1)->volume(), 0.0f);

    // The operator moves the last row up to come next, then queues another.
    model.moveRow(3, 1);
    QTRY_VERIFY_WITH_TIMEOUT(waitsWith(m_six), 10000);
    model.addToQueue(2);
    QTRY_VERIFY_WITH_TIMEOUT(waitsWith(m_four), 10000);
    QCOMPARE(e.currentRow(), 0);

    // The segue starts the queued row, on the deck that waited with it.
    QTRY_COMPARE_WITH_TIMEOUT(rows.size(), 2, 15000);
    QCOMPARE(rows.last().at(0).toInt(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 2, 10000);
    QCOMPARE(started.last().at(0).value<Track>().filePath, m_four);
    QCOMPARE(idle->playbackState(), QMediaPlayer::PlayingState);
    QCOMPARE(idle->source(), QUrl::fromLocalFile(m_four));
    e.stop();
}

void TestSegues::withoutFadeOnMixOutgoingPlaysOut()
{
    QSettings().setValue(QStringLiteral("playback/fadeOutOnMix"), false);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_six));
    model.addTrack(Track::fromFile(m_four));
    AudioEngine e;
    e.setPlaylist(&model);
    QVERIFY(!reportsUntilSegue(e, 15000).isEmpty());
    QTimer* fade0 = e.findChildren<QTimer*>(Qt::FindDirectChildrenOnly).at(0);
    QVERIFY(!fade0->isActive());
    QCOMPARE(deckOutput(e, 0)->volume(), 1.0f);
    // It ends on its own, unfaded, and stops there.
    QTRY_COMPARE_WITH_TIMEOUT(deckPlayer(e, 0)->playbackState(), QMediaPlayer::StoppedState, 5000);
    QCOMPARE(deckOutput(e, 0)->volume(), 1.0f);
    QCOMPARE(deckPlayer(e, 1)->playbackState(), QMediaPlayer::PlayingState);
    e.stop();
}

// A presenter on the microphone ducks the music by about 14 dB, and the
// master volume may be low: the track itself stays at -6 dBFS, so only the
// mix point starts the next row.
void TestSegues::levelTriggerIgnoresVolumeAndDucking()
{
    QSettings s;
    s.setValue(QStringLiteral("playback/triggerMixEnabled"), true);
    s.setValue(QStringLiteral("playback/triggerMixDb"), -14.0);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_six));
    model.addTrack(Track::fromFile(m_four));
    AudioEngine e;
    e.setPlaylist(&model);
    e.setVolume(40);
    e.setDucked(true);
    const QList<Report> reports = reportsUntilSegue(e, 15000);
    e.stop();
    QVERIFY(reports.size() >= 3);
    const Report last = reports.last();
    QVERIFY2(last.duration - last.position <= 2000, qPrintable(QString::number(last.position)));
    QVERIFY2(last.position > 3500, qPrintable(QString::number(last.position)));
}

void TestSegues::crossfadeAsHeard()
{
    // 6 s at 440 Hz then 4 s at 880 Hz; mix point and fade-out 2000 ms,
    // fade-in 1000 ms, master volume 100 %. The first row starts without a
    // fade so that its onset marks the start of the track.
    QSettings().setValue(QStringLiteral("playback/fadeInMs"), 0);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_six));
    model.addTrack(Track::fromFile(m_four));
    AudioEngine e;
    e.setPlaylist(&model);
    SinkRecorder rec;
    QVERIFY(rec.start());
    // Where on the sink's clock the engine started the segue, and at which
    // reported position.
    double segueOnSinkMs = -1;
    qint64 lastPosition = -1;
    qint64 seguePosition = -1;
    connect(&e, &AudioEngine::positionChanged, this, [&](qint64 p) { lastPosition = p; });
    connect(&e, &AudioEngine::currentRowChanged, this, [&](int row) {
        if (row == 1 && segueOnSinkMs < 0) {
            segueOnSinkMs = rec.sampleCount() * 1000.0 / SinkRecorder::kRate;
            seguePosition = lastPosition;
        }
    });
    e.playRow(0);
    QSettings().setValue(QStringLiteral("playback/fadeInMs"), 1000);
    e.applySettings();
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QTRY_COMPARE_WITH_TIMEOUT(model.currentRow(), 1, 15000);
    // The second track ends the playlist.
    QTRY_VERIFY_WITH_TIMEOUT(!log.isEmpty() && log.last().at(0).toString() == QStringLiteral("Stop"), 15000);
    QTest::qWait(300);
    const QList<float> samples = rec.stop();

    const QList<double> low = SinkRecorder::toneEnvelope(samples, 440, 20, kHopMs);
    const QList<double> high = SinkRecorder::toneEnvelope(samples, 880, 20, kHopMs);
    const double full = std::pow(10.0, -6.0 / 20);
    const qsizetype lowOn = SinkRecorder::firstSustained(low, 0.5 * full);
    QVERIFY2(lowOn >= 0, "the first track was not heard");
    const double lowLevel = plateau(low, lowOn + 40, lowOn + 600);
    QVERIFY2(qAbs(lowLevel - full) < 0.05, qPrintable(QString::number(lowLevel)));

    const Fall fall = linearFall(low, lowOn + 600, lowLevel);
    QVERIFY2(fall.endMs > fall.startMs, "no fall of the first track");
    const double onsetMs = lowOn * kHopMs;
    const double segueMs = fall.startMs - onsetMs;
    const double fadeMs = fall.endMs - fall.startMs;
    // Envelope entries are centred half a window after their index.
    const double fallOnSinkMs = fall.startMs + 10;
    qInfo("segue heard %.0f ms into the first track (mix point at 4000, last position report %lld), "
          "%.0f ms after the engine started it; fade-out %.0f ms, worst deviation from a line %.3f",
          segueMs, seguePosition, fallOnSinkMs - segueOnSinkMs, fadeMs, fall.maxResidual);
    // The outgoing tone falls along a straight line over the fade-out length.
    QVERIFY2(qAbs(fadeMs - 2000) < 120, qPrintable(QString::number(fadeMs)));
    QVERIFY2(fall.maxResidual < 0.05, qPrintable(QString::number(fall.maxResidual)));
    // The fall is heard one fade tick after the engine starts the segue,
    // plus the output's latency.
    QVERIFY(segueOnSinkMs > 0);
    QVERIFY2(fallOnSinkMs - segueOnSinkMs > 0 && fallOnSinkMs - segueOnSinkMs < 40 + 150,
             qPrintable(QString::number(fallOnSinkMs - segueOnSinkMs)));
    // The engine starts it at the first position report inside the mix point;
    // reports come 25 to 110 ms apart, and the output adds its latency.
    QVERIFY2(seguePosition >= 4000 - 5 && seguePosition <= 4000 + 110, qPrintable(QString::number(seguePosition)));
    QVERIFY2(segueMs >= 4000 - 40 && segueMs <= 4000 + 110 + 40 + 150, qPrintable(QString::number(segueMs)));

    // The incoming tone rises from the segue over the fade-in length.
    const qsizetype highOn = SinkRecorder::firstSustained(high, 0.05 * full, lowOn);
    QVERIFY(highOn > 0);
    QVERIFY2(qAbs(highOn * kHopMs - fall.startMs) < 150,
             qPrintable(QStringLiteral("%1 vs %2").arg(highOn * kHopMs).arg(fall.startMs)));
    const qsizetype highFull = firstAbove(high, 0.95 * full, highOn);
    QVERIFY(highFull > 0);
    // From 5 % to 95 % of the way: 90 % of the fade-in.
    QVERIFY2(qAbs((highFull - highOn) * kHopMs - 900) < 150, qPrintable(QString::number((highFull - highOn) * kHopMs)));

    // Both tones sound together for about the fade-out length.
    qsizetype overlap = 0;
    // Where they did, so that a failure shows whether it was the segue.
    QString spans;
    for (qsizetype i = 0; i < qMin(low.size(), high.size()); ++i) {
        if (low.at(i) > 0.05 * full && high.at(i) > 0.05 * full) {
            if (overlap == 0 || !(low.at(i - 1) > 0.05 * full && high.at(i - 1) > 0.05 * full))
                spans += QStringLiteral(" from %1 ms").arg(i * kHopMs);
            ++overlap;
        }
    }
    // Each is above 5 % for all but the first or last 5 % of its fade, and
    // the incoming deck needs a moment to start.
    QVERIFY2(overlap * kHopMs > 1600 && overlap * kHopMs < 2100,
             qPrintable(QStringLiteral("%1 ms in all,%2; the fall from %3 ms").arg(overlap * kHopMs).arg(spans).arg(fall.startMs)));
}

void TestSegues::levelTriggerAsHeardWithoutCascade()
{
    // The first track drops from -6 to -26 dBFS at 4 s; the trigger at
    // -14 dBFS starts the next row then, long before its 500 ms mix point.
    // The next track fades in from silence and must not trigger at once.
    QSettings s;
    s.setValue(QStringLiteral("playback/triggerMixEnabled"), true);
    s.setValue(QStringLiteral("playback/triggerMixDb"), -14.0);
    s.setValue(QStringLiteral("playback/mixPointMs"), 500);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 1000);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_drop));
    model.addTrack(Track::fromFile(m_eight));
    model.addTrack(Track::fromFile(m_three));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy rows(&e, &AudioEngine::currentRowChanged);
    SinkRecorder rec;
    QVERIFY(rec.start());
    e.playRow(0);
    QTRY_COMPARE_WITH_TIMEOUT(model.currentRow(), 2, 25000);
    QTest::qWait(1500);
    const QList<float> samples = rec.stop();
    e.stop();
    QCOMPARE(rows.size(), 3);

    const QList<double> first = SinkRecorder::toneEnvelope(samples, 440, 20, kHopMs);
    const QList<double> second = SinkRecorder::toneEnvelope(samples, 880, 20, kHopMs);
    const QList<double> third = SinkRecorder::toneEnvelope(samples, 660, 20, kHopMs);
    const double full = std::pow(10.0, -6.0 / 20);
    // The first row fades in too: its first tick, 40 ms in, marks its start.
    const qsizetype on = SinkRecorder::firstSustained(first, 0.02 * full);
    QVERIFY(on >= 0);
    const qsizetype secondOn = SinkRecorder::firstSustained(second, 0.05 * full, on);
    const qsizetype thirdOn = SinkRecorder::firstSustained(third, 0.05 * full, on);
    QVERIFY(secondOn > 0 && thirdOn > 0);
    const double secondAt = (secondOn - on) * kHopMs;
    const double thirdAfterSecond = (thirdOn - secondOn) * kHopMs;
    qInfo("level trigger: next row heard %.0f ms after the start (level drop at 4000); the row after it %.0f ms "
          "later (mix point at 7500)",
          secondAt, thirdAfterSecond);
    // Buffers reach the meter a little ahead of the loudspeaker.
    QVERIFY2(secondAt > 3600 && secondAt < 4500, qPrintable(QString::number(secondAt)));
    // The second track keeps its level and segues at its mix point only.
    // (A deck that starts late on a loaded machine makes it a little later.)
    QVERIFY2(thirdAfterSecond > 7300 && thirdAfterSecond < 7900, qPrintable(QString::number(thirdAfterSecond)));
}

OL_TEST_MAIN(TestSegues)
#include "tst_segues.moc"
