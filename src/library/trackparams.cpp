#include "trackparams.h"

#include "musiclibrary.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QtConcurrent>
#include <QVariant>

#include <atomic>
#include <cmath>
#include <limits>

namespace {

const QString kDateFormat = QStringLiteral("yyyy-MM-dd");
constexpr int kForeignCheckMs = 500;

std::atomic<quint32> g_ownWrites{0};

qint64 readInt64(const QJsonObject& o, const QString& key, qint64 fallback)
{
    const QJsonValue v = o.value(key);
    if (!v.isDouble())
        return fallback;
    const double d = std::trunc(v.toDouble());
    if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18)
        return fallback;
    return static_cast<qint64>(d);
}

// A whole number in the 32-bit range, else the fallback.
int readInt(const QJsonObject& o, const QString& key, int fallback)
{
    const QJsonValue v = o.value(key);
    if (!v.isDouble())
        return fallback;
    const double d = v.toDouble();
    if (d != std::trunc(d) || d < std::numeric_limits<int>::min() || d > std::numeric_limits<int>::max())
        return fallback;
    return static_cast<int>(d);
}

double readDouble(const QJsonObject& o, const QString& key, double fallback)
{
    const QJsonValue v = o.value(key);
    return v.isDouble() ? v.toDouble() : fallback;
}

QDate readDate(const QJsonObject& o, const QString& key)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? QDate::fromString(v.toString(), Qt::ISODate) : QDate();
}

QSqlDatabase connectionNamed(const QString& name)
{
    return name.isEmpty() ? MusicLibrary::database() : QSqlDatabase::database(name);
}

} // namespace

void TrackParams::ensureSchema(const QString& connectionName)
{
    QSqlQuery q(connectionNamed(connectionName));
    q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS track_params( filepath TEXT PRIMARY KEY, params TEXT)"));
    ++g_ownWrites; // possibly another file than before
}

quint64 TrackParams::changeStamp()
{
    // The data version moves with every commit of another connection; it
    // is read at most twice a second so that a painted table runs no query.
    static QElapsedTimer sinceCheck;
    static quint32 dataVersion = 0;
    if (!sinceCheck.isValid() || sinceCheck.elapsed() >= kForeignCheckMs) {
        sinceCheck.start();
        QSqlQuery q(MusicLibrary::database());
        if (q.exec(QStringLiteral("PRAGMA data_version")) && q.next())
            dataVersion = quint32(q.value(0).toLongLong());
    }
    return (quint64(dataVersion) << 32) | g_ownWrites.load();
}

TrackParams TrackParams::load(const QString& path, const QString& connectionName)
{
    if (path.isEmpty())
        return {};
    QSqlQuery q(connectionNamed(connectionName));
    q.prepare(QStringLiteral("SELECT params FROM track_params WHERE filepath=?"));
    q.addBindValue(path);
    if (!q.exec() || !q.next())
        return {};
    return fromJson(QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object());
}

QHash<QString, TrackParams> TrackParams::loadLibrary(const QString& library, const QString& connectionName)
{
    QHash<QString, TrackParams> found;
    QSqlQuery q(connectionNamed(connectionName));
    q.setForwardOnly(true);
    // The text's own UTF-8 bytes, as the parser takes them.
    q.prepare(QStringLiteral("SELECT p.filepath, CAST(p.params AS BLOB) FROM track_params p "
                             "JOIN tracks t ON t.filepath = p.filepath WHERE t.library = ?"));
    const QString name = library.trimmed();
    q.addBindValue(name.isNull() ? QStringLiteral("") : name); // a null text binds as NULL
    if (!q.exec())
        return found;
    // Read in one pass, parsed side by side: the parse is most of the time.
    QList<std::pair<QString, QByteArray>> rows;
    while (q.next()) {
        QString path = q.value(0).toString();
        if (!path.isEmpty())
            rows.append({std::move(path), q.value(1).toByteArray()});
    }
    QList<TrackParams> parsed =
        QtConcurrent::blockingMapped<QList<TrackParams>>(rows, [](const std::pair<QString, QByteArray>& row) {
            return fromJson(QJsonDocument::fromJson(row.second).object());
        });
    found.reserve(rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i)
        found.insert(rows.at(i).first, std::move(parsed[i]));
    return found;
}

