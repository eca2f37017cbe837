// The auto-intro dialog and its rule editor driven as the operator would;
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
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSpinBox>

namespace {

template <class T = QPushButton>
T* child(QObject* parent, const char* name)
{
    T* c = parent->findChild<T*>(QLatin1String(name));
    if (!c)
        qFatal("no child %s", name);
    return c;
}

// OK or Cancel of the dialog's own buttons, not of an editor inside it.
void finish(QDialog& dialog, QDialogButtonBox::StandardButton which)
{
    QTest::mouseClick(dialog.findChild<QDialogButtonBox*>({}, Qt::FindDirectChildrenOnly)->button(which),
                      Qt::LeftButton);
}

// The next rule editor, edited and then ended with OK or Cancel.
void answerEditor(PromptScript& script, std::function<void(QDialog&)> edit,
                  QDialogButtonBox::StandardButton end = QDialogButtonBox::Ok)
{
    script.answerDialog([edit, end](QDialog& editor) {
        edit(editor);
        finish(editor, end);
        return editor.result();
    });
}

struct Dialog : AutoIntroDialog
{
    Dialog()
    {
        show();
        QVERIFY(QTest::qWaitForWindowExposed(this));
    }
    QListWidget* list() { return child<QListWidget>(this, "ruleList"); }
    QStringList rows()
    {
        QStringList out;
        for (const QListWidgetItem* item : list()->findItems("*", Qt::MatchWildcard))
            out << item->text();
        return out;
    }
    void press(const char* button, int row = -1)
    {
        if (row >= 0)
            list()->setCurrentRow(row);
        QTest::mouseClick(child(this, button), Qt::LeftButton);
    }
    // A double click begins with the press that makes the row current.
    void doubleClick(int row)
    {
        const QPoint at = list()->visualItemRect(list()->item(row)).center();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
    }
};

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
    const QString dir = testHome().scratch("intros");
    const QString rock = dir + "/rock.mp3";
    const QString summer = dir + "/summer.mp3";
    QVERIFY(AudioFixtures::tone(rock, 440, -20, 1, 44100, 2, {{"genre", "Rock"}}));
    QVERIFY(AudioFixtures::tone(summer, 440, -20, 1, 44100, 2, {{"genre", "Pop"}}));
    TrackParams params;
    params.intro = 7500;
    TrackParams::save(rock, params);
    params = {};
    params.tags = {"Summer"};
    TrackParams::save(summer, params);
    QVERIFY(QDir().mkpath(dir + "/ids"));
    for (const char* name : {"/ids/one.mp3", "/summer jingle.mp3", "/any.mp3"})
        QVERIFY(AudioFixtures::silence(dir + name, 0.5));

    {
        Dialog d;
        PromptScript script;
        d.doubleClick(0); // the placeholder stands for no rule
        d.press("deleteButton", 0);
        QCOMPARE(d.rows(), QStringList{"(no rules - click Add)"});
        QVERIFY(script.asked().isEmpty());
        answerEditor(script, [&](QDialog& e) {
            QCOMPARE(child<QLineEdit>(&e, "nameEdit")->text(), QStringLiteral("Rule 1"));
            child<QLineEdit>(&e, "nameEdit")->setText(" Anything ");
            child<QPlainTextEdit>(&e, "sourcesEdit")->setPlainText("\n  " + dir + "/any.mp3  \n \n");
        });
        d.press("addButton");
        script.answerFolder(dir + "/ids");
        answerEditor(script, [&](QDialog& e) {
            child<QLineEdit>(&e, "nameEdit")->setText("Rock intros");
            child<QComboBox>(&e, "conditionCombo")->setCurrentText("genre");
            child<QLineEdit>(&e, "conditionEdit")->setText(" rock ");
            child<QComboBox>(&e, "valueTypeCombo")->setCurrentText("Intro");
            QTest::mouseClick(child(&e, "addFolderButton"), Qt::LeftButton);
        });
        d.press("addButton");
        script.answerFiles({dir + "/summer jingle.mp3"});
        answerEditor(script, [&](QDialog& e) {
            child<QLineEdit>(&e, "nameEdit")->setText("Summer");
            child<QLineEdit>(&e, "tagsEdit")->setText("summer, ,new");
            child<QLineEdit>(&e, "skipAfterEdit")->setText("Commercial, ,");
            child<QDoubleSpinBox>(&e, "secondsSpin")->setValue(2.5);
            QTest::mouseClick(child(&e, "addFileButton"), Qt::LeftButton);
        });
        d.press("addButton");
        d.press("downButton", 0);
        d.press("downButton");
        QCOMPARE(d.rows(), QStringList({"Rock intros  [genre = rock]", "Summer", "Anything"}));
        auto* enable = child<QCheckBox>(&d, "enableBox");
        QTest::mouseClick(enable, Qt::LeftButton, {}, QPoint(8, enable->height() / 2));
        finish(d, QDialogButtonBox::Ok);
    }

