#include "appsettings.h"

#include <QSet>
#include <QSettings>
#include <QStringList>

#include <cmath>
#include <utility>

namespace {

// Every ranged key, for reads by name.
constexpr const RangedKey* kRanged[] = {
    &Setting::DefaultVolume,
    &Setting::SilenceTimeout,
    &Setting::SilenceThreshold,
    &Setting::SilenceAction,
    &Setting::ServerMaxListeners,
    &Setting::ServerBitrate,
    &Setting::FadeInMs,
    &Setting::FadeOutMs,
    &Setting::MixPointMs,
    &Setting::TriggerMixDb,
    &Setting::MinCrossfadeMs,
    &Setting::DtmfMinLevel,
    &Setting::DtmfBeforeMin,
    &Setting::DtmfAfterMin,
    &Setting::DtmfDelaySec,
    &Setting::NowPlayingMaxLength,
    &Setting::ArchiveBitrate,
    &Setting::ArchiveSampleRate,
    &Setting::ArchiveChannels,
    &Setting::ArchiveSplitMinutes,
    &Setting::BroadcastSampleRate,
    &Setting::BroadcastBitrate,
    &Setting::BroadcastChannels,
    &Setting::GeneratorNoRepeatArtistMin,
    &Setting::GeneratorNoRepeatTitleMin,
    &Setting::GeneratorNoRepeatAlbumMin,
    &Setting::GeneratorMinRating,
    &Setting::GeneratorMinYear,
    &Setting::GeneratorMaxYear,
    &Setting::TeaserMaxTracks,
    &Setting::TeaserAutoHookMs,
    &Setting::TeaserCrossfadeMs,
};

const RangedKey* rangeOf(const QString& key)
{
    for (const RangedKey* r : kRanged)
        if (key == QLatin1String(r->key))
            return r;
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

double checked(const RangedKey* r, bool whole)
{
    Q_ASSERT(r);
    if (!r)
        return 0;
    const QString key = r->name();
    const QVariant stored = QSettings().value(key);
    if (!stored.isValid())
        return r->fallback;
    bool ok = false;
    const double v = stored.toString().trimmed().toDouble(&ok);
    if (ok && std::isfinite(v) && v >= r->minimum && v <= r->maximum && (!whole || v == std::trunc(v)))
        return v;
    const QString shown = stored.toString().left(40);
    report(QStringLiteral("Setting %1 = \"%2\" is outside %3 to %4; using %5")
               .arg(key, shown)
               .arg(r->minimum)
               .arg(r->maximum)
               .arg(r->fallback));
    return r->fallback;
}

} // namespace

template <typename T, typename Fallback>
T SettingKey<T, Fallback>::defaultValue() const
{
    return T(fallback);
}

template <>
QString TextKey::defaultValue() const
{
    return QString::fromUtf8(fallback);
}

template <typename T, typename Fallback>
T SettingKey<T, Fallback>::read() const
{
    return read(QSettings());
}

template <typename T, typename Fallback>
T SettingKey<T, Fallback>::read(const QSettings& settings) const
{
    return settings.value(name(), defaultValue()).template value<T>();
}

template <typename T, typename Fallback>
void SettingKey<T, Fallback>::write(const T& value) const
{
    QSettings settings;
    write(settings, value);
}

template <typename T, typename Fallback>
void SettingKey<T, Fallback>::write(QSettings& settings, const T& value) const
{
    settings.setValue(name(), value);
}

template <typename T, typename Fallback>
void SettingKey<T, Fallback>::remove(QSettings& settings) const
{
    settings.remove(name());
}

template struct SettingKey<bool>;
template struct SettingKey<int>;
template struct SettingKey<QString, const char*>;

QVariant StoredKey::read() const
{
    return read(QSettings());
}

QVariant StoredKey::read(const QSettings& settings) const
{
    return settings.value(name());
}

bool StoredKey::isStored(const QSettings& settings) const
{
    return settings.contains(name());
}

void StoredKey::write(const QVariant& value) const
{
    QSettings settings;
    write(settings, value);
}

void StoredKey::write(QSettings& settings, const QVariant& value) const
{
    settings.setValue(name(), value);
}

void StoredKey::remove() const
{
    QSettings settings;
    remove(settings);
}

void StoredKey::remove(QSettings& settings) const
{
    settings.remove(name());
}

int RangedKey::readInt() const
{
    return AppSettings::intValue(*this);
}

double RangedKey::read() const
{
    return AppSettings::doubleValue(*this);
}

void RangedKey::write(const QVariant& value) const
{
    QSettings settings;
    write(settings, value);
}

void RangedKey::write(QSettings& settings, const QVariant& value) const
{
    settings.setValue(name(), value);
}

QString Setting::hotKey(const QString& actionId)
{
    return QStringLiteral("hotkeys/") + actionId;
}

QString Setting::typeCrossfade(const QString& type, const QString& field)
{
    QString name = type.toLower();
    name.replace(QLatin1Char(' '), QLatin1Char('_'));
    return QStringLiteral("crossfade/") + name + QLatin1Char('/') + field;
}

int AppSettings::defaultVolume()
{
    return Setting::DefaultVolume.readInt();
}

int AppSettings::intValue(const QString& key)
{
    return int(checked(rangeOf(key), true));
}

double AppSettings::doubleValue(const QString& key)
{
    return checked(rangeOf(key), false);
}

int AppSettings::intValue(const RangedKey& key)
{
    return int(checked(&key, true));
}

double AppSettings::doubleValue(const RangedKey& key)
{
    return checked(&key, false);
}

void AppSettings::setLogSink(std::function<void(const QString&)> s)
{
    sink() = std::move(s);
    if (sink())
        for (const QString& line : std::exchange(held(), {}))
            sink()(line);
}
