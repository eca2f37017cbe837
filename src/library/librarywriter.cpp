#include "librarywriter.h"

#include "ownconnection.h"
#include "playhistory.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QPromise>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

QStringList audioFilesOf(const QStringList& paths)
{
    QStringList audio;
    for (const QString& path : paths) {
        if (MusicLibrary::isAudioFile(path))
            audio << path;
    }
    return audio;
}

constexpr int kBusyWaitMs = 1000;   // per try, on the writer's own thread
constexpr int kRetryMs = 2000;      // between tries while the lock is held
constexpr int kShutdownMs = 5000;   // at exit, for what is still queued

LibraryWriter* s_instance = nullptr;

int primaryCode(const QSqlError& error)
{
    bool number = false;
    const int code = error.nativeErrorCode().toInt(&number);
    return number ? code & 0xff : -1;
}

// Another program's lock passes by itself; nothing else does by waiting.
bool passes(const QSqlError& error)
{
    const int code = primaryCode(error);
    return code == 5 || code == 6;
}

QString reasonFor(const QSqlError& error)
{
    if (passes(error))
        return QStringLiteral("database locked");
    const int code = primaryCode(error);
    if (code == 11 || code == 26)
        return QStringLiteral("the library database is damaged");
    const QString text = error.databaseText().trimmed();
    return text.isEmpty() ? QStringLiteral("the library database refused the write") : text;
}

} // namespace

struct LibraryWriter::Job
{
    QString library;
    QStringList items;
    qsizetype batch = 1;
    int patienceMs = 0;
    Step step;
    QPromise<Outcome> promise;
    qsizetype at = 0;
    int written = 0;
};

LibraryWriter::LibraryWriter(QObject* parent)
    : QObject(parent)
    , m_file(MusicLibrary::database().databaseName())
{
    if (!s_instance)
        s_instance = this;
    m_thread = QThread::create([this] { run(); });
    m_thread->setObjectName(QStringLiteral("LibraryWriter"));
    m_thread->start();
}

LibraryWriter::~LibraryWriter()
{
    if (s_instance == this)
        s_instance = nullptr;
    {
        const QMutexLocker lock(&m_mutex);
        m_quit = true;
        m_wake.wakeAll();
    }
    m_thread->wait();
    delete m_thread;
}

LibraryWriter* LibraryWriter::instance()
{
    return s_instance;
}

LibraryWriter* LibraryWriter::instanceOr(QObject* owner)
{
    return s_instance ? s_instance : new LibraryWriter(owner);
}

void LibraryWriter::logPlay(const Track& track)
{
    if (track.marker)
        return;
    const QMutexLocker lock(&m_mutex);
    m_plays.append(Play{track, QDateTime::currentDateTime()});
    m_wake.wakeAll();
}

int LibraryWriter::pending() const
{
    const QMutexLocker lock(&m_mutex);
    return int(m_plays.size());
}

QFuture<LibraryWriter::Outcome> LibraryWriter::addTracks(const QString& library, const QList<Track>& tracks,
                                                         qsizetype batch, int patienceMs)
{
    QStringList paths;
    paths.reserve(tracks.size());
    for (const Track& t : tracks)
        paths << t.filePath;
    return submit(library, paths, batch, patienceMs, [tracks](MusicLibrary& into, qsizetype from, qsizetype count) {
        return into.addTracks(tracks.mid(from, count)) == count ? int(count) : -1;
    });
}

QFuture<LibraryWriter::Outcome> LibraryWriter::addFiles(const QString& library, const QStringList& paths,
                                                        qsizetype batch, int patienceMs)
{
    const QStringList audio = audioFilesOf(paths);
    return submit(library, audio, batch, patienceMs, [audio](MusicLibrary& into, qsizetype from, qsizetype count) {
        return into.addFiles(audio.mid(from, count)) == count ? int(count) : -1;
    });
}

