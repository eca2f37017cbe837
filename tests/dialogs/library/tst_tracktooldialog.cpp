// The track tool against the real library.db: what OK stores is read back
// with the sqlite3 program and jq; marks placed with the mouse on the real
// waveform of a file; "Auto" levels checked by ffmpeg's own loudness meter.
#include "dialogs/library/tracktooldialog.h"
#include "dialogs/library/waveformview.h"
#include "library/musiclibrary.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

#include <cmath>

namespace {

// The stored parameters of a file through a jq filter; empty without a row.
QString stored(const QString& file, const QString& filter)
{
    QProcess sql;
    QProcess jq;
    sql.setStandardOutputProcess(&jq);
    sql.start("sqlite3", {"-readonly", MusicLibrary::database().databaseName(),
                          QStringLiteral("SELECT params FROM track_params WHERE filepath='%1'")
                              .arg(QString(file).replace("'", "''"))});
    jq.start("jq", {"-r", filter});
    if (!sql.waitForFinished(20000) || !jq.waitForFinished(20000) || jq.exitCode() != 0)
        qWarning("sqlite3 or jq failed: %s", jq.readAllStandardError().constData());
    return QString::fromUtf8(jq.readAllStandardOutput()).trimmed();
}

template <class T>
T* child(QObject* parent, const char* name)
{
    T* c = parent->findChild<T*>(QLatin1String(name));
    if (!c)
        qFatal("no child %s", name);
    return c;
}

// The dialog on screen, as exec() would show it, without blocking the test.
struct Tool
{
    explicit Tool(const QString& path, bool stream = false) : dialog(track(path, stream), nullptr)
    {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    }
    static Track track(const QString& path, bool stream)
    {
        Track t;
        t.artist = "Artist";
        t.title = "Title & Co";
        t.filePath = path;
        t.isStream = stream;
        return t;
    }
    template <class T>
    T* get(const char* name) { return child<T>(&dialog, name); }
    QDoubleSpinBox* spin(const char* name) { return get<QDoubleSpinBox>(name); }
    QString text(const char* name) { return get<QLabel>(name)->text(); }
    void click(const char* name) { QTest::mouseClick(get<QPushButton>(name), Qt::LeftButton); }
    void clickCell(int day, int hour)
    {
        auto* grid = get<QTableWidget>("daypartGrid");
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualItemRect(grid->item(day, hour)).center());
    }

    TrackToolDialog dialog;
};

QString scratchFile(const QString& name)
{
    return QDir(testHome().scratch()).filePath(name);
}

} // namespace

class TestTrackToolDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }
    void everyFieldRoundTrips();
    void untouchedDialogKeepsLevelsAndTags();
    void marksAndHookOnTheWaveform();
    void autoLevelReachesTarget();
};

