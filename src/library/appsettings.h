#pragma once

#include <QString>
#include <QVariant>

#include <functional>

class QSettings;

// One stored setting holding a T, and what a reader gets while it is absent.
// read() and write() open the settings themselves; the overloads taking a
// QSettings share one the caller holds (for one status() over many writes).
template <typename T, typename Fallback = T>
struct SettingKey
{
    const char* key;
    Fallback fallback{};

    QString name() const { return QString::fromLatin1(key); }
    T defaultValue() const;
    T read() const;
    T read(const QSettings& settings) const;
    void write(const T& value) const;
    void write(QSettings& settings, const T& value) const;
    void remove(QSettings& settings) const;
};

using BoolKey = SettingKey<bool>;
using IntKey = SettingKey<int>;
using TextKey = SettingKey<QString, const char*>;

// A setting with no default of its own: window layout, lists, dates, JSON.
struct StoredKey
{
    const char* key;

    QString name() const { return QString::fromLatin1(key); }
    QVariant read() const;
    QVariant read(const QSettings& settings) const;
    bool isStored(const QSettings& settings) const;
    void write(const QVariant& value) const;
    void write(QSettings& settings, const QVariant& value) const;
    void remove() const;
    void remove(QSettings& settings) const;
};

// A number the settings dialogs hold within a range; reading one outside it
// gives the default (see AppSettings::intValue).
struct RangedKey
{
    const char* key;
    double fallback;
    double minimum;
    double maximum;

    QString name() const { return QString::fromLatin1(key); }
    int readInt() const;
    double read() const;
    void write(const QVariant& value) const;
    void write(QSettings& settings, const QVariant& value) const;
};

