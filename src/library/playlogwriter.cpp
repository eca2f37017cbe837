#include "playlogwriter.h"

#include "musiclibrary.h"
#include "ownconnection.h"
#include "playhistory.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cstdio>

namespace {

constexpr int kBusyWaitMs = 1000;   // per try, on the writer's own thread
constexpr int kRetryMs = 2000;      // between tries while the lock is held
constexpr int kShutdownMs = 5000;   // at exit, for what is still queued

} // namespace

PlayLogWriter::PlayLogWriter(QObject* parent)
    : QObject(parent)
    , m_file(MusicLibrary::database().databaseName())
{
    m_thread = QThread::create([this] { run(); });
    m_thread->start();
}

PlayLogWriter::~PlayLogWriter()
{
    {
        const QMutexLocker lock(&m_mutex);
        m_quit = true;
        m_wake.wakeAll();
    }
    m_thread->wait();
    delete m_thread;
}

void PlayLogWriter::logPlay(const Track& track)
{
    if (track.marker)
        return;
    const QMutexLocker lock(&m_mutex);
    m_queue.append(Play{track, QDateTime::currentDateTime()});
    m_wake.wakeAll();
}

int PlayLogWriter::pending() const
{
    const QMutexLocker lock(&m_mutex);
    return int(m_queue.size());
}

void PlayLogWriter::run()
{
    OwnConnection connection(m_file, QStringLiteral("ol_playlog_%1").arg(quintptr(this)), kBusyWaitMs);
    QDeadlineTimer shutdown(QDeadlineTimer::Forever);
    for (;;) {
        Play play;
        {
            QMutexLocker lock(&m_mutex);
            while (m_queue.isEmpty() && !m_quit)
                m_wake.wait(&m_mutex);
            if (m_queue.isEmpty())
                break;
            if (m_quit && shutdown.isForever())
                shutdown.setRemainingTime(kShutdownMs);
            if (shutdown.hasExpired())
                break;
            play = m_queue.first();
        }
        QSqlDatabase db = connection.database();
        const bool written = connection.open() && PlayHistory::writePlay(db, play.track, play.when);
        QMutexLocker lock(&m_mutex);
        if (written)
            m_queue.removeFirst();
        else
            m_wake.wait(&m_mutex, m_quit ? kRetryMs / 10 : kRetryMs);
    }
    const QMutexLocker lock(&m_mutex);
    if (!m_queue.isEmpty())
        std::fprintf(stderr, "Play log: %lld play(s) could not be written to %s\n", qlonglong(m_queue.size()),
                     qPrintable(m_file));
}
