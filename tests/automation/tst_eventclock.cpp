#include "automation/eventscheduler.h"
#include "olmain.h"

#include <QSignalSpy>

#include <ctime>

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