// Every key the programs store, with its default: the one place to look.
namespace Setting {

// Playback and fading.
inline constexpr BoolKey CrossfadeEnabled{"playback/crossfadeEnabled", false};
inline constexpr RangedKey FadeInMs{"playback/fadeInMs", 1500, 0, 15000};
inline constexpr RangedKey FadeOutMs{"playback/fadeOutMs", 2500, 0, 15000};
inline constexpr RangedKey MixPointMs{"playback/mixPointMs", 2500, 0, 60000};
inline constexpr BoolKey TriggerMixEnabled{"playback/triggerMixEnabled", false};
inline constexpr RangedKey TriggerMixDb{"playback/triggerMixDb", -14, -60, 0};
inline constexpr BoolKey FadeOutOnMix{"playback/fadeOutOnMix", true};
inline constexpr RangedKey MinCrossfadeMs{"playback/minCrossfadeMs", 45000, 0, 600000};
inline constexpr BoolKey AutoPlayNext{"playback/autoPlayNext", true};
inline constexpr BoolKey ResumeOnStart{"playback/resumeOnStart", false};
inline constexpr BoolKey HourMarkers{"playlist/hourMarkers", false};
inline constexpr BoolKey VoiceoversEnabled{"voiceovers/enabled", true};
inline constexpr TextKey VoiceTrackFolder{"voicetrack/folder", ""};

// Devices.
inline constexpr RangedKey DefaultVolume{"audio/defaultVolume", 80, 0, 100};
inline constexpr TextKey OutputDevice{"audio/outputDevice", ""};
inline constexpr TextKey MicDevice{"audio/micDevice", ""};
inline constexpr TextKey LineInDevice{"audio/lineInDevice", ""};

// Window.
inline constexpr StoredKey Geometry{"geometry"};
inline constexpr StoredKey WindowState{"windowState"};
inline constexpr StoredKey Columns{"columns"};
inline constexpr StoredKey LeftSplitter{"leftSplitter"};
inline constexpr StoredKey LeftTabs{"view/leftTabs"};
inline constexpr IntKey LeftTabCurrent{"view/leftTabCurrent", 0};
// Panels shown; absent leaves the panel as built.
inline constexpr StoredKey ViewSearch{"view/search"};
inline constexpr StoredKey ViewLog{"view/log"};
inline constexpr StoredKey ViewTrackInfo{"view/trackInfo"};
inline constexpr StoredKey ViewCartWall{"view/cartWall"};
inline constexpr StoredKey ViewAux{"view/aux"};
inline constexpr StoredKey ViewToolbar{"view/toolbar"};
inline constexpr BoolKey Clock24h{"view/clock24h", false};
inline constexpr StoredKey CartWalls{"cartwalls"};
inline constexpr BoolKey SessionBroadcasting{"session/broadcasting", false};
inline constexpr BoolKey SessionRecording{"session/recording", false};
inline constexpr StoredKey SessionRecordingTake{"session/recordingTake"};

// Silence detector.
inline constexpr BoolKey SilenceEnabled{"silence/enabled", false};
inline constexpr RangedKey SilenceTimeout{"silence/timeout", 10, 1, 300};
inline constexpr RangedKey SilenceThreshold{"silence/threshold", 0.02, 0, 1};
inline constexpr RangedKey SilenceAction{"silence/action", 0, 0, 2};
inline constexpr TextKey SilencePlaylist{"silence/playlist", ""};

// Built-in streaming server.
inline constexpr BoolKey ServerEnabled{"server/enabled", false};
inline constexpr IntKey ServerPort{"server/port", 8000};
inline constexpr RangedKey ServerMaxListeners{"server/maxListeners", 10, 1, 1000};
inline constexpr RangedKey ServerBitrate{"server/bitrate", 128, 64, 320};
inline constexpr TextKey ServerName{"server/name", "Orchidlantern"};
inline constexpr TextKey ServerGenre{"server/genre", "Various"};

// Source client to a streaming server.
inline constexpr TextKey BroadcastHost{"broadcast/host", "localhost"};
inline constexpr IntKey BroadcastPort{"broadcast/port", 8000};
inline constexpr TextKey BroadcastMount{"broadcast/mount", "/stream"};
inline constexpr TextKey BroadcastUsername{"broadcast/username", "source"};
inline constexpr TextKey BroadcastPassword{"broadcast/password", ""};
inline constexpr RangedKey BroadcastSampleRate{"broadcast/sampleRate", 44100, 22050, 48000};
inline constexpr RangedKey BroadcastBitrate{"broadcast/bitrate", 128, 64, 320};
inline constexpr RangedKey BroadcastChannels{"broadcast/channels", 2, 1, 2};
inline constexpr TextKey BroadcastName{"broadcast/name", ""};
inline constexpr TextKey BroadcastGenre{"broadcast/genre", ""};
inline constexpr TextKey BroadcastUrl{"broadcast/url", ""};
inline constexpr TextKey BroadcastDescription{"broadcast/description", ""};
inline constexpr BoolKey BroadcastPublic{"broadcast/public", false};
inline constexpr TextKey BroadcastInputDevice{"broadcast/inputDevice", ""};
inline constexpr BoolKey BroadcastInternalMix{"broadcast/internalMix", false};

// Stream archive.
inline constexpr TextKey ArchiveFolder{"archive/folder", ""};
inline constexpr TextKey ArchiveNamePattern{"archive/namePattern", "'Orchidlantern_'yyyy-MM-dd_HH-mm-ss"};
inline constexpr RangedKey ArchiveBitrate{"archive/bitrate", 128, 64, 320};
inline constexpr RangedKey ArchiveSampleRate{"archive/sampleRate", 44100, 22050, 48000};
inline constexpr RangedKey ArchiveChannels{"archive/channels", 2, 1, 2};
inline constexpr RangedKey ArchiveSplitMinutes{"archive/splitMinutes", 60, 0, 1440};
inline constexpr BoolKey ArchiveInternalMix{"archive/internalMix", false};
inline constexpr TextKey ArchiveInputDevice{"archive/inputDevice", ""};

// Now-playing file.
inline constexpr BoolKey NowPlayingEnabled{"nowplaying/enabled", false};
inline constexpr TextKey NowPlayingPath{"nowplaying/path", ""};
inline constexpr TextKey NowPlayingFormat{"nowplaying/format", "%artist% - %title%"};
inline constexpr RangedKey NowPlayingMaxLength{"nowplaying/maxLength", 64, 0, 256};
inline constexpr BoolKey NowPlayingPadForRds{"nowplaying/padForRds", false};
inline constexpr TextKey NowPlayingWhenStopped{"nowplaying/whenStopped", ""};

// Remote API.
inline constexpr BoolKey ApiEnabled{"api/enabled", false};
inline constexpr IntKey ApiPort{"api/port", 9001};
inline constexpr BoolKey ApiLocalhostOnly{"api/localhostOnly", true};
inline constexpr BoolKey ApiHttps{"api/https", false};
inline constexpr TextKey ApiUsername{"api/username", ""};
inline constexpr TextKey ApiPassword{"api/password", ""};
inline constexpr TextKey ApiCertFile{"api/certFile", ""};
inline constexpr TextKey ApiKeyFile{"api/keyFile", ""};

// DTMF.
inline constexpr TextKey DtmfSource{"dtmf/source", "off"};
inline constexpr TextKey DtmfUrl{"dtmf/url", ""};
inline constexpr RangedKey DtmfMinLevel{"dtmf/minLevel", 2, 1, 50};
inline constexpr RangedKey DtmfBeforeMin{"dtmf/beforeMin", 5, 0, 60};
inline constexpr RangedKey DtmfAfterMin{"dtmf/afterMin", 5, 0, 60};
inline constexpr RangedKey DtmfDelaySec{"dtmf/delaySec", 0, 0, 300};

// Relay.
inline constexpr TextKey RelayLastUrl{"relay/lastUrl", ""};
inline constexpr BoolKey RelayStartNextOnStop{"relay/startNextOnStop", false};

// Updates.
inline constexpr BoolKey CheckUpdatesOnStartup{"updates/checkOnStartup", false};
inline constexpr TextKey UpdatesUrl{"updates/url", ""};
inline constexpr StoredKey UpdatesLastCheck{"updates/lastCheck"};
inline constexpr TextKey UpdatesSkippedVersion{"updates/skippedVersion", ""};

// Weather.
inline constexpr TextKey WeatherCity{"weather/city", ""};
inline constexpr TextKey WeatherLat{"weather/lat", ""};
inline constexpr TextKey WeatherLon{"weather/lon", ""};
inline constexpr TextKey WeatherLabel{"weather/label", ""};
inline constexpr TextKey WeatherWindUnit{"weather/windUnit", "kmh"};
inline constexpr TextKey WeatherPrecipUnit{"weather/precipUnit", "mm"};
// Empty: the public service's address.
inline constexpr TextKey WeatherGeocodingUrl{"weather/geocodingUrl", ""};
inline constexpr TextKey WeatherForecastUrl{"weather/forecastUrl", ""};

// Playlist generator.
inline constexpr RangedKey GeneratorNoRepeatArtistMin{"generator/noRepeatArtistMin", 60, 0, 1440};
inline constexpr RangedKey GeneratorNoRepeatTitleMin{"generator/noRepeatTitleMin", 180, 0, 1440};
inline constexpr RangedKey GeneratorNoRepeatAlbumMin{"generator/noRepeatAlbumMin", 30, 0, 1440};
inline constexpr BoolKey GeneratorUseRatings{"generator/useRatings", true};
inline constexpr RangedKey GeneratorMinRating{"generator/minRating", 0, 0, 10};
inline constexpr TextKey GeneratorIncludeTags{"generator/includeTags", ""};
inline constexpr TextKey GeneratorExcludeTags{"generator/excludeTags", ""};
inline constexpr TextKey GeneratorGenres{"generator/genres", ""};
inline constexpr RangedKey GeneratorMinYear{"generator/minYear", 0, 0, 3000};
inline constexpr RangedKey GeneratorMaxYear{"generator/maxYear", 0, 0, 3000};
inline constexpr TextKey GeneratorCannotFollow{"generator/cannotFollow", ""};

// Teaser.
inline constexpr TextKey TeaserStartJingle{"teaser/startJingle", ""};
inline constexpr TextKey TeaserTransitionJingle{"teaser/transitionJingle", ""};
inline constexpr TextKey TeaserEndJingle{"teaser/endJingle", ""};
inline constexpr RangedKey TeaserMaxTracks{"teaser/maxTracks", 4, 1, 10};
inline constexpr RangedKey TeaserAutoHookMs{"teaser/autoHookMs", 12000, 1000, 20000};
inline constexpr RangedKey TeaserCrossfadeMs{"teaser/crossfadeMs", 300, 0, 15000};

// Scheduled events: the day and the keys of the occurrences already run, as
// an older version kept them; read once and removed (they are now kept
// beside events.json).
inline constexpr StoredKey SchedulerFired{"scheduler/fired"};

// Auto intros.
inline constexpr BoolKey AutoIntroEnabled{"autointro/enabled", false};
inline constexpr StoredKey AutoIntroRules{"autointro/rules"};

// Password hashes.
inline constexpr TextKey SettingsPasswordHash{"security/settingsHash", ""};
inline constexpr TextKey SchedulerPasswordHash{"security/schedulerHash", ""};

// Keys under names the user chooses. A hot key's portable key text, absent
// for its built-in key:
QString hotKey(const QString& actionId);
// A track type's own crossfade, under crossfade/<type in lower case, blanks
// as underscores>/; field is "override", "mixPointMs", "fadeOutMs" or
// "overridePrev".
QString typeCrossfade(const QString& type, const QString& field);
inline constexpr bool TypeOverrideDefault = false;
inline constexpr int TypeMsDefault = 1000;

} // namespace Setting

// Application-wide defaults, and the one place numeric settings are read.
class AppSettings
{
public:
    // The initial master volume, 0 to 100.
    static int defaultVolume();

    // A numeric setting of the table above, within the range the settings
    // dialog allows. Absent, it is the default; a value outside the range,
    // or no number at all, also gives the default, and one log line names
    // the key.
    static int intValue(const QString& key);
    static double doubleValue(const QString& key);
    static int intValue(const RangedKey& key);
    static double doubleValue(const RangedKey& key);

    // Where those log lines go; until a sink is set they are kept for it.
    static void setLogSink(std::function<void(const QString&)> sink);
};
