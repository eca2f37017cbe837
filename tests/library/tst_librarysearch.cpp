#include "library/musiclibrary.h"
#include "olmain.h"

#include <QRandomGenerator>
#include <QSqlQuery>

namespace {

struct Row
{
    const char* artist;
    const char* title;
    const char* album;
    const char* genre;
    int year;
    qint64 ms;
    const char* path;
};

const Row kRows[] = {
    {"Guns N' Roses", "Don't Cry", "Use Your Illusion I", "Rock", 1991, 284000, "/music/gnr/dont cry.mp3"},
    {"AC/DC", "Back in Black", "Back in Black", "Hard Rock", 1980, 255000, "/music/acdc/back_in_black.flac"},
    {"AC&DC Tribute", "Highway", "", "Rock", 2019, 200000, "/music/tribute/highway.ogg"},
    {"Sigur Rós", "Hoppípolla", "Takk...", "Post-Rock", 2005, 268000, "/music/sigur/hoppipolla.flac"},
    {"C++ Orchestra", "Compile Time", "", "Electronic", 1999, 180000, "/music/cpp/compile.wav"},
    {"Nothing But Thieves", "Amsterdam", "", "Rock", 2017, 263000, "/music/nbt/amsterdam.mp3"},
    {"Orbital", "Halcyon", "", "Electronic", 1992, 570000, "/music/orbital/halcyon.mp3"},
    {"Glowworm", "Carry Me Home", "", "Dance", 1993, 230000, "/music/glow/carry.mp3"},
    {"Afterglow", "Up", "", "Pop", 1900, 3000, "/music/after/up.mp3"},
    {"beyoncé", "Halo", "", "Pop", 2008, 261000, "/music/b/halo.mp3"},
    {"Zed", "Or Else", "", "Pop", 0, 0, "/music/z/or else.mp3"},
    {"ms grey", "Dawn Song", "", "Folk", 1982, 185000, "/music/g/dawn.mp3"},
};

Track toTrack(const Row& r)
{
    Track t;
    t.artist = QString::fromUtf8(r.artist);
    t.title = QString::fromUtf8(r.title);
    t.album = QString::fromUtf8(r.album);
    t.genre = QString::fromUtf8(r.genre);
    t.year = r.year;
    t.durationMs = r.ms;
    t.filePath = QString::fromUtf8(r.path);
    return t;
}

QStringList titles(const QList<Track>& tracks)
{
    QStringList out;
    for (const Track& t : tracks)
        out << t.title;
    return out;
}

bool atWordStart(const QString& value, const QString& needle)
{
    for (qsizetype i = value.indexOf(needle, 0, Qt::CaseInsensitive); i >= 0;
         i = value.indexOf(needle, i + 1, Qt::CaseInsensitive)) {
        if (i == 0 || !value.at(i - 1).isLetterOrNumber())
            return true;
    }
    return false;
}

// Runs a search with the LIKE fallback, as on a build without the index.
template <typename F>
auto withoutIndex(F f)
{
    const bool saved = MusicLibrary::s_ftsAvailable;
    MusicLibrary::s_ftsAvailable = false;
    auto result = f();
    MusicLibrary::s_ftsAvailable = saved;
    return result;
}

} // namespace

class TestLibrarySearch : public QObject
{
    Q_OBJECT

    MusicLibrary m_lib;

private slots:
    void initTestCase()
    {
        QVERIFY(MusicLibrary::initDatabase());
        QVERIFY(MusicLibrary::s_ftsAvailable);
        m_lib.load(QStringLiteral("Search"));
        for (const Row& r : kRows)
            m_lib.addTrack(toTrack(r));
        // Another library's rows never show up.
        MusicLibrary other;
        other.load(QStringLiteral("Elsewhere"));
        other.addTrack(toTrack(kRows[0]));
        QCOMPARE(m_lib.count(), int(std::size(kRows)));
    }

