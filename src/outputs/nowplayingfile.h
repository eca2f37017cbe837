#pragma once

#include "library/appsettings.h"
#include "library/track.h"

#include <QString>

// The one-line "what is on air" file read by RDS encoders, web widgets and
// overlays. Stateless: every call works from its arguments and the clock.
class NowPlayingFile
{
public:
    struct Config
    {
        bool enabled = false;
        QString path;
        QString format = Setting::NowPlayingFormat.defaultValue();
        // UTF-16 code units; 0 or less = no limit (64 = RDS RadioText)
        int maxLength = int(Setting::NowPlayingMaxLength.fallback);
        bool padForRds = false;    // pad a shorter line with blanks to maxLength
        QString whenStopped;       // written by clear(); empty empties the file
    };

    static Config configFromSettings();
    static void saveConfig(const Config& config);

    // The line for a track; a non-blank override ("Artist - Title" from
    // stream metadata) replaces the track's artist and title.
    static QString render(const Config& config, const Track& track, const QString& overrideText);
    // Replaces the file atomically; true only when it was replaced. When an
    // enabled file with a path could not be written, error gets the reason.
    static bool write(const Config& config, const QString& text, QString* error = nullptr);
    static bool update(const Config& config, const Track& track, const QString& overrideText,
                       QString* error = nullptr);
    static bool clear(const Config& config);
};
