#include "playlistmodel.h"

#include "library/musiclibrary.h"

#include <QBrush>
#include <QColor>
#include <QDataStream>
#include <QFont>
#include <QIODevice>
#include <QLoggingCategory>
#include <QMimeData>
#include <QRandomGenerator>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <numeric>
#include <optional>
#include <type_traits>

namespace {

Q_LOGGING_CATEGORY(lcPlaylist, "orchidlantern.playlist")

const QString kRemoveGlyph = QStringLiteral("\u2715");
const QString kStopGlyph = QStringLiteral("\u23F9");

const QColor kHourMarkerBg(226, 240, 226);
const QColor kCommandBg(255, 235, 200);
const QColor kCurrentBg(179, 215, 255);
const QColor kVoiceoverBg(255, 214, 234);
const QColor kRemoveFg(200, 60, 60);
const QColor kStopFg(150, 110, 40);
const QColor kPlayedFg(150, 150, 150);
const QColor kUnplayableFg(200, 40, 40);
const QColor kStreamFg(40, 130, 150);
const QColor kJingleFg(120, 120, 120);
const QColor kCommandFg(160, 90, 0);

constexpr int kSecondsPerDay = 24 * 60 * 60;

// The rows of a row-move payload, or nothing when the payload is not one
// complete, well-formed list of distinct rows of a playlist of rowCount rows.
std::optional<QList<int>> readRowPayload(const QByteArray& payload, int rowCount)
{
    if (payload.size() < 4)
        return std::nullopt;
    QDataStream in(payload);
    qint32 count = 0;
    in >> count;
    if (count < 0 || qint64(count) * 4 != payload.size() - 4)
        return std::nullopt;
    QList<int> rows;
    rows.reserve(count);
    QSet<int> seen;
    for (qint32 i = 0; i < count; ++i) {
        qint32 row = 0;
        in >> row;
        if (in.status() != QDataStream::Ok || row < 0 || row >= rowCount || seen.contains(row))
            return std::nullopt;
        seen.insert(row);
        rows.append(row);
    }
    return rows;
}

// The view asks for a brush or font per painted cell; building one each
// time costs an allocation, so the few distinct ones are made once.
QVariant brush(const QColor& colour)
{
    thread_local QHash<QRgb, QVariant> made;
    auto it = made.constFind(colour.rgb());
    if (it == made.cend())
        it = made.insert(colour.rgb(), QBrush(colour));
    return *it;
}

// Only the weight and slant are set, so the view keeps its own font for the rest.
QVariant rowFont(QFont::Weight weight, bool italic)
{
    thread_local QHash<int, QVariant> made;
    const int key = int(weight) * 2 + (italic ? 1 : 0);
    auto it = made.constFind(key);
    if (it == made.cend()) {
        QFont f;
        f.setWeight(weight);
        f.setItalic(italic);
        it = made.insert(key, f);
    }
    return *it;
}

} // namespace

template <typename NewRow>
void PlaylistModel::renumberRowState(NewRow newRow)
{
    if (m_currentRow >= 0)
        m_currentRow = newRow(m_currentRow);
    QList<int> queue;
    queue.reserve(m_queue.size());
    for (int row : std::as_const(m_queue)) {
        if (const int to = newRow(row); to >= 0)
            queue.append(to);
    }
    m_queue = std::move(queue);
    QSet<int> played;
    played.reserve(m_playedRows.size());
    for (int row : std::as_const(m_playedRows)) {
        if (const int to = newRow(row); to >= 0)
            played.insert(to);
    }
    m_playedRows = std::move(played);
    const auto renumberKeys = [&newRow](auto& byRow) {
        std::remove_reference_t<decltype(byRow)> moved;
        moved.reserve(byRow.size());
        for (auto it = byRow.cbegin(); it != byRow.cend(); ++it) {
            if (const int to = newRow(it.key()); to >= 0)
                moved.insert(to, it.value());
        }
        byRow = std::move(moved);
    };
    renumberKeys(m_peakListeners);
    renumberKeys(m_unplayable);
    renumberKeys(m_segueOverrides);
}

void PlaylistModel::rowsInsertedAt(int first, int count)
{
    // An override belongs to the junction of its row and the next one: rows
    // put between the two end it.
    m_segueOverrides.remove(first - 1);
    renumberRowState([first, count](int row) { return row >= first ? row + count : row; });
}

