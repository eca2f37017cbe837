// ctest: serial
// ctest: timeout 600
// The right column as the operator uses it: carts heard over the playing deck
// on the sink, cutting and restarting each other; walls and their tabs kept
// through a restart of the program, whatever the stored value holds; the aux
// deck playing its list in turn.
#include "audiofixtures.h"
#include "engine/audioengine.h"
#include "mainwindow/cartwall.h"
#include "olmain.h"
#include "sinkrecorder.h"
#include "windowfixture.h"

#include <QColorDialog>
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

#include <algorithm>

namespace {

// Four sounds at once stay well clear of clipping on the sink.
constexpr double kDbfs = -18;

QString tone(const QString& name, double hz, double seconds)
{
    const QString path = testHome().scratch(QStringLiteral("carts")) + QLatin1Char('/') + name;
    return AudioFixtures::tone(path, hz, kDbfs, seconds) ? path : QString();
}

QTabWidget* tabs(WindowFixture& f)
{
    return f.find<QTabWidget>(QStringLiteral("cartTabs"));
}

QStringList tabTexts(WindowFixture& f)
{
    QStringList out;
    for (int i = 0; i < tabs(f)->count(); ++i)
        out << tabs(f)->tabText(i);
    return out;
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

bool hasCloseButton(WindowFixture& f, int tab)
{
    const QTabBar* bar = tabs(f)->tabBar();
    return bar->tabButton(tab, QTabBar::LeftSide) || bar->tabButton(tab, QTabBar::RightSide);
}

// The median amplitude of one frequency between two times of a recording.
double heard(const QList<float>& samples, double hz, qsizetype from, qsizetype to)
{
    from = std::clamp<qsizetype>(from, 0, samples.size());
    to = std::clamp<qsizetype>(to, from, samples.size());
    QList<double> env = SinkRecorder::toneEnvelope(samples.mid(from, to - from), hz, 40, 10);
    if (env.isEmpty())
        return -1;
    std::nth_element(env.begin(), env.begin() + env.size() / 2, env.end());
    return env.at(env.size() / 2);
}

constexpr qsizetype ms(int milliseconds)
{
    return qsizetype(milliseconds) * SinkRecorder::kRate / 1000;
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
        // 1320 Hz for 1.5 s, then 1760 Hz: hearing 1320 again means it started over.
        const QString sweep = testHome().scratch(QStringLiteral("carts")) + QStringLiteral("/sweep.wav");
        AudioFixtures::Signal s;
        s.expression = AudioFixtures::sineExpression(1320, QString::number(kDbfs)) + QStringLiteral("*lt(t,1.5)+")
                       + AudioFixtures::sineExpression(1760, QString::number(kDbfs)) + QStringLiteral("*gte(t,1.5)");
        s.seconds = 10;
        QVERIFY(AudioFixtures::make(sweep, s));

        WindowFixture f;
        PromptScript prompts;
        CartWall* first = wall(f, 0);
        prompts.answerFile(jingle);
        cartMenu(first, 0, QStringLiteral("Assign audio file..."));
        prompts.answerFile(sweep);
        cartMenu(first, 1, QStringLiteral("Assign audio file..."));
        QCOMPARE(cart(first, 0)->text(), QStringLiteral("1\nStation ID\n00:00"));
        cart(first, 2)->click();
        QCOMPARE(f.log().first(), QStringLiteral("Cart 3: no file assigned"));

        qobject_cast<QToolButton*>(tabs(f)->cornerWidget(Qt::TopRightCorner))->click();
        CartWall* second = wall(f, 1);
        QVERIFY(second);
        prompts.answerFile(other);
        cartMenu(second, 0, QStringLiteral("Assign audio file..."));

        auto* engine = f.find<AudioEngine>();
        f->addPaths({bed});
        engine->playRow(0);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isPlaying(), 10000);
        SinkRecorder rec;
        QVERIFY(rec.start());
        auto clickAfter = [&rec](int waitMs, QPushButton* button) {
            QTest::qWait(waitMs);
            rec.sampleCount();
            const qsizetype at = rec.sampleCount();
            button->click();
            return at;
        };
        const qsizetype t1 = clickAfter(1000, cart(first, 0));
        QCOMPARE(f.log().first(), QStringLiteral("Cart 1 fired: Station ID"));
        const qsizetype t2 = clickAfter(1500, cart(first, 1));
        const qsizetype t3 = clickAfter(2600, cart(first, 1));
        const qsizetype t4 = clickAfter(1000, cart(second, 0));
        QTest::qWait(1500);
        const QList<float> samples = rec.stop();

        const double full = std::pow(10.0, kDbfs / 20);
        auto on = [full](double level) { return level > 0.3 * full; };
        auto off = [full](double level) { return level >= 0 && level < 0.05 * full; };
        QVERIFY2(on(heard(samples, 880, t1 + ms(700), t2)) && on(heard(samples, 440, t1 + ms(700), t2)),
                 "the cart was not heard over the deck");
        // Another cart of the same wall cuts the first.
        QVERIFY(on(heard(samples, 1320, t2 + ms(700), t2 + ms(1400))));
        QVERIFY2(off(heard(samples, 880, t2 + ms(700), t2 + ms(1400))), "the first cart was not cut");
        QVERIFY(on(heard(samples, 1760, t3 - ms(700), t3)));
        // A second click on the playing cart starts it from the top.
        QVERIFY2(on(heard(samples, 1320, t3 + ms(700), t3 + ms(1400))), "the cart did not start over");
        QVERIFY(off(heard(samples, 1760, t3 + ms(700), t3 + ms(1400))));
        // A cart of another wall plays beside it, the deck under both.
        const qsizetype end = samples.size();
        QVERIFY(on(heard(samples, 660, t4 + ms(700), end)));
        QVERIFY(on(heard(samples, 1760, t4 + ms(700), end)));
        QVERIFY(on(heard(samples, 440, t4 + ms(700), end)));
        engine->stop();
    }

