#pragma once

#include "generatorrules.h"
#include "track.h"

#include <QList>
#include <QPair>
#include <QStringList>

// The playlist generator's per-candidate tests and its weighted pick.
class TrackSelector
{
public:
    static bool passesFilters(const Track& track, const QStringList& tags, const GeneratorRules& rules);
    // placed: tracks before the candidate, each with how many minutes
    // before the candidate's slot it plays.
    static bool violatesSeparation(const Track& track, const QList<QPair<Track, int>>& placed,
                                   const GeneratorRules& rules, bool switchedOff);
    static bool violatesCannotFollow(const QStringList& tags, const QStringList& previousTags,
                                     const GeneratorRules& rules);
    // -1 excludes the track.
    static int priorityFor(const Track& track, int rating, const GeneratorRules& rules);
    static double weightFor(int priority);
    // r in [0, 1); returns an index of a positive weight, or -1.
    static int pickWeighted(const QList<double>& weights, double r);
};
