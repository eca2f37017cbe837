#pragma once

#include <QAudioDevice>

// Asks the PulseAudio server itself whether it has a device. Qt's device
// list keeps devices the server no longer has (one removed, all those of a
// server that restarted), and Qt waits for ever on a stream opened on such
// a device, or on a server that does not answer; what is opened is
// therefore asked here first.
class SoundServer
{
public:
    enum class Answer {
        Present,
        Absent,
        NoAnswer, // no server answered in time
        Unknown,  // the program does not talk to PulseAudio
    };

    static constexpr int kAnswerTimeoutMs = 1500;

    static Answer has(const QAudioDevice& device);
    // The server answered and does not have it: a device listed by Qt that
    // must not be opened.
    static bool gone(const QAudioDevice& device) { return has(device) == Answer::Absent; }
};
