#pragma once

#include "library/track.h"
#include "library/trackparams.h"

#include <QByteArray>
#include <QFuture>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <memory>
#include <optional>

class PlaylistModel;
class QFile;

// The playout program's playlists between runs: every tab's name and rows
// with their playout state, which one is on air and whether it was playing.
// Kept as one JSON file in the per-user data folder, replaced whole. A list
// of 100 000 rows is tens of megabytes of text: its rows are read on other
// threads and it is written on the store's own, never on the window's.
class PlaylistStore : public QObject
{
    Q_OBJECT

public:
    struct Playlist
    {
        QString name;
        QList<Track> rows;
        int currentRow = -1;
        QList<int> queue;
        QSet<int> played;
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

    explicit PlaylistStore(QObject* parent = nullptr);
    // Waits for a write under way.
    ~PlaylistStore() override;

    // The file's path; its folder is made when missing.
    static QString path();

    // Reads the file into session. A file that cannot be read, is no
    // regular file of a size such a file can have (a FIFO, a device) or is
    // not a stored session is renamed aside (never overwritten later);
    // message then tells what happened, for the operator's log. A sound
    // file holding values that cannot be taken (a word where a number
    // belongs) is Loaded with those values as none; it is copied aside
    // first, and message names them.
    LoadResult load(Session& session, QString& message);
    // As load(), but the playlists come without their rows, only checked
    // and found in the file: startReading() reads them on other threads,
    // takePlaylists() hands them over.
    LoadResult loadWithoutRows(Session& session, QString& message);
    // Starts reading the rows of the last loadWithoutRows(), side by side;
    // rowsRead() tells when all are read. Once per load.
    void startReading();
    // How many rows the last loadWithoutRows() left to take; 0 once taken.
    qsizetype pendingRows() const { return m_pendingRows; }
    // The playlists of the last loadWithoutRows(), now with their rows,
    // waiting for those not read yet. Rows that turn out not to be sound
    // are set aside with the file, as load() does; then the playlists come
    // without rows and message says so.
    QList<Playlist> takePlaylists(QString& message);

    // Rows read on another thread, or why they could not be.
    struct RowRead
    {
        QList<Track> rows;
        QString problem;
        int unread = 0; // values taken as none
        QString firstUnread;
    };

    // Hands the session to the store's writer and returns at once; one still
    // waiting to be written is replaced by it. saved() tells how it went.
    void saveLater(Session session);
    // Replaces the file now, once a write under way is done: for exit.
    // False, with message, when it cannot be written or when a damaged file
    // could not be kept aside.
    bool save(const Session& session, QString& message);

    // The model's state as it is now; the rows are shared, not copied.
    static Playlist capture(const QString& name, const PlaylistModel& model);
    // Fills an empty model with the stored rows (taken over) and their state.
    static void apply(Playlist playlist, PlaylistModel& model);

signals:
    // After each write that saveLater() asked for; message when not ok.
    void saved(bool ok, const QString& message);
    // Every row that startReading() began to read is read.
    void rowsRead();

private:
    bool keepAside(const QString& file, QString& message);
    // Tells of values taken as none; the file as it was is copied aside
    // once per load.
    QString keepCopy(int unread, const QString& first);
    bool write(const Session& session, QString& message);
    void writeWaiting();

    // Only writes touch it, and they run one at a time.
    bool m_blocked = false; // a damaged file is still in place

    QThreadPool m_writer;
    QMutex m_waitingLock;
    std::optional<Session> m_waiting; // the newest session not yet written
    bool m_writing = false;

    // Loaded without their rows: where those start in the mapped file.
    QList<Playlist> m_pending;
    QList<QList<qsizetype>> m_rowStarts;
    QByteArray m_text;
    std::shared_ptr<QFile> m_mapped;
    qsizetype m_pendingRows = 0;
    QString m_copy; // where the file of the last load was copied
    bool m_rowsDamaged = false;
    bool m_readStarted = false;
    QFuture<QList<RowRead>> m_read; // a list's rows each, from startReading()
    QThreadPool m_readers;
    // Last: it hands parts to the readers and holds the mapping they read.
    QThreadPool m_gatherer;
};
