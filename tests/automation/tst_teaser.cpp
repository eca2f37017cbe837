// The teaser planned from the hooks stored in library.db and rendered from
// files made by sox: ffprobe measures the result, and each piece's tone is
// looked for at its place in the decoded teaser.
#include "automation/teaser.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QDir>
#include <QSignalSpy>

#include <cmath>
#include <cstring>
#include <numbers>

namespace {

QString scratch(const QString& name)
{
    return QDir(testHome().scratch(QStringLiteral("teaser"))).filePath(name);
}

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

// A sine of the frequency, at half scale, padded with silence before and after.
bool toneFile(const QString& path, int hz, double seconds, double before = 0, double after = 0)
{
    return AudioFixtures::run("sox", {"-n", "-r", "44100", "-c", "2", path, "synth", QString::number(seconds),
                                      "sine", QString::number(hz), "vol", "0.5", "pad", QString::number(before),
                                      QString::number(after)});
}

// The power of one frequency over a stretch of mono samples (Goertzel).
double powerAt(const QList<float>& s, qint64 first, qint64 count, double hz, int rate)
{
    const double k = 2.0 * std::cos(2.0 * std::numbers::pi * hz / rate);
    double a = 0.0;
    double b = 0.0;
    for (qint64 i = first; i < first + count; ++i) {
        const double c = s[i] + k * a - b;
        b = a;
        a = c;
    }
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
    const TeaserConfig defaults = Teaser::configFromSettings();
    QCOMPARE(QList<int>({defaults.maxTracks, defaults.autoHookMs, defaults.crossfadeMs}),
             QList<int>({4, 12000, 300}));
    Teaser::saveConfig({"/s.mp3", "/t.mp3", "/e.mp3", 7, 9000, 150});
    const TeaserConfig stored = Teaser::configFromSettings();
    QCOMPARE(QStringList({stored.startJingle, stored.transitionJingle, stored.endJingle}),
             QStringList({"/s.mp3", "/t.mp3", "/e.mp3"}));
    QCOMPARE(QList<int>({stored.maxTracks, stored.autoHookMs, stored.crossfadeMs}), QList<int>({7, 9000, 150}));

    setHook("/m/manual.mp3", 30000, 45000);
    setHook("/m/too long.mp3", 30000, 51000);
    setHook("/m/backwards.mp3", 45000, 30000);
    struct Case
    {
        Track track;
        int autoHookMs;
        qint64 start;
        qint64 length;
    };
    const QList<Case> cases{
        {song("/m/manual.mp3", 200000), 12000, 30000, 15000},
        {song("/m/too long.mp3", 200000), 12000, 66666, 12000},
        {song("/m/backwards.mp3", 30000), 20000, 10000, 20000},
        {song("/m/unknown.mp3", 0), 500, 0, 1000},
        {song("/m/short.mp3", 9000), 25000, 0, 9000}, // 20999 at most, then the whole track
    };
    for (const Case& c : cases) {
        qint64 start = -1;
        qint64 length = -1;
        QVERIFY(Teaser::hookFor(c.track, c.autoHookMs, start, length));
        QCOMPARE(QList<qint64>({start, length}), QList<qint64>({c.start, c.length}));
    }
    qint64 start = -7;
    qint64 length = -7;
    QVERIFY(!Teaser::hookFor(song("/m/jingle.mp3", 1500), 12000, start, length));
    QCOMPARE(start + length, -14);

    QList<Track> upcoming;
    Track stop;
    stop.marker = true;
    Track stream = song("http://radio/live", 0);
    stream.isStream = true;
    Track voice = song("/m/vt.mp3", 60000);
    voice.voiceTrack = true;
    upcoming << stop << stream << voice << song({}, 60000) << song("/m/jingle.mp3", 1500);
    TeaserConfig config{"/j/start.mp3", "/j/trans.mp3", "/j/end.mp3", 3, 12000, 300};
    QVERIFY(Teaser::plan(upcoming, config).isEmpty()); // jingles alone make no teaser
    QVERIFY(!Teaser().build({}, scratch("nothing.wav"), 300));
    QVERIFY(!QFile::exists(scratch("nothing.wav")));

    upcoming << song("/m/manual.mp3", 200000, "Artist", "Title") << song("/m/b.mp3", 0, {}, "Only title")
             << song("/m/c.mp3", 0) << song("/m/d.mp3", 0);
    QStringList labels;
    for (const TeaserPiece& p : Teaser::plan(upcoming, config))
        labels << QString::number(p.kind) + " " + p.label;
    QCOMPARE(labels, QStringList({"0 Start jingle", "1 Artist - Title", "0 Transition", "1 Only title",
                                  "0 Transition", "1 /m/c.mp3", "0 Ending jingle"}));
    config = {};
    config.maxTracks = 0;
    QCOMPARE(Teaser::plan(upcoming, config).size(), 1);

    PlaylistModel playlist;
    for (const Track& t : upcoming)
        playlist.addTrack(t);
    QCOMPARE(Teaser::upcoming(playlist, -1).size(), upcoming.size());
    QCOMPARE(Teaser::upcoming(playlist, 4).first().filePath, QStringLiteral("/m/manual.mp3"));
    QVERIFY(Teaser::upcoming(playlist, int(upcoming.size()) - 1).isEmpty());
}

void TestTeaser::renderedTeaserHoldsEachHook()
{
    // Each piece has a tone of its own; outside the hooks the tracks are silent.
    const QString first = scratch("Alpha - One.wav");
    const QString second = scratch("Beta - Two.wav");
    QVERIFY(toneFile(first, 660, 4, 10, 16));
    QVERIFY(toneFile(second, 880, 12, 12, 12)); // no marks: the automatic hook from 12 s
    setHook(first, 10000, 14000);
    TeaserConfig config;
    config.startJingle = scratch("start.wav");
    config.transitionJingle = scratch("transition.wav");
    config.endJingle = scratch("end.wav");
    config.maxTracks = 2;
    QVERIFY(toneFile(config.startJingle, 300, 1.5));
    QVERIFY(toneFile(config.transitionJingle, 1200, 1.0));
    QVERIFY(toneFile(config.endJingle, 500, 1.5));
    Track stop;
    stop.marker = true;
    const QList<TeaserPiece> pieces =
        Teaser::plan({song(first, 30000, "Alpha", "One"), stop, song(second, 36000, "Beta", "Two"),
                      song(first, 30000)}, config);
    QCOMPARE(pieces.size(), 5);

    const QString out = scratch("teaser.mp3");
    Teaser teaser;
    QSignalSpy log(&teaser, &Teaser::logMessage);
    QSignalSpy progress(&teaser, &Teaser::progress);
    QVERIFY(teaser.build(pieces, out, config.crossfadeMs));
    QCOMPARE(log.last().at(0).toString(), QStringLiteral("Teaser: wrote teaser.mp3 (5 elements)"));
    QCOMPARE(progress.last().at(1).toString(), QStringLiteral("Done"));
    QCOMPARE(AudioFixtures::probe(out, "stream=codec_name"), QStringLiteral("mp3"));
    QCOMPARE(AudioFixtures::probe(out, "stream=bit_rate"), QStringLiteral("192000"));

    const QList<qint64> lengths{1500, 4000, 1000, 12000, 1500};
    const QList<double> tones{300, 660, 1200, 880, 500};
    qint64 total = 0;
    for (qint64 l : lengths)
        total += l;
    total -= (lengths.size() - 1) * config.crossfadeMs;
    QVERIFY2(std::abs(AudioFixtures::probe(out, "format=duration").toDouble() * 1000 - total) < 150,
             qPrintable(AudioFixtures::probe(out, "format=duration")));

    QByteArray raw;
    QVERIFY(AudioFixtures::run("ffmpeg", {"-v", "error", "-nostdin", "-i", out, "-ac", "1", "-ar", "44100", "-f",
                                          "f32le", "-"}, &raw));
    QList<float> samples(raw.size() / 4);
    std::memcpy(samples.data(), raw.constData(), samples.size() * 4);

    // Every 250 ms of each piece, away from the crossfades: its own tone far
    // above the others (a misplaced excerpt would bring silence).
    qint64 begin = 0;
    const qint64 window = 4410;
    for (qsizetype i = 0; i < lengths.size(); ++i) {
        for (qint64 at = 350; at <= lengths[i] - 350; at += 250) {
            const qint64 from = (begin + at) * 44100 / 1000 - window / 2;
            QVERIFY(from + window <= samples.size());
            const double own = powerAt(samples, from, window, tones[i], 44100);
            for (qsizetype j = 0; j < tones.size(); ++j) {
                if (j != i)
                    QVERIFY2(own > 100 * powerAt(samples, from, window, tones[j], 44100),
                             qPrintable(QStringLiteral("piece %1 at %2 ms against %3 Hz").arg(i).arg(at).arg(tones[j])));
            }
        }
        begin += lengths[i] - config.crossfadeMs;
    }
}

OL_TEST_MAIN(TestTeaser)
#include "tst_teaser.moc"
