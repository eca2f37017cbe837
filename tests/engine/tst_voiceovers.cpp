// ctest: serial
// Voice-overs: whether one plays, which file, when it starts, and how the
// engine arms and fires it over a playing track.
#include "olmain.h"

#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "engine/voiceovers.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>

namespace {

TrackParams::Voiceover voiceover(qint64 ins, const QString& source, int probability = 100, int position = 0)
{
    TrackParams::Voiceover vo;
    vo.ins = ins;
    vo.source = source;
    vo.probability = probability;
    vo.position = position;
    return vo;
}

bool touch(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

QStringList logOf(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace

class TestVoiceovers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void shouldPlay_data();
    void shouldPlay();
    void disabledSettingRefuses();
    void pickFile_data();
    void pickFile();
    void startMsFor_data();
    void startMsFor();

    void armsAndFiresOnce();
    void endingAtMarkStartsItsLengthBefore();
    void seekPastStartFires();
    void stopDisarms();
    void nothingArmed_data();
    void nothingArmed();

private:
    QString m_dir;
    QString m_voice;  // 2 s
    QString m_track;  // 12 s
    QString m_folder; // b.mp3, a.WAV, notes.txt, a sub-folder named c.mp3
    QString m_empty;  // no audio files
};

void TestVoiceovers::initTestCase()
{
    QVERIFY(MusicLibrary::initDatabase());
    TrackParams::ensureSchema();
    m_dir = testHome().scratch(QStringLiteral("vo"));
    m_voice = m_dir + QStringLiteral("/voice.wav");
    m_track = m_dir + QStringLiteral("/track.wav");
    QVERIFY(AudioFixtures::tone(m_voice, 1000, -12, 2));
    QVERIFY(AudioFixtures::tone(m_track, 440, -12, 12));
    m_folder = m_dir + QStringLiteral("/folder");
    m_empty = m_dir + QStringLiteral("/empty");
    QVERIFY(QDir().mkpath(m_folder + QStringLiteral("/c.mp3")));
    QVERIFY(QDir().mkpath(m_empty));
    QVERIFY(touch(m_folder + QStringLiteral("/b.mp3")));
    QVERIFY(touch(m_folder + QStringLiteral("/a.WAV")));
    QVERIFY(touch(m_folder + QStringLiteral("/notes.txt")));
    QVERIFY(touch(m_empty + QStringLiteral("/readme.txt")));
}

void TestVoiceovers::init()
{
    QSettings().clear();
}

void TestVoiceovers::shouldPlay_data()
{
    QTest::addColumn<qint64>("ins");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("probability");
    QTest::addColumn<int>("daysUntilNotAfter"); // 1000 = no date
    QTest::addColumn<int>("roll");
    QTest::addColumn<bool>("plays");

    const QString src = QStringLiteral("/x/voice.mp3");
    QTest::newRow("100 % at top roll") << qint64(1000) << src << 100 << 1000 << 99 << true;
    QTest::newRow("0 % at bottom roll") << qint64(1000) << src << 0 << 1000 << 0 << false;
    QTest::newRow("30 % roll 0") << qint64(1000) << src << 30 << 1000 << 0 << true;
    QTest::newRow("30 % roll 29") << qint64(1000) << src << 30 << 1000 << 29 << true;
    QTest::newRow("30 % roll 30") << qint64(1000) << src << 30 << 1000 << 30 << false;
    QTest::newRow("99 % roll 99") << qint64(1000) << src << 99 << 1000 << 99 << false;
    QTest::newRow("not after yesterday") << qint64(1000) << src << 100 << -1 << 0 << false;
    QTest::newRow("not after today") << qint64(1000) << src << 100 << 0 << 0 << true;
    QTest::newRow("no insert time") << qint64(0) << src << 100 << 1000 << 0 << false;
    QTest::newRow("no source") << qint64(1000) << QString() << 100 << 1000 << 0 << false;
}

void TestVoiceovers::shouldPlay()
{
    QFETCH(qint64, ins);
    QFETCH(QString, source);
    QFETCH(int, probability);
    QFETCH(int, daysUntilNotAfter);
    QFETCH(int, roll);
    QFETCH(bool, plays);
    TrackParams::Voiceover vo = voiceover(ins, source, probability);
    const QDate today(2026, 3, 14);
    if (daysUntilNotAfter != 1000)
        vo.notAfter = today.addDays(daysUntilNotAfter);
    QCOMPARE(Voiceovers::shouldPlay(vo, today, roll), plays);
}

void TestVoiceovers::disabledSettingRefuses()
{
    QVERIFY(Voiceovers::enabled());
    Voiceovers::setEnabled(false);
    QVERIFY(!Voiceovers::enabled());
    QCOMPARE(QSettings().value(QStringLiteral("voiceovers/enabled")).toBool(), false);
    QVERIFY(!Voiceovers::shouldPlay(voiceover(1000, m_voice), QDate::currentDate(), 0));
    Voiceovers::setEnabled(true);
    QVERIFY(Voiceovers::shouldPlay(voiceover(1000, m_voice), QDate::currentDate(), 0));
}

void TestVoiceovers::pickFile_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("random");
    QTest::addColumn<QString>("expected"); // relative to the scratch folder

    QTest::newRow("empty source") << QString() << 0 << QString();
    QTest::newRow("a file") << QStringLiteral("voice.wav") << 7 << QStringLiteral("voice.wav");
    QTest::newRow("neither file nor folder") << QStringLiteral("nothing.mp3") << 0 << QString();
    QTest::newRow("folder first") << QStringLiteral("folder") << 0 << QStringLiteral("folder/a.WAV");
    QTest::newRow("folder second") << QStringLiteral("folder") << 1 << QStringLiteral("folder/b.mp3");
    QTest::newRow("folder wraps") << QStringLiteral("folder") << 4 << QStringLiteral("folder/a.WAV");
    QTest::newRow("negative taken as positive") << QStringLiteral("folder") << -3 << QStringLiteral("folder/b.mp3");
    QTest::newRow("most negative") << QStringLiteral("folder") << std::numeric_limits<int>::min()
                                   << QStringLiteral("folder/a.WAV");
    QTest::newRow("folder without audio") << QStringLiteral("empty") << 0 << QString();
}

void TestVoiceovers::pickFile()
{
    QFETCH(QString, source);
    QFETCH(int, random);
    QFETCH(QString, expected);
    const QString full = source.isEmpty() ? QString() : m_dir + QLatin1Char('/') + source;
    const QString got = Voiceovers::pickFile(voiceover(1000, full), random);
    QCOMPARE(got, expected.isEmpty() ? QString() : m_dir + QLatin1Char('/') + expected);
}

void TestVoiceovers::startMsFor_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<qint64>("ins");
    QTest::addColumn<qint64>("voiceMs");
    QTest::addColumn<qint64>("start");
    QTest::newRow("ends at mark") << 1 << qint64(10000) << qint64(4000) << qint64(6000);
    QTest::newRow("ends at mark, too long") << 1 << qint64(3000) << qint64(4000) << qint64(0);
    QTest::newRow("ends at mark, length unknown") << 1 << qint64(3000) << qint64(0) << qint64(3000);
    QTest::newRow("starts at mark") << 0 << qint64(10000) << qint64(4000) << qint64(10000);
}

