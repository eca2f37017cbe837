#include "automation/scheduledevent.h"
#include "olmain.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// JSON written with single quotes, to keep the rows readable.
QByteArray json(const char* text)
{
    return QByteArray(text).replace('\'', '"');
}

} // namespace

class TestScheduledEvent : public QObject
{
    Q_OBJECT

private slots:
    void defaults()
    {
        const ScheduledEvent e;
        QCOMPARE(e.time, QTime(0, 0));
        QVERIFY(e.time.isValid());
        QVERIFY(e.enabled);
        QVERIFY(e.name.isEmpty() && e.action.isEmpty() && e.days.isEmpty() && e.date.isNull());
        QCOMPARE(e.insertMode, 0);
        QVERIFY(!e.startPlayback && !e.dtmfOnly && e.dtmfStart.isEmpty() && e.dtmfEnd.isEmpty());
        // An empty object reads as the defaults, apart from the time it does not hold.
        ScheduledEvent read = ScheduledEvent::fromJson(QJsonObject());
        QVERIFY(!read.time.isValid());
        read.time = QTime(0, 0);
        QCOMPARE(read, e);
    }

    void roundTrip_data()
    {
        QTest::addColumn<ScheduledEvent>("event");
        ScheduledEvent plain;
        plain.name = QStringLiteral("News");
        plain.action = QStringLiteral("play 1");
        plain.time = QTime(7, 5, 9, 450); // milliseconds are not kept
        QTest::newRow("plain") << plain;

        ScheduledEvent full;
        full.name = QStringLiteral("Früh \"Show\"");
        full.action = QStringLiteral("C:/Jingles/Top of the hour.mp3");
        full.time = QTime(23, 59, 59);
        full.days = {1, 3, 5, 7};
        full.date = QDate(2026, 3, 5);
        full.enabled = false;
        full.insertMode = 2;
        full.startPlayback = true;
        full.dtmfStart = QStringLiteral("123#, 9*");
        full.dtmfEnd = QStringLiteral("#0");
        full.dtmfOnly = true;
        QTest::newRow("every field") << full;

        ScheduledEvent odd;
        odd.action = QStringLiteral("mic:30");
        odd.days = {0, 9, -4};
        odd.insertMode = -7;
        odd.time = QTime();
        QTest::newRow("odd values, no time") << odd;
    }

    void roundTrip()
    {
        QFETCH(ScheduledEvent, event);
        // Through the text form, as the file carries it.
        const QByteArray text = QJsonDocument(event.toJson()).toJson();
        const ScheduledEvent back = ScheduledEvent::fromJson(QJsonDocument::fromJson(text).object());
        ScheduledEvent expected = event;
        if (expected.time.isValid())
            expected.time = QTime(event.time.hour(), event.time.minute(), event.time.second());
        QCOMPARE(back, expected);
    }

    void writtenMembers()
    {
        ScheduledEvent e;
        QJsonObject o = e.toJson();
        QCOMPARE(o.keys(), QStringList({"action", "date", "days", "enabled", "insertMode", "name",
                                        "startPlayback", "time"}));
        QCOMPARE(o.value("time").toString(), QStringLiteral("00:00:00"));
        QCOMPARE(o.value("date").toString(), QString());
        QVERIFY(o.value("days").isArray() && o.value("days").toArray().isEmpty());
        QCOMPARE(o.value("enabled"), QJsonValue(true));
        QCOMPARE(o.value("startPlayback"), QJsonValue(false));

        e.time = QTime();
        e.dtmfStart = QStringLiteral("1");
        e.dtmfEnd = QStringLiteral("2");
        e.dtmfOnly = true;
        e.date = QDate(2026, 3, 5);
        o = e.toJson();
        QCOMPARE(o.value("time").toString(), QString());
        QCOMPARE(o.value("date").toString(), QStringLiteral("2026-03-05"));
        QCOMPARE(o.value("dtmfOnly"), QJsonValue(true));
        QCOMPARE(o.value("dtmfStart").toString(), QStringLiteral("1"));
        QCOMPARE(o.value("dtmfEnd").toString(), QStringLiteral("2"));
    }

    void reading_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("value");

        QTest::newRow("time without seconds") << json("{'time':'10:20'}") << "timeValid" << QVariant(false);
        QTest::newRow("time with milliseconds") << json("{'time':'10:20:30.5'}") << "timeValid"
                                                << QVariant(false);
        QTest::newRow("time of one-digit hour") << json("{'time':'7:20:30'}") << "timeValid"
                                                << QVariant(false);
        QTest::newRow("time out of range") << json("{'time':'24:00:00'}") << "timeValid"
                                           << QVariant(false);
        QTest::newRow("time as number") << json("{'time':1020}") << "timeValid" << QVariant(false);
        QTest::newRow("time") << json("{'time':'08:09:10'}") << "time" << QVariant(QTime(8, 9, 10));

        QTest::newRow("enabled 1 stays enabled") << json("{'enabled':1}") << "enabled" << QVariant(true);
        QTest::newRow("enabled 0 stays enabled") << json("{'enabled':0}") << "enabled" << QVariant(true);
        QTest::newRow("enabled text false stays enabled") << json("{'enabled':'false'}") << "enabled"
                                                          << QVariant(true);
        QTest::newRow("enabled false") << json("{'enabled':false}") << "enabled" << QVariant(false);
        QTest::newRow("startPlayback 1 is off") << json("{'startPlayback':1}") << "startPlayback"
                                                << QVariant(false);
        QTest::newRow("startPlayback true") << json("{'startPlayback':true}") << "startPlayback"
                                            << QVariant(true);
        QTest::newRow("dtmfOnly text is off") << json("{'dtmfOnly':'true'}") << "dtmfOnly"
                                              << QVariant(false);
        QTest::newRow("dtmfOnly true") << json("{'dtmfOnly':true}") << "dtmfOnly" << QVariant(true);

