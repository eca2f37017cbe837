#pragma once

#include <QStringList>

#include <functional>
#include <memory>

class QApplication;
class OnlyCopyLock;
class QObject;

// The playout program's start-up, step by step, so that each step can be
// exercised on its own.
class PlayoutStartup
{
public:
    // The exit code of a start refused because another copy runs on the
    // same settings.
    static constexpr int kAlreadyRunning = 3;

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
    // A log reader that stalls or goes away costs log lines, never the air:
    // whatever writes to standard error (Qt, FFmpeg, any library) goes
    // through the log's writer thread (StderrLog::takeOver).
    static void keepStandardErrorOffTheAir();
    // The lock of the user's settings folder, held while it lives, or none
    // when another copy of the program holds it (told on standard error and,
    // where there is a display, in a message box). One that cannot be had
    // is told in a line, and the start goes on. The library manager does
    // not take it.
    static std::unique_ptr<OnlyCopyLock> lockOnlyCopy();
    // Loads the media framework's backend and the libraries it pulls in on
    // a thread of its own, beside the building of the window: loaded later
    // on the window's thread, they would freeze a painted window for a
    // quarter of a second or more. Once is enough; whenMediaStackLoaded()
    // runs f on the application's thread once the loading is done (at once
    // when it is done or was never started), unless context is gone by
    // then; waitForMediaStack() waits for it.
    static void loadMediaStackBeside();
    static void whenMediaStackLoaded(QObject* context, std::function<void()> f);
    static void waitForMediaStack();
    // The whole start-up and the event loop; returns the exit code.
    static int run(int argc, char** argv);
    // From the configured application on: the window with these paths in
    // its playlist, then the event loop.
    static int start(QApplication& app, const QStringList& paths);
};
