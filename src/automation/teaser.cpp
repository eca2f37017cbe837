#include "teaser.h"

#include "engine/audiorender.h"
#include "engine/playlistmodel.h"
#include "library/appsettings.h"
#include "library/pathgate.h"
#include "library/trackparams.h"

#include <QSettings>

#include <algorithm>

namespace {

// Hooks are excerpts: from 21 s on it is no longer one.
constexpr qint64 kLongestHookMs = 20999;
constexpr qint64 kShortestAutoHookMs = 1000;
constexpr qint64 kShortestTrackMs = 2000;
constexpr int kMp3Kbps = 192;

TeaserPiece jingle(const QString& file, const QString& label)
{
    return {TeaserPiece::Jingle, file, 0, 0, label};
}

QString hookLabel(const Track& t)
{
    if (!t.artist.isEmpty() && !t.title.isEmpty())
        return t.artist + QStringLiteral(" - ") + t.title;
    return t.title.isEmpty() ? t.filePath : t.title;
}

} // namespace

Teaser::Teaser(QObject* parent) : QObject(parent) {}

TeaserConfig Teaser::configFromSettings()
{
    const QSettings s;
    TeaserConfig c;
    c.startJingle = Setting::TeaserStartJingle.read(s);
    c.transitionJingle = Setting::TeaserTransitionJingle.read(s);
    c.endJingle = Setting::TeaserEndJingle.read(s);
    c.maxTracks = Setting::TeaserMaxTracks.readInt();
    c.autoHookMs = Setting::TeaserAutoHookMs.readInt();
    c.crossfadeMs = Setting::TeaserCrossfadeMs.readInt();
    return c;
}

void Teaser::saveConfig(const TeaserConfig& config)
{
    QSettings s;
    Setting::TeaserStartJingle.write(s, config.startJingle);
    Setting::TeaserTransitionJingle.write(s, config.transitionJingle);
    Setting::TeaserEndJingle.write(s, config.endJingle);
    Setting::TeaserMaxTracks.write(s, config.maxTracks);
    Setting::TeaserAutoHookMs.write(s, config.autoHookMs);
    Setting::TeaserCrossfadeMs.write(s, config.crossfadeMs);
}

bool Teaser::isEligible(const Track& track)
{
    return !track.marker && !track.isStream && !track.voiceTrack && !track.filePath.isEmpty();
}

bool Teaser::hookFor(const Track& track, int autoHookMs, qint64& startMs, qint64& lengthMs)
{
    const TrackParams p = TrackParams::load(track.filePath);
    if (p.hookIn < p.hookOut && p.hookOut - p.hookIn <= kLongestHookMs) {
        startMs = p.hookIn;
        lengthMs = p.hookOut - p.hookIn;
        return true;
    }
    qint64 length = std::clamp<qint64>(autoHookMs, kShortestAutoHookMs, kLongestHookMs);
    const qint64 duration = track.durationMs;
    if (duration <= 0) {
        startMs = 0;
        lengthMs = length;
        return true;
    }
    if (duration < kShortestTrackMs)
        return false;
    length = std::min(length, duration);
    startMs = std::min(duration / 3, duration - length);
    lengthMs = length;
    return true;
}

QList<TeaserPiece> Teaser::plan(const QList<Track>& upcoming, const TeaserConfig& config)
{
    QList<TeaserPiece> pieces;
    if (!config.startJingle.isEmpty())
        pieces.append(jingle(config.startJingle, QStringLiteral("Start jingle")));
    const int most = std::max(config.maxTracks, 1);
    int hooks = 0;
    for (const Track& t : upcoming) {
        if (hooks >= most)
            break;
        qint64 start = 0;
        qint64 length = 0;
        if (!isEligible(t) || !hookFor(t, config.autoHookMs, start, length))
            continue;
        if (hooks > 0 && !config.transitionJingle.isEmpty())
            pieces.append(jingle(config.transitionJingle, QStringLiteral("Transition")));
        pieces.append({TeaserPiece::Hook, t.filePath, start, length, hookLabel(t)});
        ++hooks;
    }
    if (hooks == 0)
        return {};
    if (!config.endJingle.isEmpty())
        pieces.append(jingle(config.endJingle, QStringLiteral("Ending jingle")));
    return pieces;
}

QList<Track> Teaser::upcoming(const PlaylistModel& playlist, int currentRow)
{
    return playlist.tracks().mid(std::max<qsizetype>(qsizetype(currentRow) + 1, 0));
}

bool Teaser::build(const QList<TeaserPiece>& pieces, const QString& outputPath, int crossfadeMs)
{
    if (pieces.isEmpty())
        return false;
    if (const QString refusal = PathGate::writeRefusal(outputPath); !refusal.isEmpty()) {
        emit logMessage(QStringLiteral("Teaser: cannot write %1 (%2)").arg(outputPath, refusal));
        return false;
    }
    QList<AudioRender::Clip> clips;
    for (const TeaserPiece& p : pieces) {
        if (const QString refusal = PathGate::refusal(p.file, PathGate::Kind::Audio); !refusal.isEmpty()) {
            emit logMessage(QStringLiteral("Teaser: left out %1 (%2 %3)").arg(p.label, p.file, refusal));
            continue;
        }
        clips.append({p.file, p.startMs, p.lengthMs});
    }
    if (clips.isEmpty())
        return false;
    AudioRender render;
    connect(&render, &AudioRender::logMessage, this, &Teaser::logMessage);
    connect(&render, &AudioRender::progress, this, &Teaser::progress);
    return render.renderClips(clips, outputPath, crossfadeMs, kMp3Kbps);
}
