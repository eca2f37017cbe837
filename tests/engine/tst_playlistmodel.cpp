#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "olmain.h"

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QDataStream>
#include <QFont>
#include <QJsonDocument>
#include <QMimeData>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

#include <array>
#include <memory>

namespace {

Track fileTrack(const QString& name, qint64 durationMs = 180000)
{
    Track t;
    t.title = name;
    t.filePath = QStringLiteral("/music/%1.mp3").arg(name);
    t.durationMs = durationMs;
    return t;
}

void fill(PlaylistModel& m, int n, qint64 durationMs = 180000) // T0 .. T(n-1)
{
    for (int i = 0; i < n; ++i)
        m.addTrack(fileTrack(QStringLiteral("T%1").arg(i), durationMs));
}

QString order(const PlaylistModel& m)
{
    QStringList out;
    for (const Track& t : m.tracks())
        out << t.title;
    return out.join(QLatin1Char(' '));
}

QVariant cell(const PlaylistModel& m, int row, int column, int role = Qt::DisplayRole)
{
    return m.data(m.index(row, column), role);
}

QColor colour(const PlaylistModel& m, int row, int column, int role)
{
    const QVariant v = cell(m, row, column, role);
    return v.isValid() ? v.value<QBrush>().color() : QColor();
}

QByteArray ints(const QList<qint32>& values)
{
    QByteArray b;
    QDataStream out(&b, QIODevice::WriteOnly);
    for (qint32 v : values)
        out << v;
    return b;
}

std::unique_ptr<QMimeData> rowsMime(const QByteArray& payload)
{
    auto mime = std::make_unique<QMimeData>();
    mime->setData(QStringLiteral("application/x-orchidlantern-rows"), payload);
    return mime;
}

std::unique_ptr<QMimeData> urlMime(const QList<QUrl>& urls)
{
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(urls);
    return mime;
}

// Every signal a model sends about its rows.
struct ChangeSpies
{
    explicit ChangeSpies(PlaylistModel* m)
        : inserted(m, &QAbstractItemModel::rowsInserted)
        , removed(m, &QAbstractItemModel::rowsRemoved)
        , reset(m, &QAbstractItemModel::modelReset)
        , changed(m, &QAbstractItemModel::dataChanged)
    {
    }
    qsizetype total() const { return inserted.count() + removed.count() + reset.count() + changed.count(); }
    QSignalSpy inserted, removed, reset, changed;
};

} // namespace

class TestPlaylistModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }

    void rowLook()
    {
        PlaylistModel m;
        Track pause;
        pause.marker = true;
        pause.label = "pause";
        Track live;
        live.isStream = true;
        live.filePath = "http://radio.example/live";
        Track limited = live;
        limited.streamLimitMs = 90000;
        Track jingle = fileTrack("J", 65000);
        jingle.category = "jINGLE";
        Track voice = fileTrack("V");
        voice.voiceTrack = true;
        for (const Track& t : {pause, live, limited, jingle, voice})
            m.addTrack(t);

        QCOMPARE(cell(m, 0, 3).toString(), ">> PAUSE <<");
        QCOMPARE(cell(m, 0, 6).toString(), QString());
        QCOMPARE(cell(m, 3, 6).toString(), "\u23F9");
        QCOMPARE(cell(m, 0, 6, Qt::ToolTipRole).toString(), "Insert a STOP command after this track");
        QCOMPARE(cell(m, 0, 1, Qt::FontRole).value<QFont>().weight(), QFont::Bold);
        QCOMPARE(colour(m, 0, 3, Qt::BackgroundRole), QColor(255, 235, 200));
        QCOMPARE(colour(m, 0, 3, Qt::ForegroundRole), QColor(160, 90, 0));
        QCOMPARE(cell(m, 1, 4).toString(), "LIVE");
        QCOMPARE(cell(m, 2, 4).toString(), "01:30");
        QCOMPARE(cell(m, 3, 4).toString(), "01:05");
        QCOMPARE(colour(m, 1, 3, Qt::ForegroundRole), QColor(40, 130, 150));
        QCOMPARE(colour(m, 3, 3, Qt::ForegroundRole), QColor(120, 120, 120));
        QCOMPARE(cell(m, 4, 3, Qt::FontRole).value<QFont>().weight(), QFont::Normal);
        QVERIFY(cell(m, 4, 3, Qt::FontRole).value<QFont>().italic());
        QCOMPARE(cell(m, 3, 1), QVariant(4));
        QVERIFY(!cell(m, 5, 1).isValid());

        // A played jingle is greyed as played; the current row never is.
        m.setCurrentRow(3);
        QCOMPARE(colour(m, 3, 3, Qt::BackgroundRole), QColor(179, 215, 255));
        m.setCurrentRow(4);
        QCOMPARE(colour(m, 3, 3, Qt::ForegroundRole), QColor(150, 150, 150));
        m.markPlayed(4);
        QVERIFY(!cell(m, 4, 3, Qt::ForegroundRole).isValid());
        QVERIFY(cell(m, 4, 3, Qt::FontRole).value<QFont>().italic());
        QCOMPARE(colour(m, 4, 0, Qt::ForegroundRole), QColor(200, 60, 60));
    }

    void voiceoverBackgroundIsReadAfresh()
    {
        PlaylistModel m;
        m.addTrack(fileTrack("VoiceOverSong"));
        const QString path = m.tracks().at(0).filePath;
        QVERIFY(!cell(m, 0, 3, Qt::BackgroundRole).isValid());
        TrackParams p;
        p.voiceover.ins = 4000;
        p.voiceover.source = "/voice/drop.mp3";
        TrackParams::save(path, p);
        QCOMPARE(colour(m, 0, 3, Qt::BackgroundRole), QColor(255, 214, 234));
        TrackParams::remove(path);
        QVERIFY(!cell(m, 0, 3, Qt::BackgroundRole).isValid());

        // Written by the other program, through a connection of its own.
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("otherProgram"));
            other.setDatabaseName(MusicLibrary::database().databaseName());
            QVERIFY(other.open());
            QSqlQuery q(other);
            q.prepare(QStringLiteral("INSERT INTO track_params(filepath, params) VALUES(?, ?)"));
            q.addBindValue(path);
            q.addBindValue(QString::fromUtf8(QJsonDocument(p.toJson()).toJson(QJsonDocument::Compact)));
            QVERIFY(q.exec());
            other.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("otherProgram"));
        QTRY_COMPARE(colour(m, 0, 3, Qt::BackgroundRole), QColor(255, 214, 234));
        TrackParams::remove(path);
    }

    void startTimesAndHourMarkers()
    {
        PlaylistModel m;
        m.addTrack(fileTrack("probe", 0));
        const QTime base = m.tracks().at(0).startTime;
        QVERIFY(base.isValid());
        m.clearAll();
        // Row 1 starts exactly on the next hour; rows of 1999 ms, 0 and less count 1 s, 0, 0.
        const int toNextHour = 3600 - (base.minute() * 60 + base.second());
        for (qint64 ms : {qint64(toNextHour) * 1000, qint64(1999), qint64(0), qint64(-500), qint64(1000)})
            m.addTrack(fileTrack("x", ms));
        const QList<int> offsets{0, toNextHour, toNextHour + 1, toNextHour + 1, toNextHour + 1};
        for (int r = 0; r < offsets.size(); ++r)
            QCOMPARE(m.tracks().at(r).startTime, base.addSecs(offsets.at(r)));
        QCOMPARE(cell(m, 1, 2).toString(), base.addSecs(toNextHour).toString("h:mm:ss AP"));

        QCOMPARE(m.hourMarkerAt(0), -1);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.setShowHourMarkers(true);
        m.setShowHourMarkers(true);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(1).toModelIndex(), m.index(4, 6));
        QVERIFY(changed.at(0).at(2).value<QList<int>>().isEmpty());
        const int nextHour = (base.hour() + 1) % 24;
        QCOMPARE(m.hourMarkerAt(0), base.hour());
        QCOMPARE(m.hourMarkerAt(1), nextHour);
        QCOMPARE(m.hourMarkerAt(2), -1);
        QCOMPARE(cell(m, 1, 2, Qt::ToolTipRole).toString(),
                 QStringLiteral("Start of the %1:00 hour").arg(nextHour, 2, 10, QLatin1Char('0')));
        m.setCurrentRow(1);
        QCOMPARE(colour(m, 1, 4, Qt::BackgroundRole), QColor(226, 240, 226));

        // Past midnight: 23:59:00 plus 120 s gives 12:01:00 AM and the hour 0.
        PlaylistModel night;
        const int toLate = (QTime(base.hour(), base.minute(), base.second()).secsTo(QTime(23, 59)) + 86400) % 86400;
        night.addTrack(fileTrack("gap", qint64(toLate) * 1000 + 999));
        night.addTrack(fileTrack("late", 120000));
        night.addTrack(fileTrack("early"));
        night.setShowHourMarkers(true);
        QCOMPARE(night.tracks().at(1).startTime.toString("h:mm"), "23:59");
        QVERIFY(cell(night, 2, 2).toString().startsWith("12:01:"));
        QCOMPARE(cell(night, 2, 2, Qt::ToolTipRole).toString(), "Start of the 00:00 hour");

        // Clearing keeps the base; a duration of many days cannot overflow the clock.
        m.clearAll();
        m.addTrack(fileTrack("endless", qint64(86400) * 1000 * 100000 + 5000));
        m.addTrack(fileTrack("after"));
        QCOMPARE(m.tracks().at(0).startTime, base);
        QCOMPARE(m.tracks().at(1).startTime, base.addSecs(5));
        QCOMPARE(m.totalDurationMs(), qint64(86400) * 1000 * 100000 + 5000 + 180000);
    }

    void insertRemoveAndClearSignals()
    {
        PlaylistModel m;
        fill(m, 3);
        ChangeSpies spies(&m);
        m.insertTrack(-5, fileTrack("first"));
        m.insertTrack(100, fileTrack("last"));
        QCOMPARE(order(m), "first T0 T1 T2 last");
        QCOMPARE(spies.inserted.count(), 2);
        QCOMPARE(spies.inserted.at(1).at(1).toInt(), 4);
        QCOMPARE(spies.inserted.at(1).at(2).toInt(), 4);
        // Each change is followed by the start-time column of every row.
        QCOMPARE(spies.changed.count(), 2);
        QCOMPARE(spies.changed.at(1).at(0).toModelIndex(), m.index(0, 2));
        QCOMPARE(spies.changed.at(1).at(1).toModelIndex(), m.index(4, 2));
        QVERIFY(spies.changed.at(1).at(2).value<QList<int>>().isEmpty());

        m.removeRow(5);
        m.removeRow(-1);
        m.removeRow(0);
        QCOMPARE(spies.removed.count(), 1);
        QCOMPARE(spies.removed.at(0).at(1).toInt(), 0);
        QCOMPARE(m.tracks().at(1).startTime, m.tracks().at(0).startTime.addSecs(180));

        m.addToQueue(3);
        m.recordListeners(2, 7);
        m.setSegueOverrides(1, {{3000, 500}});
        m.setCurrentRow(1);
        m.setCurrentRow(2);
        m.setShowHourMarkers(true);
        m.clearAll();
        QCOMPARE(spies.reset.count(), 1);
        QCOMPARE(m.currentRow(), -1);
        QVERIFY(m.queue().isEmpty());
        QCOMPARE(m.segueAt(1).mixPointMs, -1);
        QVERIFY(m.showHourMarkers());
        fill(m, 4);
        QCOMPARE(cell(m, 3, 3).toString(), "T3");
        QCOMPARE(cell(m, 2, 5).toString(), QString());
        QVERIFY(!m.isPlayed(1));
    }

    void currentRowAndPlayedRows()
    {
        PlaylistModel m;
        fill(m, 10);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.setCurrentRow(3);
        m.setCurrentRow(3);
        QVERIFY(!m.isPlayed(3));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), m.index(3, 0));
        QCOMPARE(changed.at(0).at(1).toModelIndex(), m.index(3, 6));
        m.setCurrentRow(5);
        QVERIFY(m.isPlayed(3));
        m.setCurrentRow(-1);
        QVERIFY(!m.isPlayed(5));
        m.setCurrentRow(6);
        QVERIFY(!m.isPlayed(5));
        m.setCurrentRow(20);
        m.setCurrentRow(2);
        QVERIFY(m.isPlayed(6) && !m.isPlayed(20));

        changed.clear();
        m.markPlayed(8);
        m.markPlayed(8);
        m.markPlayed(10);
        QCOMPARE(changed.count(), 1);
        m.resetPlayedState();
        m.resetPlayedState();
        QCOMPARE(changed.count(), 2);
        QVERIFY(!m.isPlayed(8) && !m.isPlayed(3));
    }

    void removeRowMovesCurrentRow()
    {
        // current row, removed row, current row afterwards
        const QList<std::array<int, 3>> cases{{3, 3, -1}, {3, 1, 2}, {3, 4, 3}, {3, 9, 3}};
        for (const auto& c : cases) {
            PlaylistModel m;
            fill(m, 5);
            m.setCurrentRow(c[0]);
            m.removeRow(c[1]);
            QCOMPARE(m.currentRow(), c[2]);
        }
    }

    void playbackQueue()
    {
        PlaylistModel m;
        fill(m, 10);
        for (int r : {4, 1, 7, 1, 10, -1})
            m.addToQueue(r);
        QCOMPARE(m.queue(), QList<int>({4, 1, 7}));
        QCOMPARE(m.queuePosition(1), 2);
        QCOMPARE(m.queuePosition(0), 0);
        QCOMPARE(cell(m, 7, 3).toString(), "[3]  T7");
        QCOMPARE(cell(m, 7, 3, Qt::ToolTipRole).toString(), "Playback queue position 3");
        QCOMPARE(m.takeNextQueued(), 4);
        QCOMPARE(m.queue(), QList<int>({1, 7}));

        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.moveInQueue(0, 2);
        QCOMPARE(changed.count(), 0);
        m.moveInQueue(1, 1);
        QCOMPARE(changed.count(), 1);
        m.addToQueue(3);
        m.moveInQueue(0, 2);
        QCOMPARE(m.queue(), QList<int>({7, 3, 1}));
        m.removeFromQueue(3);
        m.removeFromQueue(5);
        QCOMPARE(m.queue(), QList<int>({7, 1}));
        m.clearQueue();
        QVERIFY(m.queue().isEmpty());

        // Entries left pointing past the end are dropped when they come up.
        m.addToQueue(9);
        m.addToQueue(2);
        m.clearBelow(4);
        QCOMPARE(m.takeNextQueued(), 2);
        fill(m, 5);
        m.addToQueue(9);
        m.clearBelow(4);
        changed.clear();
        QCOMPARE(m.takeNextQueued(), -1);
        QVERIFY(m.queue().isEmpty());
        QCOMPARE(changed.count(), 0);
    }

    void listenerPeaksAndSegueOverrides()
    {
        PlaylistModel m;
        fill(m, 8);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.recordListeners(1, 5);
        m.recordListeners(1, 3);
        m.recordListeners(1, 0);
        m.recordListeners(8, 9);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), m.index(1, 5));
        QCOMPARE(changed.at(0).at(1).toModelIndex(), m.index(1, 5));
        m.recordListeners(1, 8);
        QCOMPARE(cell(m, 1, 5).toString(), "8");

        changed.clear();
        m.setSegueOverrides(5, {{1000, 2000}, {4000, -1}});
        m.setSegueOverrides(4, {{3000, -1}, {-1, -1}});
        QCOMPARE(changed.count(), 0);
        const QList<TrackParams::SegueOverride> got = m.segueOverrides(4, 3);
        QCOMPARE(got.size(), 3);
        QCOMPARE(got.at(0).mixPointMs, 3000);
        QCOMPARE(got.at(1).mixPointMs, -1);
        QCOMPARE(got.at(1).fadeOutMs, -1);
        QCOMPARE(got.at(2).mixPointMs, 4000);
        QVERIFY(m.segueOverrides(4, 0).isEmpty());
        QCOMPARE(m.segueAt(0).fadeOutMs, -1);
    }

    void clearAboveAndBelow()
    {
        PlaylistModel m;
        fill(m, 10);
        m.setCurrentRow(4);
        m.setCurrentRow(5);
        QSignalSpy removed(&m, &QAbstractItemModel::rowsRemoved);
        m.clearAbove(3);
        QCOMPARE(removed.count(), 3);
        QCOMPARE(order(m), "T3 T4 T5 T6 T7 T8 T9");
        QCOMPARE(m.currentRow(), 2);
        QVERIFY(!m.isPlayed(1));
        m.clearAbove(-1);
        QCOMPARE(order(m), "T5 T6 T7 T8 T9");
        m.setCurrentRow(1);
        m.clearAbove(3);
        QCOMPARE(m.currentRow(), -1);
        m.clearAbove(-1);
        QCOMPARE(m.rowCount(), 2);
        m.clearAbove(100);
        QCOMPARE(m.rowCount(), 0);

        fill(m, 10);
        m.clearBelow(4);
        QCOMPARE(m.rowCount(), 5);
        m.setCurrentRow(2);
        m.clearBelow(-1);
        QCOMPARE(order(m), "T0 T1 T2");
        m.setCurrentRow(-1);
        m.clearBelow(-1);
        QCOMPARE(order(m), "T0");
    }

    // The row on air must keep naming its track whatever moves around it.
    void moves_data()
    {
        QTest::addColumn<QList<int>>("rows"); // one row: moveRow(rows[0], target)
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("expected");
        const QList<int> r52{5, 2};
        QTest::newRow("set to 8, current moved") << r52 << 8 << 5 << "T0 T1 T3 T4 T6 T7 T2 T5 T8 T9";
        QTest::newRow("set to the end") << r52 << 10 << 2 << "T0 T1 T3 T4 T6 T7 T8 T9 T2 T5";
        QTest::newRow("set to the top, current pushed") << r52 << 0 << 1 << "T2 T5 T0 T1 T3 T4 T6 T7 T8 T9";
        QTest::newRow("set across the current") << r52 << 8 << 4 << "T0 T1 T3 T4 T6 T7 T2 T5 T8 T9";
        QTest::newRow("set with invalid rows") << QList<int>{-3, 1, 12, 1} << 4 << 2
                                               << "T0 T2 T3 T1 T4 T5 T6 T7 T8 T9";
        QTest::newRow("row clamped to the end") << QList<int>{2} << 100 << 2 << "T0 T1 T3 T4 T5 T6 T7 T8 T9 T2";
        QTest::newRow("row down across the current") << QList<int>{0} << 3 << 2
                                                     << "T1 T2 T3 T0 T4 T5 T6 T7 T8 T9";
        QTest::newRow("row up across the current") << QList<int>{8} << -1 << 6 << "T8 T0 T1 T2 T3 T4 T5 T6 T7 T9";
        QTest::newRow("row in place") << QList<int>{2} << 2 << 1 << "T0 T1 T2 T3 T4 T5 T6 T7 T8 T9";
        QTest::newRow("row from outside") << QList<int>{12} << 0 << 1 << "T0 T1 T2 T3 T4 T5 T6 T7 T8 T9";
    }

    void moves()
    {
        QFETCH(QList<int>, rows);
        QFETCH(int, target);
        QFETCH(int, current);
        QFETCH(QString, expected);
        PlaylistModel m;
        fill(m, 10);
        m.setCurrentRow(current);
        const QString onAir = m.tracks().at(current).title;
        ChangeSpies spies(&m);
        if (rows.size() == 1)
            m.moveRow(rows.at(0), target);
        else
            m.moveRowsTo(rows, target);
        QCOMPARE(order(m), expected);
        QCOMPARE(m.tracks().at(m.currentRow()).title, onAir);
        const bool unchanged = expected == "T0 T1 T2 T3 T4 T5 T6 T7 T8 T9";
        QCOMPARE(spies.reset.count(), unchanged && rows.size() == 1 ? 0 : 1);
        QCOMPARE(spies.inserted.count() + spies.removed.count(), 0);
        QCOMPARE(m.tracks().at(9).startTime, m.tracks().at(0).startTime.addSecs(9 * 180));
    }

    void shuffle()
    {
        PlaylistModel one;
        fill(one, 1);
        one.addToQueue(0);
        one.shuffle();
        QCOMPARE(one.queue(), QList<int>({0}));

        PlaylistModel m;
        fill(m, 40);
        m.setCurrentRow(4);
        m.setCurrentRow(17);
        m.recordListeners(17, 12);
        m.addToQueue(3);
        m.setSegueOverrides(5, {{1000, -1}});
        const QString before = order(m);
        for (int round = 0; round < 5 && order(m) == before; ++round)
            m.shuffle();
        QVERIFY(order(m) != before);
        QStringList a = order(m).split(' '), b = before.split(' ');
        a.sort();
        b.sort();
        QCOMPARE(a, b);
        QVERIFY(m.queue().isEmpty());
        QCOMPARE(m.segueAt(5).mixPointMs, -1);
        QCOMPARE(m.tracks().at(m.currentRow()).title, "T17");
        QCOMPARE(m.tracks().at(m.currentRow()).title, "T17");
        QCOMPARE(cell(m, m.currentRow(), 5).toString(), "12");
        for (int r = 0; r < m.rowCount(); ++r)
            QCOMPARE(m.isPlayed(r), m.tracks().at(r).title == "T4");
    }

    void dragRows()
    {
        PlaylistModel m;
        fill(m, 10);
        std::unique_ptr<QMimeData> drag(m.mimeData({m.index(3, 0), m.index(3, 3), m.index(1, 2), m.index(1, 6)}));
        QCOMPARE(drag->formats(), QStringList({"application/x-orchidlantern-rows"}));
        QCOMPARE(drag->data("application/x-orchidlantern-rows"), QByteArray::fromHex("000000020000000100000003"));

        m.setCurrentRow(5);
        QVERIFY(!m.dropMimeData(rowsMime(ints({2, 2, 5})).get(), Qt::MoveAction, 8, 0, QModelIndex()));
        QCOMPARE(order(m), "T0 T1 T3 T4 T6 T7 T2 T5 T8 T9");
        QCOMPARE(m.currentRow(), 7);
        // A copy action moves too; onto a row; below the last row.
        QVERIFY(!m.dropMimeData(rowsMime(ints({1, 0})).get(), Qt::CopyAction, -1, -1, m.index(3, 2)));
        QCOMPARE(order(m), "T1 T3 T0 T4 T6 T7 T2 T5 T8 T9");
        QVERIFY(!m.dropMimeData(rowsMime(ints({1, 0})).get(), Qt::MoveAction, -1, -1, QModelIndex()));
        QCOMPARE(order(m), "T3 T0 T4 T6 T7 T2 T5 T8 T9 T1");

        ChangeSpies spies(&m);
        QVERIFY(m.dropMimeData(rowsMime(ints({1, 0})).get(), Qt::IgnoreAction, 0, 0, QModelIndex()));
        QCOMPARE(spies.total(), 0);
    }

    void malformedRowDropsChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("short count") << QByteArray::fromHex("000001");
        QTest::newRow("count beyond the data") << ints({3, 1, 2});
        QTest::newRow("huge count") << ints({0x7fffffff, 1});
        QTest::newRow("negative count") << ints({-1, 1});
        QTest::newRow("truncated row") << ints({2, 1}) + QByteArray::fromHex("0000");
        QTest::newRow("trailing bytes") << ints({1, 1}) + QByteArray::fromHex("00");
        QTest::newRow("row past the end") << ints({2, 1, 10});
        QTest::newRow("negative row") << ints({1, -2});
        QTest::newRow("repeated row") << ints({3, 1, 4, 1});
        QTest::newRow("no rows") << ints({0});
        QTest::newRow("noise") << QByteArray("\xff\xfe not a row list at all");
    }

    void malformedRowDropsChangeNothing()
    {
        QFETCH(QByteArray, payload);
        PlaylistModel m;
        fill(m, 10);
        m.setCurrentRow(3);
        std::unique_ptr<QMimeData> mime = rowsMime(payload);
        mime->setUrls({QUrl::fromLocalFile("/music/extra.mp3")}); // must not sneak in either
        ChangeSpies spies(&m);
        QVERIFY(!m.dropMimeData(mime.get(), Qt::MoveAction, 0, 0, QModelIndex()));
        QCOMPARE(spies.total(), 0);
        QCOMPARE(order(m), "T0 T1 T2 T3 T4 T5 T6 T7 T8 T9");
        QCOMPARE(m.currentRow(), 3);
    }

    void dropUrls()
    {
        PlaylistModel m;
        fill(m, 4);
        const QString folder = testHome().scratch("dropped folder");
        QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
        QSignalSpy tracksInserted(&m, &PlaylistModel::tracksInserted);
        QVERIFY(m.dropMimeData(urlMime({QUrl::fromLocalFile("/music/Band - Song.mp3"), QUrl("ftp://host/f.mp3"),
                                        QUrl::fromLocalFile(folder), QUrl("HTTPS://Stream.Example:8000/live"),
                                        QUrl("javascript:alert(1)"), QUrl()})
                                   .get(),
                               Qt::CopyAction, -1, -1, QModelIndex()));
        QCOMPARE(order(m), "T0 T1 T2 T3 Song dropped folder https://stream.example:8000/live");
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted.at(0).at(1).toInt(), 4);
        QCOMPARE(inserted.at(0).at(2).toInt(), 6);
        QCOMPARE(tracksInserted.count(), 1);
        QCOMPARE(tracksInserted.at(0), QVariantList({4, 3}));
        QCOMPARE(m.tracks().at(4).artist, "Band");
        QCOMPARE(m.tracks().at(5).filePath, folder);
        const Track& stream = m.tracks().at(6);
        QVERIFY(stream.isStream);
        QCOMPARE(stream.artist, "Online stream");
        QCOMPARE(stream.filePath, stream.title);
        QCOMPARE(m.tracks().at(6).startTime, m.tracks().at(0).startTime.addSecs(4 * 180));

        // A URL list from another program can carry blanks that the URL keeps.
        auto padded = std::make_unique<QMimeData>();
        padded->setData("text/uri-list", "http://radio.example/live%20%20\r\n");
        QVERIFY(m.dropMimeData(padded.get(), Qt::MoveAction, 1, 0, QModelIndex()));
        QCOMPARE(m.tracks().at(1).title, "http://radio.example/live");
        QCOMPARE(m.tracks().at(1).filePath, "http://radio.example/live");

        ChangeSpies spies(&m);
        QVERIFY(!m.dropMimeData(urlMime({QUrl("ftp://host/a.mp3"), QUrl("mailto:a@example.org")}).get(),
                                Qt::CopyAction, 0, 0, QModelIndex()));
        auto text = std::make_unique<QMimeData>();
        text->setText("/music/typed.mp3");
        QVERIFY(!m.dropMimeData(text.get(), Qt::CopyAction, 0, 0, QModelIndex()));
        QVERIFY(!m.dropMimeData(nullptr, Qt::CopyAction, 0, 0, QModelIndex()));
        QCOMPARE(spies.total(), 0);
    }

    // The queue, played rows, peaks and overrides follow their tracks like
    // the current row does, and go with a row that is removed.
    void rowKeyedState_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("expected");
        const QString all = "queue T6 T2; played T1 T8; peaks T4=9; overrides T6";
        QTest::newRow("insert above") << "insert" << all;
        QTest::newRow("remove above") << "remove" << all;
        QTest::newRow("remove a queued row") << "removeQueued" << "queue T6; played T1 T8; peaks T4=9; overrides T6";
        QTest::newRow("move one across") << "move" << all;
        QTest::newRow("move a set") << "moveSet" << all;
        QTest::newRow("drag rows") << "dragRows" << all;
        QTest::newRow("drop files") << "dropFiles" << all;
        QTest::newRow("clear above") << "clearAbove" << "queue T6; played; peaks T4=9; overrides T6";
        QTest::newRow("clear below") << "clearBelow" << "queue T2; played T1; peaks T4=9; overrides";
        QTest::newRow("shuffle") << "shuffle" << "queue; played T1 T8; peaks T4=9; overrides";
    }

    void rowKeyedState()
    {
        QFETCH(QString, operation);
        QFETCH(QString, expected);
        PlaylistModel m;
        fill(m, 10);
        m.setCurrentRow(1);
        m.setCurrentRow(4);
        m.markPlayed(8);
        m.addToQueue(6);
        m.addToQueue(2);
        m.recordListeners(4, 9);
        m.setSegueOverrides(6, {{1500, 800}});

        if (operation == "insert")
            m.insertTrack(0, fileTrack("X"));
        else if (operation == "remove")
            m.removeRow(0);
        else if (operation == "removeQueued")
            m.removeRow(2);
        else if (operation == "move")
            m.moveRow(0, 7);
        else if (operation == "moveSet")
            m.moveRowsTo({2, 3}, 7);
        else if (operation == "dragRows")
            m.dropMimeData(rowsMime(ints({2, 8, 9})).get(), Qt::MoveAction, 1, 0, QModelIndex());
        else if (operation == "dropFiles")
            m.dropMimeData(urlMime({QUrl::fromLocalFile("/X.mp3"), QUrl::fromLocalFile("/Y.mp3")}).get(),
                           Qt::CopyAction, 0, 0, QModelIndex());
        else if (operation == "clearAbove")
            m.clearAbove(3);
        else if (operation == "clearBelow")
            m.clearBelow(5);
        else
            m.shuffle();

        QStringList queue, played, peaks, overrides;
        for (int r : m.queue())
            queue << m.tracks().at(r).title;
        for (int r = 0; r < m.rowCount(); ++r) {
            const QString title = m.tracks().at(r).title;
            if (m.isPlayed(r))
                played << title;
            if (!cell(m, r, 5).toString().isEmpty())
                peaks << title + "=" + cell(m, r, 5).toString();
            if (m.segueAt(r).mixPointMs == 1500 && m.segueAt(r).fadeOutMs == 800)
                overrides << title;
            else
                QCOMPARE(m.segueAt(r).mixPointMs, -1);
        }
        played.sort();
        const auto part = [](const QString& name, const QStringList& titles) {
            return (QStringList{name} + titles).join(' ');
        };
        QCOMPARE(QStringList({part("queue", queue), part("played", played), part("peaks", peaks),
                              part("overrides", overrides)})
                     .join("; "),
                 expected);
        const int onAir = m.currentRow();
        QCOMPARE(m.tracks().at(onAir).title, "T4");
        QCOMPARE(colour(m, onAir, 3, Qt::BackgroundRole), QColor(179, 215, 255));
        // The engine moving on marks the track that was really on air.
        m.setCurrentRow(onAir == 0 ? 1 : 0);
        QVERIFY(m.isPlayed(onAir));
    }

    void modelTesterOverOperations()
    {
        PlaylistModel m;
        QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::QtTest);
        fill(m, 6);
        Track stop;
        stop.marker = true;
        stop.label = "stop";
        m.insertTrack(2, stop);
        m.setShowHourMarkers(true);
        m.setCurrentRow(1);
        m.setCurrentRow(3);
        m.addToQueue(5);
        m.recordListeners(3, 4);
        m.moveRow(0, 5);
        m.moveRowsTo({1, 4}, 7);
        m.shuffle();
        m.dropMimeData(urlMime({QUrl::fromLocalFile("/a.mp3"), QUrl("http://radio.example/b")}).get(),
                       Qt::CopyAction, 2, 0, QModelIndex());
        std::unique_ptr<QMimeData> rows(m.mimeData({m.index(0, 0), m.index(6, 3)}));
        m.dropMimeData(rows.get(), Qt::MoveAction, -1, -1, m.index(3, 0));
        m.takeNextQueued();
        m.refreshAll();
        m.removeRow(2);
        m.clearAbove(2);
        m.clearBelow(3);
        m.clearAll();
        m.addTrack(fileTrack("again"));
        QCOMPARE(m.rowCount(), 1);
        QCOMPARE(m.flags(QModelIndex()), Qt::ItemIsDropEnabled);
        QVERIFY(!m.headerData(7, Qt::Horizontal).isValid());
    }
};

OL_TEST_MAIN(TestPlaylistModel)
#include "tst_playlistmodel.moc"
