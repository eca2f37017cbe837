#include "autointrorule.h"

#include <QJsonArray>
#include <QtNumeric>

namespace {

QJsonArray toArray(const QStringList& list)
{
    QJsonArray a;
    for (const QString& s : list)
        a.append(s);
    return a;
}

// An element that is not a string reads as an empty entry.
QStringList toList(const QJsonValue& v)
{
    QStringList out;
    if (!v.isArray())
        return out;
    for (const QJsonValue& e : v.toArray())
        out.append(e.toString());
    return out;
}

// Parsed with "." as the decimal point whatever the locale.
bool parseNumber(const QString& text, double& out)
{
    bool ok = false;
    out = text.trimmed().toDouble(&ok);
    return ok;
}

bool numberMatches(double number, const QString& value)
{
    // A leading minus belongs to the number, not to a range.
    const qsizetype dash = value.size() >= 2 ? value.indexOf(QLatin1Char('-'), 1) : -1;
    if (dash >= 1) {
        double low = 0.0;
        double high = 0.0;
        if (parseNumber(value.left(dash), low) && parseNumber(value.mid(dash + 1), high))
            return low <= number && number <= high;
    }
    double single = 0.0;
    if (!parseNumber(value, single))
        return false;
    // Shifted by one so that a zero compares fuzzily too.
    return qFuzzyCompare(number + 1.0, single + 1.0);
}

} // namespace

QJsonObject AutoIntroRule::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("name"), name);
    o.insert(QStringLiteral("enabled"), enabled);
    o.insert(QStringLiteral("sources"), toArray(sources));
    o.insert(QStringLiteral("probability"), probability);
    o.insert(QStringLiteral("condField"), condField);
    o.insert(QStringLiteral("condValue"), condValue);
    o.insert(QStringLiteral("skipAfterTypes"), toArray(skipAfterTypes));
    o.insert(QStringLiteral("skipFileTypes"), toArray(skipFileTypes));
    o.insert(QStringLiteral("mustTags"), toArray(mustTags));
    o.insert(QStringLiteral("tagsMatchAll"), tagsMatchAll);
    o.insert(QStringLiteral("position"), position);
    o.insert(QStringLiteral("posValue"), posValue);
    o.insert(QStringLiteral("positionSecs"), positionSecs);
    o.insert(QStringLiteral("cooldownSecs"), cooldownSecs);
    if (lastUsed.isValid())
        o.insert(QStringLiteral("lastUsed"), lastUsed.toString(Qt::ISODate));
    return o;
}

AutoIntroRule AutoIntroRule::fromJson(const QJsonObject& o)
{
    AutoIntroRule r;
    r.name = o.value(QStringLiteral("name")).toString();
    r.enabled = o.value(QStringLiteral("enabled")).toBool(r.enabled);
    r.sources = toList(o.value(QStringLiteral("sources")));
    r.probability = o.value(QStringLiteral("probability")).toInt(r.probability);
    r.condField = o.value(QStringLiteral("condField")).toString();
    r.condValue = o.value(QStringLiteral("condValue")).toString();
    r.skipAfterTypes = toList(o.value(QStringLiteral("skipAfterTypes")));
    r.skipFileTypes = toList(o.value(QStringLiteral("skipFileTypes")));
    r.mustTags = toList(o.value(QStringLiteral("mustTags")));
    r.tagsMatchAll = o.value(QStringLiteral("tagsMatchAll")).toBool(r.tagsMatchAll);
    r.position = o.value(QStringLiteral("position")).toInt(r.position);
    r.posValue = o.value(QStringLiteral("posValue")).toInt(r.posValue);
    r.positionSecs = o.value(QStringLiteral("positionSecs")).toDouble(r.positionSecs);
    r.cooldownSecs = o.value(QStringLiteral("cooldownSecs")).toInt(r.cooldownSecs);
    if (o.contains(QStringLiteral("lastUsed")))
        r.lastUsed = QDateTime::fromString(o.value(QStringLiteral("lastUsed")).toString(), Qt::ISODate);
    return r;
}

bool AutoIntroRule::matchesCondition(const Track& track) const
{
    if (condField.isEmpty())
        return true;
    const QString value = condValue.trimmed();
    if (value.isEmpty())
        return true;
    const QString field = condField.toLower();
    if (field == QLatin1String("year"))
        return numberMatches(double(track.year), value);
    if (field == QLatin1String("duration"))
        return numberMatches(double(track.durationMs) / 1000.0, value);

    const QString* text = nullptr;
    if (field == QLatin1String("artist"))
        text = &track.artist;
    else if (field == QLatin1String("title"))
        text = &track.title;
    else if (field == QLatin1String("album"))
        text = &track.album;
    else if (field == QLatin1String("genre"))
        text = &track.genre;
    else if (field == QLatin1String("comment"))
        text = &track.comment;
    // A field this version does not know restricts nothing.
    return !text || text->contains(value, Qt::CaseInsensitive);
}

bool AutoIntroRule::cooldownElapsed(const QDateTime& now) const
{
    if (cooldownSecs <= 0 || !lastUsed.isValid())
        return true;
    return lastUsed.secsTo(now) >= cooldownSecs;
}

double AutoIntroRule::resolvedPositionSecs(qint64 introMs, qint64 fadeInMs) const
{
    if (posValue == 1 && introMs > 0)
        return double(introMs) / 1000.0;
    if (posValue == 2 && fadeInMs > 0)
        return double(fadeInMs) / 1000.0;
    return positionSecs;
}
