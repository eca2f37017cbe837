#include "holdwatch.h"

#include <QAudioBuffer>
#include <QAudioBufferOutput>
#include <QMediaPlayer>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <utility>

namespace {

constexpr int kTickMs = 100;
constexpr int kBeatMs = 100;
// How long a player put back has to show that its audio comes in step.
constexpr int kCheckMs = 3000;
// Less than this in that time is no audio; more ahead of the time is a
// renderer that has raced ahead into the sound server again.
constexpr qint64 kNoAudioMs = 100;
constexpr qint64 kAheadMs = 2000;
constexpr int kTries = 2;

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 1);
}

} // namespace

HoldWatch::HoldWatch(QObject* parent)
    : QObject(parent)
{
    m_timer = new QTimer(this);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &HoldWatch::tick);
    m_checkTimer = new QTimer(this);
    m_checkTimer->setSingleShot(true);
    connect(m_checkTimer, &QTimer::timeout, this, &HoldWatch::check);
    m_beatThread = QThread::create([this] { beat(); });
    m_beatThread->setObjectName(QStringLiteral("HoldWatch"));
    m_beatThread->start();
}

HoldWatch::~HoldWatch()
{
    while (!m_checks.isEmpty())
        endCheck(0);
    {
        const QMutexLocker lock(&m_beatMutex);
        m_quit = true;
        m_beatWake.wakeAll();
    }
    m_beatThread->wait();
    delete m_beatThread;
}

