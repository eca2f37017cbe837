#include "security.h"

#include "appsettings.h"

#include <QCryptographicHash>
#include <QSettings>

bool Security::s_unlocked[2] = {false, false};

namespace {

// The salt belongs to the stored hashes: changing it would lock every
// installation out.
const QByteArray kSalt = QByteArrayLiteral("qw$ptz:v1:");

int indexOf(Security::Area area)
{
    return area == Security::Settings ? 0 : 1;
}

} // namespace

QString Security::hashKey(Area area)
{
    return (area == Settings ? Setting::SettingsPasswordHash : Setting::SchedulerPasswordHash).name();
}

QString Security::hashPassword(const QString& password)
{
    if (password.isEmpty())
        return QString();
    const QByteArray digest = QCryptographicHash::hash(kSalt + password.toUtf8(), QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex());
}

bool Security::isProtected(Area area)
{
    return !QSettings().value(hashKey(area)).toString().isEmpty();
}

void Security::setPassword(Area area, const QString& password)
{
    QSettings s;
    if (password.isEmpty())
        s.remove(hashKey(area));
    else
        s.setValue(hashKey(area), hashPassword(password));
    s_unlocked[indexOf(area)] = true;
}
