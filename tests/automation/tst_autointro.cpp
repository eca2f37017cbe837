// The auto-intro store against the real settings file and library.db.
#include "automation/autointro.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "olmain.h"

#include <QJsonDocument>
#include <QRandomGenerator>

namespace {

// Jingles are chosen by name and suffix only: empty files will do.
QString touch(const QString& name)
{
    const QString path = testHome().scratch("intro") + "/" + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    (void)QFile(path).open(QIODevice::WriteOnly);
    return path;
}

QByteArray compact(const AutoIntroRule& r)
{
    return QJsonDocument(r.toJson()).toJson(QJsonDocument::Compact);
}

} // namespace

class TestAutoIntro : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }
    void handWrittenRulesLoad();
    void conditionsAndSelection();
    void sourcesPlaylistRowsAndCooldown();
};

void TestAutoIntro::handWrittenRulesLoad()
{
    QSettings().setValue("autointro/rules", QByteArray(R"([{"name": "Full", "enabled": false,
        "sources": ["/a.mp3", 7], "probability": 40, "condField": "genre", "condValue": "Rock",
        "skipAfterTypes": ["Jingle"], "skipFileTypes": "Jingle", "mustTags": ["pop", null], "tagsMatchAll": true,
        "position": 1, "posValue": 2, "positionSecs": 2.5, "cooldownSecs": 600, "lastUsed": "2025-03-01T14:05:09",
        "unknown": 1},
        {"name": 5, "enabled": "no", "probability": "50", "positionSecs": "x", "cooldownSecs": 1.5,
         "lastUsed": "yesterday"}, "not an object"])"));
    AutoIntro store;
    store.load();
    QCOMPARE(store.rules.size(), 3);
    QCOMPARE(store.rules[0].lastUsed, QDateTime(QDate(2025, 3, 1), QTime(14, 5, 9)));
    const QByteArray full = R"({"condField":"genre","condValue":"Rock","cooldownSecs":600,"enabled":false,)"
                            R"("lastUsed":"2025-03-01T14:05:09","mustTags":["pop",""],"name":"Full","posValue":2,)"
                            R"("position":1,"positionSecs":2.5,"probability":40,"skipAfterTypes":["Jingle"],)"
                            R"("skipFileTypes":[],"sources":["/a.mp3",""],"tagsMatchAll":true})";
    QCOMPARE(compact(store.rules[0]), full);
    QCOMPARE(compact(store.rules[1]), compact(AutoIntroRule())); // wrong types give the defaults
    QCOMPARE(compact(store.rules[2]), compact(AutoIntroRule()));

    store.enabled = true;
    store.save();
    QCOMPARE(QSettings().value("autointro/rules").toByteArray(), "[" + full + "," + compact({}) + "," + compact({}) + "]");
    AutoIntro again;
    again.load();
    QVERIFY(again.enabled);
    QCOMPARE(compact(again.rules[0]), full);
    QSettings().setValue("autointro/rules", R"({"name": "not an array"})");
    again.load();
    QVERIFY(again.rules.isEmpty());
}

void TestAutoIntro::conditionsAndSelection()
{
    const auto matches = [](const QString& field, const QString& value, int year, qint64 ms = 0) {
        Track t;
        t.year = year;
        t.durationMs = ms;
        t.artist = "The ROLLING Stones";
        return AutoIntroRule{.condField = field, .condValue = value}.matchesCondition(t);
    };
    QVERIFY(matches("year", " 1990 - 1999 ", 1990) && matches("year", "1990-1999", 1999));
    QVERIFY(!matches("year", "1990-1999", 1989) && !matches("year", "1990-1999", 2000));
    QVERIFY(matches("year", "1995", 1995) && !matches("year", "1995", 1996) && !matches("year", "199x", 1995));
    QVERIFY(matches("year", "-10--1", -5) && matches("duration", "180-240", 0, 240000));
    QVERIFY(!matches("duration", "180-240", 0, 240500) && !matches("duration", "240", 0, 240500));
    QVERIFY(matches("Artist", "rolling", 0) && !matches("artist", "beatles", 0));
    QVERIFY(matches("label", "beatles", 0) && matches("artist", "   ", 0));

    const QStringList j{"/j.mp3"};
    AutoIntro store{true, {{.sources = {}}, {.sources = j, .mustTags = {"rock", "pop"}},
                           {.sources = j, .probability = 50, .skipAfterTypes = {"Jingle"}, .skipFileTypes = {"Ad"}},
                           {.sources = j, .probability = 40}}};
    const QDateTime now = QDateTime::currentDateTime();
    Track song;
    song.extras = {"Pop"};
    QCOMPARE(store.selectRule(song, now, 99, {}), 1);
    store.rules[1].tagsMatchAll = true;
    QCOMPARE(store.selectRule(song, now, 49, {}), 2);
    QCOMPARE(store.selectRule(song, now, 50, {}), -1); // one draw for all: the lower 40 % loses too
    QCOMPARE(store.selectRule(song, now, 39, "jingle"), 3);
    song.category = "ad";
    QCOMPARE(store.selectRule(song, now, 0, {}), 3);
    song.marker = true;
    QCOMPARE(store.selectRule(song, now, 0, {}), -1);
}

