#pragma once

#include "tracktablemodel.h"

#include <QTableView>

// A table of tracks over a TrackTableModel: whole rows selected, nothing
// edited, no row numbers, sorting off (row i is track i of the list it
// was given), and rows dragged out as URL lists, never dropped in.
class TrackTableWidget : public QTableView
{
    Q_OBJECT

public:
    TrackTableWidget(const QStringList& headers, TrackTableModel::Cell cell, QWidget* parent = nullptr);
    ~TrackTableWidget() override;

    void setTracks(const QList<Track>& tracks);
    const QList<Track>& tracks() const;
    void setTrack(int row, const Track& track);
    int rowCount() const;
    // -1 when there is no current row.
    int currentRow() const;
    TrackTableModel* trackModel() const { return m_model; }

private:
    TrackTableModel* m_model;
};
