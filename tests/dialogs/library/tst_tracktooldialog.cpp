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
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>

#include <cmath>

namespace {

// Every stored field in one line, as jq prints it.
const QString kAllFields = QStringLiteral(
    "[.start,.end,.intro,.outro,.hookIn,.hookOut,.fadeIn,.mix,.fadeOut,.mixStart,.level,.rating,.disabled,"
    ".startDate,.endDate,(.tags//[]|join(\"|\")),(.daypart//[]|map(tostring)|join(\",\")),.voiceover.ins,"
    ".voiceover.source,.voiceover.position,.voiceover.probability,.voiceover.level,.voiceover.notAfter]"
    "|map(tostring)|join(\" \")");

// The stored parameters of a file through a jq filter; empty when the file
// has no row.
QString stored(const QString& file, const QString& filter)
{
    QString quoted = file;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    QProcess sql;
    QProcess jq;
    sql.setStandardOutputProcess(&jq);
    sql.start(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), MusicLibrary::database().databaseName(),
                                          QStringLiteral("SELECT params FROM track_params WHERE filepath='%1'").arg(quoted)});
    jq.start(QStringLiteral("jq"), {QStringLiteral("-r"), filter});
    if (!sql.waitForFinished(20000) || !jq.waitForFinished(20000) || jq.exitCode() != 0)
        qWarning("sqlite3 or jq failed: %s", jq.readAllStandardError().constData());
    return QString::fromUtf8(jq.readAllStandardOutput()).trimmed();
}

Track trackFor(const QString& path)
{
    Track t;
    t.artist = QStringLiteral("Artist");
    t.title = QStringLiteral("Title & Co");
    t.filePath = path;
    return t;
}

template <class T>
T* child(QObject* parent, const char* name)
{
    T* c = parent->findChild<T*>(QLatin1String(name));
    if (!c)
        qFatal("no child %s", name);
    return c;
}

// A dialog on screen, as exec() would show it, without blocking the test.
struct Tool
{
    explicit Tool(const Track& t) : dialog(t, nullptr)
    {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    }
    template <class T>
    T* get(const char* name) { return child<T>(&dialog, name); }
    QDoubleSpinBox* spin(const char* name) { return get<QDoubleSpinBox>(name); }
    QString text(const char* name) { return get<QLabel>(name)->text(); }
    void click(const char* name) { QTest::mouseClick(get<QPushButton>(name), Qt::LeftButton); }
    void clickCell(int day, int hour)
    {
        auto* grid = get<QTableWidget>("daypartGrid");
        const QRect r = grid->visualItemRect(grid->item(day, hour));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, r.center());
    }
    QList<QPoint> checkedCells()
    {
        auto* grid = get<QTableWidget>("daypartGrid");
        QList<QPoint> cells;
        for (int d = 0; d < grid->rowCount(); ++d) {
            for (int h = 0; h < grid->columnCount(); ++h) {
                if (grid->item(d, h)->checkState() == Qt::Checked)
                    cells << QPoint(h, d);
            }
        }
        return cells;
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
    void freshFileShowsDefaults();
    void everyFieldRoundTrips();
    void untouchedLevelsStayPut();
    void tagsAloneAreKept();
    void inheritAndDaypartEdges();
    void resetToDefaults();
    void hookMessages();
    void marksFollowTheWaveform();
    void autoLevelReachesTarget();
    void voiceoverEditor();
};

