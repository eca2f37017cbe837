#include "dialogs/settings/reportgeneratordialog.h"

#include "dialogs/prompts.h"
#include "dialogs/settings/reporttablemodel.h"
#include "library/localtimereader.h"
#include "library/musiclibrary.h"
#include "library/ownconnection.h"
#include "library/playhistory.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QHash>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMutex>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTextDocument>
#include <QTextStream>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>

// What a reader hands the dialog, taken on the window's thread.
struct ReportFeed
{
    QMutex lock;
    QList<QString> cells; // rows made and not yet in the table
    QString summary;
    bool done = false;
    bool woken = false; // a takeRows() is on its way
    std::atomic_bool cancelled{false};
};

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

const QStringList kPlayLogHeaders{QStringLiteral("Time"), QStringLiteral("Artist"), QStringLiteral("Title"),
                                   QStringLiteral("Duration")};
const QStringList kCountHeaders{QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Plays"),
                                QStringLiteral("Total time")};
const QStringList kLibraryHeaders{QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Plays"),
                                  QStringLiteral("Last played"), QStringLiteral("Added")};

// A reader's end of the feed: rows go over in batches, the first as soon as
// a screenful is made, later ones at most every 50 ms, so that the table
// shows at once and the window is not flooded with small insertions.
class RowBatcher
{
public:
    RowBatcher(ReportFeed& feed, std::function<void()> wake)
        : m_feed(feed)
        , m_wake(std::move(wake))
    {
        m_sinceHandOver.start();
    }

    // False once the report is no longer wanted.
    bool add(std::initializer_list<QString> row)
    {
        for (const QString& cell : row)
            m_cells.append(cell);
        ++m_rows;
        if ((m_handedOver ? m_rows % 256 == 0 && m_sinceHandOver.elapsed() >= 50 : m_rows >= 100))
            handOver(false, {});
        return !m_feed.cancelled.load(std::memory_order_relaxed);
    }

    void finish(const QString& summary) { handOver(true, summary); }

private:
    void handOver(bool done, const QString& summary);

    ReportFeed& m_feed;
    std::function<void()> m_wake;
    QList<QString> m_cells;
    qint64 m_rows = 0;
    bool m_handedOver = false;
    QElapsedTimer m_sinceHandOver;
};

QString readPlayLog(const QSqlDatabase& db, const QDateTime& from, const QDateTime& to, RowBatcher& rows)
{
    qsizetype plays = 0;
    PlayHistory::eachInRange(db, from, to, [&](const PlayHistory::Record& r) {
        ++plays;
        return rows.add({timeText(r.playedAt), r.artist, r.title, durationText(r.durationMs)});
    });
    return QStringLiteral("%1 plays between %2 and %3")
        .arg(plays)
        .arg(from.toString(kPeriodFormat), to.toString(kPeriodFormat));
}

QString readCounts(const QSqlDatabase& db, const QDateTime& from, const QDateTime& to, RowBatcher& rows)
{
    qsizetype tracks = 0;
    PlayHistory::eachCount(db, from, to, [&](const PlayHistory::Count& c) {
        ++tracks;
        return rows.add({c.artist, c.title, QString::number(c.plays), durationText(c.totalMs)});
    });
    return QStringLiteral("%1 distinct track%2 played in range").arg(tracks).arg(plural(tracks));
}

// Most played first. The database gives the counts in order; tracks with
// the same count are put in artist order as each count ends, so the first
// page comes long before the never-played end of a large library.
QString readLibrary(const QSqlDatabase& db, RowBatcher& rows)
{
    struct Row
    {
        QString artist;
        QString title;
        int plays = 0;
        QString lastPlayed;
        QString added;
    };
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT artist,title,play_count,last_played,date_added FROM tracks "
                               "WHERE is_stream=0 AND library IN (SELECT name FROM libraries) "
                               "ORDER BY play_count DESC")))
        qWarning("Report Generator: could not read the library: %s", qPrintable(q.lastError().text()));
    LocalTimeReader times;
    QHash<QString, QString> addedTexts; // files added together share their text
    QList<Row> group;
    qsizetype tracks = 0;
    qsizetype neverPlayed = 0;
    bool wanted = true;
    const auto handOver = [&] {
        // Unstable on purpose: equal counts and artists keep no order.
        std::sort(group.begin(), group.end(),
                  [](const Row& a, const Row& b) { return QString::localeAwareCompare(a.artist, b.artist) < 0; });
        for (const Row& r : std::as_const(group)) {
            if (!(wanted = rows.add({r.artist, r.title, QString::number(r.plays), r.lastPlayed, r.added})))
                break;
        }
        group.clear();
    };
    while (wanted && q.isActive() && q.next()) {
        Row r;
        r.plays = q.value(2).toInt();
        if (!group.isEmpty() && group.constFirst().plays != r.plays)
            handOver();
        r.artist = q.value(0).toString();
        r.title = q.value(1).toString();
        const QDateTime last = times.read(q.value(3).toString());
        r.lastPlayed = last.isValid() ? timeText(last).left(16) : QStringLiteral("never");
        const QString addedIso = q.value(4).toString();
        auto added = addedTexts.constFind(addedIso);
        if (added == addedTexts.cend()) {
            const QDateTime at = times.read(addedIso);
            added = addedTexts.insert(addedIso, at.isValid() ? timeText(at).left(10) : QString());
        }
        r.added = *added;
        ++tracks;
        neverPlayed += r.plays == 0 ? 1 : 0;
        group.append(std::move(r));
    }
    if (wanted)
        handOver();
    return QStringLiteral("%1 track%2 in the library, %3 never played")
        .arg(tracks)
        .arg(plural(tracks))
        .arg(neverPlayed);
}

} // namespace

