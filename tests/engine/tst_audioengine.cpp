// ctest: serial
// The engine's decks, fades, volume law, transport and advancing through a
// real playlist, played through the PulseAudio null sink.
#include "olmain.h"

#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include <QAudioBuffer>
#include <QAudioDevice>
#include <QAudioOutput>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>

namespace {

constexpr int kPlayTimeoutMs = 10000;

// The engine's deck players and their outputs, by name: a deck may get a
// new player.
QAudioOutput* deckOutput(AudioEngine& e, int deck)
{
    e.prepareDecks();
    return e.findChild<QAudioOutput*>(QStringLiteral("deck%1").arg(deck), Qt::FindDirectChildrenOnly);
}

QMediaPlayer* deckPlayer(AudioEngine& e, int deck)
{
    e.prepareDecks();
    return e.findChild<QMediaPlayer*>(QStringLiteral("deck%1").arg(deck), Qt::FindDirectChildrenOnly);
}

bool isPlaying(QMediaPlayer* p)
{
    return p->playbackState() == QMediaPlayer::PlayingState;
}

Track command(const QString& label)
{
    Track t;
    t.marker = true;
    t.label = label;
    return t;
}

QStringList logOf(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

QList<float> volumesOf(const QSignalSpy& spy)
{
    QList<float> out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toFloat();
    return out;
}

} // namespace

class TestAudioEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void volumeLaw_data();
    void volumeLaw();
    void duckingTwiceChangesOnce();
    void storedLevelScalesDeckVolume_data();
    void storedLevelScalesDeckVolume();
    void outputDeviceByDescription_data();
    void outputDeviceByDescription();

    void fadeInTicks_data();
    void fadeInTicks();
    void fadeOutStopsPlayerOnlyAtZero();
    void duckingScalesRunningFade();

    void stopKeepsRowAndHaltsBothDecks();
    void commandRows();
    void stopRowHaltsDuringCrossfade();
    void pauseRowThenTogglePauseResumesSameDeck();
    void queueFirstThenFollowingRow();
    void nextOnLastRowStops();
    void shuffle();
    void rowShiftsKeepCurrentTrack();
    void reorderKeepsCurrentTrack();
    void receiversRemovingRowsDoNotChangeTheTrack();
    void endOfTrackAdvancesOnce();
    void endOfTrackWithoutAutoPlayStops();
    void streamTimeLimit();
    void unplayableRowsAreSkipped();
    void startHeldUpIsNoFailure();
    void onAirListChangedMidTrack();

    void streamTitleFromMetadata_data();
    void streamTitleFromMetadata();
    void meterLevelsFollowVolumeLaw();
    void tapHandsOverAtCrossfade();
    void tapHandsOverAfterHardStop();

private:
    QString m_dir;
    QString m_a;     // 440 Hz, 44.1 kHz stereo, 16-bit WAV
    QString m_b;     // 880 Hz, 22.05 kHz mono MP3
    QString m_short; // 1 s
    QString m_long;  // 20 s
};

void TestAudioEngine::initTestCase()
{
    QVERIFY(MusicLibrary::initDatabase());
    TrackParams::ensureSchema();
    m_dir = testHome().scratch(QStringLiteral("audio"));
    m_a = m_dir + QStringLiteral("/Artist A - Tone A.wav");
    m_b = m_dir + QStringLiteral("/Artist B - Tone B.mp3");
    m_short = m_dir + QStringLiteral("/short.wav");
    m_long = m_dir + QStringLiteral("/long.wav");
    QVERIFY(AudioFixtures::tone(m_a, 440, -6, 8, 44100, 2));
    QVERIFY(AudioFixtures::tone(m_b, 880, -6, 8, 22050, 1));
    QVERIFY(AudioFixtures::tone(m_short, 660, -6, 1, 44100, 2));
    QVERIFY(AudioFixtures::tone(m_long, 550, -6, 20, 44100, 2));
    QVERIFY2(!QMediaDevices::audioOutputs().isEmpty(), "the null sink must be listed");
}

void TestAudioEngine::init()
{
    QSettings s;
    s.clear();
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 3000);
}

