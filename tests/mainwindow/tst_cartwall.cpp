// ctest: serial
// ctest: timeout 600
// The right column: carts heard over the playing deck on the sink, cutting
// and restarting each other; walls and tabs through a restart, whatever the
// stored value holds; the aux deck playing its list in turn.
#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "mainwindow/cartwall.h"
#include "olmain.h"
#include "sinkrecorder.h"
#include "windowfixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMediaPlayer>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>

#include <sys/stat.h>

namespace {

constexpr double kDbfs = -18; // four sounds at once stay clear of clipping
const double kFull = std::pow(10.0, kDbfs / 20);

QString tone(const QString& name, double hz, double seconds, const QString& expression = {})
{
    AudioFixtures::Signal s;
    s.expression = expression.isEmpty() ? AudioFixtures::sineExpression(hz, QString::number(kDbfs)) : expression;
    s.seconds = seconds;
    const QString path = testHome().scratch(QStringLiteral("carts")) + QLatin1Char('/') + name;
    return AudioFixtures::make(path, s) ? path : QString();
}

QTabWidget* tabs(WindowFixture& f)
{
    return f.find<QTabWidget>(QStringLiteral("cartTabs"));
}

QStringList tabTexts(WindowFixture& f)
{
    QStringList out;
    for (int i = 0; i < tabs(f)->count(); ++i)
        out << tabs(f)->tabText(i) + (tabs(f)->tabBar()->tabButton(i, QTabBar::RightSide) ? "(x)" : "");
    return out;
}

void addWall(WindowFixture& f)
{
    qobject_cast<QToolButton*>(tabs(f)->cornerWidget(Qt::TopRightCorner))->click();
}

CartWall* wall(WindowFixture& f, int tab)
{
    return qobject_cast<CartWall*>(tabs(f)->widget(tab));
}

QPushButton* cart(CartWall* w, int index)
{
    return w->findChildren<QPushButton*>().at(index);
}

void cartMenu(CartWall* w, int index, const QString& entry)
{
    WindowFixture::choosePopupEntry(entry);
    emit cart(w, index)->customContextMenuRequested(QPoint(4, 4));
}

// The median amplitude of one frequency over lengthMs of a recording from a sample on.
double heard(const QList<float>& samples, double hz, qsizetype from, int lengthMs)
{
    QList<double> env = SinkRecorder::toneEnvelope(samples.mid(from, lengthMs * SinkRecorder::kRate / 1000), hz, 40, 10);
    std::nth_element(env.begin(), env.begin() + env.size() / 2, env.end());
    return env.isEmpty() ? -1 : env.at(env.size() / 2);
}

} // namespace

class TestCartWall : public QObject
{
    Q_OBJECT

private slots:
    void cartsSoundOverTheDeckCutAndRestart()
    {
        const QString bed = tone(QStringLiteral("bed.wav"), 440, 40);
        const QString jingle = tone(QStringLiteral("Station ID.wav"), 880, 10);
        const QString other = tone(QStringLiteral("other.wav"), 660, 10);
        // 1320 Hz for 1.5 s, then 1760 Hz: 1320 heard again means it started over.
        const QString level = QString::number(kDbfs);
        const QString sweep = tone(QStringLiteral("sweep.wav"), 0, 10,
                                   AudioFixtures::sineExpression(1320, level) + QStringLiteral("*lt(t,1.5)+")
                                       + AudioFixtures::sineExpression(1760, level) + QStringLiteral("*gte(t,1.5)"));
        WindowFixture f;
        PromptScript prompts;
        CartWall* first = wall(f, 0);
        addWall(f);
        CartWall* second = wall(f, 1);
        for (auto [w, index, file] : {std::tuple{first, 0, jingle}, {first, 1, sweep}, {second, 0, other}}) {
            prompts.answerFile(file);
            cartMenu(w, index, QStringLiteral("Assign audio file..."));
        }
        QCOMPARE(cart(first, 0)->text(), QStringLiteral("1\nStation ID\n00:00"));
        cart(first, 2)->click();
        QCOMPARE(f.log().first(), QStringLiteral("Cart 3: no file assigned"));

        auto* engine = f.find<AudioEngine>();
        f.addPaths({bed});
        engine->playRow(0);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isPlaying(), 10000);
        SinkRecorder rec;
        QVERIFY(rec.start());
        // Each click's sound lies after the samples recorded before it.
        auto clickAfter = [&rec](int waitMs, QPushButton* button) {
            QTest::qWait(waitMs);
            const qsizetype at = rec.sampleCount();
            button->click();
            return at + SinkRecorder::kRate * 7 / 10;
        };
        const qsizetype jingleOn = clickAfter(1000, cart(first, 0));
        QCOMPARE(f.log().first(), QStringLiteral("Cart 1 fired: Station ID"));
        const qsizetype sweepOn = clickAfter(1500, cart(first, 1));
        const qsizetype restarted = clickAfter(2600, cart(first, 1));
        const qsizetype otherOn = clickAfter(1000, cart(second, 0));
        QTest::qWait(1500);
        const QList<float> s = rec.stop();

