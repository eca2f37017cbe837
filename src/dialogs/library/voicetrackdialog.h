#pragma once

#include <QString>

// The voice-track recorder. Owns the setting of the folder the voice tracks
// are saved in, which the settings dialog, the main window and the teaser
// builder share.
class VoiceTrackDialog
{
public:
    // The stored folder as it is, or the default folder when none is stored;
    // not created here.
    static QString voiceTrackFolder();
    // An empty folder brings the default back.
    static void setVoiceTrackFolder(const QString& folder);
};
