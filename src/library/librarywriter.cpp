#include "librarywriter.h"

#include "librarylock.h"
#include "ownconnection.h"
#include "pathgate.h"
#include "playhistory.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPromise>
#include <QSaveFile>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <unistd.h>

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
constexpr int kShutdownPlaysMs = 1000; // of that, for plays: they are kept in their file
constexpr int kTidyMs = 1000;       // the file of plays rewritten at most this often while they are written
constexpr qint64 kMaxPlayLine = 64 * 1024;

LibraryWriter* s_instance = nullptr;

int primaryCode(const QSqlError& error)
{
    bool number = false;
    const int code = error.nativeErrorCode().toInt(&number);
    return number ? code & 0xff : -1;
}

// Another program's lock passes by itself; nothing else does by waiting,
// but for a file moved under the write (by one that does not take
// LibraryLock): the next try is made on the file then at the path.
bool passes(const QSqlError& error)
{
    const int code = primaryCode(error);
    return code == 5 || code == 6 || error.nativeErrorCode() == QLatin1String("1032");
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
    Prepare prepare;
    QPromise<Outcome> promise;
    qsizetype at = 0;
    int written = 0;
};

LibraryWriter::LibraryWriter(QObject* parent)
    : QObject(parent)
    , m_file(MusicLibrary::database().databaseName())
    , m_playsFile(QFileInfo(m_file).path() + QStringLiteral("/plays-waiting.jsonl"))
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
    m_playsDirty = true;
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
    // A batch's tags are read once, however often its write is tried.
    struct Read
    {
        qsizetype from = -1;
        QList<Track> tracks;
    };
    const auto read = std::make_shared<Read>();
    return submit(
        library, audio, batch, patienceMs,
        [read](MusicLibrary& into, qsizetype, qsizetype count) {
            return into.addTracks(read->tracks) == read->tracks.size() ? int(count) : -1;
        },
        [audio, read](qsizetype from, qsizetype count) {
            if (read->from != from)
                *read = Read{from, MusicLibrary::readTagsOf(audio.mid(from, count)).results()};
        });
}

QFuture<LibraryWriter::Outcome> LibraryWriter::addRead(const QString& library, const QStringList& paths,
                                                       const QFuture<Track>& tags, int patienceMs)
{
    const QStringList audio = audioFilesOf(paths);
    return submit(
        library, audio, std::max<qsizetype>(audio.size(), 1), patienceMs,
        [tags](MusicLibrary& into, qsizetype, qsizetype) {
            const QList<Track> read = tags.results();
            return into.addTracks(read) == read.size() ? int(read.size()) : -1;
        },
        [tags](qsizetype, qsizetype) { QFuture<Track>(tags).waitForFinished(); });
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
                                                      qsizetype batch, int patienceMs, Step step, Prepare prepare)
{
    auto job = std::make_shared<Job>();
    job->library = library;
    job->items = items;
    job->batch = std::max<qsizetype>(batch, 1);
    job->patienceMs = patienceMs;
    job->step = std::move(step);
    job->prepare = std::move(prepare);
    job->promise.start();
    QFuture<Outcome> future = job->promise.future();
    const QMutexLocker lock(&m_mutex);
    m_jobs.append(std::move(job));
    m_wake.wakeAll();
    return future;
}

// What the writer's thread knows between its rounds.
struct LibraryWriter::State
{
    // When the next play and the next job may be tried.
    QDeadlineTimer playsDue{0};
    QDeadlineTimer jobsDue{0};
    QDeadlineTimer shutdown{QDeadlineTimer::Forever};
    // Since when another program's lock has refused every write; the
    // patience of a job runs from there, so that jobs queued behind one that
    // waited do not wait as long again. Over at a write that goes through,
    // and when nothing is left to write.
    QElapsedTimer refusing;
    // The plays' trouble was said; plays came from the file of an earlier
    // run; how many were written since.
    bool playsSaid = false;
    bool playsRecovering = false;
    int writtenSince = 0;
    // The last play was refused for a reason waiting does not mend: at the
    // exit they stay in the file rather than hold the exit up.
    bool playsStuck = false;
    bool quitting = false;
    // Plays written one after another rewrite their file once in a while,
    // not after each: the file may hold thousands.
    QDeadlineTimer tidyDue{0};
};

