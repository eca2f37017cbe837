#include "automation/eventscheduler.h"
#include "olmain.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>

#include <ctime>

#include <sys/stat.h>
#include <memory>

namespace {

ScheduledEvent makeEvent(const QString& name, QTime time, QSet<int> days = {}, QDate date = {})
{
    ScheduledEvent e;
    e.name = name;
    e.action = QStringLiteral("next");
    e.time = time;
    e.days = days;
    e.date = date;
    return e;
}

QDateTime at(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

// Names of the events fired while the clock runs from start to end in steps.
QStringList run(EventScheduler& s, QDateTime from, const QDateTime& to, int stepSecs = 1)
{
    QStringList names;
    auto c = QObject::connect(&s, &EventScheduler::fired,
                              [&names](const ScheduledEvent& e) { names << e.name; });
    for (; from <= to; from = from.addSecs(stepSecs))
        s.checkNow(from);
    QObject::disconnect(c);
    return names;
}

} // namespace

class TestEventClock : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A zone with daylight saving, whatever the machine's own.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void firesOncePerMinuteAndNeverLate()
    {
        EventScheduler s;
        s.setEvents({makeEvent(QStringLiteral("A"), QTime(10, 20, 30)), makeEvent(QStringLiteral("B"), QTime(10, 19)),
                     makeEvent(QStringLiteral("A"), QTime(10, 20, 30))});
        // Started in the middle of 10:20: the 10:20 events fire at the first
        // check, twins both and in list order; 10:19 has passed.
        QCOMPARE(run(s, at(2026, 6, 1, 10, 20, 45), at(2026, 6, 1, 10, 22)), QStringList({"A", "A"}));

        EventScheduler t;
        t.setEvents({makeEvent(QStringLiteral("A"), QTime(10, 20, 30))});
        QVERIFY(run(t, at(2026, 6, 1, 10, 19, 0), at(2026, 6, 1, 10, 19, 59)).isEmpty());
        QCOMPARE(run(t, at(2026, 6, 1, 10, 20, 0, 400), at(2026, 6, 1, 10, 20, 59)), QStringList({"A"}));
        // Manual mode on and off inside the minute does not fire it again...
        t.setManual(true);
        QVERIFY(run(t, at(2026, 6, 1, 10, 20, 59, 500), at(2026, 6, 1, 10, 20, 59, 500)).isEmpty());
        t.setManual(false);
        QVERIFY(run(t, at(2026, 6, 1, 10, 20, 59, 600), at(2026, 6, 1, 10, 20, 59, 600)).isEmpty());
        // ...but a rename changes its key, so it fires once more.
        ScheduledEvent renamed = t.events().first();
        renamed.name = QStringLiteral("A2");
        t.updateEvent(0, renamed);
        QCOMPARE(run(t, at(2026, 6, 1, 10, 20, 59, 700), at(2026, 6, 1, 10, 20, 59, 900)), QStringList({"A2"}));

        // Off across the minute: never fired, neither then nor afterwards.
        t.setActive(false);
        QVERIFY(run(t, at(2026, 6, 2, 10, 19, 50), at(2026, 6, 2, 10, 21, 10)).isEmpty());
        t.setActive(true);
        QVERIFY(run(t, at(2026, 6, 2, 10, 21, 11), at(2026, 6, 2, 10, 25)).isEmpty());
    }

    void daysDatesAndMidnight()
    {
        EventScheduler s;
        // 2026-06-01 is a Monday.
        s.setEvents({makeEvent(QStringLiteral("once"), QTime(0, 0), {}, QDate(2026, 6, 3)),
                     makeEvent(QStringLiteral("monfri"), QTime(0, 0), {1, 5}, QDate(2026, 6, 5)),
                     makeEvent(QStringLiteral("daily"), QTime(0, 0)),
                     makeEvent(QStringLiteral("odd"), QTime(0, 0), {9})});
        QStringList fired;
        for (int day = 0; day < 10; ++day) {
            const QDateTime midnight = at(2026, 6, 1, 0, 0).addDays(day);
            for (const QString& n : run(s, midnight.addSecs(-2), midnight.addSecs(2)))
                fired << QString::number(midnight.date().day()) + n;
        }
        QCOMPARE(fired, QStringList({"1daily", "2daily", "3once", "3daily", "4daily", "5monfri", "5daily",
                                     "6daily", "7daily", "8monfri", "8daily", "9daily", "10daily"}));
    }