void TestTrackToolDialog::freshFileShowsDefaults()
{
    const QString file = scratchFile("fresh.mp3");
    Tool tool(trackFor(file));
    QCOMPARE(tool.dialog.windowTitle(), QStringLiteral("Track Tool - Artist - Title & Co"));
    QVERIFY(tool.dialog.findChild<QLabel*>()->text().contains("<b>Artist - Title &amp; Co</b>"));
    for (const char* name : {"startSpin", "endSpin", "introSpin", "outroSpin", "hookInSpin", "hookOutSpin",
                             "voiceInsSpin", "fadeInSpin", "mixSpin", "fadeOutSpin", "mixStartSpin"})
        QCOMPARE(tool.spin(name)->text(), QStringLiteral("not set"));
    QCOMPARE(tool.spin("introSpin")->maximum(), 120.0);
    QCOMPARE(tool.spin("mixSpin")->maximum(), 60.0);
    QCOMPARE(tool.spin("fadeOutSpin")->maximum(), 30.0);
    QCOMPARE(tool.spin("hookOutSpin")->maximum(), 3600.0);
    QCOMPARE(tool.get<QSpinBox>("levelSpin")->text(), QStringLiteral("100 %"));
    QVERIFY(tool.get<QLineEdit>("tagsEdit")->text().isEmpty());
    for (const char* name : {"disableCheck", "dateRangeCheck", "daypartCheck"})
        QVERIFY(!tool.get<QCheckBox>(name)->isChecked());
    QVERIFY(!tool.get<QDateEdit>("fromDate")->isEnabled());
    QVERIFY(!tool.get<QTableWidget>("daypartGrid")->isEnabled());
    QCOMPARE(tool.get<QDateEdit>("fromDate")->date(), QDate::currentDate());
    QCOMPARE(tool.get<QDateEdit>("toDate")->date(), QDate::currentDate().addMonths(1));
    QVERIFY(tool.checkedCells().isEmpty());
    QCOMPARE(tool.text("stateLabel"), QStringLiteral("Using defaults"));
    QCOMPARE(tool.text("hookStatus"), QStringLiteral("No hook set - Teasers will pick one automatically."));
    QCOMPARE(tool.text("voiceoverSummary"), QStringLiteral("No voice insert set."));

    auto* grid = tool.get<QTableWidget>("daypartGrid");
    QCOMPARE(grid->rowCount(), 7);
    QCOMPARE(grid->columnCount(), 24);
    QCOMPARE(grid->verticalHeaderItem(6)->text(), QStringLiteral("Sun"));
    QCOMPARE(grid->horizontalHeaderItem(23)->text(), QStringLiteral("23"));
    QCOMPARE(grid->columnWidth(5), 22);
    QCOMPARE(grid->rowHeight(3), 20);

    // The checks enable what they govern; the grid buttons work regardless.
    tool.click("selectAllButton");
    QCOMPARE(tool.checkedCells().size(), 168);
    tool.get<QCheckBox>("dateRangeCheck")->setChecked(true);
    tool.get<QCheckBox>("daypartCheck")->setChecked(true);
    QVERIFY(tool.get<QDateEdit>("toDate")->isEnabled());
    QVERIFY(grid->isEnabled());
    tool.click("clearButton");
    QVERIFY(tool.checkedCells().isEmpty());
    tool.get<QCheckBox>("dateRangeCheck")->setChecked(false);
    tool.get<QCheckBox>("daypartCheck")->setChecked(false);

    // Nothing edited: OK stores nothing.
    tool.click("okButton");
    QCOMPARE(tool.dialog.result(), int(QDialog::Accepted));
    QCOMPARE(stored(file, "type"), QString());
}