        auto on = [](double level) { return level > 0.3 * kFull; };
        auto off = [](double level) { return level >= 0 && level < 0.05 * kFull; };
        QVERIFY2(on(heard(s, 880, jingleOn, 700)) && on(heard(s, 440, jingleOn, 700)), "no cart over the deck");
        QVERIFY2(on(heard(s, 1320, sweepOn, 700)) && off(heard(s, 880, sweepOn, 700)), "the wall's cart was not cut");
        QVERIFY(on(heard(s, 1760, restarted - SinkRecorder::kRate, 600)));
        QVERIFY2(on(heard(s, 1320, restarted, 700)) && off(heard(s, 1760, restarted, 700)), "the cart did not start over");
        // Another wall's cart plays beside it, the deck under both.
        for (double hz : {660, 1760, 440})
            QVERIFY2(on(heard(s, hz, otherOn, 700)), qPrintable(QString::number(hz)));
        engine->stop();
    }

    void wallsAndTabsSurviveARestart()
    {
        const QString kept = tone(QStringLiteral("Kept.wav"), 500, 1);
        const auto entry = [](const QJsonValue& slot, const QString& title, const QString& path) {
            return QJsonObject{{"slot", slot}, {"title", title}, {"path", path}, {"dur", 183000}, {"color", "#123456"}};
        };
        const QJsonArray carts{entry(0, "Kept", kept), entry(25, "Out of range", kept), entry("3", "Slot as text", kept),
                               entry(4, "Gone", kept + QStringLiteral(".gone"))};
        const QJsonArray stored{QJsonObject{{"name", "Jingles"}, {"carts", carts}}, QJsonObject{}, 7};
        WindowFixture f({{QStringLiteral("cartwalls"), QJsonDocument(stored).toJson(QJsonDocument::Compact)}});
        PromptScript prompts;
        QCOMPARE(tabTexts(f), (QStringList{"Jingles(x)", "Cart 2(x)", "Cart 3(x)", "AUX"}));
        CartWall* jingles = wall(f, 0);
        QCOMPARE(cart(jingles, 0)->text(), QStringLiteral("1\nKept\n03:03"));
        QVERIFY(cart(jingles, 0)->styleSheet().contains(QStringLiteral("background-color: #123456;")));
        QCOMPARE(cart(jingles, 3)->text(), QStringLiteral("4\n(empty)\n00:00"));
        cart(jingles, 4)->click();
        QCOMPARE(f.log().first(), QStringLiteral("Cart 5: no file assigned"));

        // A renamed cart keeps firing; a cleared one takes its slot's face.
        prompts.answerText(QString());
        cartMenu(jingles, 0, QStringLiteral("Rename..."));
        cartMenu(jingles, 10, QStringLiteral("Clear cart"));
        QCOMPARE(cart(jingles, 10)->text(), QStringLiteral("B\n(empty)\n00:00"));

        // A new wall goes before the aux tab and counts on.
        addWall(f);
        prompts.answerText(QStringLiteral(" Beds "));
        emit tabs(f)->tabBar()->tabBarDoubleClicked(1);
        prompts.answerButton(QMessageBox::Yes);
        emit tabs(f)->tabCloseRequested(2);
        QCOMPARE(tabTexts(f), (QStringList{"Jingles(x)", "Beds(x)", "Cart 4(x)", "AUX"}));

        // Stored as they change: a restart without closing the window finds them.
        const auto saved = [] {
            return QJsonDocument::fromJson(QSettings().value(QStringLiteral("cartwalls")).toByteArray()).array();
        };
        const auto savedNames = [&saved] {
            QStringList names;
            for (const QJsonValue& w : saved())
                names << w[QStringLiteral("name")].toString();
            return names;
        };
        QTRY_COMPARE_WITH_TIMEOUT(savedNames(), (QStringList{"Jingles", "Beds", "Cart 4"}), 10000);
        QCOMPARE(saved().at(1).toObject(), (QJsonObject{{"name", "Beds"}, {"carts", QJsonArray{}}}));
        QCOMPARE(saved().at(0)[QStringLiteral("carts")][0][QStringLiteral("title")].toString(), QString());
        f.restart();
        QCOMPARE(tabTexts(f), (QStringList{"Jingles(x)", "Beds(x)", "Cart 4(x)", "AUX"}));
        QCOMPARE(cart(wall(f, 0), 0)->text(), QStringLiteral("1\n(empty)\n03:03"));
        QCOMPARE(cart(wall(f, 0), 4)->text(), QStringLiteral("5\nGone\n03:03"));
        cart(wall(f, 0), 0)->click();
        QCOMPARE(f.log().first(), QStringLiteral("Cart 1 fired: "));

        // The last wall shows no close button and is not closed; a wall added then has one.
        for (int i = 0; i < 2; ++i) {
            prompts.answerButton(QMessageBox::Yes);
            emit tabs(f)->tabCloseRequested(0);
        }
        emit tabs(f)->tabCloseRequested(0);
        QCOMPARE(f.log().first(), QStringLiteral("The last cart wall cannot be closed."));
        addWall(f);
        QCOMPARE(tabTexts(f), (QStringList{"Cart 4", "Cart 4(x)", "AUX"})); // three were restored

        f.destroy();
        QSettings().setValue(QStringLiteral("cartwalls"), QByteArray("[{\"name\": \"Half"));
        f.restart();
        QCOMPARE(tabTexts(f), (QStringList{"Cart 1", "AUX"}));
    }

    void auxDeckPlaysItsListInTurn()
    {
        const QString a = tone(QStringLiteral("Aux A.wav"), 700, 1.5);
        const QString c = tone(QStringLiteral("Aux C.wav"), 300, 1.5);
        WindowFixture f;
        PromptScript prompts;
        auto button = [&f](const QString& tip) {
            for (QToolButton* b : tabs(f)->widget(tabs(f)->count() - 1)->findChildren<QToolButton*>())
                if (b->toolTip() == tip)
                    return b;
            return static_cast<QToolButton*>(nullptr);
        };
        auto* list = f.find<QTreeWidget>(QStringLiteral("auxList"));
        prompts.answerFiles({a, tone(QStringLiteral("Aux B.wav"), 1100, 1.5)});
        button(QStringLiteral("Add files to the AUX deck"))->click();
        QMimeData dropped;
        dropped.setUrls({QUrl::fromLocalFile(c)});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &enter);
        QApplication::sendEvent(list->viewport(), &drop);
        QVERIFY(f.rowsMade());
        list->topLevelItem(1)->setSelected(true);
        button(QStringLiteral("Remove the selected item"))->click();
        QCOMPARE(list->topLevelItem(1)->text(0) + list->topLevelItem(1)->text(1), QStringLiteral("2Aux C"));

        SinkRecorder rec;
        QVERIFY(rec.start());
        auto* status = f.find<QLabel>(QStringLiteral("auxStatus"));
        button(QStringLiteral("Play"))->click();
        QCOMPARE(f.log().first(), QStringLiteral("AUX: playing Aux A"));
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Aux C"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("-"), 15000);
        const QList<float> s = rec.stop();
        QCOMPARE(list->topLevelItem(1)->text(2), QStringLiteral("00:01"));
        auto peak = [&s](double hz) {
            const QList<double> env = SinkRecorder::toneEnvelope(s, hz, 40, 10);
            return env.isEmpty() ? 0.0 : *std::max_element(env.begin(), env.end());
        };
        const double full = kFull * 0.8; // at the default volume
        QVERIFY(peak(700) > 0.5 * full && peak(300) > 0.5 * full);
        QVERIFY2(peak(1100) < 0.05 * full, "a removed row was played");

        // Skip on the last row stops.
        emit list->itemActivated(list->topLevelItem(1), 0);
        button(QStringLiteral("Next"))->click();
        QCOMPARE(status->text(), QStringLiteral("-"));
        QCOMPARE(f.find<QMediaPlayer>(QStringLiteral("auxPlayer"))->playbackState(), QMediaPlayer::StoppedState);

        // The deck's list outlives the program.
        f.restart();
        list = f.find<QTreeWidget>(QStringLiteral("auxList"));
        QVERIFY(f.rowsMade());
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(list->topLevelItem(0)->data(0, Qt::UserRole).toString(), a);
        QCOMPARE(list->topLevelItem(1)->text(0) + list->topLevelItem(1)->text(1), QStringLiteral("2Aux C"));
    }

    // A FIFO given to the aux deck or to a cart never reaches a media player
    // (its open would hold the window); a tagged file shows its tags there
    // as a playlist row of it does.
    void fifosReachNoPlayerAndTagsShow()
    {
        const QString fifo = testHome().scratch(QStringLiteral("fifo")) + QStringLiteral("/Jingle.mp3");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString tagged = testHome().scratch(QStringLiteral("carts")) + QStringLiteral("/id.mp3");
        QVERIFY(AudioFixtures::tone(tagged, 880, kDbfs, 1, 44100, 2,
                                    {{QStringLiteral("artist"), QStringLiteral("Orchid FM")},
                                     {QStringLiteral("title"), QStringLiteral("Station ID")}}));
        WindowFixture f;
        PromptScript prompts;
        auto* list = f.find<QTreeWidget>(QStringLiteral("auxList"));
        prompts.answerFiles({fifo, tagged});
        for (QToolButton* b : tabs(f)->widget(tabs(f)->count() - 1)->findChildren<QToolButton*>())
            if (b->toolTip() == QStringLiteral("Add files to the AUX deck"))
                b->click();
        QVERIFY(f.rowsMade());
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("Orchid FM - Station ID"));
        QVERIFY(f.log().contains(QStringLiteral("AUX: Not added: %1 is not a regular file").arg(fifo)));

        CartWall* w = wall(f, 0);
        for (auto [index, file] : {std::pair{0, fifo}, std::pair{1, tagged}}) {
            prompts.answerFile(file);
            cartMenu(w, index, QStringLiteral("Assign audio file..."));
        }
        QTRY_COMPARE(cart(w, 1)->text(), QStringLiteral("2\nOrchid FM - Station ID\n00:00"));
        cart(w, 0)->click();
        QCOMPARE(f.log().first(), QStringLiteral("Cart 1: not played: %1 is not a regular file").arg(fifo));
        QVERIFY(!w->findChild<QMediaPlayer*>());
    }
};

OL_TEST_MAIN(TestCartWall)
#include "tst_cartwall.moc"
