#pragma once

#include <QAudioDevice>
#include <QString>

// Audio devices are chosen by their description text, as the settings store
// them; a description that matches nothing means the system default.
class AudioDevices
{
public:
    static QAudioDevice input(const QString& description);
    static QAudioDevice output(const QString& description);
};