void TestTrackToolDialog::everyFieldRoundTrips()
{
    const QString file = scratchFile("every field.mp3");
    const QString voFolder = scratchFile("Morning VO");
    QVERIFY(QDir().mkpath(voFolder));
    TrackParams::setRating(file, 7); // not shown, kept
    const QString fields = QStringLiteral(
        "[.start,.end,.intro,.outro,.hookIn,.hookOut,.fadeIn,.mix,.fadeOut,.mixStart,.level,.rating,.disabled,"
        ".startDate,.endDate,(.tags|join(\"|\")),(.daypart|map(tostring)|join(\",\")),.voiceover.ins,"
        ".voiceover.source,.voiceover.position,.voiceover.probability,.voiceover.level,.voiceover.notAfter]"
        "|map(tostring)|join(\" \")");
    {
        Tool tool(file);
        QCOMPARE(tool.dialog.windowTitle(), QStringLiteral("Track Tool - Artist - Title & Co"));
        QCOMPARE(tool.spin("fadeInSpin")->text(), QStringLiteral("not set"));
        QDoubleSpinBox* start = tool.spin("startSpin");
        start->setFocus();
        start->selectAll();
        QTest::keyClicks(start, "2.01"); // shown seconds are truncated to ms
        tool.spin("endSpin")->setValue(200.5);
        tool.spin("introSpin")->setValue(12.25);
        tool.spin("outroSpin")->setValue(150); // beyond its maximum of 120 s
        tool.spin("hookInSpin")->setValue(30);
        tool.spin("hookOutSpin")->setValue(45.5);
        tool.spin("voiceInsSpin")->setValue(12.75);
        tool.spin("fadeInSpin")->setValue(0.5);
        tool.spin("mixSpin")->setValue(2.25);
        tool.spin("fadeOutSpin")->setValue(30);
        tool.spin("mixStartSpin")->setValue(4);
        tool.get<QSpinBox>("levelSpin")->setValue(57);
        QTest::keyClicks(tool.get<QLineEdit>("tagsEdit"), "  new, ,PROMO ,, new");
        QTest::mouseClick(tool.get<QCheckBox>("disableCheck"), Qt::LeftButton);
        tool.get<QCheckBox>("dateRangeCheck")->setChecked(true);
        tool.get<QDateEdit>("fromDate")->setDate(QDate(2027, 5, 10)); // after the end: stored as shown
        tool.get<QDateEdit>("toDate")->setDate(QDate(2027, 5, 1));
        tool.clickCell(1, 1); // ignored while the grid is off
        tool.get<QCheckBox>("daypartCheck")->setChecked(true);
        for (const QPoint& cell : {QPoint(0, 0), QPoint(2, 13), QPoint(6, 23), QPoint(4, 4), QPoint(4, 4)})
            tool.clickCell(cell.x(), cell.y()); // a second click clears a cell

        PromptScript script;
        script.answerFolder(voFolder);
        script.answerDialog([&](QDialog& editor) {
            QTest::mouseClick(child<QPushButton>(&editor, "folderButton"), Qt::LeftButton);
            auto* source = child<QLineEdit>(&editor, "sourceEdit");
            source->setText("  " + source->text() + " "); // blanks go
            child<QComboBox>(&editor, "positionCombo")->setCurrentIndex(1);
            child<QSpinBox>(&editor, "probabilitySpin")->setValue(40);
            child<QSpinBox>(&editor, "levelSpin")->setValue(57);
            child<QCheckBox>(&editor, "notAfterCheck")->click();
            child<QDateEdit>(&editor, "notAfterDate")->setDate(QDate(2027, 3, 3));
            QTest::mouseClick(child<QPushButton>(&editor, "okButton"), Qt::LeftButton);
            return editor.result();
        });
        tool.click("voiceoverButton");
        QCOMPARE(tool.text("voiceoverSummary"), QStringLiteral("Morning VO  40%  (end at mark)  until 3 Mar 2027"));
        tool.click("okButton");
        QCOMPARE(tool.dialog.result(), int(QDialog::Accepted));
    }
    const QString expected = QStringLiteral("2009 200500 12250 120000 30000 45500 500 2250 30000 4000 0.57 7 true "
                                            "2027-05-10 2027-05-01 new|PROMO|new 1,0,8192,0,0,0,8388608 "
                                            "12750 %1 1 40 0.57 2027-03-03")
                                 .arg(voFolder);
    QCOMPARE(stored(file, fields), expected);

    // Shown again as stored, and an untouched OK stores the same.
    Tool again(file);
    QCOMPARE(again.spin("startSpin")->text(), QStringLiteral("2.01 sec"));
    QCOMPARE(again.get<QLineEdit>("tagsEdit")->text(), QStringLiteral("new, PROMO, new"));
    QVERIFY(again.get<QDateEdit>("fromDate")->isEnabled());
    QVERIFY(again.get<QTableWidget>("daypartGrid")->isEnabled());
    QCOMPARE(again.text("stateLabel"), QStringLiteral("Customised"));
    again.click("okButton");
    QCOMPARE(stored(file, fields), expected);
}

