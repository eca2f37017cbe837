#include "audiofixtures.h"
#include "findwidget.h"
#include "olmain.h"

#include "dialogs/settings/reportgeneratordialog.h"
#include "library/musiclibrary.h"
#include "library/playhistory.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QPrintDialog>
#include <QPrinter>
#include <QTableView>

#include <csignal>
#include <sys/resource.h>

namespace {

const QString kCafe = QStringLiteral("Café \"Noir\", part 1\nline two");

// Header and rows of what is shown, cells joined by "|".
QStringList shown(const QTableView& table)
{
    const QAbstractItemModel* m = table.model();
    QStringList out;
    for (int r = -1; r < m->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < m->columnCount(); ++c)
            cells << (r < 0 ? m->headerData(c, Qt::Horizontal).toString() : m->index(r, c).data().toString());
        out << cells.join(QLatin1Char('|'));
    }
    return out;
}

// The rows of a CSV file as python3's csv module reads them, the same way.
QStringList csvRows(const QString& path)
{
    QByteArray out;
    AudioFixtures::run(QStringLiteral("python3"),
                       {QStringLiteral("-c"), QStringLiteral("import csv, sys\n"
                                                             "for row in csv.reader(open(sys.argv[1], newline='', "
                                                             "encoding='utf-8'), strict=True):\n"
                                                             "    sys.stdout.write('|'.join(row) + '\\0')\n"),
                        path},
                       &out);
    return QString::fromUtf8(out).split(QChar(u'\0'), Qt::SkipEmptyParts);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestReportGenerator : public QObject
{
    Q_OBJECT

    std::unique_ptr<ReportGeneratorDialog> m_dialog;

    // Generated and, unless told not to wait, read to its last row (the
    // summary comes with it).
    QStringList show(int kind, const QString& from = QStringLiteral("2025-06-02T00:00:00"),
                     const QString& to = QStringLiteral("2025-06-02T23:59:00"), bool wait = true)
    {
        m_dialog->findChildren<QDateTimeEdit*>().at(0)->setDateTime(QDateTime::fromString(from, Qt::ISODate));
        m_dialog->findChildren<QDateTimeEdit*>().at(1)->setDateTime(QDateTime::fromString(to, Qt::ISODate));
        m_dialog->findChild<QComboBox*>()->setCurrentIndex(kind);
        clickButton(*m_dialog, QStringLiteral("Generate"));
        if (wait)
            [&] { QTRY_VERIFY_WITH_TIMEOUT(!summary().isEmpty(), 30000); }();
        return shown(*m_dialog->findChild<QTableView*>());
    }

    QString summary() const { return m_dialog->findChildren<QLabel*>().last()->text(); }

private slots:
    // Two libraries, the same file in both, a stream and a track never
    // played, counted through recordPlay; the plays logged by sqlite3.
    void initTestCase()
    {
        QVERIFY(MusicLibrary::initDatabase());
        PlayHistory::ensureSchema();
        for (const QString& name : {QStringLiteral("Main"), QStringLiteral("oldies")}) {
            MusicLibrary lib;
            lib.load(name);
            Track t;
            t.artist = QStringLiteral("Abba");
            t.title = QStringLiteral("Waterloo");
            t.filePath = QStringLiteral("/music/abba.mp3");
            lib.addTrack(t);
            if (name == QLatin1String("oldies"))
                continue;
            t.title = QStringLiteral("SOS");
            t.filePath = QStringLiteral("/music/sos.mp3");
            lib.addTrack(t);
            t.artist = QStringLiteral("Zed");
            t.title = kCafe;
            t.filePath = QStringLiteral("/music/zed.mp3");
            lib.addTrack(t);
            lib.addStream(QStringLiteral("Radio"), QStringLiteral("http://radio.example/live"));
        }
        for (int i = 0; i < 3; ++i)
            MusicLibrary::recordPlay(QStringLiteral("/music/zed.mp3"), QDateTime(QDate(2025, 6, 2), QTime(11, 0)));
        for (int i = 0; i < 2; ++i)
            MusicLibrary::recordPlay(QStringLiteral("/music/abba.mp3"), QDateTime(QDate(2025, 6, 2), QTime(10, 0)));
        MusicLibrary::recordPlay(QStringLiteral("http://radio.example/live"), QDateTime::currentDateTime());
        const QString sql = QStringLiteral(
            "INSERT INTO play_history(played_at,artist,title,filepath,duration_ms) VALUES"
            "('2025-06-02T08:00:00','Abba','Waterloo','',3600000), ('2025-06-02T09:00:00','Abba','Waterloo','',3600000),"
            "('2025-06-02T10:00:00','Abba','Waterloo','',65000), ('2025-06-02T11:00:00','Zed',%1,'',61500),"
            "('2025-06-02T12:00:00','','jingle.mp3','',0), ('2025-06-02T12:30:00','Zed',%1,'',999);"
            "UPDATE tracks SET date_added='' WHERE title='SOS';")
                                .arg(QStringLiteral("'Café \"Noir\", part 1' || char(10) || 'line two'"));
        QVERIFY(AudioFixtures::run(QStringLiteral("sqlite3"), {MusicLibrary::database().databaseName(), sql}));
        m_dialog = std::make_unique<ReportGeneratorDialog>();
    }

    void reports()
    {
        // It opens on the play log of the last seven days.
        ReportGeneratorDialog fresh;
        const QList<QDateTimeEdit*> period = fresh.findChildren<QDateTimeEdit*>();
        QVERIFY(qAbs(period.at(0)->dateTime().secsTo(period.at(1)->dateTime()) - 7 * 86400) < 120);
        QCOMPARE(shown(*fresh.findChild<QTableView*>()), QStringList{QStringLiteral("Time|Artist|Title|Duration")});

        QCOMPARE(show(0), (QStringList{QStringLiteral("Time|Artist|Title|Duration"),
                                       QStringLiteral("2025-06-02 08:00:00|Abba|Waterloo|60:00"),
                                       QStringLiteral("2025-06-02 09:00:00|Abba|Waterloo|60:00"),
                                       QStringLiteral("2025-06-02 10:00:00|Abba|Waterloo|01:05"),
                                       QStringLiteral("2025-06-02 11:00:00|Zed|%1|01:01").arg(kCafe),
                                       QStringLiteral("2025-06-02 12:00:00||jingle.mp3|--:--"),
                                       QStringLiteral("2025-06-02 12:30:00|Zed|%1|00:00").arg(kCafe)}));
        QCOMPARE(summary(), QStringLiteral("6 plays between 2025-06-02 00:00 and 2025-06-02 23:59"));
        QCOMPARE(show(1), (QStringList{QStringLiteral("Artist|Title|Plays|Total time"),
                                       QStringLiteral("Abba|Waterloo|3|121:05"),
                                       QStringLiteral("Zed|%1|2|01:02").arg(kCafe),
                                       QStringLiteral("|jingle.mp3|1|--:--")}));
        QCOMPARE(summary(), QStringLiteral("3 distinct tracks played in range"));
        show(0, QStringLiteral("2025-06-02T11:00:00"), QStringLiteral("2025-06-02T11:00:00"));
        QCOMPARE(summary(), QStringLiteral("1 plays between 2025-06-02 11:00 and 2025-06-02 11:00"));
        show(1, QStringLiteral("2025-06-02T11:00:00"), QStringLiteral("2025-06-02T11:00:00"));
        QCOMPARE(summary(), QStringLiteral("1 distinct track played in range"));

        const QString today = QDate::currentDate().toString(Qt::ISODate);
        QCOMPARE(show(2), (QStringList{QStringLiteral("Artist|Title|Plays|Last played|Added"),
                                       QStringLiteral("Zed|%1|3|2025-06-02 11:00|%2").arg(kCafe, today),
                                       QStringLiteral("Abba|Waterloo|2|2025-06-02 10:00|%1").arg(today),
                                       QStringLiteral("Abba|Waterloo|2|2025-06-02 10:00|%1").arg(today),
                                       QStringLiteral("Abba|SOS|0|never|")}));
        QCOMPARE(summary(), QStringLiteral("4 tracks in the library, 1 never played"));
    }

    void csvExport()
    {
        const QString dir = testHome().scratch(QStringLiteral("csv"));
        PromptScript script;
        const QStringList table = show(0);
        script.answerFile(dir + QStringLiteral("/day"));
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        QCOMPARE(csvRows(dir + QStringLiteral("/day.csv")), table);
        const QByteArray bytes = readAll(dir + QStringLiteral("/day.csv"));
        QVERIFY(bytes.startsWith("\"Time\",\"Artist\",\"Title\",\"Duration\"\n\"2025-06-02 08:00:00\","));
        QVERIFY(bytes.contains(",\"\",\"jingle.mp3\",") && bytes.contains("\"Café \"\"Noir\"\", part 1\nline two\""));
        QVERIFY(!bytes.contains('\r') && bytes.endsWith("\"\n"));
        // A dot in a folder name is enough to keep the name as typed.
        const QString dotted = testHome().scratch(QStringLiteral("v1.2")) + QStringLiteral("/report");
        script.answerFile(dotted);
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        QCOMPARE(csvRows(dotted), table);

        // A disk that fills up while the report is written: the earlier
        // export stays whole and the operator is told.
        const QString full = dir + QStringLiteral("/day.csv");
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        rlimit small = saved;
        small.rlim_cur = 200;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        script.answerFile(full);
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(readAll(full), bytes);
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{QStringLiteral("day.csv")});
        script.answerFile(dir + QStringLiteral("/missing/x.csv"));
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));

        // Nothing to export or print: neither asks for a file.
        show(0, QStringLiteral("2025-06-03T00:00:00"), QStringLiteral("2025-06-02T00:00:00"));
        QCOMPARE(summary(), QStringLiteral("0 plays between 2025-06-03 00:00 and 2025-06-02 00:00"));
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        clickButton(*m_dialog, QStringLiteral("Print..."));
        QCOMPARE(script.messages(), (QStringList{QStringLiteral("Report exported."), QStringLiteral("Report exported."),
                                                 QStringLiteral("Could not write the file."),
                                                 QStringLiteral("Could not write the file."),
                                                 QStringLiteral("Generate a report first."),
                                                 QStringLiteral("Generate a report first.")}));
        QCOMPARE(script.asked().last().title, QStringLiteral("Print report"));
        QCOMPARE(script.count(Prompts::Kind::SaveFile), 4);
    }

    // A year-sized log fills the table in pages; export right after
    // Generate still writes every row, and the last row can be scrolled to.
    void largeReportFillsEveryRow()
    {
        const QString sql = QStringLiteral(
            "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i < 19999) "
            "INSERT INTO play_history(played_at,artist,title,filepath,duration_ms) "
            "SELECT strftime('%Y-%m-%dT%H:%M:%S', '2024-01-01', '+' || (i * 60) || ' seconds'), "
            "'Artist ' || (i % 97), 'Song ' || i, '', 180000 FROM n;");
        QVERIFY(AudioFixtures::run(QStringLiteral("sqlite3"), {MusicLibrary::database().databaseName(), sql}));
        const QString csv = testHome().scratch(QStringLiteral("large")) + QStringLiteral("/year.csv");
        PromptScript script;
        script.answerFile(csv);
        show(0, QStringLiteral("2024-01-01T00:00:00"), QStringLiteral("2024-12-31T23:59:00"), false);
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        const QStringList rows = csvRows(csv);
        QCOMPARE(rows.size(), 20001);
        QCOMPARE(rows.at(1), QStringLiteral("2024-01-01 00:00:00|Artist 0|Song 0|03:00"));
        QCOMPARE(rows.last(), QStringLiteral("2024-01-14 21:19:00|Artist 17|Song 19999|03:00"));

        auto* table = m_dialog->findChild<QTableView*>();
        QTRY_COMPARE(table->model()->rowCount(), 20000);
        QCOMPARE(summary(), QStringLiteral("20000 plays between 2024-01-01 00:00 and 2024-12-31 23:59"));
        table->scrollToBottom();
        const QModelIndex last = table->model()->index(19999, 2);
        QTRY_VERIFY(table->viewport()->rect().intersects(table->visualRect(last)));
        QCOMPARE(last.data().toString(), QStringLiteral("Song 19999"));
        QCOMPARE(shown(*table), rows);

        // Generating again at once drops the unfinished report for the new one.
        show(0, QStringLiteral("2024-01-01T00:00:00"), QStringLiteral("2024-12-31T23:59:00"), false);
        QCOMPARE(show(0, QStringLiteral("2024-01-01T00:00:00"), QStringLiteral("2024-01-01T00:01:00")).size(), 3);
        QCOMPARE(summary(), QStringLiteral("2 plays between 2024-01-01 00:00 and 2024-01-01 00:01"));
    }

    void printout()
    {
        const QString pdf = testHome().scratch(QStringLiteral("print")) + QStringLiteral("/report.pdf");
        PromptScript script;
        show(1, QStringLiteral("2025-06-02T00:00:00"), QStringLiteral("2025-06-02T23:59:00"), false);
        script.answerDialog([&](QDialog& d) {
            QPrinter* printer = qobject_cast<QPrintDialog*>(&d)->printer();
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(pdf);
            return d.windowTitle() == QLatin1String("Print report") ? int(QDialog::Accepted) : int(QDialog::Rejected);
        });
        clickButton(*m_dialog, QStringLiteral("Print..."));
        QByteArray text;
        QVERIFY(AudioFixtures::run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")}, &text));
        const QString printed = QString::fromUtf8(text).simplified();
        QVERIFY2(printed.startsWith(QStringLiteral("Orchidlantern report "))
                     && printed.contains(QStringLiteral("Artist Title Plays Total time Abba Waterloo 3 121:05 Zed "
                                                        "Café \"Noir\", part 1 line two 2 01:02 jingle.mp3 1 --:-- 3 rows")),
                 qPrintable(printed));
        // A cancelled print dialog prints nothing.
        QVERIFY(QFile::remove(pdf));
        script.answerDialog([](QDialog&) { return int(QDialog::Rejected); });
        clickButton(*m_dialog, QStringLiteral("Print..."));
        QVERIFY(!QFile::exists(pdf));
    }
};

OL_TEST_MAIN(TestReportGenerator)
#include "tst_reportgenerator.moc"
