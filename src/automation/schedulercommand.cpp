#include "schedulercommand.h"

#include <QMap>

namespace {

// QString's operator< compares UTF-16 code units, so the keys come out in
// that order wherever the verbs are listed.
const QMap<QString, QString>& verbTable()
{
    static const QMap<QString, QString> table{
        {QStringLiteral("play"), QStringLiteral("Play track number X, or resume playback")},
        {QStringLiteral("stop"), QStringLiteral("Stop playback")},
        {QStringLiteral("pause"), QStringLiteral("Pause playback")},
        {QStringLiteral("next"), QStringLiteral("Proceed to the next track (optionally fading out over N ms)")},
        {QStringLiteral("previous"), QStringLiteral("Go back to the previous track")},
        {QStringLiteral("fadeout"), QStringLiteral("Fade the playback out over N milliseconds")},
        {QStringLiteral("volume"), QStringLiteral("Set the volume level, optionally fading over N ms")},
        {QStringLiteral("shuffle"), QStringLiteral("shuffle on | off | shuffle (randomise the playlist)")},
        {QStringLiteral("clear"), QStringLiteral("Clear the playlist")},
        {QStringLiteral("mic"), QStringLiteral("mic on [SECONDS] | off - microphone on air (optionally timed)")},
        {QStringLiteral("linein"),
         QStringLiteral("linein on [SECONDS] | off - line input on air (optionally timed)")},
        {QStringLiteral("scheduler"),
         QStringLiteral("scheduler on | off [timeout] - suspend or resume the scheduler")},
        {QStringLiteral("connect"), QStringLiteral("connect [N[,N...]] - connect to the broadcasting server(s)")},
        {QStringLiteral("disconnect"), QStringLiteral("disconnect [N[,N...]] - disconnect from the server(s)")},
        {QStringLiteral("streamarchive"),
         QStringLiteral("streamarchive on | off | [SECONDS] FILENAME - control recording")},
        {QStringLiteral("autointro"), QStringLiteral("autointro enable | disable [rule, rule...]")},
        {QStringLiteral("weather"), QStringLiteral("Update the weather for a city, e.g. weather Oslo, NO")},
        {QStringLiteral("enablevo"), QStringLiteral("Enable voiceovers")},
        {QStringLiteral("disablevo"), QStringLiteral("Disable voiceovers (e.g. for nighttime broadcasts)")},
        {QStringLiteral("load"), QStringLiteral("load FILENAME - load a playlist file into the active list")},
        {QStringLiteral("getrandomplaylist"),
         QStringLiteral("getrandomplaylist PATH - load a random playlist from a folder")},
        {QStringLiteral("clearplaylist"),
         QStringLiteral("clearplaylist [up|down] - clear the list, or above/below the playing track")},
        {QStringLiteral("resetplayedstate"), QStringLiteral("Reset the 'played track' status of the playlist rows")},
        {QStringLiteral("reboot"), QStringLiteral("Restart the computer")},
        {QStringLiteral("poweroff"), QStringLiteral("Shut down the computer")},
        {QStringLiteral("relaystart"),
         QStringLiteral("relaystart URL | 1 | 2 | 3 - relay a network stream or line input")},
        {QStringLiteral("relaystop"), QStringLiteral("Stop relaying and return to the playlist")},
        {QStringLiteral("makelibrary"),
         QStringLiteral("makelibrary [FOLDER] - rebuild the music library (scan FOLDER, or refresh existing)")},
        {QStringLiteral("setcasttitle"), QStringLiteral("setcasttitle TITLE - set the broadcast stream title")},
        {QStringLiteral("silencedetector"),
         QStringLiteral("silencedetector on | off - enable or disable the silence detector")},
        {QStringLiteral("renderplaylist"),
         QStringLiteral("renderplaylist FILE - render the current playlist to an audio file")},
        {QStringLiteral("run"), QStringLiteral("Launch a program or batch file")},
    };
    return table;
}

// Splits at white space outside double quotes. A quote only switches
// quoting and is never part of a token, so "" yields nothing and an
// unclosed quote runs to the end of the line.
QStringList tokenize(const QString& line)
{
    QStringList tokens;
    QString current;
    bool quoted = false;
    for (const QChar c : line) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (!quoted && c.isSpace()) {
            if (!current.isEmpty()) {
                tokens.append(current);
                current.clear();
            }
        } else {
            current.append(c);
        }
    }
    if (!current.isEmpty())
        tokens.append(current);
    return tokens;
}

bool readInt(const QString& text, int* value)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (ok)
        *value = v;
    return ok;
}

} // namespace

SchedulerCommand SchedulerCommand::parse(const QString& line)
{
    SchedulerCommand cmd;
    cmd.raw = line.trimmed();
    const QStringList tokens = tokenize(cmd.raw);
    if (tokens.isEmpty())
        return cmd;
    cmd.verb = tokens.first().toLower();
    cmd.args = tokens.mid(1);
    cmd.known = verbTable().contains(cmd.verb);
    return cmd;
}

bool SchedulerCommand::isCommand(const QString& line)
{
    const QStringList tokens = tokenize(line.trimmed());
    return !tokens.isEmpty() && verbTable().contains(tokens.first().toLower());
}

QStringList SchedulerCommand::knownVerbs()
{
    return verbTable().keys();
}

QString SchedulerCommand::describe(const QString& verb)
{
    return verbTable().value(verb.trimmed().toLower());
}

QString SchedulerCommand::arg(int i) const
{
    return i >= 0 && i < args.size() ? args.at(i) : QString();
}

bool SchedulerCommand::hasArg(const QString& s) const
{
    return args.contains(s, Qt::CaseInsensitive);
}

int SchedulerCommand::intArg(int i, int def) const
{
    int v = def;
    return readInt(arg(i), &v) ? v : def;
}

SchedulerCommand::VolumeArgs SchedulerCommand::volumeArgs() const
{
    VolumeArgs v;
    int level = 0;
    v.volume = readInt(arg(0), &level) ? qBound(0, level, 100) : 100;
    v.fadeMs = qMax(0, intArg(1, 0));
    return v;
}

SchedulerCommand::ArchiveArgs SchedulerCommand::archiveArgs() const
{
    ArchiveArgs a;
    if (args.isEmpty())
        return a;
    const QString first = args.first();
    if (first.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
        a.mode = 1;
        return a;
    }
    if (first.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0)
        return a;
    a.mode = 2;
    int seconds = 0;
    if (readInt(first, &seconds) && args.size() >= 2) {
        a.seconds = seconds;
        a.fileName = args.mid(1).join(QLatin1Char(' '));
    } else {
        a.fileName = args.join(QLatin1Char(' '));
    }
    return a;
}
