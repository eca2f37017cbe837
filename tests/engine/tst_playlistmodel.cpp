#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "olmain.h"

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QDataStream>
#include <QDir>
#include <QFont>
#include <QMimeData>
#include <QSignalSpy>
#include <QUrl>

namespace {

Track fileTrack(const QString& name, qint64 durationMs = 180000)
{
    Track t;
    t.title = name;
    t.filePath = QStringLiteral("/music/%1.mp3").arg(name);
    t.durationMs = durationMs;
    return t;
}

// T0 .. T(n-1)
void fill(PlaylistModel& m, int n, qint64 durationMs = 180000)
{
    for (int i = 0; i < n; ++i)
        m.addTrack(fileTrack(QStringLiteral("T%1").arg(i), durationMs));
}

QStringList titles(const PlaylistModel& m)
{
    QStringList out;
    for (const Track& t : m.tracks())
        out << t.title;
    return out;
}

QStringList names(const QString& spaced)
{
    return spaced.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QVariant cell(const PlaylistModel& m, int row, int column, int role = Qt::DisplayRole)
{
    return m.data(m.index(row, column), role);
}

QColor colourOf(const QVariant& v)
{
    return v.isValid() ? v.value<QBrush>().color() : QColor();
}

QByteArray rowPayload(const QList<qint32>& values)
{
    QByteArray b;
    QDataStream out(&b, QIODevice::WriteOnly);
    for (qint32 v : values)
        out << v;
    return b;
}

QMimeData* rowsMime(const QByteArray& payload)
{
    auto* mime = new QMimeData;
    mime->setData(QStringLiteral("application/x-orchidlantern-rows"), payload);
    return mime;
}

// Every signal a model can send about its rows, counted together.
struct ChangeSpies
{
    explicit ChangeSpies(PlaylistModel* m)
        : inserted(m, &QAbstractItemModel::rowsInserted)
        , removed(m, &QAbstractItemModel::rowsRemoved)
        , reset(m, &QAbstractItemModel::modelReset)
        , changed(m, &QAbstractItemModel::dataChanged)
        , layout(m, &QAbstractItemModel::layoutChanged)
    {
    }
    int total() const
    {
        return int(inserted.count() + removed.count() + reset.count() + changed.count() + layout.count());
    }
    QSignalSpy inserted, removed, reset, changed, layout;
};

} // namespace

class TestPlaylistModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(MusicLibrary::initDatabase());
    }

    void tableShape()
    {
        PlaylistModel m;
        fill(m, 3);
        QCOMPARE(m.rowCount(), 3);
        QCOMPARE(m.columnCount(), 7);
        QCOMPARE(m.rowCount(m.index(0, 0)), 0);
        QCOMPARE(m.columnCount(m.index(0, 0)), 0);

        const QStringList headers{"", "#", "Start time", "Track Title", "Duration", "\u266B", ""};
        for (int s = 0; s < 7; ++s) {
            const QVariant h = m.headerData(s, Qt::Horizontal, Qt::DisplayRole);
            QVERIFY(h.isValid());
            QCOMPARE(h.toString(), headers.at(s));
        }
        QVERIFY(!m.headerData(7, Qt::Horizontal).isValid());
        QVERIFY(!m.headerData(1, Qt::Vertical).isValid());
        QVERIFY(!m.headerData(1, Qt::Horizontal, Qt::ToolTipRole).isValid());

        QCOMPARE(m.flags(m.index(1, 3)), Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled
                                             | Qt::ItemIsDropEnabled);
        QCOMPARE(m.flags(QModelIndex()), Qt::ItemIsDropEnabled);
        QCOMPARE(m.supportedDropActions(), Qt::CopyAction | Qt::MoveAction);
        QCOMPARE(m.mimeTypes(), QStringList({"application/x-orchidlantern-rows", "text/uri-list"}));

        QVERIFY(!m.data(m.index(3, 1)).isValid());
        PlaylistModel other;
        fill(other, 5);
        QVERIFY(!m.data(other.index(4, 1)).isValid());
    }

    void displayColumns()
    {
        PlaylistModel m;
        Track noArtist = fileTrack("Only Title", 65000);
        Track noTitle;
        noTitle.artist = "Band";
        noTitle.filePath = "/m/band.mp3";
        Track neither;
        neither.filePath = "/m/none.flac";
        Track both = fileTrack("Song");
        both.artist = "Band";
        Track live;
        live.isStream = true;
        live.filePath = live.title = "http://radio.example/live";
        Track limited = live;
        limited.streamLimitMs = 90000;
        Track pause;
        pause.marker = true;
        pause.label = "pause";
        for (const Track& t : {noArtist, noTitle, neither, both, live, limited, pause})
            m.addTrack(t);

        QCOMPARE(cell(m, 0, 0).toString(), QStringLiteral("\u2715"));
        QCOMPARE(cell(m, 0, 1), QVariant(1));
        QCOMPARE(cell(m, 6, 1), QVariant(7));
        QCOMPARE(cell(m, 0, 3).toString(), QStringLiteral("Only Title"));
        QCOMPARE(cell(m, 1, 3).toString(), QStringLiteral("/m/band.mp3"));
        QCOMPARE(cell(m, 2, 3).toString(), QStringLiteral("/m/none.flac"));
        QCOMPARE(cell(m, 3, 3).toString(), QStringLiteral("Band - Song"));
        QCOMPARE(cell(m, 6, 3).toString(), QStringLiteral(">> PAUSE <<"));
        QCOMPARE(cell(m, 0, 4).toString(), QStringLiteral("01:05"));
        QCOMPARE(cell(m, 4, 4).toString(), QStringLiteral("LIVE"));
        QCOMPARE(cell(m, 5, 4).toString(), QStringLiteral("01:30"));
        QCOMPARE(cell(m, 0, 5).toString(), QString());
        QVERIFY(cell(m, 0, 5).isValid());
        QCOMPARE(cell(m, 0, 6).toString(), QStringLiteral("\u23F9"));
        QCOMPARE(cell(m, 6, 6).toString(), QString());
        QVERIFY(!cell(m, 0, 3, Qt::EditRole).isValid());

        // Command row look.
        const QFont f = cell(m, 6, 2, Qt::FontRole).value<QFont>();
        QCOMPARE(f.weight(), QFont::Bold);
        QVERIFY(!f.italic());
        QCOMPARE(colourOf(cell(m, 6, 3, Qt::BackgroundRole)), QColor(255, 235, 200));
        QCOMPARE(colourOf(cell(m, 6, 3, Qt::ForegroundRole)), QColor(160, 90, 0));
        QCOMPARE(cell(m, 6, 6, Qt::ToolTipRole).toString(), QStringLiteral("Insert a STOP command after this track"));
        QCOMPARE(cell(m, 0, 0, Qt::ToolTipRole).toString(), QStringLiteral("Remove this track"));
        QVERIFY(!cell(m, 0, 3, Qt::ToolTipRole).isValid());

        // Streams and the fixed button colours.
        QCOMPARE(colourOf(cell(m, 4, 3, Qt::ForegroundRole)), QColor(40, 130, 150));
        QVERIFY(!cell(m, 4, 3, Qt::BackgroundRole).isValid());
        QCOMPARE(colourOf(cell(m, 4, 0, Qt::ForegroundRole)), QColor(200, 60, 60));
        QCOMPARE(colourOf(cell(m, 4, 6, Qt::ForegroundRole)), QColor(150, 110, 40));
        QVERIFY(!cell(m, 0, 3, Qt::ForegroundRole).isValid());
        QVERIFY(!cell(m, 0, 3, Qt::FontRole).isValid());

        const auto align = [&](int column) { return cell(m, 0, column, Qt::TextAlignmentRole); };
        for (int c : {0, 1, 4, 6})
            QCOMPARE(align(c).value<Qt::Alignment>(), Qt::Alignment(Qt::AlignCenter));
        QCOMPARE(align(2).value<Qt::Alignment>(), Qt::AlignLeft | Qt::AlignVCenter);
        QVERIFY(!align(3).isValid());
        QVERIFY(!align(5).isValid());
    }

    void rowColours()
    {
        PlaylistModel m;
        Track jingle = fileTrack("Jingle");
        jingle.category = "jINGLE";
        Track voice = fileTrack("Voice");
        voice.voiceTrack = true;
        m.addTrack(jingle);
        m.addTrack(fileTrack("Song"));
        m.addTrack(voice);

        QCOMPARE(colourOf(cell(m, 0, 3, Qt::ForegroundRole)), QColor(120, 120, 120));
        QFont f = cell(m, 2, 1, Qt::FontRole).value<QFont>();
        QCOMPARE(f.weight(), QFont::Normal);
        QVERIFY(f.italic());

        m.setCurrentRow(0);
        QCOMPARE(cell(m, 0, 1, Qt::FontRole).value<QFont>().weight(), QFont::Bold);
        QCOMPARE(colourOf(cell(m, 0, 3, Qt::BackgroundRole)), QColor(179, 215, 255));
        m.setCurrentRow(2);
        // A played jingle is greyed as played; the current row never is.
        QCOMPARE(colourOf(cell(m, 0, 3, Qt::ForegroundRole)), QColor(150, 150, 150));
        f = cell(m, 2, 1, Qt::FontRole).value<QFont>();
        QCOMPARE(f.weight(), QFont::Bold);
        QVERIFY(f.italic());
        m.markPlayed(2);
        QVERIFY(!cell(m, 2, 3, Qt::ForegroundRole).isValid());
        QVERIFY(!cell(m, 0, 3, Qt::BackgroundRole).isValid());
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
        QCOMPARE(colourOf(cell(m, 0, 3, Qt::BackgroundRole)), QColor(255, 214, 234));

        p.voiceover.source.clear();
        TrackParams::save(path, p);
        QVERIFY(!cell(m, 0, 3, Qt::BackgroundRole).isValid());
        TrackParams::remove(path);
    }

    void startTimes()
    {
        PlaylistModel m;
        m.addTrack(fileTrack("a", 20000));
        m.addTrack(fileTrack("b", 1999));
        m.addTrack(fileTrack("c", 0));
        m.addTrack(fileTrack("d", -500));
        m.addTrack(fileTrack("e", 300000));
        m.addTrack(fileTrack("f", 1000));
        const QTime base = m.tracks().at(0).startTime;
        QVERIFY(base.isValid());
        const QList<int> offsets{0, 20, 21, 21, 21, 321};
        for (int r = 0; r < offsets.size(); ++r)
            QCOMPARE(m.tracks().at(r).startTime, base.addSecs(offsets.at(r)));
        QCOMPARE(cell(m, 1, 2).toString(), base.addSecs(20).toString("h:mm:ss AP"));
        QVERIFY(cell(m, 1, 2).toString().contains(QRegularExpression("^\\d{1,2}:\\d\\d:\\d\\d (AM|PM)$")));
        QCOMPARE(m.totalDurationMs(), 20000 + 1999 - 500 + 300000 + 1000);

        // Clearing keeps the base.
        m.clearAll();
        m.addTrack(fileTrack("x"));
        QCOMPARE(m.tracks().at(0).startTime, base);

        m.tracks()[0].startTime = QTime();
        QCOMPARE(cell(m, 0, 2).toString(), QStringLiteral("--"));
    }

    void hourMarkers()
    {
        PlaylistModel m;
        m.addTrack(fileTrack("probe", 0));
        const QTime base = m.tracks().at(0).startTime;
        m.clearAll();
        const int toNextHour = 3600 - (base.minute() * 60 + base.second());
        // Row 1 starts exactly on the next hour; row 2 in the same hour.
        m.addTrack(fileTrack("a", qint64(toNextHour) * 1000));
        m.addTrack(fileTrack("b", 10000));
        m.addTrack(fileTrack("c", 10000));
        QCOMPARE(m.hourMarkerAt(0), -1);

        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.setShowHourMarkers(true);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), m.index(0, 0));
        QCOMPARE(changed.at(0).at(1).toModelIndex(), m.index(2, 6));
        QVERIFY(changed.at(0).at(2).value<QList<int>>().isEmpty());
        m.setShowHourMarkers(true);
        QCOMPARE(changed.count(), 1);

        const int nextHour = (base.hour() + 1) % 24;
        QCOMPARE(m.hourMarkerAt(0), base.hour());
        QCOMPARE(m.hourMarkerAt(1), nextHour);
        QCOMPARE(m.hourMarkerAt(2), -1);
        QCOMPARE(m.hourMarkerAt(3), -1);
        QCOMPARE(m.hourMarkerAt(-1), -1);
        QCOMPARE(cell(m, 1, 2, Qt::ToolTipRole).toString(),
                 QStringLiteral("Start of the %1:00 hour").arg(nextHour, 2, 10, QLatin1Char('0')));
        QCOMPARE(colourOf(cell(m, 1, 4, Qt::BackgroundRole)), QColor(226, 240, 226));
        QVERIFY(!cell(m, 2, 2, Qt::ToolTipRole).isValid());
        // The marker colour wins over the current row's.
        m.setCurrentRow(1);
        QCOMPARE(colourOf(cell(m, 1, 4, Qt::BackgroundRole)), QColor(226, 240, 226));

        m.setShowHourMarkers(false);
        QCOMPARE(m.hourMarkerAt(0), -1);
        QVERIFY(!cell(m, 1, 2, Qt::ToolTipRole).isValid());

        // Past midnight: a row at 23:59:00 of 120 s puts the next one at 0:01 with hour 0.
        PlaylistModel night;
        const QTime wholeBase(base.hour(), base.minute(), base.second());
        const int toLate = (wholeBase.secsTo(QTime(23, 59, 0)) + 86400) % 86400;
        night.addTrack(fileTrack("gap", qint64(toLate) * 1000 + 999));
        night.addTrack(fileTrack("late", 120000));
        night.addTrack(fileTrack("early", 1000));
        night.setShowHourMarkers(true);
        const QTime late = night.tracks().at(1).startTime;
        QCOMPARE(late.hour(), 23);
        QCOMPARE(late.minute(), 59);
        QCOMPARE(night.tracks().at(2).startTime.hour(), 0);
        QCOMPARE(night.tracks().at(2).startTime.minute(), 1);
        QCOMPARE(night.hourMarkerAt(2), 0);
        QVERIFY(cell(night, 2, 2).toString().startsWith(QStringLiteral("12:01:")));
        QCOMPARE(cell(night, 2, 2, Qt::ToolTipRole).toString(), QStringLiteral("Start of the 00:00 hour"));
    }

    void hugeDurationDoesNotOverflow()
    {
        PlaylistModel m;
        m.addTrack(fileTrack("endless", qint64(86400) * 1000 * 100000 + 5000));
        m.addTrack(fileTrack("after"));
        QCOMPARE(m.tracks().at(1).startTime, m.tracks().at(0).startTime.addSecs(5));
    }

    void insertAndRemove()
    {
        PlaylistModel m;
        fill(m, 3);
        ChangeSpies spies(&m);
        m.insertTrack(-5, fileTrack("first"));
        m.insertTrack(100, fileTrack("last"));
        QCOMPARE(titles(m), names("first T0 T1 T2 last"));
        QCOMPARE(spies.inserted.count(), 2);
        QCOMPARE(spies.inserted.at(0).at(1).toInt(), 0);
        QCOMPARE(spies.inserted.at(0).at(2).toInt(), 0);
        QCOMPARE(spies.inserted.at(1).at(1).toInt(), 4);
        QCOMPARE(spies.inserted.at(1).at(2).toInt(), 4);
        // Each insertion is followed by the start-time column of every row.
        QCOMPARE(spies.changed.count(), 2);
        QCOMPARE(spies.changed.at(1).at(0).toModelIndex(), m.index(0, 2));
        QCOMPARE(spies.changed.at(1).at(1).toModelIndex(), m.index(4, 2));
        QVERIFY(spies.changed.at(1).at(2).value<QList<int>>().isEmpty());
        QCOMPARE(spies.reset.count(), 0);

        m.removeRow(5);
        m.removeRow(-1);
        QCOMPARE(spies.removed.count(), 0);
        m.removeRow(0);
        QCOMPARE(spies.removed.count(), 1);
        QCOMPARE(spies.removed.at(0).at(1).toInt(), 0);
        QCOMPARE(spies.removed.at(0).at(2).toInt(), 0);
        QCOMPARE(titles(m), names("T0 T1 T2 last"));
        QCOMPARE(m.tracks().at(0).startTime.isValid(), true);
        QCOMPARE(m.tracks().at(1).startTime, m.tracks().at(0).startTime.addSecs(180));
    }

    void removeRowMovesCurrentRow_data()
    {
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("removed");
        QTest::addColumn<int>("expected");
        QTest::newRow("the current row") << 3 << 3 << -1;
        QTest::newRow("above it") << 3 << 1 << 2;
        QTest::newRow("below it") << 3 << 4 << 3;
        QTest::newRow("out of range") << 3 << 9 << 3;
    }

    void removeRowMovesCurrentRow()
    {
        QFETCH(int, current);
        QFETCH(int, removed);
        QFETCH(int, expected);
        PlaylistModel m;
        fill(m, 5);
        m.setCurrentRow(current);
        m.removeRow(removed);
        QCOMPARE(m.currentRow(), expected);
    }

    void clearAllEmptiesEverything()
    {
        PlaylistModel m;
        fill(m, 4);
        m.setCurrentRow(1);
        m.setCurrentRow(2);
        m.addToQueue(3);
        m.recordListeners(2, 7);
        m.setSegueOverrides(1, {{3000, 500}});
        m.setShowHourMarkers(true);
        QSignalSpy reset(&m, &QAbstractItemModel::modelReset);
        m.clearAll();
        QCOMPARE(reset.count(), 1);
        QCOMPARE(m.rowCount(), 0);
        QCOMPARE(m.currentRow(), -1);
        QVERIFY(m.queue().isEmpty());
        QCOMPARE(m.segueAt(1).mixPointMs, -1);
        QVERIFY(m.showHourMarkers());

        fill(m, 4);
        QVERIFY(!m.isPlayed(1));
        QCOMPARE(cell(m, 3, 3).toString(), QStringLiteral("T3"));
        QCOMPARE(cell(m, 2, 5).toString(), QString());
    }

    void currentRowAndPlayedRows()
    {
        PlaylistModel m;
        fill(m, 10);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.setCurrentRow(3);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), m.index(3, 0));
        QCOMPARE(changed.at(0).at(1).toModelIndex(), m.index(3, 6));
        QVERIFY(changed.at(0).at(2).value<QList<int>>().isEmpty());
        m.setCurrentRow(3);
        QVERIFY(!m.isPlayed(3));
        QCOMPARE(changed.count(), 2);

        m.setCurrentRow(5);
        QVERIFY(m.isPlayed(3));
        QCOMPARE(changed.count(), 4);
        m.setCurrentRow(-1);
        QVERIFY(!m.isPlayed(5));
        QCOMPARE(m.currentRow(), -1);
        m.setCurrentRow(6);
        QVERIFY(!m.isPlayed(5));
        QCOMPARE(m.currentRow(), 6);

        // A current row past the end marks nothing when the engine moves on.
        m.setCurrentRow(20);
        QVERIFY(m.isPlayed(6));
        m.setCurrentRow(2);
        QVERIFY(!m.isPlayed(20));

        changed.clear();
        m.markPlayed(8);
        m.markPlayed(8);
        m.markPlayed(10);
        QCOMPARE(changed.count(), 1);
        QVERIFY(m.isPlayed(8));
        m.resetPlayedState();
        QVERIFY(!m.isPlayed(8) && !m.isPlayed(3));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.last().at(1).toModelIndex(), m.index(9, 6));
        m.resetPlayedState();
        QCOMPARE(changed.count(), 2);
    }

    void playbackQueue()
    {
        PlaylistModel m;
        fill(m, 10);
        m.addToQueue(4);
        m.addToQueue(1);
        m.addToQueue(7);
        m.addToQueue(1);
        m.addToQueue(10);
        m.addToQueue(-1);
        QCOMPARE(m.queue(), QList<int>({4, 1, 7}));
        QCOMPARE(m.queuePosition(1), 2);
        QCOMPARE(m.queuePosition(0), 0);
        QCOMPARE(cell(m, 7, 3).toString(), QStringLiteral("[3]  T7"));
        QCOMPARE(cell(m, 7, 3, Qt::ToolTipRole).toString(), QStringLiteral("Playback queue position 3"));

        QCOMPARE(m.takeNextQueued(), 4);
        QCOMPARE(m.queue(), QList<int>({1, 7}));

        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.moveInQueue(0, 2);
        QCOMPARE(changed.count(), 0);
        m.moveInQueue(1, 1);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(m.queue(), QList<int>({1, 7}));
        m.addToQueue(3);
        m.moveInQueue(0, 2);
        QCOMPARE(m.queue(), QList<int>({7, 3, 1}));
        m.removeFromQueue(3);
        m.removeFromQueue(5);
        QCOMPARE(m.queue(), QList<int>({7, 1}));
        QCOMPARE(cell(m, 1, 3).toString(), QStringLiteral("[2]  T1"));
        m.clearQueue();
        QVERIFY(m.queue().isEmpty());
        changed.clear();
        m.clearQueue();
        QCOMPARE(changed.count(), 0);

        // A command row in the queue shows its position too.
        Track stop;
        stop.marker = true;
        stop.label = "stop";
        m.addTrack(stop);
        m.addToQueue(10);
        QCOMPARE(cell(m, 10, 3).toString(), QStringLiteral("[1]  >> STOP <<"));
    }

    void staleQueueEntriesAreDropped()
    {
        PlaylistModel m;
        fill(m, 10);
        m.addToQueue(9);
        m.addToQueue(2);
        m.clearBelow(4);
        QCOMPARE(m.rowCount(), 5);
        QCOMPARE(m.takeNextQueued(), 2);
        QVERIFY(m.queue().isEmpty());

        fill(m, 5);
        m.addToQueue(9);
        m.clearBelow(4);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        QCOMPARE(m.takeNextQueued(), -1);
        QVERIFY(m.queue().isEmpty());
        QCOMPARE(changed.count(), 0);
        QCOMPARE(m.takeNextQueued(), -1);
    }

    void listenerPeaks()
    {
        PlaylistModel m;
        fill(m, 3);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.recordListeners(1, 5);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), m.index(1, 5));
        QCOMPARE(changed.at(0).at(1).toModelIndex(), m.index(1, 5));
        m.recordListeners(1, 3);
        m.recordListeners(1, 5);
        m.recordListeners(1, 0);
        m.recordListeners(3, 9);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(cell(m, 1, 5).toString(), QStringLiteral("5"));
        m.recordListeners(1, 8);
        QCOMPARE(cell(m, 1, 5).toString(), QStringLiteral("8"));
        m.recordListeners(0, -4);
        QCOMPARE(cell(m, 0, 5).toString(), QString());
    }

    void segueOverrides()
    {
        PlaylistModel m;
        fill(m, 3);
        m.setSegueOverrides(5, {{1000, 2000}, {4000, -1}});
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        m.setSegueOverrides(4, {{3000, -1}, {-1, -1}});
        QCOMPARE(changed.count(), 0);
        const QList<TrackParams::SegueOverride> got = m.segueOverrides(4, 3);
        QCOMPARE(got.size(), 3);
        QCOMPARE(got.at(0).mixPointMs, 3000);
        QCOMPARE(got.at(0).fadeOutMs, -1);
        QCOMPARE(got.at(1).mixPointMs, -1);
        QCOMPARE(got.at(1).fadeOutMs, -1);
        QCOMPARE(got.at(2).mixPointMs, 4000);
        QVERIFY(m.segueOverrides(4, 0).isEmpty());
        QCOMPARE(m.segueAt(0).mixPointMs, -1);
        QCOMPARE(m.segueAt(0).fadeOutMs, -1);
        m.setSegueOverrides(6, {{-1, 700}});
        QCOMPARE(m.segueAt(6).fadeOutMs, 700);
        QCOMPARE(m.segueAt(6).mixPointMs, -1);
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
        for (const auto& args : removed)
            QCOMPARE(args.at(1).toInt(), 0);
        QCOMPARE(titles(m).first(), QStringLiteral("T3"));
        QCOMPARE(m.currentRow(), 2);
        QVERIFY(!m.isPlayed(1) && !m.isPlayed(4));
        QCOMPARE(m.tracks().at(0).startTime, m.tracks().at(1).startTime.addSecs(-180));

        m.clearAbove(-1);
        QCOMPARE(titles(m).first(), QStringLiteral("T5"));
        QCOMPARE(m.currentRow(), 0);
        QCOMPARE(m.rowCount(), 5);

        // Current row among the removed rows: none left.
        m.setCurrentRow(1);
        m.clearAbove(3);
        QCOMPARE(m.currentRow(), -1);
        m.clearAbove(100);
        QCOMPARE(m.rowCount(), 0);

        PlaylistModel none;
        fill(none, 4);
        none.clearAbove(-1);
        none.clearAbove(0);
        QCOMPARE(none.rowCount(), 4);
        none.clearBelow(-1);
        QCOMPARE(titles(none), names("T0"));

        PlaylistModel ten;
        fill(ten, 10);
        ten.clearBelow(4);
        QCOMPARE(ten.rowCount(), 5);
        ten.setCurrentRow(2);
        QSignalSpy tenRemoved(&ten, &QAbstractItemModel::rowsRemoved);
        ten.clearBelow(-1);
        QCOMPARE(titles(ten), names("T0 T1 T2"));
        QCOMPARE(tenRemoved.count(), 2);
        QCOMPARE(tenRemoved.at(0).at(1).toInt(), 4);
        ten.clearBelow(7);
        QCOMPARE(ten.rowCount(), 3);
    }

    void moveRow_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("expectedCurrent");
        QTest::newRow("clamped to the end") << 2 << 100 << 2 << "T0 T1 T3 T4 T2" << 4;
        QTest::newRow("up to the top") << 3 << -4 << 3 << "T3 T0 T1 T2 T4" << 0;
        QTest::newRow("same place") << 2 << 2 << 1 << "T0 T1 T2 T3 T4" << 1;
        QTest::newRow("from outside") << 7 << 0 << 1 << "T0 T1 T2 T3 T4" << 1;
        QTest::newRow("down across the current") << 0 << 3 << 2 << "T1 T2 T3 T0 T4" << 1;
        QTest::newRow("up across the current") << 4 << 1 << 2 << "T0 T4 T1 T2 T3" << 3;
        QTest::newRow("beside, not across") << 3 << 4 << 1 << "T0 T1 T2 T4 T3" << 1;
    }

    void moveRow()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(int, current);
        QFETCH(QString, expected);
        QFETCH(int, expectedCurrent);
        PlaylistModel m;
        fill(m, 5, 60000);
        m.setCurrentRow(current);
        const QString onAir = m.tracks().at(current).title;
        ChangeSpies spies(&m);
        m.moveRow(from, to);
        QCOMPARE(titles(m), names(expected));
        QCOMPARE(m.currentRow(), expectedCurrent);
        QCOMPARE(m.tracks().at(m.currentRow()).title, onAir);
        const bool moved = titles(m) != names("T0 T1 T2 T3 T4");
        QCOMPARE(spies.reset.count(), moved ? 1 : 0);
        QCOMPARE(spies.inserted.count() + spies.removed.count(), 0);
        QCOMPARE(m.tracks().at(4).startTime, m.tracks().at(0).startTime.addSecs(240));
    }

    void moveRowsTo_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("expectedCurrent");
        const QList<int> r52{5, 2};
        QTest::newRow("to 8, current moved") << r52 << 8 << 5 << "T0 T1 T3 T4 T6 T7 T2 T5 T8 T9" << 7;
        QTest::newRow("to the end") << r52 << 10 << 2 << "T0 T1 T3 T4 T6 T7 T8 T9 T2 T5" << 8;
        QTest::newRow("to the top") << r52 << 0 << 9 << "T2 T5 T0 T1 T3 T4 T6 T7 T8 T9" << 9;
        QTest::newRow("current between") << r52 << 8 << 4 << "T0 T1 T3 T4 T6 T7 T2 T5 T8 T9" << 3;
        QTest::newRow("current after") << r52 << 8 << 8 << "T0 T1 T3 T4 T6 T7 T2 T5 T8 T9" << 8;
        QTest::newRow("current pushed down") << r52 << 0 << 1 << "T2 T5 T0 T1 T3 T4 T6 T7 T8 T9" << 3;
        QTest::newRow("past the end") << QList<int>{0} << 50 << 0 << "T1 T2 T3 T4 T5 T6 T7 T8 T9 T0" << 9;
        QTest::newRow("invalid rows skipped") << QList<int>{-3, 1, 12, 1} << 4 << 2
                                              << "T0 T2 T3 T1 T4 T5 T6 T7 T8 T9" << 1;
    }

    void moveRowsTo()
    {
        QFETCH(QList<int>, rows);
        QFETCH(int, target);
        QFETCH(int, current);
        QFETCH(QString, expected);
        QFETCH(int, expectedCurrent);
        PlaylistModel m;
        fill(m, 10);
        m.setCurrentRow(current);
        QSignalSpy reset(&m, &QAbstractItemModel::modelReset);
        m.moveRowsTo(rows, target);
        QCOMPARE(titles(m), names(expected));
        QCOMPARE(m.currentRow(), expectedCurrent);
        QCOMPARE(reset.count(), 1);
        QCOMPARE(m.tracks().at(9).startTime, m.tracks().at(0).startTime.addSecs(9 * 180));
    }

    void moveRowsToNothing()
    {
        PlaylistModel m;
        fill(m, 3);
        ChangeSpies spies(&m);
        m.moveRowsTo({}, 1);
        m.moveRowsTo({-1, 3}, 0);
        QCOMPARE(spies.total(), 0);
        QCOMPARE(titles(m), names("T0 T1 T2"));
    }

    void shuffle()
    {
        PlaylistModel m;
        fill(m, 1);
        m.addToQueue(0);
        m.setSegueOverrides(0, {{100, 100}});
        QSignalSpy oneReset(&m, &QAbstractItemModel::modelReset);
        m.shuffle();
        QCOMPARE(oneReset.count(), 0);
        QCOMPARE(m.queue(), QList<int>({0}));
        QCOMPARE(m.segueAt(0).mixPointMs, 100);

        PlaylistModel big;
        fill(big, 40);
        big.setCurrentRow(4);
        big.setCurrentRow(17);
        big.recordListeners(17, 12);
        big.addToQueue(3);
        big.addToQueue(30);
        big.setSegueOverrides(5, {{1000, -1}});
        const QStringList before = titles(big);
        QSignalSpy reset(&big, &QAbstractItemModel::modelReset);
        bool changedOrder = false;
        for (int round = 0; round < 5 && !changedOrder; ++round) {
            big.shuffle();
            changedOrder = titles(big) != before;
        }
        QVERIFY(changedOrder);
        QVERIFY(reset.count() >= 1);
        QStringList sortedAfter = titles(big);
        QStringList sortedBefore = before;
        sortedAfter.sort();
        sortedBefore.sort();
        QCOMPARE(sortedAfter, sortedBefore);
        QVERIFY(big.queue().isEmpty());
        QCOMPARE(big.segueAt(5).mixPointMs, -1);
        // The track on air is still named by the current row; per-row marks stay put.
        QCOMPARE(big.tracks().at(big.currentRow()).title, QStringLiteral("T17"));
        QVERIFY(big.isPlayed(4));
        QCOMPARE(cell(big, 17, 5).toString(), QStringLiteral("12"));
        QCOMPARE(big.tracks().at(39).startTime, big.tracks().at(0).startTime.addSecs(39 * 180));
    }

    void mimeDataPayload()
    {
        PlaylistModel m;
        fill(m, 5);
        const QModelIndexList selected{m.index(3, 0), m.index(3, 3), m.index(1, 2), m.index(1, 6), m.index(3, 1)};
        std::unique_ptr<QMimeData> mime(m.mimeData(selected));
        QVERIFY(mime);
        QCOMPARE(mime->formats(), QStringList({"application/x-orchidlantern-rows"}));
        QCOMPARE(mime->data("application/x-orchidlantern-rows"),
                 QByteArray::fromHex("00000002" "00000001" "00000003"));
    }

    void dropRows()
    {
        PlaylistModel m;
        fill(m, 10);
        m.setCurrentRow(5);
        std::unique_ptr<QMimeData> mime(rowsMime(rowPayload({2, 2, 5})));
        QSignalSpy reset(&m, &QAbstractItemModel::modelReset);
        QVERIFY(!m.dropMimeData(mime.get(), Qt::MoveAction, 8, 0, QModelIndex()));
        QCOMPARE(titles(m), names("T0 T1 T3 T4 T6 T7 T2 T5 T8 T9"));
        QCOMPARE(m.currentRow(), 7);
        QCOMPARE(reset.count(), 1);

        // A copy action moves too; onto a row; below the last row.
        std::unique_ptr<QMimeData> first(rowsMime(rowPayload({1, 0})));
        QVERIFY(!m.dropMimeData(first.get(), Qt::CopyAction, -1, -1, m.index(3, 2)));
        QCOMPARE(titles(m), names("T1 T3 T0 T4 T6 T7 T2 T5 T8 T9"));
        QVERIFY(!m.dropMimeData(first.get(), Qt::MoveAction, -1, -1, QModelIndex()));
        QCOMPARE(titles(m), names("T3 T0 T4 T6 T7 T2 T5 T8 T9 T1"));
        QCOMPARE(m.tracks().at(m.currentRow()).title, QStringLiteral("T5"));

        ChangeSpies spies(&m);
        QVERIFY(m.dropMimeData(first.get(), Qt::IgnoreAction, 0, 0, QModelIndex()));
        QCOMPARE(spies.total(), 0);
        QCOMPARE(titles(m), names("T3 T0 T4 T6 T7 T2 T5 T8 T9 T1"));
    }

    void malformedRowDropsChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("short count") << QByteArray::fromHex("000001");
        QTest::newRow("count beyond the data") << rowPayload({3, 1, 2});
        QTest::newRow("huge count") << rowPayload({0x7fffffff, 1});
        QTest::newRow("negative count") << rowPayload({-1, 1});
        QTest::newRow("truncated row") << (rowPayload({2, 1}) + QByteArray::fromHex("0000"));
        QTest::newRow("trailing bytes") << (rowPayload({1, 1}) + QByteArray::fromHex("00"));
        QTest::newRow("row past the end") << rowPayload({2, 1, 10});
        QTest::newRow("negative row") << rowPayload({1, -2});
        QTest::newRow("repeated row") << rowPayload({3, 1, 4, 1});
        QTest::newRow("no rows") << rowPayload({0});
        QTest::newRow("noise") << QByteArray("\xff\xfe garbage that is not a row list at all", 41);
    }

    void malformedRowDropsChangeNothing()
    {
        QFETCH(QByteArray, payload);
        PlaylistModel m;
        fill(m, 10);
        m.setCurrentRow(3);
        std::unique_ptr<QMimeData> mime(rowsMime(payload));
        // A URL beside the bad rows must not sneak in either.
        mime->setUrls({QUrl::fromLocalFile("/music/extra.mp3")});
        ChangeSpies spies(&m);
        QVERIFY(!m.dropMimeData(mime.get(), Qt::MoveAction, 0, 0, QModelIndex()));
        QCOMPARE(spies.total(), 0);
        QCOMPARE(titles(m), names("T0 T1 T2 T3 T4 T5 T6 T7 T8 T9"));
        QCOMPARE(m.currentRow(), 3);
    }

    void dropUrls()
    {
        PlaylistModel m;
        fill(m, 4);
        const QString folder = testHome().scratch("dropped folder");
        std::unique_ptr<QMimeData> mime(new QMimeData);
        mime->setUrls({QUrl::fromLocalFile("/music/Band - Song.mp3"), QUrl("ftp://host/file.mp3"),
                       QUrl("file:///music/not-audio.txt"), QUrl::fromLocalFile(folder),
                       QUrl("HTTPS://Stream.Example:8000/live"), QUrl("javascript:alert(1)"), QUrl()});
        QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
        QSignalSpy tracksInserted(&m, &PlaylistModel::tracksInserted);
        QVERIFY(m.dropMimeData(mime.get(), Qt::CopyAction, -1, -1, QModelIndex()));
        QCOMPARE(m.rowCount(), 8);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted.at(0).at(1).toInt(), 4);
        QCOMPARE(inserted.at(0).at(2).toInt(), 7);
        QCOMPARE(tracksInserted.count(), 1);
        QCOMPARE(tracksInserted.at(0).at(0).toInt(), 4);
        QCOMPARE(tracksInserted.at(0).at(1).toInt(), 4);

        const Track& file = m.tracks().at(4);
        QCOMPARE(file.filePath, QStringLiteral("/music/Band - Song.mp3"));
        QCOMPARE(file.artist, QStringLiteral("Band"));
        QCOMPARE(file.title, QStringLiteral("Song"));
        QVERIFY(!file.isStream);
        QCOMPARE(m.tracks().at(5).filePath, QStringLiteral("/music/not-audio.txt"));
        QCOMPARE(m.tracks().at(6).filePath, QDir::cleanPath(folder));
        const Track& stream = m.tracks().at(7);
        QVERIFY(stream.isStream);
        QCOMPARE(stream.artist, QStringLiteral("Online stream"));
        QCOMPARE(stream.category, QStringLiteral("Foreign"));
        QCOMPARE(stream.filePath, stream.title);
        QVERIFY(stream.filePath.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive));
        QCOMPARE(m.tracks().at(7).startTime, m.tracks().at(0).startTime.addSecs(4 * 180));

        // Unknown schemes alone add nothing.
        std::unique_ptr<QMimeData> junk(new QMimeData);
        junk->setUrls({QUrl("ftp://host/a.mp3"), QUrl("mailto:someone@example.org")});
        ChangeSpies spies(&m);
        QVERIFY(!m.dropMimeData(junk.get(), Qt::CopyAction, 0, 0, QModelIndex()));
        QCOMPARE(spies.total(), 0);

        // Neither rows nor URLs.
        std::unique_ptr<QMimeData> text(new QMimeData);
        text->setText("/music/typed.mp3");
        QVERIFY(!m.dropMimeData(text.get(), Qt::CopyAction, 0, 0, QModelIndex()));
        QVERIFY(!m.dropMimeData(nullptr, Qt::CopyAction, 0, 0, QModelIndex()));
        QCOMPARE(spies.total(), 0);
    }

    void droppedStreamIsTrimmed()
    {
        PlaylistModel m;
        fill(m, 2);
        // A URL list from another program may carry blanks the URL parser keeps.
        std::unique_ptr<QMimeData> mime(new QMimeData);
        mime->setData("text/uri-list", "http://radio.example/live%20%20\r\n");
        const QList<QUrl> urls = mime->urls();
        QCOMPARE(urls.size(), 1);
        QVERIFY(m.dropMimeData(mime.get(), Qt::MoveAction, 1, 0, QModelIndex()));
        QCOMPARE(m.rowCount(), 3);
        const Track& t = m.tracks().at(1);
        QVERIFY(t.isStream);
        QCOMPARE(t.title, QStringLiteral("http://radio.example/live"));
        QCOMPARE(t.filePath, t.title);
        QCOMPARE(t.artist, QStringLiteral("Online stream"));
    }

    // Only the current row follows its track; the queue, played rows,
    // peaks and overrides keep their row numbers.
    void rowKeyedState_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("expectedOrder");
        QTest::newRow("insert above") << "insert" << "X T0 T1 T2 T3 T4 T5 T6 T7 T8 T9";
        QTest::newRow("remove above") << "remove" << "T1 T2 T3 T4 T5 T6 T7 T8 T9";
        QTest::newRow("move one across") << "move" << "T1 T2 T3 T4 T5 T6 T7 T0 T8 T9";
        QTest::newRow("move a set") << "moveSet" << "T0 T1 T4 T5 T6 T2 T3 T7 T8 T9";
        QTest::newRow("drag rows") << "dragRows" << "T0 T8 T9 T1 T2 T3 T4 T5 T6 T7";
        QTest::newRow("drop files") << "dropFiles" << "X Y T0 T1 T2 T3 T4 T5 T6 T7 T8 T9";
    }

    void rowKeyedState()
    {
        QFETCH(QString, operation);
        QFETCH(QString, expectedOrder);
        PlaylistModel m;
        fill(m, 10);
        m.setCurrentRow(1);
        m.setCurrentRow(4); // row 1 played, T4 on air
        m.addToQueue(6);
        m.addToQueue(2);
        m.recordListeners(4, 9);
        m.setSegueOverrides(6, {{1500, 800}});

        if (operation == "insert") {
            m.insertTrack(0, fileTrack("X"));
        } else if (operation == "remove") {
            m.removeRow(0);
        } else if (operation == "move") {
            m.moveRow(0, 7);
        } else if (operation == "moveSet") {
            m.moveRowsTo({2, 3}, 7);
        } else if (operation == "dragRows") {
            std::unique_ptr<QMimeData> mime(rowsMime(rowPayload({2, 8, 9})));
            m.dropMimeData(mime.get(), Qt::MoveAction, 1, 0, QModelIndex());
        } else if (operation == "dropFiles") {
            std::unique_ptr<QMimeData> mime(new QMimeData);
            mime->setUrls({QUrl::fromLocalFile("/music/X.mp3"), QUrl::fromLocalFile("/music/Y.mp3")});
            QVERIFY(m.dropMimeData(mime.get(), Qt::CopyAction, 0, 0, QModelIndex()));
        }
        QCOMPARE(titles(m), names(expectedOrder));
        QCOMPARE(m.tracks().at(m.currentRow()).title, QStringLiteral("T4"));
        QCOMPARE(cell(m, m.currentRow(), 3, Qt::BackgroundRole).value<QBrush>().color(), QColor(179, 215, 255));
        QCOMPARE(m.queue(), QList<int>({6, 2}));
        QVERIFY(m.isPlayed(1));
        QCOMPARE(cell(m, 4, 5).toString(), QStringLiteral("9"));
        QCOMPARE(m.segueAt(6).mixPointMs, 1500);
        QCOMPARE(m.segueAt(6).fadeOutMs, 800);

        // The engine moving on marks the track that was really on air.
        const int onAir = m.currentRow();
        m.setCurrentRow(onAir + 1);
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
        Track live;
        live.isStream = true;
        live.filePath = "http://radio.example/live";
        m.addTrack(live);
        m.setShowHourMarkers(true);
        m.setCurrentRow(1);
        m.setCurrentRow(3);
        m.addToQueue(5);
        m.recordListeners(3, 4);
        m.moveRow(0, 5);
        m.moveRowsTo({1, 4}, 7);
        m.shuffle();
        std::unique_ptr<QMimeData> mime(new QMimeData);
        mime->setUrls({QUrl::fromLocalFile("/music/a.mp3"), QUrl("http://radio.example/b")});
        m.dropMimeData(mime.get(), Qt::CopyAction, 2, 0, QModelIndex());
        std::unique_ptr<QMimeData> rows(m.mimeData({m.index(0, 0), m.index(6, 3)}));
        m.dropMimeData(rows.get(), Qt::MoveAction, -1, -1, m.index(3, 0));
        m.takeNextQueued();
        m.refreshAll();
        m.removeRow(2);
        m.clearAbove(2);
        m.clearBelow(3);
        m.resetPlayedState();
        m.clearAll();
        m.addTrack(fileTrack("again"));
        QCOMPARE(m.rowCount(), 1);
    }
};

OL_TEST_MAIN(TestPlaylistModel)
#include "tst_playlistmodel.moc"
