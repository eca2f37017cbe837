#pragma once

#include "track.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>

// The station's catalogue: named libraries of files and streams kept in
// library.db, or, in folder mode, the audio files of one folder in memory.
// A small value that selects one library; database-wide operations are
// static. The connection is shared with the track parameters and the play
// history.
class MusicLibrary
{
public:
    QString name;              // the selected library; in folder mode the folder
    bool folderMode = false;
    QList<Track> tracks;       // folder mode only

    // The shared connection "ol_library", opened on first use.
    static QSqlDatabase database();
    // Creates or upgrades library.db; true when the file is open.
    static bool initDatabase();
    static void ensureSchema();
    static void migrateFromJson();

    // Whether the full-text index exists; searches fall back to LIKE without it.
    static bool s_ftsAvailable;

    static bool createLibrary(const QString& name);
    bool load(const QString& name);
    void addTrack(const Track& track);
};