void TestTrackToolDialog::everyFieldRoundTrips()
{
    const QString file = scratchFile("every field.mp3");
    const QString voFolder = QDir(testHome().scratch()).filePath("vo");
    QVERIFY(QDir().mkpath(voFolder));
    TrackParams::setRating(file, 7); // not shown, kept
    {
        Tool tool(trackFor(file));
        QDoubleSpinBox* start = tool.spin("startSpin");
        start->setFocus();
        start->selectAll();
        QTest::keyClicks(start, "2.01");
        QCOMPARE(start->value(), 2.01);
        tool.spin("endSpin")->setValue(200.5);
        tool.spin("introSpin")->setValue(12.25);
        tool.spin("outroSpin")->setValue(150); // beyond its maximum
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
        tool.get<QCheckBox>("daypartCheck")->setChecked(true);
        tool.clickCell(0, 0);
        tool.clickCell(2, 13);
        tool.clickCell(6, 23);
        tool.clickCell(4, 4);
        tool.clickCell(4, 4); // a second click clears it again
        QCOMPARE(tool.checkedCells(), (QList<QPoint>{{0, 0}, {13, 2}, {23, 6}}));

        PromptScript script;
        script.answerDialog([&](QDialog& editor) {
            child<QLineEdit>(&editor, "sourceEdit")->setText(voFolder);
            child<QComboBox>(&editor, "positionCombo")->setCurrentIndex(1);
            child<QSpinBox>(&editor, "probabilitySpin")->setValue(40);
            child<QSpinBox>(&editor, "levelSpin")->setValue(57);
            QTest::mouseClick(child<QPushButton>(&editor, "okButton"), Qt::LeftButton);
            return editor.result();
        });
        tool.click("voiceoverButton");
        QCOMPARE(script.count(Prompts::Kind::Dialog), 1);
        tool.click("okButton");
    }
    const QString expected = QStringLiteral("2009 200500 12250 120000 30000 45500 500 2250 30000 4000 0.57 7 true "
                                            "2027-05-10 2027-05-01 new|PROMO|new 1,0,8192,0,0,0,8388608 "
                                            "12750 %1 1 40 0.57 null")
                                 .arg(voFolder);
    QCOMPARE(stored(file, kAllFields), expected);

    // Shown again as stored, and an untouched OK stores the same.
    Tool again(trackFor(file));
    QCOMPARE(again.spin("startSpin")->text(), QStringLiteral("2.01 sec"));
    QCOMPARE(again.spin("outroSpin")->value(), 120.0);
    QCOMPARE(again.spin("mixStartSpin")->value(), 4.0);
    QCOMPARE(again.get<QSpinBox>("levelSpin")->value(), 57);
    QCOMPARE(again.get<QLineEdit>("tagsEdit")->text(), QStringLiteral("new, PROMO, new"));
    QVERIFY(again.get<QCheckBox>("disableCheck")->isChecked());
    QVERIFY(again.get<QCheckBox>("dateRangeCheck")->isChecked());
    QCOMPARE(again.get<QDateEdit>("fromDate")->date(), QDate(2027, 5, 10));
    QVERIFY(again.get<QDateEdit>("fromDate")->isEnabled());
    QVERIFY(again.get<QCheckBox>("daypartCheck")->isChecked());
    QVERIFY(again.get<QTableWidget>("daypartGrid")->isEnabled());
    QCOMPARE(again.checkedCells(), (QList<QPoint>{{0, 0}, {13, 2}, {23, 6}}));
    QCOMPARE(again.text("stateLabel"), QStringLiteral("Customised"));
    QCOMPARE(again.text("voiceoverSummary"), QStringLiteral("vo  40%  (end at mark)"));
    again.click("okButton");
    QCOMPARE(stored(file, kAllFields), expected);
}

void TestTrackToolDialog::untouchedLevelsStayPut()
{
    // Levels whose percentage is not a whole double (0.29 * 100 is
    // 28.999...) show rounded, so OK without an edit stores them unchanged;
    // the voice-over editor likewise.
    const QString file = scratchFile("levels.mp3");
    struct Case
    {
        double level;
        int percent;
        QString stored;
    };
    const QList<Case> cases{{0.29, 29, "0.29"}, {0.57, 57, "0.57"}, {1.13, 113, "1.13"}, {5.0, 200, "2"},
                            {0.01, 10, "0.1"}};
    for (const Case& c : cases) {
        TrackParams p;
        p.level = c.level;
        p.voiceover.ins = 1000;
        p.voiceover.source = file;
        p.voiceover.level = c.level;
        TrackParams::save(file, p);
        Tool tool(trackFor(file));
        QCOMPARE(tool.get<QSpinBox>("levelSpin")->value(), c.percent);
        PromptScript script;
        int shown = 0;
        script.answerDialog([&](QDialog& editor) {
            shown = child<QSpinBox>(&editor, "levelSpin")->value();
            return int(QDialog::Accepted);
        });
        tool.click("voiceoverButton");
        QCOMPARE(shown, c.percent);
        tool.click("okButton");
        QCOMPARE(stored(file, "[.level,.voiceover.level]|map(tostring)|join(\" \")"), c.stored + " " + c.stored);
    }
}

