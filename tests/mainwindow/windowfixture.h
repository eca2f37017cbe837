#pragma once

#include "mainwindow/mainwindow.h"

#include <QPoint>
#include <QVariantMap>

#include <memory>

class QAction;
class QMenu;
class QMimeData;
class PlaylistModel;

// The real main window for one test case: the settings and the stored
// playlists of the test's home are emptied, the given settings written, then
// the window is built. Deleting
// the fixture tears the window down as the program does at exit.
class WindowFixture
{
public:
    explicit WindowFixture(const QVariantMap& settings = {});
    ~WindowFixture();

    MainWindow& window() { return *m_window; }
    MainWindow* operator->() { return m_window.get(); }
    // Builds the window again on the settings the last one left (a restart).
    void restart();
    void destroy() { m_window.reset(); }

    template<class T>
    T* find(const QString& objectName = {}) const
    {
        return m_window->findChild<T*>(objectName);
    }

    // The window's addPaths(); returns once the rows, made off the window's
    // thread, are in.
    void addPaths(const QStringList& paths, PlaylistModel* into = nullptr);
    // Waits until no rows asked for are still being made.
    bool rowsMade(int timeoutMs = 60000);

    // The log texts, newest first, without their time stamps.
    QStringList log() const;
    bool waitForLog(const QString& text, int timeoutMs = 15000) const;
    // A menu bar entry such as ("&Broadcast", "Built-in server").
    QAction* menuAction(const QString& menu, const QString& text) const;
    // Writes the window as a PNG under the build folder for a person to see.
    QString screenshot(const QString& name) const;

    // A tone file made by ffmpeg in the test's home.
    static QString toneFile(const QString& name, double seconds, double frequencyHz = 440);
    // curl's whole answer (head and body) to a GET of the target on a
    // loopback port, while the event loop keeps serving the window.
    static QByteArray get(quint16 port, const QString& target);
    // A loopback port that nothing listens on just now.
    static quint16 freePort();
    // A remote API on a loopback port, and a command line or the playback
    // answer asked of it with the password it was given.
    static QVariantMap apiSettings(quint16 port);
    static QByteArray command(quint16 port, const QString& line);
    static QByteArray playbackInfo(quint16 port);
    // A field of the playback answer, such as "CurrentTrack/Title".
    static QString playbackField(const QByteArray& info, const QString& path);
    // Runs the next popup menu: the action with this text is triggered.
    static void choosePopupEntry(const QString& text, int attempts = 100);
    // Drags the data (taken over) into the target and drops it at its
    // bottom edge, below any rows it lists; true when the drop was taken.
    // In the window, it returns once the rows dropped are in.
    static bool drop(QWidget* target, QMimeData* data);
    // The same at a point of the target.
    static bool drop(QWidget* target, QMimeData* data, QPoint at);

private:
    std::unique_ptr<MainWindow> m_window;
};
