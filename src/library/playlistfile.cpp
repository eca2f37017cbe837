#include "library/playlistfile.h"

#include <QRegularExpression>
#include <QTextStream>

QStringList PlaylistFile::entries(QTextStream& in, bool pls)
{
    static const QRegularExpression fileKey(QStringLiteral("^File\\d+\\s*="),
                                            QRegularExpression::CaseInsensitiveOption);
    QStringList entries;
    while (!in.atEnd()) {
        QString line = in.readLine().trimmed();
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
        entries << line;
    }
    return entries;
}
