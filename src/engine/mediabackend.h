#pragma once

#include <QString>

// Qt's media backend plug-in. The environment carries a build of Qt's FFmpeg
// plug-in whose players outlive a restart of the sound server (Qt's own
// crashes on it); it is preferred wherever it is installed.
class MediaBackend
{
public:
    // The backend chosen by QT_MEDIA_BACKEND, "ffmpeg" by default.
    static QString name();
    // Where the fixed build is installed.
    static QString fixedPluginFile();
    // Puts the fixed build's folder first in the application's plug-in path
    // when it is there, before the backend is loaded. Empty when it is used;
    // otherwise one line for the log saying what that means.
    static QString preferFixedPlugin();
    // The plug-in file Qt takes for the backend: the first in the plug-in
    // path that holds it.
    static QString pluginFile();
};