void TestAudioEngine::volumeLaw_data()
{
    QTest::addColumn<QVariant>("defaultVolume"); // setting, or invalid for none
    QTest::addColumn<int>("setVolume");          // -1000 = not called
    QTest::addColumn<bool>("ducked");
    QTest::addColumn<float>("expected");

    QTest::newRow("default 80") << QVariant() << -1000 << false << 0.8f;
    QTest::newRow("default ducked") << QVariant() << -1000 << true << 0.16f;
    QTest::newRow("set 150 clamps master") << QVariant() << 150 << false << 1.0f;
    QTest::newRow("set 150 ducked") << QVariant() << 150 << true << 0.2f;
    QTest::newRow("set -5") << QVariant() << -5 << false << 0.0f;
    // A setting outside 0 to 100 is absurd and gives the default.
    QTest::newRow("setting 120") << QVariant(120) << -1000 << false << 0.8f;
    QTest::newRow("setting -50 ducked") << QVariant(-50) << -1000 << true << 0.16f;
    QTest::newRow("setting 50") << QVariant(50) << -1000 << false << 0.5f;
}

void TestAudioEngine::volumeLaw()
{
    QFETCH(QVariant, defaultVolume);
    QFETCH(int, setVolume);
    QFETCH(bool, ducked);
    QFETCH(float, expected);
    if (defaultVolume.isValid())
        QSettings().setValue(QStringLiteral("audio/defaultVolume"), defaultVolume);
    AudioEngine e;
    if (setVolume != -1000)
        e.setVolume(setVolume);
    e.setDucked(ducked);
    for (int deck = 0; deck < 2; ++deck)
        QCOMPARE_LT(qAbs(deckOutput(e, deck)->volume() - expected), 1e-5f);
}

void TestAudioEngine::duckingTwiceChangesOnce()
{
    AudioEngine e;
    QSignalSpy changes(deckOutput(e, 0), &QAudioOutput::volumeChanged);
    e.setDucked(true);
    e.setDucked(true);
    QCOMPARE(changes.size(), 1);
    e.setDucked(false);
    QCOMPARE(changes.size(), 2);
    QCOMPARE_LT(qAbs(deckOutput(e, 0)->volume() - 0.8f), 1e-5f);
}

void TestAudioEngine::storedLevelScalesDeckVolume_data()
{
    QTest::addColumn<double>("level");
    QTest::addColumn<float>("expected");
    QTest::newRow("half") << 0.5 << 0.4f;
    QTest::newRow("boost clamps") << 3.0 << 1.0f;
    QTest::newRow("unity") << 1.0 << 0.8f;
}

void TestAudioEngine::storedLevelScalesDeckVolume()
{
    QFETCH(double, level);
    QFETCH(float, expected);
    TrackParams p;
    p.level = level;
    p.rating = 1; // keeps the row stored even at unity level
    TrackParams::save(m_a, p);

    PlaylistModel model;
    model.addTrack(Track::fromFile(m_a));
    model.addTrack(Track::fromFile(m_b));
    AudioEngine e;
    e.setPlaylist(&model);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 0)), kPlayTimeoutMs);
    QCOMPARE_LT(qAbs(deckOutput(e, 0)->volume() - expected), 1e-5f);
    // Ducking keeps the level factor.
    e.setDucked(true);
    QCOMPARE_LT(qAbs(deckOutput(e, 0)->volume() - qMin(1.0f, float(level * 0.8 * 0.2))), 1e-5f);
    e.setDucked(false);

    // The next row has no stored level: back to the plain law.
    e.next();
    QCOMPARE_LT(qAbs(deckOutput(e, 0)->volume() - 0.8f), 1e-5f);
    e.stop();
    TrackParams::remove(m_a);
}

void TestAudioEngine::outputDeviceByDescription_data()
{
    QTest::addColumn<QString>("description");
    QTest::newRow("exact") << QStringLiteral("Null-Output");
    QTest::newRow("no match") << QStringLiteral("No Such Speaker");
    QTest::newRow("case differs") << QStringLiteral("null-output");
}

void TestAudioEngine::outputDeviceByDescription()
{
    QFETCH(QString, description);
    QSettings().setValue(QStringLiteral("audio/outputDevice"), description);
    AudioEngine e;
    QAudioDevice expected = QMediaDevices::defaultAudioOutput();
    for (const QAudioDevice& d : QMediaDevices::audioOutputs()) {
        if (d.description() == description)
            expected = d;
    }
    QVERIFY(!expected.isNull());
    for (int deck = 0; deck < 2; ++deck)
        QCOMPARE(deckOutput(e, deck)->device().id(), expected.id());
}

void TestAudioEngine::fadeInTicks_data()
{
    QTest::addColumn<int>("fadeInMs");
    QTest::addColumn<int>("ticks"); // 0: applied at once, no timer
    QTest::newRow("0 ms at once") << 0 << 0;
    QTest::newRow("40 ms one tick") << 40 << 1;
    QTest::newRow("79 ms one tick") << 79 << 1;
    QTest::newRow("100 ms two ticks") << 100 << 2;
    QTest::newRow("1000 ms 25 ticks") << 1000 << 25;
}

