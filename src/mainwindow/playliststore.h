#pragma once

#include "library/track.h"
#include "library/trackparams.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class PlaylistModel;

// The playout program's playlists between runs: every tab's name and rows
// with their playout state, which one is on air and whether it was playing.
// Kept as one JSON file in the per-user data folder, replaced whole.
class PlaylistStore
{
public:
    struct Playlist
    {
        QString name;
        QList<Track> rows;
        int currentRow = -1;
        QList<int> queue;
        QList<int> played;
        QHash<int, TrackParams::SegueOverride> segues;
    };

    struct Session
    {
        QList<Playlist> playlists;
        int onAir = 0;
        int viewed = 0;
        bool playing = false;
        QStringList aux; // the aux deck's files, in order
    };

    enum class LoadResult { Loaded, NoFile, Damaged };

    // The file's path; its folder is made when missing.
    static QString path();

    // Reads the file into session. A file that cannot be read or is not a
    // stored session is renamed aside (never overwritten later); message
    // then tells what happened, for the operator's log.
    LoadResult load(Session& session, QString& message);
    // Replaces the file. False, with message, when it cannot be written or
    // when a damaged file could not be kept aside.
    bool save(const Session& session, QString& message);

    static Playlist capture(const QString& name, const PlaylistModel& model);
    // Fills an empty model with the stored rows and their state.
    static void apply(const Playlist& playlist, PlaylistModel& model);

private:
    bool keepAside(const QString& file, QString& message);

    bool m_blocked = false; // a damaged file is still in place
};