    void wallsAndTabsSurviveARestart()
    {
        const QString kept = tone(QStringLiteral("Kept.wav"), 500, 1);
        const QString gone = testHome().scratch(QStringLiteral("carts")) + QStringLiteral("/Gone.wav");
        const auto entry = [](const QJsonValue& slot, const QString& title, const QString& path) {
            return QJsonObject{{"slot", slot}, {"title", title}, {"path", path}, {"dur", 183000}, {"color", "#123456"}};
        };
        const QJsonArray stored = {
            QJsonObject{{"name", "Jingles"},
                        {"carts", QJsonArray{entry(0, "Kept", kept), entry(25, "Out of range", kept),
                                             entry("3", "Slot as text", kept), entry(4, "Gone", gone)}}},
            QJsonObject{{"carts", QJsonArray{}}},
            7,
        };
        WindowFixture f({{QStringLiteral("cartwalls"), QJsonDocument(stored).toJson(QJsonDocument::Compact)}});
        PromptScript prompts;
        QCOMPARE(tabTexts(f), (QStringList{"Jingles", "Cart 2", "Cart 3", "AUX"}));
        CartWall* jingles = wall(f, 0);
        QCOMPARE(cart(jingles, 0)->text(), QStringLiteral("1\nKept\n03:03"));
        QVERIFY(cart(jingles, 0)->styleSheet().contains(QStringLiteral("background-color: #123456;")));
        QCOMPARE(cart(jingles, 3)->text(), QStringLiteral("4\n(empty)\n00:00"));
        cart(jingles, 4)->click();
        QCOMPARE(f.log().first(), QStringLiteral("Cart 5: no file assigned"));

        // An empty title still fires; a colour sticks; a cleared cart takes its slot's face.
        prompts.answerText(QString());
        cartMenu(jingles, 0, QStringLiteral("Rename..."));
        QCOMPARE(cart(jingles, 0)->text(), QStringLiteral("1\n(empty)\n03:03"));
        cart(jingles, 0)->click();
        QCOMPARE(f.log().first(), QStringLiteral("Cart 1 fired: "));
        prompts.answerDialog([](QDialog& d) {
            qobject_cast<QColorDialog*>(&d)->setCurrentColor(QColor(0xab, 0xcd, 0xef));
            d.accept();
            return d.result();
        });
        cartMenu(jingles, 0, QStringLiteral("Set colour..."));
        prompts.answerFile(kept);
        cartMenu(jingles, 10, QStringLiteral("Assign audio file..."));
        cartMenu(jingles, 10, QStringLiteral("Clear cart"));
        QCOMPARE(cart(jingles, 10)->text(), QStringLiteral("B\n(empty)\n00:00"));
        QVERIFY(cart(jingles, 10)->styleSheet().contains(QStringLiteral("#c6ecff")));

        // Tabs: a new wall goes before the aux tab and counts on; rename, close, move.
        qobject_cast<QToolButton*>(tabs(f)->cornerWidget(Qt::TopRightCorner))->click();
        QCOMPARE(tabTexts(f), (QStringList{"Jingles", "Cart 2", "Cart 3", "Cart 4", "AUX"}));
        prompts.answerText(QStringLiteral("   "));
        emit tabs(f)->tabBar()->tabBarDoubleClicked(1);
        prompts.answerText(QStringLiteral(" Beds "));
        emit tabs(f)->tabBar()->tabBarDoubleClicked(1);
        prompts.answerButton(QMessageBox::No);
        emit tabs(f)->tabCloseRequested(2);
        prompts.answerButton(QMessageBox::Yes);
        emit tabs(f)->tabCloseRequested(2);
        emit tabs(f)->tabCloseRequested(3);
        QCOMPARE(tabTexts(f), (QStringList{"Jingles", "Beds", "Cart 4", "AUX"}));
        QVERIFY(prompts.messages().contains(QStringLiteral("Close \"Cart 3\"? Its button assignments will be lost.")));
        tabs(f)->tabBar()->moveTab(0, 1);

        f->close();
        const QJsonArray saved = QJsonDocument::fromJson(QSettings().value(QStringLiteral("cartwalls")).toByteArray()).array();
        QCOMPARE(saved.at(0).toObject(), (QJsonObject{{"name", "Beds"}, {"carts", QJsonArray{}}}));
        QCOMPARE(saved.size(), 3);
        f.restart();
        QCOMPARE(tabTexts(f), (QStringList{"Beds", "Jingles", "Cart 4", "AUX"}));
        jingles = wall(f, 1);
        QCOMPARE(cart(jingles, 0)->text(), QStringLiteral("1\n(empty)\n03:03"));
        QVERIFY(cart(jingles, 0)->styleSheet().contains(QStringLiteral("#abcdef")));
        QCOMPARE(cart(jingles, 4)->text(), QStringLiteral("5\nGone\n03:03"));

        // The last wall keeps no close button and refuses to close; a new one gets one.
        for (int i = 0; i < 2; ++i) {
            prompts.answerButton(QMessageBox::Yes);
            emit tabs(f)->tabCloseRequested(0);
        }
        QCOMPARE(tabTexts(f), (QStringList{"Cart 4", "AUX"}));
        QVERIFY(!hasCloseButton(f, 0) && !hasCloseButton(f, 1));
        emit tabs(f)->tabCloseRequested(0);
        QCOMPARE(f.log().first(), QStringLiteral("The last cart wall cannot be closed."));
        qobject_cast<QToolButton*>(tabs(f)->cornerWidget(Qt::TopRightCorner))->click();
        QCOMPARE(tabTexts(f), (QStringList{"Cart 4", "Cart 4", "AUX"})); // three restored: the next is Cart 4
        QVERIFY(!hasCloseButton(f, 0) && hasCloseButton(f, 1) && !hasCloseButton(f, 2));

        // A value broken by hand gives one empty wall.
        f.destroy();
        QSettings().setValue(QStringLiteral("cartwalls"), QByteArray("[{\"name\": \"Half"));
        f.restart();
        QCOMPARE(tabTexts(f), (QStringList{"Cart 1", "AUX"}));
        QCOMPARE(wall(f, 0)->saveState(), QJsonArray());
    }

