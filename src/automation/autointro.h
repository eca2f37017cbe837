#pragma once

#include "automation/autointrorule.h"
#include "library/track.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class PlaylistModel;
class QRandomGenerator;

// The automatic intros: a master switch and the ordered rules, stored in
// "autointro/enabled" and, as a compact JSON array, "autointro/rules".
// Changed in place by its owners, who then save.
class AutoIntro
{
public:
    // The jingle to put in front of a playlist row.
    struct Intro
    {
        int rule = -1;        // index in rules; -1: no intro
        Track jingle{};       // category "Jingle", artist and title from the file name
        int mixPointMs = -1;  // where the jingle mixes into the track; -1: no override
    };

    bool enabled = false;
    QList<AutoIntroRule> rules{};

    void load();
    void save() const;

    // The first rule that passes for the track, or -1. rand is one draw of
    // 0..99 made for the track, compared with every rule's probability.
    int selectRule(const Track& track, const QDateTime& now, int rand, const QString& previousCategory) const;

    // The candidate jingles of a rule's sources, in order, duplicates kept.
    static QStringList expandSources(const QList<QString>& sources);
    // One of them by random; empty when the sources yield none.
    static QString chooseIntroFile(const AutoIntroRule& rule, int random);

    // The intro for row of the playlist, with the file's own tags and cue
    // points, after a track of previousCategory started. Draws first the
    // 0..99 number for the rules, then the file.
    Intro introFor(const PlaylistModel& playlist, int row, const QString& previousCategory,
                   const QDateTime& now, QRandomGenerator& random) const;
    // Stamps the rule as fired and saves the store.
    void markUsed(int rule, const QDateTime& now);
};