void TestTrackToolDialog::tagsAloneAreKept()
{
    const QString file = scratchFile("tags only.mp3");
    {
        Tool tool(trackFor(file));
        QTest::keyClicks(tool.get<QLineEdit>("tagsEdit"), "NEW, PROMO");
        tool.click("okButton");
    }
    QCOMPARE(stored(file, ".tags|join(\",\")"), QStringLiteral("NEW,PROMO"));
    Tool again(trackFor(file));
    QCOMPARE(again.get<QLineEdit>("tagsEdit")->text(), QStringLiteral("NEW, PROMO"));
    QCOMPARE(again.text("stateLabel"), QStringLiteral("Customised"));
}

void TestTrackToolDialog::inheritAndDaypartEdges()
{
    const QString file = scratchFile("edges.mp3");
    TrackParams p;
    p.fadeIn = 0; // a zero override shows as "not set" and goes back as -1
    p.rating = 3;
    TrackParams::save(file, p);
    {
        Tool tool(trackFor(file));
        QCOMPARE(tool.spin("fadeInSpin")->text(), QStringLiteral("not set"));
        // Cells checked while dayparting is off are not stored.
        tool.click("selectAllButton");
        tool.click("okButton");
    }
    QCOMPARE(stored(file, "[.fadeIn,.rating,.daypart]|map(tostring)|join(\" \")"), QStringLiteral("-1 3 null"));
    {
        // Dayparting on with no hour allowed stores no restriction at all.
        Tool tool(trackFor(file));
        QVERIFY(tool.checkedCells().isEmpty());
        tool.get<QCheckBox>("daypartCheck")->setChecked(true);
        tool.click("okButton");
    }
    QCOMPARE(stored(file, ".daypart"), QStringLiteral("null"));
    Tool again(trackFor(file));
    QVERIFY(!again.get<QCheckBox>("daypartCheck")->isChecked());
}

void TestTrackToolDialog::resetToDefaults()
{
    const QString file = scratchFile("reset.mp3");
    TrackParams p;
    p.start = 5000;
    p.rating = 4;
    p.tags = QStringList{"X"};
    p.startDate = QDate(2026, 1, 1);
    p.endDate = QDate(2026, 2, 1);
    TrackParams::save(file, p);
    {
        Tool tool(trackFor(file));
        QVERIFY(tool.get<QDateEdit>("fromDate")->isEnabled());
        tool.click("resetButton");
        QCOMPARE(tool.spin("startSpin")->text(), QStringLiteral("not set"));
        QVERIFY(tool.get<QLineEdit>("tagsEdit")->text().isEmpty());
        QVERIFY(!tool.get<QDateEdit>("fromDate")->isEnabled());
        QCOMPARE(tool.text("stateLabel"), QStringLiteral("Using defaults"));
        tool.click("cancelButton");
        QCOMPARE(tool.dialog.result(), int(QDialog::Rejected));
    }
    QCOMPARE(stored(file, "[.start,.rating]|map(tostring)|join(\" \")"), QStringLiteral("5000 4"));
    {
        Tool tool(trackFor(file));
        tool.click("resetButton");
        tool.click("okButton"); // the rating goes too
    }
    QCOMPARE(stored(file, "type"), QString());
}

void TestTrackToolDialog::hookMessages()
{
    Tool tool(trackFor(scratchFile("hooks.mp3")));
    QDoubleSpinBox* in = tool.spin("hookInSpin");
    QDoubleSpinBox* out = tool.spin("hookOutSpin");
    const QList<std::tuple<double, double, QString>> cases{
        {10.0, 0.0, "Hook out must be after hook in."},
        {0.0, 12.5, "Hook length 12.5 s."},
        {10.0, 31.0, "Hook is 21.0 s - must be under 21 s."},
        {0.3, 21.3, "Hook is 21.0 s - must be under 21 s."},
        {10.0, 30.9, "Hook length 20.9 s."},
        {40.0, 40.0, "Hook out must be after hook in."},
        {0.0, 0.0, "No hook set - Teasers will pick one automatically."},
    };
    for (const auto& [hookIn, hookOut, message] : cases) {
        in->setValue(hookIn);
        out->setValue(hookOut);
        QCOMPARE(tool.text("hookStatus"), message);
    }
}

