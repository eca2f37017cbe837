#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QStringList>

// The texts of one report, read-only, row after row. A year's play log is
// two million cells: plain strings in one list keep that to a fraction of
// the time and memory an item object per cell takes.
class ReportTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;

    // cells holds rows × headers.size() texts, the first row first. The
    // texts shown before are handed back: a year's log takes a while to free.
    QList<QString> setReport(const QStringList& headers, QList<QString> cells);
    void clear();
    // More rows at the end, cells as for setReport.
    void appendRows(QList<QString> cells);

    QString header(int column) const;
    QString cell(int row, int column) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QStringList m_headers;
    QList<QString> m_cells;
};