QFuture<LibraryWriter::Outcome> LibraryWriter::addRead(const QString& library, const QStringList& paths,
                                                       const QFuture<Track>& tags, int patienceMs)
{
    const QStringList audio = audioFilesOf(paths);
    return submit(library, audio, std::max<qsizetype>(audio.size(), 1), patienceMs,
                  [tags](MusicLibrary& into, qsizetype, qsizetype) {
                      const QList<Track> read = tags.results();
                      return into.addTracks(read) == read.size() ? int(read.size()) : -1;
                  });
}

QFuture<LibraryWriter::Outcome> LibraryWriter::changeParams(const QString& path,
                                                            const std::function<void(TrackParams&)>& change,
                                                            int patienceMs)
{
    return submit({}, {path}, 1, patienceMs, [path, change](MusicLibrary& on, qsizetype, qsizetype) {
        // Read and written under one lock, so that a change made meanwhile
        // by the other program is not written over.
        QSqlDatabase db = on.connection();
        QSqlQuery begin(db);
        if (!begin.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            MusicLibrary::noteWriteError(begin.lastError());
            return -1;
        }
        TrackParams params = TrackParams::load(path, on.connectionName);
        change(params);
        if (TrackParams::save(path, params, on.connectionName) && db.commit())
            return 1;
        if (db.lastError().isValid())
            MusicLibrary::noteWriteError(db.lastError());
        db.rollback();
        return -1;
    });
}

QFuture<LibraryWriter::Outcome> LibraryWriter::write(const QString& library, const QString& item,
                                                     const std::function<int(MusicLibrary&)>& work, int patienceMs)
{
    return submit(library, {item}, 1, patienceMs,
                  [work](MusicLibrary& on, qsizetype, qsizetype) { return work(on); });
}

LibraryWriter::Outcome LibraryWriter::waitFor(QFuture<Outcome> future)
{
    if (!future.isFinished()) {
        QFutureWatcher<Outcome> watcher;
        QEventLoop loop;
        QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        watcher.setFuture(future);
        if (!future.isFinished())
            loop.exec();
    }
    if (future.isCanceled() || future.resultCount() == 0)
        return Outcome{future.progressValue(), {}, {}};
    return future.result();
}

QFuture<LibraryWriter::Outcome> LibraryWriter::submit(const QString& library, const QStringList& items,
                                                      qsizetype batch, int patienceMs, Step step)
{
    auto job = std::make_shared<Job>();
    job->library = library;
    job->items = items;
    job->batch = std::max<qsizetype>(batch, 1);
    job->patienceMs = patienceMs;
    job->step = std::move(step);
    job->promise.start();
    QFuture<Outcome> future = job->promise.future();
    const QMutexLocker lock(&m_mutex);
    m_jobs.append(std::move(job));
    m_wake.wakeAll();
    return future;
}

