#pragma once

#include "library/trackparams.h"

#include <QDate>
#include <QString>

// Whether and what a track's voice-over plays, and when it starts.
class Voiceovers
{
public:
    // Station-wide switch, voiceovers/enabled (default on).
    static bool enabled();
    static void setEnabled(bool on);

    // roll is a draw of 0..99 against the voice-over's probability.
    static bool shouldPlay(const TrackParams::Voiceover& vo, const QDate& today, int roll);
    // The source file itself, or one of a folder's audio files chosen by
    // random; empty when there is nothing to play. A source that is there
    // but refused by the gate (a FIFO, a device) is said in `refusal`.
    static QString pickFile(const TrackParams::Voiceover& vo, int random, QString* refusal = nullptr);
    // A voice-over that ends at its mark starts its own length before it.
    static qint64 startMsFor(const TrackParams::Voiceover& vo, qint64 voiceDurationMs);
};
