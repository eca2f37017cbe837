#include "library/playlistfile.h"

#include "library/pathgate.h"
#include "library/track.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

namespace {

const QString kMarkerPrefix = QStringLiteral("#EXTOL-MARKER:");
const QString kLimitPrefix = QStringLiteral("#EXTOL-LIMIT:");

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
    static const QRegularExpression fileKey(QStringLiteral("^File\\d+\\s*="),
                                            QRegularExpression::CaseInsensitiveOption);
    QList<Item> items;
    qint64 limit = 0;
    while (!in.atEnd()) {
        QString line = in.readLine().trimmed();
        if (!pls && line.startsWith(kMarkerPrefix)) {
            Item marker;
            marker.marker = true;
            marker.label = line.mid(kMarkerPrefix.size()).trimmed();
            items << marker;
            continue;
        }
        if (!pls && line.startsWith(kLimitPrefix)) {
            limit = qMax<qint64>(0, line.mid(kLimitPrefix.size()).trimmed().toLongLong());
            continue;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (pls) {
            const QRegularExpressionMatch key = fileKey.match(line);
            if (!key.hasMatch())
                continue;
            line = line.mid(key.capturedLength()).trimmed();
            if (line.isEmpty())
                continue;
        }
        Item entry;
        entry.path = line;
        entry.streamLimitMs = limit;
        limit = 0;
        items << entry;
    }
    return items;
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

PlaylistFile::Contents PlaylistFile::read(const QString& path)
{
    Contents contents;
    // The gate first: open() of a FIFO would wait for a writer for good.
    QFile file(path);
    if (const QString refusal = PathGate::refusal(path, PathGate::Kind::Playlist); !refusal.isEmpty()
        || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        contents.problem = QStringLiteral("Could not open playlist: %1 (%2)")
                               .arg(path, refusal.isEmpty() ? file.errorString() : refusal);
        return contents;
    }
    QTextStream in(&file);
    in.setEncoding(QStringConverter::Utf8);
    const QFileInfo info(path);
    contents.items = items(in, info.suffix().compare(QLatin1String("pls"), Qt::CaseInsensitive) == 0);
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
        contents.problem = QStringLiteral("Playlist is empty: ") + path;
    }
    return contents;
}
