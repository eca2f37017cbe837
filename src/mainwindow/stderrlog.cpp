#include "stderrlog.h"

#include <QDateTime>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace {

QByteArray stamped(const QString& text)
{
    return (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("  ")
            + text + QLatin1Char('\n'))
        .toUtf8();
}

// False once nothing can arrive any more: the reader has gone, or standard
// error is closed.
bool writeAll(const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size_t(left));
        if (n > 0) {
            data += n;
            left -= n;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone made it non-blocking; waiting here is what this thread is for.
            pollfd out{STDERR_FILENO, POLLOUT, 0};
            ::poll(&out, 1, -1);
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

class Queue
{
public:
    Queue() { std::thread([this] { drain(); }).detach(); }

    void push(const QByteArray& bytes)
    {
        const std::lock_guard lock(m_mutex);
        if (m_gone)
            return;
        if (m_bytes + bytes.size() > StderrLog::kMaxQueuedBytes) {
            ++m_dropped;
            return;
        }
        if (m_dropped > 0) {
            append(stamped(QStringLiteral("Log: %1 lines were dropped here while standard error was not being read")
                               .arg(m_dropped)));
            m_dropped = 0;
        }
        append(bytes);
        m_wake.notify_one();
    }

    void flush(int timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [this] { return m_gone || (m_lines.empty() && !m_busy); });
    }

private:
    void append(const QByteArray& bytes)
    {
        m_lines.push_back(bytes);
        m_bytes += bytes.size();
    }

    void drain()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return !m_lines.empty(); });
            QByteArray batch;
            batch.reserve(m_bytes);
            for (const QByteArray& line : m_lines)
                batch += line;
            m_lines.clear();
            m_bytes = 0;
            m_busy = true;
            lock.unlock();
            const bool written = writeAll(batch);
            lock.lock();
            m_busy = false;
            if (!written) {
                m_gone = true;
                m_lines.clear();
                m_bytes = 0;
            }
            if (m_lines.empty())
                m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<QByteArray> m_lines;
    qsizetype m_bytes = 0;
    qint64 m_dropped = 0;
    bool m_busy = false;
    bool m_gone = false;
};

// Made at the first line and never destroyed: at exit its thread may still
// be waiting in a write.
std::atomic<Queue*> s_queue{nullptr};

Queue& queue()
{
    static Queue* const made = [] {
        auto* q = new Queue;
        s_queue = q;
        return q;
    }();
    return *made;
}

// What is still queued at exit goes out if the reader takes it soon.
struct FlushAtExit
{
    ~FlushAtExit() { StderrLog::flush(1000); }
} s_flushAtExit;

} // namespace

void StderrLog::write(const QString& text)
{
    queue().push(stamped(text));
}

void StderrLog::writeRaw(const QByteArray& bytes)
{
    queue().push(bytes);
}

void StderrLog::flush(int timeoutMs)
{
    if (Queue* q = s_queue.load())
        q->flush(timeoutMs);
}
