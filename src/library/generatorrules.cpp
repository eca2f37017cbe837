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
    r.noRepeatArtistMin = AppSettings::intValue(QStringLiteral("generator/noRepeatArtistMin"));
    r.noRepeatTitleMin = AppSettings::intValue(QStringLiteral("generator/noRepeatTitleMin"));
    r.noRepeatAlbumMin = AppSettings::intValue(QStringLiteral("generator/noRepeatAlbumMin"));
    r.useRatings = s.value(QStringLiteral("generator/useRatings"), true).toBool();
    r.minRating = AppSettings::intValue(QStringLiteral("generator/minRating"));

    const QStringList include = splitList(s.value(QStringLiteral("generator/includeTags")).toString());
    if (!include.isEmpty())
        r.tagFilters.append({false, include});
    const QStringList exclude = splitList(s.value(QStringLiteral("generator/excludeTags")).toString());
    if (!exclude.isEmpty())
        r.tagFilters.append({true, exclude});

    r.genres = splitList(s.value(QStringLiteral("generator/genres")).toString());
    r.minYear = AppSettings::intValue(QStringLiteral("generator/minYear"));
    r.maxYear = AppSettings::intValue(QStringLiteral("generator/maxYear"));

    r.cannotFollow = parseCannotFollow(s.value(QStringLiteral("generator/cannotFollow")).toString());
    return r;
}

void GeneratorRules::saveToSettings(const GeneratorRules& r)
{
    QSettings s;
    s.setValue(QStringLiteral("generator/noRepeatArtistMin"), r.noRepeatArtistMin);
    s.setValue(QStringLiteral("generator/noRepeatTitleMin"), r.noRepeatTitleMin);
    s.setValue(QStringLiteral("generator/noRepeatAlbumMin"), r.noRepeatAlbumMin);
    s.setValue(QStringLiteral("generator/useRatings"), r.useRatings);
    s.setValue(QStringLiteral("generator/minRating"), r.minRating);
    s.setValue(QStringLiteral("generator/includeTags"), r.tagsOf(false).join(QStringLiteral(", ")));
    s.setValue(QStringLiteral("generator/excludeTags"), r.tagsOf(true).join(QStringLiteral(", ")));
    s.setValue(QStringLiteral("generator/genres"), r.genres.join(QStringLiteral(", ")));
    s.setValue(QStringLiteral("generator/minYear"), r.minYear);
    s.setValue(QStringLiteral("generator/maxYear"), r.maxYear);
    s.setValue(QStringLiteral("generator/cannotFollow"), r.cannotFollowText());
}
