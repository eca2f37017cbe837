// The auto-intro store against the real settings file and library.db: rules
// written by hand, the choice of rule and jingle for playlist rows, and
// cooldowns across a fresh load.
#include "automation/autointro.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "olmain.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSettings>

namespace {

QString scratch(const QString& name)
{
    return QDir(testHome().scratch(QStringLiteral("intro"))).filePath(name);
}

// The candidates are chosen by name and suffix only: empty files will do.
QString touch(const QString& name)
{
    const QString path = scratch(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    return path;
}

void writeText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

AutoIntroRule rule(const QString& name, const QStringList& sources)
{
    AutoIntroRule r;
    r.name = name;
    r.sources = sources;
    return r;
}

Track music(const QString& path, const QString& genre = {})
{
    Track t = Track::fromFile(path);
    t.genre = genre;
    return t;
}

} // namespace

class TestAutoIntro : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }
    void handWrittenRulesLoad();
    void conditionsAndSelection();
    void sourcesGiveCandidates();
    void introForPlaylistRows();
    void cooldownSurvivesRestart();
};

void TestAutoIntro::handWrittenRulesLoad()
{
    QSettings().setValue("autointro/rules", QByteArray(R"([
        {"name": "Full", "enabled": false, "sources": ["/j/a.mp3", 7, "/j"], "probability": 40,
         "condField": "genre", "condValue": "Rock", "skipAfterTypes": ["Jingle"], "skipFileTypes": "Jingle",
         "mustTags": ["pop", null], "tagsMatchAll": true, "position": 1, "posValue": 2, "positionSecs": 2.5,
         "cooldownSecs": 600, "lastUsed": "2025-03-01T14:05:09", "unknown": 1},
        {"name": 5, "enabled": "no", "probability": "50", "positionSecs": "x", "cooldownSecs": 1.5,
         "lastUsed": "yesterday"},
        "not an object"
    ])"));
    AutoIntro store;
    store.enabled = true;
    store.load();
    QVERIFY(!store.enabled); // absent switch
    QCOMPARE(store.rules.size(), 3);

    const AutoIntroRule& full = store.rules[0];
    QCOMPARE(full.name, QStringLiteral("Full"));
    QVERIFY(!full.enabled);
    QCOMPARE(full.sources, QStringList({"/j/a.mp3", "", "/j"}));
    QCOMPARE(full.probability, 40);
    QCOMPARE(full.condField + "=" + full.condValue, QStringLiteral("genre=Rock"));
    QCOMPARE(full.skipAfterTypes, QStringList{"Jingle"});
    QVERIFY(full.skipFileTypes.isEmpty());
    QCOMPARE(full.mustTags, QStringList({"pop", ""}));
    QVERIFY(full.tagsMatchAll);
    QCOMPARE(QList<int>({full.position, full.posValue, full.cooldownSecs}), QList<int>({1, 2, 600}));
    QCOMPARE(full.positionSecs, 2.5);
    QCOMPARE(full.lastUsed, QDateTime(QDate(2025, 3, 1), QTime(14, 5, 9)));

    // Wrong types give the defaults, the same as a rule that is no object.
    const QJsonObject defaults = AutoIntroRule().toJson();
    QCOMPARE(store.rules[1].toJson(), defaults);
    QCOMPARE(store.rules[2].toJson(), defaults);
    QVERIFY(!defaults.contains("lastUsed"));

    // Saved compact with sorted keys, and read back field by field.
    store.enabled = true;
    store.save();
    const QByteArray text = QSettings().value("autointro/rules").toByteArray();
    QVERIFY(text.startsWith(R"([{"condField":"genre","condValue":"Rock","cooldownSecs":600,"enabled":false,)"));
    QCOMPARE(text.count("lastUsed"), 1);
    AutoIntro again;
    again.load();
    QVERIFY(again.enabled);
    QCOMPARE(again.rules.size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(again.rules[i].toJson(), store.rules[i].toJson());

    for (const QByteArray& broken : {QByteArray("[{"), QByteArray(R"({"name": "x"})")}) {
        QSettings().setValue("autointro/rules", broken);
        again.load();
        QVERIFY(again.rules.isEmpty());
    }
}

void TestAutoIntro::conditionsAndSelection()
{
    const auto matches = [](const QString& field, const QString& value, const Track& t) {
        AutoIntroRule r;
        r.condField = field;
        r.condValue = value;
        return r.matchesCondition(t);
    };
    Track t;
    for (const auto& [year, inRange] : QList<std::pair<int, bool>>{{1989, false}, {1990, true}, {1999, true}, {2000, false}}) {
        t.year = year;
        QCOMPARE(matches("year", "1990-1999", t), inRange);
        QCOMPARE(matches("year", " 1990 - 1999 ", t), inRange);
    }
    t.year = 1995;
    QVERIFY(matches("year", "1995", t) && !matches("year", "1996", t) && !matches("year", "199x", t));
    t.durationMs = 240000;
    QVERIFY(matches("duration", "180-240", t) && matches("duration", "240", t));
    t.durationMs = 240500;
    QVERIFY(!matches("duration", "180-240", t) && !matches("duration", "240", t));
    t.year = -5; // a leading minus is the number's own
    QVERIFY(matches("year", "-5", t) && matches("year", "-10--1", t));
    t.artist = "The ROLLING Stones";
    QVERIFY(matches("Artist", "rolling", t) && !matches("artist", "beatles", t));
    QVERIFY(matches("label", "anything", t) && matches("artist", "   ", t) && matches("", "beatles", t));

    AutoIntro store;
    store.enabled = true;
    const QDateTime now = QDateTime::currentDateTime();
    AutoIntroRule tagged = rule("tagged", {"/j.mp3"});
    tagged.mustTags = {"rock", "pop"};
    AutoIntroRule half = rule("half", {"/j.mp3"});
    half.probability = 50;
    half.skipAfterTypes = {"Jingle"};
    half.skipFileTypes = {"Commercial"};
    AutoIntroRule lower = rule("lower", {"/j.mp3"});
    lower.probability = 40;
    store.rules = {rule("no sources", {}), tagged, half, lower};

    Track song;
    song.extras = {"Pop"};
    QCOMPARE(store.selectRule(song, now, 99, {}), 1);
    store.rules[1].tagsMatchAll = true;
    QCOMPARE(store.selectRule(song, now, 49, {}), 2);
    song.extras << "ROCK";
    QCOMPARE(store.selectRule(song, now, 99, {}), 1);
    song.extras.clear();
    // One draw for all rules: once "half" lost it, the lower "lower" loses too.
    QCOMPARE(store.selectRule(song, now, 50, {}), -1);
    QCOMPARE(store.selectRule(song, now, 39, "jingle"), 3);
    song.category = "commercial";
    QCOMPARE(store.selectRule(song, now, 0, {}), 3);
    store.rules[3].probability = 0;
    QCOMPARE(store.selectRule(song, now, -1, {}), -1);
    store.rules[3].probability = 100;
    QCOMPARE(store.selectRule(song, now, 99, {}), 3);

    Track stop = song;
    stop.marker = true;
    Track stream = song;
    stream.isStream = true;
    QCOMPARE(store.selectRule(stop, now, 0, {}), -1);
    QCOMPARE(store.selectRule(stream, now, 0, {}), -1);
    store.enabled = false;
    QCOMPARE(store.selectRule(song, now, 0, {}), -1);
}

void TestAutoIntro::sourcesGiveCandidates()
{
    const QString b = touch("ids/b.mp3");
    const QString a = touch("ids/a.WAV");
    touch("ids/notes.txt");
    const QString deep = touch("ids/deeper/c.mp3");
    QDir().mkpath(scratch("empty"));
    const QString list = scratch("ids/list.M3U8");
    writeText(list, "#EXTM3U\n\n  deeper/c.mp3  \n#EXTINF:1,x\n" + b.toUtf8() + "\ngone.ogg\n");

    const QStringList files = AutoIntro::expandSources(
        {scratch("ids"), list, scratch("missing.m3u"), scratch("gone.mp3"), touch("ids/notes.txt"), b, scratch("empty")});
    QCOMPARE(files, QStringList({a, b, deep, b, scratch("ids/gone.ogg"), b}));

    AutoIntroRule r = rule("ids", {scratch("ids")});
    QCOMPARE(AutoIntro::chooseIntroFile(r, 3), b);
    QCOMPARE(AutoIntro::chooseIntroFile(r, -3), b);
    QCOMPARE(AutoIntro::chooseIntroFile(r, INT_MIN), a);
    r.sources = {scratch("empty")};
    QVERIFY(AutoIntro::chooseIntroFile(r, 1).isEmpty());
}

void TestAutoIntro::introForPlaylistRows()
{
    const QString jingle = touch("Station - Ident.mp3");
    const QString song = touch("songs/Band - Song.mp3");
    TrackParams p;
    p.intro = 7500;
    p.fadeIn = 1200;
    p.tags = {"new"};
    TrackParams::save(song, p);

    AutoIntro store;
    store.enabled = true;
    AutoIntroRule tagged = rule("tagged", {jingle});
    tagged.mustTags = {"NEW"}; // the file's own tags, not the row's
    tagged.posValue = 1;
    tagged.positionSecs = 3.0;
    store.rules = {tagged};

    Track jingleRow = music(jingle);
    jingleRow.category = "Jingle";
    Track stop;
    stop.marker = true;
    stop.label = "STOP";
    Track tune = music(song);
    tune.extras = {"old"};
    PlaylistModel playlist;
    for (const Track& t : {tune, stop, jingleRow, tune, tune})
        playlist.addTrack(t);

    QRandomGenerator random(17);
    QRandomGenerator twin(17);
    const QDateTime now = QDateTime::currentDateTime();
    AutoIntro::Intro intro = store.introFor(playlist, 0, "Foreign", now, random);
    QCOMPARE(intro.rule, 0);
    QCOMPARE(intro.jingle.filePath, jingle);
    QCOMPARE(intro.jingle.artist + "|" + intro.jingle.title + "|" + intro.jingle.category,
             QStringLiteral("Station|Ident|Jingle"));
    QCOMPARE(intro.mixPointMs, 7500);
    // A rule's chance and the file each take one draw, in that order.
    twin.bounded(100);
    twin.generate();
    QCOMPARE(random.generate(), twin.generate());

    for (const int row : {-1, 1, 3, 5}) // before the list, STOP, after a jingle, past the end
        QCOMPARE(store.introFor(playlist, row, {}, now, random).rule, -1);

    AutoIntroRule& r = store.rules[0];
    r.posValue = 2;
    QCOMPARE(store.introFor(playlist, 4, {}, now, random).mixPointMs, 1200);
    p.intro = 0;
    TrackParams::save(song, p);
    r.posValue = 1;
    QCOMPARE(store.introFor(playlist, 4, {}, now, random).mixPointMs, 3000);
    r.positionSecs = 0.0;
    intro = store.introFor(playlist, 4, {}, now, random);
    QCOMPARE(intro.rule, 0);
    QCOMPARE(intro.mixPointMs, -1);
    r.positionSecs = 1e300; // hand-written: kept within range
    QCOMPARE(store.introFor(playlist, 4, {}, now, random).mixPointMs, INT_MAX);

    // A rule whose only source is an empty folder wins but yields no intro.
    store.rules.prepend(rule("silent folder", {scratch("empty")}));
    QCOMPARE(store.selectRule(tune, now, 0, {}), 0);
    QCOMPARE(store.introFor(playlist, 0, {}, now, random).rule, -1);
    store.rules.removeFirst();
    store.enabled = false;
    QCOMPARE(store.introFor(playlist, 0, {}, now, random).rule, -1);
}

void TestAutoIntro::cooldownSurvivesRestart()
{
    AutoIntro store;
    store.enabled = true;
    AutoIntroRule hourly = rule("hourly", {touch("hourly.mp3")});
    hourly.cooldownSecs = 600;
    store.rules = {hourly, rule("fallback", {touch("fallback.mp3")})};
    store.save();

    PlaylistModel playlist;
    playlist.addTrack(music(touch("song.mp3")));
    QRandomGenerator random(3);
    const QDateTime fired(QDate(2026, 1, 5), QTime(9, 0, 0));
    QCOMPARE(store.introFor(playlist, 0, {}, fired, random).rule, 0);
    store.markUsed(0, fired);
    QVERIFY(QSettings().value("autointro/rules").toByteArray().contains(R"("lastUsed":"2026-01-05T09:00:00")"));

    AutoIntro restarted;
    restarted.load();
    QCOMPARE(restarted.rules[0].lastUsed, fired);
    QCOMPARE(restarted.introFor(playlist, 0, {}, fired.addSecs(599), random).rule, 1);
    QCOMPARE(restarted.introFor(playlist, 0, {}, fired.addSecs(600), random).rule, 0);
}

OL_TEST_MAIN(TestAutoIntro)
#include "tst_autointro.moc"
