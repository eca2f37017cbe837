#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QTableView;
class ReportTableModel;

// Play-history and library reports as a table, exported as CSV or printed.
// The table is the only holder of a report: export and print read its
// header labels and cell texts, so they give exactly what is shown.
class ReportGeneratorDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ReportGeneratorDialog(QWidget* parent = nullptr);
    ~ReportGeneratorDialog() override;

public slots:
    void generate();
    void exportCsv();
    void printReport();

private:
    // One row per element of rows; cell(element, column) gives its texts.
    template <class Row, class Cell>
    void fill(const QStringList& headers, const QList<Row>& rows, Cell cell);
    QString reportHtml() const;

    QDateTimeEdit* m_from = nullptr;
    QDateTimeEdit* m_to = nullptr;
    QComboBox* m_kind = nullptr;
    QTableView* m_table = nullptr;
    ReportTableModel* m_model = nullptr;
    QLabel* m_summary = nullptr;
};