void TestAudioEngine::fadeInTicks()
{
    QFETCH(int, fadeInMs);
    QFETCH(int, ticks);
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/fadeInMs"), fadeInMs);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy volumes(deckOutput(e, 0), &QAudioOutput::volumeChanged);
    QTimer* fadeTimer = e.findChildren<QTimer*>(Qt::FindDirectChildrenOnly).at(0);
    e.playRow(0);
    QCOMPARE(fadeTimer->isActive(), ticks > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!fadeTimer->isActive(), 5000 + fadeInMs * 4);
    const QList<float> v = volumesOf(volumes);
    // Starts silent, then equal gain steps up to the master volume.
    QCOMPARE(v.size(), qMax(ticks, 1) + 1);
    QCOMPARE(v.first(), 0.0f);
    for (int i = 1; i < v.size(); ++i)
        QCOMPARE_LT(qAbs(v.at(i) - 0.8f * i / qMax(ticks, 1)), 1e-4f);
    e.stop();
}

void TestAudioEngine::fadeOutStopsPlayerOnlyAtZero()
{
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/fadeInMs"), 0);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 400);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    model.addTrack(Track::fromFile(m_a));
    AudioEngine e;
    e.setPlaylist(&model);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 0)), kPlayTimeoutMs);

    QAudioOutput* out0 = deckOutput(e, 0);
    QSignalSpy volumes(out0, &QAudioOutput::volumeChanged);
    float volumeAtStop = -1;
    int stepsAtStop = -1;
    connect(deckPlayer(e, 0), &QMediaPlayer::playbackStateChanged, this, [&](QMediaPlayer::PlaybackState st) {
        if (st == QMediaPlayer::StoppedState && volumeAtStop < 0) {
            volumeAtStop = out0->volume();
            stepsAtStop = int(volumes.size());
        }
    });
    e.playRow(1);
    QVERIFY(isPlaying(deckPlayer(e, 0)));
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 1)), kPlayTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(deckPlayer(e, 0)->playbackState(), QMediaPlayer::StoppedState, 5000);
    QCOMPARE(stepsAtStop, 10); // 400 ms in 40 ms ticks
    QCOMPARE_LT(volumeAtStop, 1e-4f);
    e.stop();
}

void TestAudioEngine::duckingScalesRunningFade()
{
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/fadeInMs"), 2000);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    AudioEngine e;
    e.setPlaylist(&model);
    QAudioOutput* out = deckOutput(e, 0);
    QTimer* fadeTimer = e.findChildren<QTimer*>(Qt::FindDirectChildrenOnly).at(0);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(out->volume() > 0.2f, 5000);
    QVERIFY(fadeTimer->isActive());
    const float before = out->volume();
    e.setDucked(true);
    QCOMPARE_LT(qAbs(out->volume() - before * 0.2f), 0.02f);
    QTRY_VERIFY_WITH_TIMEOUT(!fadeTimer->isActive(), 10000);
    QCOMPARE_LT(qAbs(out->volume() - 0.16f), 1e-5f);
    e.stop();
}

void TestAudioEngine::stopKeepsRowAndHaltsBothDecks()
{
    QSettings().setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    model.addTrack(Track::fromFile(m_a));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 0)), kPlayTimeoutMs);
    e.playRow(1); // crossfade: both decks sound
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 1)), kPlayTimeoutMs);
    e.stop();
    QVERIFY(!isPlaying(deckPlayer(e, 0)));
    QVERIFY(!isPlaying(deckPlayer(e, 1)));
    QCOMPARE(logOf(log).last(), QStringLiteral("Stop"));
    QCOMPARE(model.currentRow(), 1);
    // play() resumes the stopped row on its deck rather than picking another.
    QSignalSpy rows(&e, &AudioEngine::currentRowChanged);
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 1)), kPlayTimeoutMs);
    QCOMPARE(rows.size(), 0);
    e.stop();
}

