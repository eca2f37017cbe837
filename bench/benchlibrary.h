#pragma once

// A library of invented tracks for the benchmarks: the same rows for the
// same seed, with a few marked words at known rates for the searches.
#include "library/musiclibrary.h"

#include <QRandomGenerator>
#include <QSqlDatabase>

#include <iterator>

struct BenchLibrary
{
    QStringList vocabulary;
    QStringList artists;
};

inline QStringList benchWords(QRandomGenerator& rng, int n)
{
    static const char* syllables[] = {"ka", "lo", "mi", "ne", "ra", "su", "to", "vi", "an", "el", "or", "un",
                                      "bri", "cha", "dre", "glo", "pha", "stu", "tre", "wen", "xo", "yu", "ze"};
    QStringList words;
    while (words.size() < n) {
        QString w;
        const int parts = 2 + rng.bounded(3);
        for (int i = 0; i < parts; ++i)
            w += QLatin1String(syllables[rng.bounded(int(std::size(syllables)))]);
        w[0] = w[0].toUpper();
        words << w;
    }
    return words;
}

// Fills the library of this name (created when missing) in one transaction.
inline BenchLibrary fillBenchLibrary(const QString& name, int rows, quint32 seed = 7)
{
    QRandomGenerator rng(seed);
    BenchLibrary words{benchWords(rng, 4000), benchWords(rng, 3000)};
    const QStringList& vocabulary = words.vocabulary;
    const QStringList& artists = words.artists;
    MusicLibrary::createLibrary(name);
    MusicLibrary lib;
    lib.load(name);
    QSqlDatabase db = MusicLibrary::database();
    db.transaction();
    for (int i = 0; i < rows; ++i) {
        Track t;
        t.artist = artists[rng.bounded(artists.size())];
        if (i % 7 == 0)
            t.artist += QStringLiteral(" & ") + artists[rng.bounded(artists.size())];
        const int count = 1 + rng.bounded(4);
        QStringList title;
        for (int w = 0; w < count; ++w)
            title << vocabulary[rng.bounded(vocabulary.size())];
        if (i % 11 == 0)
            title << QStringLiteral("Love");
        if (i % 13 == 0)
            title << QStringLiteral("Night");
        if (i == 4242 || i == 77777 || i == 99001)
            title << QStringLiteral("Quixotry");
        t.title = title.join(QLatin1Char(' '));
        t.album = vocabulary[rng.bounded(vocabulary.size())];
        t.genre = QStringList{"Rock", "Pop", "Jazz", "Dance", "Folk", "Soul"}[rng.bounded(6)];
        t.year = 1950 + rng.bounded(75);
        t.durationMs = 60000 + rng.bounded(400000);
        t.filePath = QStringLiteral("/music/%1/%2 - %3.mp3").arg(i % 500).arg(t.artist, t.title);
        lib.addTrack(t);
    }
    db.commit();
    return words;
}
