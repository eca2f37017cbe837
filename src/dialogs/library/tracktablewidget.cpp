#include "tracktablewidget.h"

#include <QHeaderView>

TrackTableWidget::TrackTableWidget(const QStringList& headers, TrackTableModel::Cell cell, QWidget* parent)
    : QTableView(parent)
    , m_model(new TrackTableModel(headers, std::move(cell), this))
{
    setModel(m_model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    verticalHeader()->hide();
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
}

TrackTableWidget::~TrackTableWidget() = default;

void TrackTableWidget::setTracks(const QList<Track>& tracks)
{
    m_model->setTracks(tracks);
}

const QList<Track>& TrackTableWidget::tracks() const
{
    return m_model->tracks();
}

void TrackTableWidget::setTrack(int row, const Track& track)
{
    m_model->setTrack(row, track);
}

int TrackTableWidget::rowCount() const
{
    return m_model->rowCount();
}

int TrackTableWidget::currentRow() const
{
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : -1;
}
