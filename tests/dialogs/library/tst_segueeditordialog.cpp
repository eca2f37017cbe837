#include "dialogs/library/segueeditordialog.h"

#include "olmain.h"

#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QPushButton>

namespace {

using Override = TrackParams::SegueOverride;

Track song(const QString& artist, const QString& title, const QString& path)
{
    Track t;
    t.artist = artist;
    t.title = title;
    t.filePath = path;
    return t;
}

QDoubleSpinBox* spin(QDialog& d, const QString& name)
{
    return d.findChild<QDoubleSpinBox*>(name);
}

void click(QDialog& d, const char* name)
{
    d.findChild<QPushButton*>(QLatin1String(name))->click();
}

QList<std::pair<int, int>> pairs(const QList<Override>& list)
{
    QList<std::pair<int, int>> out;
    for (const Override& o : list)
        out.append({o.mixPointMs, o.fadeOutMs});
    return out;
}

} // namespace

class TestSegueEditorDialog : public QObject
{
    Q_OBJECT

private slots:
    void junctionsAndTheirNames();
    void secondsBecomeMilliseconds();
};

void TestSegueEditorDialog::junctionsAndTheirNames()
{
    const Track a = song(QStringLiteral("Artist"), QStringLiteral("Song"), QStringLiteral("/m/a.mp3"));
    Track stop;
    stop.marker = true;
    stop.label = QStringLiteral("stop");
    const Track bare = song({}, {}, QStringLiteral("/m/bare.mp3"));

    SegueEditorDialog two({a, stop}, {{2500, -1}});
    QCOMPARE(two.windowTitle(), QStringLiteral("Segue Editor"));
    QList<QGroupBox*> groups = two.findChildren<QGroupBox*>();
    QCOMPARE(groups.size(), 1);
    QCOMPARE(groups.at(0)->title(), QStringLiteral("Artist - Song  \u2192  >> STOP <<"));
    QCOMPARE(spin(two, QStringLiteral("mixSpin0"))->text(), QStringLiteral("2.50 sec"));
    QCOMPARE(spin(two, QStringLiteral("fadeSpin0"))->text(), QStringLiteral("inherit"));
    QVERIFY(two.overrides().isEmpty());
    click(two, "okButton");
    QCOMPARE(two.result(), int(QDialog::Accepted));
    QCOMPARE(pairs(two.overrides()), (QList<std::pair<int, int>>{{2500, -1}}));

    SegueEditorDialog three({a, bare, a}, {});
    QCOMPARE(three.windowTitle(), QStringLiteral("Segue Editor 3"));
    groups = three.findChildren<QGroupBox*>();
    QCOMPARE(groups.size(), 2);
    QCOMPARE(groups.at(1)->title(), QStringLiteral("/m/bare.mp3  \u2192  Artist - Song"));
    click(three, "okButton");
    QCOMPARE(pairs(three.overrides()), (QList<std::pair<int, int>>{{-1, -1}, {-1, -1}}));
}

void TestSegueEditorDialog::secondsBecomeMilliseconds()
{
    const Track t = song(QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("/m/t.mp3"));
    SegueEditorDialog d({t, t, t}, {{90000, 1000}, {-1, 3000}});
    QCOMPARE(spin(d, QStringLiteral("mixSpin0"))->text(), QStringLiteral("60.00 sec"));
    // 2.01 × 1000.0 lies just below 2010 and is truncated.
    spin(d, QStringLiteral("mixSpin1"))->setValue(2.01);
    click(d, "okButton");
    QCOMPARE(pairs(d.overrides()), (QList<std::pair<int, int>>{{60000, 1000}, {2009, 3000}}));

    SegueEditorDialog cleared({t, t, t}, {{2500, 2500}, {1000, 1000}});
    click(cleared, "clearButton");
    QVERIFY(cleared.findChildren<QDoubleSpinBox*>().size() == 4);
    for (const QDoubleSpinBox* s : cleared.findChildren<QDoubleSpinBox*>())
        QCOMPARE(s->text(), QStringLiteral("inherit"));
    click(cleared, "cancelButton");
    QCOMPARE(cleared.result(), int(QDialog::Rejected));
    QVERIFY(cleared.overrides().isEmpty());
    click(cleared, "okButton");
    QCOMPARE(pairs(cleared.overrides()), (QList<std::pair<int, int>>{{-1, -1}, {-1, -1}}));
}

OL_TEST_MAIN(TestSegueEditorDialog)
#include "tst_segueeditordialog.moc"
