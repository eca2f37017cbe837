#include "durationscanner.h"

#include "heldreads.h"

#include <QAudioOutput>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QMediaPlayer>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <taglib/audioproperties.h>
#include <taglib/fileref.h>

#include <algorithm>
#include <utility>

namespace {

constexpr int kTimeoutMs = 6000;
constexpr int kChunk = 128;      // paths per TagLib read
constexpr int kReadAhead = 2048; // queue entries read ahead of the current one
constexpr int kReaders = 4;      // chunks read at once
constexpr int kSliceMs = 5;

using Lengths = QList<QPair<QString, qint64>>;

// Runs on a pool thread; -1 where TagLib finds no length.
Lengths readLengths(const QStringList& paths)
{
    Lengths out;
    out.reserve(paths.size());
    for (const QString& path : paths) {
        qint64 ms = -1;
        // Only regular files: opening a pipe or a device could block here
        // for good; nor one where a read already hangs.
        if (HeldReads::hangingFolder(path).isEmpty() && QFileInfo(path).isFile()) {
            const QByteArray name = QFile::encodeName(path);
            const TagLib::FileRef ref(name.constData(), true, TagLib::AudioProperties::Average);
            if (const TagLib::AudioProperties* props = ref.isNull() ? nullptr : ref.audioProperties())
                ms = props->lengthInMilliseconds() > 0 ? props->lengthInMilliseconds() : -1;
        }
        out.append({path, ms});
    }
    return out;
}

// Readers of their own, never waited for at exit: one may be held for good
// in an open() on a share that hung, and the players' opens must not wait
// behind it.
QThreadPool* lengthReaders()
{
    static QThreadPool* const pool = [] {
        auto* made = new QThreadPool;
        made->setMaxThreadCount(kReaders);
        return made;
    }();
    return pool;
}

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

DurationScanner::~DurationScanner()
{
    releasePlayer();
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
    m_queueSubmitted = 0;
    m_read.clear();
}

void DurationScanner::releasePlayer()
{
    // The old player may still have reports queued; cut it off before it
    // goes, or a late report would be taken for the next file.
    if (m_player) {
        m_player->disconnect(this);
        // One still opening its file may never be done: let go, not deleted.
        if (HeldReads::letGoOpening(m_player, false, {m_output}))
            m_output = nullptr;
        else
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
    // Lengths already read are reported in a row for a few milliseconds
    // before control goes back to the event loop.
    QElapsedTimer slice;
    slice.start();
    for (;;) {
        if (m_queue.isEmpty()) {
            m_busy = false;
            m_current.clear();
            m_read.clear();
            emit finished();
            return;
        }
        m_busy = true;
        m_current = m_queue.takeFirst();
        m_currentSubmitted = m_queueSubmitted > 0;
        m_queueSubmitted = std::max(0, m_queueSubmitted - 1);
        readAhead();
        const auto known = m_read.constFind(m_current);
        if (known == m_read.cend() || *known <= 0 || slice.elapsed() >= kSliceMs) {
            m_timer->start();
            measureCurrent();
            return;
        }
        m_busy = false;
        const QString path = std::exchange(m_current, QString());
        // A receiver's scan only appends meanwhile.
        m_stepQueued = true;
        emit resolved(path, *known);
        m_stepQueued = false;
    }
}

void DurationScanner::measureCurrent()
{
    const auto it = m_read.constFind(m_current);
    if (it == m_read.cend()) {
        m_waitingForRead = true;
        readAhead();
        return;
    }
    m_waitingForRead = false;
    if (*it > 0)
        complete(*it);
    else
        measureWithPlayer();
}

void DurationScanner::readAhead()
{
    if (m_reading >= kReaders)
        return;
    QStringList chunk;
    if (m_busy && !m_currentSubmitted && !m_read.contains(m_current)) {
        chunk << m_current;
        m_currentSubmitted = true;
    }
    const int window = int(std::min<qsizetype>(m_queue.size(), kReadAhead));
    while (chunk.size() < kChunk && m_queueSubmitted < window)
        chunk << m_queue.at(m_queueSubmitted++);
    if (chunk.isEmpty())
        return;
    ++m_reading;
    // Dropped unseen when the scanner goes first. A read already done when
    // the continuation is attached runs it right here, inside scan(), before
    // a clearQueue() that follows the call: lengths come through the event
    // loop instead.
    QtConcurrent::run(lengthReaders(), readLengths, chunk).then(this, [this](const Lengths& lengths) {
        QMetaObject::invokeMethod(this, [this, lengths] { takeRead(lengths); }, Qt::QueuedConnection);
    });
    readAhead();
}

void DurationScanner::takeRead(const QList<QPair<QString, qint64>>& lengths)
{
    --m_reading;
    if (!m_busy && !m_stepQueued)
        return; // idle: nothing asked for these any more
    for (const auto& [path, ms] : lengths)
        m_read.insert(path, ms);
    readAhead();
    if (m_waitingForRead && m_busy)
        measureCurrent();
}

void DurationScanner::measureWithPlayer()
{
    // Opening a FIFO or a device can block the player's backend for good,
    // and then the player cannot even be deleted: only regular files go in.
    if (!HeldReads::hangingFolder(m_current).isEmpty() || !QFileInfo(m_current).isFile()) {
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
    m_waitingForRead = false;
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
