#pragma once

#include "library/track.h"
#include "library/trackparams.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QSet>
#include <QTime>

#include <functional>

class QMimeData;

// One playlist: a seven-column table of Track rows, with the playout state
// that belongs to row numbers (current row, played rows, playback queue,
// listener peaks, segue overrides). That state follows its tracks when rows
// are inserted, removed or moved, and goes with a removed row.
class PlaylistModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        RemoveColumn = 0,
        NumberColumn,
        StartTimeColumn,
        TitleColumn,
        DurationColumn,
        ListenersColumn,
        StopColumn,
        ColumnCount
    };

    static constexpr const char* kRowsMimeType = "application/x-orchidlantern-rows";

    explicit PlaylistModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;
    Qt::DropActions supportedDropActions() const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Rows and display.
    QList<Track>& tracks() { return m_tracks; }
    const QList<Track>& tracks() const { return m_tracks; }
    qint64 totalDurationMs() const;
    int hourMarkerAt(int row) const;
    void setShowHourMarkers(bool on);
    bool showHourMarkers() const { return m_showHourMarkers; }
    void recomputeStartTimes();
    // A length learned once the row is in the list; the rows below start later.
    void setDurationMs(int row, qint64 ms);
    // Gives every row of path still without a length this one; returns how many.
    int fillDuration(const QString& path, qint64 ms);
    // The same for many paths at once, in one pass over the rows.
    int fillDurations(const QHash<QString, qint64>& lengths);
    void setStreamLimitMs(int row, qint64 ms);
    void refreshAll();
    void insertTrack(int row, const Track& track);
    // Many rows in one insertion at row (clamped); returns where they went.
    int insertTracks(int row, const QList<Track>& tracks);
    // The same, taking the list over when this playlist is empty.
    int insertTracks(int row, QList<Track>&& tracks);
    void addTrack(const Track& track);
    void removeRow(int row);
    void clearAll();

    // Current row, played rows, queue, peaks and overrides.
    int currentRow() const { return m_currentRow; }
    void setCurrentRow(int row);
    void markPlayed(int row);
    void markPlayed(const QSet<int>& rows);
    bool isPlayed(int row) const { return m_playedRows.contains(row); }
    QSet<int> playedRows() const { return m_playedRows; }
    void resetPlayedState();
    // Why the row could not be played when the engine last tried it; empty
    // when it played or was never tried. An empty reason clears the mark.
    QString unplayableReason(int row) const { return m_unplayable.value(row); }
    void setUnplayable(int row, const QString& reason);
    void addToQueue(int row);
    int takeNextQueued();
    void removeFromQueue(int row);
    void moveInQueue(int from, int to);
    int queuePosition(int row) const;
    void clearQueue();
    QList<int> queue() const { return m_queue; }
    void recordListeners(int row, int listeners);
    void setSegueOverrides(int firstRow, const QList<TrackParams::SegueOverride>& overrides);
    QList<TrackParams::SegueOverride> segueOverrides(int firstRow, int count) const;
    TrackParams::SegueOverride segueAt(int row) const;
    QHash<int, TrackParams::SegueOverride> segueOverrideRows() const { return m_segueOverrides; }

    // Files and stream addresses dropped on the view, in order, with the
    // row they were dropped at: made into rows there by whoever set this
    // (off the window's thread). Unset, the model describes them itself.
    void setDroppedPaths(std::function<void(int row, const QStringList& paths)> make)
    {
        m_droppedPaths = std::move(make);
    }

    // Many rows at once.
    void clearAbove(int row);
    void clearBelow(int row);
    void moveRow(int from, int to);
    void moveRowsTo(QList<int> rows, int target);
    void shuffle();

signals:
    void tracksInserted(int firstRow, int count);
    // The rows were put in another order (moved, shuffled): newRowOf holds
    // each old row's new number. Sent inside the model's reset, before its end.
    void rowsReordered(const QList<int>& newRowOf);

private:
    std::function<void(int, const QStringList&)> m_droppedPaths;
    bool isRow(int row) const { return row >= 0 && row < m_tracks.size(); }
    // What painting a row needs, worked out once and dropped whenever the
    // row is reported changed.
    struct RowView
    {
        QString start;
        QString title;
        QString duration;
        bool jingle = false;
        qint8 voiceover = -1; // not looked up yet
        bool filled = false;
    };
    RowView& view(int row) const;
    void dropViews(int first, int last);
    bool hasVoiceover(int row) const;
    void repaintRow(int row);
    void repaintDuration(int row);
    void repaintAll();
    // Puts the rows in the order given as old row numbers; the row-keyed
    // state follows its tracks.
    void applyOrder(const QList<int>& order);
    // Renumbers all row-keyed state: newRow gives an entry's new row, or -1
    // to drop it.
    template <typename NewRow>
    void renumberRowState(NewRow newRow);
    void rowsInsertedAt(int first, int count);
    void rowRemoved(int row);

    QHash<int, TrackParams::SegueOverride> m_segueOverrides;
    QList<int> m_queue;
    QSet<int> m_playedRows;
    QHash<int, int> m_peakListeners;
    QHash<int, QString> m_unplayable;
    bool m_showHourMarkers = false;
    QList<Track> m_tracks;
    int m_currentRow = -1;
    QTime m_startTimeBase;
    mutable QList<RowView> m_views;
    mutable quint64 m_paramsStamp = 0;
};
