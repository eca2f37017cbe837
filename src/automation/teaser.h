#pragma once

#include "automation/teaserconfig.h"
#include "automation/teaserpiece.h"
#include "library/track.h"

#include <QList>
#include <QObject>
#include <QString>

class PlaylistModel;

// Plans a teaser of the upcoming tracks (jingles around the tracks' hooks)
// and renders it into one audio file.
class Teaser : public QObject
{
    Q_OBJECT

public:
    explicit Teaser(QObject* parent = nullptr);

    static TeaserConfig configFromSettings();
    static void saveConfig(const TeaserConfig& config);

    // A playable file: no command row, stream or voice track.
    static bool isEligible(const Track& track);
    // The hook marks when they are usable (under 21 s), else an automatic
    // excerpt from a third into the track; false for tracks under 2 s.
    static bool hookFor(const Track& track, int autoHookMs, qint64& startMs, qint64& lengthMs);
    // Empty when no track has a hook: jingles alone make no teaser.
    static QList<TeaserPiece> plan(const QList<Track>& upcoming, const TeaserConfig& config);
    // The rows after currentRow (all of them when it is below 0).
    static QList<Track> upcoming(const PlaylistModel& playlist, int currentRow);

    // MP3 at 192 kbit/s for a ".mp3" path, else WAV; blocks until written.
    bool build(const QList<TeaserPiece>& pieces, const QString& outputPath, int crossfadeMs);

signals:
    void progress(int percent, const QString& text);
    void logMessage(const QString& text);
};
