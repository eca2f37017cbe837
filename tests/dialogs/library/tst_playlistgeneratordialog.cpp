// ctest: timeout 600
#include "audiofixtures.h"
#include "dialogs/library/playlistgeneratordialog.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "library/trackselector.h"
#include "olmain.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRandomGenerator64>
#include <QSettings>
#include <QSpinBox>
#include <QToolButton>

namespace {

// The controls a run is given; the defaults are the dialog's own.
struct Controls
{
    QStringList rotation{};
    int hours = 1, minutes = 0;
    bool avoidArtist = true;
    int artist = 60, title = 180, album = 30;
    bool favour = true;
    int minRating = 0;
    QString include{}, exclude{}, genres{}, cannotFollow{};
    int yearFrom = 0, yearTo = 0;
};

template <typename T>
T* child(const QObject& dialog, const char* name)
{
    return dialog.findChild<T*>(QLatin1String(name));
}

QToolButton* tool(const QObject& dialog, const QString& text)
{
    for (QToolButton* b : dialog.findChildren<QToolButton*>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

QStringList texts(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

QString estimate(const QObject& dialog)
{
    return child<QLabel>(dialog, "estimate")->text();
}

struct Run
{
    QList<Track> picks; // what playlistGenerated carried
    QStringList said;   // the messages shown
    bool accepted = false;
};

Run generate(const Controls& c, quint64 seed = 1)
{
    QRandomGenerator64 random(seed);
    PlaylistGeneratorDialog d(nullptr, &random);
    child<QListWidget>(d, "rotationList")->clear();
    child<QListWidget>(d, "rotationList")->addItems(c.rotation);
    child<QSpinBox>(d, "hoursSpin")->setValue(c.hours);
    child<QSpinBox>(d, "minutesSpin")->setValue(c.minutes);
    child<QCheckBox>(d, "avoidArtistBox")->setChecked(c.avoidArtist);
    child<QSpinBox>(d, "artistSeparation")->setValue(c.artist);
    child<QSpinBox>(d, "titleSeparation")->setValue(c.title);
    child<QSpinBox>(d, "albumSeparation")->setValue(c.album);
    child<QCheckBox>(d, "favourRatedBox")->setChecked(c.favour);
    child<QSpinBox>(d, "minimumRating")->setValue(c.minRating);
    child<QLineEdit>(d, "includeTags")->setText(c.include);
    child<QLineEdit>(d, "excludeTags")->setText(c.exclude);
    child<QLineEdit>(d, "genres")->setText(c.genres);
    child<QSpinBox>(d, "yearFrom")->setValue(c.yearFrom);
    child<QSpinBox>(d, "yearTo")->setValue(c.yearTo);
    child<QPlainTextEdit>(d, "cannotFollow")->setPlainText(c.cannotFollow);
    Run run;
    QObject::connect(&d, &PlaylistGeneratorDialog::playlistGenerated,
                     [&](const QList<Track>& t) { run.picks = t; });
    PromptScript prompts;
    d.generate();
    run.said = prompts.messages();
    run.accepted = d.result() == QDialog::Accepted;
    return run;
}

// The generation loop written out step by step, every track's parameters
// read again in every turn, with the same draws.
QList<Track> directRun(const QStringList& rotation, const GeneratorRules& rules, qint64 target, quint64 seed)
{
    QRandomGenerator64 random(seed);
    QMap<QString, QList<Track>> pools;
    for (const QString& name : rotation) {
        MusicLibrary library;
        library.load(name);
        pools[name].clear();
        for (const Track& t : library.search(QString())) {
            if (!t.isStream && TrackParams::load(t.filePath).isAvailableAt(QDateTime::currentDateTime()))
                pools[name] << t;
        }
    }
    QList<Track> out;
    QList<QPair<Track, int>> history;
    qint64 total = 0;
    for (int turn = 0; turn < 500000 && total < target; ++turn) {
        const QList<Track> pool = pools[rotation[turn % rotation.size()]];
        if (pool.isEmpty())
            continue;
        const QStringList previous = out.isEmpty() ? QStringList() : TrackParams::load(out.last().filePath).tags;
        QList<Track> fallback, candidates;
        QList<double> weights;
        for (const Track& t : pool) {
            const TrackParams p = TrackParams::load(t.filePath);
            if (!TrackSelector::passesFilters(t, p.tags, rules))
                continue;
            fallback << t;
            if (TrackSelector::violatesSeparation(t, history, rules, false)
                || TrackSelector::violatesCannotFollow(p.tags, previous, rules))
                continue;
            const double w = TrackSelector::weightFor(TrackSelector::priorityFor(t, p.rating, rules));
            if (w > 0) {
                candidates << t;
                weights << w;
            }
        }
        const int i = TrackSelector::pickWeighted(weights, random.bounded(1000000) / 1000000.0);
        if (i < 0 && fallback.isEmpty())
            continue;
        const Track pick = i >= 0 ? candidates[i] : fallback[random.bounded(int(fallback.size()))];
        out << pick;
        total += pick.durationMs < 1 ? 180000 : pick.durationMs;
        for (auto& h : history)
            h.second += pick.durationMs < 1 ? 4 : int(pick.durationMs / 60000) + 1;
        history.prepend({pick, 0});
        while (history.size() > 200)
            history.removeLast();
    }
    return out;
}

// Runs the checker; its JSON answer, or an object with "failed".
QJsonObject checker(const QString& command, const QJsonObject& input)
{
    QTemporaryFile file;
    file.open();
    file.write(QJsonDocument(input).toJson());
    file.close();
    QByteArray out;
    QString err;
    const QString script = qEnvironmentVariable("ORCHIDLANTERN_SOURCE_DIR")
                           + QStringLiteral("/tests/dialogs/library/generatorcheck.py");
    const bool ok = AudioFixtures::run(QStringLiteral("python3"),
                                       {script, command, MusicLibrary::database().databaseName(), file.fileName()},
                                       &out, &err);
    QJsonObject answer = QJsonDocument::fromJson(out).object();
    if (!ok)
        answer.insert(QStringLiteral("failed"), err + QString::fromUtf8(out));
    return answer;
}

QJsonObject rulesJson(const Controls& c)
{
    return {{"avoidArtist", c.avoidArtist}, {"artist", c.artist},       {"title", c.title},
            {"album", c.album},             {"favour", c.favour},       {"minRating", c.minRating},
            {"include", c.include},         {"exclude", c.exclude},     {"genres", c.genres},
            {"yearFrom", c.yearFrom},       {"yearTo", c.yearTo},       {"cannotFollow", c.cannotFollow}};
}

// The whole records, as the playlist receives them.
QStringList records(const QList<Track>& tracks)
{
    QStringList out;
    for (const Track& t : tracks)
        out << QStringList{t.filePath, t.artist, t.title, t.album, t.genre, t.comment, t.category,
                           QString::number(t.year), QString::number(t.durationMs), QString::number(t.playCount),
                           t.lastPlayed.toString(Qt::ISODate), t.dateAdded.toString(Qt::ISODate)}
                   .join(QLatin1Char('|'));
    return out;
}

} // namespace

class TestPlaylistGeneratorDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }

    // Runs first: it starts from a database without libraries.
    void rotationAndEstimate()
    {
        {
            PlaylistGeneratorDialog d;
            auto* libraries = child<QListWidget>(d, "libraryList");
            QCOMPARE(texts(libraries), QStringList{"(no libraries - add some in Music Library)"});
            libraries->setCurrentRow(0);
            tool(d, "→")->click();
            emit libraries->itemDoubleClicked(libraries->item(0));
            QCOMPARE(child<QListWidget>(d, "rotationList")->count(), 0);
            QCOMPARE(estimate(d), QStringLiteral("0 slots • target 60 min"));
        }
        QVERIFY(MusicLibrary::createLibrary(QStringLiteral("(odd)")));
        QVERIFY(checker(QStringLiteral("seed"), {}).value("failed").isUndefined());

        PlaylistGeneratorDialog d;
        auto* libraries = child<QListWidget>(d, "libraryList");
        auto* rotation = child<QListWidget>(d, "rotationList");
        QCOMPARE(texts(libraries),
                 (QStringList{"(odd)", "Four", "jingles", "Main", "One artist", "Ties", "Unplayable", "Weighted"}));
        QCOMPARE(texts(rotation), (QStringList{"(odd)", "(odd)"}));
        libraries->setCurrentRow(0);
        tool(d, "→")->click();
        QCOMPARE(rotation->count(), 2);
        libraries->setCurrentRow(2);
        tool(d, "→")->click();
        emit libraries->itemDoubleClicked(libraries->item(2));
        child<QSpinBox>(d, "minutesSpin")->setValue(30);
        QCOMPARE(estimate(d), QStringLiteral("4 slots • target 90 min"));

        rotation->setCurrentRow(0);
        tool(d, "↑")->click();
        tool(d, "↓")->click();
        QCOMPARE(texts(rotation), (QStringList{"(odd)", "(odd)", "jingles", "jingles"}));
        QCOMPARE(rotation->currentRow(), 1);
        tool(d, "↓")->click();
        tool(d, "↓")->click();
        tool(d, "↓")->click();
        QCOMPARE(rotation->currentRow(), 3);
        QCOMPARE(texts(rotation), (QStringList{"(odd)", "jingles", "jingles", "(odd)"}));
        rotation->setCurrentRow(-1);
        tool(d, "←")->click();
        QCOMPARE(rotation->count(), 4);
        for (const char* left : {"3 slots", "2 slots", "1 slot", "0 slots"}) {
            rotation->setCurrentRow(0);
            tool(d, "←")->click();
            QCOMPARE(estimate(d), QLatin1String(left) + QStringLiteral(" • target 90 min"));
        }
    }

    void messagesAndStoredRules()
    {
        QSettings s;
        s.remove(QStringLiteral("generator"));
        const QString artistKey = QStringLiteral("generator/noRepeatArtistMin");
        QCOMPARE(generate({}).said, QStringList{"Add at least one library to the rotation."});
        QVERIFY(!s.contains(artistKey));
        QCOMPARE(generate({.rotation = {"Unplayable", "(odd)", "Unplayable"}}).said,
                 QStringList{"The selected libraries contain no playable tracks."});
        QVERIFY(!s.contains(artistKey));

        // Stored values beyond the spins' ranges come back as their defaults.
        s.setValue(QStringLiteral("generator/noRepeatTitleMin"), 5000);
        s.setValue(QStringLiteral("generator/minRating"), 15);
        s.setValue(QStringLiteral("generator/maxYear"), 4000);
        s.setValue(QStringLiteral("generator/includeTags"), QStringLiteral("a,b"));
        s.setValue(QStringLiteral("generator/excludeTags"), QStringLiteral(" c "));
        s.setValue(QStringLiteral("generator/genres"), QStringLiteral("Rock,Pop"));
        {
            PlaylistGeneratorDialog d;
            QCOMPARE(child<QSpinBox>(d, "titleSeparation")->value(), 180);
            QCOMPARE(child<QSpinBox>(d, "minimumRating")->text(), QStringLiteral("any"));
            QCOMPARE(child<QSpinBox>(d, "yearFrom")->text(), QStringLiteral("any"));
            QCOMPARE(child<QSpinBox>(d, "yearTo")->text(), QStringLiteral("any"));
            QCOMPARE(child<QLineEdit>(d, "includeTags")->text(), QStringLiteral("a, b"));
            QCOMPARE(child<QLineEdit>(d, "excludeTags")->text(), QStringLiteral("c"));
            QCOMPARE(child<QLineEdit>(d, "genres")->text(), QStringLiteral("Rock, Pop"));
        }

        // A length of 0 stores the rules, artist separation off with its box.
        const Run zero = generate({.rotation = {"Main"}, .hours = 0, .avoidArtist = false, .title = 5000,
                                   .minRating = 15, .cannotFollow = "Jingle AFTER Jingle\n after x\nNew after \nfoo"});
        QCOMPARE(zero.said, QStringList{"Nothing was generated."});
        QVERIFY(!zero.accepted);
        QCOMPARE(s.value(artistKey).toInt(), 0);
        QCOMPARE(s.value("generator/noRepeatTitleMin").toInt(), 1440);
        QCOMPARE(s.value("generator/minRating").toInt(), 10);
        QCOMPARE(s.value("generator/cannotFollow").toString(), QStringLiteral("Jingle after Jingle"));
        {
            PlaylistGeneratorDialog d;
            QCOMPARE(child<QSpinBox>(d, "artistSeparation")->text(), QStringLiteral("off"));
        }

        // Filters that admit nothing end the run instead of turning on.
        const Run none = generate({.rotation = {"Main", "Four", "Unplayable"}, .hours = 24, .genres = "Nope"});
        QCOMPARE(none.said, QStringList{"Nothing was generated."});
        QVERIFY(none.picks.isEmpty() && !none.accepted);
        // An include list of separators only restricts nothing.
        const Run blanks = generate({.rotation = {"Four"}, .include = ", ,", .genres = " , "});
        QVERIFY(blanks.said.isEmpty() && blanks.accepted && !blanks.picks.isEmpty());
    }

    // Every pick is checked by an independent reading of the database and
    // the rules, and equals the step-by-step run from the same draws.
    void generationFollowsRules()
    {
        struct Scenario
        {
            const char* name;
            Controls controls;
            int picks = -1;     // -1: any
            int fallbacks = -1; // picks that had to ignore the rules; -1: any
        };
        const QList<Scenario> scenarios = {
            {"rules and rotation",
             {.rotation = {"Main", "jingles", "Main", "Unplayable"}, .hours = 3, .minRating = 3,
              .exclude = "Old", .genres = "Rock, Pop, ",
              .cannotFollow = "Jingle after Jingle\nballad AFTER Ballad\n after x\nNew after", .yearFrom = 1970,
              .yearTo = 2015}},
            {"tags, no ratings",
             {.rotation = {"Main"}, .hours = 2, .avoidArtist = false, .favour = false, .include = "New, jingle",
              .cannotFollow = "new after ballad"}},
            {"one artist", {.rotation = {"One artist"}}, -1, 19},
            {"four minutes each", {.rotation = {"Four"}, .hours = 0, .minutes = 10}, 3, 0},
            {"equal texts", {.rotation = {"Ties"}, .avoidArtist = false, .title = 0, .album = 0, .favour = false}},
        };
        for (const Scenario& sc : scenarios) {
            for (quint64 seed = 1; seed <= 3; ++seed) {
                const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
                const Run run = generate(sc.controls, seed);
                const QList<Track>& picks = run.picks;
                QJsonArray list;
                for (const Track& t : picks)
                    list.append(QJsonObject{{"path", t.filePath}, {"artist", t.artist}, {"title", t.title},
                                            {"album", t.album}, {"durationMs", t.durationMs}});
                const qint64 target = (sc.controls.hours * 60 + sc.controls.minutes) * 60000;
                const QJsonObject found =
                    checker(QStringLiteral("check"),
                            {{"rotation", QJsonArray::fromStringList(sc.controls.rotation)},
                             {"target", target}, {"now", now}, {"rules", rulesJson(sc.controls)}, {"picks", list}});
                const QByteArray where = QByteArray(sc.name) + " seed " + QByteArray::number(seed) + ": "
                                         + QJsonDocument(found).toJson(QJsonDocument::Compact);
                QVERIFY2(run.accepted && !picks.isEmpty() && found.value("errors").toArray().isEmpty(), where);
                QVERIFY2(sc.picks < 0 || picks.size() == sc.picks, where);
                QVERIFY2(sc.fallbacks < 0 || found.value("fallbacks").toInt() == sc.fallbacks, where);
                QVERIFY2(records(picks)
                             == records(directRun(sc.controls.rotation, GeneratorRules::fromSettings(), target, seed)),
                         where);
            }
        }
    }

    void weightedPicksFollowRatings()
    {
        QJsonObject counts;
        for (int k = 0; k < 5; ++k)
            counts.insert(QStringLiteral("/w/%1.mp3").arg(k), 0);
        for (quint64 seed = 1; seed <= 10; ++seed) {
            const Controls c{.rotation = {"Weighted"}, .hours = 2, .avoidArtist = false, .title = 0, .album = 0};
            for (const Track& t : generate(c, seed).picks)
                counts[t.filePath] = counts[t.filePath].toInt() + 1;
        }
        const QJsonObject found = checker(QStringLiteral("chi2"), counts);
        QVERIFY2(found.value("failed").isUndefined() && found.value("picks").toInt() == 1200,
                 QJsonDocument(found).toJson(QJsonDocument::Compact));
    }
};

OL_TEST_MAIN(TestPlaylistGeneratorDialog)
#include "tst_playlistgeneratordialog.moc"
