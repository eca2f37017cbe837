// ctest: serial
// Pre-listening a track's voice-over from the track tool: what the null sink
// plays, recorded from its monitor.
#include "dialogs/library/tracktooldialog.h"
#include "library/musiclibrary.h"

#include "audiofixtures.h"
#include "olmain.h"
#include "sinkrecorder.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QLabel>
#include <QMediaPlayer>
#include <QPushButton>

namespace {

// The highest amplitude of a frequency over a stretch of a recording.
double loudest(const QList<float>& samples, double hz, qsizetype from, qsizetype to)
{
    const int hopMs = 10;
    const QList<double> env = SinkRecorder::toneEnvelope(samples, hz, 40, hopMs);
    const qsizetype perHop = SinkRecorder::kRate * hopMs / 1000;
    double best = 0;
    for (qsizetype i = from / perHop; i < std::min(env.size(), to / perHop); ++i)
        best = std::max(best, env[i]);
    return best;
}

// What the window system sends for a right-click (QTest's mouse events go
// straight to the widget, past the context-menu synthesis).
void rightClick(QWidget* w)
{
    const QPoint at = w->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
    QApplication::sendEvent(w, &event);
}

} // namespace

class TestTrackToolPrelisten : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }
    void playsStopsAndRestarts();
    void nothingToPrelisten();
};

void TestTrackToolPrelisten::playsStopsAndRestarts()
{
    // The first audio file of the folder in name order plays, whatever else
    // the voice-over holds.
    const QString folder = QDir(testHome().scratch()).filePath("inserts");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(AudioFixtures::tone(QDir(folder).filePath("a.wav"), 660, -6, 6));
    QVERIFY(AudioFixtures::tone(QDir(folder).filePath("b.wav"), 880, -6, 6));
    const QString track = QDir(testHome().scratch()).filePath("song.mp3");
    TrackParams p;
    p.voiceover.ins = 5000;
    p.voiceover.source = folder;
    p.voiceover.probability = 1;
    TrackParams::save(track, p);

    Track t;
    t.filePath = track;
    TrackToolDialog dialog(t, nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* button = dialog.findChild<QPushButton*>("voiceoverButton");
    auto* summary = dialog.findChild<QLabel*>("voiceoverSummary");
    QVERIFY(!dialog.findChild<QMediaPlayer*>()); // none until the first pre-listen

    SinkRecorder rec;
    QVERIFY(rec.start());
    rightClick(button);
    QCOMPARE(summary->text(), QStringLiteral("Pre-listening a.wav"));
    auto* player = dialog.findChild<QMediaPlayer*>();
    QVERIFY(player);
    QTRY_VERIFY_WITH_TIMEOUT(player->position() > 1500, 15000);

    rightClick(button);
    QCOMPARE(player->playbackState(), QMediaPlayer::StoppedState);
    QCOMPARE(summary->text(), QStringLiteral("Pre-listening a.wav"));
    const qsizetype stoppedAt = rec.sampleCount();
    QTest::qWait(1500);
    const QList<float> samples = rec.stop();

    const double full = std::pow(10.0, -6.0 / 20);
    QVERIFY2(loudest(samples, 660, 0, stoppedAt) > 0.7 * full, "the insert was not heard");
    QVERIFY(loudest(samples, 880, 0, samples.size()) < 0.05 * full);
    const qsizetype settled = stoppedAt + SinkRecorder::kRate / 2;
    QVERIFY2(loudest(samples, 660, settled, samples.size()) < 0.05 * full, "still playing after the stop");

    // A third right-click plays it again from its beginning.
    rightClick(button);
    QCOMPARE(player->playbackState(), QMediaPlayer::PlayingState);
    QTRY_VERIFY_WITH_TIMEOUT(player->position() > 0, 15000);
    QVERIFY(player->position() < 1500);
}

void TestTrackToolPrelisten::nothingToPrelisten()
{
    const QString empty = QDir(testHome().scratch()).filePath("no inserts");
    QVERIFY(QDir().mkpath(empty));
    for (const QString& source : {empty, empty + "/missing.wav"}) {
        const QString track = QDir(testHome().scratch()).filePath("quiet song.mp3");
        TrackParams p;
        p.voiceover.ins = 5000;
        p.voiceover.source = source;
        TrackParams::save(track, p);
        Track t;
        t.filePath = track;
        TrackToolDialog dialog(t, nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        rightClick(dialog.findChild<QPushButton*>("voiceoverButton"));
        QCOMPARE(dialog.findChild<QLabel*>("voiceoverSummary")->text(), QStringLiteral("Nothing to pre-listen."));
        QVERIFY(!dialog.findChild<QMediaPlayer*>());
    }
}

OL_TEST_MAIN(TestTrackToolPrelisten)
#include "tst_tracktoolprelisten.moc"
