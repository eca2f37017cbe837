// The window layout through the real settings file: what the operator hid
// and moved comes back at the next start, and Reset layout restores it all.
#include "olmain.h"
#include "windowfixture.h"

#include <QAction>
#include <QSettings>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>

namespace {

QStringList leftTabs(WindowFixture& f)
{
    const QTabWidget* tabs = f.find<QTabWidget>(QStringLiteral("leftTabs"));
    QStringList out;
    for (int i = 0; i < tabs->count(); ++i)
        out << tabs->tabToolTip(i);
    return out;
}

void hideLeftPage(WindowFixture& f, const QString& name)
{
    WindowFixture::choosePopupEntry(name);
    emit f.find<QTabWidget>(QStringLiteral("leftTabs"))->tabBar()->customContextMenuRequested(QPoint(2, 2));
}

QAction* view(WindowFixture& f, const QString& text)
{
    return f.menuAction(QStringLiteral("&View"), text);
}

// Whether the splitter's sizes have these percentages of their sum, give or
// take one, so that handle widths and rounding do not count.
} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void layoutSurvivesARestartAndResets()
    {
        WindowFixture f;
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window()));
        auto* columns = f.find<QSplitter>(QStringLiteral("columns"));
        columns->setSizes({140, 641, 385}); // clear of each minimum
        auto* left = f.find<QWidget>(QStringLiteral("leftTabs"))->parentWidget()->parentWidget();
        view(f, QStringLiteral("Panels"))->setChecked(false);
        QVERIFY(left->isVisible());
        view(f, QStringLiteral("Log"))->setChecked(false);
        QVERIFY(!left->isVisible());
        view(f, QStringLiteral("Cart Wall"))->setChecked(false);
        view(f, QStringLiteral("Toolbar"))->setChecked(false);
        hideLeftPage(f, QStringLiteral("Library"));
        f.find<QTabWidget>(QStringLiteral("leftTabs"))->setCurrentIndex(1);
        // The log hidden takes the left column away; the other two keep their ratio.
        const double centreToRight = double(columns->sizes().at(1)) / columns->sizes().at(2);
        f->close();

        f.restart();
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window()));
        left = f.find<QWidget>(QStringLiteral("leftTabs"))->parentWidget()->parentWidget();
        QVERIFY(!left->isVisible());
        QVERIFY(!view(f, QStringLiteral("Cart Wall"))->isChecked());
        // The aux tab keeps the right column up, empty of carts.
        QVERIFY(f.find<QWidget>(QStringLiteral("cartTabs"))->parentWidget()->isVisible());
        QVERIFY(!f.find<QToolBar>()->isVisible());
        QCOMPARE(leftTabs(f), (QStringList{"Files", "Scheduler"}));
        QCOMPARE(f.find<QTabWidget>(QStringLiteral("leftTabs"))->currentIndex(), 1);
        view(f, QStringLiteral("Log"))->setChecked(true);
        columns = f.find<QSplitter>(QStringLiteral("columns"));
        QTRY_VERIFY(columns->sizes().at(0) > 0);
        QVERIFY(qAbs(double(columns->sizes().at(1)) / columns->sizes().at(2) - centreToRight) < 0.03);

        f.menuAction(QStringLiteral("&View"), QStringLiteral("Reset layout"))->trigger();
        QVERIFY(left->isVisible() && f.find<QToolBar>()->isVisible());
        QCOMPARE(leftTabs(f), (QStringList{"Files", "Scheduler", "Library"}));
        QCOMPARE(f->size(), QSize(1180, 720));
        // 260, 520 and 400 pixels; the centre keeps at least its controls' width.
        const QList<int> reset = f.find<QSplitter>(QStringLiteral("columns"))->sizes();
        QVERIFY(reset[1] >= 520);
        // Left and right share the rest 260 to 400, unless the right is held at its least width.
        const int rightLeast = columns->widget(2)->minimumSizeHint().width();
        QVERIFY2(qAbs(reset[0] * 400.0 / reset[2] - 260) < 5 || reset[2] == rightLeast, qPrintable(QString::number(reset[0]) + '/' + QString::number(reset[2]) + '/' + QString::number(rightLeast)));
    }

    void storedTabListsThatNameTooLittle()
    {
        // Every page hidden: the next start brings them all back.
        {
            WindowFixture f;
            for (const QString& page : {QStringLiteral("Library"), QStringLiteral("Files"), QStringLiteral("Scheduler")})
                hideLeftPage(f, page);
            QVERIFY(leftTabs(f).isEmpty());
            f->close();
            f.restart();
            QCOMPARE(leftTabs(f), (QStringList{"Library", "Files", "Scheduler"}));
        }
        // A stored list that lacks a page leaves it out; a current tab beyond
        // the list leaves the first one current.
        WindowFixture f({{QStringLiteral("view/leftTabs"), QStringList{"Scheduler", "Nonsense", "Library"}},
                         {QStringLiteral("view/leftTabCurrent"), 7}});
        QCOMPARE(leftTabs(f), (QStringList{"Scheduler", "Library"}));
        QCOMPARE(f.find<QTabWidget>(QStringLiteral("leftTabs"))->currentIndex(), 0);
    }
};

OL_TEST_MAIN(TestLayout)
#include "tst_layout.moc"
