#pragma once

#include <QString>
#include <QStringList>

// Starts programs on behalf of the command language: the system's restart
// and shut-down, and whatever program an event or a remote client names.
// Each is started detached and not watched.
class ProgramLauncher
{
public:
    static bool start(const QString& program, const QStringList& args);
    static bool restartComputer();
    static bool shutDownComputer();
};