    void auxDeckPlaysItsListInTurn()
    {
        const QString a = tone(QStringLiteral("Aux A.wav"), 700, 1.5);
        const QString b = tone(QStringLiteral("Aux B.wav"), 1100, 1.5);
        const QString c = tone(QStringLiteral("Aux C.wav"), 300, 1.5);
        WindowFixture f;
        PromptScript prompts;
        QWidget* page = tabs(f)->widget(tabs(f)->count() - 1);
        auto button = [page](const QString& tip) {
            for (QToolButton* b : page->findChildren<QToolButton*>())
                if (b->toolTip() == tip)
                    return b;
            return static_cast<QToolButton*>(nullptr);
        };
        auto* list = f.find<QTreeWidget>(QStringLiteral("auxList"));
        prompts.answerFiles({a, b});
        button(QStringLiteral("Add files to the AUX deck"))->click();
        QMimeData dropped;
        dropped.setUrls({QUrl::fromLocalFile(c)});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &drop);
        QCOMPARE(list->topLevelItemCount(), 3);
        list->topLevelItem(1)->setSelected(true);
        button(QStringLiteral("Remove the selected item"))->click();
        auto rows = [list] {
            QStringList out;
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                out << list->topLevelItem(i)->text(0) + QLatin1Char(' ') + list->topLevelItem(i)->text(1);
            return out;
        };
        QCOMPARE(rows(), (QStringList{"1 Aux A", "2 Aux C"}));

        SinkRecorder rec;
        QVERIFY(rec.start());
        auto* status = f.find<QLabel>(QStringLiteral("auxStatus"));
        emit list->itemActivated(list->topLevelItem(0), 0);
        QCOMPARE(f.log().first(), QStringLiteral("AUX: playing Aux A"));
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Aux C"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("-"), 15000);
        const QList<float> samples = rec.stop();
        QCOMPARE(list->topLevelItem(0)->text(2), QStringLiteral("00:01"));
        QCOMPARE(list->topLevelItem(1)->text(2), QStringLiteral("00:01"));
        const double full = std::pow(10.0, kDbfs / 20) * 0.8; // at the default volume
        auto peak = [&samples](double hz) {
            const QList<double> env = SinkRecorder::toneEnvelope(samples, hz, 40, 10);
            return env.isEmpty() ? 0.0 : *std::max_element(env.begin(), env.end());
        };
        QVERIFY(peak(700) > 0.5 * full && peak(300) > 0.5 * full);
        QVERIFY2(peak(1100) < 0.05 * full, "a removed row was played");
        QCOMPARE(f.find<QMediaPlayer>(QStringLiteral("auxPlayer"))->playbackState(), QMediaPlayer::StoppedState);

        // Skip on the last row stops.
        emit list->itemActivated(list->topLevelItem(1), 0);
        QCOMPARE(status->text(), QStringLiteral("Aux C"));
        button(QStringLiteral("Next"))->click();
        QCOMPARE(status->text(), QStringLiteral("-"));
        QCOMPARE(f.find<QMediaPlayer>(QStringLiteral("auxPlayer"))->playbackState(), QMediaPlayer::StoppedState);
    }
};

OL_TEST_MAIN(TestCartWall)
#include "tst_cartwall.moc"
