#pragma once

#include "library/playlistfile.h"
#include "library/playlistrows.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>

// One job's reads of a station's files, from a playlist's open to the last
// tag of its rows, on whichever threads do them, watched from another one.
// A job whose file system stops answering (a share that hung) is given up:
// the rows made so far are taken as they are, those whose tags were not
// read yet standing as made from their file names, and what was asked after
// it goes on. A read given up cannot be cancelled: the thread left inside
// it is held (HeldReads) until the read returns.
class ReadWatch
{
public:
    // A job inside a read with no answer for this long has hung; one that
    // keeps answering, however slowly, may go on for the longer time, and
    // past it for as long as its answers come quicker than kSlowMs.
    static constexpr qint64 kSilentMs = 10000;
    static constexpr qint64 kLongestMs = 60000;
    static constexpr qint64 kSlowMs = 1000;

    // What the job does: opens its playlist, looks at its entries (which
    // are files, which folders, what a folder holds), reads its rows' tags.
    enum class Stage { Opening, Looking, Tagging };

    // file: what the job reads first, named should it hang before its first
    // read; playlist: whether that is a playlist it opens.
    ReadWatch(QString file, bool playlist);
    ReadWatch(const ReadWatch&) = delete;
    ReadWatch& operator=(const ReadWatch&) = delete;

    static qint64 now();

    // One read by the calling thread, from the file's open to its last byte
    // (or one look at it): while it lasts, the job waits on that file's
    // system. Without a watch it does nothing.
    class Read
    {
    public:
        Read(ReadWatch* watch, const QString& file);
        ~Read();
        Read(const Read&) = delete;
        Read& operator=(const Read&) = delete;

    private:
        ReadWatch* m_watch;
        QString m_file;
        bool m_late = false;
    };

    // From the reading threads.
    // The system answered (a part of a file came).
    void answered();
    // Rows can be made of these entries from their names alone, should the
    // job be given up while it looks at them.
    void looking(const QList<PlaylistFile::Item>& items);
    // The rows are made (from the library's records or the file names) and
    // kept here; tags are read into them from now on. untagged: rows whose
    // tags are still to be read.
    void tagging(PlaylistRows::Made made, qsizetype untagged);
    // A tag read into a row; false once the job was given up.
    bool tagged(qsizetype row, const Track& track);
    bool givenUp() const { return m_state.load() == GivenUp; }
    // Takes the rows when the job is done: false when it was given up.
    bool finish(PlaylistRows::Made& made);
    // Waits for the next answer or the give-up, at most `ms`.
    void waitForAnswer(int ms);

    // From the watcher: why the job is given up now, or empty while it may
    // go on.
    QString stall(qint64 at) const;
    // Gives the job up: the rows made so far, with a line that names the
    // file it hung in. False when it was done already.
    bool giveUp(const QString& why, PlaylistRows::Made& made);

    Stage stage() const { return m_stage.load(); }

private:
    enum State { Going, Done, GivenUp };
    void answeredAt(qint64 at);

    const QString m_first;
    std::atomic<int> m_state{Going};
    std::atomic<Stage> m_stage;
    std::atomic<qint64> m_lastAnswer;
    std::atomic<qint64> m_begun{0};
    std::atomic<int> m_inside{0};

    mutable QMutex m_lock;
    QWaitCondition m_answer;
    QStringList m_reading; // the files read now
    QString m_lastFile;
    QList<PlaylistFile::Item> m_items;
    PlaylistRows::Made m_made;
    qsizetype m_untagged = 0;

    // The last answer of any job: one waiting for a thread is not silent
    // while others are answered.
    static std::atomic<qint64> s_anyAnswer;
};
