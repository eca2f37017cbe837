#include "programlauncher.h"

#include <QProcess>

namespace {

// The service manager is found on the search path at the moment of asking,
// so a test can put a recording stand-in in its place.
bool askSystem(bool restart)
{
#ifdef Q_OS_WIN
    return ProgramLauncher::start(QStringLiteral("shutdown"),
                                  {restart ? QStringLiteral("/r") : QStringLiteral("/s"), QStringLiteral("/t"),
                                   QStringLiteral("0")});
#else
    return ProgramLauncher::start(QStringLiteral("systemctl"),
                                  {restart ? QStringLiteral("reboot") : QStringLiteral("poweroff")});
#endif
}

} // namespace

bool ProgramLauncher::start(const QString& program, const QStringList& args)
{
    return QProcess::startDetached(program, args, QString());
}

bool ProgramLauncher::restartComputer()
{
    return askSystem(true);
}

bool ProgramLauncher::shutDownComputer()
{
    return askSystem(false);
}
