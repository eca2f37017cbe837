// The waveform widget: real mouse gestures turned into clicks and selections,
// and what it paints, read back from grab() pixel by pixel.
#include "dialogs/library/waveformview.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QDir>
#include <QImage>
#include <QSignalSpy>

namespace {

const QColor kBackground(24, 28, 34);
const QColor kBars(120, 200, 140);
const QColor kPlayhead(240, 240, 240);

// Peaks that do not matter, over a duration that does.
WaveformData flat(qint64 durationMs, int peaks = 100)
{
    WaveformData d;
    d.peaks = QList<WaveformPeak>(peaks, WaveformPeak{-0.5f, 0.5f});
    d.durationMs = durationMs;
    return d;
}

bool near(const QColor& a, const QColor& b, int tolerance = 2)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

QString describe(const QColor& c)
{
    return QStringLiteral("rgb(%1,%2,%3)").arg(c.red()).arg(c.green()).arg(c.blue());
}

// Pixels of a label drawn in pure magenta, smoothed or not: nothing else the
// widget paints has more red and blue than green.
bool magentaish(const QColor& c)
{
    return c.red() > c.green() + 40 && c.blue() > c.green() + 40;
}

int magentaColumns(const QImage& img, int fromX, int toX, int rows)
{
    int n = 0;
    for (int x = std::max(fromX, 0); x < std::min(toX, img.width()); ++x) {
        for (int y = 0; y < rows; ++y) {
            if (magentaish(img.pixelColor(x, y))) {
                ++n;
                break;
            }
        }
    }
    return n;
}

} // namespace

class TestWaveformView : public QObject
{
    Q_OBJECT

private slots:
    void marksSelectionAndData();
    void clicksAndDrags();
    void dragsClampToTheFile();
    void emptyViewIgnoresTheMouse();
    void paintsPeaksOfAFile();
    void paintsMarksLabelsAndPlayhead();
    void paintsEmptyState();
};

void TestWaveformView::marksSelectionAndData()
{
    WaveformView view;
    QCOMPARE(view.sizeHint(), QSize(480, 110));
    QCOMPARE(view.minimumHeight(), 90);
    QCOMPARE(view.cursor().shape(), Qt::IBeamCursor);
    QCOMPARE(view.playheadMs(), qint64(-1));

    view.setMark("Start", 500, Qt::red);
    view.setMark("start", 700, Qt::blue); // names are case-sensitive
    view.setMark("Start", 900, Qt::green);
    QCOMPARE(view.marks().size(), 2);
    QCOMPARE(view.marks().value("Start").ms, qint64(900));
    QCOMPARE(view.marks().value("Start").colour, QColor(Qt::green));
    view.setMark("Start", 0, Qt::red);
    view.setMark("missing", -5, Qt::red);
    QCOMPARE(view.marks().keys(), QStringList{"start"});

    view.setSelection(5000, 2000);
    QCOMPARE(view.selectionStart(), qint64(2000));
    QCOMPARE(view.selectionEnd(), qint64(5000));
    view.setPlayheadMs(99999); // kept unclamped
    QCOMPARE(view.playheadMs(), qint64(99999));

    // New data drops the selection and playhead, keeps the marks.
    view.setData(flat(10000));
    QCOMPARE(view.selectionStart(), qint64(0));
    QCOMPARE(view.selectionEnd(), qint64(0));
    QCOMPARE(view.playheadMs(), qint64(-1));
    QCOMPARE(view.marks().size(), 1);

    view.clear();
    QVERIFY(view.marks().isEmpty());
    QVERIFY(view.data().peaks.isEmpty());
    QCOMPARE(view.data().durationMs, qint64(0));

    // Mapping with nothing to map onto never divides by zero.
    view.resize(400, 100);
    QCOMPARE(view.xToMs(200), qint64(0));
    QCOMPARE(view.msToX(5000), 0);
    view.setData(flat(600000));
    QCOMPARE(view.xToMs(1), qint64(1500));
    QCOMPARE(view.xToMs(-3), qint64(0));
    QCOMPARE(view.xToMs(9999), qint64(600000));
    QCOMPARE(view.msToX(700000), 466); // past the end lies right of the widget
}

