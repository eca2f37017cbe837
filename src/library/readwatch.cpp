#include "library/readwatch.h"

#include "library/heldreads.h"
#include "library/pathgate.h"

#include <algorithm>
#include <chrono>

std::atomic<qint64> ReadWatch::s_anyAnswer{0};

ReadWatch::ReadWatch(QString file, bool playlist)
    : m_first(std::move(file))
    , m_stage(playlist ? Stage::Opening : Stage::Looking)
    , m_lastAnswer(now())
{
}

qint64 ReadWatch::now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ReadWatch::Read::Read(ReadWatch* watch, const QString& file)
    : m_watch(watch)
    , m_file(file)
{
    if (!m_watch)
        return;
    const qint64 at = now();
    const QMutexLocker lock(&m_watch->m_lock);
    // Begun after the give-up, it is not held.
    m_late = m_watch->givenUp();
    m_watch->m_reading << m_file;
    m_watch->m_lastFile = m_file;
    ++m_watch->m_inside;
    qint64 unset = 0;
    m_watch->m_begun.compare_exchange_strong(unset, at);
    // Its silence is counted from here.
    m_watch->m_lastAnswer = at;
}

ReadWatch::Read::~Read()
{
    if (!m_watch)
        return;
    const QMutexLocker lock(&m_watch->m_lock);
    m_watch->m_reading.removeOne(m_file);
    --m_watch->m_inside;
    if (!m_watch->givenUp())
        m_watch->answeredAt(now());
    else if (!m_late)
        HeldReads::release(m_file);
    m_watch->m_answer.wakeAll();
}

void ReadWatch::answeredAt(qint64 at)
{
    m_lastAnswer = at;
    s_anyAnswer = at;
}

void ReadWatch::answered()
{
    answeredAt(now());
}

void ReadWatch::looking(const QList<PlaylistFile::Item>& items)
{
    const QMutexLocker lock(&m_lock);
    m_items = items;
    m_stage = Stage::Looking;
}

void ReadWatch::tagging(PlaylistRows::Made made, qsizetype untagged)
{
    const QMutexLocker lock(&m_lock);
    m_made = std::move(made);
    m_untagged = untagged;
    m_items = {};
    m_stage = Stage::Tagging;
}

bool ReadWatch::tagged(qsizetype row, const Track& track)
{
    const QMutexLocker lock(&m_lock);
    if (givenUp())
        return false;
    if (row >= 0 && row < m_made.rows.size()) {
        m_made.rows[row] = track;
        --m_untagged;
    }
    return true;
}

bool ReadWatch::finish(PlaylistRows::Made& made)
{
    const QMutexLocker lock(&m_lock);
    int going = Going;
    if (!m_state.compare_exchange_strong(going, Done))
        return false;
    made = std::move(m_made);
    return true;
}

void ReadWatch::waitForAnswer(int ms)
{
    QMutexLocker lock(&m_lock);
    if (!givenUp())
        m_answer.wait(&m_lock, ms);
}

QString ReadWatch::stall(qint64 at) const
{
    if (m_state.load() != Going)
        return {};
    qint64 last = m_lastAnswer;
    // Not inside a read, it waits for a thread: silent only while no job
    // is answered.
    if (m_inside.load() == 0)
        last = std::max(last, s_anyAnswer.load());
    if (at - last > kSilentMs)
        return QStringLiteral("no answer for %1 s").arg(kSilentMs / 1000);
    // A system that answers at a disk's pace is never too slow, however
    // many files it reads.
    const qint64 begun = m_begun;
    if (begun > 0 && at - begun > kLongestMs && at - last > kSlowMs)
        return QStringLiteral("not read in %1 s").arg(kLongestMs / 1000);
    return {};
}

bool ReadWatch::giveUp(const QString& why, PlaylistRows::Made& made)
{
    const QMutexLocker lock(&m_lock);
    int going = Going;
    if (!m_state.compare_exchange_strong(going, GivenUp))
        return false;
    for (const QString& file : std::as_const(m_reading))
        HeldReads::hold(file);
    m_answer.wakeAll();
    const QString file = PathGate::excerpt(!m_reading.isEmpty() ? m_reading.constFirst()
                                           : !m_lastFile.isEmpty() ? m_lastFile
                                                                   : m_first);
    made = {};
    switch (m_stage.load()) {
    case Stage::Opening:
        made.notes << QStringLiteral("Could not open playlist: %1 (%2; given up)").arg(file, why);
        return true;
    case Stage::Looking:
        made = PlaylistRows::named(m_items);
        m_items = {};
        break;
    case Stage::Tagging:
        made = std::move(m_made);
        break;
    }
    const qsizetype untagged = m_stage.load() != Stage::Looking
        ? m_untagged
        : std::count_if(made.rows.cbegin(), made.rows.cend(), [](const Track& t) { return !t.marker && !t.isStream; });
    made.notes << (untagged > 0 ? QStringLiteral("Could not read %1 (%2; given up): %3 row(s) made from their file names")
                                      .arg(file, why)
                                      .arg(untagged)
                                : QStringLiteral("Could not read %1 (%2; given up)").arg(file, why));
    return true;
}