namespace {

QSqlError lockedOut()
{
    return QSqlError(QStringLiteral("library.db is being set aside by another program"), {},
                     QSqlError::ConnectionError, QStringLiteral("5"));
}

QJsonObject playToJson(const Track& track, const QDateTime& when)
{
    return {{QStringLiteral("at"), when.toMSecsSinceEpoch()}, {QStringLiteral("path"), track.filePath},
            {QStringLiteral("artist"), track.artist},         {QStringLiteral("title"), track.title},
            {QStringLiteral("ms"), track.durationMs},          {QStringLiteral("stream"), track.isStream}};
}

} // namespace

bool LibraryWriter::keepPlays(const QList<Play>& plays) const
{
    // A file of plays not taken in is not written over.
    if (m_keptUntaken)
        return false;
    if (plays.isEmpty())
        return !QFile::exists(m_playsFile) || QFile::remove(m_playsFile);
    QSaveFile file(m_playsFile);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (const Play& p : plays)
        file.write(QJsonDocument(playToJson(p.track, p.when)).toJson(QJsonDocument::Compact) + '\n');
    return file.commit();
}

QList<LibraryWriter::Play> LibraryWriter::keptPlays()
{
    QList<Play> plays;
    const QFileInfo info(m_playsFile);
    if (!info.exists() && !info.isSymLink())
        return plays;
    // Through the gate: a pipe put there would hold the writer for ever.
    QString refusal;
    const std::unique_ptr<QFile> file = PathGate::openForReading(m_playsFile, PathGate::Kind::Record, refusal);
    if (!file) {
        emit logMessage(
            QStringLiteral("Play log: the plays kept in %1 could not be read (%2)").arg(m_playsFile, refusal));
        return plays;
    }
    // Of a file grown past the bound, the newest plays: from the first
    // whole line within it. Reading it all would hold the plays of this run
    // and the exit behind it.
    const qint64 size = file->size();
    qint64 from = 0;
    if (size > kMaxKeptBytes && file->seek(size - kMaxKeptBytes)) {
        char c = 0;
        while (file->getChar(&c) && c != '\n') {
        }
        from = file->pos();
    }
    int unreadable = 0;
    const PathGate::LineRead read = PathGate::readLines(*file, kMaxKeptBytes, kMaxPlayLine, [&](QByteArrayView text) {
        const QByteArrayView line = text.trimmed();
        if (line.isEmpty())
            return;
        const QJsonObject o = QJsonDocument::fromJson(line.toByteArray()).object();
        if (!o.value(QStringLiteral("at")).isDouble()) {
            ++unreadable;
            return;
        }
        Play& p = plays.emplaceBack();
        p.when = QDateTime::fromMSecsSinceEpoch(qint64(o.value(QStringLiteral("at")).toDouble()));
        p.track.filePath = o.value(QStringLiteral("path")).toString();
        p.track.artist = o.value(QStringLiteral("artist")).toString();
        p.track.title = o.value(QStringLiteral("title")).toString();
        p.track.durationMs = qint64(o.value(QStringLiteral("ms")).toDouble());
        p.track.isStream = o.value(QStringLiteral("stream")).toBool();
    });
    unreadable += int(read.longLines);
    if (unreadable > 0)
        emit logMessage(QStringLiteral("Play log: %1 line(s) of %2 could not be read and were left out")
                            .arg(unreadable)
                            .arg(m_playsFile));
    if (from == 0)
        return plays;
    // The older plays, beyond the bound, are kept whole in a file of their
    // own: this one is written afresh with the newest.
    const QString aside = PathGate::asideName(m_playsFile, QStringLiteral("older"));
    if (std::rename(QFile::encodeName(m_playsFile).constData(), QFile::encodeName(aside).constData()) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        m_keptUntaken = true;
        emit logMessage(QStringLiteral("Play log: %1 holds more than %2 MB of plays and could not be set aside (%3); "
                                       "it is left as it is and its plays are not recorded")
                            .arg(m_playsFile)
                            .arg(kMaxKeptBytes / (1024 * 1024))
                            .arg(why));
        return {};
    }
    const bool cut = ::truncate(QFile::encodeName(aside).constData(), from) == 0;
    emit logMessage(QStringLiteral("Play log: %1 held more than %2 MB of plays: the newest %3 are recorded, %4 kept "
                                   "in %5")
                        .arg(m_playsFile)
                        .arg(kMaxKeptBytes / (1024 * 1024))
                        .arg(plays.size())
                        .arg(cut ? QStringLiteral("the %1 MB of older ones").arg(from / (1024 * 1024))
                                 : QStringLiteral("all of it is"),
                             aside));
    return plays;
}