void RowBatcher::handOver(bool done, const QString& summary)
{
    bool wake = false;
    {
        QMutexLocker locked(&m_feed.lock);
        m_feed.cells.append(std::move(m_cells));
        m_feed.summary = summary;
        m_feed.done = done;
        wake = !m_feed.woken;
        m_feed.woken = true;
    }
    m_cells = {};
    m_handedOver = true;
    m_sinceHandOver.restart();
    if (wake)
        m_wake();
}

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

ReportGeneratorDialog::~ReportGeneratorDialog()
{
    stopReader(true);
}

void ReportGeneratorDialog::generate()
{
    stopReader(true);
    const QDateTime from = m_from->dateTime();
    const QDateTime to = m_to->dateTime();
    const int kind = m_kind->currentIndex();
    QList<QString> shown = setHeaders(kind == 0 ? kPlayLogHeaders : kind == 1 ? kCountHeaders : kLibraryHeaders);
    m_summary->clear();
    m_sized = false;

    auto feed = std::make_shared<ReportFeed>();
    m_feed = feed;
    const QString file = MusicLibrary::database().databaseName();
    // The dialog waits for its reader before it goes, so the reader may
    // address it.
    const auto wake = [this] { QMetaObject::invokeMethod(this, [this] { takeRows(); }, Qt::QueuedConnection); };
    m_reader = QThread::create([feed, file, kind, from, to, wake, shown = std::move(shown)]() mutable {
        shown = {}; // the report shown before, freed here
        OwnConnection connection(file, QStringLiteral("ol_report_%1").arg(quintptr(feed.get())));
        if (!connection.open())
            qWarning("Report Generator: could not open %s: %s", qPrintable(file),
                     qPrintable(connection.database().lastError().text()));
        const QSqlDatabase db = connection.database();
        RowBatcher rows(*feed, wake);
        const QString summary = kind == 0   ? readPlayLog(db, from, to, rows)
                                : kind == 1 ? readCounts(db, from, to, rows)
                                            : readLibrary(db, rows);
        rows.finish(summary);
    });
    m_reader->start();
}

QList<QString> ReportGeneratorDialog::setHeaders(const QStringList& headers)
{
    QList<QString> shown = m_model->setReport(headers, {});
    // The short columns get sized to their contents once rows come; the
    // title takes the rest.
    QHeaderView* header = m_table->horizontalHeader();
    const qsizetype title = headers.indexOf(QStringLiteral("Title"));
    header->setStretchLastSection(title < 0);
    for (int c = 0; c < int(headers.size()); ++c)
        header->setSectionResizeMode(c, c == title ? QHeaderView::Stretch : QHeaderView::Interactive);
    return shown;
}

void ReportGeneratorDialog::takeRows()
{
    if (!m_feed)
        return;
    QList<QString> cells;
    QString summary;
    bool done = false;
    {
        QMutexLocker locked(&m_feed->lock);
        cells.swap(m_feed->cells);
        summary = m_feed->summary;
        done = m_feed->done;
        m_feed->woken = false;
    }
    if (!cells.isEmpty())
        m_model->appendRows(std::move(cells));
    if ((!m_sized && m_model->rowCount() > 0) || done) {
        // Sizing the stretched title to its contents would pin it there once
        // the table is on screen.
        QHeaderView* header = m_table->horizontalHeader();
        for (int c = 0; c < m_model->columnCount(); ++c) {
            if (header->sectionResizeMode(c) != QHeaderView::Stretch)
                m_table->resizeColumnToContents(c);
        }
        m_sized = true;
    }
    if (done) {
        m_summary->setText(summary);
        joinReader();
    }
}

void ReportGeneratorDialog::stopReader(bool cancel)
{
    if (!m_reader)
        return;
    if (cancel)
        m_feed->cancelled = true;
    joinReader();
    if (cancel)
        m_feed.reset();
    else
        takeRows();
}

void ReportGeneratorDialog::joinReader()
{
    if (!m_reader)
        return;
    m_reader->wait();
    delete m_reader;
    m_reader = nullptr;
}

void ReportGeneratorDialog::exportCsv()
{
    stopReader(false);
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
    stopReader(false);
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
