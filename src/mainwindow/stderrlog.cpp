#include "stderrlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLoggingCategory>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdarg>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

Q_LOGGING_CATEGORY(lcFfmpeg, "orchidlantern.ffmpeg")

namespace {

// Where the log's thread writes: descriptor 2 until takeOver() moves it.
std::atomic<int> s_out{STDERR_FILENO};
// The read end of the pipe that descriptor 2 became.
int s_foreign = -1;
// Bytes queued or being written, for a program on its way down.
std::atomic<qint64> s_unwritten{0};

QByteArray stamped(const QString& text)
{
    return (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("  ")
            + text + QLatin1Char('\n'))
        .toUtf8();
}

// How much of the bytes went out; errno tells why not all did.
qsizetype writeOut(const QByteArray& bytes)
{
    const int out = s_out.load();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(out, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone made it non-blocking; waiting here is what this thread is for.
            pollfd wait{out, POLLOUT, 0};
            ::poll(&wait, 1, -1);
        } else if (n == 0 || errno != EINTR) {
            if (n == 0)
                errno = EIO;
            break;
        }
    }
    return done;
}

// Nothing written there can arrive any more: the reader has gone, or
// standard error is closed. A full disk or a file at its size limit may have
// room again later.
bool forGood(int error)
{
    return error == EPIPE || error == EBADF;
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
            if (m_dropped++ == 0)
                m_dropReason = m_failure;
            return;
        }
        if (m_dropped > 0) {
            append(stamped(m_dropReason.isEmpty()
                               ? QStringLiteral("Log: %1 lines were dropped here while standard error was not being read")
                                     .arg(m_dropped)
                               : QStringLiteral("Log: %1 lines were dropped here while standard error could not be "
                                                "written (%2)")
                                     .arg(m_dropped)
                                     .arg(m_dropReason)));
            m_dropped = 0;
        }
        append(bytes);
        m_wake.notify_one();
    }

    void flush(int timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        // A write that failed is tried again now rather than at its time.
        m_retryAt = {};
        m_wake.notify_one();
        m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [this] { return m_gone || (m_lines.empty() && !m_busy); });
    }

private:
    void append(const QByteArray& bytes)
    {
        m_lines.push_back(bytes);
        m_bytes += bytes.size();
        s_unwritten += bytes.size();
    }

    void drain()
    {
        using Clock = std::chrono::steady_clock;
        std::unique_lock lock(m_mutex);
        for (;;) {
            while (m_lines.empty() || Clock::now() < m_retryAt) {
                if (m_lines.empty())
                    m_wake.wait(lock);
                else
                    m_wake.wait_until(lock, m_retryAt);
            }
            QByteArray batch;
            batch.reserve(m_bytes);
            for (const QByteArray& line : m_lines)
                batch += line;
            m_lines.clear();
            m_bytes = 0;
            m_busy = true;
            lock.unlock();
            const qsizetype written = writeOut(batch);
            const int error = errno;
            lock.lock();
            m_busy = false;
            s_unwritten -= written;
            if (written < batch.size() && forGood(error)) {
                m_gone = true;
                s_unwritten -= batch.size() - written + std::exchange(m_bytes, 0);
                m_lines.clear();
            } else if (written < batch.size()) {
                // Kept, in front of what came meanwhile, for a later try.
                m_lines.push_front(batch.sliced(written));
                m_bytes += batch.size() - written;
                m_retryAt = Clock::now() + std::chrono::seconds(1);
                m_failure = QString::fromLocal8Bit(std::strerror(error));
            } else {
                m_failure.clear();
            }
            if (m_lines.empty() || m_gone)
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
    // After a write that failed for a while: when to try again, and why.
    std::chrono::steady_clock::time_point m_retryAt;
    QString m_failure;
    QString m_dropReason; // the failure when the lines were dropped, if any
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

// What came through the pipe that descriptor 2 became and is not yet
// queued: the start of a line without its end. Read by the pipe's thread,
// and at the end by whoever flushes. Never destroyed: that thread may read
// on while the program's statics go.
struct Foreign
{
    std::mutex mutex;
    QByteArray pending;
};

Foreign& foreign()
{
    static Foreign* const made = new Foreign;
    return *made;
}

// Queues line by line what the pipe holds now (its read end does not
// block). False at its end or on an error. Under foreign().mutex.
bool takeForeign(int fd)
{
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return false;
        QByteArray& pending = foreign().pending;
        pending.append(chunk, n);
        qsizetype start = 0;
        for (qsizetype end; (end = pending.indexOf('\n', start)) >= 0; start = end + 1)
            queue().push(pending.sliced(start, end + 1 - start));
        pending.remove(0, start);
        if (pending.size() > StderrLog::kMaxForeignLine)
            queue().push(std::exchange(pending, {}) + '\n');
    }
}

// The last words written to descriptor 2, a line without its end included.
void takeAllForeign()
{
    if (s_foreign < 0)
        return;
    const std::lock_guard lock(foreign().mutex);
    takeForeign(s_foreign);
    if (!foreign().pending.isEmpty())
        queue().push(std::exchange(foreign().pending, {}) + '\n');
}

// Whatever is written to descriptor 2 is queued as it comes: the pipe is
// read all the time, so that no writer ever waits for the real reader.
void drainForeign(int fd)
{
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR)
            return;
        const std::lock_guard lock(foreign().mutex);
        if (!takeForeign(fd)) {
            if (!foreign().pending.isEmpty())
                queue().push(std::exchange(foreign().pending, {}) + '\n');
            return;
        }
    }
}

