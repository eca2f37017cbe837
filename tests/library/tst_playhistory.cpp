#include "library/musiclibrary.h"
#include "library/playhistory.h"
#include "olmain.h"

#include <QRegularExpression>
#include <QSqlQuery>

namespace {

bool tableExists()
{
    QSqlQuery q(MusicLibrary::database());
    return q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name='play_history'"))
        && q.next();
}

QStringList storedTimes()
{
    QStringList out;
    QSqlQuery q(MusicLibrary::database());
    if (q.exec(QStringLiteral("SELECT played_at FROM play_history ORDER BY id")))
        while (q.next())
            out << q.value(0).toString();
    return out;
}

void insertPlay(const QString& at, const QString& artist, const QString& title, qint64 ms)
{
    QSqlQuery q(MusicLibrary::database());
    q.prepare(QStringLiteral(
        "INSERT INTO play_history(played_at,artist,title,filepath,duration_ms) VALUES(?,?,?,?,?)"));
    q.addBindValue(at);
    q.addBindValue(artist);
    q.addBindValue(title);
    q.addBindValue(QStringLiteral("/m/") + title);
    q.addBindValue(ms);
    QVERIFY(q.exec());
}

QDateTime at(const char* iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate);
}

Track fileTrack(const QString& artist, const QString& title, const QString& path, qint64 ms)
{
    Track t;
    t.artist = artist;
    t.title = title;
    t.filePath = path;
    t.durationMs = ms;
    return t;
}

} // namespace

class TestPlayHistory : public QObject
{
    Q_OBJECT

private slots:
    // Runs first, on a database that has no history table yet.
    void freshDatabase()
    {
        QVERIFY(MusicLibrary::initDatabase());
        QVERIFY(!tableExists());
        PlayHistory::clear();
        QVERIFY(!tableExists());
        QCOMPARE(PlayHistory::totalCount(), 0);
        QVERIFY(tableExists());
    }

