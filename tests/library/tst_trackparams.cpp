#include "engine/audioengine.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "olmain.h"

#include <QJsonArray>
#include <QJsonDocument>


class TestTrackParams : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }

    void defaultsAreDefault()
    {
        const TrackParams p;
        QVERIFY(p.isDefault());
        QCOMPARE(p.fadeIn, -1);
        QCOMPARE(p.mixStart, -1);
        QCOMPARE(p.voiceover.probability, 100);
        QVERIFY(TrackParams::fromJson(QJsonObject()).isDefault());
        QVERIFY(TrackParams::load(QString()).isDefault());
        QVERIFY(TrackParams::load(QStringLiteral("/never/stored.mp3")).isDefault());
    }

    void eachSettingMakesItNonDefault_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("start") << QByteArray(R"({"start":5})");
        QTest::newRow("hookOut") << QByteArray(R"({"hookOut":5})");
        QTest::newRow("fadeIn zero") << QByteArray(R"({"fadeIn":0})");
        QTest::newRow("mixStart") << QByteArray(R"({"mixStart":0})");
        QTest::newRow("level") << QByteArray(R"({"level":0.5})");
        QTest::newRow("negative level") << QByteArray(R"({"level":-1})");
        QTest::newRow("rating") << QByteArray(R"({"rating":3})");
        QTest::newRow("tags") << QByteArray(R"({"tags":["x"]})");
        QTest::newRow("disabled") << QByteArray(R"({"disabled":true})");
        QTest::newRow("startDate alone") << QByteArray(R"({"startDate":"2026-01-01"})");
        QTest::newRow("daypart") << QByteArray(R"({"daypart":[0,0,1]})");
        QTest::newRow("voiceover") << QByteArray(R"({"voiceover":{"ins":10,"source":"/vo.mp3"}})");
    }

    void eachSettingMakesItNonDefault()
    {
        QFETCH(QByteArray, json);
        QVERIFY(!TrackParams::fromJson(QJsonDocument::fromJson(json).object()).isDefault());
    }

    void levelToleranceIsRelative()
    {
        TrackParams p;
        p.level = 1.0 + 1e-13;
        QVERIFY(p.isDefault());
        p.level = 1.0 + 1e-9;
        QVERIFY(!p.isDefault());
    }

    void roundTripKeepsEveryField()
    {
        TrackParams p;
        p.start = 100;
        p.end = 200000;
        p.intro = 3000;
        p.outro = 190000;
        p.hookIn = 60000;
        p.hookOut = 70000;
        p.fadeIn = 500;
        p.mix = 2000;
        p.fadeOut = 1500;
        p.mixStart = 4000;
        p.voiceover.ins = 12000;
        p.voiceover.source = QStringLiteral("/vo/folder");
        p.voiceover.position = 1;
        p.voiceover.probability = 40;
        p.voiceover.level = 0.7;
        p.voiceover.notAfter = QDate(2027, 3, 1);
        p.level = 0.8;
        p.rating = 7;
        p.tags = QStringList{QStringLiteral("summer"), QStringLiteral("Café")};
        p.disabled = true;
        p.startDate = QDate(2026, 1, 1);
        p.endDate = QDate(2026, 12, 31);
        p.setDaypart(0, 8, true);
        p.setDaypart(6, 23, true);

        TrackParams::save(QStringLiteral("/m/full.mp3"), p);
        const TrackParams q = TrackParams::load(QStringLiteral("/m/full.mp3"));
        QCOMPARE(QJsonDocument(q.toJson()).toJson(QJsonDocument::Compact),
                 QJsonDocument(p.toJson()).toJson(QJsonDocument::Compact));
        QCOMPARE(q.voiceover.notAfter, QDate(2027, 3, 1));
        QCOMPARE(q.daypart[6], 1u << 23);
        QCOMPARE(q.tags, p.tags);

        const QJsonObject o = p.toJson();
        QCOMPARE(o.value(QStringLiteral("startDate")).toString(), QStringLiteral("2026-01-01"));
        QCOMPARE(o.value(QStringLiteral("daypart")).toArray().size(), 7);
    }

    void optionalKeysAreLeftOut()
    {
        TrackParams p;
        p.rating = 2;
        p.voiceover.source = QStringLiteral("/vo.mp3"); // no insert point: not a setting
        const QJsonObject o = p.toJson();
        for (const char* key : {"voiceover", "tags", "startDate", "endDate", "daypart"})
            QVERIFY2(!o.contains(QLatin1String(key)), key);
        for (const char* key : {"start", "end", "intro", "outro", "hookIn", "hookOut", "fadeIn", "mix", "fadeOut",
                                "mixStart", "level", "rating", "disabled"})
            QVERIFY2(o.contains(QLatin1String(key)), key);

        p.rating = 0;
        TrackParams::save(QStringLiteral("/m/vo-only.mp3"), p);
        QVERIFY(TrackParams::load(QStringLiteral("/m/vo-only.mp3")).isDefault());
    }

    void readingIsForgiving_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("check");
        QTest::newRow("fractional mark truncated") << QByteArray(R"({"start":12.9,"mixStart":-3.7})") << "start=12 mixStart=-3";
        QTest::newRow("fractional fade is default") << QByteArray(R"({"fadeIn":2.5,"mix":"300"})") << "fadeIn=-1 mix=-1";
        QTest::newRow("fade out of range") << QByteArray(R"({"fadeOut":3e10})") << "fadeOut=-1";
        QTest::newRow("rating not clamped") << QByteArray(R"({"rating":14})") << "rating=14";
        QTest::newRow("wrong types") << QByteArray(R"({"level":"loud","disabled":1,"start":"5"})") << "level=1 disabled=0 start=0";
        QTest::newRow("nine dayparts") << QByteArray(R"({"daypart":[1,2,3,4,5,6,7,8,9]})") << "d0=1 d6=7";
        QTest::newRow("dayparts out of a mask's range") << QByteArray(R"({"daypart":[1e300,-1,4294967296,4294967295,-1e300]})")
                                                   << "d0=0 d1=0 d2=0 d3=4294967295 d4=0";
        QTest::newRow("three dayparts") << QByteArray(R"({"daypart":[1,2,3]})") << "d2=3 d3=0 d6=0";
        QTest::newRow("tag not a string") << QByteArray(R"({"tags":["a",5,"b"]})") << "tags=a,,b";
        QTest::newRow("bad date") << QByteArray(R"({"startDate":"soon","endDate":"2026-02-30"})") << "dates=0";
        QTest::newRow("voiceover defaults") << QByteArray(R"({"voiceover":{"ins":5}})") << "vo=5,,0,100";
    }

    void readingIsForgiving()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, check);
        const TrackParams p = TrackParams::fromJson(QJsonDocument::fromJson(json).object());
        QStringList got;
        for (const QString& item : check.split(QLatin1Char(' '))) {
            const QString key = item.section(QLatin1Char('='), 0, 0);
            QString v;
            if (key == QLatin1String("start")) v = QString::number(p.start);
            else if (key == QLatin1String("mixStart")) v = QString::number(p.mixStart);
            else if (key == QLatin1String("fadeIn")) v = QString::number(p.fadeIn);
            else if (key == QLatin1String("mix")) v = QString::number(p.mix);
            else if (key == QLatin1String("fadeOut")) v = QString::number(p.fadeOut);
            else if (key == QLatin1String("rating")) v = QString::number(p.rating);
            else if (key == QLatin1String("level")) v = QString::number(p.level);
            else if (key == QLatin1String("disabled")) v = QString::number(p.disabled);
            else if (key.startsWith(QLatin1Char('d')) && key.size() == 2) v = QString::number(p.daypart[key.at(1).digitValue()]);
            else if (key == QLatin1String("tags")) v = p.tags.join(QLatin1Char(','));
            else if (key == QLatin1String("dates")) v = QString::number(p.startDate.isValid() || p.endDate.isValid());
            else if (key == QLatin1String("vo"))
                v = QStringLiteral("%1,%2,%3,%4").arg(p.voiceover.ins).arg(p.voiceover.source).arg(p.voiceover.position)
                        .arg(p.voiceover.probability);
            got << key + QLatin1Char('=') + v;
        }
        QCOMPARE(got.join(QLatin1Char(' ')), check);
    }

    void effectiveDuration_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("end");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("start only") << qint64(100) << qint64(0) << qint64(900) << qint64(800);
        QTest::newRow("end inside") << qint64(100) << qint64(950) << qint64(900) << qint64(800);
        QTest::newRow("end earlier") << qint64(100) << qint64(600) << qint64(900) << qint64(500);
        QTest::newRow("start past end") << qint64(950) << qint64(0) << qint64(900) << qint64(0);
        QTest::newRow("unknown length") << qint64(0) << qint64(0) << qint64(0) << qint64(0);
        QTest::newRow("no marks") << qint64(0) << qint64(0) << qint64(900) << qint64(900);
    }

    void effectiveDuration()
    {
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        QFETCH(qint64, duration);
        QFETCH(qint64, expected);
        TrackParams p;
        p.start = start;
        p.end = end;
        QCOMPARE(p.effectiveDuration(duration), expected);
    }

    void daypartsAndAvailability()
    {
        TrackParams p;
        QVERIFY(p.daypartAllows(9, 99)); // no restriction at all
        for (int h = 8; h <= 11; ++h)
            p.setDaypart(0, h, true);
        p.setDaypart(7, 3, true);   // ignored
        p.setDaypart(0, 24, true);  // ignored
        QCOMPARE(p.daypart[0], 0xF00u);
        QVERIFY(p.hasDaypart());
        QVERIFY(p.daypartAllows(0, 11));
        QVERIFY(!p.daypartAllows(0, 12));
        QVERIFY(!p.daypartAllows(1, 9));
        QVERIFY(!p.daypartAllows(-1, 9));

        const QDate monday(2026, 12, 7);
        QVERIFY(p.isAvailableAt(QDateTime(monday, QTime(11, 59))));
        QVERIFY(!p.isAvailableAt(QDateTime(monday, QTime(12, 0))));
        QVERIFY(!p.isAvailableAt(QDateTime(monday.addDays(1), QTime(9, 0))));
        QVERIFY(!p.isAvailableAt(QDateTime()));

        TrackParams d;
        d.startDate = QDate(2026, 12, 1);
        QVERIFY(d.isAvailableAt(QDateTime(QDate(2020, 1, 1), QTime(1, 0)))); // one date restricts nothing
        d.endDate = QDate(2026, 12, 7);
        QVERIFY(d.isAvailableAt(QDateTime(QDate(2026, 12, 1), QTime(0, 0))));
        QVERIFY(d.isAvailableAt(QDateTime(monday, QTime(23, 59))));
        QVERIFY(!d.isAvailableAt(QDateTime(monday.addDays(1), QTime(0, 0))));
        d.disabled = true;
        QVERIFY(!d.isAvailableAt(QDateTime(monday, QTime(12, 0))));
    }

    void resolveMixOrder()
    {
        MixConfig global;
        global.mixPointMs = 2500;
        global.fadeOutMs = 2500;
        global.crossfadeEnabled = true;
        MixConfig alt;
        alt.mixPointMs = 4000;
        alt.fadeOutMs = 3000;
        alt.crossfadeEnabled = false;

        TrackParams track;
        TrackParams::SegueOverride none;
        auto r = TrackParams::resolveMix(global, alt, false, track, none, false, 0);
        QCOMPARE(r.mixPointMs, 2500);
        r = TrackParams::resolveMix(global, alt, true, track, none, false, 0);
        QCOMPARE(r.mixPointMs, 4000);
        QCOMPARE(r.fadeOutMs, 3000);
        QVERIFY(r.crossfadeEnabled); // only the two lengths come from the alternative

        track.mix = 300;
        track.fadeOut = 900;
        r = TrackParams::resolveMix(global, alt, true, track, none, false, 0);
        QCOMPARE(r.mixPointMs, 300);
        QCOMPARE(r.fadeOutMs, 900);
        r = TrackParams::resolveMix(global, alt, true, track, none, true, 7000);
        QCOMPARE(r.mixPointMs, 7000);
        r = TrackParams::resolveMix(global, alt, true, track, none, true, 0);
        QCOMPARE(r.mixPointMs, 300);

        TrackParams::SegueOverride zero{0, -1};
        r = TrackParams::resolveMix(global, alt, false, track, zero, true, 7000);
        QCOMPARE(r.mixPointMs, 0);
        QCOMPARE(r.fadeOutMs, 900);
    }

    void shouldStartMix_data()
    {
        QTest::addColumn<bool>("crossfade");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<qint64>("remaining");
        QTest::addColumn<bool>("trigger");
        QTest::addColumn<double>("levelDb");
        QTest::addColumn<bool>("levelValid");
        QTest::addColumn<bool>("start");
        QTest::newRow("at the mix point") << true << qint64(180000) << qint64(2500) << false << 0.0 << false << true;
        QTest::newRow("before the mix point") << true << qint64(180000) << qint64(2501) << false << 0.0 << false << false;
        QTest::newRow("crossfade off") << false << qint64(180000) << qint64(100) << false << 0.0 << false << false;
        QTest::newRow("short track") << true << qint64(40000) << qint64(100) << false << 0.0 << false << false;
        QTest::newRow("past the end") << true << qint64(180000) << qint64(-1) << false << 0.0 << false << false;
        QTest::newRow("level below trigger") << true << qint64(180000) << qint64(20000) << true << -20.0 << true << true;
        QTest::newRow("level not measured") << true << qint64(180000) << qint64(20000) << true << -20.0 << false << false;
        QTest::newRow("level above trigger") << true << qint64(180000) << qint64(20000) << true << -10.0 << true << false;
    }

    void shouldStartMix()
    {
        QFETCH(bool, crossfade);
        QFETCH(qint64, duration);
        QFETCH(qint64, remaining);
        QFETCH(bool, trigger);
        QFETCH(double, levelDb);
        QFETCH(bool, levelValid);
        QFETCH(bool, start);
        MixConfig m;
        m.crossfadeEnabled = crossfade;
        m.triggerMixEnabled = trigger;
        QCOMPARE(AudioEngine::shouldStartMix(m, duration, remaining, levelDb, levelValid), start);
    }

    void mixConfigFromSettings()
    {
        QSettings s;
        s.clear();
        auto m = AudioEngine::mixConfigFromSettings();
        QCOMPARE(m.mixPointMs, 2500);
        QCOMPARE(m.minCrossfadeMs, 45000);
        QCOMPARE(m.triggerMixDb, -14.0);
        QVERIFY(m.fadeOutOnMix && !m.crossfadeEnabled && !m.triggerMixEnabled);
        s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
        s.setValue(QStringLiteral("playback/mixPointMs"), 4000);
        s.setValue(QStringLiteral("playback/triggerMixDb"), -20.5);
        m = AudioEngine::mixConfigFromSettings();
        QVERIFY(m.crossfadeEnabled);
        QCOMPARE(m.mixPointMs, 4000);
        QCOMPARE(m.triggerMixDb, -20.5);
    }
};

OL_TEST_MAIN(TestTrackParams)
#include "tst_trackparams.moc"
