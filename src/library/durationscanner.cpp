#include "durationscanner.h"

#include <QAudioOutput>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int kTimeoutMs = 6000;

} // namespace

DurationScanner::DurationScanner(QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(kTimeoutMs);
    connect(m_timer, &QTimer::timeout, this, [this] {
        if (m_busy)
            complete(0);
    });
}

void DurationScanner::scan(const QStringList& paths)
{
    for (const QString& path : paths) {
        if (!path.isEmpty())
            m_queue.append(path);
    }
    // Between two files the next step is already queued; starting one here
    // as well would run it twice.
    if (!m_busy && !m_stepQueued)
        processNext();
}

void DurationScanner::clearQueue()
{
    m_queue.clear();
}

void DurationScanner::releasePlayer()
{
    // The old player may still have reports queued; cut it off before it
    // goes, or a late report would be taken for the next file.
    if (m_player) {
        m_player->disconnect(this);
        m_player->deleteLater();
        m_player = nullptr;
    }
    if (m_output) {
        m_output->deleteLater();
        m_output = nullptr;
    }
}

void DurationScanner::processNext()
{
    if (m_queue.isEmpty()) {
        m_busy = false;
        m_current.clear();
        emit finished();
        return;
    }
    m_busy = true;
    m_current = m_queue.takeFirst();

    // Opening a FIFO or a device can block the player's backend for good,
    // and then the player cannot even be deleted: only regular files go in.
    if (!QFileInfo(m_current).isFile()) {
        complete(0);
        return;
    }

    releasePlayer();
    m_player = new QMediaPlayer(this);
    m_output = new QAudioOutput(this);
    m_output->setVolume(0.0);
    m_player->setAudioOutput(m_output);

    QMediaPlayer* player = m_player;
    connect(player, &QMediaPlayer::durationChanged, this, [this, player](qint64 ms) {
        if (player == m_player && ms > 0 && m_busy)
            complete(ms);
    });
    connect(player, &QMediaPlayer::mediaStatusChanged, this, [this, player](QMediaPlayer::MediaStatus status) {
        if (player != m_player || !m_busy)
            return;
        if (status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia) {
            const qint64 ms = player->duration();
            if (ms > 0)
                complete(ms);
        } else if (status == QMediaPlayer::InvalidMedia) {
            complete(0);
        }
    });

    m_player->setSource(QUrl::fromLocalFile(m_current));
    m_timer->start();
}

void DurationScanner::complete(qint64 ms)
{
    if (!m_busy)
        return;
    m_busy = false;
    m_timer->stop();
    const QString path = m_current;
    m_current.clear();
    m_stepQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_stepQueued = false;
        processNext();
    });
    if (!path.isEmpty())
        emit resolved(path, ms);
}
