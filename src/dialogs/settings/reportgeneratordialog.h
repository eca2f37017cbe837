#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

#include <memory>

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QTableView;
class QThread;
class ReportTableModel;
struct ReportFeed;

// Play-history and library reports as a table, exported as CSV or printed.
// The table is the only holder of a report: export and print read its
// header labels and cell texts, so they give exactly what is shown. A
// report is read on a thread of its own and fills the table page by page;
// export and print wait for its last row.
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
    // Returns the texts of the report shown before.
    QList<QString> setHeaders(const QStringList& headers);
    // Moves what the reader has made so far into the table.
    void takeRows();
    // Ends a reader still running: cancelled, or waited for to its last row.
    void stopReader(bool cancel);
    void joinReader();
    QString reportHtml() const;

    QDateTimeEdit* m_from = nullptr;
    QDateTimeEdit* m_to = nullptr;
    QComboBox* m_kind = nullptr;
    QTableView* m_table = nullptr;
    ReportTableModel* m_model = nullptr;
    QLabel* m_summary = nullptr;
    QThread* m_reader = nullptr;
    std::shared_ptr<ReportFeed> m_feed;
    bool m_sized = false;
};
