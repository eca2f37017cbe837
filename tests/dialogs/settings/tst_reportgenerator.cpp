#include "audiofixtures.h"
#include "findwidget.h"
#include "olmain.h"

#include "dialogs/settings/reportgeneratordialog.h"
#include "library/musiclibrary.h"
#include "library/playhistory.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QPrintDialog>
#include <QPrinter>
#include <QTableView>

#include <csignal>
#include <sys/resource.h>

namespace {

const QString kCafe = QStringLiteral("Café \"Noir\", part 1\nline two");
const QString kDay = QStringLiteral("2025-06-02");

bool sqlite(const QString& statements)
{
    QString error;
    const bool ok = AudioFixtures::run(QStringLiteral("sqlite3"),
                                       {MusicLibrary::database().databaseName(), statements}, nullptr, &error);
    if (!ok)
        qWarning().noquote() << error;
    return ok;
}

QString sqlText(const QString& s)
{
    QString q = s;
    q.replace(QLatin1Char('\''), QStringLiteral("''"));
    q.replace(QLatin1Char('\n'), QStringLiteral("' || char(10) || '"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

Track track(const QString& artist, const QString& title, const QString& path)
{
    Track t;
    t.artist = artist;
    t.title = title;
    t.filePath = path;
    return t;
}

// Header labels and cell texts, as the export and the printout read them.
QList<QStringList> tableTexts(const QTableView& table)
{
    const QAbstractItemModel* m = table.model();
    QList<QStringList> out;
    QStringList line;
    for (int c = 0; c < m->columnCount(); ++c)
        line << m->headerData(c, Qt::Horizontal).toString();
    out << line;
    for (int r = 0; r < m->rowCount(); ++r) {
        line.clear();
        for (int c = 0; c < m->columnCount(); ++c)
            line << m->index(r, c).data().toString();
        out << line;
    }
    return out;
}

// The rows of a CSV file as python3's csv module reads them.
QList<QStringList> csvRows(const QString& path)
{
    static const QString script = QStringLiteral(
        "import csv, json, sys\n"
        "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
        "    print(json.dumps(list(csv.reader(f, strict=True))))\n");
    QByteArray out;
    QList<QStringList> rows;
    if (!AudioFixtures::run(QStringLiteral("python3"), {QStringLiteral("-c"), script, path}, &out))
        return rows;
    for (const QJsonValue& row : QJsonDocument::fromJson(out).array()) {
        QStringList fields;
        for (const QJsonValue& f : row.toArray())
            fields << f.toString();
        rows << fields;
    }
    return rows;
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
    QTableView* m_table = nullptr;
    QLabel* m_summary = nullptr;

    void show(int kind, const QString& from, const QString& to)
    {
        m_dialog->findChildren<QDateTimeEdit*>().at(0)->setDateTime(QDateTime::fromString(from, Qt::ISODate));
        m_dialog->findChildren<QDateTimeEdit*>().at(1)->setDateTime(QDateTime::fromString(to, Qt::ISODate));
        m_dialog->findChild<QComboBox*>()->setCurrentIndex(kind);
        clickButton(*m_dialog, QStringLiteral("Generate"));
    }

    void showDay(int kind)
    {
        show(kind, kDay + QStringLiteral("T00:00:00"), kDay + QStringLiteral("T23:59:00"));
    }

private slots:
    // Two libraries, the same file in both, a stream and a track never
    // played; counted through the library's own recordPlay and logged
    // into the play history by sqlite3.
    void initTestCase()
    {
        QVERIFY(MusicLibrary::initDatabase());
        PlayHistory::ensureSchema();
        MusicLibrary main;
        main.load(QStringLiteral("Main"));
        main.addTrack(track(QStringLiteral("Zed"), kCafe, QStringLiteral("/music/zed.mp3")));
        main.addTrack(track(QStringLiteral("Abba"), QStringLiteral("Waterloo"), QStringLiteral("/music/abba.mp3")));
        main.addTrack(track(QStringLiteral("Abba"), QStringLiteral("SOS"), QStringLiteral("/music/sos.mp3")));
        main.addStream(QStringLiteral("Radio"), QStringLiteral("http://radio.example/live"));
        MusicLibrary oldies;
        oldies.load(QStringLiteral("oldies"));
        oldies.addTrack(track(QStringLiteral("Abba"), QStringLiteral("Waterloo"), QStringLiteral("/music/abba.mp3")));
        for (int i = 0; i < 3; ++i)
            MusicLibrary::recordPlay(QStringLiteral("/music/zed.mp3"), QDateTime(QDate(2025, 6, 2), QTime(11, 0)));
        for (int i = 0; i < 2; ++i)
            MusicLibrary::recordPlay(QStringLiteral("/music/abba.mp3"), QDateTime(QDate(2025, 6, 2), QTime(10, 0)));
        MusicLibrary::recordPlay(QStringLiteral("http://radio.example/live"), QDateTime::currentDateTime());

        QStringList plays;
        const auto play = [&](const QString& time, const QString& artist, const QString& title, qint64 ms) {
            plays << QStringLiteral("INSERT INTO play_history(played_at,artist,title,filepath,duration_ms) "
                                    "VALUES('%1T%2',%3,%4,'/music/x.mp3',%5);")
                         .arg(kDay, time, sqlText(artist), sqlText(title))
                         .arg(ms);
        };
        play(QStringLiteral("08:00:00"), QStringLiteral("Abba"), QStringLiteral("Waterloo"), 3600000);
        play(QStringLiteral("09:00:00"), QStringLiteral("Abba"), QStringLiteral("Waterloo"), 3600000);
        play(QStringLiteral("10:00:00"), QStringLiteral("Abba"), QStringLiteral("Waterloo"), 65000);
        play(QStringLiteral("11:00:00"), QStringLiteral("Zed"), kCafe, 61500);
        play(QStringLiteral("12:00:00"), QString(), QStringLiteral("jingle.mp3"), 0);
        play(QStringLiteral("12:30:00"), QStringLiteral("Zed"), kCafe, 999);
        plays << QStringLiteral("UPDATE tracks SET date_added='' WHERE title='SOS';");
        QVERIFY(sqlite(plays.join(QLatin1Char('\n'))));

        m_dialog = std::make_unique<ReportGeneratorDialog>();
        m_table = m_dialog->findChild<QTableView*>();
        m_summary = m_dialog->findChildren<QLabel*>().last();
    }

    void reports()
    {
        // It opens on the play log of the last seven days.
        ReportGeneratorDialog fresh;
        QCOMPARE(fresh.findChild<QComboBox*>()->currentIndex(), 0);
        const qint64 span = fresh.findChildren<QDateTimeEdit*>().at(0)->dateTime().secsTo(
            fresh.findChildren<QDateTimeEdit*>().at(1)->dateTime());
        QVERIFY2(qAbs(span - 7 * 86400) < 120, qPrintable(QString::number(span)));
        QCOMPARE(tableTexts(*fresh.findChild<QTableView*>()),
                 (QList<QStringList>{{QStringLiteral("Time"), QStringLiteral("Artist"), QStringLiteral("Title"),
                                      QStringLiteral("Duration")}}));

        showDay(0);
        const QList<QStringList> log{
            {QStringLiteral("Time"), QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Duration")},
            {kDay + QStringLiteral(" 08:00:00"), QStringLiteral("Abba"), QStringLiteral("Waterloo"), QStringLiteral("60:00")},
            {kDay + QStringLiteral(" 09:00:00"), QStringLiteral("Abba"), QStringLiteral("Waterloo"), QStringLiteral("60:00")},
            {kDay + QStringLiteral(" 10:00:00"), QStringLiteral("Abba"), QStringLiteral("Waterloo"), QStringLiteral("01:05")},
            {kDay + QStringLiteral(" 11:00:00"), QStringLiteral("Zed"), kCafe, QStringLiteral("01:01")},
            {kDay + QStringLiteral(" 12:00:00"), QString(), QStringLiteral("jingle.mp3"), QStringLiteral("--:--")},
            {kDay + QStringLiteral(" 12:30:00"), QStringLiteral("Zed"), kCafe, QStringLiteral("00:00")},
        };
        QCOMPARE(tableTexts(*m_table), log);
        QCOMPARE(m_summary->text(), QStringLiteral("6 plays between 2025-06-02 00:00 and 2025-06-02 23:59"));
        QCOMPARE(m_table->editTriggers(), QAbstractItemView::NoEditTriggers);

        showDay(1);
        QCOMPARE(tableTexts(*m_table),
                 (QList<QStringList>{{QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Plays"), QStringLiteral("Total time")},
                                     {QStringLiteral("Abba"), QStringLiteral("Waterloo"), QStringLiteral("3"), QStringLiteral("121:05")},
                                     {QStringLiteral("Zed"), kCafe, QStringLiteral("2"), QStringLiteral("01:02")},
                                     {QString(), QStringLiteral("jingle.mp3"), QStringLiteral("1"), QStringLiteral("--:--")}}));
        QCOMPARE(m_summary->text(), QStringLiteral("3 distinct tracks played in range"));

        // One play keeps the plural word; one counted pair does not.
        show(0, kDay + QStringLiteral("T11:00:00"), kDay + QStringLiteral("T11:00:00"));
        QCOMPARE(m_summary->text(), QStringLiteral("1 plays between 2025-06-02 11:00 and 2025-06-02 11:00"));
        show(1, kDay + QStringLiteral("T11:00:00"), kDay + QStringLiteral("T11:00:00"));
        QCOMPARE(m_summary->text(), QStringLiteral("1 distinct track played in range"));
        show(0, QStringLiteral("2025-06-03T00:00:00"), kDay + QStringLiteral("T00:00:00"));
        QCOMPARE(m_table->model()->rowCount(), 0);
        QCOMPARE(m_summary->text(), QStringLiteral("0 plays between 2025-06-03 00:00 and 2025-06-02 00:00"));

        // Every library, streams left out, the file of two libraries twice.
        showDay(2);
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        QCOMPARE(tableTexts(*m_table),
                 (QList<QStringList>{{QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Plays"), QStringLiteral("Last played"), QStringLiteral("Added")},
                                     {QStringLiteral("Zed"), kCafe, QStringLiteral("3"), QStringLiteral("2025-06-02 11:00"), today},
                                     {QStringLiteral("Abba"), QStringLiteral("Waterloo"), QStringLiteral("2"), QStringLiteral("2025-06-02 10:00"), today},
                                     {QStringLiteral("Abba"), QStringLiteral("Waterloo"), QStringLiteral("2"), QStringLiteral("2025-06-02 10:00"), today},
                                     {QStringLiteral("Abba"), QStringLiteral("SOS"), QStringLiteral("0"), QStringLiteral("never"), QString()}}));
        QCOMPARE(m_summary->text(), QStringLiteral("4 tracks in the library, 1 never played"));
    }

    void csvExport()
    {
        const QString dir = testHome().scratch(QStringLiteral("csv"));
        PromptScript script;
        showDay(0);
        script.answerFile(dir + QStringLiteral("/day"));
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        QCOMPARE(script.messages(), QStringList{QStringLiteral("Report exported.")});
        QCOMPARE(csvRows(dir + QStringLiteral("/day.csv")), tableTexts(*m_table));
        const QByteArray bytes = readAll(dir + QStringLiteral("/day.csv"));
        QVERIFY(bytes.startsWith("\"Time\",\"Artist\",\"Title\",\"Duration\"\n\"2025-06-02 08:00:00\","));
        QVERIFY(bytes.contains(",\"\",\"jingle.mp3\","));
        QVERIFY(bytes.contains("\"Café \"\"Noir\"\", part 1\nline two\""));
        QVERIFY(!bytes.contains('\r') && bytes.endsWith("\"\n"));

        // A dot in a folder name is enough to keep the name as typed.
        const QString dotted = testHome().scratch(QStringLiteral("v1.2")) + QStringLiteral("/report");
        script.answerFile(dotted);
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        QCOMPARE(csvRows(dotted).size(), 7);

        script.answerFile(dir + QStringLiteral("/missing/x.csv"));
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        QCOMPARE(script.messages().last(), QStringLiteral("Could not write the file."));

        // A disk that fills up while the report is written: the earlier
        // export stays whole and the operator is told.
        const QString full = dir + QStringLiteral("/full.csv");
        QFile old(full);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("earlier\n");
        old.close();
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 200;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        script.answerFile(full);
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(script.messages().size(), 4);
        QCOMPARE(script.messages().last(), QStringLiteral("Could not write the file."));
        QCOMPARE(readAll(full), QByteArray("earlier\n"));
        QCOMPARE(QDir(dir).entryList(QDir::Files), (QStringList{QStringLiteral("day.csv"), QStringLiteral("full.csv")}));

        // With nothing to export or print, neither asks for a file.
        show(0, QStringLiteral("2025-06-03T00:00:00"), kDay + QStringLiteral("T00:00:00"));
        clickButton(*m_dialog, QStringLiteral("Export CSV..."));
        clickButton(*m_dialog, QStringLiteral("Print..."));
        QCOMPARE(script.messages().mid(4), (QStringList{QStringLiteral("Generate a report first."),
                                                        QStringLiteral("Generate a report first.")}));
        QCOMPARE(script.asked().last().title, QStringLiteral("Print report"));
        QCOMPARE(script.count(Prompts::Kind::SaveFile), 4);
        QCOMPARE(script.count(Prompts::Kind::Dialog), 0);
    }

    void printout()
    {
        const QString pdf = testHome().scratch(QStringLiteral("print")) + QStringLiteral("/report.pdf");
        PromptScript script;
        showDay(1);
        QString title;
        script.answerDialog([&](QDialog& d) {
            title = d.windowTitle();
            QPrinter* printer = qobject_cast<QPrintDialog*>(&d)->printer();
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(pdf);
            return int(QDialog::Accepted);
        });
        clickButton(*m_dialog, QStringLiteral("Print..."));
        QCOMPARE(title, QStringLiteral("Print report"));
        QByteArray text;
        QVERIFY(AudioFixtures::run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")}, &text));
        const QString printed = QString::fromUtf8(text);
        QStringList words = printed.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        QCOMPARE(words.mid(0, 2), (QStringList{QStringLiteral("Orchidlantern"), QStringLiteral("report")}));
        for (const QString& expected : {QStringLiteral("Total time"), QStringLiteral("121:05"),
                                        QStringLiteral("Café \"Noir\", part 1"), QStringLiteral("jingle.mp3")})
            QVERIFY2(printed.contains(expected), qPrintable(expected + QStringLiteral(" in:\n") + printed));
        QVERIFY2(printed.contains(QRegularExpression(QStringLiteral("jingle.mp3.*\\n\\s*3 rows\\s"))), qPrintable(printed));

        // A cancelled print dialog prints nothing.
        QVERIFY(QFile::remove(pdf));
        script.answerDialog([](QDialog&) { return int(QDialog::Rejected); });
        clickButton(*m_dialog, QStringLiteral("Print..."));
        QVERIFY(!QFile::exists(pdf));
    }
};

OL_TEST_MAIN(TestReportGenerator)
#include "tst_reportgenerator.moc"
