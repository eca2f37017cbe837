#include "audiofiles.h"

#include <QDir>

const QStringList& AudioFiles::suffixes()
{
    static const QStringList list = {
        QStringLiteral("mp3"), QStringLiteral("wav"), QStringLiteral("ogg"),  QStringLiteral("flac"),
        QStringLiteral("m4a"), QStringLiteral("aac"), QStringLiteral("opus"), QStringLiteral("wma"),
        QStringLiteral("aiff"), QStringLiteral("alac"), QStringLiteral("oga")};
    return list;
}

const QStringList& AudioFiles::nameFilters()
{
    static const QStringList filters = [] {
        QStringList f;
        for (const QString& suffix : suffixes())
            f << QStringLiteral("*.") + suffix;
        return f;
    }();
    return filters;
}

QString AudioFiles::dialogFilter(const QString& label, const QStringList& extraPatterns)
{
    return QStringLiteral("%1 (%2)").arg(label, (nameFilters() + extraPatterns).join(QLatin1Char(' ')));
}

bool AudioFiles::hasAudioSuffix(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    return dot > slash && suffixes().contains(path.mid(dot + 1).toLower());
}

QStringList AudioFiles::inFolder(const QString& folder)
{
    QStringList out;
    const QFileInfoList infos = QDir(folder).entryInfoList(nameFilters(), QDir::Files, QDir::Name);
    for (const QFileInfo& info : infos)
        out << info.absoluteFilePath();
    return out;
}