    void fallBackHourFiresOnce()
    {
        // On 2026-10-25 the clock goes from 03:00 summer time back to 02:00.
        EventScheduler s;
        s.setEvents({makeEvent(QStringLiteral("half past two"), QTime(2, 30))});
        const QDateTime from = at(2026, 10, 25, 1, 50);
        const QDateTime to = from.addSecs(3 * 3600);
        QCOMPARE(from.secsTo(to), 3 * 3600);
        QCOMPARE(run(s, from, to, 15), QStringList({"half past two"}));
        // And the next day, as any day.
        QCOMPARE(run(s, at(2026, 10, 26, 2, 29), at(2026, 10, 26, 2, 31)), QStringList({"half past two"}));
    }

    // The clock skips 02:00-03:00 on 2026-03-29; checks come late or the
    // clock is set back: each event runs once, as soon as its time is seen
    // to have passed, and the log says how late.
    void passedTimesRunOnceLateOrSkipped()
    {
        EventScheduler s;
        QSignalSpy logs(&s, &EventScheduler::logMessage);
        s.setEvents({makeEvent(QStringLiteral("before"), QTime(1, 59)), makeEvent(QStringLiteral("skipped"), QTime(2, 30)),
                     makeEvent(QStringLiteral("after"), QTime(3, 0))});
        QCOMPARE(run(s, at(2026, 3, 29, 1, 58), at(2026, 3, 29, 3, 5), 15), QStringList({"before", "skipped", "after"}));
        QCOMPARE(logs.size(), 1);
        QCOMPARE(logs.at(0).at(0).toString(), QStringLiteral("Scheduler: skipped, due at 02:30, runs at 03:00:00: the clock skipped that time"));

        EventScheduler t;
        QSignalSpy late(&t, &EventScheduler::logMessage);
        t.setEvents({makeEvent(QStringLiteral("c"), QTime(10, 22)), makeEvent(QStringLiteral("a"), QTime(10, 20)),
                     makeEvent(QStringLiteral("b"), QTime(10, 21))});
        QCOMPARE(run(t, at(2026, 6, 1, 10, 20, 58), at(2026, 6, 1, 10, 20, 59)), QStringList({"a"}));
        // The timer held past a minute: what it passed runs in its order.
        QCOMPARE(run(t, at(2026, 6, 1, 10, 22, 40), at(2026, 6, 1, 10, 23)), QStringList({"b", "c"}));
        QCOMPARE(late.size(), 1);
        QCOMPARE(late.at(0).at(0).toString(), QStringLiteral("Scheduler: b, due at 10:21, runs 100 s late"));
        // Set back, nothing runs twice.
        QVERIFY(run(t, at(2026, 6, 1, 10, 20, 30), at(2026, 6, 1, 10, 23)).isEmpty());
        QVERIFY(late.at(1).at(0).toString().startsWith(QStringLiteral("Scheduler: the clock went back from 2026-06-01 10:23:00")));
        // Held past the limit: only what is due within it runs.
        EventScheduler u;
        QSignalSpy held(&u, &EventScheduler::logMessage);
        u.setEvents({makeEvent(QStringLiteral("long ago"), QTime(11, 5)), makeEvent(QStringLiteral("recent"), QTime(11, 25))});
        QVERIFY(run(u, at(2026, 6, 1, 11, 0), at(2026, 6, 1, 11, 0)).isEmpty());
        QCOMPARE(run(u, at(2026, 6, 1, 11, 30), at(2026, 6, 1, 11, 30)), QStringList({"recent"}));
        QCOMPARE(held.size(), 2);
        QCOMPARE(held.at(0).at(0).toString(), QStringLiteral("Scheduler: no check ran between 2026-06-01 11:00:00 and "
                                                             "2026-06-01 11:30:00; 1 event(s) due before 11:20 are not run: long ago"));
        QCOMPARE(held.at(1).at(0).toString(), QStringLiteral("Scheduler: recent, due at 11:25, runs 5 min late"));
    }