void TestAudioEngine::commandRows()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    model.addTrack(command(QStringLiteral("Jingle")));
    model.addTrack(Track::fromFile(m_a));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy now(&e, &AudioEngine::nowPlaying);
    e.playRow(0);
    QCOMPARE(logOf(log).last(), QStringLiteral("long"));
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 0)), kPlayTimeoutMs);
    e.next();
    // An unknown command is logged and leaves the deck playing.
    QCOMPARE(logOf(log).last(), QStringLiteral("Command: jingle"));
    QCOMPARE(now.size(), 2);
    QVERIFY(now.last().at(0).value<Track>().marker);
    QVERIFY(isPlaying(deckPlayer(e, 0)));
    QCOMPARE(model.currentRow(), 1);
    // play() on a command row moves on to the row after it.
    e.play();
    QCOMPARE(model.currentRow(), 2);
    QCOMPARE(logOf(log).last(), QStringLiteral("Artist A - Tone A"));
    e.stop();
}

void TestAudioEngine::stopRowHaltsDuringCrossfade()
{
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 4000);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    model.addTrack(Track::fromFile(m_a));
    model.addTrack(command(QStringLiteral("stop")));
    model.addTrack(Track::fromFile(m_b));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy playing(&e, &AudioEngine::playingChanged);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 0)), kPlayTimeoutMs);
    e.next();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 1)), kPlayTimeoutMs);
    QVERIFY(isPlaying(deckPlayer(e, 0))); // still fading out
    e.next();                             // the STOP row
    QVERIFY(!isPlaying(deckPlayer(e, 0)));
    QVERIFY(!isPlaying(deckPlayer(e, 1)));
    QCOMPARE(logOf(log).last(), QStringLiteral("STOP command - playback halted (press Play or Next to continue)"));
    QVERIFY(!playing.isEmpty());
    QCOMPARE(playing.last().at(0).toBool(), false);
    e.play();
    QCOMPARE(model.currentRow(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), kPlayTimeoutMs);
    e.stop();
}

void TestAudioEngine::pauseRowThenTogglePauseResumesSameDeck()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    model.addTrack(command(QStringLiteral("PAUSE")));
    model.addTrack(Track::fromFile(m_a));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(deckPlayer(e, 0)) && e.position() > 300, kPlayTimeoutMs);
    e.next();
    QCOMPARE(logOf(log).last(), QStringLiteral("PAUSE command"));
    QTRY_COMPARE_WITH_TIMEOUT(deckPlayer(e, 0)->playbackState(), QMediaPlayer::PausedState, 5000);
    const qint64 pausedAt = e.position();
    e.togglePause();
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), kPlayTimeoutMs);
    QCOMPARE(model.currentRow(), 1);
    QCOMPARE(deckPlayer(e, 0)->source(), QUrl::fromLocalFile(m_long));
    QVERIFY(e.position() >= pausedAt);
    e.stop();
}

void TestAudioEngine::queueFirstThenFollowingRow()
{
    PlaylistModel model;
    for (int i = 0; i < 4; ++i)
        model.addTrack(Track::fromFile(m_long));
    model.addTrack(command(QStringLiteral("stop")));
    model.tracks()[2].title = QStringLiteral("Third");
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.playRow(0);
    model.addToQueue(4);
    model.addToQueue(2);
    e.next();
    QCOMPARE(model.currentRow(), 4);
    QVERIFY(logOf(log).contains(QStringLiteral("Playback queue: playing >> STOP <<")));
    e.next();
    QCOMPARE(model.currentRow(), 2);
    QVERIFY(logOf(log).contains(QStringLiteral("Playback queue: playing Third")));
    e.next(); // queue empty: the row after the current one
    QCOMPARE(model.currentRow(), 3);
    // A queued row started by hand has had its turn.
    model.addToQueue(1);
    model.addToQueue(0);
    e.playRow(1);
    QCOMPARE(model.queue(), QList<int>{0});
    e.next();
    QCOMPARE(model.currentRow(), 0);
    e.next();
    QCOMPARE(model.currentRow(), 1);
    e.stop();
}

void TestAudioEngine::nextOnLastRowStops()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    model.addTrack(Track::fromFile(m_a));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy rows(&e, &AudioEngine::currentRowChanged);
    e.playRow(1);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), kPlayTimeoutMs);
    e.next();
    QCOMPARE(logOf(log).last(), QStringLiteral("Stop"));
    QCOMPARE(rows.size(), 1);
    QVERIFY(!isPlaying(deckPlayer(e, 0)) && !isPlaying(deckPlayer(e, 1)));
    // Out-of-range rows are ignored.
    e.playRow(2);
    e.playRow(-1);
    QCOMPARE(rows.size(), 1);
}

