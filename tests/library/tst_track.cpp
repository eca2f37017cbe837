#include "library/track.h"
#include "olmain.h"


class TestTrack : public QObject
{
    Q_OBJECT

private slots:
    void defaults()
    {
        const Track t;
        QCOMPARE(t.category, QStringLiteral("Foreign"));
        QVERIFY(!t.startTime.isValid());
        QVERIFY(t.lastPlayed.isNull());
        QCOMPARE(t.durationMs, 0);
        QVERIFY(!t.marker && !t.isStream && !t.voiceTrack);
    }

    void fromFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("artist");
        QTest::addColumn<QString>("title");
        QTest::newRow("windows path") << "C:\\Music\\Artist - Song.mp3" << "Artist" << "Song";
        QTest::newRow("later separator wins") << "/a\\b/c - d.ogg" << "c" << "d";
        QTest::newRow("separator at start") << " - Intro.wav" << "" << " - Intro";
        QTest::newRow("empty title") << "Band - .mp3" << "Band" << "";
        QTest::newRow("no suffix") << "noext" << "" << "noext";
        QTest::newRow("several dots") << "a.b.c.mp3" << "" << "a.b.c";
        QTest::newRow("dot file") << ".mp3" << "" << ".mp3";
        QTest::newRow("trimmed parts") << "  Live  -  Set .flac" << "Live" << "Set";
        QTest::newRow("unicode") << "/m/Sigur Rós - Hoppípolla.flac" << "Sigur Rós" << "Hoppípolla";
    }

    void fromFile()
    {
        QFETCH(QString, path);
        QFETCH(QString, artist);
        QFETCH(QString, title);
        const Track t = Track::fromFile(path);
        QCOMPARE(t.filePath, path);
        QCOMPARE(t.artist, artist);
        QCOMPARE(t.title, title);
    }

    void isStreamUrl_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("stream");
        QTest::newRow("http") << "http://x/y" << true;
        QTest::newRow("blanks and capitals") << "  HTTPS://radio.example/live  " << true;
        QTest::newRow("mms") << "mms://a" << true;
        QTest::newRow("rtsp") << "Rtsp://a" << true;
        QTest::newRow("rtmp") << "rtmp://a" << true;
        QTest::newRow("ftp") << "ftp://a" << false;
        QTest::newRow("no scheme") << "radio.example/live" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("file path") << "/music/http://x.mp3" << false;
    }

    void isStreamUrl()
    {
        QFETCH(QString, text);
        QFETCH(bool, stream);
        QCOMPARE(Track::isStreamUrl(text), stream);
    }

    void formatDuration_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "--:--";
        QTest::newRow("negative") << qint64(-5) << "--:--";
        QTest::newRow("one ms") << qint64(1) << "00:00";
        QTest::newRow("below a minute") << qint64(59999) << "00:59";
        QTest::newRow("one minute one") << qint64(61000) << "01:01";
        QTest::newRow("an hour") << qint64(3600000) << "60:00";
        QTest::newRow("no hour part") << qint64(7500000) << "125:00";
    }

    void formatDuration()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(Track::formatDuration(ms), text);
    }

    void displayName()
    {
        Track t;
        t.filePath = QStringLiteral("/m/x.mp3");
        t.artist = QStringLiteral("A");
        QCOMPARE(t.displayName(), QStringLiteral("/m/x.mp3"));
        t.title = QStringLiteral("T");
        QCOMPARE(t.displayName(), QStringLiteral("A - T"));
        t.artist.clear();
        QCOMPARE(t.displayName(), QStringLiteral("T"));
        t.marker = true;
        t.label = QStringLiteral("stop");
        t.artist = QStringLiteral("ignored");
        QCOMPARE(t.displayName(), QStringLiteral(">> STOP <<"));
    }

    // Tracks travel through queued connections, alone and in lists.
    void travelsInQueuedSignals()
    {
        Track t = Track::fromFile(QStringLiteral("/m/A - B.mp3"));
        t.durationMs = 1234;
        QList<Track> list{t, t};
        QVariant v = QVariant::fromValue(list);
        QCOMPARE(v.value<QList<Track>>().size(), 2);
        QCOMPARE(v.value<QList<Track>>().at(1).durationMs, 1234);
        QVERIFY(QMetaType::fromName("Track").isValid());
        QVERIFY(QMetaType::fromName("QList<Track>").isValid());
    }
};

OL_TEST_MAIN(TestTrack)
#include "tst_track.moc"