    // What ran is kept beside the events: a restart within its minute, or in
    // the hour the clock repeats, runs nothing again. An older version's
    // record in the settings counts at the first start.
    void whatRanSurvivesRestarts()
    {
        QSettings().setValue(QStringLiteral("scheduler/fired"), QStringList{"2026-10-25", "0230|0|A|next"});
        EventScheduler().setEvents({makeEvent(QStringLiteral("A"), QTime(2, 30)), makeEvent(QStringLiteral("B"), QTime(2, 30))});
        const auto started = [] {
            auto s = std::make_unique<EventScheduler>();
            s->load();
            return s;
        };
        QCOMPARE(run(*started(), at(2026, 10, 25, 2, 30, 10), at(2026, 10, 25, 2, 30, 20)), QStringList({"B"}));
        QVERIFY(!QSettings().contains(QStringLiteral("scheduler/fired")));
        const QDateTime repeated = at(2026, 10, 25, 2, 30).addSecs(3600);
        QCOMPARE(repeated.time(), QTime(2, 30));
        QVERIFY(run(*started(), repeated, repeated.addSecs(30)).isEmpty());
        for (int day = 26; day <= 28; ++day) {
            QCOMPARE(run(*started(), at(2026, 10, day, 2, 30, 5), at(2026, 10, day, 2, 30, 6)), QStringList({"A", "B"}));
            QVERIFY(run(*started(), at(2026, 10, day, 2, 30, 40), at(2026, 10, day, 2, 30, 50)).isEmpty());
        }

        // Killed while a firing was written: its cut line is left out, and
        // that event runs after the restart, once; what ran before does not.
        const QString record = QFileInfo(EventScheduler::storagePath()).absolutePath() + QStringLiteral("/events.fired");
        EventScheduler().setEvents({makeEvent(QStringLiteral("A"), QTime(2, 30)), makeEvent(QStringLiteral("B"), QTime(2, 30)),
                                    makeEvent(QStringLiteral("C"), QTime(2, 30))});
        QFile cut(record);
        QVERIFY(cut.open(QIODevice::Append));
        cut.write("2026-10-28|0230|2|C|ne");
        cut.close();
        auto restarted = started();
        QSignalSpy logs(restarted.get(), &EventScheduler::logMessage);
        QCOMPARE(run(*restarted, at(2026, 10, 28, 2, 30, 55), at(2026, 10, 28, 2, 30, 56)), QStringList({"C"}));
        QVERIFY(logs.isEmpty());
        QVERIFY(run(*started(), at(2026, 10, 28, 2, 30, 57), at(2026, 10, 28, 2, 30, 58)).isEmpty());

        // A FIFO in its place holds nothing up: told, and the events still run.
        QVERIFY(QFile::remove(record));
        QCOMPARE(::mkfifo(QFile::encodeName(record).constData(), 0600), 0);
        auto unnoted = std::make_unique<EventScheduler>();
        QSignalSpy told(unnoted.get(), &EventScheduler::logMessage);
        unnoted->load();
        QCOMPARE(run(*unnoted, at(2026, 10, 29, 2, 30, 5), at(2026, 10, 29, 2, 30, 6)), QStringList({"A", "B", "C"}));
        QCOMPARE(told.size(), 1);
        QCOMPARE(told.at(0).at(0).toString(), QStringLiteral("Scheduler: could not read or note the events run (%1 (is not a regular file)); "
                                                             "a restart may run them again").arg(record));
    }

