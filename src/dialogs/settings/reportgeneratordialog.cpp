#include "dialogs/settings/reportgeneratordialog.h"

#include "dialogs/prompts.h"
#include "dialogs/settings/reporttablemodel.h"
#include "library/musiclibrary.h"
#include "library/playhistory.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QSaveFile>
#include <QTableView>
#include <QTextDocument>
#include <QTextStream>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

namespace {

const QString kTitle = QStringLiteral("Report Generator");
const QString kPeriodFormat = QStringLiteral("yyyy-MM-dd HH:mm");

// Total minutes, not split into hours: 7 265 000 ms is 121:05.
QString durationText(qint64 ms)
{
    if (ms < 1)
        return QStringLiteral("--:--");
    const long long s = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld", s / 60, s % 60);
    return QString::fromLatin1(text);
}

// "yyyy-MM-dd HH:mm:ss" put together by hand: the locale's formatter takes
// longer than all the rest of a row on a year's log.
QString timeText(const QDateTime& when)
{
    const QDate d = when.date();
    if (!when.isValid() || d.year() < 1000 || d.year() > 9999)
        return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QTime t = when.time();
    QString text(19, Qt::Uninitialized);
    QChar* out = text.data();
    const auto put = [&out](int value, int digits, char16_t after) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            out[i] = QChar(char16_t(u'0' + value % 10));
        out += digits;
        if (after)
            *out++ = QChar(after);
    };
    put(d.year(), 4, u'-');
    put(d.month(), 2, u'-');
    put(d.day(), 2, u' ');
    put(t.hour(), 2, u':');
    put(t.minute(), 2, u':');
    put(t.second(), 2, 0);
    return text;
}

QString plural(qsizetype n)
{
    return n == 1 ? QString() : QStringLiteral("s");
}

QString csvField(const QString& text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

ReportGeneratorDialog::ReportGeneratorDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(kTitle);
    setMinimumSize(720, 500);
    auto* layout = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    const QDateTime now = QDateTime::currentDateTime();
    m_from = new QDateTimeEdit(now.addDays(-7));
    m_to = new QDateTimeEdit(now);
    for (QDateTimeEdit* edit : {m_from, m_to}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(kPeriodFormat);
    }
    m_kind = new QComboBox;
    m_kind->addItems({QStringLiteral("Play log (chronological)"), QStringLiteral("Play counts (aggregated)"),
                      QStringLiteral("Library statistics (all-time)")});
    auto* generateButton = new QPushButton(QStringLiteral("Generate"));
    top->addWidget(new QLabel(QStringLiteral("From:")));
    top->addWidget(m_from);
    top->addWidget(new QLabel(QStringLiteral("To:")));
    top->addWidget(m_to);
    top->addWidget(new QLabel(QStringLiteral("Report:")));
    top->addWidget(m_kind);
    top->addWidget(generateButton);
    top->addStretch();
    layout->addLayout(top);

    m_table = new QTableView;
    m_model = new ReportTableModel(m_table);
    m_table->setModel(m_model);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_table, 1);

    m_summary = new QLabel;
    layout->addWidget(m_summary);

    auto* bottom = new QHBoxLayout;
    auto* exportButton = new QPushButton(QStringLiteral("Export CSV..."));
    auto* printButton = new QPushButton(QStringLiteral("Print..."));
    auto* closeButton = new QPushButton(QStringLiteral("Close"));
    bottom->addStretch();
    bottom->addWidget(exportButton);
    bottom->addWidget(printButton);
    bottom->addWidget(closeButton);
    layout->addLayout(bottom);

    connect(generateButton, &QPushButton::clicked, this, &ReportGeneratorDialog::generate);
    connect(exportButton, &QPushButton::clicked, this, &ReportGeneratorDialog::exportCsv);
    connect(printButton, &QPushButton::clicked, this, &ReportGeneratorDialog::printReport);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);

    generate();
}

ReportGeneratorDialog::~ReportGeneratorDialog() = default;

