// Search speed on a library of 100 000 rows: MusicLibrary::search beside
// the bare SQL statement with the same MATCH text, median and worst of 50.
#include "benchlibrary.h"
#include "library/musiclibrary.h"
#include "testhome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSqlQuery>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int kRows = 100000;
constexpr int kRuns = 50;

struct Stats
{
    double median;
    double worst;
    int rows;
};

Stats measure(const std::function<int()>& run)
{
    QList<double> ms;
    int rows = 0;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer t;
        t.start();
        rows = run();
        ms << t.nsecsElapsed() / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    return {(ms[kRuns / 2 - 1] + ms[kRuns / 2]) / 2, ms.last(), rows};
}

int bareMatch(const QString& library, const QString& match)
{
    QSqlQuery q(MusicLibrary::database());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT t.* FROM tracks t WHERE t.library=? AND t.id IN "
                             "(SELECT rowid FROM tracks_fts WHERE tracks_fts MATCH ?) "
                             "ORDER BY t.artist COLLATE NOCASE, t.title COLLATE NOCASE"));
    q.addBindValue(library);
    q.addBindValue(match);
    q.exec();
    int n = 0;
    while (q.next())
        ++n;
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    if (!MusicLibrary::initDatabase() || !MusicLibrary::s_ftsAvailable) {
        std::fprintf(stderr, "no library database with full-text index\n");
        return 1;
    }

    QElapsedTimer filled;
    filled.start();
    const BenchLibrary words = fillBenchLibrary(QStringLiteral("Station"), kRows);
    const QStringList& artists = words.artists;
    MusicLibrary lib;
    lib.load(QStringLiteral("Station"));
    std::printf("inserted %d rows in %.1f s\n", kRows, filled.nsecsElapsed() / 1e9);

    struct Case
    {
        const char* label;
        QString text;
        MusicLibrary::Query query;
        bool field;
    };
    MusicLibrary::Query byField;
    byField.artist = artists[17].left(4);
    byField.genre = QStringLiteral("rock");
    const QList<Case> cases = {
        {"rare word 'quixotry'", QStringLiteral("quixotry"), {}, false},
        {"two words 'love night'", QStringLiteral("love night"), {}, false},
        {"one-letter prefix 'k'", QStringLiteral("k"), {}, false},
        {"field: artist + genre", QString(), byField, true},
    };

    std::printf("%-26s %8s %12s %12s %14s %14s\n", "query", "rows", "median ms", "worst ms", "bare median", "bare worst");
    for (const Case& c : cases) {
        QStringList terms;
        if (c.field) {
            terms = MusicLibrary::ftsTerms(c.query.artist, QStringLiteral("artist"))
                + MusicLibrary::ftsTerms(c.query.genre, QStringLiteral("genre"));
        } else {
            terms = MusicLibrary::ftsTerms(c.text);
        }
        const QString match = terms.join(QLatin1Char(' '));
        const Stats s = measure([&] { return int((c.field ? lib.search(c.query) : lib.search(c.text)).size()); });
        const Stats bare = measure([&] { return bareMatch(lib.name, match); });
        std::printf("%-26s %8d %12.2f %12.2f %14.2f %14.2f   MATCH %s\n", c.label, s.rows, s.median, s.worst,
                    bare.median, bare.worst, qPrintable(match));
        if (s.rows != bare.rows)
            std::printf("  row counts differ: %d vs %d\n", s.rows, bare.rows);
    }
    return 0;
}