    // The clock set a week ahead and back again: each day's record is its
    // own, what ran today is remembered after a restart, the line about
    // events left out by a jump names only those that did not run, and a
    // damaged record is set aside with a line.
    void recordFollowsTheClock()
    {
        const QString record = QFileInfo(EventScheduler::storagePath()).absolutePath() + QStringLiteral("/events.fired");
        QFile::remove(record);
        QFile::remove(record + QStringLiteral(".old"));
        EventScheduler().setEvents({makeEvent(QStringLiteral("A"), QTime(10, 0)), makeEvent(QStringLiteral("C"), QTime(10, 25)),
                                    makeEvent(QStringLiteral("B"), QTime(10, 30)), makeEvent(QStringLiteral("D"), QTime(10, 33))});
        const auto started = [] {
            auto s = std::make_unique<EventScheduler>();
            s->load();
            return s;
        };
        auto s = started();
        QCOMPARE(run(*s, at(2026, 6, 1, 10, 0), at(2026, 6, 1, 10, 0, 5)), QStringList({"A"}));
        QCOMPARE(run(*s, at(2026, 6, 8, 10, 0), at(2026, 6, 8, 10, 0, 5)), QStringList({"A"}));
        QVERIFY(run(*s, at(2026, 6, 1, 10, 0, 20), at(2026, 6, 1, 10, 0, 30)).isEmpty());
        QVERIFY(run(*started(), at(2026, 6, 1, 10, 0, 40), at(2026, 6, 1, 10, 0, 50)).isEmpty());
        QVERIFY(run(*started(), at(2026, 6, 8, 10, 0, 40), at(2026, 6, 8, 10, 0, 50)).isEmpty());
        QCOMPARE(run(*started(), at(2026, 6, 2, 10, 0), at(2026, 6, 2, 10, 0, 5)), QStringList({"A"}));

        // C and B run, the clock goes back before them and then on past the
        // late limit: only D, which never ran, is told as left out.
        s = started();
        QSignalSpy told(s.get(), &EventScheduler::logMessage);
        QCOMPARE(run(*s, at(2026, 6, 2, 10, 25), at(2026, 6, 2, 10, 30), 15), QStringList({"C", "B"}));
        QVERIFY(run(*s, at(2026, 6, 2, 10, 20), at(2026, 6, 2, 10, 20)).isEmpty());
        QVERIFY(run(*s, at(2026, 6, 2, 10, 45), at(2026, 6, 2, 10, 45)).isEmpty());
        QCOMPARE(told.size(), 2);
        QCOMPARE(told.at(1).at(0).toString(), QStringLiteral("Scheduler: no check ran between 2026-06-02 10:20:00 and "
                                                             "2026-06-02 10:45:00; 1 event(s) due before 10:35 are not run: D"));

        // Lines that are no firings: set aside and said, what could be read kept.
        QFile damaged(record);
        QVERIFY(damaged.open(QIODevice::Append));
        damaged.write(QByteArray("\x7f\x00garbage\n", 10) + "2026-13-45|0000|9|X|next\n");
        damaged.close();
        s = std::make_unique<EventScheduler>();
        QSignalSpy kept(s.get(), &EventScheduler::logMessage);
        s->load();
        QCOMPARE(kept.size(), 1);
        const QString line = kept.at(0).at(0).toString();
        const QString aside = line.section(QStringLiteral(" it was kept as "), 1).section(QLatin1Char(';'), 0, 0);
        QCOMPARE(line, QStringLiteral("Scheduler: the record of events run was damaged: %1 held 2 line(s) that are no "
                                      "record of an event run; it was kept as %2; what could be read of it is kept")
                           .arg(record, aside));
        QVERIFY(QFileInfo(aside).size() > 0);
        QVERIFY(run(*s, at(2026, 6, 2, 10, 30, 40), at(2026, 6, 2, 10, 30, 50)).isEmpty());
        QVERIFY(run(*started(), at(2026, 6, 2, 10, 25, 40), at(2026, 6, 2, 10, 25, 50)).isEmpty());
    }