void PlaylistModel::rowRemoved(int removed)
{
    m_segueOverrides.remove(removed - 1);
    renumberRowState([removed](int row) { return row == removed ? -1 : row > removed ? row - 1 : row; });
}

PlaylistModel::PlaylistModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_startTimeBase(QTime::currentTime())
{
    // Whoever reports a row changed (also the window, after writing into
    // tracks()) makes its texts be worked out again at the next paint.
    connect(this, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& from, const QModelIndex& to) {
        dropViews(from.row(), to.row());
    });
    const auto dropAll = [this] { m_views.clear(); };
    connect(this, &QAbstractItemModel::rowsInserted, this, dropAll);
    connect(this, &QAbstractItemModel::rowsRemoved, this, dropAll);
    connect(this, &QAbstractItemModel::modelReset, this, dropAll);
    connect(this, &QAbstractItemModel::layoutChanged, this, dropAll);
}

void PlaylistModel::dropViews(int first, int last)
{
    for (int r = std::max(first, 0); r <= last && r < m_views.size(); ++r)
        m_views[r].filled = false;
}

PlaylistModel::RowView& PlaylistModel::view(int row) const
{
    if (m_views.size() != m_tracks.size()) {
        m_views.clear();
        m_views.resize(m_tracks.size());
    }
    RowView& v = m_views[row];
    if (!v.filled) {
        const Track& t = m_tracks.at(row);
        v.start = t.startTime.isValid() ? t.startTime.toString(QStringLiteral("h:mm:ss AP")) : QStringLiteral("--");
        v.title = t.displayName();
        if (t.isStream)
            v.duration = t.streamLimitMs < 1 ? QStringLiteral("LIVE") : Track::formatDuration(t.streamLimitMs);
        else
            v.duration = Track::formatDuration(t.durationMs);
        v.jingle = t.category.compare(QLatin1String("Jingle"), Qt::CaseInsensitive) == 0;
        v.voiceover = -1;
        v.filled = true;
    }
    return v;
}

bool PlaylistModel::hasVoiceover(int row) const
{
    // Looked up once per row and kept until stored parameters change
    // anywhere, here or in the other program: painting runs no query.
    const quint64 stamp = TrackParams::changeStamp();
    if (stamp != m_paramsStamp) {
        for (RowView& v : m_views)
            v.voiceover = -1;
        m_paramsStamp = stamp;
    }
    RowView& v = view(row);
    if (v.voiceover < 0)
        v.voiceover = TrackParams::load(m_tracks.at(row).filePath).voiceover.isSet() ? 1 : 0;
    return v.voiceover > 0;
}

int PlaylistModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_tracks.size());
}

int PlaylistModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(ColumnCount);
}

Qt::ItemFlags PlaylistModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
}

QVariant PlaylistModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return {};
    switch (section) {
    case RemoveColumn:
    case StopColumn:
        return QString();
    case NumberColumn:
        return QStringLiteral("#");
    case StartTimeColumn:
        return QStringLiteral("Start time");
    case TitleColumn:
        return QStringLiteral("Track Title");
    case DurationColumn:
        return QStringLiteral("Duration");
    case ListenersColumn:
        return QStringLiteral("\u266B");
    default:
        return {};
    }
}

