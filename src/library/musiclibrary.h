#pragma once

#include "track.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QObject;
class ReadWatch;

// The station's catalogue: named libraries of files and streams kept in
// library.db, or, in folder mode, the audio files of one folder in memory.
// A small value that selects one library; database-wide operations are
// static. The connection is shared with the track parameters and the play
// history.
class MusicLibrary
{
public:
    // A field-by-field search; empty fields are left out.
    struct Query
    {
        QString any;
        QString artist;
        QString title;
        QString album;
        QString genre;
        QString comment;
        QString filename;
        QString year;
        QString duration;

        bool isEmpty() const;
    };

    // Where a listing in search order continues: after the row with these
    // values (id 0: from the start).
    struct PageKey
    {
        QString artist;
        QString title;
        qint64 id = 0;
    };

    // A file as a draw from the library needs it: less to read and hold
    // than a whole record.
    struct File
    {
        qint64 id = 0; // the row's id, for recordsById
        QString filePath;
        QString artist;
        QString title;
        QString album;
        QString genre;
        int year = 0;
        qint64 durationMs = 0;
    };

    QString name;              // the selected library; in folder mode the folder
    bool folderMode = false;
    QList<Track> tracks;       // folder mode only
    // The connection count() and the searches use; empty for the shared
    // one. Another thread names a connection of its own here.
    QString connectionName;
    // Asked now and then while a search reads its rows: true drops the rest.
    std::function<bool()> abandoned;

    // The shared connection "ol_library", opened on first use. When another
    // program has set library.db aside since, it is opened again on the new
    // file (looked for at most four times a second). While another program
    // holds library.db's lock, it stays closed without waiting for it and is
    // tried again as often.
    static QSqlDatabase database();
    // Looks at once whether library.db was set aside.
    static void followDatabase();
    // The path of library.db, without opening it.
    static QString databasePath();
    // Creates or upgrades library.db; true when the file is open. A damaged
    // file, or one another program made, is set aside untouched, with its
    // journal, under a name not yet used, and a fresh one started: by one
    // program at a time (LibraryLock).
    static bool initDatabase();
    // As initDatabase(), for a caller that must not wait: true when it is
    // done now. While another program holds the lock, library.db stays
    // closed and the lock is tried again from the event loop, for as long
    // as initDatabase() would wait, after which the file is used without
    // being looked at; then `done` is called on the context's thread.
    static bool initDatabaseSoon(QObject* context, std::function<void()> done);
    // What the operator is to be told about library.db since the start;
    // empty when all was well.
    static QString databaseProblem();
    // connectionName: a connection of the calling thread; the shared one
    // when empty.
    static void ensureSchema(const QString& connectionName = {});
    static void migrateFromJson();
    // initDatabase's look and move, under its lock.
    static bool claimDatabase();

    // Whether the full-text index exists; searches fall back to LIKE without it.
    static bool s_ftsAvailable;

    // Libraries; clear() and deleteLibrary() report as the writes below.
    static bool createLibrary(const QString& name, const QString& connectionName = {});
    static bool deleteLibrary(const QString& name, const QString& connectionName = {});
    static QStringList availableLibraries();
    // Selects a library, creating it when it does not exist yet.
    bool load(const QString& name);
    void loadFolder(const QString& folder);
    int count() const;
    qint64 totalDurationMs() const;
    bool clear();

    // Audio files.
    static bool isAudioFile(const QString& path);
    // The text after the last slash or backslash of a path or address.
    static QString fileNamePart(const QString& path);
    static QStringList listAudioFiles(const QString& folder, bool recursive);
    static bool readTags(const QString& path, Track& track);
    static Track scanFile(const QString& path);
    // The tags of the audio files among paths, read side by side on the
    // thread pool, in the order given.
    static QFuture<Track> readTagsOf(const QStringList& paths);
    // Playlist rows for local files, in the order given: a path's first
    // record in the libraries, else the file's tags, else its name. Only
    // library records carry a length. connectionName: as the member above;
    // off the GUI thread, a connection of that thread's own.
    static QList<Track> rowsForFiles(const QStringList& paths, const QString& connectionName = {});
    // Reads the tags of the files into rows of the watch's job (rows: the
    // row of each file), side by side on the tag readers, each as a read of
    // the watch; returns once all are read or the job is given up. A file in
    // a folder where a read hangs is not read: its row keeps its name.
    static void readRowTags(const QStringList& files, const QList<qsizetype>& rows,
                            const std::shared_ptr<ReadWatch>& watch);
    // The first record of each path or address found in any library,
    // libraries in name order, then artist and title; by indexed lookups.
    static QHash<QString, Track> firstRecords(const QStringList& paths, bool streams,
                                              const QString& connectionName = {});

    // Adding and changing items, through connection(). Every write tells
    // whether the database took it: false, 0 stored or -1 when another
    // program held the file past the busy time-out or it cannot be written;
    // lastWriteError() then says why. A batch of files is stored into its
    // library, made again when another program removed it.
    bool addTrack(const Track& track);
    int addFiles(const QStringList& paths);
    // Tracks already read, stored in one write.
    int addTracks(const QList<Track>& tracks);
    int addFolder(const QString& folder, bool recursive);
    bool addStream(const QString& title, const QString& address);
    // false also when no stream of that address is left to change.
    bool updateStream(const QString& oldAddress, const QString& title, const QString& newAddress);
    // The rows changed; 0 also when the write failed.
    int setDuration(const QString& path, qint64 ms);
    // The paths of the files (not streams) still without a duration, in
    // search order; cheaper than a whole search.
    QStringList unmeasuredFiles() const;
    static void recordPlay(const QString& path, const QDateTime& when);
    // The entries removed, or -1 when they could not be.
    int removeMissing();

    // Searching; results come sorted by artist, then title, ignoring case
    // (folder mode keeps the list's order).
    QList<Track> search(const QString& text) const;
    QList<Track> search(const Query& query) const;
    QList<Track> searchMemory(const QString& text) const;
    // The library's files (not streams) in search order. Database mode only.
    QList<File> listFiles() const;
    // The paths of the library's files (not streams), in no order; nothing
    // when they cannot be read. Database mode only.
    std::optional<QStringList> storedFiles() const;
    // The whole records of rows by id; a row gone since is missing.
    QHash<qint64, Track> recordsById(const QList<qint64>& ids) const;
    // Up to `limit` rows of what search(query) finds after `after`, in
    // search order (equal artist and title by id); `after` moves to the last
    // row given. An empty query pages through the whole library. Database
    // mode only.
    QList<Track> searchPage(const Query& query, PageKey& after, int limit) const;
    // How many rows search(query) finds, without reading them.
    int searchCount(const Query& query) const;

    // The full-text terms for a text: every word a quoted prefix term,
    // optionally limited to one column. Empty when no word remains.
    static QStringList ftsTerms(const QString& text, const QString& column = QString());

    // Why the last write of the calling thread was refused: by the library,
    // its track parameters or its play log. Writers note theirs here.
    static QSqlError lastWriteError();
    static void noteWriteError(const QSqlError& error);

    // The connection this value reads and writes through.
    QSqlDatabase connection() const;

private:
    // The rows a query selects in database mode: a condition on tracks and
    // the values for its placeholders.
    struct Selection
    {
        QString where;
        QVariantList params;
    };
    Selection selectionOf(const Query& query) const;
    QList<Track> runSearch(const QString& sql, const QVariantList& params, PageKey* last = nullptr) const;
};

Q_DECLARE_METATYPE(MusicLibrary::Query)
