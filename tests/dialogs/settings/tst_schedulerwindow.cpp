#include "audiofixtures.h"
#include "findwidget.h"
#include "olmain.h"

#include "automation/eventscheduler.h"
#include "dialogs/settings/adsschedulerdialog.h"
#include "dialogs/settings/eventeditordialog.h"
#include "dialogs/settings/schedulerwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QGroupBox>
#include <QListWidget>
#include <QLabel>
#include <QLocale>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTimeEdit>
#include <QTreeWidget>

namespace {

const QString kActionHint = QStringLiteral("file, stream URL, or the command  stop");
const QString kCreate = QStringLiteral("Create Events \u2192 Scheduler");

// jq's compact answer for a filter over a file.
QString jq(const QString& filter, const QString& file)
{
    QByteArray out;
    QString error;
    if (!AudioFixtures::run(QStringLiteral("jq"), {QStringLiteral("-c"), filter, file}, &out, &error))
        return QStringLiteral("jq failed: ") + error;
    return QString::fromUtf8(out).trimmed();
}

QStringList rowTexts(const QTreeWidget& tree, int row)
{
    QStringList out;
    if (QTreeWidgetItem* item = tree.topLevelItem(row)) {
        for (int c = 0; c < tree.columnCount(); ++c)
            out << item->text(c);
    }
    return out;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

ScheduledEvent makeEvent(const QString& action, const QTime& time, bool enabled = true)
{
    ScheduledEvent e;
    e.action = action;
    e.time = time;
    e.enabled = enabled;
    return e;
}

// What the event editor showed when a test's driver opened it.
struct EditorView
{
    QTime time;
    QStringList daysTicked;
    bool once = true;
    bool dateEnabled = true;
    QDate date;
    int insertMode = -1;
    bool startPlayback = true;
    bool enabled = false;
    QString name;
    QString action;
};

EditorView look(const QDialog& d)
{
    EditorView v;
    v.time = d.findChild<QTimeEdit*>()->time();
    for (QCheckBox* box : d.findChildren<QCheckBox*>()) {
        if (box->text().size() == 3 && box->isChecked())
            v.daysTicked << box->text();
    }
    v.once = findByText<QCheckBox>(d, QStringLiteral("Run once on date:"))->isChecked();
    v.dateEnabled = d.findChild<QDateEdit*>()->isEnabled();
    v.date = d.findChild<QDateEdit*>()->date();
    v.insertMode = d.findChild<QComboBox*>()->currentIndex();
    v.startPlayback = findByText<QCheckBox>(d, QStringLiteral("Start playing immediately"))->isChecked();
    v.enabled = findByText<QCheckBox>(d, QStringLiteral("Event enabled"))->isChecked();
    v.name = findByPlaceholder(d, QStringLiteral("optional label"))->text();
    v.action = findByPlaceholder(d, kActionHint)->text();
    return v;
}

QGroupBox* findByTitle(const QWidget& parent, const QString& title)
{
    for (QGroupBox* box : parent.findChildren<QGroupBox*>()) {
        if (box->title() == title)
            return box;
    }
    return nullptr;
}

void tick(QDialog& d, const QString& text, bool on)
{
    findByText<QCheckBox>(d, text)->setChecked(on);
}

} // namespace

class TestSchedulerWindow : public QObject
{
    Q_OBJECT

    EventScheduler* m_scheduler = nullptr;
    const QString m_eventsFile = EventScheduler::storagePath();

private slots:
    void init()
    {
        m_scheduler = new EventScheduler;
        m_scheduler->setActive(false);
        m_scheduler->setEvents({});
    }

    void cleanup()
    {
        delete m_scheduler;
    }