QVariant PlaylistModel::data(const QModelIndex& index, int role) const
{
    if (index.model() != this || index.row() < 0 || index.column() < 0 || index.column() >= ColumnCount
        || index.row() >= m_tracks.size())
        return {};

    const int row = index.row();
    const int column = index.column();
    const Track& t = m_tracks.at(row);
    const bool current = row == m_currentRow;

    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case RemoveColumn:
            return kRemoveGlyph;
        case NumberColumn:
            return row + 1;
        case StartTimeColumn:
            return view(row).start;
        case TitleColumn: {
            const int pos = queuePosition(row);
            return pos > 0 ? QStringLiteral("[%1]  %2").arg(pos).arg(view(row).title) : view(row).title;
        }
        case DurationColumn:
            return view(row).duration;
        case ListenersColumn: {
            const int peak = m_peakListeners.value(row, 0);
            return peak >= 1 ? QString::number(peak) : QString();
        }
        case StopColumn:
            return t.marker ? QString() : kStopGlyph;
        }
        return {};

    case Qt::ToolTipRole: {
        if (column == StartTimeColumn) {
            const int hour = hourMarkerAt(row);
            if (hour >= 0)
                return QStringLiteral("Start of the %1:00 hour").arg(hour, 2, 10, QLatin1Char('0'));
        }
        if (column == TitleColumn && m_unplayable.contains(row))
            return QStringLiteral("Cannot be played: %1").arg(m_unplayable.value(row));
        if (column == TitleColumn) {
            const int pos = queuePosition(row);
            if (pos > 0)
                return QStringLiteral("Playback queue position %1").arg(pos);
        }
        if (column == RemoveColumn)
            return QStringLiteral("Remove this track");
        if (column == StopColumn)
            return QStringLiteral("Insert a STOP command after this track");
        return {};
    }

    case Qt::FontRole:
        if (current || t.marker)
            return rowFont(QFont::Bold, t.voiceTrack);
        if (t.voiceTrack)
            return rowFont(QFont::Normal, true);
        return {};

    case Qt::TextAlignmentRole:
        switch (column) {
        case RemoveColumn:
        case NumberColumn:
        case DurationColumn:
        case StopColumn:
            return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
        case StartTimeColumn:
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        }
        return {};

    case Qt::BackgroundRole:
        if (hourMarkerAt(row) >= 0)
            return brush(kHourMarkerBg);
        if (t.marker)
            return brush(kCommandBg);
        if (current)
            return brush(kCurrentBg);
        if (t.isStream || t.filePath.isEmpty())
            return {};
        if (hasVoiceover(row))
            return brush(kVoiceoverBg);
        return {};

    case Qt::ForegroundRole:
        if (column == RemoveColumn)
            return brush(kRemoveFg);
        if (column == StopColumn)
            return brush(kStopFg);
        if (m_unplayable.contains(row))
            return brush(kUnplayableFg);
        if (!current && m_playedRows.contains(row))
            return brush(kPlayedFg);
        if (t.isStream)
            return brush(kStreamFg);
        if (!t.marker)
            return view(row).jingle ? brush(kJingleFg) : QVariant();
        return brush(kCommandFg);
    }
    return {};
}

qint64 PlaylistModel::totalDurationMs() const
{
    qint64 total = 0;
    for (const Track& t : m_tracks)
        total += t.durationMs;
    return total;
}

int PlaylistModel::hourMarkerAt(int row) const
{
    if (!m_showHourMarkers || !isRow(row))
        return -1;
    const QTime start = m_tracks.at(row).startTime;
    if (!start.isValid())
        return -1;
    if (row == 0)
        return start.hour();
    const QTime previous = m_tracks.at(row - 1).startTime;
    if (!previous.isValid() || previous.hour() == start.hour())
        return -1;
    return start.hour();
}

void PlaylistModel::setShowHourMarkers(bool on)
{
    if (on == m_showHourMarkers)
        return;
    m_showHourMarkers = on;
    refreshAll();
}

void PlaylistModel::recomputeStartTimes()
{
    // Only rows whose start moves are written: a list shared with a save
    // under way is then not copied for nothing.
    QTime t = m_startTimeBase;
    for (qsizetype r = 0; r < m_tracks.size(); ++r) {
        const Track& track = std::as_const(m_tracks).at(r);
        const qint64 seconds = std::max<qint64>(0, track.durationMs / 1000);
        if (track.startTime != t)
            m_tracks[r].startTime = t;
        // Whole days do not move a time of day; keeps huge durations in int range.
        t = t.addSecs(int(seconds % kSecondsPerDay));
    }
    if (!m_tracks.isEmpty())
        emit dataChanged(index(0, StartTimeColumn), index(int(m_tracks.size()) - 1, StartTimeColumn));
}

void PlaylistModel::setDurationMs(int row, qint64 ms)
{
    if (!isRow(row))
        return;
    m_tracks[row].durationMs = ms;
    repaintDuration(row);
    recomputeStartTimes();
}

int PlaylistModel::fillDuration(const QString& path, qint64 ms)
{
    return fillDurations({{path, ms}});
}