    void logging()
    {
        MusicLibrary a;
        a.load(QStringLiteral("A"));
        MusicLibrary b;
        b.load(QStringLiteral("B"));
        const Track song = fileTrack(QStringLiteral("Artist"), QStringLiteral("Song"), QStringLiteral("/m/song.mp3"),
                                     200000);
        a.addTrack(song);
        b.addTrack(song);

        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        PlayHistory::logPlay(song);

        Track stop;
        stop.marker = true;
        stop.label = QStringLiteral("stop");
        PlayHistory::logPlay(stop);

        Track stream;
        stream.filePath = QStringLiteral("http://radio.example/live");
        stream.isStream = true;
        stream.artist = QStringLiteral("Online stream");
        a.addTrack(stream);
        PlayHistory::logPlay(stream);

        QCOMPARE(PlayHistory::totalCount(), 2);
        const QList<PlayHistory::Record> plays =
            PlayHistory::range(before, QDateTime::currentDateTime().addSecs(1));
        QCOMPARE(plays.size(), 2);
        QCOMPARE(plays[0].artist, QStringLiteral("Artist"));
        QCOMPARE(plays[0].title, QStringLiteral("Song"));
        QCOMPARE(plays[0].filepath, QStringLiteral("/m/song.mp3"));
        QCOMPARE(plays[0].durationMs, 200000);
        QVERIFY(plays[0].playedAt.isValid());
        // A stream without a title is logged under its address.
        QCOMPARE(plays[1].title, QStringLiteral("http://radio.example/live"));

        // Stored to the second, without milliseconds or zone.
        static const QRegularExpression iso(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$"));
        for (const QString& t : storedTimes())
            QVERIFY2(iso.match(t).hasMatch(), qPrintable(t));

        // The file's play counts in both libraries; the stream's not at all.
        QSqlQuery q(MusicLibrary::database());
        QVERIFY(q.exec(QStringLiteral("SELECT library, play_count, last_played, is_stream FROM tracks ORDER BY id")));
        int rows = 0;
        while (q.next()) {
            ++rows;
            const bool isStream = q.value(3).toInt() != 0;
            QCOMPARE(q.value(1).toInt(), isStream ? 0 : 1);
            QCOMPARE(q.value(2).toString().isEmpty(), isStream);
        }
        QCOMPARE(rows, 3);
    }

    void boundsAreInclusive()
    {
        PlayHistory::clear();
        QCOMPARE(PlayHistory::totalCount(), 0);
        insertPlay(QStringLiteral("2024-05-01T13:59:59"), "X", "Early", 1000);
        insertPlay(QStringLiteral("2024-05-01T14:00:00"), "X", "From", 1000);
        insertPlay(QStringLiteral("2024-05-01T15:00:00"), "X", "To", 1000);
        insertPlay(QStringLiteral("2024-05-01T15:00:01"), "X", "Late", 1000);

        // Milliseconds on a bound do not shift it past the stored second.
        const QDateTime to = at("2024-05-01T15:00:00").addMSecs(999);
        const QList<PlayHistory::Record> plays = PlayHistory::range(at("2024-05-01T14:00:00"), to);
        QCOMPARE(plays.size(), 2);
        QCOMPARE(plays[0].title, QStringLiteral("From"));
        QCOMPARE(plays[1].title, QStringLiteral("To"));
        QCOMPARE(plays[1].playedAt, at("2024-05-01T15:00:00"));
        const QList<PlayHistory::Count> counts = PlayHistory::counts(at("2024-05-01T14:00:00"), to);
        QCOMPARE(counts.size(), 2);
        QVERIFY(PlayHistory::range(at("2024-05-02T00:00:00"), at("2024-05-03T00:00:00")).isEmpty());
        QVERIFY(PlayHistory::counts(at("2024-05-02T00:00:00"), at("2024-05-03T00:00:00")).isEmpty());
    }

    void countsOrder()
    {
        PlayHistory::clear();
        for (int i = 0; i < 3; ++i) {
            insertPlay(QStringLiteral("2024-06-01T10:0%1:00").arg(i), "Zappa", "Z Song", 100000);
            insertPlay(QStringLiteral("2024-06-01T11:0%1:00").arg(i), "Abba", "A Song", 0);
        }
        for (int i = 0; i < 4; ++i)
            insertPlay(QStringLiteral("2024-06-01T12:0%1:00").arg(i), "Muse", "M Song", 250);
        insertPlay(QStringLiteral("2024-06-01T13:00:00"), "Abba", "Other", 5);

        const QList<PlayHistory::Count> counts =
            PlayHistory::counts(at("2024-06-01T00:00:00"), at("2024-06-01T23:59:59"));
        QCOMPARE(counts.size(), 4);
        QCOMPARE(counts[0].artist, QStringLiteral("Muse"));
        QCOMPARE(counts[0].plays, 4);
        QCOMPARE(counts[0].totalMs, 1000);
        QCOMPARE(counts[1].artist, QStringLiteral("Abba"));
        QCOMPARE(counts[1].title, QStringLiteral("A Song"));
        QCOMPARE(counts[1].plays, 3);
        QCOMPARE(counts[1].totalMs, 0);
        QCOMPARE(counts[2].artist, QStringLiteral("Zappa"));
        QCOMPARE(counts[2].totalMs, 300000);
        QCOMPARE(counts[3].title, QStringLiteral("Other"));
        QCOMPARE(counts[3].plays, 1);

        // A stored time that does not parse is still returned.
        insertPlay(QStringLiteral("2024-06-01T14:xx"), "Bad", "Time", 0);
        const QList<PlayHistory::Record> plays =
            PlayHistory::range(at("2024-06-01T00:00:00"), at("2024-06-01T23:59:59"));
        QCOMPARE(plays.size(), 12);
        QVERIFY(!plays.last().playedAt.isValid());
        QCOMPARE(plays.last().artist, QStringLiteral("Bad"));

        PlayHistory::clear();
        QCOMPARE(PlayHistory::totalCount(), 0);
    }
};

OL_TEST_MAIN(TestPlayHistory)
#include "tst_playhistory.moc"
