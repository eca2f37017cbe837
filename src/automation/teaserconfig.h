#pragma once

#include <QString>

// What a teaser is made of besides the hooks; stored under "teaser/".
struct TeaserConfig
{
    QString startJingle{};    // empty: none
    QString transitionJingle{}; // between two hooks
    QString endJingle{};
    int maxTracks = 4;        // below 1 counts as 1
    int autoHookMs = 12000;   // hook length of tracks without usable hook marks
    int crossfadeMs = 300;    // overlap of consecutive pieces
};
