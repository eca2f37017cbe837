#pragma once

#include "musiclibrary.h"
#include "track.h"
#include "trackparams.h"

#include <QDateTime>
#include <QFuture>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <functional>
#include <memory>
#include <optional>

class QSqlDatabase;
class QSqlError;
class QThread;

// The writes a program makes to library.db while it runs, on a thread of
// their own through a connection of their own: a write lock held by the
// other program delays a write, never the window or the air. A refused
// write is tried again while the lock lasts, up to a patience; what still
// could not be stored comes back by name with the reason. Plays are kept
// and tried again until they are written. Writes are made in the order
// they were asked for.
//
// Before every write the writer looks whether library.db is still the file
// it has open: another program may have set it aside. It then moves to the
// new file (a write under way starts again there) and says so.
class LibraryWriter : public QObject
{
    Q_OBJECT

public:
    // What became of a write.
    struct Outcome
    {
        int written = 0;  // rows stored, changed or removed
        QStringList lost; // the items not stored
        QString reason;   // why, in a few words; empty when all was stored
        bool ok() const { return reason.isEmpty(); }
    };

    // How long a write is tried while the database refuses it; a write an
    // operator sits waiting for gives up sooner.
    static constexpr int kPatienceMs = 10000;
    static constexpr int kOperatorPatienceMs = 5000;

    explicit LibraryWriter(QObject* parent = nullptr);
    // Writes what is still queued, trying for a bounded time.
    ~LibraryWriter() override;

    // The program's writer (the first made that still runs), else nullptr.
    static LibraryWriter* instance();
    // The program's writer, else a new one owned by owner.
    static LibraryWriter* instanceOr(QObject* owner);

    // Queues one play, timed now. Plays refused are kept in a small file
    // beside library.db (plays-waiting.jsonl) until they are written, also
    // across an exit or a crash.
    void logPlay(const Track& track);
    // Queues the plays an earlier run of this program kept in that file:
    // its newest kMaxKeptBytes; older ones beyond them are kept aside in a
    // file of their own, and named. Only the program that logs plays takes
    // them.
    void recordKeptPlays();
    static constexpr qint64 kMaxKeptBytes = 2 * 1024 * 1024;
    // Plays not written yet.
    int pending() const;

    // Tracks already read, stored into a library (made when missing) in
    // batches of `batch`. The future's progress is the rows stored so far;
    // cancelling it stops after the batch being stored.
    QFuture<Outcome> addTracks(const QString& library, const QList<Track>& tracks, qsizetype batch = 250,
                               int patienceMs = kPatienceMs);
    // Audio files, their tags read here, stored as addTracks does.
    QFuture<Outcome> addFiles(const QString& library, const QStringList& paths, qsizetype batch = 50,
                              int patienceMs = kPatienceMs);
    // Audio files whose tags are being read already (MusicLibrary::
    // readTagsOf of the same paths), stored in one batch once read: the
    // next batch's tags can be read while this one is stored.
    QFuture<Outcome> addRead(const QString& library, const QStringList& paths, const QFuture<Track>& tags,
                             int patienceMs = kPatienceMs);
    // A file's stored parameters read, changed and written back.
    QFuture<Outcome> changeParams(const QString& path, const std::function<void(TrackParams&)>& change,
                                  int patienceMs = kPatienceMs);
    // Any other write, through a library value on the writer's connection:
    // `work` gives the rows written, or -1 when the database refused it.
    // `item` names it in the outcome.
    QFuture<Outcome> write(const QString& library, const QString& item, const std::function<int(MusicLibrary&)>& work,
                           int patienceMs = kPatienceMs);

    // Waits for a write while this thread's events go on: the window stays
    // live. A cancelled write gives what it stored before it stopped.
    static Outcome waitFor(QFuture<Outcome> future);

signals:
    // Plays could not be written: said once as it begins, with how many
    // wait and why. They are kept and tried again.
    void playsNotWritten(int waiting, const QString& reason);
    // Written after all, once the queue is empty again.
    void playsWritten(int count);
    // Another program set library.db aside or replaced it; the writer now
    // writes to the new file at this path.
    void databaseMoved(const QString& file);
    // What became of the file of kept plays, for the operator's log.
    void logMessage(const QString& text);

private:
    struct Play
    {
        Track track;
        QDateTime when;
    };
    struct Job;
    struct State;
    // One batch of a job on the writer's connection: the rows written, or
    // -1 when refused.
    using Step = std::function<int(MusicLibrary& library, qsizetype from, qsizetype count)>;
    // Readies a batch before the lock on library.db is taken (its tags read).
    using Prepare = std::function<void(qsizetype from, qsizetype count)>;

    QFuture<Outcome> submit(const QString& library, const QStringList& items, qsizetype batch, int patienceMs,
                            Step step, Prepare prepare = {});
    void run();
    // Waits for a play or a job that is due; neither when the kept file is
    // to be read or brought up to date. False once the writer is to end.
    bool nextWork(State& state, std::optional<Play>& play, std::shared_ptr<Job>& job);
    void writePlay(State& state, QSqlDatabase& db, const QSqlError& openError, const Play& play);
    void writeJob(State& state, const QString& connectionName, const QSqlError& openError,
                  const std::shared_ptr<Job>& job);
    void tidyPlays(State& state);
    // The file of plays: written whole (removed when none wait), and read.
    bool keepPlays(const QList<Play>& plays) const;
    QList<Play> keptPlays();

    QString m_file;
    QString m_playsFile;
    QThread* m_thread = nullptr;
    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    QList<Play> m_plays;
    QList<std::shared_ptr<Job>> m_jobs;
    bool m_quit = false;
    // The file mirrors m_plays (from the first refusal until all are
    // written); it is out of date; it is to be read.
    bool m_playsKept = false;
    bool m_playsDirty = false;
    bool m_takeKept = false;
    // The file of an earlier run could not be taken in nor set aside.
    bool m_keptUntaken = false;
};
