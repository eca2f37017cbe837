#include "dialogs/settings/reporttablemodel.h"

#include <utility>

QList<QString> ReportTableModel::setReport(const QStringList& headers, QList<QString> cells)
{
    beginResetModel();
    m_headers = headers;
    QList<QString> shown = std::exchange(m_cells, std::move(cells));
    endResetModel();
    return shown;
}

void ReportTableModel::appendRows(QList<QString> cells)
{
    const qsizetype columns = m_headers.size();
    if (columns == 0 || cells.size() < columns)
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + int(cells.size() / columns) - 1);
    m_cells.append(std::move(cells));
    endInsertRows();
}

void ReportTableModel::clear()
{
    setReport({}, {});
}

QString ReportTableModel::header(int column) const
{
    return m_headers.value(column);
}

QString ReportTableModel::cell(int row, int column) const
{
    if (row < 0 || column < 0 || column >= m_headers.size())
        return QString();
    return m_cells.value(qsizetype(row) * m_headers.size() + column);
}

int ReportTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || m_headers.isEmpty() ? 0 : int(m_cells.size() / m_headers.size());
}

int ReportTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_headers.size());
}

QVariant ReportTableModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return cell(index.row(), index.column());
}

QVariant ReportTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return header(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}
