#include "library/generatorrules.h"
#include "library/trackselector.h"
#include "olmain.h"

#include <QSettings>

#include <cmath>

namespace {

Track song(const QString& artist, const QString& title = QString(), const QString& album = QString(),
           const QString& genre = QString(), int year = 0)
{
    Track t;
    t.artist = artist;
    t.title = title;
    t.album = album;
    t.genre = genre;
    t.year = year;
    return t;
}

} // namespace

class TestGeneratorRules : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        QSettings().remove(QStringLiteral("generator"));
    }

    void tagTexts_data()
    {
        QTest::addColumn<QString>("include");
        QTest::addColumn<QString>("exclude");
        QTest::addColumn<QStringList>("includeTags");  // empty: no include filter
        QTest::addColumn<QStringList>("excludeTags");
        QTest::newRow("two tags") << "NEW, PROMO" << "" << QStringList{"NEW", "PROMO"} << QStringList{};
        QTest::newRow("only a comma") << "," << " , ," << QStringList{} << QStringList{};
        QTest::newRow("double comma") << "a,,b" << "" << QStringList{"a", "b"} << QStringList{};
        QTest::newRow("blanks trimmed") << "  x  ,  y " << " old " << QStringList{"x", "y"} << QStringList{"old"};
    }

    void tagTexts()
    {
        QFETCH(QString, include);
        QFETCH(QString, exclude);
        QFETCH(QStringList, includeTags);
        QFETCH(QStringList, excludeTags);
        QSettings s;
        s.setValue(QStringLiteral("generator/includeTags"), include);
        s.setValue(QStringLiteral("generator/excludeTags"), exclude);
        const GeneratorRules r = GeneratorRules::fromSettings();
        QList<GeneratorRules::TagFilter> expected;
        if (!includeTags.isEmpty())
            expected.append({false, includeTags});
        if (!excludeTags.isEmpty())
            expected.append({true, excludeTags});
        QCOMPARE(r.tagFilters.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(r.tagFilters[i].exclude, expected[i].exclude);
            QCOMPARE(r.tagFilters[i].tags, expected[i].tags);
        }
    }

    void cannotFollowLines()
    {
        QSettings().setValue(QStringLiteral("generator/cannotFollow"),
                             QStringLiteral("ballad after ballad\n"
                                            "Jingle AFTER jingle\n"
                                            " after nothing\n"
                                            "no separator here\n"
                                            "\n"
                                            "x after \n"
                                            "a after b after c\n"));
        const GeneratorRules r = GeneratorRules::fromSettings();
        QCOMPARE(r.cannotFollow.size(), 3);
        QCOMPARE(r.cannotFollow[0].tag, QStringLiteral("ballad"));
        QCOMPARE(r.cannotFollow[0].afterTag, QStringLiteral("ballad"));
        QCOMPARE(r.cannotFollow[1].tag, QStringLiteral("Jingle"));
        QCOMPARE(r.cannotFollow[1].afterTag, QStringLiteral("jingle"));
        QCOMPARE(r.cannotFollow[2].tag, QStringLiteral("a"));
        QCOMPARE(r.cannotFollow[2].afterTag, QStringLiteral("b after c"));
        QCOMPARE(r.cannotFollow[2].toString(), QStringLiteral("a after b after c"));
    }

    void roundTrip()
    {
        GeneratorRules r;
        r.noRepeatArtistMin = 45;
        r.noRepeatTitleMin = 0;
        r.noRepeatAlbumMin = 15;
        r.useRatings = false;
        r.minRating = 4;
        r.tagFilters = {{false, {"new", "promo"}}, {true, {"xmas"}}, {false, {"hot"}}, {true, {}}};
        r.genres = {"Rock", "Pop"};
        r.minYear = 1980;
        r.maxYear = 1999;
        r.cannotFollow = {{"ballad", "ballad"}, {"ad", "jingle"}};
        GeneratorRules::saveToSettings(r);

        QSettings s;
        QCOMPARE(s.value("generator/includeTags").toString(), QStringLiteral("new, promo, hot"));
        QCOMPARE(s.value("generator/excludeTags").toString(), QStringLiteral("xmas"));
        QCOMPARE(s.value("generator/genres").toString(), QStringLiteral("Rock, Pop"));
        QCOMPARE(s.value("generator/cannotFollow").toString(), QStringLiteral("ballad after ballad\nad after jingle"));

        const GeneratorRules back = GeneratorRules::fromSettings();
        QCOMPARE(back.noRepeatTitleMin, 0);
        QVERIFY(!back.useRatings);
        QCOMPARE(back.tagFilters.size(), 2);
        QCOMPARE(back.tagFilters[0].tags, (QStringList{"new", "promo", "hot"}));
        QVERIFY(back.tagFilters[1].exclude);
        QCOMPARE(back.genres, r.genres);
        QCOMPARE(back.cannotFollow[1].afterTag, QStringLiteral("jingle"));
    }

    void filters_data()
    {
        QTest::addColumn<QStringList>("include");
        QTest::addColumn<QStringList>("exclude");
        QTest::addColumn<QStringList>("genres");
        QTest::addColumn<int>("minYear");
        QTest::addColumn<int>("maxYear");
        QTest::addColumn<QString>("genre");
        QTest::addColumn<int>("year");
        QTest::addColumn<QStringList>("tags");
        QTest::addColumn<bool>("passes");

        const QStringList none;
        QTest::newRow("no rules") << none << none << none << 0 << 0 << "" << 0 << none << true;
        QTest::newRow("include matches ignoring case")
            << QStringList{"NEW", "PROMO"} << none << none << 0 << 0 << "" << 0 << QStringList{"promo"} << true;
        QTest::newRow("include without tags fails")
            << QStringList{"NEW", "PROMO"} << none << none << 0 << 0 << "" << 0 << none << false;
        QTest::newRow("exclude hit") << none << QStringList{"xmas"} << none << 0 << 0 << "" << 0
                                     << QStringList{"rock", "XMAS"} << false;
        QTest::newRow("exclude miss") << none << QStringList{"xmas"} << none << 0 << 0 << "" << 0
                                      << QStringList{"rock"} << true;
        QTest::newRow("genre listed") << none << none << QStringList{" rock ", "Pop"} << 0 << 0 << "ROCK" << 0
                                      << none << true;
        QTest::newRow("genre not listed") << none << none << QStringList{"Rock"} << 0 << 0 << "Jazz" << 0
                                          << none << false;
        QTest::newRow("empty genre fails") << none << none << QStringList{"Rock"} << 0 << 0 << "" << 0
                                           << none << false;
        QTest::newRow("from 1990: 1990") << none << none << none << 1990 << 0 << "" << 1990 << none << true;
        QTest::newRow("from 1990: 1989") << none << none << none << 1990 << 0 << "" << 1989 << none << false;
        QTest::newRow("from 1990: no year") << none << none << none << 1990 << 0 << "" << 0 << none << false;
        QTest::newRow("until 1999: 2000") << none << none << none << 0 << 1999 << "" << 2000 << none << false;
        QTest::newRow("until 1999: 1970") << none << none << none << 0 << 1999 << "" << 1970 << none << true;
        QTest::newRow("open years: no year") << none << none << none << -5 << 0 << "" << 0 << none << true;
    }

    void filters()
    {
        QFETCH(QStringList, include);
        QFETCH(QStringList, exclude);
        QFETCH(QStringList, genres);
        QFETCH(int, minYear);
        QFETCH(int, maxYear);
        QFETCH(QString, genre);
        QFETCH(int, year);
        QFETCH(QStringList, tags);
        QFETCH(bool, passes);
        GeneratorRules r;
        if (!include.isEmpty())
            r.tagFilters.append({false, include});
        r.tagFilters.append(GeneratorRules::TagFilter{false, {}});   // a filter without tags is skipped
        if (!exclude.isEmpty())
            r.tagFilters.append({true, exclude});
        r.genres = genres;
        r.minYear = minYear;
        r.maxYear = maxYear;
        QCOMPARE(TrackSelector::passesFilters(song("A", "T", "", genre, year), tags, r), passes);
    }

    void separation()
    {
        GeneratorRules r;
        const Track candidate = song("Muse", "Uprising", "The Resistance");
        QVERIFY(TrackSelector::violatesSeparation(candidate, {{song("MUSE"), 59}}, r, false));
        QVERIFY(!TrackSelector::violatesSeparation(candidate, {{song("Muse"), 60}}, r, false));
        QVERIFY(!TrackSelector::violatesSeparation(candidate, {{song("Muse"), 59}}, r, true));
        QVERIFY(TrackSelector::violatesSeparation(candidate, {{song("X", "uprising"), 179}}, r, false));
        QVERIFY(!TrackSelector::violatesSeparation(candidate, {{song("X", "uprising"), 180}}, r, false));
        QVERIFY(TrackSelector::violatesSeparation(candidate, {{song("X", "Y", "the resistance"), 29}}, r, false));
        // A negative distance counts as 0.
        QVERIFY(TrackSelector::violatesSeparation(candidate, {{song("X", "Y", "The Resistance"), -10}}, r, false));
        // Empty texts never match each other.
        QVERIFY(!TrackSelector::violatesSeparation(song(""), {{song(""), 0}}, r, false));
        // A limit of 0 switches its test off; later entries are looked at too.
        r.noRepeatArtistMin = 0;
        QVERIFY(!TrackSelector::violatesSeparation(candidate, {{song("Muse"), 0}}, r, false));
        QVERIFY(TrackSelector::violatesSeparation(candidate, {{song("Other"), 0}, {song("X", "Uprising"), 100}},
                                                  r, false));
        QVERIFY(!TrackSelector::violatesSeparation(candidate, {}, r, false));
    }

    void cannotFollow()
    {
        GeneratorRules r;
        r.cannotFollow = {{"ballad", "Ballad"}, {"", "jingle"}};
        QVERIFY(TrackSelector::violatesCannotFollow({"BALLAD"}, {"slow", "ballad"}, r));
        QVERIFY(!TrackSelector::violatesCannotFollow({"ballad"}, {"fast"}, r));
        QVERIFY(!TrackSelector::violatesCannotFollow({"fast"}, {"ballad"}, r));
        QVERIFY(!TrackSelector::violatesCannotFollow({""}, {"jingle"}, r));
    }

    void priorityAndWeight_data()
    {
        QTest::addColumn<bool>("useRatings");
        QTest::addColumn<int>("minRating");
        QTest::addColumn<int>("rating");
        QTest::addColumn<int>("priority");
        QTest::addColumn<double>("weight");
        QTest::newRow("below minimum") << true << 3 << 2 << -1 << 0.0;
        QTest::newRow("at minimum") << true << 3 << 3 << 30 << std::pow(3.5, -0.4);
        QTest::newRow("ratings off") << false << 3 << 1 << 50 << 1.0;
        QTest::newRow("unrated, no minimum") << true << 0 << 0 << 50 << 1.0;
        QTest::newRow("top rating") << true << 0 << 10 << 100 << 3.5;
        QTest::newRow("over the top") << true << 0 << 14 << 100 << 3.5;
        QTest::newRow("lowest rated") << true << 0 << 1 << 10 << std::pow(3.5, -0.8);
    }

    void priorityAndWeight()
    {
        QFETCH(bool, useRatings);
        QFETCH(int, minRating);
        QFETCH(int, rating);
        QFETCH(int, priority);
        QFETCH(double, weight);
        GeneratorRules r;
        r.useRatings = useRatings;
        r.minRating = minRating;
        const int p = TrackSelector::priorityFor(Track(), rating, r);
        QCOMPARE(p, priority);
        QVERIFY(qAbs(TrackSelector::weightFor(p) - weight) < 1e-12);
        QVERIFY(qAbs(TrackSelector::weightFor(0) - 1 / 3.5) < 1e-12);
        QCOMPARE(TrackSelector::weightFor(250), 3.5);
    }

    void pickWeighted_data()
    {
        QTest::addColumn<QList<double>>("weights");
        QTest::addColumn<double>("r");
        QTest::addColumn<int>("index");
        const QList<double> w{1, 0, 3};
        QTest::newRow("first") << w << 0.2 << 0;
        QTest::newRow("exactly at the border") << w << 0.25 << 2;
        QTest::newRow("clamped above") << w << 1.5 << 2;
        QTest::newRow("clamped below") << w << -1.0 << 0;
        QTest::newRow("negative counts as zero") << QList<double>{-5, 2} << 0.0 << 1;
        QTest::newRow("all zero") << QList<double>{0, 0} << 0.5 << -1;
        QTest::newRow("empty") << QList<double>{} << 0.5 << -1;
        QTest::newRow("trailing zero") << QList<double>{2, 0} << 0.999999 << 0;
    }

    void pickWeighted()
    {
        QFETCH(QList<double>, weights);
        QFETCH(double, r);
        QFETCH(int, index);
        QCOMPARE(TrackSelector::pickWeighted(weights, r), index);
    }
};

OL_TEST_MAIN(TestGeneratorRules)
#include "tst_generatorrules.moc"