    AutoIntro store;
    store.load();
    QCOMPARE(store.rules[1].skipAfterTypes, QStringList({"Commercial", ""})); // a blank type stays, a blank tag not
    QCOMPARE(store.rules[1].mustTags, QStringList({"summer", "new"}));
    PlaylistModel playlist;
    for (const QString& file : {rock, summer})
        playlist.addTrack(MusicLibrary::scanFile(file));
    QRandomGenerator random(5);
    const auto pick = [&](int row, const QString& before) {
        const AutoIntro::Intro intro = store.introFor(playlist, row, before, QDateTime::currentDateTime(), random);
        return QStringLiteral("%1 %2 %3").arg(intro.rule).arg(intro.jingle.filePath).arg(intro.mixPointMs);
    };
    QCOMPARE(pick(0, "Foreign"), "0 " + dir + "/ids/one.mp3 7500");
    QCOMPARE(pick(1, "Foreign"), "1 " + dir + "/summer jingle.mp3 2500");
    QCOMPARE(pick(1, "commercial"), "2 " + dir + "/any.mp3 -1");
}

void TestAutoIntroDialog::listAndEditorKeepTheirRules()
{
    AutoIntro store{false, {{"rule 7"}, {"Station ID", false, {"/ids"}, 50, "genre", "Rock"},
                            {.name = "Odd", .sources = {"/o.mp3"}, .condField = "Genre", .condValue = "x",
                             .position = 5, .posValue = 2}}};
    store.save();
    const QByteArray before = QSettings().value("autointro/rules").toByteArray();
    Dialog d;
    QCOMPARE(d.rows(), QStringList({"rule 7", "Station ID  [genre = Rock]  50%  (off)", "Odd  [Genre = x]"}));
    PromptScript script;
    answerEditor(script, [](QDialog& e) {
        QCOMPARE(child<QComboBox>(&e, "conditionCombo")->currentText(), QStringLiteral("(any track)"));
        QCOMPARE(child<QComboBox>(&e, "positionCombo")->currentIndex(), -1);
        QVERIFY(!child<QDoubleSpinBox>(&e, "secondsSpin")->isEnabled());
        child<QComboBox>(&e, "valueTypeCombo")->setCurrentText("seconds");
        QVERIFY(child<QDoubleSpinBox>(&e, "secondsSpin")->isEnabled());
    });
    d.press("editButton", 2);
    answerEditor(script, [](QDialog&) {}, QDialogButtonBox::Cancel);
    answerEditor(script, [](QDialog&) {}, QDialogButtonBox::Cancel);
    d.doubleClick(0); // not named as Add names rules: kept
    d.press("deleteButton", 1);
    d.press("addButton"); // "Rule 3" again, cancelled: gone
    QCOMPARE(d.rows(), QStringList({"rule 7", "Odd"}));
    QCOMPARE(script.asked().size(), 3); // the deletion asked nothing
    finish(d, QDialogButtonBox::Cancel);
    QCOMPARE(QSettings().value("autointro/rules").toByteArray(), before);
}

OL_TEST_MAIN(TestAutoIntroDialog)
#include "tst_autointrodialog.moc"
