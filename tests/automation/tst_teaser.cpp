// Teasers planned from the hooks in library.db and rendered from sox files:
// ffprobe measures the result, and each piece's tone is sought at its place.
#include "automation/teaser.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace {

Track song(const QString& path, qint64 durationMs, const QString& artist = {}, const QString& title = {})
{
    Track t;
    t.filePath = path;
    t.durationMs = durationMs;
    t.artist = artist;
    t.title = title;
    return t;
}

void setHook(const QString& path, qint64 in, qint64 out)
{
    TrackParams p;
    p.hookIn = in;
    p.hookOut = out;
    TrackParams::save(path, p);
}

// A sine at half scale with silence before and after.
QString toneFile(const QString& name, int hz, double seconds, double before = 0, double after = 0)
{
    const QString path = testHome().scratch("teaser") + "/" + name;
    const QStringList args{"-n", "-r", "44100", "-c", "2", path, "synth", QString::number(seconds), "sine",
                           QString::number(hz), "vol", "0.5", "pad", QString::number(before), QString::number(after)};
    return AudioFixtures::run("sox", args) ? path : QString();
}

// The power of one frequency in a stretch of mono samples (Goertzel).
double powerAt(const QList<float>& s, qint64 first, qint64 count, double hz)
{
    const double k = 2.0 * std::cos(2.0 * std::numbers::pi * hz / 44100);
    double a = 0.0;
    double b = 0.0;
    for (qint64 i = first; i < first + count; ++i)
        b = std::exchange(a, s[i] + k * a - b);
    return a * a + b * b - k * a * b;
}

} // namespace

class TestTeaser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }
    void hooksAndPlan();
    void renderedTeaserHoldsEachHook();
};

void TestTeaser::hooksAndPlan()
{
    QCOMPARE(Teaser::configFromSettings().crossfadeMs, 300);
    Teaser::saveConfig({"/s.mp3", "/t.mp3", "/e.mp3", 3, 9000, 150});
    const TeaserConfig config = Teaser::configFromSettings();
    QCOMPARE(config.endJingle + QString::number(config.crossfadeMs), QStringLiteral("/e.mp3150"));

    setHook("/m/a.mp3", 30000, 45000);
    setHook("/m/b.mp3", 30000, 51000); // 21 s is no hook: the automatic one instead
    qint64 start = -7;
    qint64 length = -7;
    QVERIFY(!Teaser::hookFor(song("/m/short.mp3", 1500), 12000, start, length));
    QCOMPARE(start + length, -14);
    QList<Track> upcoming(4, song("/m/x.mp3", 60000));
    upcoming[0].marker = true;
    upcoming[1].isStream = true;
    upcoming[2].voiceTrack = true;
    upcoming[3].filePath.clear();
    upcoming << song("/m/short.mp3", 1500);
    QVERIFY(Teaser::plan(upcoming, config).isEmpty()); // jingles alone make no teaser
    QVERIFY(!Teaser().build({}, testHome().scratch() + "/none.wav", 300));
    QVERIFY(!QFile::exists(testHome().scratch() + "/none.wav"));

    upcoming << song("/m/a.mp3", 0, "Artist", "Title") << song("/m/b.mp3", 200000, {}, "Only title")
             << song("/m/c.mp3", 9000) << song("/m/d.mp3", 0);
    QStringList plan;
    for (const TeaserPiece& p : Teaser::plan(upcoming, config))
        plan << QStringLiteral("%1 %2 %3 %4").arg(p.kind).arg(p.label).arg(p.startMs).arg(p.lengthMs);
    QCOMPARE(plan, QStringList({"0 Start jingle 0 0", "1 Artist - Title 30000 15000", "0 Transition 0 0",
                                "1 Only title 66666 9000", "0 Transition 0 0", "1 /m/c.mp3 0 9000",
                                "0 Ending jingle 0 0"}));
    const QList<TeaserPiece> one = Teaser::plan(upcoming.mid(6), {.maxTracks = 0, .autoHookMs = 500});
    QCOMPARE(QList<qint64>({one.size(), one.first().lengthMs}), QList<qint64>({1, 1000}));
    PlaylistModel playlist;
    for (const Track& t : upcoming)
        playlist.addTrack(t);
    QCOMPARE(Teaser::upcoming(playlist, -1).size(), upcoming.size());
    QCOMPARE(Teaser::upcoming(playlist, 4).first().title, QStringLiteral("Title"));
}

void TestTeaser::renderedTeaserHoldsEachHook()
{
    // Each piece has a tone of its own; outside their hooks the tracks are silent.
    const QString first = toneFile("Alpha - One.wav", 660, 4, 10, 16);
    setHook(first, 10000, 14000);
    const QString second = toneFile("Beta - Two.wav", 880, 12, 12, 12); // no marks: auto hook from 12 s
    const TeaserConfig config{toneFile("start.wav", 300, 1.5), toneFile("transition.wav", 1200, 1.0),
                              toneFile("end.wav", 500, 1.5), 2};
    Track stop;
    stop.marker = true;
    const QList<TeaserPiece> pieces =
        Teaser::plan({song(first, 30000), stop, song(second, 36000), song(first, 30000)}, config);
    QCOMPARE(pieces.size(), 5);

    const QString out = testHome().scratch("teaser") + "/teaser.mp3";
    Teaser teaser;
    QSignalSpy log(&teaser, &Teaser::logMessage);
    QVERIFY(teaser.build(pieces, out, config.crossfadeMs));
    QCOMPARE(log.last().at(0).toString(), QStringLiteral("Teaser: wrote teaser.mp3 (5 elements)"));
    QCOMPARE(AudioFixtures::probe(out, "stream=bit_rate"), QStringLiteral("192000"));
    const double seconds = AudioFixtures::probe(out, "format=duration").toDouble();
    QVERIFY2(std::abs(seconds * 1000 - (20000 - 4 * config.crossfadeMs)) < 150, qPrintable(QString::number(seconds)));

    QByteArray raw;
    QVERIFY(AudioFixtures::run("ffmpeg", {"-v", "error", "-i", out, "-ac", "1", "-ar", "44100", "-f", "f32le", "-"},
                               &raw));
    const QList<float> samples(reinterpret_cast<const float*>(raw.constData()),
                               reinterpret_cast<const float*>(raw.constData()) + raw.size() / 4);
    // Every 250 ms of each piece, away from the crossfades, its own tone far
    // above the others: a misplaced excerpt would bring silence.
    const QList<qint64> lengths{1500, 4000, 1000, 12000, 1500};
    const QList<double> tones{300, 660, 1200, 880, 500};
    qint64 begin = 0;
    for (qsizetype i = 0; i < lengths.size(); begin += lengths[i++] - config.crossfadeMs) {
        for (qint64 at = begin + 350; at <= begin + lengths[i] - 350; at += 250) {
            const qint64 from = at * 441 / 10 - 2205;
            QVERIFY(from + 4410 <= samples.size());
            for (qsizetype j = 0; j < tones.size(); ++j) {
                QVERIFY2(j == i || powerAt(samples, from, 4410, tones[i]) > 100 * powerAt(samples, from, 4410, tones[j]),
                         qPrintable(QStringLiteral("piece %1 at %2 ms, %3 Hz").arg(i).arg(at).arg(tones[j])));
            }
        }
    }
}

OL_TEST_MAIN(TestTeaser)
#include "tst_teaser.moc"
