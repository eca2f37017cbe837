#include "outputs/nowplayingfile.h"

#include "library/appsettings.h"
#include "library/pathgate.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

NowPlayingFile::Config NowPlayingFile::configFromSettings()
{
    const Config d;
    QSettings s;
    Config c;
    c.enabled = Setting::NowPlayingEnabled.read(s);
    c.path = Setting::NowPlayingPath.read(s);
    c.format = Setting::NowPlayingFormat.read(s);
    c.maxLength = Setting::NowPlayingMaxLength.readInt();
    c.padForRds = Setting::NowPlayingPadForRds.read(s);
    c.whenStopped = Setting::NowPlayingWhenStopped.read(s);
    return c;
}

void NowPlayingFile::saveConfig(const Config& config)
{
    QSettings s;
    Setting::NowPlayingEnabled.write(s, config.enabled);
    Setting::NowPlayingPath.write(s, config.path);
    Setting::NowPlayingFormat.write(s, config.format);
    Setting::NowPlayingMaxLength.write(s, config.maxLength);
    Setting::NowPlayingPadForRds.write(s, config.padForRds);
    Setting::NowPlayingWhenStopped.write(s, config.whenStopped);
}

QString NowPlayingFile::render(const Config& config, const Track& track, const QString& overrideText)
{
    QString artist = track.artist;
    QString title = track.title;
    const QString over = overrideText.trimmed();
    if (!over.isEmpty()) {
        const qsizetype sep = over.indexOf(QLatin1String(" - "));
        if (sep >= 0) {
            artist = over.left(sep).trimmed();
            title = over.mid(sep + 3).trimmed();
        } else {
            artist.clear();
            title = over;
        }
    }

    const qsizetype slash = std::max(track.filePath.lastIndexOf(QLatin1Char('/')),
                                     track.filePath.lastIndexOf(QLatin1Char('\\')));
    const QDateTime now = QDateTime::currentDateTime();

    // Order matters: a value holding a later placeholder gets it filled too.
    QString text = config.format;
    text.replace(QLatin1String("%artist%"), artist);
    text.replace(QLatin1String("%title%"), title);
    text.replace(QLatin1String("%album%"), track.album);
    text.replace(QLatin1String("%genre%"), track.genre);
    text.replace(QLatin1String("%year%"), track.year >= 1 ? QString::number(track.year) : QString());
    text.replace(QLatin1String("%comment%"), track.comment);
    text.replace(QLatin1String("%filename%"), track.filePath.mid(slash + 1));
    text.replace(QLatin1String("%duration%"), Track::formatDuration(track.durationMs));
    text.replace(QLatin1String("%time%"), now.toString(QStringLiteral("HH:mm")));
    text.replace(QLatin1String("%date%"), now.toString(QStringLiteral("yyyy-MM-dd")));

    text = text.trimmed();
    while (text.startsWith(QLatin1String("- ")))
        text = text.mid(2).trimmed();
    while (text.endsWith(QLatin1String(" -")))
        text = text.left(text.size() - 2).trimmed();
    text.replace(QLatin1String("  "), QLatin1String(" "));

    if (config.maxLength >= 1) {
        if (text.size() > config.maxLength) {
            // Half a surrogate pair is no character; an RDS encoder would
            // show it as garbage.
            const bool splitsPair = text.at(config.maxLength - 1).isHighSurrogate()
                                    && text.at(config.maxLength).isLowSurrogate();
            text.truncate(config.maxLength - (splitsPair ? 1 : 0));
        }
        if (config.padForRds && text.size() < config.maxLength)
            text = text.leftJustified(config.maxLength, QLatin1Char(' '));
    }
    return text;
}

bool NowPlayingFile::write(const Config& config, const QString& text, QString* error)
{
    if (!config.enabled || config.path.trimmed().isEmpty())
        return false;
    if (const QString refusal = PathGate::writeRefusal(config.path); !refusal.isEmpty()) {
        if (error)
            *error = refusal;
        return false;
    }
    QDir().mkpath(QFileInfo(config.path).absolutePath());
    QSaveFile file(config.path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        file.write(text.toUtf8());
        if (file.commit())
            return true;
    }
    if (error)
        *error = file.errorString();
    return false;
}

bool NowPlayingFile::update(const Config& config, const Track& track, const QString& overrideText, QString* error)
{
    return write(config, render(config, track, overrideText), error);
}

bool NowPlayingFile::clear(const Config& config)
{
    return write(config, config.whenStopped);
}
