#pragma once

#include "library/playlistfile.h"
#include "library/track.h"

#include <QList>
#include <QStringList>

// Playlist rows for the entries of a playlist file or for paths handed in,
// in their order. A folder stands for its audio files; a path the gate
// refuses makes no row, a missing file still does (it may come back). A file
// takes the library's record, else its tags, else its name; a stream the
// library's title and limit. Command rows and stream limits stay with the
// entry they were written beside. Any thread may make them, given a library
// connection of its own.
class PlaylistRows
{
public:
    struct Made
    {
        QList<Track> rows;
        QStringList notes; // lines for the log: what was left out and why
        qsizetype entries = 0; // the items that were no command rows
    };

    static QList<PlaylistFile::Item> itemsFor(const QStringList& paths);
    // connectionName: empty for the shared connection (the GUI thread's).
    static Made make(const QList<PlaylistFile::Item>& items, const QString& connectionName = {});
    // The line that says why a local path makes no row; empty when it
    // makes one. A missing file makes one.
    static QString refusal(const QString& path);
    // The rows that are not command rows.
    static qsizetype trackCount(const QList<Track>& rows);
};