    void wholeLibrarySorted()
    {
        for (const QString& text : {QString(), QStringLiteral("   "), QStringLiteral("(*)"),
                                    QStringLiteral(" : / - ")}) {
            const QList<Track> all = m_lib.search(text);
            QCOMPARE(all.size(), int(std::size(kRows)));
            for (int i = 1; i < all.size(); ++i) {
                const int c = all[i - 1].artist.compare(all[i].artist, Qt::CaseInsensitive);
                QVERIFY2(c <= 0, qPrintable(all[i - 1].artist + " > " + all[i].artist));
            }
        }
        // Rows read back whole.
        const QList<Track> gnr = m_lib.search(QStringLiteral("Illusion"));
        QCOMPARE(gnr.size(), 1);
        QCOMPARE(gnr[0].filePath, QStringLiteral("/music/gnr/dont cry.mp3"));
        QCOMPARE(gnr[0].artist, QStringLiteral("Guns N' Roses"));
        QCOMPARE(gnr[0].album, QStringLiteral("Use Your Illusion I"));
        QCOMPARE(gnr[0].genre, QStringLiteral("Rock"));
        QCOMPARE(gnr[0].year, 1991);
        QCOMPARE(gnr[0].durationMs, 284000);
        QCOMPARE(gnr[0].category, QStringLiteral("Foreign"));
        QVERIFY(gnr[0].dateAdded.isValid());
        QVERIFY(gnr[0].lastPlayed.isNull());
        QVERIFY(!gnr[0].isStream);
    }

