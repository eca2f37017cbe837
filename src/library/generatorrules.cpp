#include "generatorrules.h"

#include "library/appsettings.h"

#include <QSettings>

namespace {

const QString kAfter = QStringLiteral(" after ");

} // namespace

QStringList GeneratorRules::splitList(const QString& text)
{
    QStringList out;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return out;
    const QStringList parts = trimmed.split(QLatin1Char(','), Qt::SkipEmptyParts);
    // An entry of blanks only would make a tag nobody can carry, so that an
    // include filter would refuse every track.
    for (const QString& part : parts) {
        const QString tag = part.trimmed();
        if (!tag.isEmpty())
            out << tag;
    }
    return out;
}

QStringList GeneratorRules::tagsOf(bool exclude) const
{
    QStringList out;
    for (const TagFilter& f : tagFilters) {
        if (f.exclude == exclude)
            out += f.tags;
    }
    return out;
}

QList<GeneratorRules::CannotFollow> GeneratorRules::parseCannotFollow(const QString& text)
{
    QList<CannotFollow> out;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const qsizetype at = line.indexOf(kAfter, 0, Qt::CaseInsensitive);
        if (at <= 0)
            continue;
        CannotFollow rule{line.left(at).trimmed(), line.mid(at + kAfter.size()).trimmed()};
        if (!rule.tag.isEmpty() && !rule.afterTag.isEmpty())
            out.append(rule);
    }
    return out;
}

QString GeneratorRules::cannotFollowText() const
{
    QStringList lines;
    for (const CannotFollow& rule : cannotFollow)
        lines << rule.toString();
    return lines.join(QLatin1Char('\n'));
}

QString GeneratorRules::CannotFollow::toString() const
{
    return tag + kAfter + afterTag;
}

GeneratorRules GeneratorRules::fromSettings()
{
    QSettings s;
    GeneratorRules r;
    r.noRepeatArtistMin = Setting::GeneratorNoRepeatArtistMin.readInt();
    r.noRepeatTitleMin = Setting::GeneratorNoRepeatTitleMin.readInt();
    r.noRepeatAlbumMin = Setting::GeneratorNoRepeatAlbumMin.readInt();
    r.useRatings = Setting::GeneratorUseRatings.read(s);
    r.minRating = Setting::GeneratorMinRating.readInt();

    const QStringList include = splitList(Setting::GeneratorIncludeTags.read(s));
    if (!include.isEmpty())
        r.tagFilters.append({false, include});
    const QStringList exclude = splitList(Setting::GeneratorExcludeTags.read(s));
    if (!exclude.isEmpty())
        r.tagFilters.append({true, exclude});

    r.genres = splitList(Setting::GeneratorGenres.read(s));
    r.minYear = Setting::GeneratorMinYear.readInt();
    r.maxYear = Setting::GeneratorMaxYear.readInt();

    r.cannotFollow = parseCannotFollow(Setting::GeneratorCannotFollow.read(s));
    return r;
}

void GeneratorRules::saveToSettings(const GeneratorRules& r)
{
    QSettings s;
    Setting::GeneratorNoRepeatArtistMin.write(s, r.noRepeatArtistMin);
    Setting::GeneratorNoRepeatTitleMin.write(s, r.noRepeatTitleMin);
    Setting::GeneratorNoRepeatAlbumMin.write(s, r.noRepeatAlbumMin);
    Setting::GeneratorUseRatings.write(s, r.useRatings);
    Setting::GeneratorMinRating.write(s, r.minRating);
    Setting::GeneratorIncludeTags.write(s, r.tagsOf(false).join(QStringLiteral(", ")));
    Setting::GeneratorExcludeTags.write(s, r.tagsOf(true).join(QStringLiteral(", ")));
    Setting::GeneratorGenres.write(s, r.genres.join(QStringLiteral(", ")));
    Setting::GeneratorMinYear.write(s, r.minYear);
    Setting::GeneratorMaxYear.write(s, r.maxYear);
    Setting::GeneratorCannotFollow.write(s, r.cannotFollowText());
}