    // Add, Edit, Run Now and Delete through the window and the editor, read
    // back from events.json.
    void eventsMadeInTheWindow()
    {
        SchedulerWindow w(m_scheduler);
        auto* tree = w.findChild<QTreeWidget*>();
        auto* status = w.findChild<QLabel*>();
        QSignalSpy run(&w, &SchedulerWindow::runRequested);
        PromptScript script;

        EditorView fresh;
        QString afterCancelledBrowse;
        script.answerDialog([&](QDialog& d) {
            fresh = look(d);
            script.answer(Prompts::Kind::OpenFile, {});
            clickButton(d, QStringLiteral("Browse..."));
            afterCancelledBrowse = findByPlaceholder(d, kActionHint)->text();
            script.answerFile(QStringLiteral("  /music/Top Hits/news.mp3  "));
            clickButton(d, QStringLiteral("Browse..."));
            findByPlaceholder(d, QStringLiteral("optional label"))->setText(QStringLiteral("   "));
            d.findChild<QTimeEdit*>()->setTime(QTime(18, 30, 45));
            tick(d, QStringLiteral("Mon"), true);
            tick(d, QStringLiteral("Wed"), true);
            // A date chosen and then unticked is not stored.
            tick(d, QStringLiteral("Run once on date:"), true);
            d.findChild<QDateEdit*>()->setDate(QDate(2026, 3, 5));
            tick(d, QStringLiteral("Run once on date:"), false);
            d.findChild<QComboBox*>()->setCurrentIndex(2);
            tick(d, QStringLiteral("Start playing immediately"), true);
            findByPlaceholder(d, QStringLiteral("e.g. 764C, 1D56  (blank = no DTMF)"))->setText(QStringLiteral(" 764C, 1D56 "));
            tick(d, QStringLiteral("DTMF Only - do not start if no tone is heard"), true);
            return int(QDialog::Accepted);
        });
        QVERIFY(clickButton(w, QStringLiteral("Add...")));
        QCOMPARE(fresh.time, QTime(0, 0));
        QVERIFY(fresh.daysTicked.isEmpty());
        QVERIFY(!fresh.once && !fresh.dateEnabled);
        QCOMPARE(fresh.date, QDate::currentDate());
        QCOMPARE(fresh.insertMode, 0);
        QVERIFY(!fresh.startPlayback && fresh.enabled);
        QCOMPARE(afterCancelledBrowse, QString());

        QCOMPARE(jq(QStringLiteral(".[] | [.name, .action, .time, (.days | sort), .date, .enabled, .insertMode, "
                                   ".startPlayback, .dtmfStart, .dtmfEnd, .dtmfOnly]"),
                    m_eventsFile),
                 QStringLiteral("[\"\",\"/music/Top Hits/news.mp3\",\"18:30:45\",[1,3],\"\",true,2,true,"
                                "\"764C, 1D56\",null,true]"));
        QCOMPARE(rowTexts(*tree, 0), (QStringList{QStringLiteral("18:30"), QStringLiteral("Mon,Wed"),
                                                  QStringLiteral("news.mp3"), QStringLiteral("Replace playlist"),
                                                  QString(), QStringLiteral("Yes")}));

        // An accepted event without an action is dropped; a cancelled one too.
        script.answerDialog([](QDialog&) { return int(QDialog::Accepted); });
        clickButton(w, QStringLiteral("Add..."));
        script.answerDialog([](QDialog& d) {
            findByPlaceholder(d, kActionHint)->setText(QStringLiteral("stop"));
            return int(QDialog::Rejected);
        });
        clickButton(w, QStringLiteral("Add..."));
        QCOMPARE(m_scheduler->events().size(), 1);

        // Nothing is current after a refresh: Edit, Run Now and Delete do nothing.
        for (const QString& b : {QStringLiteral("Edit..."), QStringLiteral("Run Now"), QStringLiteral("Delete")})
            clickButton(w, b);
        QCOMPARE(m_scheduler->events().size(), 1);
        QCOMPARE(run.count(), 0);

        EditorView edited;
        script.answerDialog([&](QDialog& d) {
            edited = look(d);
            tick(d, QStringLiteral("Mon"), false);
            tick(d, QStringLiteral("Wed"), false);
            tick(d, QStringLiteral("Run once on date:"), true);
            d.findChild<QDateEdit*>()->setDate(QDate(2026, 3, 5));
            tick(d, QStringLiteral("Event enabled"), false);
            return int(QDialog::Accepted);
        });
        tree->setCurrentItem(tree->topLevelItem(0));
        clickButton(w, QStringLiteral("Edit..."));
        QCOMPARE(edited.time, QTime(18, 30, 45));
        QCOMPARE(edited.daysTicked, (QStringList{QStringLiteral("Mon"), QStringLiteral("Wed")}));
        QCOMPARE(edited.insertMode, 2);
        QCOMPARE(edited.action, QStringLiteral("/music/Top Hits/news.mp3"));
        QCOMPARE(jq(QStringLiteral(".[0] | [.days, .date, .enabled]"), m_eventsFile),
                 QStringLiteral("[[],\"2026-03-05\",false]"));
        QCOMPARE(rowTexts(*tree, 0).mid(1), (QStringList{QStringLiteral("5 Mar 2026"), QStringLiteral("news.mp3"),
                                                         QStringLiteral("Replace playlist"), QString(),
                                                         QStringLiteral("No")}));
        for (int c = 0; c < tree->columnCount(); ++c)
            QCOMPARE(tree->topLevelItem(0)->foreground(c).color(), QColor(150, 150, 150));
        QCOMPARE(status->text(), QStringLiteral("1 event"));

        // Run Now hands over a disabled event as it stands.
        tree->setCurrentItem(tree->topLevelItem(0));
        clickButton(w, QStringLiteral("Run Now"));
        QCOMPARE(run.count(), 1);
        QCOMPARE(run.at(0).at(0).value<ScheduledEvent>(), m_scheduler->events().at(0));

        tree->setCurrentItem(tree->topLevelItem(0));
        clickButton(w, QStringLiteral("Delete"));
        QCOMPARE(tree->topLevelItemCount(), 0);
        QCOMPARE(status->text(), QStringLiteral("0 events"));
        QCOMPARE(jq(QStringLiteral("length"), m_eventsFile), QStringLiteral("0"));

        // The two flags go to the scheduler; Close only hides.
        findByText<QCheckBox>(w, QStringLiteral("Scheduler On"))->setChecked(true);
        findByText<QCheckBox>(w, QStringLiteral("Manual (hold events)"))->setChecked(true);
        QVERIFY(m_scheduler->isActive() && m_scheduler->isManual());
        w.show();
        clickButton(w, QStringLiteral("Close"));
        QVERIFY(w.isHidden());
    }