        QTest::newRow("insertMode") << json("{'insertMode':2}") << "insertMode" << QVariant(2);
        QTest::newRow("insertMode fraction") << json("{'insertMode':1.5}") << "insertMode" << QVariant(0);
        QTest::newRow("insertMode text") << json("{'insertMode':'1'}") << "insertMode" << QVariant(0);

        QTest::newRow("name number") << json("{'name':5}") << "name" << QVariant(QString());
        QTest::newRow("action kept as is") << json("{'action':'  play 1  '}") << "action"
                                           << QVariant(QStringLiteral("  play 1  "));
        QTest::newRow("dtmfStart kept as is") << json("{'dtmfStart':' 12# '}") << "dtmfStart"
                                              << QVariant(QStringLiteral(" 12# "));

        QTest::newRow("date") << json("{'date':'2026-03-05'}") << "date" << QVariant(QDate(2026, 3, 5));
        QTest::newRow("date not parsing") << json("{'date':'5.3.2026'}") << "date" << QVariant(QDate());
        QTest::newRow("date impossible") << json("{'date':'2026-02-30'}") << "date" << QVariant(QDate());
        QTest::newRow("date as number") << json("{'date':20260305}") << "date" << QVariant(QDate());

        QTest::newRow("days") << json("{'days':[5,1,3,3]}") << "days" << QVariant(QStringLiteral("1,3,5"));
        QTest::newRow("days with text and fraction") << json("{'days':['1',2.5,4]}") << "days"
                                                     << QVariant(QStringLiteral("0,4"));
        QTest::newRow("days not an array") << json("{'days':3}") << "days" << QVariant(QString());
        QTest::newRow("days keeps odd numbers") << json("{'days':[8,-1]}") << "days"
                                                << QVariant(QStringLiteral("-1,8"));
    }

    void reading()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, field);
        QFETCH(QVariant, value);
        const ScheduledEvent e = ScheduledEvent::fromJson(QJsonDocument::fromJson(text).object());
        QVariant actual;
        if (field == QLatin1String("timeValid"))
            actual = e.time.isValid();
        else if (field == QLatin1String("time"))
            actual = e.time;
        else if (field == QLatin1String("enabled"))
            actual = e.enabled;
        else if (field == QLatin1String("startPlayback"))
            actual = e.startPlayback;
        else if (field == QLatin1String("dtmfOnly"))
            actual = e.dtmfOnly;
        else if (field == QLatin1String("insertMode"))
            actual = e.insertMode;
        else if (field == QLatin1String("name"))
            actual = e.name;
        else if (field == QLatin1String("action"))
            actual = e.action;
        else if (field == QLatin1String("dtmfStart"))
            actual = e.dtmfStart;
        else if (field == QLatin1String("date"))
            actual = e.date;
        else if (field == QLatin1String("days")) {
            QList<int> days(e.days.begin(), e.days.end());
            std::sort(days.begin(), days.end());
            QStringList parts;
            for (const int d : days)
                parts << QString::number(d);
            actual = parts.join(QLatin1Char(','));
        }
        QCOMPARE(actual, value);
    }

    void daysString_data()
    {
        QTest::addColumn<QList<int>>("days");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("text");
        QTest::newRow("Mon,Wed,Fri") << QList<int>{5, 1, 3} << QDate() << "Mon,Wed,Fri";
        QTest::newRow("none") << QList<int>{} << QDate() << "Daily";
        QTest::newRow("all seven") << QList<int>{1, 2, 3, 4, 5, 6, 7} << QDate() << "Daily";
        QTest::newRow("weekend") << QList<int>{7, 6} << QDate() << "Sat,Sun";
        QTest::newRow("one-off date") << QList<int>{} << QDate(2026, 3, 5) << "5 Mar 2026";
        QTest::newRow("date in December") << QList<int>{} << QDate(2027, 12, 25) << "25 Dec 2027";
        QTest::newRow("days with a start date") << QList<int>{2} << QDate(2026, 3, 5) << "Tue";
        QTest::newRow("only a zero") << QList<int>{0} << QDate() << "";
        QTest::newRow("seven odd numbers") << QList<int>{0, 8, 9, 10, 11, 12, 13} << QDate() << "Daily";
        QTest::newRow("odd and real") << QList<int>{0, 4, 9} << QDate() << "Thu";
    }

    void daysString()
    {
        QFETCH(QList<int>, days);
        QFETCH(QDate, date);
        QFETCH(QString, text);
        ScheduledEvent e;
        e.days = QSet<int>(days.begin(), days.end());
        e.date = date;
        QCOMPARE(e.daysString(), text);
    }

    void travelsInSignals()
    {
        QVERIFY(QMetaType::fromType<ScheduledEvent>().isValid());
        ScheduledEvent e;
        e.name = QStringLiteral("x");
        const QVariant v = QVariant::fromValue(e);
        QCOMPARE(v.value<ScheduledEvent>(), e);
    }
};

OL_TEST_MAIN(TestScheduledEvent)
#include "tst_scheduledevent.moc"