void TestVoiceovers::startMsFor()
{
    QFETCH(int, position);
    QFETCH(qint64, ins);
    QFETCH(qint64, voiceMs);
    QFETCH(qint64, start);
    QCOMPARE(Voiceovers::startMsFor(voiceover(ins, m_voice, 100, position), voiceMs), start);
}

void TestVoiceovers::armsAndFiresOnce()
{
    TrackParams p;
    p.voiceover = voiceover(1500, m_voice);
    TrackParams::save(m_track, p);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_track));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    qint64 firedAt = -1;
    connect(&e, &AudioEngine::logMessage, this, [&](const QString& text) {
        if (text.startsWith(QStringLiteral("Voiceover: ")))
            firedAt = e.position();
    });
    e.playRow(0);
    QVERIFY(logOf(log).contains(QStringLiteral("Voiceover armed: voice.wav")));
    QVERIFY(!e.voiceoverPlaying());
    QTRY_VERIFY_WITH_TIMEOUT(e.voiceoverPlaying(), 10000);
    QCOMPARE(logOf(log).count(QStringLiteral("Voiceover: voice.wav")), 1);
    QVERIFY2(firedAt >= 1500 && firedAt < 1800, qPrintable(QString::number(firedAt)));
    QTRY_VERIFY_WITH_TIMEOUT(!e.voiceoverPlaying(), 10000);
    QTest::qWait(500);
    QCOMPARE(logOf(log).count(QStringLiteral("Voiceover: voice.wav")), 1);
    e.stop();
    TrackParams::remove(m_track);
}