void TestTrackToolDialog::marksFollowTheWaveform()
{
    // Three minutes of near silence, small enough to decode at once.
    const QString file = scratchFile("three minutes.wav");
    QVERIFY(AudioFixtures::tone(file, 440, -40, 180, 8000, 1));
    TrackParams p;
    p.start = 1500;
    p.intro = 3000;
    TrackParams::save(file, p);

    {
        // Loaded only once the window is up.
        TrackToolDialog unshown(trackFor(file), nullptr);
        QVERIFY(child<WaveformView>(&unshown, "waveform")->data().peaks.isEmpty());
    }
    Tool tool(trackFor(file));
    auto* view = tool.get<WaveformView>("waveform");
    view->setFixedWidth(450); // 400 ms a column
    QTRY_VERIFY_WITH_TIMEOUT(!view->data().peaks.isEmpty(), 30000);
    QTRY_COMPARE(view->width(), 450);
    QCOMPARE(view->data().peaks.size(), 1500);
    QCOMPARE(view->data().durationMs, qint64(180000));
    QCOMPARE(view->marks().keys(), (QStringList{"Intro", "Start"}));
    QCOMPARE(view->marks().value("Start").ms, qint64(1500));

    // A click places the chosen mark; a drag sets the hook whatever is chosen.
    auto* chooser = tool.get<QComboBox>("markChooser");
    QCOMPARE(chooser->count(), 7);
    chooser->setCurrentText("Outro");
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(100, 50));
    QCOMPARE(tool.spin("outroSpin")->value(), 40.0);
    QCOMPARE(view->marks().value("Outro").ms, qint64(40000));
    chooser->setCurrentText("Intro");
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(375, 50)); // 150 s: beyond the intro's maximum
    QCOMPARE(tool.spin("introSpin")->value(), 120.0);
    QCOMPARE(view->marks().value("Intro").ms, qint64(120000));
    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(75, 50));
    QTest::mouseMove(view, QPoint(100, 50));
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(115, 50));
    QCOMPARE(tool.spin("hookInSpin")->value(), 30.0);
    QCOMPARE(tool.spin("hookOutSpin")->value(), 46.0);
    QCOMPARE(tool.text("hookStatus"), QStringLiteral("Hook length 16.0 s."));
    QCOMPARE(tool.spin("introSpin")->value(), 120.0);

    chooser->setCurrentText("Start");
    tool.dialog.placeMark(1234);
    QCOMPARE(tool.spin("startSpin")->value(), 1.23);
    QCOMPARE(view->marks().value("Start").ms, qint64(1230));

    // Every mark in its colour; a mark at "not set" is not drawn.
    tool.spin("endSpin")->setValue(170);
    tool.spin("voiceInsSpin")->setValue(20);
    tool.spin("outroSpin")->setValue(0);
    tool.dialog.refreshWaveMarks();
    const QMap<QString, QColor> colours{{"Start", QColor(120, 220, 140)}, {"End", QColor(220, 120, 120)},
                                        {"Intro", QColor(120, 180, 240)}, {"Hook in", QColor(240, 200, 100)},
                                        {"Hook out", QColor(240, 200, 100)}, {"Voice ins", QColor(240, 130, 200)}};
    QCOMPARE(view->marks().keys(), colours.keys());
    for (auto it = colours.cbegin(); it != colours.cend(); ++it)
        QCOMPARE(view->marks().value(it.key()).colour, it.value());

    // A stream has no waveform; its parameters are still kept under its address.
    Track stream = trackFor("http://127.0.0.1:9/live");
    stream.isStream = true;
    Tool radio(stream);
    radio.spin("fadeInSpin")->setValue(1);
    QTest::qWait(200);
    QVERIFY(radio.get<WaveformView>("waveform")->data().peaks.isEmpty());
    radio.click("okButton");
    QCOMPARE(stored(stream.filePath, ".fadeIn"), QStringLiteral("1000"));
}

