#include "dialogs/library/tracktablewidget.h"
#include "engine/playlistmodel.h"
#include "olmain.h"

#include <QMimeData>

class TestTrackTableWidget : public QObject
{
    Q_OBJECT

    // The drag data as a real drag builds it: the view's model asked for
    // the dragged cells' indexes.
    static std::unique_ptr<QMimeData> drag(const TrackTableWidget& table, const QList<QPair<int, int>>& cells)
    {
        QModelIndexList indexes;
        for (const auto& [row, column] : cells)
            indexes << table.model()->index(row, column);
        return std::unique_ptr<QMimeData>(table.model()->mimeData(indexes));
    }

private slots:
    // One URL per row in the order of each row's first dragged cell; a
    // stream keeps its own scheme whatever its letter case; rows without
    // a path are left out; the playlist takes the result as tracks.
    void dragCarriesOneUrlPerRowThePlaylistTakes()
    {
        // The path for a drag is whatever the owner puts in column 0.
        TrackTableWidget table({QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Path")},
                               [](const Track& t, int column, int role) -> QVariant {
                                   if (role == Qt::UserRole && column == 0 && t.comment != QLatin1String("no path"))
                                       return t.filePath;
                                   return role == Qt::DisplayRole ? QVariant(t.title) : QVariant();
                               });
        const QString file = QStringLiteral("/music/Ädele - Sköna dagar.mp3");
        QList<Track> tracks(5);
        tracks[0].filePath = file;
        tracks[1].filePath = QStringLiteral("HTTP://radio.example/live.mp3");
        tracks[2].filePath = QStringLiteral("/music/hidden.mp3");
        tracks[2].comment = QStringLiteral("no path");
        tracks[4].filePath = QStringLiteral("/music/other.flac");
        table.setTracks(tracks);
        QCOMPARE(table.rowCount(), 5);
        QCOMPARE(table.dragDropMode(), QAbstractItemView::DragOnly);

        auto mime = drag(table, {{1, 2}, {0, 0}, {0, 1}, {2, 1}, {3, 0}, {1, 0}, {0, 2}});
        const QList<QUrl> urls = mime->urls();
        QCOMPARE(urls.size(), 2);
        QCOMPARE(urls[0].toString(), QStringLiteral("http://radio.example/live.mp3"));
        QVERIFY(urls[1].isLocalFile());
        QCOMPARE(urls[1].toLocalFile(), file);
        QCOMPARE(mime->formats(), QStringList{QStringLiteral("text/uri-list")});

        PlaylistModel playlist;
        QVERIFY(playlist.canDropMimeData(mime.get(), Qt::CopyAction, -1, -1, {}));
        QVERIFY(playlist.dropMimeData(mime.get(), Qt::CopyAction, -1, -1, {}));
        QCOMPARE(playlist.rowCount(), 2);
        const Track stream = playlist.tracks().at(0);
        QVERIFY(stream.isStream);
        QCOMPARE(stream.filePath, QStringLiteral("http://radio.example/live.mp3"));
        const Track track = playlist.tracks().at(1);
        QVERIFY(!track.isStream);
        QCOMPARE(track.filePath, file);
        QCOMPARE(track.artist, QStringLiteral("Ädele"));
        QCOMPARE(track.title, QStringLiteral("Sköna dagar"));

        // Only rows without a path: an empty list, which the playlist refuses.
        auto none = drag(table, {{2, 0}, {3, 1}});
        QCOMPARE(none->urls().size(), 0);
        QVERIFY(!playlist.dropMimeData(none.get(), Qt::CopyAction, -1, -1, {}));
        QCOMPARE(playlist.rowCount(), 2);

        // A row replaced in place shows its new track.
        Track renamed = tracks[4];
        renamed.title = QStringLiteral("Renamed");
        table.setTrack(4, renamed);
        QCOMPARE(table.model()->index(4, 1).data().toString(), QStringLiteral("Renamed"));
    }
};

OL_TEST_MAIN(TestTrackTableWidget)
#include "tst_tracktablewidget.moc"
