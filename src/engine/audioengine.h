#pragma once

#include <QObject>

// The two-deck playout engine.
class AudioEngine : public QObject
{
    Q_OBJECT

public:
    // The segue settings: when the next row starts before the end of the
    // playing one, and how the outgoing deck fades.
    struct MixConfig
    {
        bool crossfadeEnabled = false;
        int mixPointMs = 2500;       // time before the end at which the next row starts
        int fadeOutMs = 2500;
        bool triggerMixEnabled = false;
        double triggerMixDb = -14.0; // dBFS
        bool fadeOutOnMix = true;
        int minCrossfadeMs = 45000;  // shorter tracks never segue
    };

    static MixConfig mixConfigFromSettings();
    static bool shouldStartMix(const MixConfig& mix, qint64 durationMs, qint64 remainingMs, double levelDb,
                               bool levelValid);
};