void TestVoiceovers::endingAtMarkStartsItsLengthBefore()
{
    TrackParams p;
    p.voiceover = voiceover(3500, m_voice, 100, 1); // 2 s voice: starts at 1500
    TrackParams::save(m_track, p);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_track));
    AudioEngine e;
    e.setPlaylist(&model);
    qint64 firedAt = -1;
    connect(&e, &AudioEngine::logMessage, this, [&](const QString& text) {
        if (text.startsWith(QStringLiteral("Voiceover: ")))
            firedAt = e.position();
    });
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(firedAt >= 0, 10000);
    QVERIFY2(firedAt >= 1500 && firedAt < 1800, qPrintable(QString::number(firedAt)));
    e.stop();
    TrackParams::remove(m_track);
}

void TestVoiceovers::seekPastStartFires()
{
    TrackParams p;
    p.voiceover = voiceover(6000, m_voice);
    TrackParams::save(m_track, p);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_track));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying() && e.position() > 200, 10000);
    QVERIFY(!logOf(log).contains(QStringLiteral("Voiceover: voice.wav")));
    e.setPosition(9000);
    QTRY_VERIFY_WITH_TIMEOUT(logOf(log).contains(QStringLiteral("Voiceover: voice.wav")), 5000);
    QVERIFY(e.position() >= 6000);
    e.stop();
    TrackParams::remove(m_track);
}

void TestVoiceovers::stopDisarms()
{
    TrackParams p;
    p.voiceover = voiceover(800, m_voice);
    TrackParams::save(m_track, p);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_track));
    AudioEngine e;
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(e.voiceoverPlaying(), 10000);
    e.stop();
    QVERIFY(!e.voiceoverPlaying());
    // Resuming the stopped row does not bring the voice-over back.
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying() && e.position() > 1500, 10000);
    QCOMPARE(logOf(log).count(QStringLiteral("Voiceover: voice.wav")), 1);
    QVERIFY(!e.voiceoverPlaying());
    e.stop();
    TrackParams::remove(m_track);
}

void TestVoiceovers::nothingArmed_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("engineEnabled");
    QTest::addColumn<bool>("settingEnabled");
    QTest::newRow("engine flag off") << QStringLiteral("voice.wav") << false << true;
    QTest::newRow("setting off, engine flag on") << QStringLiteral("voice.wav") << true << false;
    QTest::newRow("folder without audio") << QStringLiteral("empty") << true << true;
}

void TestVoiceovers::nothingArmed()
{
    QFETCH(QString, source);
    QFETCH(bool, engineEnabled);
    QFETCH(bool, settingEnabled);
    Voiceovers::setEnabled(settingEnabled);
    TrackParams p;
    p.voiceover = voiceover(500, m_dir + QLatin1Char('/') + source);
    TrackParams::save(m_track, p);
    PlaylistModel model;
    model.addTrack(Track::fromFile(m_track));
    AudioEngine e;
    e.setVoiceoverEnabled(engineEnabled);
    e.setPlaylist(&model);
    QSignalSpy log(&e, &AudioEngine::logMessage);
    e.playRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(e.isPlaying() && e.position() > 1200, 10000);
    for (const QString& line : logOf(log))
        QVERIFY2(!line.startsWith(QStringLiteral("Voiceover")), qPrintable(line));
    QVERIFY(!e.voiceoverPlaying());
    e.stop();
    TrackParams::remove(m_track);
}

OL_TEST_MAIN(TestVoiceovers)
#include "tst_voiceovers.moc"