bool TrackParams::save(const QString& path, const TrackParams& params, const QString& connectionName)
{
    if (path.isEmpty())
        return true;
    if (params.isDefault())
        return remove(path, connectionName);
    QSqlQuery q(connectionNamed(connectionName));
    q.prepare(QStringLiteral("INSERT INTO track_params(filepath,params) VALUES(?,?) "
                             "ON CONFLICT(filepath) DO UPDATE SET params=excluded.params"));
    q.addBindValue(path);
    q.addBindValue(QString::fromUtf8(QJsonDocument(params.toJson()).toJson(QJsonDocument::Compact)));
    const bool stored = q.exec();
    if (!stored)
        MusicLibrary::noteWriteError(q.lastError());
    ++g_ownWrites;
    return stored;
}

bool TrackParams::remove(const QString& path, const QString& connectionName)
{
    QSqlQuery q(connectionNamed(connectionName));
    q.prepare(QStringLiteral("DELETE FROM track_params WHERE filepath=?"));
    q.addBindValue(path);
    const bool removed = q.exec();
    if (!removed)
        MusicLibrary::noteWriteError(q.lastError());
    ++g_ownWrites;
    return removed;
}

QJsonObject TrackParams::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("start"), double(start));
    o.insert(QStringLiteral("end"), double(end));
    o.insert(QStringLiteral("intro"), double(intro));
    o.insert(QStringLiteral("outro"), double(outro));
    o.insert(QStringLiteral("hookIn"), double(hookIn));
    o.insert(QStringLiteral("hookOut"), double(hookOut));
    o.insert(QStringLiteral("fadeIn"), fadeIn);
    o.insert(QStringLiteral("mix"), mix);
    o.insert(QStringLiteral("fadeOut"), fadeOut);
    o.insert(QStringLiteral("mixStart"), double(mixStart));
    o.insert(QStringLiteral("level"), level);
    if (voiceover.isSet()) {
        QJsonObject vo;
        vo.insert(QStringLiteral("ins"), double(voiceover.ins));
        vo.insert(QStringLiteral("source"), voiceover.source);
        vo.insert(QStringLiteral("position"), voiceover.position);
        vo.insert(QStringLiteral("probability"), voiceover.probability);
        vo.insert(QStringLiteral("level"), voiceover.level);
        if (voiceover.notAfter.isValid())
            vo.insert(QStringLiteral("notAfter"), voiceover.notAfter.toString(kDateFormat));
        o.insert(QStringLiteral("voiceover"), vo);
    }
    o.insert(QStringLiteral("rating"), rating);
    if (!tags.isEmpty())
        o.insert(QStringLiteral("tags"), QJsonArray::fromStringList(tags));
    o.insert(QStringLiteral("disabled"), disabled);
    if (startDate.isValid())
        o.insert(QStringLiteral("startDate"), startDate.toString(kDateFormat));
    if (endDate.isValid())
        o.insert(QStringLiteral("endDate"), endDate.toString(kDateFormat));
    if (hasDaypart()) {
        QJsonArray masks;
        for (quint32 m : daypart)
            masks.append(double(m));
        o.insert(QStringLiteral("daypart"), masks);
    }
    return o;
}

TrackParams TrackParams::fromJson(const QJsonObject& o)
{
    TrackParams p;
    p.start = readInt64(o, QStringLiteral("start"), 0);
    p.end = readInt64(o, QStringLiteral("end"), 0);
    p.intro = readInt64(o, QStringLiteral("intro"), 0);
    p.outro = readInt64(o, QStringLiteral("outro"), 0);
    p.hookIn = readInt64(o, QStringLiteral("hookIn"), 0);
    p.hookOut = readInt64(o, QStringLiteral("hookOut"), 0);
    p.fadeIn = readInt(o, QStringLiteral("fadeIn"), -1);
    p.mix = readInt(o, QStringLiteral("mix"), -1);
    p.fadeOut = readInt(o, QStringLiteral("fadeOut"), -1);
    p.mixStart = readInt64(o, QStringLiteral("mixStart"), -1);
    p.level = readDouble(o, QStringLiteral("level"), 1.0);

    if (o.contains(QStringLiteral("voiceover"))) {
        const QJsonObject vo = o.value(QStringLiteral("voiceover")).toObject();
        p.voiceover.ins = readInt64(vo, QStringLiteral("ins"), 0);
        p.voiceover.source = vo.value(QStringLiteral("source")).toString();
        p.voiceover.position = readInt(vo, QStringLiteral("position"), 0);
        p.voiceover.probability = readInt(vo, QStringLiteral("probability"), 100);
        p.voiceover.level = readDouble(vo, QStringLiteral("level"), 1.0);
        if (vo.contains(QStringLiteral("notAfter")))
            p.voiceover.notAfter = readDate(vo, QStringLiteral("notAfter"));
    }

    p.rating = readInt(o, QStringLiteral("rating"), 0);
    const QJsonValue tags = o.value(QStringLiteral("tags"));
    if (tags.isArray()) {
        for (const QJsonValue& t : tags.toArray())
            p.tags << t.toString();
    }
    const QJsonValue disabled = o.value(QStringLiteral("disabled"));
    p.disabled = disabled.isBool() && disabled.toBool();
    p.startDate = readDate(o, QStringLiteral("startDate"));
    p.endDate = readDate(o, QStringLiteral("endDate"));

    const QJsonValue dp = o.value(QStringLiteral("daypart"));
    if (dp.isArray()) {
        const QJsonArray masks = dp.toArray();
        for (qsizetype i = 0; i < masks.size() && i < 7; ++i) {
            // Outside a mask's range (and not finite) the value means nothing;
            // converting it would not even be defined.
            const double d = std::trunc(masks.at(i).toDouble(0));
            p.daypart[i] = d >= 0.0 && d <= double(std::numeric_limits<quint32>::max()) ? quint32(d) : 0;
        }
    }
    return p;
}

