#include "tracktablemodel.h"

#include <QMimeData>
#include <QSet>
#include <QUrl>

TrackTableModel::TrackTableModel(const QStringList& headers, Cell cell, QObject* parent)
    : QAbstractTableModel(parent)
    , m_headers(headers)
    , m_cell(std::move(cell))
{
}

void TrackTableModel::setTracks(const QList<Track>& tracks)
{
    beginResetModel();
    m_tracks = tracks;
    m_more = m_asked = false;
    endResetModel();
}

void TrackTableModel::appendTracks(const QList<Track>& tracks)
{
    m_asked = false;
    if (tracks.isEmpty())
        return;
    beginInsertRows(QModelIndex(), int(m_tracks.size()), int(m_tracks.size() + tracks.size() - 1));
    m_tracks.append(tracks);
    endInsertRows();
}

void TrackTableModel::setMoreAvailable(bool more)
{
    m_more = more;
}

bool TrackTableModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && m_more && !m_asked;
}

void TrackTableModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    m_asked = true;
    emit moreWanted();
}

void TrackTableModel::setTrack(int row, const Track& track)
{
    if (row < 0 || row >= m_tracks.size())
        return;
    m_tracks[row] = track;
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

int TrackTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_tracks.size());
}

int TrackTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_headers.size());
}

QVariant TrackTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_tracks.size() || !m_cell)
        return {};
    return m_cell(m_tracks.at(index.row()), index.column(), role);
}

QVariant TrackTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_headers.size())
        return m_headers.at(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags TrackTableModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList TrackTableModel::mimeTypes() const
{
    return {QStringLiteral("text/uri-list")};
}

QMimeData* TrackTableModel::mimeData(const QModelIndexList& indexes) const
{
    // Rows in the order of their first dragged cell, each once; a file
    // goes as a local-file URL, a stream address keeps its own scheme.
    QList<QUrl> urls;
    QSet<int> seen;
    for (const QModelIndex& i : indexes) {
        const int row = i.isValid() && i.model() == this ? i.row() : -1;
        if (row < 0 || seen.contains(row))
            continue;
        seen.insert(row);
        const QString path = data(index(row, 0), Qt::UserRole).toString();
        if (path.isEmpty())
            continue;
        urls << (Track::isStreamUrl(path) ? QUrl(path, QUrl::TolerantMode) : QUrl::fromLocalFile(path));
    }
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}
