#include "audiofixtures.h"
#include "findwidget.h"
#include "olmain.h"

#include "automation/eventscheduler.h"
#include "dialogs/settings/adsschedulerdialog.h"
#include "dialogs/settings/schedulerwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTimeEdit>
#include <QTreeWidget>

namespace {

const QString kActionHint = QStringLiteral("file, stream URL, or the command  stop");

// jq's compact answer for a filter over a file.
QString jq(const QString& filter, const QString& file)
{
    QByteArray out;
    AudioFixtures::run(QStringLiteral("jq"), {QStringLiteral("-c"), filter, file}, &out);
    return QString::fromUtf8(out).trimmed();
}

// Each row's cells joined by "|".
QStringList rows(const QTreeWidget& tree)
{
    QStringList out;
    for (int r = 0; r < tree.topLevelItemCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < tree.columnCount(); ++c)
            cells << tree.topLevelItem(r)->text(c);
        out << cells.join(QLatin1Char('|'));
    }
    return out;
}

void tick(const QWidget& w, const QString& text, bool on)
{
    findByText<QCheckBox>(w, text)->setChecked(on);
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
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

    void cleanup() { delete m_scheduler; }

    // Add, Edit, Run Now and Delete through the window and the editor, read
    // back from events.json.
    void eventsMadeInTheWindow()
    {
        SchedulerWindow w(m_scheduler);
        auto* tree = w.findChild<QTreeWidget*>();
        QSignalSpy run(&w, &SchedulerWindow::runRequested);
        PromptScript script;
        QString opened;
        const QDate tomorrow = QDate::currentDate().addDays(1);
        script.answerDialog([&](QDialog& d) {
            opened = d.findChild<QTimeEdit*>()->time().toString() + d.findChild<QDateEdit*>()->date().toString()
                     + QString::number(d.findChild<QDateEdit*>()->isEnabled());
            script.answerFile(QStringLiteral("  /music/Top Hits/news.mp3  "));
            clickButton(d, QStringLiteral("Browse..."));
            findByPlaceholder(d, QStringLiteral("optional label"))->setText(QStringLiteral("   "));
            d.findChild<QTimeEdit*>()->setTime(QTime(6, 30, 45));
            tick(d, QLocale::c().toString(tomorrow, QStringLiteral("ddd")), true);
            // A date chosen and then unticked is not stored.
            tick(d, QStringLiteral("Run once on date:"), true);
            tick(d, QStringLiteral("Run once on date:"), false);
            d.findChild<QComboBox*>()->setCurrentIndex(2);
            tick(d, QStringLiteral("Start playing immediately"), true);
            findByPlaceholder(d, QStringLiteral("e.g. 764C, 1D56  (blank = no DTMF)"))->setText(QStringLiteral(" 764C "));
            return int(QDialog::Accepted);
        });
        script.answerDialog([](QDialog&) { return int(QDialog::Accepted); }); // no action: dropped
        clickButton(w, QStringLiteral("Add..."));
        clickButton(w, QStringLiteral("Add..."));
        QCOMPARE(opened, QStringLiteral("00:00:00") + QDate::currentDate().toString() + QStringLiteral("0"));
        QCOMPARE(jq(QStringLiteral(".[] | [.name, .action, .time, .days, .date, .enabled, .insertMode, .startPlayback, "
                                   ".dtmfStart, .dtmfOnly]"),
                    m_eventsFile),
                 QStringLiteral("[\"\",\"/music/Top Hits/news.mp3\",\"06:30:00\",[%1],\"\",true,2,true,\"764C\",null]")
                     .arg(tomorrow.dayOfWeek()));
        QCOMPARE(rows(*tree), QStringList{QStringLiteral("06:30|%1|news.mp3|Replace playlist||Yes")
                                              .arg(QLocale::c().toString(tomorrow, QStringLiteral("ddd")))});
        QCOMPARE(w.findChild<QLabel*>()->text(),
                 QStringLiteral("1 event  \u2022  next: /music/Top Hits/news.mp3 %1 at 06:30")
                     .arg(QLocale::c().toString(tomorrow, QStringLiteral("ddd"))));

        script.answerDialog([&](QDialog& d) {
            opened = d.findChild<QTimeEdit*>()->time().toString();
            tick(d, QStringLiteral("Run once on date:"), true);
            d.findChild<QDateEdit*>()->setDate(QDate(2026, 3, 5));
            tick(d, QLocale::c().toString(tomorrow, QStringLiteral("ddd")), false);
            tick(d, QStringLiteral("Event enabled"), false);
            return int(QDialog::Accepted);
        });
        tree->setCurrentItem(tree->topLevelItem(0));
        clickButton(w, QStringLiteral("Edit..."));
        // The seconds given were not kept: an event fires in its minute.
        QCOMPARE(opened, QStringLiteral("06:30:00"));
        QCOMPARE(jq(QStringLiteral(".[0] | [.days, .date, .enabled]"), m_eventsFile), QStringLiteral("[[],\"2026-03-05\",false]"));
        QCOMPARE(rows(*tree), QStringList{QStringLiteral("06:30|5 Mar 2026|news.mp3|Replace playlist||No")});
        QCOMPARE(tree->topLevelItem(0)->foreground(5).color(), QColor(150, 150, 150));
        QCOMPARE(w.findChild<QLabel*>()->text(), QStringLiteral("1 event"));

        // Run Now hands over a disabled event as it stands.
        tree->setCurrentItem(tree->topLevelItem(0));
        clickButton(w, QStringLiteral("Run Now"));
        QCOMPARE(run.count(), 1);
        QCOMPARE(run.at(0).at(0).value<ScheduledEvent>(), m_scheduler->events().at(0));
        tree->setCurrentItem(tree->topLevelItem(0));
        clickButton(w, QStringLiteral("Delete"));
        QCOMPARE(jq(QStringLiteral("length"), m_eventsFile), QStringLiteral("0"));
        QCOMPARE(w.findChild<QLabel*>()->text(), QStringLiteral("0 events"));

        tick(w, QStringLiteral("Scheduler On"), true);
        tick(w, QStringLiteral("Manual (hold events)"), true);
        QVERIFY(m_scheduler->isActive() && m_scheduler->isManual());
    }

    // Save List and Load List; a file that holds no list of events, or a
    // save that fails, is told to the operator and changes nothing.
    void listFiles()
    {
        const QString dir = testHome().scratch(QStringLiteral("lists"));
        QVERIFY(!dir.contains(QLatin1Char('.')));
        ScheduledEvent kept;
        kept.action = QStringLiteral("/music/a.mp3");
        m_scheduler->setEvents({kept});
        SchedulerWindow w(m_scheduler);
        auto* tree = w.findChild<QTreeWidget*>();
        PromptScript script;
        script.answerFile(dir + QStringLiteral("/backup"));
        clickButton(w, QStringLiteral("Save List..."));
        QCOMPARE(jq(QStringLiteral("."), dir + QStringLiteral("/backup.olevents")), jq(QStringLiteral("."), m_eventsFile));
        script.answerFile(dir + QStringLiteral("/missing/x.olevents"));
        clickButton(w, QStringLiteral("Save List..."));
        QVERIFY(writeFile(dir + QStringLiteral("/object.olevents"), R"({"events": [{"action": "/x.mp3"}]})"));
        const QByteArray before = jq(QStringLiteral("."), m_eventsFile).toUtf8();
        for (const QString& refused : {QStringLiteral("/object.olevents"), QStringLiteral("/none.olevents")}) {
            script.answerFile(dir + refused);
            clickButton(w, QStringLiteral("Load List..."));
        }
        QCOMPARE(script.messages().size(), 3);
        QVERIFY(script.messages().at(0).startsWith(QStringLiteral("Could not save the event list to ")));
        QVERIFY(script.messages().at(1).startsWith(QStringLiteral("Could not load ") + dir + QStringLiteral("/object")));
        QCOMPARE(jq(QStringLiteral("."), m_eventsFile).toUtf8(), before);
        QCOMPARE(tree->topLevelItemCount(), 1);

        // Written by hand: any member order, members missing or mistyped.
        QVERIFY(writeFile(dir + QStringLiteral("/hand.olevents"), R"([
            {"time": "07:05:30", "action": "  Stop ", "enabled": 1, "days": [5, 1, "3"], "insertMode": 5, "name": 7},
            {"insertMode": 7, "action": "/ads/", "time": "7:05", "enabled": false, "date": "2026-03-05", "x": {}},
            {"startPlayback": "yes", "action": "C:/Ads/spot1.mp3", "days": "Mon", "dtmfOnly": true, "name": "Spot"},
            42])"));
        script.answerFile(dir + QStringLiteral("/hand.olevents"));
        clickButton(w, QStringLiteral("Load List..."));
        QCOMPARE(rows(*tree), (QStringList{QStringLiteral("07:05|Mon,Fri|>> STOP <<|Queue next||Yes"),
                                           QStringLiteral("|5 Mar 2026|/ads/|Queue next||No"),
                                           QStringLiteral("|Daily|spot1.mp3|Queue next|Spot|Yes"),
                                           QStringLiteral("|Daily||Queue next||Yes")}));
        QCOMPARE(jq(QStringLiteral("[.[] | [(.days | sort), .insertMode, .startPlayback, .dtmfOnly]]"), m_eventsFile),
                 QStringLiteral("[[[0,1,5],5,false,null],[[],7,false,null],[[],0,false,true],[[],0,false,null]]"));

        // Opened by a double click, an event without a valid time shows
        // 08:00:00, and an insert mode no entry stands for is stored as 0.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QString opened;
        script.answerDialog([&](QDialog& d) {
            opened = d.findChild<QTimeEdit*>()->time().toString() + d.findChild<QComboBox*>()->currentText();
            return int(QDialog::Accepted);
        });
        // QTest's double click is the second press alone.
        const QPoint at = tree->visualItemRect(tree->topLevelItem(1)).center();
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(tree->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(opened, QStringLiteral("08:00:00Queue after current track"));
        QCOMPARE(jq(QStringLiteral(".[1] | [.time, .insertMode, .date]"), m_eventsFile),
                 QStringLiteral("[\"08:00:00\",0,\"2026-03-05\"]"));
    }

    void adsGrid()
    {
        AdsSchedulerDialog d(m_scheduler);
        auto* grid = d.findChild<QTableWidget*>();
        PromptScript script;
        clickButton(d, QStringLiteral("Create Events \u2192 Scheduler"));
        script.answerFiles({QStringLiteral("/spots/Café, \"big\".mp3"), QStringLiteral("/spots/b.mp3")});
        clickButton(d, QStringLiteral("Add..."));
        QCOMPARE(grid->verticalHeaderItem(0)->text(), QStringLiteral("Café, \"big\".mp3"));
        auto* time = d.findChild<QTimeEdit*>();
        time->setTime(QTime(9, 15));
        clickButton(d, QStringLiteral("Add"));
        grid->item(0, 0)->setCheckState(Qt::Checked);
        // The same block again adds no column but clears every tick.
        time->setTime(QTime(10, 20));
        clickButton(d, QStringLiteral("Add"));
        QCOMPARE(grid->columnCount(), 3);
        QCOMPARE(grid->horizontalHeaderItem(2)->text(), QStringLiteral("09:15"));
        QCOMPARE(grid->item(0, 0)->checkState(), Qt::Unchecked);

        for (const auto& [r, c] : {std::pair{0, 0}, {0, 2}, {1, 1}})
            grid->item(r, c)->setCheckState(Qt::Checked);
        tick(d, QStringLiteral("Sat"), false);
        tick(d, QStringLiteral("Sun"), false);
        QSignalSpy changes(m_scheduler, &EventScheduler::changed);
        clickButton(d, QStringLiteral("Create Events \u2192 Scheduler"));
        QCOMPARE(changes.size(), 1); // one change, one write, for the whole batch
        QCOMPARE(jq(QStringLiteral("[.[] | [.name, .action, .time, (.days | sort), .date, .insertMode, .enabled]]"),
                    m_eventsFile),
                 QStringLiteral("[[\"Ad: Café, \\\"big\\\".mp3\",\"/spots/Café, \\\"big\\\".mp3\",\"10:20:00\","
                                "[1,2,3,4,5],\"\",0,true],[\"Ad: Café, \\\"big\\\".mp3\",\"/spots/Café, \\\"big\\\""
                                ".mp3\",\"09:15:00\",[1,2,3,4,5],\"\",0,true],[\"Ad: b.mp3\",\"/spots/b.mp3\","
                                "\"11:20:00\",[1,2,3,4,5],\"\",0,true]]"));

        // All days, or none, give events without weekdays; the export
        // through the window holds the same events.
        m_scheduler->setEvents({});
        auto* ads = d.findChildren<QGroupBox*>().first();
        ads->findChild<QListWidget*>()->setCurrentRow(0);
        clickButton(*ads, QStringLiteral("Remove"));
        grid->item(0, 1)->setCheckState(Qt::Checked);
        for (bool on : {true, false}) {
            for (QCheckBox* day : d.findChildren<QGroupBox*>().at(2)->findChildren<QCheckBox*>())
                day->setChecked(on);
            clickButton(d, QStringLiteral("Create Events \u2192 Scheduler"));
        }
        SchedulerWindow w(m_scheduler);
        script.answerFile(testHome().scratch(QStringLiteral("ads")) + QStringLiteral("/ads.olevents"));
        clickButton(w, QStringLiteral("Save List..."));
        QCOMPARE(jq(QStringLiteral("[.[] | [.action, .time, .days]]"), testHome().scratch(QStringLiteral("ads")) + QStringLiteral("/ads.olevents")),
                 QStringLiteral("[[\"/spots/b.mp3\",\"11:20:00\",[]],[\"/spots/b.mp3\",\"11:20:00\",[]]]"));
        QCOMPARE(rows(*w.findChild<QTreeWidget*>()).first(), QStringLiteral("11:20|Daily|b.mp3|Queue next|Ad: b.mp3|Yes"));
        QCOMPARE(script.messages(), (QStringList{QStringLiteral("Tick at least one grid cell to schedule an ad in a block."),
                                                 QStringLiteral("Created 3 ad events in the scheduler."),
                                                 QStringLiteral("Created 1 ad event in the scheduler."),
                                                 QStringLiteral("Created 1 ad event in the scheduler.")}));
        // Closing with ticks creates nothing.
        clickButton(d, QStringLiteral("Close"));
        QCOMPARE(m_scheduler->events().size(), 2);
    }
};

OL_TEST_MAIN(TestSchedulerWindow)
#include "tst_schedulerwindow.moc"
