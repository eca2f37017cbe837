#include "pathgate.h"

#include "library/track.h"

#include <QFileInfo>

namespace {

QString megabytes(qint64 bytes)
{
    return QStringLiteral("%1 MB").arg(bytes / (1024 * 1024));
}

} // namespace

qint64 PathGate::maxBytes(Kind kind)
{
    switch (kind) {
    case Kind::Playlist:
        return qint64(16) * 1024 * 1024;
    case Kind::StoredData:
        return qint64(512) * 1024 * 1024;
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
    if (info.size() > maxBytes(kind))
        return QStringLiteral("is larger than %1").arg(megabytes(maxBytes(kind)));
    if (!info.isReadable())
        return QStringLiteral("cannot be read");
    return {};
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

bool PathGate::hasPlaylistSuffix(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= slash)
        return false;
    const QString suffix = path.mid(dot + 1).toLower();
    return suffix == QLatin1String("m3u") || suffix == QLatin1String("m3u8") || suffix == QLatin1String("pls");
}
