#include "library/playlistfile.h"

#include "library/pathgate.h"
#include "library/track.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <utility>

namespace {

const QString kMarkerPrefix = QStringLiteral("#EXTOL-MARKER:");
const QString kLimitPrefix = QStringLiteral("#EXTOL-LIMIT:");

// The longest line read from a file: a path at the system's limit and its
// key. A longer one is no entry any player could open.
constexpr qsizetype kMaxLineBytes = 8192;

// The entries of a file's lines, one line at a time.
struct ItemReader
{
    explicit ItemReader(bool pls)
        : pls(pls)
    {
    }

    void take(QString line)
    {
        static const QRegularExpression fileKey(QStringLiteral("^File\\d+\\s*="),
                                                QRegularExpression::CaseInsensitiveOption);
        line = line.trimmed();
        if (!pls && line.startsWith(kMarkerPrefix)) {
            PlaylistFile::Item marker;
            marker.marker = true;
            marker.label = line.mid(kMarkerPrefix.size()).trimmed();
            items << marker;
            return;
        }
        if (!pls && line.startsWith(kLimitPrefix)) {
            limit = qMax<qint64>(0, line.mid(kLimitPrefix.size()).trimmed().toLongLong());
            return;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            return;
        if (pls) {
            const QRegularExpressionMatch key = fileKey.match(line);
            if (!key.hasMatch())
                return;
            line = line.mid(key.capturedLength()).trimmed();
            if (line.isEmpty())
                return;
        }
        PlaylistFile::Item entry;
        entry.path = line;
        entry.streamLimitMs = limit;
        limit = 0;
        items << entry;
    }

    const bool pls;
    qint64 limit = 0;
    QList<PlaylistFile::Item> items;
};

} // namespace

QString PlaylistFile::markerLine(const QString& label)
{
    return kMarkerPrefix + label;
}

QString PlaylistFile::limitLine(qint64 ms)
{
    return kLimitPrefix + QString::number(ms);
}

QList<PlaylistFile::Item> PlaylistFile::items(QTextStream& in, bool pls)
{
    ItemReader reader(pls);
    while (!in.atEnd())
        reader.take(in.readLine());
    return reader.items;
}

QStringList PlaylistFile::entries(QTextStream& in, bool pls)
{
    QStringList paths;
    for (const Item& item : items(in, pls)) {
        if (!item.marker)
            paths << item.path;
    }
    return paths;
}

PlaylistFile::Contents PlaylistFile::read(const QString& path, const std::function<void()>& answered)
{
    Contents contents;
    const QString shown = PathGate::excerpt(path);
    QString refusal;
    const std::unique_ptr<QFile> file = PathGate::openForReading(path, PathGate::Kind::Playlist, refusal);
    if (answered)
        answered();
    const QFileInfo info(path);
    ItemReader reader(info.suffix().compare(QLatin1String("pls"), Qt::CaseInsensitive) == 0);
    PathGate::LineRead read;
    if (file) {
        read = PathGate::readLines(*file, PathGate::maxBytes(PathGate::Kind::Playlist), kMaxLineBytes,
                                   [&reader, first = true](QByteArrayView line) mutable {
                                       // A byte order mark is no part of the first entry.
                                       if (std::exchange(first, false) && line.startsWith("\xEF\xBB\xBF"))
                                           line = line.sliced(3);
                                       reader.take(QString::fromUtf8(line));
                                   },
                                   answered);
        // Grown past the bound while read, it is refused as a larger one is.
        refusal = read.error;
    }
    if (!refusal.isEmpty()) {
        contents.problem = QStringLiteral("Could not open playlist: %1 (%2)").arg(shown, refusal);
        return contents;
    }
    if (read.longLines > 0)
        contents.notes << QStringLiteral("Not added: %1 line(s) of %2 longer than %3 bytes, the first (line %4) starting %5...")
                              .arg(read.longLines)
                              .arg(shown)
                              .arg(kMaxLineBytes)
                              .arg(read.firstLongLine)
                              .arg(QString::fromUtf8(read.firstLongStart));
    contents.items = std::move(reader.items);
    const QDir base(info.absolutePath());
    bool any = false;
    for (Item& item : contents.items) {
        if (item.marker)
            continue;
        any = true;
        if (!Track::isStreamUrl(item.path) && QFileInfo(item.path).isRelative())
            item.path = base.absoluteFilePath(item.path);
    }
    if (!any) {
        contents.items.clear();
        contents.problem = QStringLiteral("Playlist is empty: ") + shown;
    }
    return contents;
}
