#pragma once

#include <QString>

// The one check before the program opens a path it was given: only a regular
// file (or a stream address where one is allowed) of a size that fits what
// it is. A FIFO, a device or a runaway file would block or swamp the thread
// that opens it, and a station's private files are no playlists.
class PathGate
{
public:
    enum class Kind {
        Audio,     // a row, a cart, the aux deck, a voice-over, an intro, a teaser
        Stream,    // as Audio, or a stream address
        Playlist,  // an M3U, M3U8 or PLS file
        StoredData // the program's own files: playlists.json, events.json
    };

    // Empty when the path may be opened; otherwise why not, for a log line
    // ("is not a regular file", "is larger than 16 MB" ...).
    static QString refusal(const QString& path, Kind kind);
    static bool allows(const QString& path, Kind kind) { return refusal(path, kind).isEmpty(); }

    // A file that is not there, or a regular file that may be written over:
    // what a target the program writes to must be. Empty when it may be.
    static QString writeRefusal(const QString& path);

    // By the name alone: .m3u, .m3u8 or .pls in any case.
    static bool hasPlaylistSuffix(const QString& path);

    static qint64 maxBytes(Kind kind);
};