void LibraryWriter::recordKeptPlays()
{
    const QMutexLocker lock(&m_mutex);
    m_takeKept = true;
    m_wake.wakeAll();
}

void LibraryWriter::tidyPlays(State& state)
{
    bool take = false;
    QList<Play> plays;
    {
        const QMutexLocker lock(&m_mutex);
        take = std::exchange(m_takeKept, false);
        if (!take) {
            m_playsDirty = false;
            plays = m_plays;
        }
    }
    if (take) {
        // Before the plays of this run, in the order they went on air.
        const QList<Play> kept = keptPlays();
        const QMutexLocker lock(&m_mutex);
        m_plays = kept + m_plays;
        if (!kept.isEmpty()) {
            state.playsRecovering = true;
            m_playsKept = true;
            m_playsDirty = true;
            m_wake.wakeAll();
        }
        return;
    }
    state.tidyDue.setRemainingTime(kTidyMs);
    if (!keepPlays(plays))
        std::fprintf(stderr, "Play log: %s could not be written\n", qPrintable(m_playsFile));
    if (plays.isEmpty()) {
        const QMutexLocker lock(&m_mutex);
        m_playsKept = !m_plays.isEmpty();
    }
}

bool LibraryWriter::nextWork(State& state, std::optional<Play>& play, std::shared_ptr<Job>& job)
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        state.quitting = m_quit;
        if (state.quitting && state.shutdown.isForever())
            state.shutdown.setRemainingTime(kShutdownMs);
        // At the exit, plays still waiting stay in their file rather than
        // hold it up for long.
        const bool playsDone = state.quitting
                               && (state.playsStuck
                                   || state.shutdown.remainingTime() < kShutdownMs - kShutdownPlaysMs);
        const bool playsWait = !m_plays.isEmpty() && !playsDone;
        const bool writingPlays = playsWait && state.playsDue.hasExpired();
        if (m_takeKept || (m_playsKept && m_playsDirty && (!writingPlays || state.tidyDue.hasExpired())))
            return true;
        if (state.quitting && (state.shutdown.hasExpired() || (!playsWait && m_jobs.isEmpty())))
            return false;
        if (playsWait && state.playsDue.hasExpired())
            play = m_plays.first();
        if (!m_jobs.isEmpty() && state.jobsDue.hasExpired())
            job = m_jobs.first();
        if (play || job)
            return true;
        if (m_plays.isEmpty() && m_jobs.isEmpty())
            state.refusing.invalidate();
        QDeadlineTimer next(QDeadlineTimer::Forever);
        if (playsWait)
            next = state.playsDue;
        if (!m_jobs.isEmpty() && state.jobsDue < next)
            next = state.jobsDue;
        if (state.quitting && state.shutdown < next)
            next = state.shutdown;
        m_wake.wait(&m_mutex, next);
    }
}

void LibraryWriter::writePlay(State& state, QSqlDatabase& db, const QSqlError& openError, const Play& play)
{
    MusicLibrary::noteWriteError({});
    const bool written = db.isOpen() && openError.type() == QSqlError::NoError
        && PlayHistory::writePlay(db, play.track, play.when);
    const QSqlError error = openError.type() == QSqlError::NoError ? MusicLibrary::lastWriteError() : openError;
    int failing = -1;
    int recovered = -1;
    {
        const QMutexLocker lock(&m_mutex);
        if (written) {
            m_plays.removeFirst();
            state.playsDue = QDeadlineTimer(0);
            state.playsStuck = false;
            // The file holds no play that is in the database too.
            m_playsDirty = true;
            if (state.playsSaid || state.playsRecovering) {
                ++state.writtenSince;
                if (m_plays.isEmpty()) {
                    recovered = std::exchange(state.writtenSince, 0);
                    state.playsSaid = false;
                    state.playsRecovering = false;
                }
            }
        } else {
            state.playsDue.setRemainingTime(state.quitting ? kRetryMs / 10 : kRetryMs);
            state.playsStuck = !passes(error);
            // Kept on disk from the first refusal: a crash or a power cut
            // must not take them.
            m_playsDirty = m_playsDirty || !m_playsKept;
            m_playsKept = true;
            if (!state.playsSaid) {
                state.playsSaid = true;
                failing = int(m_plays.size());
            }
        }
    }
    if (written)
        state.refusing.invalidate();
    else if (passes(error) && !state.refusing.isValid())
        state.refusing.start();
    if (failing >= 0)
        emit playsNotWritten(failing, reasonFor(error));
    if (recovered >= 0)
        emit playsWritten(recovered);
}