void ReportGeneratorDialog::generate()
{
    const QDateTime from = m_from->dateTime();
    const QDateTime to = m_to->dateTime();
    m_model->clear();

    switch (m_kind->currentIndex()) {
    case 0: {
        const QList<PlayHistory::Record> records = PlayHistory::range(from, to);
        fill({QStringLiteral("Time"), QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Duration")},
             records, [](const PlayHistory::Record& r, int column) {
                 switch (column) {
                 case 0:
                     return timeText(r.playedAt);
                 case 1:
                     return r.artist;
                 case 2:
                     return r.title;
                 default:
                     return durationText(r.durationMs);
                 }
             });
        m_summary->setText(QStringLiteral("%1 plays between %2 and %3")
                               .arg(records.size())
                               .arg(from.toString(kPeriodFormat), to.toString(kPeriodFormat)));
        break;
    }
    case 1: {
        const QList<PlayHistory::Count> counts = PlayHistory::counts(from, to);
        fill({QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Plays"), QStringLiteral("Total time")},
             counts, [](const PlayHistory::Count& c, int column) {
                 switch (column) {
                 case 0:
                     return c.artist;
                 case 1:
                     return c.title;
                 case 2:
                     return QString::number(c.plays);
                 default:
                     return durationText(c.totalMs);
                 }
             });
        m_summary->setText(
            QStringLiteral("%1 distinct track%2 played in range").arg(counts.size()).arg(plural(counts.size())));
        break;
    }
    default: {
        QList<Track> tracks;
        for (const QString& name : MusicLibrary::availableLibraries()) {
            MusicLibrary library;
            library.load(name);
            for (const Track& t : library.search(QString())) {
                if (!t.isStream)
                    tracks.append(t);
            }
        }
        // Unstable on purpose: equal counts and artists keep no order.
        std::sort(tracks.begin(), tracks.end(), [](const Track& a, const Track& b) {
            if (a.playCount != b.playCount)
                return a.playCount > b.playCount;
            return QString::localeAwareCompare(a.artist, b.artist) < 0;
        });
        const qsizetype neverPlayed =
            std::count_if(tracks.cbegin(), tracks.cend(), [](const Track& t) { return t.playCount == 0; });
        fill({QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Plays"),
              QStringLiteral("Last played"), QStringLiteral("Added")},
             tracks, [](const Track& t, int column) {
                 switch (column) {
                 case 0:
                     return t.artist;
                 case 1:
                     return t.title;
                 case 2:
                     return QString::number(t.playCount);
                 case 3:
                     return t.lastPlayed.isValid() ? t.lastPlayed.toString(kPeriodFormat) : QStringLiteral("never");
                 default:
                     return t.dateAdded.isValid() ? t.dateAdded.toString(QStringLiteral("yyyy-MM-dd")) : QString();
                 }
             });
        m_summary->setText(QStringLiteral("%1 track%2 in the library, %3 never played")
                               .arg(tracks.size())
                               .arg(plural(tracks.size()))
                               .arg(neverPlayed));
        break;
    }
    }
    m_table->resizeColumnsToContents();
}

template <class Row, class Cell>
void ReportGeneratorDialog::fill(const QStringList& headers, const QList<Row>& rows, Cell cell)
{
    const int columns = int(headers.size());
    QList<QString> cells;
    cells.reserve(rows.size() * columns);
    for (const Row& row : rows) {
        for (int c = 0; c < columns; ++c)
            cells.append(cell(row, c));
    }
    m_model->setReport(headers, std::move(cells));
    // The short columns get sized to their contents after filling; the title
    // takes the rest.
    QHeaderView* header = m_table->horizontalHeader();
    const qsizetype title = headers.indexOf(QStringLiteral("Title"));
    header->setStretchLastSection(title < 0);
    for (int c = 0; c < columns; ++c)
        header->setSectionResizeMode(c, c == title ? QHeaderView::Stretch : QHeaderView::Interactive);
}

void ReportGeneratorDialog::exportCsv()
{
    if (m_model->rowCount() == 0) {
        Prompts::information(this, kTitle, QStringLiteral("Generate a report first."));
        return;
    }
    QString path = Prompts::saveFileName(this, QStringLiteral("Export report"), QStringLiteral("report.csv"),
                                         QStringLiteral("CSV files (*.csv);;All files (*.*)"));
    if (path.isEmpty())
        return;
    if (!path.contains(QLatin1Char('.')))
        path += QStringLiteral(".csv");

    // Written beside the target and put in its place only when all of it
    // went to disk: a full disk leaves any earlier file whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        Prompts::warning(this, kTitle, QStringLiteral("Could not write the file."));
        return;
    }
    QTextStream out(&file);
    out.setEncoding(QStringConverter::Utf8);
    out.setGenerateByteOrderMark(false);
    const int columns = m_model->columnCount();
    QStringList fields;
    for (int c = 0; c < columns; ++c)
        fields << csvField(m_model->header(c));
    out << fields.join(QLatin1Char(',')) << '\n';
    for (int r = 0; r < m_model->rowCount(); ++r) {
        fields.clear();
        for (int c = 0; c < columns; ++c)
            fields << csvField(m_model->cell(r, c));
        out << fields.join(QLatin1Char(',')) << '\n';
    }
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit()) {
        file.cancelWriting();
        Prompts::warning(this, kTitle, QStringLiteral("Could not write the file."));
        return;
    }
    Prompts::information(this, kTitle, QStringLiteral("Report exported."));
}

QString ReportGeneratorDialog::reportHtml() const
{
    QString html = QStringLiteral("<h2>Orchidlantern report</h2><p style='color:#555;'>")
                   + QDateTime::currentDateTime().toString(QStringLiteral("dddd d MMMM yyyy, HH:mm"))
                   + QStringLiteral("</p><table width='100%' cellspacing='0' cellpadding='4'>")
                   + QStringLiteral("<tr style='background:#eee;'>");
    const int columns = m_model->columnCount();
    for (int c = 0; c < columns; ++c)
        html += QStringLiteral("<th align='left'>") + m_model->header(c).toHtmlEscaped() + QStringLiteral("</th>");
    html += QStringLiteral("</tr>");
    const int rows = m_model->rowCount();
    for (int r = 0; r < rows; ++r) {
        html += r % 2 == 0 ? QStringLiteral("<tr>") : QStringLiteral("<tr style='background:#f7f7f7;'>");
        for (int c = 0; c < columns; ++c)
            html += QStringLiteral("<td>") + m_model->cell(r, c).toHtmlEscaped() + QStringLiteral("</td>");
        html += QStringLiteral("</tr>");
    }
    html += QStringLiteral("</table><p style='color:#555;'>%1 rows</p>").arg(rows);
    return html;
}

void ReportGeneratorDialog::printReport()
{
    if (m_model->rowCount() == 0) {
        Prompts::information(this, QStringLiteral("Print report"), QStringLiteral("Generate a report first."));
        return;
    }
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("Print report"));
    if (Prompts::exec(dialog) != QDialog::Accepted)
        return;
    QTextDocument document;
    document.setHtml(reportHtml());
    document.print(&printer);
}
