#include "onlycopylock.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// tools/inroot binds the host's /proc here, so that a copy in a PID
// namespace of its own can tell its process number on the host.
const QByteArray kHostProc = QByteArrayLiteral("/run/host/proc");

QByteArray linkTarget(const QByteArray& path)
{
    char target[256];
    const ssize_t n = ::readlink(path.constData(), target, sizeof target);
    return n > 0 ? QByteArray(target, n) : QByteArray();
}

QByteArray hostProc()
{
    struct stat st = {};
    return ::stat((kHostProc + "/self").constData(), &st) == 0 ? kHostProc : QByteArrayLiteral("/proc");
}

QByteArray firstLine(const QByteArray& path)
{
    QFile f(QString::fromLocal8Bit(path));
    return f.open(QIODevice::ReadOnly) ? f.readLine().trimmed() : QByteArray();
}

// Whether the process PID of the table at PROC is another copy of this
// program: a number written by a copy long gone may belong to anything now.
bool anotherCopy(const QByteArray& proc, qint64 pid)
{
    if (pid <= 0 || pid == linkTarget(proc + "/self").toLongLong())
        return false;
    const QByteArray name = firstLine(proc + '/' + QByteArray::number(pid) + "/comm");
    return !name.isEmpty() && name == firstLine("/proc/self/comm");
}

// The holder's process number here, its number on the host and its PID
// namespace, a line each.
QByteArray holderInfo()
{
    return QByteArray::number(qint64(::getpid())) + '\n' + linkTarget(hostProc() + "/self") + '\n'
           + linkTarget("/proc/self/ns/pid") + '\n';
}

qint64 holderFrom(const QByteArray& info)
{
    const QList<QByteArray> lines = info.split('\n');
    if (lines.size() < 3)
        return 0;
    if (const qint64 pid = lines.at(0).toLongLong();
        lines.at(2) == linkTarget("/proc/self/ns/pid") && anotherCopy("/proc", pid))
        return pid;
    if (const qint64 onHost = lines.at(1).toLongLong(); anotherCopy(hostProc(), onHost))
        return onHost;
    return 0;
}

QString notRegular(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("is a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("is a FIFO");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("is a device");
    return QStringLiteral("is not a regular file");
}

} // namespace

OnlyCopyLock::OnlyCopyLock(const QString& path)
    : m_path(path)
{
    if (lockAt(path))
        return;
    const QString problem = m_problem;
    const QString beside = besideOf(path);
    if (lockAt(beside)) {
        m_unusedPath = path;
        m_unusedProblem = problem;
        m_problem.clear();
        m_path = beside;
        return;
    }
    // Neither can guard: the first one's trouble is the one to mend.
    giveUp(QStringLiteral("%1; %2 %3").arg(problem, beside, m_problem));
    m_path = path;
}

bool OnlyCopyLock::lockAt(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    // Never waiting and never through a link: a FIFO or a device at this
    // place must not hold up the start. Closed on exec: a helper program
    // that outlived a crash would hold the lock on.
    constexpr int kFlags = O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    bool writable = true;
    m_fd = ::open(name.constData(), O_RDWR | O_CREAT | kFlags, 0644);
    if (m_fd < 0 && (errno == EACCES || errno == EROFS)) {
        // A lock needs no write access; only the holder's number is not written.
        writable = false;
        m_fd = ::open(name.constData(), O_RDONLY | kFlags);
    }
    if (m_fd < 0) {
        giveUp(errno == ELOOP     ? QStringLiteral("is a symbolic link")
               : errno == EISDIR ? QStringLiteral("is a folder")
                                 : QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st = {};
    if (::fstat(m_fd, &st) != 0) {
        giveUp(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        giveUp(notRegular(st.st_mode));
        return false;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            giveUp(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        QByteArray info(4096, Qt::Uninitialized);
        const ssize_t n = ::pread(m_fd, info.data(), info.size(), 0);
        info.truncate(qMax<ssize_t>(n, 0));
        m_holder = holderFrom(info);
        m_state = State::HeldElsewhere;
        ::close(std::exchange(m_fd, -1));
        return true;
    }
    m_state = State::Held;
    // A write that fails leaves the guard as it is; a refusal then names
    // no process.
    if (const QByteArray info = holderInfo(); writable && ::ftruncate(m_fd, 0) == 0)
        (void)!::pwrite(m_fd, info.constData(), info.size(), 0);
    return true;
}

OnlyCopyLock::~OnlyCopyLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void OnlyCopyLock::giveUp(const QString& problem)
{
    m_problem = problem;
    m_state = State::Unguarded;
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}
