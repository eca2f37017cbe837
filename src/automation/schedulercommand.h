#pragma once

#include <QString>
#include <QStringList>

// One parsed line of the command language shared by scheduled events, the
// remote API, the relay dialog and the hot keys: a verb and its arguments.
// Parsing never executes anything.
struct SchedulerCommand
{
    struct VolumeArgs
    {
        int volume = 100; // 0..100
        int fadeMs = 0;   // 0 or more
    };

    struct ArchiveArgs
    {
        int mode = 0;     // 0 start with the stored settings, 1 stop, 2 start into fileName
        int seconds = 0;  // 0 = unlimited
        QString fileName; // only for mode 2
    };

    QString verb;     // first token, lower-cased; empty for a line without tokens
    QStringList args; // further tokens as typed, quotes removed
    QString raw;      // the line without surrounding white space
    bool known = false;

    static SchedulerCommand parse(const QString& line);
    static bool isCommand(const QString& line);
    static QStringList knownVerbs();
    static QString describe(const QString& verb);

    QString arg(int i) const;
    bool hasArg(const QString& s) const;
    int intArg(int i, int def) const;
    VolumeArgs volumeArgs() const;
    ArchiveArgs archiveArgs() const;
};
