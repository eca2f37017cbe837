#include "dialogs/library/crossfadesdialog.h"

#include "olmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QPushButton>
#include <QSettings>

namespace {

// The settings file as it lies on disk, as "group/key" -> text.
QMap<QString, QString> settingsFile()
{
    QMap<QString, QString> values;
    QFile f(QSettings().fileName());
    if (!f.open(QIODevice::ReadOnly))
        return values;
    QString group;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('[')))
            group = line.mid(1, line.size() - 2);
        else if (line.contains(QLatin1Char('=')))
            values.insert(group + QLatin1Char('/') + line.section(QLatin1Char('='), 0, 0).replace(QLatin1Char('\\'), QLatin1Char('/')),
                          line.section(QLatin1Char('='), 1));
    }
    return values;
}

struct Ui
{
    explicit Ui(CrossfadesDialog& d)
        : dialog(d)
    {
    }
    QCheckBox* box(const char* name) const { return dialog.findChild<QCheckBox*>(QLatin1String(name)); }
    QDoubleSpinBox* spin(const char* name) const { return dialog.findChild<QDoubleSpinBox*>(QLatin1String(name)); }
    QComboBox* types() const { return dialog.findChild<QComboBox*>(QStringLiteral("typeCombo")); }
    void click(const char* name) const { dialog.findChild<QPushButton*>(QLatin1String(name))->click(); }
    // Which of the eight spins are enabled, in the order of the dialog.
    QString enabledSpins() const
    {
        QString out;
        for (const char* name : {"fadeInSpin", "mixSpin", "fadeOutSpin", "triggerSpin", "minLengthSpin",
                                 "typeMixSpin", "typeFadeSpin"})
            out += spin(name)->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
        return out + (box("typePreviousBox")->isEnabled() ? QLatin1Char('1') : QLatin1Char('0'));
    }
    CrossfadesDialog& dialog;
};

} // namespace

class TestCrossfadesDialog : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }
    void defaultsAndEnabling();
    void okWritesTheFileThenSignals();
    void switchingTheTypeStoresItAtOnce();
};

void TestCrossfadesDialog::defaultsAndEnabling()
{
    CrossfadesDialog d;
    const Ui ui(d);
    QVERIFY(!ui.box("enableBox")->isChecked());
    QVERIFY(ui.box("fadeInBox")->isChecked() && ui.box("mixBox")->isChecked() && ui.box("fadeOutBox")->isChecked());
    QVERIFY(!ui.box("triggerBox")->isChecked() && ui.box("fadeOnMixBox")->isChecked());
    QCOMPARE(ui.spin("fadeInSpin")->value(), 1.5);
    QCOMPARE(ui.spin("mixSpin")->value(), 2.5);
    QCOMPARE(ui.spin("fadeOutSpin")->value(), 2.5);
    QCOMPARE(ui.spin("triggerSpin")->value(), -14.0);
    QCOMPARE(ui.spin("minLengthSpin")->value(), 45.0);
    QCOMPARE(ui.types()->currentText(), QStringLiteral("Music"));
    QVERIFY(!ui.box("typeOverrideBox")->isChecked() && !ui.box("typePreviousBox")->isChecked());
    QCOMPARE(ui.spin("typeMixSpin")->value(), 1.0);
    QCOMPARE(ui.spin("typeFadeSpin")->value(), 1.0);
    QCOMPARE(ui.enabledSpins(), QStringLiteral("00001001"));

    ui.box("enableBox")->setChecked(true);
    QCOMPARE(ui.enabledSpins(), QStringLiteral("11101001"));
    ui.box("triggerBox")->setChecked(true);
    ui.box("mixBox")->setChecked(false);
    ui.box("typeOverrideBox")->setChecked(true);
    QCOMPARE(ui.enabledSpins(), QStringLiteral("10111111"));
}

