#include "autointro.h"

#include "engine/playlistmodel.h"
#include "library/appsettings.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSettings>
#include <QTextStream>

#include <climits>

namespace {

const QString kJingle = QStringLiteral("Jingle");

bool tagsPass(const AutoIntroRule& rule, const QStringList& tags)
{
    for (const QString& tag : rule.mustTags) {
        const bool found = tags.contains(tag, Qt::CaseInsensitive);
        if (found && !rule.tagsMatchAll)
            return true;
        if (!found && rule.tagsMatchAll)
            return false;
    }
    return rule.tagsMatchAll;
}

// Entries of an m3u playlist, relative ones taken against its folder; not
// checked for existence or type.
QStringList playlistEntries(const QString& path)
{
    QStringList out;
    const QFileInfo info(path);
    QFile file(path);
    // Only a regular file is opened: reading a named pipe would wait forever.
    if (!info.isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return out;
    const QDir folder = info.absoluteDir();
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        out.append(QDir::isRelativePath(line) ? QDir::cleanPath(folder.absoluteFilePath(line)) : line);
    }
    return out;
}

} // namespace

void AutoIntro::load()
{
    const QSettings s;
    enabled = Setting::AutoIntroEnabled.read(s);
    rules.clear();
    const QJsonArray list = QJsonDocument::fromJson(Setting::AutoIntroRules.read(s).toByteArray()).array();
    for (const QJsonValue& v : list)
        rules.append(AutoIntroRule::fromJson(v.toObject()));
}

void AutoIntro::save() const
{
    QSettings s;
    Setting::AutoIntroEnabled.write(s, enabled);
    QJsonArray list;
    for (const AutoIntroRule& r : rules)
        list.append(r.toJson());
    Setting::AutoIntroRules.write(s, QJsonDocument(list).toJson(QJsonDocument::Compact));
}

int AutoIntro::selectRule(const Track& track, const QDateTime& now, int rand,
                          const QString& previousCategory) const
{
    if (!enabled || track.marker || track.isStream)
        return -1;
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const AutoIntroRule& r = rules[i];
        if (!r.enabled || r.sources.isEmpty() || !r.matchesCondition(track))
            continue;
        if (!r.skipFileTypes.isEmpty() && r.skipFileTypes.contains(track.category, Qt::CaseInsensitive))
            continue;
        if (!r.mustTags.isEmpty() && !tagsPass(r, track.extras))
            continue;
        if (!r.cooldownElapsed(now))
            continue;
        if (!previousCategory.isEmpty() && r.skipAfterTypes.contains(previousCategory, Qt::CaseInsensitive))
            continue;
        if (r.probability <= 0 || r.probability <= qMin(rand, 99))
            continue;
        return int(i);
    }
    return -1;
}

QStringList AutoIntro::expandSources(const QList<QString>& sources)
{
    QStringList files;
    for (const QString& source : sources) {
        const QFileInfo info(source);
        if (info.isDir()) {
            files += MusicLibrary::listAudioFiles(source, false);
            continue;
        }
        const QString suffix = info.suffix().toLower();
        if (suffix == QLatin1String("m3u") || suffix == QLatin1String("m3u8"))
            files += playlistEntries(source);
        else if (info.exists() && MusicLibrary::isAudioFile(source))
            files.append(source);
    }
    return files;
}

QString AutoIntro::chooseIntroFile(const AutoIntroRule& rule, int random)
{
    const QStringList files = expandSources(rule.sources);
    if (files.isEmpty())
        return {};
    // Widened first: the magnitude of INT_MIN does not fit an int.
    return files.at(qAbs(qint64(random)) % files.size());
}

AutoIntro::Intro AutoIntro::introFor(const PlaylistModel& playlist, int row, const QString& previousCategory,
                                     const QDateTime& now, QRandomGenerator& random) const
{
    Intro intro;
    const QList<Track>& rows = playlist.tracks();
    if (!enabled || row < 0 || row >= rows.size())
        return intro;
    Track track = rows.at(row);
    // An intro already in front of the track is not doubled.
    if (track.marker || track.isStream || (row > 0 && rows.at(row - 1).category == kJingle))
        return intro;
    const TrackParams params = track.filePath.isEmpty() ? TrackParams() : TrackParams::load(track.filePath);
    track.extras = params.tags;

    const int index = selectRule(track, now, random.bounded(100), previousCategory);
    if (index < 0)
        return intro;
    const QString file = chooseIntroFile(rules.at(index), qint32(random.generate()));
    if (file.isEmpty())
        return intro;

    intro.rule = index;
    intro.jingle = Track::fromFile(file);
    intro.jingle.category = kJingle;
    const double secs = rules.at(index).resolvedPositionSecs(params.intro, params.fadeIn);
    // A hand-written position of years must not wrap around.
    if (secs > 0)
        intro.mixPointMs = int(qMin(secs * 1000.0, double(INT_MAX)));
    return intro;
}

void AutoIntro::markUsed(int rule, const QDateTime& now)
{
    if (rule < 0 || rule >= rules.size())
        return;
    rules[rule].lastUsed = now;
    save();
}
