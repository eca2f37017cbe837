#include "appsettings.h"

#include <QSettings>

int AppSettings::defaultVolume()
{
    return QSettings().value(QStringLiteral("audio/defaultVolume"), 80).toInt();
}