bool TrackParams::isDefault() const
{
    if (start != 0 || end != 0 || intro != 0 || outro != 0 || hookIn != 0 || hookOut != 0)
        return false;
    if (voiceover.isSet())
        return false;
    if (fadeIn >= 0 || mix >= 0 || fadeOut >= 0 || mixStart >= 0)
        return false;
    if (level < 0 || !qFuzzyCompare(level, 1.0))
        return false;
    if (rating != 0 || !tags.isEmpty() || disabled)
        return false;
    if (startDate.isValid() || endDate.isValid())
        return false;
    return !hasDaypart();
}

int TrackParams::ratingFor(const QString& path)
{
    return load(path).rating;
}

void TrackParams::setRating(const QString& path, int value)
{
    TrackParams p = load(path);
    p.rating = qBound(0, value, 10);
    save(path, p);
}

qint64 TrackParams::effectiveDuration(qint64 d) const
{
    if (d < 1)
        return 0;
    const qint64 e = (end > 0 && end < d) ? end : d;
    if (e < start)
        return 0;
    return e - qMax<qint64>(start, 0);
}

bool TrackParams::hasDaypart() const
{
    for (quint32 m : daypart) {
        if (m != 0)
            return true;
    }
    return false;
}

void TrackParams::setDaypart(int day, int hour, bool on)
{
    if (day < 0 || day > 6 || hour < 0 || hour > 23)
        return;
    if (on)
        daypart[day] |= (1u << hour);
    else
        daypart[day] &= ~(1u << hour);
}

bool TrackParams::daypartAllows(int day, int hour) const
{
    if (!hasDaypart())
        return true;
    if (day < 0 || day > 6 || hour < 0 || hour > 23)
        return false;
    return (daypart[day] >> hour) & 1u;
}

bool TrackParams::isAvailableAt(const QDateTime& when) const
{
    if (disabled)
        return false;
    if (startDate.isValid() && endDate.isValid()) {
        const QDate d = when.date();
        if (d < startDate || d > endDate)
            return false;
    }
    if (!hasDaypart())
        return true;
    const int weekday = when.date().dayOfWeek();
    const int hour = when.time().hour();
    if (weekday < 1 || weekday > 7 || hour < 0 || hour > 23)
        return false;
    return (daypart[weekday - 1] >> hour) & 1u;
}

MixConfig TrackParams::resolveMix(const MixConfig& global, const MixConfig& alternative, bool useAlternative,
                                  const TrackParams& params, const SegueOverride& segue, bool forceMixPoint,
                                  qint64 forcedMixPointMs)
{
    MixConfig r = global;
    if (useAlternative) {
        r.mixPointMs = alternative.mixPointMs;
        r.fadeOutMs = alternative.fadeOutMs;
    }
    if (params.mix >= 0)
        r.mixPointMs = params.mix;
    if (params.fadeOut >= 0)
        r.fadeOutMs = params.fadeOut;
    if (forceMixPoint && forcedMixPointMs > 0)
        r.mixPointMs = static_cast<int>(qMin<qint64>(forcedMixPointMs, std::numeric_limits<int>::max()));
    if (segue.mixPointMs >= 0)
        r.mixPointMs = segue.mixPointMs;
    if (segue.fadeOutMs >= 0)
        r.fadeOutMs = segue.fadeOutMs;
    return r;
}
