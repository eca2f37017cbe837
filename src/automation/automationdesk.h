#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class AudioEngine;
class AudioInput;
class AutoIntro;
class DtmfMonitor;
class EventScheduler;
class PlaylistModel;
class SilenceDetector;
struct Track;

// What the station's automation needs of the program around it: the parts
// it drives, the desk that shows them and the outputs above it. The main
// window is one; any part may be absent (a null pointer), as while the
// program starts or closes.
class AutomationDesk
{
public:
    virtual ~AutomationDesk() = default;

    virtual AudioEngine* engine() = 0;
    virtual PlaylistModel* onAirPlaylist() = 0;
    virtual PlaylistModel* viewedPlaylist() = 0;
    virtual AudioInput* mic() = 0;
    virtual AudioInput* lineIn() = 0;
    virtual EventScheduler* scheduler() = 0;
    virtual SilenceDetector* silenceDetector() = 0;
    virtual AutoIntro* autoIntro() = 0;
    virtual DtmfMonitor* dtmfMonitor() = 0;

    virtual void appendLog(const QString& text) = 0;
    // Replaces the rows of the playlist named with those of a playlist file
    // (.m3u, .m3u8 or .pls): false when the file is refused at once; else it
    // is read off the window's thread and `loaded` told whether its rows
    // went in.
    virtual bool loadPlaylistFile(const QString& path, PlaylistModel* into,
                                  std::function<void(bool)> loaded = {}) = 0;
    // Runs `then` once every load and add of rows asked before is in (at
    // once when none is under way): what automation asks next finds them.
    // With a bound, after that long at the latest, on the rows as they are.
    virtual void afterRowsMade(std::function<void()> then, int atMostMs = -1) = 0;
    // Rows of files as every road makes them (the library's record, else
    // the file's tags, else its name; a path the gate refuses none), read
    // off the window's thread and handed to `use` after what was asked
    // before; the lines of what was left out go to the log.
    virtual void makeRows(const QStringList& paths, std::function<void(const QList<Track>&)> use) = 0;
    // Rows asked for are still being read or put in.
    virtual bool rowsBeingMade() = 0;
    virtual bool renderPlaylistTo(const QString& path) = 0;
    virtual void rebuildMusicLibrary(const QString& folder) = 0;
    // Shows the playlist on air as the one the engine plays from.
    virtual void showOnAirPlaylist() = 0;
    virtual void showVolume(int volume) = 0;
    virtual void updateSilenceStatus() = 0;
    virtual void showSchedulerState() = 0;
    virtual void refreshSchedulerList() = 0;

    // The source client to the streaming server.
    virtual bool hasSourceClient() = 0;
    virtual bool sourceClientActive() = 0; // streaming or reconnecting
    virtual void startSourceClient() = 0;
    virtual void stopSourceClient() = 0;
    virtual void setCastTitle(const QString& title) = 0;

    // The stream archive. An empty folder or name keeps the stored one.
    virtual bool hasArchive() = 0;
    virtual void stopArchive() = 0;
    virtual void startArchive(const QString& folder, const QString& namePattern, qint64 stopAfterMs) = 0;

    virtual bool hasWeather() = 0;
    virtual void refreshWeather() = 0;
    virtual void setWeatherCity(const QString& city) = 0;
};
