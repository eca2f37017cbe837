#include "mainwindow/rowmaker.h"

#include "library/heldreads.h"
#include "library/musiclibrary.h"
#include "library/pathgate.h"
#include "library/readwatch.h"

#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <optional>

namespace {

constexpr int kWatchTickMs = 250;
// Workers held by reads given up are made up for, up to this many.
constexpr int kWorkersLent = 16;

int workerCount()
{
    return std::max(2, QThread::idealThreadCount() / 2);
}

// The workers that make rows. Never waited for at exit: one may be held
// for good in an open() on a share that hung, which nothing can cancel.
QThreadPool* rowWorkers()
{
    static QThreadPool* const pool = [] {
        auto* made = new QThreadPool;
        made->setMaxThreadCount(workerCount());
        return made;
    }();
    return pool;
}

void lendWorkers()
{
    rowWorkers()->setMaxThreadCount(workerCount() + std::min(HeldReads::count(), kWorkersLent));
}

} // namespace

RowMaker::RowMaker(QObject* parent)
    : QObject(parent)
    , m_watchTimer(new QTimer(this))
{
    m_watchTimer->setInterval(kWatchTickMs);
    connect(m_watchTimer, &QTimer::timeout, this, &RowMaker::watchReads);
}

void RowMaker::makeRows(const QList<PlaylistFile::Item>& items, Use use)
{
    auto watch = std::make_shared<ReadWatch>(items.isEmpty() ? QString() : items.constFirst().path, false);
    start(
        watch, [watch, items, library = MusicLibrary::databasePath()] { PlaylistRows::make(items, watch, library); },
        std::move(use));
}

void RowMaker::loadRows(const QString& playlist, Use use)
{
    auto watch = std::make_shared<ReadWatch>(playlist, true);
    auto work = [watch, playlist, library = MusicLibrary::databasePath()] {
        PlaylistRows::Made made;
        // Not even opened while an earlier read of its folder hangs: each
        // try would leave one more thread there.
        if (const QString folder = HeldReads::hangingFolder(playlist); !folder.isEmpty()) {
            made.notes << QStringLiteral("Could not open playlist: %1 (%2 does not answer; given up)")
                              .arg(PathGate::excerpt(playlist), PathGate::excerpt(folder));
            watch->tagging(std::move(made), 0);
            return;
        }
        PlaylistFile::Contents contents;
        {
            const ReadWatch::Read read(watch.get(), playlist);
            contents = PlaylistFile::read(playlist, [&watch] { watch->answered(); });
        }
        if (watch->givenUp())
            return;
        if (!contents.problem.isEmpty()) {
            made.notes = contents.notes;
            made.notes << contents.problem;
            watch->tagging(std::move(made), 0);
            return;
        }
        PlaylistRows::make(contents.items, watch, library, contents.notes,
                           QStringLiteral("Playlist is empty: ") + PathGate::excerpt(playlist));
    };
    start(watch, std::move(work), std::move(use));
}

void RowMaker::start(const std::shared_ptr<ReadWatch>& watch, std::function<void()> work, Use use)
{
    auto job = std::make_shared<Job>();
    job->use = std::move(use);
    job->watch = watch;
    m_jobs << job;
    // Started once, never again while it runs: a job's give-up time is not
    // put off by the jobs asked after it.
    if (!m_watchTimer->isActive())
        m_watchTimer->start();
    lendWorkers();
    QtConcurrent::run(rowWorkers(), [watch, work = std::move(work)] {
        // Given up while it waited for a worker, it reads nothing.
        if (!watch->givenUp())
            work();
        std::optional<PlaylistRows::Made> made{std::in_place};
        if (!watch->finish(*made))
            made.reset();
        return made;
    }).then(this, [this, job](std::optional<PlaylistRows::Made> made) {
        // Given up, it has been used already.
        if (job->ready || !made)
            return;
        job->made = std::move(*made);
        job->ready = true;
        useReady();
    });
}

void RowMaker::watchReads()
{
    const qint64 at = ReadWatch::now();
    bool waiting = false;
    bool gaveUp = false;
    for (const std::shared_ptr<Job>& job : std::as_const(m_jobs)) {
        if (job->ready || !job->watch)
            continue;
        const QString why = job->watch->stall(at);
        PlaylistRows::Made made;
        if (why.isEmpty() || !job->watch->giveUp(why, made)) {
            waiting = true;
            continue;
        }
        job->made = std::move(made);
        job->ready = true;
        gaveUp = true;
    }
    if (gaveUp)
        lendWorkers();
    if (!waiting)
        m_watchTimer->stop();
    useReady();
}

void RowMaker::after(std::function<void()> then, int atMostMs)
{
    if (m_jobs.isEmpty()) {
        then();
        return;
    }
    auto job = std::make_shared<Job>();
    job->use = [then = std::move(then)](PlaylistRows::Made&) {
        then();
        return true;
    };
    job->ready = true;
    m_jobs << job;
    if (atMostMs < 0)
        return;
    QTimer::singleShot(atMostMs, this, [this, waiting = std::weak_ptr<Job>(job)] {
        const std::shared_ptr<Job> job = waiting.lock();
        // At the front, it is being used.
        const qsizetype at = job ? m_jobs.indexOf(job) : -1;
        if (at <= 0)
            return;
        m_jobs.removeAt(at);
        emit logMessage(QStringLiteral("Rows asked for earlier are still being read: the command goes ahead of them, "
                                       "on the playlist as it is"));
        job->use(job->made);
    });
}

void RowMaker::useReady()
{
    // What a job's use sets off may come back here; the job at the front
    // is used by one call at a time.
    if (m_using)
        return;
    m_using = true;
    while (!m_jobs.isEmpty() && m_jobs.constFirst()->ready) {
        const std::shared_ptr<Job> job = m_jobs.constFirst();
        if (!job->use(job->made)) {
            // The rest at the next turn: the window paints and the air's
            // timers run between slices.
            QTimer::singleShot(0, this, &RowMaker::useReady);
            break;
        }
        m_jobs.removeFirst();
    }
    m_using = false;
}
