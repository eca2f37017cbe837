#include "audioengine.h"

#include <QSettings>

AudioEngine::MixConfig AudioEngine::mixConfigFromSettings()
{
    QSettings s;
    MixConfig m;
    m.crossfadeEnabled = s.value(QStringLiteral("playback/crossfadeEnabled"), false).toBool();
    m.mixPointMs = s.value(QStringLiteral("playback/mixPointMs"), 2500).toInt();
    m.fadeOutMs = s.value(QStringLiteral("playback/fadeOutMs"), 2500).toInt();
    m.triggerMixEnabled = s.value(QStringLiteral("playback/triggerMixEnabled"), false).toBool();
    m.triggerMixDb = s.value(QStringLiteral("playback/triggerMixDb"), -14.0).toDouble();
    m.fadeOutOnMix = s.value(QStringLiteral("playback/fadeOutOnMix"), true).toBool();
    m.minCrossfadeMs = s.value(QStringLiteral("playback/minCrossfadeMs"), 45000).toInt();
    return m;
}

bool AudioEngine::shouldStartMix(const MixConfig& mix, qint64 durationMs, qint64 remainingMs, double levelDb,
                                 bool levelValid)
{
    if (!mix.crossfadeEnabled || durationMs < 1)
        return false;
    if (durationMs < mix.minCrossfadeMs)
        return false;
    if (remainingMs < 0)
        return false;
    return remainingMs <= mix.mixPointMs || (mix.triggerMixEnabled && levelValid && levelDb <= mix.triggerMixDb);
}