void TestTrackToolDialog::autoLevelReachesTarget()
{
    // Stereo 1 kHz sines read their peak level in LUFS.
    struct Case
    {
        QString name;
        QString expression;
        int percent;     // what "Auto" sets
        QString label;
        bool reachesTarget;
    };
    const QString sine = QStringLiteral("sin(2*PI*1000*t)");
    const QList<Case> cases{
        {"loud", "pow(10,-10/20)*" + sine, 40, "-10.0 LUFS", true},
        {"quiet", "pow(10,-22/20)*" + sine, 158, "-22.0 LUFS", true},
        // +12 dB at most, then the spin's 200 %.
        {"very quiet", "pow(10,-40/20)*" + sine, 200, "-40.0 LUFS", false},
        // A full-scale burst caps the gain at 0.999 / peak.
        {"peaky", "if(lt(t,0.05),1,pow(10,-30/20))*" + sine, 100, QString(), false},
        {"silent", "0", 80, "Could not measure", false},
    };
    for (const Case& c : cases) {
        const QString file = scratchFile(c.name + ".wav");
        AudioFixtures::Signal s;
        s.expression = c.expression;
        s.seconds = 12;
        s.sampleRate = 48000;
        QVERIFY(AudioFixtures::make(file, s));
        TrackParams p;
        p.level = 0.8;
        TrackParams::save(file, p);

        Tool tool(trackFor(file));
        auto* autoButton = tool.get<QPushButton>("autoButton");
        QString during;
        bool enabledDuring = true;
        QTimer::singleShot(0, &tool.dialog, [&] {
            during = tool.text("loudnessStatus");
            enabledDuring = autoButton->isEnabled();
        });
        autoButton->click();
        QCOMPARE(during, QStringLiteral("Analysing..."));
        QVERIFY(!enabledDuring);
        QVERIFY(autoButton->isEnabled());
        QCOMPARE(tool.get<QSpinBox>("levelSpin")->value(), c.percent);
        if (!c.label.isEmpty())
            QCOMPARE(tool.text("loudnessStatus"), c.label);
        tool.click("okButton");
        // 100 % is the default level, and the row goes with it.
        QCOMPARE(stored(file, ".level"), c.percent == 100 ? QString() : QString::number(c.percent / 100.0));
        if (c.reachesTarget) {
            const double measured = AudioFixtures::integratedLoudness(file, "volume=" + stored(file, ".level"));
            QVERIFY2(std::fabs(measured + 18.0) <= 0.5, qPrintable(QString::number(measured)));
        }
    }

    Track stream = trackFor("http://127.0.0.1:9/live");
    stream.isStream = true;
    Tool radio(stream);
    radio.click("autoButton");
    QVERIFY(radio.text("loudnessStatus").isEmpty());
    QVERIFY(radio.get<QPushButton>("autoButton")->isEnabled());
}

