#include "engine/livemp3encoder.h"

#include <QProcess>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// The blocking encoder's limits, kept for the live one.
constexpr int kIdleMs = 5000;
constexpr int kStopWaitMs = 300;
constexpr int kWatchdogMs = 500;
// An encoder this far behind real time is of no use on air, and its queue
// would otherwise grow for as long as it crawls.
constexpr int kQueueSeconds = 10;
// Input held back before it is written to the child, at most. Output is
// read with each write, and after this long without one (the pipe holds
// seconds of it meanwhile): every wake-up of the window's thread counts.
constexpr int kBatchMs = 200;
constexpr int kReadMs = kBatchMs + 50;
// Until the child's first bytes have come, input goes to it at once and its
// output is looked for this often: a listener is waiting for them.
constexpr int kFirstReadMs = 20;
constexpr int kPipeBytes = 256 * 1024;

} // namespace

LiveMp3Encoder::LiveMp3Encoder(QObject* parent)
    : QObject(parent)
{
    m_watchdog.setInterval(kWatchdogMs);
    connect(&m_watchdog, &QTimer::timeout, this, &LiveMp3Encoder::checkProgress);
    m_readTimer.setInterval(kReadMs);
    connect(&m_readTimer, &QTimer::timeout, this, [this] {
        writePending();
        readOutput();
    });
}

LiveMp3Encoder::~LiveMp3Encoder()
{
    // Children still running, the current one and any being retired, are
    // killed: nothing will read them, and ~QProcess would wait for them.
    const QList<QProcess*> children = findChildren<QProcess*>(Qt::FindDirectChildrenOnly);
    for (QProcess* p : children) {
        p->disconnect(this);
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(kStopWaitMs);
        }
    }
    closeOutput();
}

bool LiveMp3Encoder::open(int sampleRate, int channels, int kbps, Mp3Encoder::InputFormat format)
{
    close();
    const QString path = Mp3Encoder::ffmpegPath();
    m_error = Mp3Encoder::notStarted(path, nullptr);
    if (path.isEmpty())
        return false;
    m_frameBytes = qint64(std::max(channels, 1)) * (format == Mp3Encoder::S16le ? 2 : 4);
    m_queueLimit = qint64(std::max(sampleRate, 8000)) * m_frameBytes * kQueueSeconds;
    m_batchBytes = qint64(std::max(sampleRate, 8000)) * kBatchMs / 1000 * m_frameBytes;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds[0], F_SETPIPE_SZ, kPipeBytes);
    auto* p = new QProcess(this);
    p->setProcessChannelMode(QProcess::SeparateChannels);
    p->setStandardErrorFile(QProcess::nullDevice());
    // Opened afresh for the child, blocking, while the read end is not.
    p->setStandardOutputFile(QStringLiteral("/proc/self/fd/%1").arg(fds[1]));
    p->start(path, Mp3Encoder::arguments(sampleRate, channels, kbps, format), QIODevice::WriteOnly);
    ::close(fds[1]);
    m_output = fds[0];
    // Where children start synchronously the outcome is known already and
    // this does not wait; elsewhere a late failure comes as failed().
    if (!p->waitForStarted(0) && p->state() == QProcess::NotRunning) {
        m_error = Mp3Encoder::notStarted(path, p);
        delete p;
        closeOutput();
        return false;
    }
    connect(p, &QProcess::bytesWritten, this, [this] { m_lastProgress.restart(); });
    connect(p, &QProcess::finished, this, &LiveMp3Encoder::onExit);
    connect(p, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onExit();
    });
    m_process = p;
    m_error.clear();
    m_finishing = false;
    m_flowing = false;
    m_lastProgress.start();
    m_watchdog.start();
    m_readTimer.start(kReadMs);
    return true;
}

qint64 LiveMp3Encoder::queuedBytes() const
{
    return m_process ? m_process->bytesToWrite() + m_pending.size() : 0;
}