void TestAutoIntro::sourcesPlaylistRowsAndCooldown()
{
    const QString a = touch("ids/a.WAV");
    const QString b = touch("ids/b.mp3");
    touch("ids/notes.txt");
    const QString list = touch("ids/list.M3U8");
    QFile f(list);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#EXTM3U\n\n  deeper/c.mp3  \n" + b.toUtf8() + "\n");
    f.close();
    const QString ids = QFileInfo(a).absolutePath();
    const QString empty = QFileInfo(touch("empty/x.txt")).absolutePath();
    QCOMPARE(AutoIntro::expandSources({ids, list, "/nowhere.m3u", "/gone.mp3", b, empty}),
             QStringList({a, b, ids + "/deeper/c.mp3", b, b}));
    QCOMPARE(AutoIntro::chooseIntroFile({.sources = {a, b}}, -3), b);
    QCOMPARE(AutoIntro::chooseIntroFile({.sources = {a, b}}, INT_MIN), a);

    const QString song = touch("Band - Song.mp3");
    TrackParams p;
    p.fadeIn = 1200;
    p.tags = {"new"};
    TrackParams::save(song, p);
    AutoIntro store{true, {{.sources = {empty}}, {.name = "fade", .sources = {touch("Station - Ident.mp3")},
                                                  .mustTags = {"NEW"}, .posValue = 2, .cooldownSecs = 600}}};
    Track jingle = Track::fromFile(b);
    jingle.category = "Jingle";
    Track stop;
    stop.marker = true;
    PlaylistModel playlist;
    for (const Track& t : {Track::fromFile(song), stop, jingle, Track::fromFile(song)})
        playlist.addTrack(t); // the rows carry no tags: the file's own count

    QRandomGenerator random(17);
    QRandomGenerator twin(17);
    const QDateTime fired(QDate(2026, 1, 5), QTime(9, 0, 0));
    QCOMPARE(store.introFor(playlist, 0, {}, fired, random).rule, -1); // the empty folder wins, yields nothing
    store.rules.removeFirst();
    for (const int row : {-1, 1, 3, 4}) // before the list, STOP, after a jingle, past the end
        QCOMPARE(store.introFor(playlist, row, {}, fired, random).rule, -1);
    const AutoIntro::Intro intro = store.introFor(playlist, 0, {}, fired, random);
    for (int i = 0; i < 4; ++i) // a call that reached the rules drew the number, then the file
        twin.generate();
    QCOMPARE(random.generate(), twin.generate());
    QCOMPARE(intro.jingle.artist + "|" + intro.jingle.title + "|" + intro.jingle.category,
             QStringLiteral("Station|Ident|Jingle"));
    QCOMPARE(intro.mixPointMs, 1200);
    store.rules[0].posValue = 0;
    store.rules[0].positionSecs = 1e300; // written by hand: kept in range
    QCOMPARE(store.introFor(playlist, 0, {}, fired, random).mixPointMs, INT_MAX);

    store.markUsed(0, fired);
    AutoIntro restarted;
    restarted.load();
    QCOMPARE(restarted.introFor(playlist, 0, {}, fired.addSecs(599), random).rule, -1);
    QCOMPARE(restarted.introFor(playlist, 0, {}, fired.addSecs(600), random).rule, 0);
}

OL_TEST_MAIN(TestAutoIntro)
#include "tst_autointro.moc"
