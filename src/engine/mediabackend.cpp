#include "mediabackend.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>

namespace {

QString pluginIn(const QString& folder)
{
    return folder + QStringLiteral("/multimedia/lib") + MediaBackend::name() + QStringLiteral("mediaplugin.so");
}

} // namespace

QString MediaBackend::name()
{
    return qEnvironmentVariable("QT_MEDIA_BACKEND", QStringLiteral("ffmpeg"));
}

QString MediaBackend::fixedPluginFile()
{
    return pluginIn(QStringLiteral(OL_FIXED_QT_PLUGINS));
}

QString MediaBackend::preferFixedPlugin()
{
    const QString fixed = fixedPluginFile();
    if (QFileInfo::exists(fixed)) {
        QCoreApplication::addLibraryPath(QStringLiteral(OL_FIXED_QT_PLUGINS));
        return {};
    }
    if (name() != QLatin1String("ffmpeg"))
        return {};
    return QStringLiteral("Audio: Qt's own media plug-in is in use (%1 is not installed): should the sound server "
                          "go away, the program ends; tools/run starts it again")
        .arg(QDir::toNativeSeparators(fixed));
}

QString MediaBackend::pluginFile()
{
    const QStringList folders = QCoreApplication::libraryPaths();
    for (const QString& folder : folders) {
        if (QFileInfo::exists(pluginIn(folder)))
            return pluginIn(folder);
    }
    return pluginIn(QLibraryInfo::path(QLibraryInfo::PluginsPath));
}
