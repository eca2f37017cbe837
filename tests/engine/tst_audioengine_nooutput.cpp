// The engine on a machine without any audio output: PulseAudio is made
// unreachable before the application starts, so no output device is listed.
#include "olmain.h"

#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"

#include <QAudioOutput>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QSignalSpy>

namespace {
const bool s_noPulse = [] {
    qputenv("PULSE_SERVER", "unix:/nonexistent/orchidlantern-no-pulse");
    return true;
}();
} // namespace

class TestAudioEngineNoOutput : public QObject
{
    Q_OBJECT

private slots:
    void cannotPlay();
};

void TestAudioEngineNoOutput::cannotPlay()
{
    QVERIFY(s_noPulse);
    QVERIFY2(QMediaDevices::audioOutputs().isEmpty(), "PulseAudio must be out of reach for this test");
    const QString file = testHome().scratch() + QStringLiteral("/tone.wav");
    QVERIFY(AudioFixtures::tone(file, 440, -6, 2));

    PlaylistModel model;
    model.addTrack(Track::fromFile(file));
    Track stop;
    stop.marker = true;
    stop.label = QStringLiteral("STOP");
    model.addTrack(stop);
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy now(&e, &AudioEngine::nowPlaying);
    QSignalSpy rows(&e, &AudioEngine::currentRowChanged);
    const QString message = QStringLiteral("No audio output device available - cannot play");

    e.playRow(0);
    // The row becomes current and is announced, but no deck starts.
    QCOMPARE(rows.size(), 1);
    QCOMPARE(now.size(), 1);
    QCOMPARE(model.currentRow(), 0);
    QCOMPARE(log.last().at(0).toString(), message);
    const auto players = e.findChildren<QMediaPlayer*>(Qt::FindDirectChildrenOnly);
    for (QMediaPlayer* p : players)
        QVERIFY(p->source().isEmpty());

    log.clear();
    e.play();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.last().at(0).toString(), message);
    QTest::qWait(300);
    QVERIFY(!e.isPlaying());

    // Command rows still work without a device.
    e.next();
    QCOMPARE(model.currentRow(), 1);
    QCOMPARE(log.last().at(0).toString(),
             QStringLiteral("STOP command - playback halted (press Play or Next to continue)"));
}

OL_TEST_MAIN(TestAudioEngineNoOutput)
#include "tst_audioengine_nooutput.moc"
