#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QString>

// Audio devices are chosen by their description text, as the settings store
// them; a description that matches nothing means the system default. A
// device the sound server says it no longer has is never chosen.
class AudioDevices
{
public:
    // found, when given, tells whether the device of that description was
    // there; an empty description counts as found.
    static QAudioDevice input(const QString& description, bool* found = nullptr);
    static QAudioDevice output(const QString& description, bool* found = nullptr);
    // 16-bit at the given rate and channel count when the device takes it,
    // else the device's own preferred format.
    static QAudioFormat captureFormat(const QAudioDevice& device, int sampleRate, int channels);
    // The log text for an input device of that description that is not
    // there while the used one is captured in its place.
    static QString inputMissingText(const QString& description, const QAudioDevice& used);
};