void LibraryWriter::writeJob(State& state, const QString& connectionName, const QSqlError& openError,
                             const std::shared_ptr<Job>& job)
{
    std::optional<Outcome> done;
    if (job->promise.isCanceled()) {
        done = Outcome{job->written, {}, {}};
    } else {
        const qsizetype count = std::min(job->batch, job->items.size() - job->at);
        MusicLibrary library;
        library.name = job->library;
        library.connectionName = connectionName;
        MusicLibrary::noteWriteError({});
        const bool opened = openError.type() == QSqlError::NoError;
        const int rows = !opened ? -1 : count > 0 ? job->step(library, job->at, count) : 0;
        if (rows >= 0) {
            state.refusing.invalidate();
            job->at += count;
            job->written += rows;
            job->promise.setProgressValue(job->written);
            state.jobsDue = QDeadlineTimer(0);
            if (job->at >= job->items.size())
                done = Outcome{job->written, {}, {}};
        } else {
            const QSqlError error = opened ? MusicLibrary::lastWriteError() : openError;
            if (passes(error) && !state.refusing.isValid())
                state.refusing.start();
            if (!passes(error) || state.refusing.elapsed() >= job->patienceMs
                || (state.quitting && state.shutdown.hasExpired()))
                done = Outcome{job->written, job->items.mid(job->at), reasonFor(error)};
            else
                state.jobsDue.setRemainingTime(state.quitting ? kRetryMs / 10 : kRetryMs);
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

void LibraryWriter::run()
{
    OwnConnection connection(m_file, QStringLiteral("ol_writer_%1").arg(quintptr(this)), kBusyWaitMs);
    State state;
    for (;;) {
        std::optional<Play> play;
        std::shared_ptr<Job> job;
        if (!nextWork(state, play, job))
            break;
        if (!play && !job) {
            tidyPlays(state);
            continue;
        }
        if (job && job->prepare)
            job->prepare(job->at, std::min(job->batch, job->items.size() - job->at));

        // Held while writing: the other program sets library.db aside only
        // between two writes, and a write never lands in the file set aside.
        const LibraryLock fileLock(m_file, LibraryLock::Mode::Shared, kBusyWaitMs);
        const bool opened = fileLock.held() && connection.open();
        const QSqlError openError = opened         ? QSqlError()
            : !fileLock.held()                     ? lockedOut()
            : connection.database().lastError().isValid() ? connection.database().lastError()
                                                   : QSqlError(QStringLiteral("cannot open library.db"), {},
                                                               QSqlError::ConnectionError, QStringLiteral("14"));
        if (opened && connection.moved()) {
            MusicLibrary::ensureSchema(connection.name());
            TrackParams::ensureSchema(connection.name());
            // What a job stored so far went into the file set aside. A batch
            // readied further on is readied again from the start.
            if (job && job->at > 0) {
                job->at = 0;
                job->written = 0;
                job.reset();
            }
            emit databaseMoved(m_file);
        }
        QSqlDatabase db = connection.database();
        if (play)
            writePlay(state, db, openError, *play);
        if (job)
            writeJob(state, connection.name(), openError, job);
    }

    QList<std::shared_ptr<Job>> left;
    QList<Play> plays;
    bool kept = false;
    {
        const QMutexLocker lock(&m_mutex);
        left.swap(m_jobs);
        plays = m_plays;
        kept = m_playsKept;
    }
    for (const std::shared_ptr<Job>& job : std::as_const(left)) {
        job->promise.addResult(Outcome{job->written, job->items.mid(job->at), QStringLiteral("the program was closing")});
        job->promise.finish();
    }
    if ((kept || !plays.isEmpty()) && !keepPlays(plays))
        std::fprintf(stderr, "Play log: %lld play(s) could not be written to %s nor kept in %s\n",
                     qlonglong(plays.size()), qPrintable(m_file), qPrintable(m_playsFile));
    else if (!plays.isEmpty())
        std::fprintf(stderr, "Play log: %lld play(s) kept in %s until they can be recorded\n",
                     qlonglong(plays.size()), qPrintable(m_playsFile));
}