    void rowsAndStatusLine()
    {
        const QDate tomorrow = QDate::currentDate().addDays(1);
        ScheduledEvent news = makeEvent(QStringLiteral("C:/News/top.mp3"), QTime(6, 0));
        news.days = {tomorrow.dayOfWeek()};
        ScheduledEvent named = makeEvent(QStringLiteral("  Stop "), QTime(7, 5, 30), false);
        named.name = QStringLiteral("Night");
        named.insertMode = 5;
        m_scheduler->setEvents({named, news, makeEvent(QStringLiteral("STOP"), QTime(1, 0), false),
                                makeEvent(QStringLiteral("stopwatch.mp3"), QTime(1, 0), false),
                                makeEvent(QStringLiteral("/ads/"), QTime(1, 0), false),
                                makeEvent(QStringLiteral("volume 50"), QTime(1, 0), false)});
        SchedulerWindow w(m_scheduler);
        const auto* tree = w.findChild<QTreeWidget*>();
        QCOMPARE(rowTexts(*tree, 0), (QStringList{QStringLiteral("07:05"), QStringLiteral("Daily"),
                                                  QStringLiteral(">> STOP <<"), QStringLiteral("Queue next"),
                                                  QStringLiteral("Night"), QStringLiteral("No")}));
        QStringList actions;
        for (int r = 1; r < tree->topLevelItemCount(); ++r)
            actions << tree->topLevelItem(r)->text(2);
        QCOMPARE(actions, (QStringList{QStringLiteral("top.mp3"), QStringLiteral(">> STOP <<"),
                                       QStringLiteral("stopwatch.mp3"), QStringLiteral("/ads/"),
                                       QStringLiteral("volume 50")}));
        // The next occurrence names the action of an unnamed event.
        QCOMPARE(w.findChild<QLabel*>()->text(),
                 QStringLiteral("6 events  \u2022  next: C:/News/top.mp3 %1 at 06:00")
                     .arg(QLocale::c().toString(tomorrow, QStringLiteral("ddd"))));
        // Only disabled events: no next part.
        m_scheduler->removeEvent(1);
        QCOMPARE(w.findChild<QLabel*>()->text(), QStringLiteral("5 events"));
    }

