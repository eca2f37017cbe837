#include "firingrecord.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A day of the busiest schedule takes a few MB; more than this is not read.
constexpr qint64 kMaxBytes = qint64(32) * 1024 * 1024;

// A key holds an event's name and action, which may hold line breaks.
QByteArray escaped(const QString& key)
{
    QByteArray text = key.toUtf8();
    text.replace('\\', "\\\\").replace('\n', "\\n").replace('\r', "\\r");
    return text;
}

QString unescaped(QByteArrayView text)
{
    if (!text.contains('\\'))
        return QString::fromUtf8(text);
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            c = text[++i];
            c = c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        }
        out.append(c);
    }
    return QString::fromUtf8(out);
}

// Opened without waiting and only when it is a regular file: a FIFO put in
// its place would hold the scheduler, and with it the window, in open().
// -1 with `problem` set otherwise; a file that is not there is no problem
// when reading.
int openRegular(const QString& path, int flags, QString* problem)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno != ENOENT || (flags & O_CREAT))
            *problem = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *problem = QStringLiteral("%1 is not a regular file").arg(path);
        return -1;
    }
    return fd;
}

} // namespace

FiringRecord::FiringRecord(QString path)
    : m_path(std::move(path))
{
}

QString FiringRecord::load(const QStringList& olderList)
{
    if (m_path.isEmpty())
        return {};
    QStringList problems{read(previousPath(), false), read(m_path, true)};
    const QDate olderDay = QDate::fromString(olderList.value(0), Qt::ISODate);
    if (olderDay.isValid() && (m_days.isEmpty() || olderDay > m_days.lastKey().addDays(-kDaysKept))) {
        QString problem;
        for (qsizetype i = 1; i < olderList.size() && problem.isEmpty(); ++i)
            insert(olderDay, olderList.at(i), &problem);
        problems << problem;
    }
    problems.removeAll(QString());
    return problems.join(QStringLiteral("; "));
}

QString FiringRecord::read(const QString& path, bool current)
{
    QString problem;
    const int fd = openRegular(path, O_RDONLY, &problem);
    if (fd < 0)
        return problem;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFile::AutoCloseHandle)) {
        ::close(fd);
        return file.errorString();
    }
    // Only the newest lines of a file grown past its bound.
    const bool tail = file.size() > kMaxBytes && file.seek(file.size() - kMaxBytes);
    const QByteArray text = file.read(kMaxBytes);
    if (current)
        m_cutShort = !text.isEmpty() && !text.endsWith('\n');
    QByteArrayView dayText;
    QDate day;
    // A tail begins inside a line: from the next one.
    qsizetype pos = tail ? text.indexOf('\n') + 1 : 0;
    if (tail && pos == 0)
        pos = text.size();
    while (pos < text.size()) {
        qsizetype end = text.indexOf('\n', pos);
        if (end < 0)
            end = text.size();
        const QByteArrayView line = QByteArrayView(text).sliced(pos, end - pos);
        pos = end + 1;
        if (line.size() <= 11 || line[10] != '|')
            continue;
        // The lines of one day follow each other: its date is read once.
        if (line.first(10) != dayText) {
            dayText = line.first(10);
            day = QDate::fromString(QString::fromLatin1(dayText), Qt::ISODate);
        }
        if (!day.isValid())
            continue;
        if (current && (!m_fileDay.isValid() || day > m_fileDay))
            m_fileDay = day;
        if (QSet<QString>* keys = keysOf(day))
            keys->insert(unescaped(line.sliced(11)));
    }
    return {};
}

QSet<QString>* FiringRecord::keysOf(const QDate& day)
{
    if (!m_days.isEmpty() && day <= m_days.lastKey().addDays(-kDaysKept))
        return nullptr;
    m_days[day];
    while (m_days.firstKey() <= m_days.lastKey().addDays(-kDaysKept))
        m_days.erase(m_days.begin());
    return &m_days[day];
}

bool FiringRecord::insert(const QDate& day, const QString& key, QString* error)
{
    QSet<QString>* keys = keysOf(day);
    if (!keys) {
        // The clock was set back by days: what ran on later days says
        // nothing about this one.
        m_days.clear();
        keys = keysOf(day);
    }
    if (keys->contains(key))
        return false;
    keys->insert(key);
    const QString problem = append(day, key);
    if (error)
        *error = problem;
    return true;
}

QString FiringRecord::append(const QDate& day, const QString& key)
{
    if (m_path.isEmpty())
        return {};
    if (m_fileDay.isValid() && day > m_fileDay) {
        // A rename, not a rewrite: the first firing of a day costs what
        // every other does. The file set aside keeps the day before.
        m_file.close();
        if (std::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(previousPath()).constData()) == 0)
            m_cutShort = false;
        m_fileDay = {};
    }
    if (!m_file.isOpen()) {
        QString problem;
        const int fd = openRegular(m_path, O_WRONLY | O_APPEND | O_CREAT, &problem);
        if (fd < 0)
            return problem;
        // Unbuffered: each line reaches the kernel at once, so a crash of
        // the program right after an event started does not lose it.
        if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, QFile::AutoCloseHandle)) {
            ::close(fd);
            return m_file.errorString();
        }
    }
    const QByteArray line = (m_cutShort ? QByteArray("\n") : QByteArray()) + day.toString(Qt::ISODate).toLatin1()
                            + '|' + escaped(key) + '\n';
    if (m_file.write(line) != line.size()) {
        const QString problem = m_file.errorString();
        m_file.close();
        m_cutShort = true;
        return problem;
    }
    m_cutShort = false;
    if (!m_fileDay.isValid() || day > m_fileDay)
        m_fileDay = day;
    return {};
}
