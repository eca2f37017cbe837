#include "pathgate.h"

#include "library/track.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <limits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString megabytes(qint64 bytes)
{
    return QStringLiteral("%1 MB").arg(bytes / (1024 * 1024));
}

QString sizeRefusal(qint64 size, qint64 max)
{
    return size > max ? QStringLiteral("is larger than %1").arg(megabytes(max)) : QString();
}

QString openError(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("does not exist");
    case EACCES:
    case EPERM:
        return QStringLiteral("cannot be read");
    case ENAMETOOLONG:
        return PathGate::beyondPathLimitText();
    case ENXIO:
        return QStringLiteral("is not a regular file");
    case EWOULDBLOCK:
        return QStringLiteral("is held by another program");
    case ELOOP:
        return QStringLiteral("is a link");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

constexpr qsizetype kExcerptChars = 160;
constexpr qint64 kReadChunk = 64 * 1024;

} // namespace

qint64 PathGate::maxBytes(Kind kind)
{
    switch (kind) {
    case Kind::Playlist:
        return qint64(16) * 1024 * 1024;
    case Kind::StoredData:
        return qint64(512) * 1024 * 1024;
    case Kind::Record:
        return std::numeric_limits<qint64>::max();
    case Kind::Audio:
    case Kind::Stream:
        break;
    }
    // A day of uncompressed multichannel audio still fits.
    return qint64(64) * 1024 * 1024 * 1024;
}

QString PathGate::refusal(const QString& path, Kind kind)
{
    if (path.isEmpty())
        return QStringLiteral("no path given");
    if (beyondPathLimit(path))
        return beyondPathLimitText();
    if (kind == Kind::Stream && Track::isStreamUrl(path))
        return {};
    // stat() only: it answers at once for a FIFO or a device, where open() would wait.
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("does not exist");
    if (info.isDir())
        return QStringLiteral("is a folder");
    if (!info.isFile())
        return QStringLiteral("is not a regular file");
    if (const QString big = sizeRefusal(info.size(), maxBytes(kind)); !big.isEmpty())
        return big;
    if (!info.isReadable())
        return QStringLiteral("cannot be read");
    return {};
}