void TestAudioEngine::shuffle()
{
    PlaylistModel one;
    one.addTrack(Track::fromFile(m_long));
    AudioEngine e;
    e.setShuffle(true);
    QVERIFY(e.isShuffle());
    e.setPlaylist(&one);
    QSignalSpy rows(&e, &AudioEngine::currentRowChanged);
    e.playRow(0);
    e.next(); // one row: in order, so past the end
    QCOMPARE(rows.size(), 1);

    PlaylistModel three;
    for (int i = 0; i < 3; ++i)
        three.addTrack(Track::fromFile(m_long));
    e.setPlaylist(&three);
    e.playRow(0);
    QSet<int> seen;
    int repeats = 0;
    for (int i = 0; i < 30; ++i) {
        const int before = three.currentRow();
        e.next();
        seen.insert(three.currentRow());
        if (three.currentRow() == before)
            ++repeats;
    }
    QCOMPARE(seen.size(), 3);
    // A repeat needs eight equal draws in a row: (1/3)^8 per step.
    QVERIFY(repeats <= 1);
    e.stop();
}

void TestAudioEngine::rowShiftsKeepCurrentTrack()
{
    PlaylistModel model;
    for (int i = 0; i < 4; ++i) {
        Track t = Track::fromFile(m_long);
        t.title = QStringLiteral("Row %1").arg(i);
        model.addTrack(t);
    }
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy now(&e, &AudioEngine::nowPlaying);
    e.playRow(1);
    Track above = Track::fromFile(m_a);
    model.insertTrack(0, above);
    model.insertTrack(0, above);
    e.next(); // Row 1 is now at 3: next is Row 2
    QCOMPARE(now.last().at(0).value<Track>().title, QStringLiteral("Row 2"));

    // Removing the current row makes the row before it current.
    model.removeRow(4);
    e.next();
    QCOMPARE(now.last().at(0).value<Track>().title, QStringLiteral("Row 3"));

    // The first row removed while it plays: the row after it, now the
    // first, follows.
    e.playRow(0);
    const QString second = model.tracks().at(1).title;
    model.removeRow(0);
    e.next();
    QCOMPARE(model.currentRow(), 0);
    QCOMPARE(now.last().at(0).value<Track>().title, second);
    e.stop();
}

void TestAudioEngine::reorderKeepsCurrentTrack()
{
    PlaylistModel model;
    for (int i = 0; i < 5; ++i) {
        Track t = Track::fromFile(m_long);
        t.title = QStringLiteral("Row %1").arg(i);
        model.addTrack(t);
    }
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy now(&e, &AudioEngine::nowPlaying);
    e.playRow(1);
    model.moveRow(1, 3); // Row 1 now sits at 3, Row 4 after it
    e.next();
    QCOMPARE(now.last().at(0).value<Track>().title, QStringLiteral("Row 4"));

    for (int round = 0; round < 5; ++round) {
        e.playRow(2);
        const QString onAir = now.last().at(0).value<Track>().title;
        model.shuffle();
        const int at = int(std::find_if(model.tracks().cbegin(), model.tracks().cend(),
                                        [&](const Track& t) { return t.title == onAir; })
                           - model.tracks().cbegin());
        e.next();
        if (at + 1 < model.rowCount())
            QCOMPARE(now.last().at(0).value<Track>().title, model.tracks().at(at + 1).title);
        else
            QCOMPARE(now.last().at(0).value<Track>().title, onAir); // stopped at the end
    }
    e.stop();
}

// A receiver of the start signals may remove rows (a remote command, an
// intro being put in place): the deck still plays the row that was asked for.
void TestAudioEngine::receiversRemovingRowsDoNotChangeTheTrack()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_a));
    model.addTrack(Track::fromFile(m_long));
    model.addTrack(Track::fromFile(m_b));
    model.addTrack(Track::fromFile(m_short));
    AudioEngine e;
    e.setPlaylist(&model);
    auto removeFirst = connect(&e, &AudioEngine::currentRowChanged, &model, [&] { model.removeRow(0); });
    e.playRow(2);
    QCOMPARE(deckPlayer(e, 0)->source(), QUrl::fromLocalFile(m_b));
    QCOMPARE(model.tracks().at(model.currentRow()).filePath, m_b);
    disconnect(removeFirst);

    // The last row, with the rows below the one started taken away.
    connect(&e, &AudioEngine::nowPlaying, &model, [&] { model.clearBelow(0); });
    e.playRow(2);
    QCOMPARE(deckPlayer(e, 0)->source(), QUrl::fromLocalFile(m_short));
    QCOMPARE(model.rowCount(), 1);
    e.stop();
}

