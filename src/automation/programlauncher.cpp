#include "programlauncher.h"

#include <QProcess>

bool ProgramLauncher::start(const QString& program, const QStringList& args)
{
    return QProcess::startDetached(program, args, QString());
}

// The service manager is found on the search path at the moment of asking,
// so a test can put a recording stand-in in its place.
bool ProgramLauncher::restartComputer()
{
#ifdef Q_OS_WIN
    return start(QStringLiteral("shutdown"), {QStringLiteral("/r"), QStringLiteral("/t"), QStringLiteral("0")});
#else
    return start(QStringLiteral("systemctl"), {QStringLiteral("reboot")});
#endif
}

bool ProgramLauncher::shutDownComputer()
{
#ifdef Q_OS_WIN
    return start(QStringLiteral("shutdown"), {QStringLiteral("/s"), QStringLiteral("/t"), QStringLiteral("0")});
#else
    return start(QStringLiteral("systemctl"), {QStringLiteral("poweroff")});
#endif
}