qint64 HoldWatch::nowMs()
{
    // The monotonic clock, which the renderers keep time by, stands still
    // while some machines sleep; this one runs on and so counts both.
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void HoldWatch::watch(QMediaPlayer* player)
{
    if (!player)
        return;
    for (const Watched& w : std::as_const(m_players)) {
        if (w.player == player)
            return;
    }
    m_players.append(Watched{player, false, {}, 0});
    connect(player, &QMediaPlayer::playbackStateChanged, this, &HoldWatch::updateRunning);
    connect(player, &QObject::destroyed, this, &HoldWatch::updateRunning, Qt::QueuedConnection);
    updateRunning();
}

void HoldWatch::updateRunning()
{
    m_players.removeIf([](const Watched& w) { return w.player.isNull(); });
    const bool playing = std::any_of(m_players.cbegin(), m_players.cend(), [](const Watched& w) {
        return w.player->playbackState() == QMediaPlayer::PlayingState;
    });
    if (playing == m_timer->isActive()) {
        // A player that starts or stops while the watch runs is noted at
        // once, so that a hold right after it does not find it as it was
        // before; a change that comes first after a hold is the hold's.
        if (playing)
            tick();
        return;
    }
    {
        const QMutexLocker lock(&m_beatMutex);
        m_beating = playing;
        m_lastBeat = nowMs();
        m_beatWake.wakeAll();
    }
    if (playing) {
        m_tickAt = nowMs();
        note();
        m_timer->start();
    } else {
        m_timer->stop();
    }
}

void HoldWatch::tick()
{
    const qint64 at = nowMs();
    const qint64 before = std::exchange(m_tickAt, at);
    const qint64 held = at - before - kTickMs;
    if (held >= kHoldMs && processWasHeld(before))
        reseat(held);
    note();
}

void HoldWatch::note()
{
    for (Watched& w : m_players) {
        QMediaPlayer* p = w.player;
        if (!p)
            continue;
        w.playing = p->playbackState() == QMediaPlayer::PlayingState;
        w.source = p->source();
        w.position = p->position();
    }
}

bool HoldWatch::processWasHeld(qint64 since)
{
    // Either the beat has not come since the hold, or it came late.
    const QMutexLocker lock(&m_beatMutex);
    return nowMs() - m_lastBeat >= kHoldMs || m_beatHeldUntil > since;
}

void HoldWatch::reseat(qint64 heldMs)
{
    QList<QMediaPlayer*> players;
    for (const Watched& w : std::as_const(m_players)) {
        QMediaPlayer* p = w.player;
        // What ended or changed while the program caught up plays from its
        // own start, in step already.
        if (!p || !w.playing || p->playbackState() != QMediaPlayer::PlayingState || p->source() != w.source
            || !p->isSeekable())
            continue;
        const qint64 position = putBack(p, w.position);
        players.append(p);
        startCheck(p, position, 1);
    }
    const QString held = seconds(heldMs);
    if (players.isEmpty())
        emit logMessage(QStringLiteral("The program was held for %1 s").arg(held));
    else
        emit logMessage(QStringLiteral("The program was held for %1 s: what was playing goes on from where it "
                                       "stopped (%2 %3)")
                            .arg(held)
                            .arg(players.size())
                            .arg(players.size() == 1 ? QStringLiteral("player") : QStringLiteral("players")));
    emit resumed(heldMs, players);
}

void HoldWatch::beat()
{
    QMutexLocker lock(&m_beatMutex);
    while (!m_quit) {
        if (!m_beating) {
            m_beatWake.wait(&m_beatMutex);
            continue;
        }
        m_beatWake.wait(&m_beatMutex, kBeatMs);
        const qint64 at = nowMs();
        if (at - std::exchange(m_lastBeat, at) >= kHoldMs + kBeatMs)
            m_beatHeldUntil = at;
    }
}

qint64 HoldWatch::putBack(QMediaPlayer* player, qint64 position)
{
    // A live stream has no place to go back to, and a seek into it fails
    // with an error; the seek to its start makes the new renderer as well
    // and goes on reading where the stream is.
    if (player->duration() <= 0)
        position = 0;
    player->setPosition(position);
    return position;
}

void HoldWatch::startCheck(QMediaPlayer* player, qint64 position, int tries)
{
    for (qsizetype i = m_checks.size() - 1; i >= 0; --i) {
        if (m_checks.at(i).player == player)
            endCheck(i);
    }
    QAudioBufferOutput* out = player->audioBufferOutput();
    if (!out)
        return;
    Check c{player, player->source(), position, nowMs(), tries, std::make_shared<std::atomic<qint64>>(0), {}};
    // Counted on the renderer's thread, as it hands the audio over.
    c.counting = connect(
        out, &QAudioBufferOutput::audioBufferReceived, this,
        [us = c.deliveredUs](const QAudioBuffer& buffer) { us->fetch_add(buffer.duration()); }, Qt::DirectConnection);
    m_checks.append(c);
    m_checkTimer->start(kCheckMs);
}

void HoldWatch::endCheck(qsizetype index)
{
    disconnect(m_checks.at(index).counting);
    m_checks.removeAt(index);
}

void HoldWatch::check()
{
    const qint64 at = nowMs();
    for (qsizetype i = m_checks.size() - 1; i >= 0; --i) {
        const Check c = m_checks.at(i);
        QMediaPlayer* p = c.player;
        if (!p || p->playbackState() != QMediaPlayer::PlayingState || p->source() != c.source) {
            endCheck(i);
            continue;
        }
        const qint64 elapsed = at - c.since;
        if (elapsed < kCheckMs)
            continue;
        const qint64 delivered = c.deliveredUs->load() / 1000;
        const bool none = delivered < kNoAudioMs;
        const bool ahead = delivered > elapsed + kAheadMs;
        endCheck(i);
        if (!none && !ahead)
            continue;
        if (c.tries >= kTries) {
            emit notInStep(p);
            continue;
        }
        // Where it is heard now: at its pace from where it was put back.
        const qint64 position = c.position + qMin(delivered, elapsed);
        emit logMessage(none ? QStringLiteral("After the hold a player gave no audio for %1 s: put back again")
                                   .arg(seconds(elapsed))
                             : QStringLiteral("After the hold a player gave %1 s of audio in %2 s: put back again")
                                   .arg(seconds(delivered), seconds(elapsed)));
        startCheck(p, putBack(p, position), c.tries + 1);
    }
    if (!m_checks.isEmpty() && !m_checkTimer->isActive())
        m_checkTimer->start(kCheckMs);
}
