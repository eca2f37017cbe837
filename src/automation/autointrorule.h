#pragma once

#include "library/track.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// One rule of the automatic intros: which music tracks get a jingle in front
// of them, from where, how often and where the jingle mixes into the track.
struct AutoIntroRule
{
    QString name{};
    bool enabled = true;
    QStringList sources{};        // audio files, folders and m3u/m3u8 playlists
    int probability = 100;        // percent; 0 or less never fires
    QString condField{};          // artist, title, album, genre, comment, year or duration; empty = any
    QString condValue{};          // text, or a number or "low-high" for year and duration (seconds)
    QStringList skipAfterTypes{}; // categories of the previous track that prevent the rule
    QStringList skipFileTypes{};  // categories of the music track that prevent it
    QStringList mustTags{};
    bool tagsMatchAll = false;    // false: any one of mustTags suffices
    int position = 0;             // 0 "Start at", 1 "End at"; kept for the editor
    int posValue = 0;             // mix point from: 0 positionSecs, 1 intro mark, 2 fade-in length
    double positionSecs = 0.0;
    int cooldownSecs = 0;
    QDateTime lastUsed{};         // invalid: never fired

    QJsonObject toJson() const;
    // Missing or unusable members keep their defaults.
    static AutoIntroRule fromJson(const QJsonObject& o);

    bool matchesCondition(const Track& track) const;
    bool cooldownElapsed(const QDateTime& now) const;
    // Where the jingle mixes into the track, in seconds.
    double resolvedPositionSecs(qint64 introMs, qint64 fadeInMs) const;
};
