#include "generatorrules.h"

#include <QSettings>

namespace {

QStringList commaList(const QString& stored)
{
    QStringList out;
    const QString trimmed = stored.trimmed();
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

QStringList tagsOf(const QList<GeneratorRules::TagFilter>& filters, bool exclude)
{
    QStringList out;
    for (const GeneratorRules::TagFilter& f : filters) {
        if (f.exclude == exclude)
            out += f.tags;
    }
    return out;
}

const QString kAfter = QStringLiteral(" after ");

} // namespace

QString GeneratorRules::CannotFollow::toString() const
{
    return tag + kAfter + afterTag;
}

GeneratorRules GeneratorRules::fromSettings()
{
    QSettings s;
    GeneratorRules r;
    r.noRepeatArtistMin = s.value(QStringLiteral("generator/noRepeatArtistMin"), 60).toInt();
    r.noRepeatTitleMin = s.value(QStringLiteral("generator/noRepeatTitleMin"), 180).toInt();
    r.noRepeatAlbumMin = s.value(QStringLiteral("generator/noRepeatAlbumMin"), 30).toInt();
    r.useRatings = s.value(QStringLiteral("generator/useRatings"), true).toBool();
    r.minRating = s.value(QStringLiteral("generator/minRating"), 0).toInt();

    const QStringList include = commaList(s.value(QStringLiteral("generator/includeTags")).toString());
    if (!include.isEmpty())
        r.tagFilters.append({false, include});
    const QStringList exclude = commaList(s.value(QStringLiteral("generator/excludeTags")).toString());
    if (!exclude.isEmpty())
        r.tagFilters.append({true, exclude});

    r.genres = commaList(s.value(QStringLiteral("generator/genres")).toString());
    r.minYear = s.value(QStringLiteral("generator/minYear"), 0).toInt();
    r.maxYear = s.value(QStringLiteral("generator/maxYear"), 0).toInt();

    const QStringList lines =
        s.value(QStringLiteral("generator/cannotFollow")).toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const qsizetype at = line.indexOf(kAfter, 0, Qt::CaseInsensitive);
        if (at <= 0)
            continue;
        CannotFollow rule{line.left(at).trimmed(), line.mid(at + kAfter.size()).trimmed()};
        if (!rule.tag.isEmpty() && !rule.afterTag.isEmpty())
            r.cannotFollow.append(rule);
    }
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
    s.setValue(QStringLiteral("generator/includeTags"), tagsOf(r.tagFilters, false).join(QStringLiteral(", ")));
    s.setValue(QStringLiteral("generator/excludeTags"), tagsOf(r.tagFilters, true).join(QStringLiteral(", ")));
    s.setValue(QStringLiteral("generator/genres"), r.genres.join(QStringLiteral(", ")));
    s.setValue(QStringLiteral("generator/minYear"), r.minYear);
    s.setValue(QStringLiteral("generator/maxYear"), r.maxYear);
    QStringList lines;
    for (const CannotFollow& rule : r.cannotFollow)
        lines << rule.toString();
    s.setValue(QStringLiteral("generator/cannotFollow"), lines.join(QLatin1Char('\n')));
}
