#include "track.h"

namespace {

// Registered once so that tracks and track lists travel in queued signals.
const int s_trackTypes = [] {
    qRegisterMetaType<Track>("Track");
    qRegisterMetaType<QList<Track>>("QList<Track>");
    return 0;
}();

} // namespace

Track Track::fromFile(const QString& path)
{
    Track t;
    t.filePath = path;

    const qsizetype sep = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    QString base = path.mid(sep + 1);
    const qsizetype dot = base.lastIndexOf(QLatin1Char('.'));
    if (dot >= 1)
        base.truncate(dot);

    const qsizetype dash = base.indexOf(QLatin1String(" - "));
    if (dash >= 1) {
        t.artist = base.left(dash).trimmed();
        t.title = base.mid(dash + 3).trimmed();
    } else {
        t.title = base;
    }
    return t;
}

bool Track::isStreamUrl(const QString& text)
{
    static const char* const schemes[] = {"http://", "https://", "mms://", "rtsp://", "rtmp://"};
    const QString t = text.trimmed();
    for (const char* scheme : schemes) {
        if (t.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString Track::formatDuration(qint64 ms)
{
    if (ms < 1)
        return QStringLiteral("--:--");
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString Track::displayName() const
{
    if (marker)
        return QStringLiteral(">> ") + label.toUpper() + QStringLiteral(" <<");
    if (!artist.isEmpty() && !title.isEmpty())
        return artist + QStringLiteral(" - ") + title;
    if (!title.isEmpty())
        return title;
    return filePath;
}
