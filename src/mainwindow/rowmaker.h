#pragma once

#include "library/playlistfile.h"
#include "library/playlistrows.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class ReadWatch;

// Makes the playout's rows off the window's thread, for every road that
// asks for them (files added, dropped or named on the command line, an
// event's file, a playlist loaded), and hands them over on the window's
// thread in the order they were asked for. Each job's reads are watched as
// one (ReadWatch): a job whose file system stops answering is given up with
// one line, its rows as far as they were made, and the jobs after it go on.
class RowMaker : public QObject
{
    Q_OBJECT

public:
    // Gets the rows on the window's thread: false to be called again at the
    // next turn of the event loop, when it has put in only a slice of them.
    using Use = std::function<bool(PlaylistRows::Made&)>;

    explicit RowMaker(QObject* parent = nullptr);

    // Rows of files, folders (their audio files) and stream addresses.
    void makeRows(const QList<PlaylistFile::Item>& items, Use use);
    // Rows of a playlist file (the gate's checks included), a note when it
    // gives none.
    void loadRows(const QString& playlist, Use use);
    // Runs `then` once everything asked before is in (at once when nothing
    // is under way). With a bound, after that long at the latest: then ahead
    // of what it still waits for, said in a line.
    void after(std::function<void()> then, int atMostMs = -1);
    bool busy() const { return !m_jobs.isEmpty(); }

signals:
    void logMessage(const QString& line);

private:
    struct Job
    {
        Use use;
        bool ready = false;
        PlaylistRows::Made made;
        std::shared_ptr<ReadWatch> watch;
    };
    // work: fills the watch's rows on a worker.
    void start(const std::shared_ptr<ReadWatch>& watch, std::function<void()> work, Use use);
    void watchReads();
    void useReady();

    QList<std::shared_ptr<Job>> m_jobs;
    QTimer* m_watchTimer = nullptr;
    bool m_using = false;
};