void TestAudioEngine::endOfTrackAdvancesOnce()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_short));
    model.addTrack(Track::fromFile(m_long));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy rows(&e, &AudioEngine::currentRowChanged);
    e.playRow(0);
    QTRY_COMPARE_WITH_TIMEOUT(rows.size(), 2, kPlayTimeoutMs);
    QCOMPARE(rows.last().at(0).toInt(), 1);
    QCOMPARE(logOf(log).count(QStringLiteral("End of track: short")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), kPlayTimeoutMs);
    QTest::qWait(300);
    QCOMPARE(rows.size(), 2);
    e.stop();
}

void TestAudioEngine::endOfTrackWithoutAutoPlayStops()
{
    QSettings().setValue(QStringLiteral("playback/autoPlayNext"), false);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_short));
    model.addTrack(Track::fromFile(m_long));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    // The whole second goes on air, its last buffers included.
    qint64 frames = 0;
    connect(&e, &AudioEngine::audioBufferReady, this, [&](const QAudioBuffer& b) { frames += b.frameCount(); });
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Stop")), kPlayTimeoutMs);
    QCOMPARE(model.currentRow(), 0);
    QVERIFY(logOf(log).contains(QStringLiteral("End of track: short")));
    QVERIFY2(qAbs(frames - 44100) < 441, qPrintable(QString::number(frames)));
}

void TestAudioEngine::streamTimeLimit()
{
    // A server that takes the connection and never answers: the stream
    // stays loading while its limit runs.
    QTcpServer mute;
    QVERIFY(mute.listen(QHostAddress::LocalHost));
    PlaylistModel model;
    Track stream;
    stream.isStream = true;
    stream.filePath = QStringLiteral("http://127.0.0.1:%1/nothing").arg(mute.serverPort());
    stream.title = QStringLiteral("Stream");
    stream.streamLimitMs = 1200;
    model.addTrack(stream);
    model.addTrack(Track::fromFile(m_long));
    model.addTrack(stream);
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Stream time limit reached")), 5000);
    QCOMPARE(model.currentRow(), 1);

    // Starting another row cancels the limit.
    log.clear();
    e.playRow(2);
    e.playRow(1);
    QTest::qWait(2000);
    QVERIFY(!logOf(log).contains(QStringLiteral("Stream time limit reached")));
    QCOMPARE(model.currentRow(), 1);
    e.stop();
}

// This thread held for longer than a row may take to start (a long layout,
// a stalled disk) right after the start: the row plays on, not failed.
void TestAudioEngine::startHeldUpIsNoFailure()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_long));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy started(&e, &AudioEngine::playStarted);
    e.playRow(0);
    QThread::msleep(8000);
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, kPlayTimeoutMs);
    QTest::qWait(1000);
    QVERIFY2(logOf(log).filter(QStringLiteral("cannot be played")).isEmpty(), qPrintable(logOf(log).join(" | ")));
    QVERIFY(model.unplayableReason(0).isEmpty());
    QVERIFY(e.isPlaying());
    e.stop();
}

// Missing, undecodable, non-regular or refused rows are logged, marked and
// passed over to the next row that plays; a list of nothing but such rows
// stops once.
void TestAudioEngine::unplayableRowsAreSkipped()
{
    const QString gone = m_dir + QStringLiteral("/Gone - Away.wav");
    const QString junk = m_dir + QStringLiteral("/junk.mp3");
    const QString fifo = m_dir + QStringLiteral("/pipe.wav");
    QFile j(junk);
    QVERIFY(j.open(QIODevice::WriteOnly));
    j.write(QByteArray(4096, 'x'));
    j.close();
    QFile::remove(fifo);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    Track refused;
    refused.isStream = true;
    refused.title = QStringLiteral("Refused");
    refused.filePath = QStringLiteral("http://127.0.0.1:9/nothing");

    PlaylistModel model;
    model.addTrack(Track::fromFile(m_short));
    model.addTrack(Track::fromFile(gone));
    model.addTrack(Track::fromFile(junk));
    model.addTrack(Track::fromFile(fifo));
    model.addTrack(refused);
    model.addTrack(Track::fromFile(m_b));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    QSignalSpy started(&e, &AudioEngine::playStarted);
    e.playRow(0);
    // The short row ends; the four rows after it are passed over.
    QTRY_COMPARE_WITH_TIMEOUT(model.currentRow(), 5, 4 * kPlayTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(started.size(), 2, kPlayTimeoutMs);
    QCOMPARE(started.at(0).at(0).value<Track>().filePath, m_short);
    QCOMPARE(started.at(1).at(0).value<Track>().filePath, m_b);
    const QStringList lines = logOf(log);
    QVERIFY2(lines.contains(QStringLiteral("Gone - Away: cannot be played (file not found)")), qPrintable(lines.join(" | ")));
    QCOMPARE(lines.filter(QStringLiteral("junk: cannot be played (")).size(), 1);
    QVERIFY(lines.contains(QStringLiteral("pipe: cannot be played (not a regular file)")));
    QCOMPARE(lines.filter(QStringLiteral("Refused: cannot be played (")).size(), 1);
    QCOMPARE(model.unplayableReason(1), QStringLiteral("file not found"));
    QCOMPARE(model.data(model.index(3, PlaylistModel::TitleColumn), Qt::ToolTipRole).toString(),
             QStringLiteral("Cannot be played: not a regular file"));
    QVERIFY(model.unplayableReason(5).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), kPlayTimeoutMs);
    e.stop();

    // Nothing left that plays: one line, then quiet.
    PlaylistModel dead;
    dead.addTrack(Track::fromFile(gone));
    dead.addTrack(Track::fromFile(fifo));
    e.setPlaylist(&dead);
    e.setShuffle(true);
    log.clear();
    e.playRow(0);
    const QString halted = QStringLiteral("No row of the playlist can be played - playback stopped");
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(halted), kPlayTimeoutMs);
    const qsizetype lineCount = log.size();
    QTest::qWait(500);
    QCOMPARE(log.size(), lineCount);
    QCOMPARE(logOf(log).filter(halted).size(), 1);
    QVERIFY(!e.isPlaying());
    QFile::remove(fifo);
}