void LibraryWriter::run()
{
    OwnConnection connection(m_file, QStringLiteral("ol_writer_%1").arg(quintptr(this)), kBusyWaitMs);
    // When the next play and the next job may be tried.
    QDeadlineTimer playsDue(0);
    QDeadlineTimer jobsDue(0);
    QDeadlineTimer shutdown(QDeadlineTimer::Forever);
    // Since when another program's lock has refused every write; the
    // patience of a job runs from there, so that jobs queued behind one that
    // waited do not wait as long again. Over at a write that goes through,
    // and when nothing is left to write.
    QElapsedTimer refusing;
    bool playsFailing = false;
    int writtenSinceFailing = 0;
    for (;;) {
        std::optional<Play> play;
        std::shared_ptr<Job> job;
        bool quitting = false;
        {
            QMutexLocker lock(&m_mutex);
            for (;;) {
                quitting = m_quit;
                if (quitting && shutdown.isForever())
                    shutdown.setRemainingTime(kShutdownMs);
                if (quitting && (shutdown.hasExpired() || (m_plays.isEmpty() && m_jobs.isEmpty())))
                    break;
                if (!m_plays.isEmpty() && playsDue.hasExpired())
                    play = m_plays.first();
                if (!m_jobs.isEmpty() && jobsDue.hasExpired())
                    job = m_jobs.first();
                if (play || job)
                    break;
                if (m_plays.isEmpty() && m_jobs.isEmpty())
                    refusing.invalidate();
                QDeadlineTimer next(QDeadlineTimer::Forever);
                if (!m_plays.isEmpty())
                    next = playsDue;
                if (!m_jobs.isEmpty() && jobsDue < next)
                    next = jobsDue;
                if (quitting && shutdown < next)
                    next = shutdown;
                m_wake.wait(&m_mutex, next);
            }
        }
        if (!play && !job)
            break;
        const int retryMs = quitting ? kRetryMs / 10 : kRetryMs;

        const bool opened = connection.open();
        const QSqlError openError = opened ? QSqlError() : connection.database().lastError();
        if (opened && connection.moved()) {
            MusicLibrary::ensureSchema(connection.name());
            TrackParams::ensureSchema(connection.name());
            // What a job stored so far went into the file set aside.
            if (job) {
                job->at = 0;
                job->written = 0;
            }
            emit databaseMoved(m_file);
        }
        QSqlDatabase db = connection.database();

        if (play) {
            MusicLibrary::noteWriteError({});
            const bool written = opened && PlayHistory::writePlay(db, play->track, play->when);
            const QSqlError error = opened ? MusicLibrary::lastWriteError() : openError;
            int failing = -1;
            int recovered = -1;
            {
                const QMutexLocker lock(&m_mutex);
                if (written) {
                    m_plays.removeFirst();
                    playsDue = QDeadlineTimer(0);
                    if (playsFailing) {
                        ++writtenSinceFailing;
                        if (m_plays.isEmpty()) {
                            recovered = writtenSinceFailing;
                            playsFailing = false;
                            writtenSinceFailing = 0;
                        }
                    }
                } else {
                    playsDue.setRemainingTime(retryMs);
                    if (!playsFailing) {
                        playsFailing = true;
                        failing = int(m_plays.size());
                    }
                }
            }
            if (written)
                refusing.invalidate();
            else if (passes(error) && !refusing.isValid())
                refusing.start();
            if (failing >= 0)
                emit playsNotWritten(failing, reasonFor(error));
            if (recovered >= 0)
                emit playsWritten(recovered);
        }

        if (job) {
            std::optional<Outcome> done;
            if (job->promise.isCanceled()) {
                done = Outcome{job->written, {}, {}};
            } else {
                const qsizetype count = std::min(job->batch, job->items.size() - job->at);
                MusicLibrary library;
                library.name = job->library;
                library.connectionName = connection.name();
                MusicLibrary::noteWriteError({});
                const int rows = !opened ? -1 : count > 0 ? job->step(library, job->at, count) : 0;
                if (rows >= 0) {
                    refusing.invalidate();
                    job->at += count;
                    job->written += rows;
                    job->promise.setProgressValue(job->written);
                    jobsDue = QDeadlineTimer(0);
                    if (job->at >= job->items.size())
                        done = Outcome{job->written, {}, {}};
                } else {
                    const QSqlError error = opened ? MusicLibrary::lastWriteError() : openError;
                    if (passes(error) && !refusing.isValid())
                        refusing.start();
                    if (!passes(error) || refusing.elapsed() >= job->patienceMs || (quitting && shutdown.hasExpired()))
                        done = Outcome{job->written, job->items.mid(job->at), reasonFor(error)};
                    else
                        jobsDue.setRemainingTime(retryMs);
                }
            }
            if (done) {
                {
                    const QMutexLocker lock(&m_mutex);
                    m_jobs.removeFirst();
                }
                job->promise.addResult(*done);
                job->promise.finish();
            }
        }
    }

    QList<std::shared_ptr<Job>> left;
    qsizetype plays = 0;
    {
        const QMutexLocker lock(&m_mutex);
        left.swap(m_jobs);
        plays = m_plays.size();
    }
    for (const std::shared_ptr<Job>& job : std::as_const(left)) {
        job->promise.addResult(Outcome{job->written, job->items.mid(job->at), QStringLiteral("the program was closing")});
        job->promise.finish();
    }
    if (plays > 0)
        std::fprintf(stderr, "Play log: %lld play(s) could not be written to %s\n", qlonglong(plays),
                     qPrintable(m_file));
}
