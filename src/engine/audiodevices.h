#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QString>

// Audio devices are chosen by their description text, as the settings store
// them; a description that matches nothing means the system default.
class AudioDevices
{
public:
    static QAudioDevice input(const QString& description);
    static QAudioDevice output(const QString& description);
    // 16-bit at the given rate and channel count when the device takes it,
    // else the device's own preferred format.
    static QAudioFormat captureFormat(const QAudioDevice& device, int sampleRate, int channels);
};