int PlaylistModel::fillDurations(const QHash<QString, qint64>& lengths)
{
    if (lengths.isEmpty())
        return 0;
    int filled = 0;
    int first = -1;
    int last = -1;
    for (int r = 0; r < m_tracks.size(); ++r) {
        const Track& t = std::as_const(m_tracks).at(r);
        if (t.isStream || t.durationMs > 0)
            continue;
        const auto length = lengths.constFind(t.filePath);
        if (length == lengths.cend())
            continue;
        m_tracks[r].durationMs = *length;
        if (first < 0)
            first = r;
        last = r;
        ++filled;
    }
    if (filled > 0) {
        emit dataChanged(index(first, DurationColumn), index(last, DurationColumn));
        recomputeStartTimes();
    }
    return filled;
}

void PlaylistModel::setStreamLimitMs(int row, qint64 ms)
{
    if (!isRow(row))
        return;
    m_tracks[row].streamLimitMs = ms;
    repaintDuration(row);
}

void PlaylistModel::repaintDuration(int row)
{
    const QModelIndex cell = index(row, DurationColumn);
    emit dataChanged(cell, cell);
}

void PlaylistModel::refreshAll()
{
    repaintAll();
}

void PlaylistModel::insertTrack(int row, const Track& track)
{
    insertTracks(row, {track});
}

int PlaylistModel::insertTracks(int row, const QList<Track>& tracks)
{
    return insertTracks(row, QList<Track>(tracks));
}

int PlaylistModel::insertTracks(int row, QList<Track>&& tracks)
{
    const int pos = std::clamp(row, 0, int(m_tracks.size()));
    const int count = int(tracks.size());
    if (count == 0)
        return pos;
    beginInsertRows(QModelIndex(), pos, pos + count - 1);
    if (m_tracks.isEmpty()) {
        m_tracks = std::move(tracks);
    } else {
        m_tracks.insert(pos, count, Track());
        std::move(tracks.begin(), tracks.end(), m_tracks.begin() + pos);
    }
    rowsInsertedAt(pos, count);
    endInsertRows();
    recomputeStartTimes();
    return pos;
}

void PlaylistModel::addTrack(const Track& track)
{
    insertTrack(int(m_tracks.size()), track);
}

void PlaylistModel::removeRow(int row)
{
    if (!isRow(row))
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_tracks.removeAt(row);
    rowRemoved(row);
    endRemoveRows();
    recomputeStartTimes();
}

void PlaylistModel::clearAll()
{
    beginResetModel();
    m_tracks.clear();
    m_currentRow = -1;
    m_playedRows.clear();
    m_peakListeners.clear();
    m_unplayable.clear();
    m_queue.clear();
    m_segueOverrides.clear();
    endResetModel();
}

