// ctest: serial
// ctest: timeout 600
// The operator's speed tools on the real window: hot keys pressed as key
// events, an automatic intro put in front of a matching track (and kept
// away by its cooldown after a restart), and a teaser rendered and inserted.
#include "automation/autointro.h"
#include "automation/hotkeys.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/trackparams.h"
#include "olmain.h"
#include "promptscript.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSlider>
#include <QToolButton>

namespace {

PlaylistModel* onAir(WindowFixture& f)
{
    return f->findChildren<PlaylistModel*>().first();
}

Track row(const QString& path, const QString& artist)
{
    Track t = Track::fromFile(path);
    t.artist = artist;
    t.durationMs = 6000;
    return t;
}

} // namespace

class TestIntro : public QObject
{
    Q_OBJECT

private slots:
    void hotKeysAsKeyPresses()
    {
        QVERIFY(MusicLibrary::initDatabase()); // as the program's start-up does
        WindowFixture f({{HotKeys::settingsKey(QStringLiteral("stop")), QString()}});
        f->show();
        QVERIFY(QTest::qWaitForWindowActive(&f.window()));
        // Applied again, the keys are replaced, not doubled.
        auto bound = [&f](const QKeySequence& key) {
            int n = 0;
            for (const QShortcut* s : f->findChildren<QShortcut*>())
                n += s->key() == key;
            return n;
        };
        f->applyHotKeys();
        QTRY_COMPARE(bound(QKeySequence(QStringLiteral("Space"))), 1);
        QCOMPARE(bound(QKeySequence(QStringLiteral("Ctrl+S"))), 0); // "stop" is disabled

        const QString a = WindowFixture::toneFile(QStringLiteral("Alpha - One.wav"), 30);
        PlaylistModel* model = onAir(f);
        model->addTrack(row(a, QStringLiteral("Alpha")));
        QTest::keyClick(&f.window(), Qt::Key_5, Qt::ControlModifier);
        QCOMPARE(TrackParams::ratingFor(a), 0); // nothing on air yet

        auto* engine = f.find<AudioEngine>();
        engine->playRow(0);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isPlaying() && engine->position() > 0, 15000);
        // Said once stored, by the library writer.
        QTest::keyClick(&f.window(), Qt::Key_0, Qt::ControlModifier);
        QTRY_COMPARE(f.log().first(), QStringLiteral("Rated Alpha - One: 10/10"));
        QCOMPARE(TrackParams::ratingFor(a), 10);
        QTest::keyClick(&f.window(), Qt::Key_Minus, Qt::ControlModifier);
        QTRY_COMPARE(f.log().first(), QStringLiteral("Cleared rating: Alpha - One"));
        QCOMPARE(TrackParams::ratingFor(a), 0);

        auto* volume = f.find<QSlider>(QStringLiteral("volume"));
        QVERIFY(volume);
        volume->setValue(98);
        QTest::keyClick(&f.window(), Qt::Key_Up, Qt::ControlModifier);
        QCOMPARE(volume->value(), 100);

        QTest::keyClick(&f.window(), Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.log().first(), QStringLiteral("Shuffle: on"));
        QVERIFY(engine->isShuffle());
        const QList<QToolButton*> buttons = f.window().findChildren<QToolButton*>();
        const auto shuffleButton = std::find_if(buttons.begin(), buttons.end(),
                                                [](QToolButton* b) { return b->toolTip() == QStringLiteral("Shuffle"); });
        QVERIFY(shuffleButton != buttons.end() && (*shuffleButton)->isChecked());
        QTest::keyClick(&f.window(), Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.log().first(), QStringLiteral("Shuffle: off"));
        QVERIFY(!(*shuffleButton)->isChecked());

