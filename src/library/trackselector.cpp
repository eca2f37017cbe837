#include "trackselector.h"

#include <QtMath>

#include <algorithm>

namespace {

bool hasTag(const QStringList& tags, const QString& tag)
{
    return tags.contains(tag, Qt::CaseInsensitive);
}

bool sameText(const QString& a, const QString& b)
{
    return !a.isEmpty() && a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

bool TrackSelector::passesFilters(const Track& track, const QStringList& tags, const GeneratorRules& rules)
{
    for (const GeneratorRules::TagFilter& f : rules.tagFilters) {
        if (f.tags.isEmpty())
            continue;
        const bool any = std::any_of(f.tags.begin(), f.tags.end(),
                                     [&](const QString& t) { return hasTag(tags, t); });
        if (f.exclude ? any : !any)
            return false;
    }

    if (!rules.genres.isEmpty()) {
        if (track.genre.isEmpty())
            return false;
        const bool listed = std::any_of(rules.genres.begin(), rules.genres.end(), [&](const QString& g) {
            return g.trimmed().compare(track.genre, Qt::CaseInsensitive) == 0;
        });
        if (!listed)
            return false;
    }

    if (rules.minYear < 1 && rules.maxYear < 1)
        return true;
    if (track.year < 1)
        return false;
    if (rules.minYear >= 1 && track.year < rules.minYear)
        return false;
    if (rules.maxYear >= 1 && track.year > rules.maxYear)
        return false;
    return true;
}

bool TrackSelector::violatesSeparation(const Track& track, const QList<QPair<Track, int>>& placed,
                                       const GeneratorRules& rules, bool switchedOff)
{
    if (switchedOff)
        return false;
    for (const auto& [before, minutes] : placed) {
        const int m = qMax(0, minutes);
        if (rules.noRepeatArtistMin > m && sameText(track.artist, before.artist))
            return true;
        if (rules.noRepeatTitleMin > m && sameText(track.title, before.title))
            return true;
        if (rules.noRepeatAlbumMin > m && sameText(track.album, before.album))
            return true;
    }
    return false;
}

bool TrackSelector::violatesCannotFollow(const QStringList& tags, const QStringList& previousTags,
                                         const GeneratorRules& rules)
{
    for (const GeneratorRules::CannotFollow& rule : rules.cannotFollow) {
        if (rule.tag.isEmpty() || rule.afterTag.isEmpty())
            continue;
        if (hasTag(tags, rule.tag) && hasTag(previousTags, rule.afterTag))
            return true;
    }
    return false;
}

int TrackSelector::priorityFor(const Track&, int rating, const GeneratorRules& rules)
{
    if (!rules.useRatings)
        return 50;
    if (rules.minRating >= 1 && rating < rules.minRating)
        return -1;
    if (rules.minRating < 1 && rating < 1)
        return 50;
    return qMin(rating * 10, 100);
}

double TrackSelector::weightFor(int priority)
{
    if (priority < 0)
        return 0.0;
    return qPow(3.5, (qMin(priority, 100) - 50) / 50.0);
}

int TrackSelector::pickWeighted(const QList<double>& weights, double r)
{
    if (weights.isEmpty())
        return -1;
    double total = 0.0;
    for (double w : weights) {
        if (w > 0.0)
            total += w;
    }
    if (total <= 0.0)
        return -1;
    const double target = std::clamp(r, 0.0, 0.999999) * total;
    double running = 0.0;
    for (int i = 0; i < weights.size(); ++i) {
        if (weights[i] <= 0.0)
            continue;
        running += weights[i];
        if (running > target)
            return i;
    }
    for (int i = int(weights.size()) - 1; i >= 0; --i) {
        if (weights[i] > 0.0)
            return i;
    }
    return -1;
}
