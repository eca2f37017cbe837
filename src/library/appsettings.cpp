#include "appsettings.h"

#include <QSet>
#include <QSettings>
#include <QStringList>

#include <cmath>
#include <utility>

namespace {

struct Range
{
    const char* key;
    double defaultValue;
    double minimum;
    double maximum;
};

// Defaults as every reader has always used them; ranges as the settings
// dialogs allow them.
constexpr Range kRanges[] = {
    {"audio/defaultVolume", 80, 0, 100},
    {"silence/timeout", 10, 1, 300},
    {"silence/threshold", 0.02, 0, 1},
    {"silence/action", 0, 0, 2},
    {"server/maxListeners", 10, 1, 1000},
    {"server/bitrate", 128, 64, 320},
    {"playback/fadeInMs", 1500, 0, 15000},
    {"playback/fadeOutMs", 2500, 0, 15000},
    {"playback/mixPointMs", 2500, 0, 60000},
    {"playback/triggerMixDb", -14, -60, 0},
    {"playback/minCrossfadeMs", 45000, 0, 600000},
    {"dtmf/minLevel", 2, 1, 50},
    {"dtmf/beforeMin", 5, 0, 60},
    {"dtmf/afterMin", 5, 0, 60},
    {"dtmf/delaySec", 0, 0, 300},
    {"nowplaying/maxLength", 64, 0, 256},
    {"archive/bitrate", 128, 64, 320},
    {"archive/sampleRate", 44100, 22050, 48000},
    {"archive/channels", 2, 1, 2},
    {"archive/splitMinutes", 60, 0, 1440},
    {"broadcast/sampleRate", 44100, 22050, 48000},
    {"broadcast/bitrate", 128, 64, 320},
    {"broadcast/channels", 2, 1, 2},
    {"generator/noRepeatArtistMin", 60, 0, 1440},
    {"generator/noRepeatTitleMin", 180, 0, 1440},
    {"generator/noRepeatAlbumMin", 30, 0, 1440},
    {"generator/minRating", 0, 0, 10},
    {"generator/minYear", 0, 0, 3000},
    {"generator/maxYear", 0, 0, 3000},
    {"teaser/maxTracks", 4, 1, 10},
    {"teaser/autoHookMs", 12000, 1000, 20000},
    {"teaser/crossfadeMs", 300, 0, 15000},
};

const Range* rangeOf(const QString& key)
{
    for (const Range& r : kRanges)
        if (key == QLatin1String(r.key))
            return &r;
    return nullptr;
}

std::function<void(const QString&)>& sink()
{
    static std::function<void(const QString&)> s;
    return s;
}

QStringList& held()
{
    static QStringList lines;
    return lines;
}

void report(const QString& line)
{
    // Told once per key and value, however often it is read.
    static QSet<QString> told;
    if (told.contains(line))
        return;
    told.insert(line);
    if (sink())
        sink()(line);
    else
        held() << line;
}

double checked(const QString& key, bool whole)
{
    const Range* r = rangeOf(key);
    Q_ASSERT(r);
    if (!r)
        return 0;
    const QVariant stored = QSettings().value(key);
    if (!stored.isValid())
        return r->defaultValue;
    bool ok = false;
    const double v = stored.toString().trimmed().toDouble(&ok);
    if (ok && std::isfinite(v) && v >= r->minimum && v <= r->maximum && (!whole || v == std::trunc(v)))
        return v;
    const QString shown = stored.toString().left(40);
    report(QStringLiteral("Setting %1 = \"%2\" is outside %3 to %4; using %5")
               .arg(key, shown)
               .arg(r->minimum)
               .arg(r->maximum)
               .arg(r->defaultValue));
    return r->defaultValue;
}

} // namespace

int AppSettings::defaultVolume()
{
    return intValue(QStringLiteral("audio/defaultVolume"));
}

int AppSettings::intValue(const QString& key)
{
    return int(checked(key, true));
}

double AppSettings::doubleValue(const QString& key)
{
    return checked(key, false);
}

void AppSettings::setLogSink(std::function<void(const QString&)> s)
{
    sink() = std::move(s);
    if (sink())
        for (const QString& line : std::exchange(held(), {}))
            sink()(line);
}