void TestCrossfadesDialog::okWritesTheFileThenSignals()
{
    {
        CrossfadesDialog d;
        const Ui ui(d);
        QList<QMap<QString, QString>> atSignal;
        connect(&d, &CrossfadesDialog::settingsChanged, this, [&] { atSignal.append(settingsFile()); });
        ui.box("enableBox")->setChecked(true);
        ui.box("fadeInBox")->setChecked(false);
        ui.spin("mixSpin")->setValue(32.3); // 32.3 × 1000.0 lies just below 32300
        ui.spin("fadeOutSpin")->setValue(4.0);
        ui.box("triggerBox")->setChecked(true);
        ui.spin("triggerSpin")->setValue(-20.5);
        ui.box("fadeOnMixBox")->setChecked(false);
        ui.spin("minLengthSpin")->setValue(30.0);
        ui.box("typeOverrideBox")->setChecked(true);
        ui.spin("typeMixSpin")->setValue(0.5);
        ui.box("typePreviousBox")->setChecked(true);
        ui.click("okButton");
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(atSignal.size(), 1);
        const QMap<QString, QString> expected{
            {"playback/crossfadeEnabled", "true"}, {"playback/fadeInMs", "0"},
            {"playback/fadeOutMs", "4000"},        {"playback/mixPointMs", "32299"},
            {"playback/triggerMixEnabled", "true"}, {"playback/triggerMixDb", "-20.5"},
            {"playback/fadeOutOnMix", "false"},    {"playback/minCrossfadeMs", "30000"},
            {"crossfade/music/override", "true"},  {"crossfade/music/mixPointMs", "500"},
            {"crossfade/music/fadeOutMs", "1000"}, {"crossfade/music/overridePrev", "true"}};
        QCOMPARE(atSignal.at(0), expected);
    }
    {
        CrossfadesDialog d;
        const Ui ui(d);
        QVERIFY(!ui.box("fadeInBox")->isChecked());
        QCOMPARE(ui.spin("fadeInSpin")->value(), 0.0);
        QCOMPARE(ui.spin("mixSpin")->value(), 32.3);
        QVERIFY(ui.box("typeOverrideBox")->isChecked());
        ui.box("mixBox")->setChecked(false);
        ui.click("okButton");
        QCOMPARE(settingsFile().value(QStringLiteral("playback/mixPointMs")), QStringLiteral("0"));
    }
    // An unset mix point still offers the usual length.
    CrossfadesDialog d;
    const Ui ui(d);
    QVERIFY(!ui.box("mixBox")->isChecked());
    QCOMPARE(ui.spin("mixSpin")->value(), 2.5);
}

void TestCrossfadesDialog::switchingTheTypeStoresItAtOnce()
{
    QSettings().setValue(QStringLiteral("crossfade/voice_track/mixPointMs"), 4500);
    CrossfadesDialog d;
    const Ui ui(d);
    ui.box("typeOverrideBox")->setChecked(true);
    ui.spin("typeMixSpin")->setValue(3.0);
    ui.types()->setCurrentText(QStringLiteral("Voice track"));
    QCOMPARE(ui.spin("typeMixSpin")->value(), 4.5);
    QVERIFY(!ui.box("typeOverrideBox")->isChecked());
    QCOMPARE(ui.enabledSpins().right(3), QStringLiteral("001"));
    ui.click("cancelButton");
    QSettings().sync();
    const QMap<QString, QString> file = settingsFile();
    QCOMPARE(file.value(QStringLiteral("crossfade/music/override")), QStringLiteral("true"));
    QCOMPARE(file.value(QStringLiteral("crossfade/music/mixPointMs")), QStringLiteral("3000"));
    // Cancel leaves the defaults and the type shown last unsaved.
    QVERIFY(!file.contains(QStringLiteral("playback/crossfadeEnabled")));
    QVERIFY(!file.contains(QStringLiteral("crossfade/voice_track/override")));
}

OL_TEST_MAIN(TestCrossfadesDialog)
#include "tst_crossfadesdialog.moc"