// Another list put on air while a track plays: the track plays on, and the
// new list goes on at its own current row, never at the old list's number.
void TestAudioEngine::onAirListChangedMidTrack()
{
    PlaylistModel first;
    first.addTrack(Track::fromFile(m_a));
    first.addTrack(Track::fromFile(m_long));
    first.addTrack(Track::fromFile(m_short));
    PlaylistModel second;
    second.addTrack(Track::fromFile(m_b));
    second.addTrack(Track::fromFile(m_short));
    AudioEngine e;
    e.setPlaylist(&first);
    QSignalSpy now(&e, &AudioEngine::nowPlaying);
    e.playRow(1);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying(), kPlayTimeoutMs);
    e.setPlaylist(&second);
    QVERIFY(e.isPlaying());
    QCOMPARE(now.size(), 1);
    e.next();
    QCOMPARE(now.last().at(0).value<Track>().filePath, m_b);
    QCOMPARE(second.currentRow(), 0);

    // Back to the first list, which stood at row 1: it goes on there.
    e.setPlaylist(&first);
    e.next();
    QCOMPARE(now.last().at(0).value<Track>().filePath, m_long);
    QCOMPARE(first.currentRow(), 1);

    // The new list's current row holding the very track on air: followed.
    PlaylistModel third;
    third.addTrack(Track::fromFile(m_short));
    third.addTrack(Track::fromFile(m_long));
    third.addTrack(Track::fromFile(m_a));
    third.setCurrentRow(1);
    e.setPlaylist(&third);
    QCOMPARE(e.currentRow(), 1);
    e.next();
    QCOMPARE(now.last().at(0).value<Track>().filePath, m_a);
    e.stop();
}

void TestAudioEngine::streamTitleFromMetadata_data()
{
    QTest::addColumn<QString>("artist");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("isStream");
    QTest::addColumn<QString>("expected"); // empty: none
    QTest::newRow("artist and title") << QStringLiteral(" Band ") << QStringLiteral(" Song ") << true
                                      << QStringLiteral("Band - Song");
    QTest::newRow("title carries artist") << QStringLiteral("Band") << QStringLiteral("Other - Song") << true
                                          << QStringLiteral("Other - Song");
    QTest::newRow("title alone") << QString() << QStringLiteral("News") << true << QStringLiteral("News");
    QTest::newRow("no title") << QStringLiteral("Band") << QString() << true << QString();
    QTest::newRow("file rows are not streams") << QStringLiteral("Band") << QStringLiteral("Song") << false
                                               << QString();
}