void TestWaveformView::clicksAndDrags()
{
    // One column is one millisecond.
    WaveformView view;
    view.resize(1000, 100);
    view.setData(flat(1000));
    QSignalSpy clicked(&view, &WaveformView::positionClicked);
    QSignalSpy selected(&view, &WaveformView::selectionChanged);

    // 39 ms apart is a click at the release time; it clears any selection.
    view.setSelection(10, 20);
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(300, 50));
    QTest::mouseMove(&view, QPoint(320, 50));
    QCOMPARE(view.selectionStart(), qint64(300));
    QCOMPARE(view.selectionEnd(), qint64(320));
    QVERIFY(selected.isEmpty()); // nothing while dragging
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(339, 50));
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.takeFirst().at(0).toLongLong(), qint64(339));
    QVERIFY(selected.isEmpty());
    QCOMPARE(view.selectionEnd(), qint64(0));

    // 40 ms is a selection, reported in ascending order whatever the way.
    QTest::mousePress(&view, Qt::RightButton, {}, QPoint(540, 50));
    QTest::mouseMove(&view, QPoint(520, 50));
    QTest::mouseRelease(&view, Qt::RightButton, {}, QPoint(500, 50));
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.at(0).at(0).toLongLong(), qint64(500));
    QCOMPARE(selected.at(0).at(1).toLongLong(), qint64(540));
    QVERIFY(clicked.isEmpty());
    QCOMPARE(view.selectionStart(), qint64(500));
    QCOMPARE(view.selectionEnd(), qint64(540));

    // A release without a press does nothing.
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(900, 50));
    QCOMPARE(clicked.size() + selected.size(), 1);

    // On a ten-minute file one column is 1250 ms, so a one-column move is
    // already a selection.
    view.resize(480, 100);
    view.setData(flat(600000));
    selected.clear();
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 50));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(101, 50));
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.at(0).at(0).toLongLong(), qint64(125000));
    QCOMPARE(selected.at(0).at(1).toLongLong(), qint64(126250));
}

void TestWaveformView::dragsClampToTheFile()
{
    WaveformView view;
    view.resize(500, 100);
    view.setData(flat(20000));
    QSignalSpy selected(&view, &WaveformView::selectionChanged);

    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(250, 50));
    QTest::mouseMove(&view, QPoint(800, 50));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(800, 50));
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(250, 50));
    QTest::mouseMove(&view, QPoint(-40, 50));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(-40, 50));
    QCOMPARE(selected.size(), 2);
    QCOMPARE(selected.at(0), (QList<QVariant>{qint64(10000), qint64(20000)}));
    QCOMPARE(selected.at(1), (QList<QVariant>{qint64(0), qint64(10000)}));
}

void TestWaveformView::emptyViewIgnoresTheMouse()
{
    WaveformView view;
    view.resize(500, 100);
    QSignalSpy clicked(&view, &WaveformView::positionClicked);
    QSignalSpy selected(&view, &WaveformView::selectionChanged);
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 50));
    QTest::mouseMove(&view, QPoint(300, 50));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(300, 50));
    QVERIFY(clicked.isEmpty());
    QVERIFY(selected.isEmpty());
    QCOMPARE(view.selectionEnd(), qint64(0));

    // Peaks without a duration: every position is 0 ms.
    WaveformData d = flat(0);
    view.setData(d);
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(400, 50));
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.at(0).at(0).toLongLong(), qint64(0));
}

