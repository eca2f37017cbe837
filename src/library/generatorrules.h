#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The playlist generator's rules, kept in the settings group "generator".
struct GeneratorRules
{
    struct TagFilter
    {
        bool exclude = false;  // false: one of the tags required; true: none allowed
        QStringList tags;
    };

    // A track tagged `tag` may not directly follow one tagged `afterTag`.
    struct CannotFollow
    {
        QString tag;
        QString afterTag;

        QString toString() const;
    };

    int noRepeatArtistMin = 60;
    int noRepeatTitleMin = 180;
    int noRepeatAlbumMin = 30;
    bool useRatings = true;
    int minRating = 0;          // below 1: no minimum
    QList<TagFilter> tagFilters;
    QStringList genres;         // empty: every genre
    int minYear = 0;            // below 1: open
    int maxYear = 0;            // below 1: open
    QList<CannotFollow> cannotFollow;

    static GeneratorRules fromSettings();
    static void saveToSettings(const GeneratorRules& rules);

    // The texts the rules are edited and stored as: a comma-separated list
    // (blank entries dropped) and one "TAG after TAG" pair per line.
    static QStringList splitList(const QString& text);
    static QList<CannotFollow> parseCannotFollow(const QString& lines);
    QStringList tagsOf(bool exclude) const;
    QString cannotFollowText() const;
};