    void terms_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("terms");
        QTest::newRow("slash splits") << "rock/pop" << "" << "\"rock\"* \"pop\"*";
        QTest::newRow("dot and hyphen") << "Ms. Grey-Dawn" << "" << "\"Ms\"* \"Grey\"* \"Dawn\"*";
        QTest::newRow("only stripped and separators") << "(*) ^ \"" << "" << "";
        QTest::newRow("apostrophe kept inside quotes") << "don't" << "" << "\"don't\"*";
        QTest::newRow("stripped inside a word") << "a\"b*c(d)^e" << "" << "\"abcde\"*";
        QTest::newRow("operators are words") << "NOT OR AND NEAR" << ""
                                             << "\"NOT\"* \"OR\"* \"AND\"* \"NEAR\"*";
        QTest::newRow("column prefix") << "glow" << "artist" << "artist:\"glow\"*";
        QTest::newRow("duration split at colon") << "3:0" << "duration_str"
                                                 << "duration_str:\"3\"* duration_str:\"0\"*";
        QTest::newRow("other separators") << "a_b,c;d\\e\tf" << "" << "\"a\"* \"b\"* \"c\"* \"d\"* \"e\"* \"f\"*";
    }

    void terms()
    {
        QFETCH(QString, text);
        QFETCH(QString, column);
        QFETCH(QString, terms);
        QCOMPARE(MusicLibrary::ftsTerms(text, column).join(QLatin1Char(' ')), terms);
    }

    void freeText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("index");   // titles found with the index
        QTest::addColumn<QStringList>("like");    // titles found by LIKE matching
        QTest::newRow("prefix of a word only")
            << "glow" << QStringList{"Carry Me Home"} << QStringList{"Up", "Carry Me Home"};
        QTest::newRow("two words in any columns") << "Glow up" << QStringList{} << QStringList{};
        QTest::newRow("diacritics folded") << "beyonce" << QStringList{"Halo"} << QStringList{};
        QTest::newRow("type-ahead") << "Hoppíp" << QStringList{"Hoppípolla"} << QStringList{"Hoppípolla"};
        QTest::newRow("year") << "1991" << QStringList{"Don't Cry"} << QStringList{"Don't Cry"};
        QTest::newRow("duration text") << "04:44" << QStringList{"Don't Cry"} << QStringList{"Don't Cry"};
        QTest::newRow("folder words") << "acdc" << QStringList{} << QStringList{"Back in Black"};
    }

    void freeText()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, index);
        QFETCH(QStringList, like);
        QStringList found = titles(m_lib.search(text));
        found.sort();
        index.sort();
        QCOMPARE(found, index);
        QStringList liked = titles(withoutIndex([&] { return m_lib.search(text); }));
        liked.sort();
        like.sort();
        QCOMPARE(liked, like);
    }

    // Words holding characters of the query syntax are searched for as
    // text: everything LIKE finds at a word start is found.
    void punctuationWords_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("mustFind");
        QTest::newRow("apostrophe") << "don't" << "Don't Cry";
        QTest::newRow("plus signs") << "C++" << "Compile Time";
        QTest::newRow("ampersand") << "AC&DC" << "Highway";
        QTest::newRow("band name") << "Guns N' Roses" << "Don't Cry";
        QTest::newRow("exclamation") << "Sigur Rós!" << "Hoppípolla";
        QTest::newRow("capital NOT") << "NOT" << "Amsterdam";
        QTest::newRow("capital OR") << "OR" << "Or Else";
        QTest::newRow("capital AND") << "AND" << "";
        QTest::newRow("NEAR") << "NEAR" << "";
        QTest::newRow("hash") << "#1" << "";
        QTest::newRow("leading minus") << "-foo" << "";
        QTest::newRow("column lookalike") << "a:b" << "";
        QTest::newRow("unbalanced quote") << "\"Halo" << "Halo";
        QTest::newRow("open parenthesis") << "(Halcyon" << "Halcyon";
        QTest::newRow("percent") << "100%" << "";
        QTest::newRow("braces") << "{Orbital}" << "Halcyon";
    }

    void punctuationWords()
    {
        QFETCH(QString, text);
        QFETCH(QString, mustFind);
        const QStringList found = titles(m_lib.search(text));
        if (!mustFind.isEmpty())
            QVERIFY2(found.contains(mustFind), qPrintable(found.join(", ")));

        const QString needle = text.trimmed();
        const QList<Track> liked = withoutIndex([&] { return m_lib.search(text); });
        for (const Track& t : liked) {
            const bool wordStart = atWordStart(t.artist, needle) || atWordStart(t.title, needle)
                || atWordStart(t.album, needle) || atWordStart(t.genre, needle);
            if (wordStart)
                QVERIFY2(found.contains(t.title), qPrintable(t.title + " missing for " + text));
        }
    }

    // Whatever is typed, the search runs: a row holding the typed words
    // is always found by them.
    void anyTypedTextFindsItsRow()
    {
        const QStringList atoms = {
            "don't", "C++", "AC&DC", "N'", "Rós!", "NOT", "OR", "AND", "NEAR", "-foo", "#1", "50%",
            "x_y", "{a}", "[b]", "a+b", "@home", "$5", "ß", "日本", "émigré", "100", "'", "+", "~",
            "\\", "NEAR(", "(live)", "\"quoted\"", "^caret", "star*", "a:b", "?", "!", "=", "<>", "|",
            "`tick`", "—", "🎵", "\"", "*", ")", "ÆØÅ", "İstanbul", "l'été", "Motörhead", "x--y"};
        const QStringList separators = {" ", "  ", "/", ".", "-", ",", ";", ":", "_", "\t", " \\ "};
        static const QRegularExpression stripped(QStringLiteral("[\"*()^]"));

        MusicLibrary fuzz;
        fuzz.load(QStringLiteral("Fuzz"));
        QRandomGenerator rng(20240501);
        QList<QString> texts;
        for (int i = 0; i < 300; ++i) {
            QString text;
            const int n = 1 + rng.bounded(4);
            for (int k = 0; k < n; ++k) {
                if (k > 0)
                    text += separators[rng.bounded(separators.size())];
                text += atoms[rng.bounded(atoms.size())];
            }
            texts << text;
            Track t;
            // The row holds the words as they end up once the search has
            // dropped its stripped characters.
            t.title = QString(text).remove(stripped);
            t.filePath = QStringLiteral("/fuzz/%1.mp3").arg(i);
            t.comment = QStringLiteral("case%1").arg(i);
            fuzz.addTrack(t);
        }

        int checked = 0;
        for (int i = 0; i < texts.size(); ++i) {
            const QString& text = texts[i];
            const QList<Track> found = fuzz.search(text);
            const bool hasWord = std::any_of(text.begin(), text.end(), [](QChar c) { return c.isLetterOrNumber(); });
            if (!hasWord)
                continue;
            ++checked;
            const bool own = std::any_of(found.begin(), found.end(), [&](const Track& t) {
                return t.comment == QStringLiteral("case%1").arg(i);
            });
            QVERIFY2(own, qPrintable(QStringLiteral("'%1' did not find its row (%2 found)").arg(text).arg(found.size())));

            MusicLibrary::Query q;
            q.title = text;
            const QList<Track> byField = fuzz.search(q);
            QVERIFY2(std::any_of(byField.begin(), byField.end(),
                                 [&](const Track& t) { return t.comment == QStringLiteral("case%1").arg(i); }),
                     qPrintable(QStringLiteral("title '%1' did not find its row").arg(text)));
        }
        QVERIFY(checked > 200);
    }

    void fieldSearch_data()
    {
        QTest::addColumn<MusicLibrary::Query>("query");
        QTest::addColumn<QStringList>("index");
        QTest::addColumn<QStringList>("like");

        MusicLibrary::Query q;
        q.year = QStringLiteral("19");
        QTest::newRow("year prefix")
            << q << QStringList{"Back in Black", "Carry Me Home", "Compile Time", "Dawn Song",
                                "Don't Cry", "Halcyon", "Up"}
            << QStringList{"Back in Black", "Carry Me Home", "Compile Time", "Dawn Song",
                           "Don't Cry", "Halcyon", "Highway", "Up"};
        q = {};
        q.artist = QStringLiteral("glow");
        q.year = QStringLiteral("1993");
        QTest::newRow("artist and year") << q << QStringList{"Carry Me Home"} << QStringList{"Carry Me Home"};
        q = {};
        q.duration = QStringLiteral("04:2");
        QTest::newRow("duration") << q << QStringList{"Hoppípolla", "Amsterdam", "Halo"}
                                  << QStringList{"Hoppípolla", "Amsterdam", "Halo"};
        q = {};
        q.filename = QStringLiteral("halo");
        QTest::newRow("file name") << q << QStringList{"Halo"} << QStringList{"Halo"};
        q = {};
        q.filename = QStringLiteral("music");
        QTest::newRow("file name is not the folder") << q << QStringList{} << QStringList{};
        q = {};
        q.any = QStringLiteral("rock");
        q.album = QStringLiteral("black");
        QTest::newRow("any and album") << q << QStringList{"Back in Black"} << QStringList{"Back in Black"};
        q = {};
        q.artist = QStringLiteral("Guns N' Roses");
        QTest::newRow("artist with apostrophe") << q << QStringList{"Don't Cry"} << QStringList{"Don't Cry"};
        q = {};
        q.genre = QStringLiteral("NOT");
        QTest::newRow("operator word in a field") << q << QStringList{} << QStringList{};
        q = {};
        q.title = QStringLiteral("(*)");
        QTest::newRow("no terms lists everything") << q << QStringList{"*"} << QStringList{};
    }

    void fieldSearch()
    {
        QFETCH(MusicLibrary::Query, query);
        QFETCH(QStringList, index);
        QFETCH(QStringList, like);
        QStringList found = titles(m_lib.search(query));
        found.sort();
        index.sort();
        if (index == QStringList{"*"})
            QCOMPARE(found.size(), int(std::size(kRows)));
        else
            QCOMPARE(found, index);
        QStringList liked = titles(withoutIndex([&] { return m_lib.search(query); }));
        liked.sort();
        like.sort();
        QCOMPARE(liked, like);
    }

    void emptyQueryListsAll()
    {
        QCOMPARE(m_lib.search(MusicLibrary::Query()).size(), int(std::size(kRows)));
    }

    void folderMode()
    {
        MusicLibrary folder;
        folder.folderMode = true;
        folder.name = QStringLiteral("/music");
        for (const Row& r : kRows)
            folder.addTrack(toTrack(r));
        QCOMPARE(folder.count(), int(std::size(kRows)));

        // Containment, in list order, no index involved.
        QCOMPARE(titles(folder.search(QStringLiteral("glow"))), (QStringList{"Carry Me Home", "Up"}));
        QCOMPARE(folder.search(QStringLiteral("  ")).size(), int(std::size(kRows)));
        QCOMPARE(titles(folder.search(QStringLiteral("04:44"))), QStringList{"Don't Cry"});
        QCOMPARE(titles(folder.searchMemory(QStringLiteral("DON'T"))), QStringList{"Don't Cry"});

        MusicLibrary::Query q;
        q.any = QStringLiteral("mp3");
        QCOMPARE(folder.search(q).size(), 8);
        q = {};
        q.year = QStringLiteral("0");
        QCOMPARE(titles(folder.search(q)),
                 (QStringList{"Back in Black", "Highway", "Hoppípolla", "Amsterdam", "Up", "Halo", "Or Else"}));
        q = {};
        q.filename = QStringLiteral("music");
        QVERIFY(folder.search(q).isEmpty());
        q = {};
        q.duration = QStringLiteral("--:--");
        QCOMPARE(titles(folder.search(q)), QStringList{"Or Else"});
        QCOMPARE(folder.search(MusicLibrary::Query()).size(), int(std::size(kRows)));

        // Nothing of folder mode reaches the database.
        QSqlQuery sql(MusicLibrary::database());
        QVERIFY(sql.exec(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE library='/music'")));
        QVERIFY(sql.next());
        QCOMPARE(sql.value(0).toInt(), 0);
    }
};

OL_TEST_MAIN(TestLibrarySearch)
#include "tst_librarysearch.moc"
