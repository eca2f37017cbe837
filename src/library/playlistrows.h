#pragma once

#include "library/playlistfile.h"
#include "library/track.h"

#include <QList>
#include <QStringList>

#include <memory>

class ReadWatch;

// Playlist rows for the entries of a playlist file or for paths handed in,
// in their order. A folder stands for its audio files; a path the gate
// refuses makes no row, a missing file still does (it may come back). A file
// takes the library's record, else its tags, else its name; a stream the
// library's title and limit. Command rows and stream limits stay with the
// entry they were written beside. They are made off the window's thread,
// every look at the file system a read of the job's watch.
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
    // Makes the rows into the watch (ReadWatch::finish() takes them), the
    // library's records read through a connection of its own to
    // libraryFile, opened for that moment only. notes: lines that come
    // before those of the rows; none: the line when no track row is made.
    static void make(const QList<PlaylistFile::Item>& items, const std::shared_ptr<ReadWatch>& watch,
                     const QString& libraryFile, const QStringList& notes = {}, const QString& none = {});
    // The rows of the items from their names alone, without a look at the
    // file system or the library; folders make none.
    static Made named(const QList<PlaylistFile::Item>& items);
    // The line that says why a local path makes no row; empty when it
    // makes one. A missing file makes one.
    static QString refusal(const QString& path);
    // The rows that are not command rows.
    static qsizetype trackCount(const QList<Track>& rows);
};