void TestTrackToolDialog::voiceoverEditor()
{
    const QString folder = QDir(testHome().scratch()).filePath("Morning VO");
    QVERIFY(QDir().mkpath(folder));
    const QString file = QDir(folder).filePath("station id.wav");
    QVERIFY(AudioFixtures::silence(file, 0.5));

    Tool tool(trackFor(scratchFile("voiced.mp3")));
    PromptScript script;

    // A folder, picked with the chooser; blanks round a typed source go.
    QStringList shown;
    script.answerFolder(folder);
    script.answerDialog([&](QDialog& editor) {
        shown = QStringList{editor.windowTitle(),
                            child<QComboBox>(&editor, "positionCombo")->currentData().toString(),
                            child<QSpinBox>(&editor, "probabilitySpin")->text(),
                            child<QCheckBox>(&editor, "notAfterCheck")->isChecked() ? "limited" : "open",
                            child<QDateEdit>(&editor, "notAfterDate")->isEnabled() ? "enabled" : "disabled"};
        QTest::mouseClick(child<QPushButton>(&editor, "folderButton"), Qt::LeftButton);
        auto* source = child<QLineEdit>(&editor, "sourceEdit");
        source->setText("  " + source->text() + " ");
        return int(QDialog::Accepted);
    });
    tool.click("voiceoverButton");
    QCOMPARE(shown, (QStringList{"Voiceover parameters", "0", "100 %", "open", "disabled"}));
    QCOMPARE(tool.dialog.params().voiceover.source, folder);
    QCOMPARE(tool.text("voiceoverSummary"), QStringLiteral("Morning VO  (start at mark)"));

    // A file, its probability, the end position and a last date.
    bool dateEnabled = false;
    script.answerFile(file);
    script.answerDialog([&](QDialog& editor) {
        shown = QStringList{child<QLineEdit>(&editor, "sourceEdit")->text()};
        QTest::mouseClick(child<QPushButton>(&editor, "fileButton"), Qt::LeftButton);
        child<QComboBox>(&editor, "positionCombo")->setCurrentIndex(1);
        child<QSpinBox>(&editor, "probabilitySpin")->setValue(50);
        child<QCheckBox>(&editor, "notAfterCheck")->click();
        dateEnabled = child<QDateEdit>(&editor, "notAfterDate")->isEnabled();
        child<QDateEdit>(&editor, "notAfterDate")->setDate(QDate(2027, 3, 3));
        QTest::mouseClick(child<QPushButton>(&editor, "okButton"), Qt::LeftButton);
        return editor.result();
    });
    tool.click("voiceoverButton");
    QCOMPARE(shown, QStringList{folder});
    QVERIFY(dateEnabled);
    const QString summary = QStringLiteral("station id.wav  50%  (end at mark)  until 3 Mar 2027");
    QCOMPARE(tool.text("voiceoverSummary"), summary);
    const QList<PromptScript::Asked> asked = script.asked();
    QCOMPARE(asked.size(), 4);
    QCOMPARE(asked.at(1).title, QStringLiteral("Voice insert folder"));
    QCOMPARE(asked.at(3).title, QStringLiteral("Voice insert"));

    // Cancel keeps everything, whatever was changed.
    QDate lastDate;
    script.answerDialog([&](QDialog& editor) {
        lastDate = child<QDateEdit>(&editor, "notAfterDate")->date();
        child<QLineEdit>(&editor, "sourceEdit")->setText("/elsewhere");
        child<QSpinBox>(&editor, "probabilitySpin")->setValue(5);
        QTest::mouseClick(child<QPushButton>(&editor, "cancelButton"), Qt::LeftButton);
        return editor.result();
    });
    tool.click("voiceoverButton");
    QCOMPARE(lastDate, QDate(2027, 3, 3));
    QCOMPARE(tool.dialog.params().voiceover.source, file);
    QCOMPARE(tool.text("voiceoverSummary"), summary);

    // Unchecking the last date clears it.
    script.answerDialog([&](QDialog& editor) {
        child<QCheckBox>(&editor, "notAfterCheck")->click();
        return int(QDialog::Accepted);
    });
    tool.click("voiceoverButton");
    QVERIFY(!tool.dialog.params().voiceover.notAfter.isValid());
    QCOMPARE(tool.text("voiceoverSummary"), QStringLiteral("station id.wav  50%  (end at mark)"));

    // Stored with its insert point by the track tool's OK.
    tool.spin("voiceInsSpin")->setValue(8);
    tool.click("okButton");
    QCOMPARE(stored(scratchFile("voiced.mp3"), "[.voiceover.ins,.voiceover.source,.voiceover.position,"
                                               ".voiceover.probability,.voiceover.notAfter]|map(tostring)|join(\"|\")"),
             QStringLiteral("8000|%1|1|50|null").arg(file));
}

OL_TEST_MAIN(TestTrackToolDialog)
#include "tst_tracktooldialog.moc"