void TestAudioEngine::streamTitleFromMetadata()
{
    // A stream row whose address is a local file with tags: the player
    // reports the tags as the stream's metadata.
    QFETCH(QString, artist);
    QFETCH(QString, title);
    QFETCH(bool, isStream);
    QFETCH(QString, expected);
    QMap<QString, QString> tags;
    if (!artist.isEmpty())
        tags.insert(QStringLiteral("artist"), artist);
    if (!title.isEmpty())
        tags.insert(QStringLiteral("title"), title);
    const QString file = m_dir + QStringLiteral("/tagged-%1.mp3").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'));
    QVERIFY(AudioFixtures::tone(file, 440, -12, 3, 44100, 2, tags));
    Track row = Track::fromFile(file);
    if (isStream) {
        row.isStream = true;
        row.filePath = QUrl::fromLocalFile(file).toString();
    }
    PlaylistModel model;
    model.addTrack(row);
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy titles(&e, &AudioEngine::streamMetadata);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying() && e.position() > 500, kPlayTimeoutMs);
    if (expected.isEmpty()) {
        QVERIFY(titles.isEmpty());
    } else {
        QCOMPARE(titles.size(), 1);
        QCOMPARE(titles.at(0).at(0).toString(), expected);
        QCOMPARE(logOf(log).count(QStringLiteral("Stream metadata: ") + expected), 1);
    }
    e.stop();
}

void TestAudioEngine::meterLevelsFollowVolumeLaw()
{
    // m_a peaks at -6 dBFS (0.501); master 0.8 gives 0.40, ducked 0.08.
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_a));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy levels(&e, &AudioEngine::levels);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(levels.size() > 5, kPlayTimeoutMs);
    const double full = 0.8 * std::pow(10.0, -6.0 / 20);
    QCOMPARE_LT(qAbs(levels.last().at(0).toDouble() - full), 0.01);
    QCOMPARE_LT(qAbs(levels.last().at(1).toDouble() - full), 0.01);
    e.setDucked(true);
    // A deck's meter is the larger of both decks' records: deck 1 has none.
    levels.clear();
    QTRY_VERIFY_WITH_TIMEOUT(levels.size() > 3, kPlayTimeoutMs);
    QCOMPARE_LT(qAbs(levels.last().at(0).toDouble() - full * 0.2), 0.005);
    // A paused deck sends no buffers: the meter must not hold its last level.
    e.pause();
    QTRY_VERIFY_WITH_TIMEOUT(levels.last().at(0).toDouble() == 0.0 && levels.last().at(1).toDouble() == 0.0,
                             kPlayTimeoutMs);
    e.stop();
}

void TestAudioEngine::tapHandsOverAtCrossfade()
{
    QSettings s;
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 3000);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_a));
    model.addTrack(Track::fromFile(m_b));
    AudioEngine e;
    e.setPlaylist(&model);
    QList<QAudioFormat> formats;
    bool afterSwitch = false;
    QList<QAudioFormat> formatsAfter;
    connect(&e, &AudioEngine::audioBufferReady, this, [&](const QAudioBuffer& b) {
        (afterSwitch ? formatsAfter : formats).append(b.format());
    });
    QSignalSpy levels(&e, &AudioEngine::levels);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(formats.size() > 10, kPlayTimeoutMs);
    for (const QAudioFormat& f : formats) {
        QCOMPARE(f.sampleRate(), 44100);
        QCOMPARE(f.channelCount(), 2);
    }
    e.next();
    afterSwitch = true;
    // The outgoing deck keeps playing and metering through its fade-out,
    // but only the incoming deck's buffers go on air, in their own format.
    QTRY_VERIFY_WITH_TIMEOUT(formatsAfter.size() > 20, kPlayTimeoutMs);
    QVERIFY(isPlaying(deckPlayer(e, 0)));
    for (const QAudioFormat& f : formatsAfter) {
        QCOMPARE(f.sampleRate(), 22050);
        QCOMPARE(f.channelCount(), 1);
    }
    e.stop();
}

void TestAudioEngine::tapHandsOverAfterHardStop()
{
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_a));
    model.addTrack(Track::fromFile(m_b));
    model.addTrack(Track::fromFile(m_a));
    AudioEngine e;
    e.setPlaylist(&model);
    QList<int> rates;
    connect(&e, &AudioEngine::audioBufferReady, this, [&](const QAudioBuffer& b) { rates.append(b.format().sampleRate()); });
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(rates.size() > 10, kPlayTimeoutMs);
    e.next();
    const qsizetype mark = rates.size();
    QTRY_VERIFY_WITH_TIMEOUT(rates.size() > mark + 10, kPlayTimeoutMs);
    QVERIFY(!rates.mid(mark).contains(44100));
    e.next();
    const qsizetype mark2 = rates.size();
    QTRY_VERIFY_WITH_TIMEOUT(rates.size() > mark2 + 10, kPlayTimeoutMs);
    QVERIFY(!rates.mid(mark2).contains(22050));
    e.stop();
}

OL_TEST_MAIN(TestAudioEngine)
#include "tst_audioengine.moc"