void PlaylistModel::repaintRow(int row)
{
    if (isRow(row))
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void PlaylistModel::repaintAll()
{
    if (!m_tracks.isEmpty())
        emit dataChanged(index(0, 0), index(int(m_tracks.size()) - 1, ColumnCount - 1));
}

void PlaylistModel::setCurrentRow(int row)
{
    const int old = m_currentRow;
    if (isRow(old)) {
        if (row == old) {
            repaintRow(old);
            return;
        }
        if (row >= 0) {
            m_playedRows.insert(old);
            m_currentRow = row;
            repaintRow(old);
            repaintRow(row);
            return;
        }
        m_currentRow = row;
        repaintRow(old);
        return;
    }
    m_currentRow = row;
    repaintRow(row);
}

void PlaylistModel::markPlayed(int row)
{
    if (!isRow(row) || m_playedRows.contains(row))
        return;
    m_playedRows.insert(row);
    repaintRow(row);
}

void PlaylistModel::markPlayed(const QSet<int>& rows)
{
    int first = int(m_tracks.size());
    int last = -1;
    for (int row : rows) {
        if (!isRow(row) || m_playedRows.contains(row))
            continue;
        m_playedRows.insert(row);
        first = std::min(first, row);
        last = std::max(last, row);
    }
    if (last >= 0)
        emit dataChanged(index(first, 0), index(last, ColumnCount - 1));
}

void PlaylistModel::setUnplayable(int row, const QString& reason)
{
    if (!isRow(row) || m_unplayable.value(row) == reason)
        return;
    if (reason.isEmpty())
        m_unplayable.remove(row);
    else
        m_unplayable.insert(row, reason);
    repaintRow(row);
}

void PlaylistModel::resetPlayedState()
{
    if (m_playedRows.isEmpty())
        return;
    m_playedRows.clear();
    repaintAll();
}

void PlaylistModel::addToQueue(int row)
{
    if (!isRow(row) || m_queue.contains(row))
        return;
    m_queue.append(row);
    repaintRow(row);
}

int PlaylistModel::takeNextQueued()
{
    while (!m_queue.isEmpty()) {
        const int entry = m_queue.takeFirst();
        if (isRow(entry)) {
            repaintAll();
            return entry;
        }
    }
    return -1;
}

void PlaylistModel::removeFromQueue(int row)
{
    const qsizetype at = m_queue.indexOf(row);
    if (at < 0)
        return;
    m_queue.removeAt(at);
    repaintAll();
}

void PlaylistModel::moveInQueue(int from, int to)
{
    const int length = int(m_queue.size());
    if (from < 0 || from >= length || to < 0 || to >= length)
        return;
    if (from != to)
        m_queue.move(from, to);
    repaintAll();
}

int PlaylistModel::queuePosition(int row) const
{
    return int(m_queue.indexOf(row)) + 1;
}

void PlaylistModel::clearQueue()
{
    if (m_queue.isEmpty())
        return;
    m_queue.clear();
    repaintAll();
}

void PlaylistModel::recordListeners(int row, int listeners)
{
    if (!isRow(row) || listeners < 1 || m_peakListeners.value(row, 0) >= listeners)
        return;
    m_peakListeners.insert(row, listeners);
    const QModelIndex cell = index(row, ListenersColumn);
    emit dataChanged(cell, cell);
}

void PlaylistModel::setSegueOverrides(int firstRow, const QList<TrackParams::SegueOverride>& overrides)
{
    for (qsizetype i = 0; i < overrides.size(); ++i) {
        const int row = firstRow + int(i);
        const TrackParams::SegueOverride& o = overrides.at(i);
        if ((o.mixPointMs < 0 && o.fadeOutMs < 0) || !isRow(row) || !isRow(row + 1))
            m_segueOverrides.remove(row);
        else
            m_segueOverrides.insert(row, o);
    }
}

QList<TrackParams::SegueOverride> PlaylistModel::segueOverrides(int firstRow, int count) const
{
    QList<TrackParams::SegueOverride> result;
    if (count < 1)
        return result;
    result.reserve(count);
    for (int i = 0; i < count; ++i)
        result.append(segueAt(firstRow + i));
    return result;
}

TrackParams::SegueOverride PlaylistModel::segueAt(int row) const
{
    return m_segueOverrides.value(row, TrackParams::SegueOverride{});
}

void PlaylistModel::clearAbove(int row)
{
    const int n = row < 0 ? m_currentRow : row;
    if (n < 1)
        return;
    // Emptied anyway; first, so that no removal renumbers them.
    m_playedRows.clear();
    for (int i = 0; i < n && !m_tracks.isEmpty(); ++i) {
        beginRemoveRows(QModelIndex(), 0, 0);
        m_tracks.removeFirst();
        rowRemoved(0);
        endRemoveRows();
        recomputeStartTimes();
    }
}

void PlaylistModel::clearBelow(int row)
{
    int keep = row;
    if (row < 0)
        keep = m_currentRow < 0 ? 0 : m_currentRow;
    while (m_tracks.size() > qint64(keep) + 1)
        removeRow(int(m_tracks.size()) - 1);
}

void PlaylistModel::applyOrder(const QList<int>& order)
{
    QList<Track> reordered;
    reordered.reserve(order.size());
    QList<int> newRowOf(order.size());
    for (qsizetype i = 0; i < order.size(); ++i) {
        reordered.append(m_tracks.at(order.at(i)));
        newRowOf[order.at(i)] = int(i);
    }
    m_tracks = std::move(reordered);
    // The row on air must keep naming the same track, or the engine would
    // continue from the wrong place after the reorder; a queued row must
    // stay the track that was queued.
    renumberRowState([&newRowOf](int row) { return row < newRowOf.size() ? newRowOf.at(row) : row; });
    emit rowsReordered(newRowOf);
}

void PlaylistModel::moveRow(int from, int to)
{
    if (!isRow(from))
        return;
    to = std::clamp(to, 0, int(m_tracks.size()) - 1);
    if (to == from)
        return;
    QList<int> order(m_tracks.size());
    std::iota(order.begin(), order.end(), 0);
    order.move(from, to);
    beginResetModel();
    applyOrder(order);
    endResetModel();
    recomputeStartTimes();
}

void PlaylistModel::moveRowsTo(QList<int> rows, int target)
{
    // Callers may hand in anything; only distinct rows of this playlist move.
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    rows.removeIf([this](int r) { return !isRow(r); });
    if (rows.isEmpty())
        return;

    const int before = int(std::count_if(rows.cbegin(), rows.cend(), [target](int r) { return r < target; }));
    QList<int> rest;
    rest.reserve(m_tracks.size() - rows.size());
    QSet<int> moved(rows.cbegin(), rows.cend());
    for (int r = 0; r < m_tracks.size(); ++r) {
        if (!moved.contains(r))
            rest.append(r);
    }
    const int insertAt = std::clamp(target - before, 0, int(rest.size()));
    QList<int> order = rest;
    for (qsizetype i = 0; i < rows.size(); ++i)
        order.insert(insertAt + i, rows.at(i));

    beginResetModel();
    applyOrder(order);
    endResetModel();
    recomputeStartTimes();
}

void PlaylistModel::shuffle()
{
    if (m_tracks.size() < 2)
        return;
    QList<int> order(m_tracks.size());
    std::iota(order.begin(), order.end(), 0);
    for (int i = int(order.size()) - 1; i >= 1; --i) {
        const int j = int(QRandomGenerator::global()->bounded(i + 1));
        order.swapItemsAt(i, j);
    }
    beginResetModel();
    applyOrder(order);
    m_segueOverrides.clear();
    m_queue.clear();
    endResetModel();
    recomputeStartTimes();
}

QStringList PlaylistModel::mimeTypes() const
{
    return {QString::fromLatin1(kRowsMimeType), QStringLiteral("text/uri-list")};
}

QMimeData* PlaylistModel::mimeData(const QModelIndexList& indexes) const
{
    QList<int> rows;
    for (const QModelIndex& i : indexes) {
        if (i.isValid() && i.model() == this)
            rows.append(i.row());
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());

    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out << qint32(rows.size());
    for (int r : rows)
        out << qint32(r);

    auto* mime = new QMimeData;
    mime->setData(QString::fromLatin1(kRowsMimeType), payload);
    return mime;
}

Qt::DropActions PlaylistModel::supportedDropActions() const
{
    return Qt::CopyAction | Qt::MoveAction;
}

bool PlaylistModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int /*column*/,
                                 const QModelIndex& parent)
{
    if (action == Qt::IgnoreAction)
        return true;
    if (!data)
        return false;

    int target = int(m_tracks.size());
    if (row >= 0)
        target = row;
    else if (parent.isValid() && parent.model() == this)
        target = parent.row();

    const QString rowsType = QString::fromLatin1(kRowsMimeType);
    if (data->hasFormat(rowsType)) {
        const std::optional<QList<int>> rows = readRowPayload(data->data(rowsType), int(m_tracks.size()));
        if (!rows) {
            qCWarning(lcPlaylist) << "Ignored a row drop with a malformed or foreign row list";
            return false;
        }
        moveRowsTo(*rows, target);
        // Not accepted, so the view deletes nothing: the rows have moved already.
        return false;
    }

    if (!data->hasUrls())
        return false;

    QList<Track> dropped;
    QStringList files;
    QList<qsizetype> fileRows;
    QStringList paths;
    for (const QUrl& url : data->urls()) {
        const bool local = url.isLocalFile();
        const QString text = local ? url.toLocalFile() : url.toString();
        if (text.isEmpty())
            continue;
        if (!local && !Track::isStreamUrl(text)) {
            qCWarning(lcPlaylist) << "Ignored a dropped address that is neither a file nor a stream:" << text;
            continue;
        }
        paths << text;
        if (local) {
            files << text;
            fileRows << dropped.size();
            dropped.append(Track());
        } else {
            Track t;
            t.isStream = true;
            t.artist = QStringLiteral("Online stream");
            t.title = text.trimmed();
            t.filePath = t.title;
            dropped.append(t);
        }
    }
    if (dropped.isEmpty())
        return false;
    if (m_droppedPaths) {
        m_droppedPaths(target, paths);
        return true;
    }
    // Files dragged from the library or a file manager read as added ones.
    const QList<Track> described = MusicLibrary::rowsForFiles(files);
    for (qsizetype i = 0; i < described.size(); ++i)
        dropped[fileRows.at(i)] = described.at(i);

    const int first = insertTracks(target, dropped);
    emit tracksInserted(first, int(dropped.size()));
    return true;
}
