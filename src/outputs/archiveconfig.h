#pragma once

#include "library/appsettings.h"

#include <QString>

// How and where the stream archive records.
struct ArchiveConfig
{
    QString folder; // empty = the user's music folder
    QString namePattern = Setting::ArchiveNamePattern.defaultValue();
    int bitrate = int(Setting::ArchiveBitrate.fallback); // kbit/s
    int sampleRate = int(Setting::ArchiveSampleRate.fallback);
    int channels = int(Setting::ArchiveChannels.fallback);
    int splitMinutes = int(Setting::ArchiveSplitMinutes.fallback); // below 1 = one file per recording
    qint64 stopAfterMs = 0; // 0 or less = no limit; never stored
    bool internalMix = false; // record the engine's on-air buffers instead
    QString inputDevice; // capture device description; empty = default input
};
