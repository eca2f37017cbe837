#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PulseAudio server of the test's own, with a null sink as its output and
// the given modules, at a socket of its own that this process's audio and
// pactl reach (PULSE_SERVER). It can be killed and started again at the
// same socket, as a sound server restarts. Made before anything in the
// process touches audio.
class PrivatePulse
{
public:
    explicit PrivatePulse(QStringList modules = {});
    ~PrivatePulse();
    PrivatePulse(const PrivatePulse&) = delete;
    PrivatePulse& operator=(const PrivatePulse&) = delete;

    // Starts the server and waits until it answers; defaultSource, when
    // given, becomes its default input.
    bool start(const QString& defaultSource = {});
    void kill(); // SIGKILL, as a crash would
    QString log() const;

private:
    QTemporaryDir m_dir;
    QStringList m_modules;
    QProcess m_process;
};
