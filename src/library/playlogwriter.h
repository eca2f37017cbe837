#pragma once

#include "track.h"

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

class QThread;

// Writes the plays to the play log and the play counts of library.db on a
// thread of its own, through a connection of its own: a write lock held by
// the other program delays the log, never the air. A play stays queued and
// is tried again until it is written.
class PlayLogWriter : public QObject
{
    Q_OBJECT

public:
    explicit PlayLogWriter(QObject* parent = nullptr);
    // Writes what is still queued, trying for a bounded time.
    ~PlayLogWriter() override;

    // Queues one play, timed now.
    void logPlay(const Track& track);
    int pending() const;

private:
    struct Play
    {
        Track track;
        QDateTime when;
    };

    void run();

    QString m_file;
    QThread* m_thread = nullptr;
    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    QList<Play> m_queue;
    bool m_quit = false;
};
