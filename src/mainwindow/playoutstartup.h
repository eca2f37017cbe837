#pragma once

#include <QStringList>

class QApplication;

// The playout program's start-up, step by step, so that each step can be
// exercised on its own.
class PlayoutStartup
{
public:
    // Selects the media framework's FFmpeg backend unless one is chosen.
    static void prepareEnvironment();
    // Names, version and icon shared with the library manager.
    static void configureApplication(QApplication& app);
    // Applies ":/style.qss"; false (and nothing set) when it cannot be opened.
    static bool applyStyleSheet(QApplication& app);
    // Hands the heap's free pages back to the system: loading, saving and
    // searching big playlists leave them behind, and an idle program should
    // not hold them through the night.
    static void returnFreedMemory();
    // The whole start-up and the event loop; returns the exit code.
    static int run(int argc, char** argv);
    // From the configured application on: the window with these paths in
    // its playlist, then the event loop.
    static int start(QApplication& app, const QStringList& paths);
};
