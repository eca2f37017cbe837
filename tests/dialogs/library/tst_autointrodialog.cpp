// The auto-intro dialog and its rule editor, driven as the operator would:
// what OK stores is loaded afresh and chosen for files tagged by ffmpeg.
#include "dialogs/library/autointrodialog.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>

namespace {

QString scratch(const QString& name)
{
    return QDir(testHome().scratch(QStringLiteral("intros"))).filePath(name);
}

template <class T>
T* child(QObject* parent, const char* name)
{
    T* c = parent->findChild<T*>(QLatin1String(name));
    if (!c)
        qFatal("no child %s", name);
    return c;
}

void click(QObject* parent, const char* name)
{
    QTest::mouseClick(child<QPushButton>(parent, name), Qt::LeftButton);
}

// OK or Cancel of a dialog's own button box (not of a dialog inside it).
void finish(QDialog& dialog, QDialogButtonBox::StandardButton which)
{
    auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"), Qt::FindDirectChildrenOnly);
    QTest::mouseClick(box->button(which), Qt::LeftButton);
}

void setText(QObject* editor, const char* name, const QString& text)
{
    child<QLineEdit>(editor, name)->setText(text);
}

// The rule editor answered by a driver that ends it with OK or Cancel.
void answerEditor(PromptScript& script, std::function<void(QDialog&)> edit,
                  QDialogButtonBox::StandardButton end = QDialogButtonBox::Ok)
{
    script.answerDialog([edit, end](QDialog& editor) {
        edit(editor);
        finish(editor, end);
        return editor.result();
    });
}

struct Dialog
{
    Dialog()
    {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    }
    QListWidget* list() { return child<QListWidget>(&dialog, "ruleList"); }
    QStringList rows()
    {
        QStringList out;
        for (int i = 0; i < list()->count(); ++i)
            out << list()->item(i)->text();
        return out;
    }
    // A person's double click: the press that picks the row comes first.
    void doubleClick(int row)
    {
        const QPoint at = list()->visualItemRect(list()->item(row)).center();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
    }
    void press(const char* button, int row = -1)
    {
        if (row >= 0)
            list()->setCurrentRow(row);
        click(&dialog, button);
    }

    AutoIntroDialog dialog;
};

AutoIntro stored()
{
    AutoIntro store;
    store.load();
    return store;
}

} // namespace

class TestAutoIntroDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }
    void rulesFromTheDialogPickJingles();
    void listAndEditorKeepTheirRules();
};