namespace {

// Opened without waiting, then what was opened is checked: a FIFO or a
// leased file answers at once, and a link switched after any earlier look
// leads to nothing unchecked.
std::unique_ptr<QFile> openChecked(const QString& path, int flags, QIODevice::OpenMode mode, qint64 maxBytes,
                                   QString& refusal)
{
    refusal = path.isEmpty() ? QStringLiteral("no path given") : PathGate::beyondPathLimit(path) ? PathGate::beyondPathLimitText() : QString();
    if (!refusal.isEmpty())
        return {};
    const QByteArray name = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(name.constData(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        refusal = openError(errno);
        return {};
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0)
        refusal = openError(errno);
    else if (S_ISDIR(st.st_mode))
        refusal = QStringLiteral("is a folder");
    else if (!S_ISREG(st.st_mode))
        refusal = QStringLiteral("is not a regular file");
    else
        refusal = sizeRefusal(st.st_size, maxBytes);
    // A regular file's reads never wait for a writer; the flag was for the open.
    if (refusal.isEmpty() && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        refusal = openError(errno);
    auto file = std::make_unique<QFile>();
    if (refusal.isEmpty() && !file->open(fd, mode, QFileDevice::AutoCloseHandle))
        refusal = file->errorString();
    if (!refusal.isEmpty()) {
        if (!file->isOpen())
            ::close(fd);
        return {};
    }
    return file;
}

} // namespace

std::unique_ptr<QFile> PathGate::openForReading(const QString& path, Kind kind, QString& refusal)
{
    return openChecked(path, O_RDONLY, QIODevice::ReadOnly, maxBytes(kind), refusal);
}

std::unique_ptr<QFile> PathGate::openForAppending(const QString& path, QString& refusal)
{
    return openChecked(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW,
                       QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, maxBytes(Kind::StoredData),
                       refusal);
}

PathGate::LineRead PathGate::readLines(QIODevice& in, qint64 maxBytes, qsizetype maxLine,
                                       const std::function<void(QByteArrayView)>& line,
                                       const std::function<void()>& answered)
{
    LineRead read;
    QByteArray chunk(kReadChunk, Qt::Uninitialized);
    QByteArray pending; // the start of a line the last chunk did not end
    bool skipping = false; // within a line already found too long
    qsizetype number = 1;
    qint64 total = 0;
    const auto tooLong = [&](QByteArrayView start) {
        if (read.longLines++ == 0) {
            read.firstLongLine = number;
            // Whole characters only: a cut inside one would show as a stray mark.
            qsizetype keep = qMin<qsizetype>(start.size(), kExcerptChars);
            while (keep > 0 && keep < start.size() && (uchar(start.at(keep)) & 0xC0) == 0x80)
                --keep;
            read.firstLongStart = start.first(keep).toByteArray();
        }
    };
    for (;;) {
        // One byte past the bound tells a file that went on.
        const qint64 want = qMin<qint64>(chunk.size(), maxBytes + 1 - total);
        const qint64 got = want > 0 ? in.read(chunk.data(), want) : 0;
        if (answered)
            answered();
        if (got < 0) {
            read.error = in.errorString();
            return read;
        }
        if (got == 0)
            break;
        total += got;
        if (total > maxBytes) {
            read.overran = true;
            read.error = sizeRefusal(total, maxBytes);
            return read;
        }
        QByteArrayView rest(chunk.constData(), got);
        for (qsizetype end; (end = rest.indexOf('\n')) >= 0; rest = rest.sliced(end + 1), ++number) {
            const QByteArrayView piece = rest.first(end);
            if (skipping) {
                skipping = false;
            } else if (pending.size() + piece.size() > maxLine) {
                tooLong(pending.isEmpty() ? piece : QByteArrayView(pending));
            } else if (pending.isEmpty()) {
                line(piece);
            } else {
                pending.append(piece);
                line(pending);
            }
            pending.clear();
        }
        if (skipping)
            continue;
        if (pending.size() + rest.size() > maxLine) {
            tooLong(pending.isEmpty() ? rest : QByteArrayView(pending));
            pending.clear();
            skipping = true;
        } else {
            pending.append(rest);
        }
    }
    if (!skipping && !pending.isEmpty())
        line(pending);
    return read;
}

QString PathGate::writeRefusal(const QString& path)
{
    if (path.isEmpty())
        return QStringLiteral("no path given");
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return {};
    if (info.isDir())
        return QStringLiteral("is a folder");
    if (!info.isFile())
        return QStringLiteral("is not a regular file");
    return {};
}

QString PathGate::asideName(const QString& path, const QString& word)
{
    const QString stem = path + QLatin1Char('.') + word + QLatin1Char('-')
                         + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = stem;
    for (int n = 2; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++n)
        name = stem + QStringLiteral("-%1").arg(n);
    return name;
}

bool PathGate::hasPlaylistSuffix(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= slash)
        return false;
    const QString suffix = path.mid(dot + 1).toLower();
    return suffix == QLatin1String("m3u") || suffix == QLatin1String("m3u8") || suffix == QLatin1String("pls");
}

bool PathGate::beyondPathLimit(const QString& path)
{
    // Most paths are far shorter than the limit even at four bytes a character.
    return path.size() * 3 >= PATH_MAX && QFile::encodeName(path).size() >= PATH_MAX;
}

QString PathGate::beyondPathLimitText()
{
    return QStringLiteral("is longer than the system's path limit (%1 bytes)").arg(PATH_MAX - 1);
}

QString PathGate::excerpt(const QString& text)
{
    if (text.size() <= kExcerptChars)
        return text;
    return QStringLiteral("%1... (%2 characters)").arg(text.left(kExcerptChars)).arg(text.size());
}