void LiveMp3Encoder::encode(const QByteArray& pcm)
{
    if (!m_process || m_finishing)
        return;
    const qint64 n = pcm.size() / m_frameBytes * m_frameBytes;
    if (n < 1)
        return;
    if (queuedBytes() + n > m_queueLimit) {
        letGo();
        return;
    }
    m_pending.append(pcm.constData(), n);
    // A smaller batch goes at the next read.
    if (m_pending.size() >= m_batchBytes || !m_flowing) {
        writePending();
        readOutput();
        if (m_process)
            m_readTimer.start(m_flowing ? kReadMs : kFirstReadMs);
    }
}

void LiveMp3Encoder::writePending()
{
    if (!m_process || m_pending.isEmpty())
        return;
    // The idle clock runs only while input waits for the child.
    if (m_process->bytesToWrite() == 0)
        m_lastProgress.restart();
    m_process->write(m_pending);
    m_pending.clear();
}

void LiveMp3Encoder::finish()
{
    if (!m_process || m_finishing)
        return;
    writePending();
    m_finishing = true;
    m_lastProgress.restart();
    m_process->closeWriteChannel();
}

void LiveMp3Encoder::finishNow()
{
    writePending();
    if (QProcess* p = release()) {
        // The pipe holds far more than the child still has to give.
        const QByteArray rest = Mp3Encoder::finishProcess(*p, [this] { return drain(); });
        delete p;
        closeOutput();
        end(rest, true);
    }
}

void LiveMp3Encoder::close()
{
    if (QProcess* p = release())
        retire(p, false);
    closeOutput();
}

void LiveMp3Encoder::readOutput()
{
    if (!m_process)
        return;
    const QByteArray mp3 = drain();
    if (mp3.isEmpty())
        return;
    m_lastProgress.restart();
    if (!std::exchange(m_flowing, true))
        m_readTimer.setInterval(kReadMs);
    emit encoded(mp3);
}

QByteArray LiveMp3Encoder::drain()
{
    QByteArray out;
    char chunk[16384];
    while (m_output >= 0) {
        const ssize_t n = ::read(m_output, chunk, sizeof chunk);
        if (n > 0)
            out.append(chunk, n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    return out;
}

void LiveMp3Encoder::closeOutput()
{
    if (m_output >= 0)
        ::close(std::exchange(m_output, -1));
}

void LiveMp3Encoder::checkProgress()
{
    if (!m_process || m_lastProgress.elapsed() <= kIdleMs)
        return;
    if (m_finishing)
        m_process->kill(); // its exit ends the finish with what there is
    else if (m_process->bytesToWrite() > 0)
        letGo();
}

void LiveMp3Encoder::onExit()
{
    const bool asked = m_finishing;
    if (QProcess* p = release()) {
        const QByteArray rest = drain();
        closeOutput();
        p->deleteLater();
        end(rest, asked);
    }
}

// Takes the child out of service; the caller ends it.
QProcess* LiveMp3Encoder::release()
{
    m_watchdog.stop();
    m_readTimer.stop();
    m_pending.clear();
    m_finishing = false;
    QProcess* p = std::exchange(m_process, nullptr);
    if (p)
        p->disconnect(this);
    return p;
}

// The child has ended: its last bytes, then whether it was asked to.
void LiveMp3Encoder::end(const QByteArray& rest, bool asked)
{
    if (!rest.isEmpty())
        emit encoded(rest);
    if (asked)
        emit finished();
    else
        emit failed();
}

void LiveMp3Encoder::letGo()
{
    if (QProcess* p = release())
        retire(p, true);
    closeOutput();
    emit failed();
}

// Stops a child without waiting for it; it is deleted once it has ended.
void LiveMp3Encoder::retire(QProcess* p, bool kill)
{
    if (p->state() == QProcess::NotRunning) {
        p->deleteLater();
        return;
    }
    connect(p, &QProcess::finished, p, &QObject::deleteLater);
    if (kill) {
        p->kill();
        return;
    }
    p->closeWriteChannel();
    QTimer::singleShot(kStopWaitMs, p, &QProcess::kill);
}
