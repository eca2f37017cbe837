#pragma once

#include <QString>

// One element of a planned teaser: a whole jingle or a track's hook.
struct TeaserPiece
{
    enum Kind { Jingle = 0, Hook = 1 };

    int kind = Jingle;
    QString file{};
    qint64 startMs = 0;  // 0 for jingles
    qint64 lengthMs = 0; // 0 for jingles: the whole file
    QString label{};     // "Start jingle", "Transition", "Ending jingle", or the track's name
};