void TestAutoIntroDialog::rulesFromTheDialogPickJingles()
{
    const QString rock = scratch("rock.mp3");
    const QString summer = scratch("summer.mp3");
    const QString jazz = scratch("jazz.mp3");
    QVERIFY(AudioFixtures::tone(rock, 440, -20, 1, 44100, 2, {{"artist", "The Band"}, {"genre", "Rock"}}));
    QVERIFY(AudioFixtures::tone(summer, 440, -20, 1, 44100, 2, {{"genre", "Pop"}}));
    QVERIFY(AudioFixtures::tone(jazz, 440, -20, 1, 44100, 2, {{"genre", "Jazz"}}));
    TrackParams rockParams;
    rockParams.intro = 7500;
    TrackParams::save(rock, rockParams);
    TrackParams summerParams;
    summerParams.tags = {"Summer"};
    TrackParams::save(summer, summerParams);

    const QString ids = scratch("ids");
    QVERIFY(QDir().mkpath(ids));
    for (const char* name : {"ids/one.mp3", "ids/two.mp3", "summer jingle.mp3", "any.mp3"})
        QVERIFY(AudioFixtures::silence(scratch(name), 0.5));

    {
        Dialog d;
        const QStringList placeholder{"(no rules - click Add)"};
        QCOMPARE(d.rows(), placeholder);
        PromptScript script;
        for (const char* button : {"editButton", "deleteButton", "upButton", "downButton"})
            d.press(button, 0);
        d.doubleClick(0);
        QVERIFY(script.asked().isEmpty()); // the placeholder stands for no rule
        QCOMPARE(d.rows(), placeholder);
        answerEditor(script, [&](QDialog& e) {
            QCOMPARE(child<QLineEdit>(&e, "nameEdit")->text(), QStringLiteral("Rule 1"));
            setText(&e, "nameEdit", " Anything ");
            child<QSpinBox>(&e, "cooldownSpin")->setValue(3600);
            child<QPlainTextEdit>(&e, "sourcesEdit")->setPlainText("\n  " + scratch("any.mp3") + "  \n \n");
        });
        d.press("addButton");
        script.answerFolder(ids);
        answerEditor(script, [&](QDialog& e) {
            setText(&e, "nameEdit", "Rock intros");
            child<QComboBox>(&e, "conditionCombo")->setCurrentText("genre");
            setText(&e, "conditionEdit", " rock ");
            child<QComboBox>(&e, "valueTypeCombo")->setCurrentText("Intro");
            click(&e, "addFolderButton");
        });
        d.press("addButton");
        script.answerFiles({scratch("summer jingle.mp3")});
        answerEditor(script, [&](QDialog& e) {
            setText(&e, "nameEdit", "Summer");
            setText(&e, "tagsEdit", "summer, new");
            setText(&e, "skipAfterEdit", "Commercial");
            child<QDoubleSpinBox>(&e, "secondsSpin")->setValue(2.5);
            click(&e, "addFileButton");
        });
        d.press("addButton");
        d.press("downButton", 0);
        d.press("downButton");
        QCOMPARE(d.rows(), QStringList({"Rock intros  [genre = rock]", "Summer", "Anything"}));
        QCOMPARE(d.list()->currentRow(), 2);
        auto* enable = child<QCheckBox>(&d.dialog, "enableBox");
        QTest::mouseClick(enable, Qt::LeftButton, {}, QPoint(8, enable->height() / 2));
        finish(d.dialog, QDialogButtonBox::Ok);
        QCOMPARE(d.dialog.result(), int(QDialog::Accepted));
    }

    const AutoIntro store = stored();
    QVERIFY(store.enabled);
    QCOMPARE(store.rules.size(), 3);
    QCOMPARE(store.rules[0].sources, QStringList{ids});
    QCOMPARE(store.rules[0].condValue, QStringLiteral("rock"));
    QCOMPARE(store.rules[1].sources, QStringList{scratch("summer jingle.mp3")});
    QCOMPARE(store.rules[2].name, QStringLiteral("Anything"));
    QCOMPARE(store.rules[2].sources, QStringList{scratch("any.mp3")});

    PlaylistModel playlist;
    for (const QString& file : {rock, summer, jazz})
        playlist.addTrack(MusicLibrary::scanFile(file));
    QRandomGenerator random(5);
    const QDateTime now = QDateTime::currentDateTime();
    const auto pick = [&](int row, const QString& before) {
        const AutoIntro::Intro intro = store.introFor(playlist, row, before, now, random);
        return QStringLiteral("%1 %2 %3").arg(intro.rule).arg(QFileInfo(intro.jingle.filePath).fileName()).arg(intro.mixPointMs);
    };
    QVERIFY(pick(0, "Foreign").contains(QRegularExpression("^0 (one|two).mp3 7500$")));
    QCOMPARE(pick(1, "Foreign"), QStringLiteral("1 summer jingle.mp3 2500"));
    QCOMPARE(pick(1, "commercial"), QStringLiteral("2 any.mp3 -1"));
    QCOMPARE(pick(2, "Foreign"), QStringLiteral("2 any.mp3 -1"));
}