    void nextOccurrences()
    {
        const ScheduledEvent monday = makeEvent(QStringLiteral("mon"), QTime(8, 0), {1});
        QCOMPARE(EventScheduler::nextOccurrence(monday, at(2026, 6, 1, 9, 0)), at(2026, 6, 8, 8, 0));
        QCOMPARE(EventScheduler::nextOccurrence(monday, at(2026, 6, 1, 8, 0)), at(2026, 6, 1, 8, 0));
        const ScheduledEvent far = makeEvent(QStringLiteral("far"), QTime(8, 0), {}, QDate(2026, 6, 11));
        QVERIFY(!EventScheduler::nextOccurrence(far, at(2026, 6, 1, 9, 0)).isValid());
        ScheduledEvent off = makeEvent(QStringLiteral("off"), QTime(9, 30));
        off.enabled = false;

        EventScheduler s;
        QDateTime when = at(2000, 1, 1, 0, 0);
        s.setEvents({off, far});
        QCOMPARE(s.nextUpcoming(at(2026, 6, 1, 9, 0), &when).name, QString());
        QVERIFY(!when.isValid());
        s.setEvents({off, far, makeEvent(QStringLiteral("first"), QTime(10, 0)), makeEvent(QStringLiteral("tie"), QTime(10, 0)),
                     monday});
        QCOMPARE(s.nextUpcoming(at(2026, 6, 1, 9, 0), &when).name, QStringLiteral("first"));
        QCOMPARE(when, at(2026, 6, 1, 10, 0));
    }

    void dtmfDecisions()
    {
        ScheduledEvent e = makeEvent(QStringLiteral("show"), QTime(12, 0));
        const QDateTime noon = at(2026, 6, 1, 12, 0);
        const EventScheduler::DtmfWindow w{5, 5};
        e.dtmfStart = QStringLiteral("  ");
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon, QStringLiteral("123"), w), 0);
        e.dtmfStart = QStringLiteral("123");
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon.addSecs(-301), QStringLiteral("123"), w), 5);
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon.addSecs(-300), QStringLiteral("9"), w), 1);
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon.addSecs(60), QStringLiteral("99123"), w), 2);
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon.addSecs(300), QStringLiteral("123"), w), 2);
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon.addSecs(302), QString(), w), 3);
        e.dtmfOnly = true;
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon.addSecs(302), QString(), w), 4);
        // A window that ended long ago (the program was not running) is left alone.
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon.addSecs(3600), QString(), w), 5);
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon.addSecs(-1), QString(), {-3, 5}), 5);
        QCOMPARE(EventScheduler::decideDtmf(e, noon, noon, QString(), {-3, 5}), 1);

        // The timed check leaves such an event to the DTMF logic.
        EventScheduler s;
        s.setEvents({e});
        QVERIFY(run(s, noon, noon.addSecs(59)).isEmpty());
    }

    void timerUsesTheClockAndListEditsSignal()
    {
        EventScheduler s;
        const QDateTime fake = at(2031, 1, 2, 3, 4, 5);
        s.setClock([fake] { return fake; });
        QCOMPARE(s.currentTime(), fake);
        QSignalSpy changed(&s, &EventScheduler::changed);
        QSignalSpy fired(&s, &EventScheduler::fired);
        s.addEvent(makeEvent(QStringLiteral("x"), QTime(3, 4)));
        s.addEvent(s.events().first());
        QCOMPARE(s.events().size(), 2);
        s.updateEvent(-1, ScheduledEvent());
        s.updateEvent(2, ScheduledEvent());
        s.removeEvent(2);
        QCOMPARE(changed.count(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 2, 5000);
        s.removeEvent(0);
        QCOMPARE(changed.count(), 3);
        QCOMPARE(s.events().size(), 1);
    }
};

OL_TEST_MAIN(TestEventClock)
#include "tst_eventclock.moc"
