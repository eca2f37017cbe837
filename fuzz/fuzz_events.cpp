// The events file and the import of exported lists: any bytes as the file,
// then every use the scheduler makes of the events read from it.
#include "automation/eventscheduler.h"
#include "fuzzsupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>

QList<QByteArray> olFuzzSeeds()
{
    ScheduledEvent news;
    news.name = QStringLiteral("News");
    news.action = QStringLiteral("play 1");
    news.time = QTime(7, 0);
    news.days = {1, 3, 5};
    ScheduledEvent show = news;
    show.name = QStringLiteral("Show");
    show.action = QStringLiteral("/music/show.m3u");
    show.days.clear();
    show.date = QDate(2026, 3, 5);
    show.insertMode = 2;
    show.startPlayback = true;
    show.dtmfStart = QStringLiteral("123#,*9");
    show.dtmfEnd = QStringLiteral("#0");
    show.dtmfOnly = true;
    const QJsonArray list{news.toJson(), show.toJson()};
    return {QJsonDocument(list).toJson(), QJsonDocument(QJsonArray{show.toJson()}).toJson(QJsonDocument::Compact),
            "[]", "{}", "[1,\"x\",{\"time\":\"25:61:00\",\"days\":[\"1\",9,-2147483648,1e300]}]",
            "[{\"time\":\"10:20:30\"},{\"time\":\"10:20:29\",\"days\":[4]},{\"time\":\"1:2:3\"},{\"time\":\"0a:00:00\"}]"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A scheduler of its own for each input: one kept across inputs gathers
    // every event that ever fired at the fixed minute below, grows slower
    // with each input and makes an input's result depend on those before it.
    olFuzzInit();
    EventScheduler scheduler;
    static const QString path = olFuzzHome() + QStringLiteral("/import.olevents");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    file.close();
    scheduler.loadFromFile(path);

    const QDateTime now(QDate(2026, 3, 5), QTime(10, 20, 30));
    for (const ScheduledEvent& e : scheduler.events()) {
        (void)e.daysString();
        (void)EventScheduler::isDue(e, now);
        (void)EventScheduler::nextOccurrence(e, now);
        (void)EventScheduler::decideDtmf(e, QDateTime(now.date(), e.time), now, QStringLiteral("123#"), {5, 5});
        (void)ScheduledEvent::fromJson(e.toJson());
    }
    // The quick readings agree with the general ones: each time with the
    // time parser's, the next event with the earliest single occurrence.
    const QJsonArray raw = QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size))).array();
    for (const QJsonValue& v : raw) {
        const QJsonValue t = v.toObject().value(QStringLiteral("time"));
        if (t.isString() && ScheduledEvent::fromJson(v.toObject()).time != QTime::fromString(t.toString(), QStringLiteral("HH:mm:ss")))
            std::abort();
    }
    QDateTime earliest;
    for (const ScheduledEvent& e : scheduler.events()) {
        const QDateTime at = EventScheduler::nextOccurrence(e, now);
        if (at.isValid() && (!earliest.isValid() || at < earliest))
            earliest = at;
    }
    QDateTime when;
    (void)scheduler.nextUpcoming(now, &when);
    if (when != earliest)
        std::abort();
    scheduler.checkNow(now);
    return 0;
}