void TestAutoIntroDialog::listAndEditorKeepTheirRules()
{
    AutoIntro store;
    const auto make = [](const QString& name, bool enabled, int probability) {
        AutoIntroRule r;
        r.name = name;
        r.enabled = enabled;
        r.probability = probability;
        return r;
    };
    AutoIntroRule station = make("Station ID", false, 50);
    station.condField = "genre";
    station.condValue = "Rock";
    station.sources = {"/ids"};
    AutoIntroRule odd = make("Odd", true, 100);
    odd.condField = "Genre";
    odd.condValue = "x";
    odd.position = 5;
    odd.posValue = 2;
    odd.positionSecs = 4.5;
    odd.sources = {"/odd.mp3"};
    odd.lastUsed = QDateTime(QDate(2025, 3, 1), QTime(14, 5, 9));
    store.rules = {make("rule 7", true, 100), make("Rules", true, 100), station, make("Off", false, 100), odd};
    store.save();
    const QByteArray before = QSettings().value("autointro/rules").toByteArray();

    {
        Dialog d;
        QCOMPARE(d.rows(), QStringList({"rule 7", "Rules", "Station ID  [genre = Rock]  50%  (off)", "Off  (off)",
                                        "Odd  [Genre = x]"}));
        PromptScript script;
        const auto cancelled = [](QDialog&) {};
        answerEditor(script, cancelled, QDialogButtonBox::Cancel);
        answerEditor(script, cancelled, QDialogButtonBox::Cancel);
        d.press("editButton", 0);
        d.doubleClick(1);
        QCOMPARE(d.rows().size(), 5); // lower-case "rule" and "Rules" are no new rules

        d.press("upButton", 0);
        d.press("downButton", 4);
        QCOMPARE(d.rows().first(), QStringLiteral("rule 7"));
        d.press("deleteButton", 1);
        QCOMPARE(d.rows().size(), 4);
        QCOMPARE(d.list()->currentRow(), -1);
        answerEditor(script, [](QDialog& e) {
            QCOMPARE(child<QLineEdit>(&e, "nameEdit")->text(), QStringLiteral("Rule 5"));
        }, QDialogButtonBox::Cancel);
        d.press("addButton");
        QCOMPARE(d.rows().size(), 4);
        QCOMPARE(script.asked().size(), 3); // no question before the deletion
        finish(d.dialog, QDialogButtonBox::Cancel);
    }
    QCOMPARE(QSettings().value("autointro/rules").toByteArray(), before);

    {
        Dialog d;
        PromptScript script;
        answerEditor(script, [](QDialog& e) {
            QCOMPARE(child<QComboBox>(&e, "conditionCombo")->currentText(), QStringLiteral("(any track)"));
            QCOMPARE(child<QComboBox>(&e, "positionCombo")->currentIndex(), -1);
            auto* type = child<QComboBox>(&e, "valueTypeCombo");
            auto* seconds = child<QDoubleSpinBox>(&e, "secondsSpin");
            QVERIFY(!seconds->isEnabled());
            type->setCurrentText("seconds");
            QVERIFY(seconds->isEnabled());
            type->setCurrentText("Intro");
            QVERIFY(!seconds->isEnabled());
            setText(&e, "skipAfterEdit", "Jingle, , Commercial");
            setText(&e, "skipFileEdit", "Promo,,");
            setText(&e, "tagsEdit", "Jingle, , Commercial");
            child<QComboBox>(&e, "tagsCombo")->setCurrentText("all");
        });
        d.press("editButton", 4);
        // Added, given no source and confirmed: kept, until a cancelled edit.
        answerEditor(script, [](QDialog&) {});
        d.press("addButton");
        QCOMPARE(d.rows().last(), QStringLiteral("Rule 6"));
        finish(d.dialog, QDialogButtonBox::Ok);
    }
    AutoIntro after = stored();
    QVERIFY(!after.enabled);
    QCOMPARE(after.rules.size(), 6);
    const AutoIntroRule& edited = after.rules[4];
    QCOMPARE(edited.condField, QString());
    QCOMPARE(edited.condValue, QStringLiteral("x"));
    QCOMPARE(QList<int>({edited.position, edited.posValue}), QList<int>({0, 1}));
    QCOMPARE(edited.positionSecs, 4.5);
    QCOMPARE(edited.skipAfterTypes, QStringList({"Jingle", "", "Commercial"}));
    QCOMPARE(edited.skipFileTypes, QStringList{"Promo"});
    QCOMPARE(edited.mustTags, QStringList({"Jingle", "Commercial"}));
    QVERIFY(edited.tagsMatchAll);
    QCOMPARE(edited.lastUsed, odd.lastUsed);
    QVERIFY(after.rules[5].sources.isEmpty());

    Dialog d;
    PromptScript script;
    answerEditor(script, [](QDialog&) {}, QDialogButtonBox::Cancel);
    d.press("editButton", 5);
    QCOMPARE(d.rows().size(), 5);
}

OL_TEST_MAIN(TestAutoIntroDialog)
#include "tst_autointrodialog.moc"
