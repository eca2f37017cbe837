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

class TestTrackToolPrelisten : public QObject
{
    Q_OBJECT

private slots:
    void playsStopsAndRestarts();
};

void TestTrackToolPrelisten::playsStopsAndRestarts()
{
    QVERIFY(MusicLibrary::initDatabase());
    const QString folder = QDir(testHome().scratch()).filePath("inserts");
    QVERIFY(QDir().mkpath(folder));
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
    // What the window system sends for a right-click; QTest's mouse events
    // go to the widget past the context-menu synthesis.
    const auto rightClick = [button] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), button->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(button, &event);
    };

    rightClick(); // an empty folder
    QCOMPARE(summary->text(), QStringLiteral("Nothing to pre-listen."));
    QVERIFY(!dialog.findChild<QMediaPlayer*>());

    // The first audio file in name order plays, whatever the probability.
    QVERIFY(AudioFixtures::tone(QDir(folder).filePath("a.wav"), 660, -6, 6));
    QVERIFY(AudioFixtures::tone(QDir(folder).filePath("b.wav"), 880, -6, 6));
    SinkRecorder rec;
    QVERIFY(rec.start());
    rightClick();
    QCOMPARE(summary->text(), QStringLiteral("Pre-listening a.wav"));
    auto* player = dialog.findChild<QMediaPlayer*>();
    QVERIFY(player);
    QTRY_VERIFY_WITH_TIMEOUT(player->position() > 1500, 15000);
    rightClick(); // stops it
    QCOMPARE(player->playbackState(), QMediaPlayer::StoppedState);
    QCOMPARE(summary->text(), QStringLiteral("Pre-listening a.wav"));
    const qsizetype stoppedAt = rec.sampleCount();
    QTest::qWait(1500);
    const QList<float> samples = rec.stop();

    const auto loudest = [&samples](double hz, qsizetype from) {
        const QList<double> env = SinkRecorder::toneEnvelope(samples, hz, 40, 10);
        double best = 0;
        for (qsizetype i = from / (SinkRecorder::kRate / 100); i < env.size(); ++i)
            best = std::max(best, env[i]);
        return best;
    };
    const double full = std::pow(10.0, -6.0 / 20);
    QVERIFY2(loudest(660, 0) > 0.7 * full, "the insert was not heard");
    QVERIFY(loudest(880, 0) < 0.05 * full);
    QVERIFY2(loudest(660, stoppedAt + SinkRecorder::kRate / 2) < 0.05 * full, "still playing after the stop");

    rightClick(); // again, from the beginning
    QCOMPARE(player->playbackState(), QMediaPlayer::PlayingState);
    QTRY_VERIFY_WITH_TIMEOUT(player->position() > 0, 15000);
    QVERIFY(player->position() < 1500);
}

OL_TEST_MAIN(TestTrackToolPrelisten)
#include "tst_tracktoolprelisten.moc"
