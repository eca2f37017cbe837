#include "library/playlistfile.h"

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