// What is still queued at exit goes out if the reader takes it soon.
struct FlushAtExit
{
    ~FlushAtExit() { StderrLog::flush(1000); }
} s_flushAtExit;

// An assertion, a heap check or an uncaught exception writes its words and
// aborts: they are given a second to reach the real standard error.
extern "C" void onAbort(int)
{
    for (int i = 0, idle = 0; i < 50 && idle < 2; ++i) {
        int inPipe = 0;
        if (::ioctl(s_foreign, FIONREAD, &inPipe) != 0)
            inPipe = 0;
        idle = inPipe == 0 && s_unwritten.load() <= 0 ? idle + 1 : 0;
        ::poll(nullptr, 0, 20);
    }
}

// False, with errno set, when descriptor 2 stays as it was.
bool redirectDescriptor2()
{
    // Closed at the start, it is taken all the same: a file opened later
    // would get the number, and every library's message with it.
    const int real = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int ends[2];
    if ((real < 0 && errno != EBADF) || ::pipe2(ends, O_CLOEXEC) != 0) {
        if (real >= 0)
            ::close(real);
        return false;
    }
    // Room for a burst while the log's thread is not running.
    ::fcntl(ends[1], F_SETPIPE_SZ, 1024 * 1024);
    if (::dup2(ends[1], STDERR_FILENO) < 0) {
        if (real >= 0)
            ::close(real);
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    ::close(ends[1]);
    // Read as the lines come and to the end when the program ends; only the
    // read end: writers wait for room as they would with a slow reader.
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    s_out = real;
    s_foreign = ends[0];
    std::thread(drainForeign, ends[0]).detach();
    struct sigaction action = {};
    action.sa_handler = onAbort;
    sigemptyset(&action.sa_mask);
    sigaction(SIGABRT, &action, nullptr);
    return true;
}

// FFmpeg's messages as messages of the program: below warnings they are
// not even formatted, unless QT_FFMPEG_DEBUG asks for them.
extern "C" void ffmpegMessage(void* context, int level, const char* format, va_list args)
{
    static const bool everything = qEnvironmentVariableIsSet("QT_FFMPEG_DEBUG");
    if (level < AV_LOG_PANIC || level > (everything ? av_log_get_level() : AV_LOG_WARNING))
        return;
    // A line may come in pieces.
    thread_local QByteArray pending;
    thread_local int prefix = 1;
    char piece[1024];
    av_log_format_line2(context, level, format, args, piece, sizeof piece, &prefix);
    pending += piece;
    if (!pending.endsWith('\n') && pending.size() < StderrLog::kMaxForeignLine)
        return;
    const QString text = QString::fromUtf8(std::exchange(pending, {})).trimmed();
    if (text.isEmpty())
        return;
    if (level <= AV_LOG_ERROR)
        qCCritical(lcFfmpeg).noquote() << text;
    else if (level <= AV_LOG_WARNING)
        qCWarning(lcFfmpeg).noquote() << text;
    else if (level <= AV_LOG_INFO)
        qCInfo(lcFfmpeg).noquote() << text;
    else
        qCDebug(lcFfmpeg).noquote() << text;
}

// The media framework sets FFmpeg's log callback when its backend is made
// (lazily, at the first media object), to one that writes straight to
// descriptor 2, and says so in this line. Ours replaces it once the
// backend's constructor, which probes hardware with FFmpeg's messages
// silenced, has returned. Should the line not come (its category switched
// off), FFmpeg's lines still go through the pipe.
void noticeMediaBackend(const QMessageLogContext& context, const QString& text)
{
    if (!context.category || qstrcmp(context.category, "qt.multimedia.ffmpeg") != 0
        || !text.startsWith(QLatin1String("Using Qt multimedia with FFmpeg")))
        return;
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] { av_log_set_callback(ffmpegMessage); }, Qt::QueuedConnection);
    else
        av_log_set_callback(ffmpegMessage);
}

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
    // Stdio's own buffer first, then the pipe behind descriptor 2.
    std::fflush(stderr);
    takeAllForeign();
    if (Queue* q = s_queue.load())
        q->flush(timeoutMs);
}

void StderrLog::takeOver()
{
    std::signal(SIGPIPE, SIG_IGN);
    if (!redirectDescriptor2())
        write(QStringLiteral("Log: libraries write to standard error directly (%1); a reader that stalls can hold "
                             "them up")
                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
    av_log_set_callback(ffmpegMessage);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        writeRaw((qFormatLogMessage(type, context, text) + QLatin1Char('\n')).toLocal8Bit());
        if (type == QtInfoMsg)
            noticeMediaBackend(context, text);
        if (type == QtFatalMsg)
            flush(1000);
    });
}