        // Space pauses, and the disabled Ctrl+S leaves the track playing.
        QTest::keyClick(&f.window(), Qt::Key_S, Qt::ControlModifier);
        QVERIFY(engine->isPlaying());
        QTest::keyClick(&f.window(), Qt::Key_Space);
        QTRY_VERIFY(!engine->isPlaying());
        QTest::keyClick(&f.window(), Qt::Key_Space);
        QTRY_VERIFY(engine->isPlaying());
    }

    void autoIntroBeforeMatchingTrack()
    {
        const QString jingle = WindowFixture::toneFile(QStringLiteral("Station - Ident.wav"), 2, 880);
        AutoIntroRule rule;
        rule.name = QStringLiteral("Rock");
        rule.sources = {jingle};
        rule.condField = QStringLiteral("artist");
        rule.condValue = QStringLiteral("rocker");
        rule.cooldownSecs = 3600;
        rule.posValue = 0;
        rule.positionSecs = 1.5;
        {
            QSettings().clear();
            AutoIntro store;
            store.rules = {rule};
            store.save();
        }
        WindowFixture f({{QStringLiteral("autointro/rules"), QSettings().value(QStringLiteral("autointro/rules"))}});
        PromptScript prompts;
        // The editor turns the feature on and stores it.
        prompts.answerDialog([](QDialog& d) {
            for (QCheckBox* box : d.findChildren<QCheckBox*>())
                box->setChecked(true);
            d.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            return d.result();
        });
        f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Auto Intro..."))->trigger();
        QCOMPARE(f.log().first(), QStringLiteral("Auto Intro: enabled"));

        const QString a = WindowFixture::toneFile(QStringLiteral("Crooner - Soft.wav"), 30);
        const QString b = WindowFixture::toneFile(QStringLiteral("Rocker - Loud.wav"), 30, 660);
        PlaylistModel* model = onAir(f);
        model->addTrack(row(a, QStringLiteral("Crooner")));
        model->addTrack(row(b, QStringLiteral("Rocker")));
        model->addTrack(row(b, QStringLiteral("Rocker")));
        f.find<AudioEngine>()->playRow(0);
        QVERIFY(f.waitForLog(QStringLiteral("Auto Intro (Rock): Station - Ident.wav")));
        QCOMPARE(model->rowCount(), 4);
        QCOMPARE(model->tracks().at(1).filePath, jingle);
        QCOMPARE(model->tracks().at(1).category, QStringLiteral("Jingle"));
        QCOMPARE(model->tracks().at(2).artist, QStringLiteral("Rocker"));
        QCOMPARE(model->segueAt(1).mixPointMs, 1500);
        QVERIFY(QSettings().value(QStringLiteral("autointro/rules")).toByteArray().contains("lastUsed"));

        // The jingle's own start looks at the track behind it: no second intro.
        f.find<AudioEngine>()->playRow(1);
        QTRY_COMPARE(f.find<AudioEngine>()->currentRow(), 1);
        QTest::qWait(300);
        QCOMPARE(model->rowCount(), 4);

        // After a restart the rule is still cooling down.
        f.restart();
        PlaylistModel* again = onAir(f);
        again->clearAll(); // the rows kept from the last run
        again->addTrack(row(a, QStringLiteral("Crooner")));
        again->addTrack(row(b, QStringLiteral("Rocker")));
        f.find<AudioEngine>()->playRow(0);
        QTRY_COMPARE(f.find<AudioEngine>()->currentRow(), 0);
        QTest::qWait(300);
        QCOMPARE(again->rowCount(), 2);
    }

    void teaserInsertedAsNextRow()
    {
        WindowFixture f({{QStringLiteral("teaser/autoHookMs"), 12500}});
        const QString a = WindowFixture::toneFile(QStringLiteral("Alpha - One.wav"), 6, 440);
        const QString b = WindowFixture::toneFile(QStringLiteral("Beta - Two.wav"), 6, 660);
        PlaylistModel* model = onAir(f);
        model->addTrack(row(a, QStringLiteral("Alpha")));
        model->addTrack(row(b, QStringLiteral("Beta")));

        const QString out = testHome().scratch() + QStringLiteral("/my.teaser.wav");
        PromptScript prompts;
        QStringList preview;
        prompts.answerFile(out);
        prompts.answerDialog([&](QDialog& d) {
            auto* list = d.findChild<QListWidget*>(QStringLiteral("teaserPreview"));
            for (int i = 0; i < list->count(); ++i)
                preview << list->item(i)->text();
            for (QPushButton* button : d.findChildren<QPushButton*>())
                if (button->text() == QStringLiteral("Build and insert"))
                    button->click();
            return d.result();
        });
        f.menuAction(QStringLiteral("&Playlist"), QStringLiteral("Add teaser..."))->trigger();
        QCOMPARE(preview, QStringList({QStringLiteral("[hook] Alpha - One"), QStringLiteral("[hook] Beta - Two")}));
        QCOMPARE(model->rowCount(), 3);
        QCOMPARE(model->tracks().at(0).artist, QStringLiteral("Teaser"));
        QCOMPARE(model->tracks().at(0).title, QStringLiteral("my.teaser"));
        QCOMPARE(f.log().first(), QStringLiteral("Teaser added: my.teaser.wav"));
        QVERIFY(QFileInfo(out).size() > 44);
        QCOMPARE(QSettings().value(QStringLiteral("teaser/autoHookMs")).toInt(), 12000);

        // With shuffle on the running order is unknown: told, no dialog.
        f.find<AudioEngine>()->setShuffle(true);
        f.menuAction(QStringLiteral("&Playlist"), QStringLiteral("Add teaser..."))->trigger();
        QVERIFY(prompts.messages().last().startsWith(QStringLiteral("Teasers of upcoming tracks need Shuffle")));
        QCOMPARE(model->rowCount(), 3);
    }
};

OL_TEST_MAIN(TestIntro)
#include "tst_intro.moc"
