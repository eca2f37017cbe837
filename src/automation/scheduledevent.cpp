#include "scheduledevent.h"

#include <QJsonArray>
#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <iterator>

namespace {

const QString kTimeFormat = QStringLiteral("HH:mm:ss");

QString readString(const QJsonObject& o, const QString& key)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? v.toString() : QString();
}

bool isTrue(const QJsonObject& o, const QString& key)
{
    const QJsonValue v = o.value(key);
    return v.isBool() && v.toBool();
}

bool isFalse(const QJsonObject& o, const QString& key)
{
    const QJsonValue v = o.value(key);
    return v.isBool() && !v.toBool();
}

// "HH:mm:ss" read by hand: a list of many thousand events is loaded while
// the program starts, and the general parser takes far longer.
QTime readTime(const QString& text)
{
    const auto digit = [&text](int i) { return int(text.at(i).unicode()) - '0'; };
    if (text.size() == 8 && text.at(2) == QLatin1Char(':') && text.at(5) == QLatin1Char(':')) {
        const int d[] = {digit(0), digit(1), digit(3), digit(4), digit(6), digit(7)};
        if (std::all_of(std::begin(d), std::end(d), [](int v) { return v >= 0 && v <= 9; }))
            return QTime(d[0] * 10 + d[1], d[2] * 10 + d[3], d[4] * 10 + d[5]);
    }
    return QTime::fromString(text, kTimeFormat);
}

} // namespace

ScheduledEvent ScheduledEvent::fromJson(const QJsonObject& o)
{
    ScheduledEvent e;
    e.name = readString(o, QStringLiteral("name"));
    e.action = readString(o, QStringLiteral("action"));
    // An absent or malformed time gives an invalid one, which never fires.
    e.time = readTime(readString(o, QStringLiteral("time")));
    const QJsonValue days = o.value(QStringLiteral("days"));
    if (days.isArray()) {
        for (const QJsonValue& d : days.toArray())
            e.days.insert(d.toInt(0));
    }
    const QString date = readString(o, QStringLiteral("date"));
    if (!date.isEmpty())
        e.date = QDate::fromString(date, Qt::ISODate);
    e.enabled = !isFalse(o, QStringLiteral("enabled"));
    e.insertMode = o.value(QStringLiteral("insertMode")).toInt(0);
    e.startPlayback = isTrue(o, QStringLiteral("startPlayback"));
    e.dtmfStart = readString(o, QStringLiteral("dtmfStart"));
    e.dtmfEnd = readString(o, QStringLiteral("dtmfEnd"));
    e.dtmfOnly = isTrue(o, QStringLiteral("dtmfOnly"));
    return e;
}

QJsonObject ScheduledEvent::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("name"), name);
    o.insert(QStringLiteral("action"), action);
    o.insert(QStringLiteral("time"), time.isValid() ? time.toString(kTimeFormat) : QString());
    QJsonArray dayArray;
    for (const int d : days)
        dayArray.append(d);
    o.insert(QStringLiteral("days"), dayArray);
    o.insert(QStringLiteral("date"), date.isValid() ? date.toString(Qt::ISODate) : QString());
    o.insert(QStringLiteral("enabled"), enabled);
    o.insert(QStringLiteral("insertMode"), insertMode);
    o.insert(QStringLiteral("startPlayback"), startPlayback);
    if (!dtmfStart.isEmpty())
        o.insert(QStringLiteral("dtmfStart"), dtmfStart);
    if (!dtmfEnd.isEmpty())
        o.insert(QStringLiteral("dtmfEnd"), dtmfEnd);
    if (dtmfOnly)
        o.insert(QStringLiteral("dtmfOnly"), true);
    return o;
}

QString ScheduledEvent::daysString() const
{
    if (date.isValid() && days.isEmpty())
        return QLocale::c().toString(date, QStringLiteral("d MMM yyyy"));
    if (days.isEmpty() || days.size() == 7)
        return QStringLiteral("Daily");
    static const char* const names[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    QStringList parts;
    for (int d = 1; d <= 7; ++d) {
        if (days.contains(d))
            parts.append(QLatin1String(names[d - 1]));
    }
    return parts.join(QLatin1Char(','));
}
