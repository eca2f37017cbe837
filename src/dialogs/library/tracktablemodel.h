#pragma once

#include "library/track.h"

#include <QAbstractTableModel>
#include <QList>
#include <QStringList>

#include <functional>

// Rows of tracks for a table, straight from a result list: the cells are
// made when the view asks for them, so a whole library shows at once.
// Column 0 carries the row's path as Qt::UserRole data where the owner
// puts one; a drag carries one URL per dragged row from it.
class TrackTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    // The value of a track's cell for a role; an invalid value for none.
    using Cell = std::function<QVariant(const Track& track, int column, int role)>;

    TrackTableModel(const QStringList& headers, Cell cell, QObject* parent = nullptr);

    void setTracks(const QList<Track>& tracks);
    const QList<Track>& tracks() const { return m_tracks; }
    // Replaces the track shown in one row.
    void setTrack(int row, const Track& track);
    // Rows that continue the list; the owner adds them after moreWanted.
    void appendTracks(const QList<Track>& tracks);
    // Whether rows beyond those held can be asked for: a view that reaches
    // the last row then emits moreWanted (once until rows come).
    void setMoreAvailable(bool more);

    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;

signals:
    void moreWanted();

private:
    QStringList m_headers;
    Cell m_cell;
    QList<Track> m_tracks;
    bool m_more = false;
    bool m_asked = false;
};