void TestTrackToolDialog::untouchedDialogKeepsLevelsAndTags()
{
    // 0.29 × 100 is 28.999...: the spins show the rounded percentage, so an
    // OK without an edit stores the level it loaded, the voice-over's too.
    const QString file = scratchFile("levels.mp3");
    for (const QString level : {"0.29", "0.57", "1.13"}) {
        TrackParams p;
        p.level = level.toDouble();
        p.voiceover.ins = 1000;
        p.voiceover.source = file;
        p.voiceover.level = p.level;
        TrackParams::save(file, p);
        Tool tool(file);
        QCOMPARE(tool.get<QSpinBox>("levelSpin")->value(), qRound(level.toDouble() * 100));
        PromptScript script;
        script.answerDialog([](QDialog& editor) {
            QTest::mouseClick(child<QPushButton>(&editor, "okButton"), Qt::LeftButton);
            return editor.result();
        });
        tool.click("voiceoverButton");
        tool.click("okButton");
        QCOMPARE(stored(file, "[.level,.voiceover.level]|map(tostring)|join(\" \")"), level + " " + level);
    }

    // Tags alone are a customisation: OK keeps them.
    const QString tagged = scratchFile("tags only.mp3");
    {
        Tool tool(tagged);
        QTest::keyClicks(tool.get<QLineEdit>("tagsEdit"), "NEW, PROMO");
        tool.click("okButton");
    }
    QCOMPARE(stored(tagged, ".tags|join(\",\")"), QStringLiteral("NEW,PROMO"));
    Tool tool(tagged);
    QCOMPARE(tool.text("stateLabel"), QStringLiteral("Customised"));
    tool.click("resetButton");
    QVERIFY(tool.get<QLineEdit>("tagsEdit")->text().isEmpty());
    tool.click("okButton"); // at the defaults the row goes
    QCOMPARE(stored(tagged, "type"), QString());
}

void TestTrackToolDialog::marksAndHookOnTheWaveform()
{
    const QString file = scratchFile("three minutes.wav");
    QVERIFY(AudioFixtures::tone(file, 440, -40, 180, 8000, 1));
    TrackParams p;
    p.start = 1500;
    TrackParams::save(file, p);
    {
        TrackToolDialog unshown(Tool::track(file, false), nullptr);
        QVERIFY(child<WaveformView>(&unshown, "waveform")->data().peaks.isEmpty()); // not before it is up
    }
    Tool tool(file);
    auto* view = tool.get<WaveformView>("waveform");
    view->setFixedWidth(450); // 400 ms a column
    QTRY_VERIFY_WITH_TIMEOUT(!view->data().peaks.isEmpty() && view->width() == 450, 30000);
    QCOMPARE(view->data().peaks.size(), 1500);
    QCOMPARE(view->marks().value("Start").colour, QColor(120, 220, 140));

    // A click places the chosen mark, limited by its spin.
    tool.get<QComboBox>("markChooser")->setCurrentText("Intro");
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(375, 50)); // 150 s
    QCOMPARE(tool.spin("introSpin")->value(), 120.0);
    QCOMPARE(view->marks().value("Intro").ms, qint64(120000));
    QCOMPARE(view->marks().value("Intro").colour, QColor(120, 180, 240));
    // A drag sets the hook, whatever mark is chosen.
    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(75, 50));
    QTest::mouseMove(view, QPoint(100, 50));
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(115, 50));
    QCOMPARE(tool.spin("hookInSpin")->value(), 30.0);
    QCOMPARE(tool.spin("hookOutSpin")->value(), 46.0);
    QCOMPARE(view->marks().value("Hook out").ms, qint64(46000));
    QCOMPARE(tool.text("hookStatus"), QStringLiteral("Hook length 16.0 s."));
    tool.spin("hookInSpin")->setValue(11.41);
    tool.spin("hookOutSpin")->setValue(32.41); // 20.999999999999996 in floating point
    QCOMPARE(tool.text("hookStatus"), QStringLiteral("Hook is 21.0 s - must be under 21 s."));
    tool.spin("hookOutSpin")->setValue(0);
    QCOMPARE(tool.text("hookStatus"), QStringLiteral("Hook out must be after hook in."));
}