void TestWaveformView::paintsPeaksOfAFile()
{
    // Two seconds of silence, then two of a full-scale tone.
    const QString path = QDir(testHome().scratch()).filePath("silence-tone.wav");
    AudioFixtures::Signal s;
    s.expression = "if(lt(t,2),0,sin(2*PI*1000*t))"; // every bucket holds whole periods
    s.seconds = 4.0;
    s.sampleRate = 8000;
    s.channels = 1;
    QVERIFY(AudioFixtures::make(path, s));
    WaveformData data;
    QVERIFY(data.load(path, 1500));

    WaveformView view;
    view.resize(400, 110);
    view.setData(data);
    const int mid = 55;
    const int top = mid - (55 - 2); // a full-scale bar reaches 2 px below the top

    QImage img = view.grab().toImage();
    QCOMPARE(img.size(), QSize(400, 110));
    for (int x : {5, 100, 195}) { // silence: no bar beyond the centre row
        QVERIFY2(near(img.pixelColor(x, 20), kBackground), qPrintable(describe(img.pixelColor(x, 20))));
        QVERIFY(near(img.pixelColor(x, 95), kBackground));
    }
    for (int x : {205, 300, 399}) { // tone: a bar over nearly the full height
        for (int y : {top + 2, 30, mid, 80, 2 * mid - top - 2})
            QVERIFY2(near(img.pixelColor(x, y), kBars), qPrintable(QStringLiteral("%1,%2 %3").arg(x).arg(y).arg(describe(img.pixelColor(x, y)))));
        QVERIFY(near(img.pixelColor(x, 0), kBackground));
        QVERIFY(near(img.pixelColor(x, 109), kBackground));
    }

    // The selection shades the full height over its columns: 1 s..3 s.
    view.setSelection(1000, 3000);
    img = view.grab().toImage();
    const QColor shaded(qRound(24 + (70 - 24) * 110 / 255.0), qRound(28 + (110 - 28) * 110 / 255.0),
                        qRound(34 + (160 - 34) * 110 / 255.0));
    QVERIFY2(near(img.pixelColor(150, 20), shaded), qPrintable(describe(img.pixelColor(150, 20))));
    QVERIFY(near(img.pixelColor(99, 20), kBackground));
    QVERIFY(near(img.pixelColor(100, 20), shaded));
    QVERIFY(near(img.pixelColor(299, 0), shaded));
    QVERIFY(near(img.pixelColor(300, 0), kBackground));
    QVERIFY(near(img.pixelColor(250, 30), kBars)); // bars are drawn over it
}

void TestWaveformView::paintsMarksLabelsAndPlayhead()
{
    WaveformView view;
    view.resize(400, 110);
    WaveformData d;
    d.peaks = QList<WaveformPeak>(400, WaveformPeak{0.0f, 0.0f});
    d.durationMs = 40000; // 100 ms a column
    view.setData(d);
    const QColor magenta(255, 0, 255);
    const int rows = view.fontMetrics().ascent() + 6;

    // A mark in the middle: its line, and its label to the right of it.
    view.setMark("Intro", 10000, magenta);
    QImage img = view.grab().toImage();
    QVERIFY2(near(img.pixelColor(100, 80), magenta), qPrintable(describe(img.pixelColor(100, 80))));
    QVERIFY(near(img.pixelColor(102, 80), kBackground));
    QVERIFY(near(img.pixelColor(97, 80), kBackground));
    QVERIFY(magentaColumns(img, 103, 160, rows) > 5);
    QCOMPARE(magentaColumns(img, 40, 98, rows), 0);

    // Near the right edge the label flips to the left of the line.
    view.setMark("Intro", 39500, magenta);
    img = view.grab().toImage();
    QVERIFY(near(img.pixelColor(395, 80), magenta));
    QVERIFY(magentaColumns(img, 330, 392, rows) > 5);
    QCOMPARE(magentaColumns(img, 397, 400, rows), 0);

    // Two marks on one column: the name that sorts last is on top; the
    // playhead is above every mark.
    view.clearMarks();
    view.setMark("b", 20000, QColor(0, 0, 255));
    view.setMark("a", 20000, QColor(255, 0, 0));
    img = view.grab().toImage();
    QVERIFY2(near(img.pixelColor(200, 80), QColor(0, 0, 255)), qPrintable(describe(img.pixelColor(200, 80))));
    view.setPlayheadMs(20000);
    img = view.grab().toImage();
    QVERIFY(near(img.pixelColor(200, 80), kPlayhead));
    QVERIFY(near(img.pixelColor(199, 80), QColor(0, 0, 255))); // the mark's second pixel column
    QVERIFY(near(img.pixelColor(201, 80), kBackground));
}

void TestWaveformView::paintsEmptyState()
{
    WaveformView view;
    view.resize(400, 110);
    view.setMark("Start", 1000, QColor(255, 0, 255));
    view.setPlayheadMs(0);
    const QImage img = view.grab().toImage();
    int text = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            QVERIFY2(!magentaish(c) && !near(c, kPlayhead), "marks or playhead drawn without audio");
            if (!near(c, kBackground)) {
                ++text;
                // The text sits around the centre.
                QVERIFY(qAbs(x - 200) < 100 && qAbs(y - 55) < 20);
            }
        }
    }
    QVERIFY(text > 20);
    QVERIFY(near(img.pixelColor(0, 0), kBackground));
}

OL_TEST_MAIN(TestWaveformView)
#include "tst_waveformview.moc"
