#pragma once

#include <QString>

// How and where the stream archive records.
struct ArchiveConfig
{
    QString folder;                            // empty = the user's music folder
    QString namePattern = QStringLiteral("'Orchidlantern_'yyyy-MM-dd_HH-mm-ss");
    int bitrate = 128;                         // kbit/s
    int sampleRate = 44100;
    int channels = 2;
    int splitMinutes = 60;                     // below 1 = one file per recording
    qint64 stopAfterMs = 0;                    // 0 or less = no limit; never stored
    bool internalMix = false;                  // record the engine's on-air buffers instead
    QString inputDevice;                       // capture device description; empty = default input
};
