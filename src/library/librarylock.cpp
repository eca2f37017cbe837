#include "librarylock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

thread_local int t_depth = 0;

#ifdef F_OFD_SETLK
// Two bytes of the lock file, held by the open file, not the process: the
// turn, which everyone takes first and one who sets aside keeps, so that
// nobody new comes in while it waits; and the file itself.
constexpr off_t kTurn = 0;
constexpr off_t kFile = 1;

enum class Got { Lock, Busy, Fault };

Got take(int fd, off_t byte, short type, const QDeadlineTimer& deadline)
{
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = byte;
    range.l_len = 1;
    // No lock waits for a time: the holders keep it for a moment only.
    int pauseMs = 1;
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &range) == 0)
            return Got::Lock;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EACCES)
            return Got::Fault;
        if (deadline.hasExpired())
            return Got::Busy;
        QThread::msleep(std::min<qint64>(pauseMs, std::max<qint64>(deadline.remainingTime(), 1)));
        pauseMs = std::min(pauseMs * 2, 20);
    }
}
#endif

} // namespace

QString LibraryLock::fileFor(const QString& databaseFile)
{
    return databaseFile + QStringLiteral(".lock");
}

LibraryLock::LibraryLock(const QString& databaseFile, Mode mode, int waitMs)
{
    if (t_depth > 0) {
        m_held = true;
        return;
    }
#ifdef F_OFD_SETLK
    const QByteArray name = QFile::encodeName(fileFor(databaseFile));
    m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A shared lock needs only read access: another account's lock file
    // still keeps this program's writes apart from that one's setting aside.
    const int rwError = m_fd < 0 ? errno : 0;
    if (m_fd < 0 && (rwError == EACCES || rwError == EROFS || rwError == EPERM))
        m_fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    const bool writable = m_fd >= 0 && rwError == 0;
    const QDeadlineTimer deadline(waitMs);
    const short type = mode == Mode::Exclusive ? F_WRLCK : F_RDLCK;
    Got got = m_fd < 0 ? Got::Fault : take(m_fd, kTurn, type, deadline);
    if (got == Got::Lock)
        got = take(m_fd, kFile, type, deadline);
    const int lockError = errno;
    if (mode == Mode::Exclusive && (got == Got::Fault || !writable)) {
        // Without exclusion nothing may be set aside, whatever the reason.
        const int error = rwError ? rwError : lockError;
        m_problem = QStringLiteral("%1 cannot be locked to set library.db aside (%2)")
                        .arg(fileFor(databaseFile), QString::fromLocal8Bit(std::strerror(error)));
        got = Got::Busy;
    }
    if (got == Got::Lock && mode == Mode::Shared) {
        struct flock turn = {};
        turn.l_type = F_UNLCK;
        turn.l_whence = SEEK_SET;
        turn.l_start = kTurn;
        turn.l_len = 1;
        ::fcntl(m_fd, F_OFD_SETLK, &turn);
    }
    // A shared lock that cannot be made at all must not take the library away.
    m_held = got != Got::Busy;
#else
    Q_UNUSED(databaseFile);
    Q_UNUSED(mode);
    Q_UNUSED(waitMs);
    m_held = true;
#endif
    if (m_held) {
        m_outer = true;
        ++t_depth;
    }
}

LibraryLock::~LibraryLock()
{
    if (m_outer)
        --t_depth;
#ifdef Q_OS_UNIX
    if (m_fd >= 0)
        ::close(m_fd); // releases the lock
#endif
}