void TestTrackToolDialog::autoLevelReachesTarget()
{
    // Stereo 1 kHz sines at a peak of A dBFS measure A LUFS. "Auto" sets
    // the level that brings them to -18 LUFS, which ffmpeg confirms.
    const QList<std::tuple<QString, int, QString>> cases{
        {"pow(10,-10/20)", 40, "-10.0 LUFS"},
        {"pow(10,-22/20)", 158, "-22.0 LUFS"},
        {"pow(10,-40/20)", 200, "-40.0 LUFS"}, // +12 dB at most, then the spin's maximum
        {"0", 80, "Could not measure"},         // the level stays
    };
    for (const auto& [amplitude, percent, status] : cases) {
        const QString file = scratchFile(QStringLiteral("level %1.wav").arg(percent));
        AudioFixtures::Signal s;
        s.expression = amplitude + "*sin(2*PI*1000*t)";
        s.seconds = 12;
        s.sampleRate = 48000;
        QVERIFY(AudioFixtures::make(file, s));
        TrackParams p;
        p.level = 0.8;
        TrackParams::save(file, p);

        Tool tool(file);
        tool.click("autoButton");
        QVERIFY(!tool.get<QPushButton>("autoButton")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(tool.get<QPushButton>("autoButton")->isEnabled(), 60000);
        QCOMPARE(tool.get<QSpinBox>("levelSpin")->value(), percent);
        tool.click("okButton");
        QCOMPARE(tool.text("loudnessStatus"), status);
        const QString level = stored(file, ".level");
        QCOMPARE(level, QString::number(percent / 100.0));
        if (percent != 80 && percent != 200) {
            const double measured = AudioFixtures::integratedLoudness(file, "volume=" + level);
            QVERIFY2(std::fabs(measured + 18.0) <= 0.5, qPrintable(QString::number(measured)));
        }
    }
    // Closing while a long file is measured drops the measurement: the
    // level stays as it was, in the dialog and as stored.
    {
        const QString file = scratchFile(QStringLiteral("long.wav"));
        AudioFixtures::Signal s;
        s.expression = "0.5*sin(2*PI*1000*t)";
        s.seconds = 120;
        s.sampleRate = 48000;
        QVERIFY(AudioFixtures::make(file, s));
        Tool tool(file);
        tool.get<QSpinBox>("levelSpin")->setValue(90);
        tool.click("autoButton");
        tool.click("okButton");
        QVERIFY(tool.get<QPushButton>("autoButton")->isEnabled());
        QCOMPARE(tool.text("loudnessStatus"), QStringLiteral("Analysing..."));
        QCOMPARE(stored(file, ".level"), QStringLiteral("0.9"));
        // Measured again: the dialog goes while it runs.
        tool.get<QPushButton>("autoButton")->click();
        QVERIFY(!tool.get<QPushButton>("autoButton")->isEnabled());
    }
    // A stream: no waveform, no measurement; its parameters are kept under its address.
    Tool radio("http://127.0.0.1:9/live", true);
    radio.click("autoButton");
    QVERIFY(radio.text("loudnessStatus").isEmpty());
    QVERIFY(radio.get<WaveformView>("waveform")->data().peaks.isEmpty());
    radio.spin("fadeInSpin")->setValue(1);
    radio.click("okButton");
    QCOMPARE(stored("http://127.0.0.1:9/live", ".fadeIn"), QStringLiteral("1000"));
}

OL_TEST_MAIN(TestTrackToolDialog)
#include "tst_tracktooldialog.moc"
