#pragma once

// The segue settings: when the next row starts before the end of the
// playing one, and how the outgoing deck fades. The engine plays by them;
// the track parameters merge a file's own overrides into them.
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