    // Save List and Load List through the file prompts; a file that holds no
    // list of events, or a save that fails, is told to the operator.
    void listFiles()
    {
        const QString dir = testHome().scratch(QStringLiteral("lists"));
        QVERIFY(!dir.contains(QLatin1Char('.')));
        m_scheduler->setEvents({makeEvent(QStringLiteral("/music/a.mp3"), QTime(9, 0))});
        SchedulerWindow w(m_scheduler);
        const auto* tree = w.findChild<QTreeWidget*>();
        PromptScript script;
        const QString dotted = testHome().scratch(QStringLiteral("my.folder")) + QStringLiteral("/backup");
        for (const QString& name : {dir + QStringLiteral("/backup"), dir + QStringLiteral("/backup.json"), dotted}) {
            script.answerFile(name);
            clickButton(w, QStringLiteral("Save List..."));
        }
        for (const QString& written : {dir + QStringLiteral("/backup.olevents"), dir + QStringLiteral("/backup.json"), dotted})
            QCOMPARE(jq(QStringLiteral("."), written), jq(QStringLiteral("."), m_eventsFile));
        QVERIFY(script.messages().isEmpty());

        script.answerFile(dir + QStringLiteral("/missing/x.olevents"));
        clickButton(w, QStringLiteral("Save List..."));
        QCOMPARE(script.messages().size(), 1);
        QVERIFY(script.messages().last().startsWith(QStringLiteral("Could not save the event list to ")));

        const QByteArray before = readAll(m_eventsFile);
        const QString objectFile = dir + QStringLiteral("/object.olevents");
        QFile f(objectFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(R"({"events": [{"action": "/x.mp3", "time": "10:00:00"}]})");
        f.close();
        for (const QString& refused : {objectFile, dir + QStringLiteral("/nothing.olevents")}) {
            script.answerFile(refused);
            clickButton(w, QStringLiteral("Load List..."));
            QVERIFY2(script.messages().last().startsWith(QStringLiteral("Could not load ") + refused),
                     qPrintable(script.messages().last()));
        }
        QCOMPARE(script.messages().size(), 3);
        QCOMPARE(readAll(m_eventsFile), before);
        QCOMPARE(tree->topLevelItemCount(), 1);

        // Written by hand: any member order, members missing or mistyped.
        const QString hand = dir + QStringLiteral("/hand.olevents");
        f.setFileName(hand);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(R"([
            {"time": "07:05:30", "action": "  Stop ", "enabled": 1, "days": [5, 1, "3"], "insertMode": 5, "name": 7},
            {"insertMode": 7, "action": "/ads/", "time": "7:05", "enabled": false, "date": "2026-03-05", "x": {}},
            {"startPlayback": "yes", "action": "volume 50", "time": "23:59:00", "days": "Mon", "dtmfOnly": true},
            42
        ])");
        f.close();
        script.answerFile(hand);
        clickButton(w, QStringLiteral("Load List..."));
        QCOMPARE(script.messages().size(), 3);
        const QList<QStringList> rows{
            {QStringLiteral("07:05"), QStringLiteral("Mon,Fri"), QStringLiteral(">> STOP <<"), QStringLiteral("Queue next"), QString(), QStringLiteral("Yes")},
            {QString(), QStringLiteral("5 Mar 2026"), QStringLiteral("/ads/"), QStringLiteral("Queue next"), QString(), QStringLiteral("No")},
            {QStringLiteral("23:59"), QStringLiteral("Daily"), QStringLiteral("volume 50"), QStringLiteral("Queue next"), QString(), QStringLiteral("Yes")},
            {QString(), QStringLiteral("Daily"), QString(), QStringLiteral("Queue next"), QString(), QStringLiteral("Yes")},
        };
        QCOMPARE(tree->topLevelItemCount(), rows.size());
        for (int r = 0; r < rows.size(); ++r)
            QCOMPARE(rowTexts(*tree, r), rows.at(r));
        QCOMPARE(jq(QStringLiteral("[.[] | [(.days | sort), .insertMode, .startPlayback, .dtmfOnly]]"), m_eventsFile),
                 QStringLiteral("[[[0,1,5],5,false,null],[[],7,false,null],[[],0,false,true],[[],0,false,null]]"));

        // Opened by a double click, an event with no valid time shows 08:00:00,
        // and one with an insert mode no entry stands for is stored as 0.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        EditorView view;
        script.answerDialog([&](QDialog& d) {
            view = look(d);
            return int(QDialog::Accepted);
        });
        const QRect rect = tree->visualItemRect(tree->topLevelItem(1));
        // QTest's double click is the second press alone.
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseRelease(tree->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(view.time, QTime(8, 0));
        QCOMPARE(view.insertMode, 0);
        QVERIFY(view.once && view.dateEnabled);
        QCOMPARE(jq(QStringLiteral(".[1] | [.time, .insertMode, .date, .enabled]"), m_eventsFile),
                 QStringLiteral("[\"08:00:00\",0,\"2026-03-05\",false]"));
    }

    void adsGrid()
    {
        AdsSchedulerDialog d(m_scheduler);
        auto* grid = d.findChild<QTableWidget*>();
        const auto headers = [grid](Qt::Orientation o) {
            QStringList out;
            const int n = o == Qt::Horizontal ? grid->columnCount() : grid->rowCount();
            for (int i = 0; i < n; ++i) {
                const QTableWidgetItem* h = o == Qt::Horizontal ? grid->horizontalHeaderItem(i) : grid->verticalHeaderItem(i);
                out << (h ? h->text() : QString());
            }
            return out;
        };
        QCOMPARE(grid->rowCount(), 0);
        QCOMPARE(headers(Qt::Horizontal), (QStringList{QStringLiteral("10:20"), QStringLiteral("11:20")}));
        PromptScript script;
        clickButton(d, kCreate);
        QCOMPARE(script.messages(), QStringList{QStringLiteral("Tick at least one grid cell to schedule an ad in a block.")});

        script.answerFiles({QStringLiteral("/spots/Café, \"big\".mp3"), QStringLiteral("/spots/b.mp3")});
        clickButton(d, QStringLiteral("Add..."));
        QCOMPARE(headers(Qt::Vertical), (QStringList{QStringLiteral("Café, \"big\".mp3"), QStringLiteral("b.mp3")}));
        auto* time = d.findChild<QTimeEdit*>();
        time->setTime(QTime(9, 15));
        clickButton(d, QStringLiteral("Add"));
        grid->item(0, 0)->setCheckState(Qt::Checked);
        // The same block again adds no column but clears every tick.
        time->setTime(QTime(10, 20));
        clickButton(d, QStringLiteral("Add"));
        QCOMPARE(headers(Qt::Horizontal),
                 (QStringList{QStringLiteral("10:20"), QStringLiteral("11:20"), QStringLiteral("09:15")}));
        QCOMPARE(grid->item(0, 0)->checkState(), Qt::Unchecked);
        QVERIFY(!(grid->item(0, 0)->flags() & Qt::ItemIsEditable));

        grid->item(0, 0)->setCheckState(Qt::Checked);
        grid->item(0, 2)->setCheckState(Qt::Checked);
        grid->item(1, 1)->setCheckState(Qt::Checked);
        findByText<QCheckBox>(d, QStringLiteral("Sat"))->setChecked(false);
        findByText<QCheckBox>(d, QStringLiteral("Sun"))->setChecked(false);
        clickButton(d, kCreate);
        QCOMPARE(script.messages().last(), QStringLiteral("Created 3 ad events in the scheduler."));
        QCOMPARE(jq(QStringLiteral("[.[] | [.name, .action, .time, (.days | sort), .date, .insertMode, .enabled, "
                                   ".startPlayback]]"),
                    m_eventsFile),
                 QStringLiteral("[[\"Ad: Café, \\\"big\\\".mp3\",\"/spots/Café, \\\"big\\\".mp3\",\"10:20:00\","
                                "[1,2,3,4,5],\"\",0,true,false],"
                                "[\"Ad: Café, \\\"big\\\".mp3\",\"/spots/Café, \\\"big\\\".mp3\",\"09:15:00\","
                                "[1,2,3,4,5],\"\",0,true,false],"
                                "[\"Ad: b.mp3\",\"/spots/b.mp3\",\"11:20:00\",[1,2,3,4,5],\"\",0,true,false]]"));
        // The ticks stay: pressing again makes them all again.
        clickButton(d, kCreate);
        QCOMPARE(m_scheduler->events().size(), 6);

        // All days, or none, give events without weekdays.
        m_scheduler->setEvents({});
        auto* adsBox = findByTitle(d, QStringLiteral("Advertisements"));
        adsBox->findChild<QListWidget*>()->setCurrentRow(0);
        clickButton(*adsBox, QStringLiteral("Remove"));
        QCOMPARE(headers(Qt::Vertical), QStringList{QStringLiteral("b.mp3")});
        grid->item(0, 1)->setCheckState(Qt::Checked);
        for (bool on : {true, false}) {
            for (const QString& day : {QStringLiteral("Mon"), QStringLiteral("Tue"), QStringLiteral("Wed"),
                                       QStringLiteral("Thu"), QStringLiteral("Fri"), QStringLiteral("Sat"),
                                       QStringLiteral("Sun")})
                findByText<QCheckBox>(d, day)->setChecked(on);
            clickButton(d, kCreate);
            QCOMPARE(script.messages().last(), QStringLiteral("Created 1 ad event in the scheduler."));
        }
        QCOMPARE(jq(QStringLiteral("[.[] | [.time, .days]]"), m_eventsFile),
                 QStringLiteral("[[\"11:20:00\",[]],[\"11:20:00\",[]]]"));

        // The exported list carries the same events; closing creates nothing.
        SchedulerWindow w(m_scheduler);
        QCOMPARE(w.findChild<QTreeWidget*>()->topLevelItem(0)->text(1), QStringLiteral("Daily"));
        const QString exported = testHome().scratch(QStringLiteral("ads")) + QStringLiteral("/ads.olevents");
        script.answerFile(exported);
        clickButton(w, QStringLiteral("Save List..."));
        QCOMPARE(jq(QStringLiteral("."), exported), jq(QStringLiteral("."), m_eventsFile));
        grid->item(0, 0)->setCheckState(Qt::Checked);
        clickButton(d, QStringLiteral("Close"));
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(m_scheduler->events().size(), 2);
    }
};

OL_TEST_MAIN(TestSchedulerWindow)
#include "tst_schedulerwindow.moc"
