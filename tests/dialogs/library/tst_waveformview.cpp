// The waveform widget: real mouse gestures turned into clicks and selections,
// and what it paints, read back from grab() pixel by pixel.
#include "dialogs/library/waveformview.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QDir>
#include <QSignalSpy>

namespace {

bool near(const QImage& img, int x, int y, const QColor& c)
{
    const QColor p = img.pixelColor(x, y);
    if (qAbs(p.red() - c.red()) <= 2 && qAbs(p.green() - c.green()) <= 2 && qAbs(p.blue() - c.blue()) <= 2)
        return true;
    qWarning("pixel %d,%d is rgb(%d,%d,%d)", x, y, p.red(), p.green(), p.blue());
    return false;
}

} // namespace

class TestWaveformView : public QObject
{
    Q_OBJECT

private slots:
    void gestures();
    void painting();
};

void TestWaveformView::gestures()
{
    WaveformView view;
    view.resize(1000, 100);
    QSignalSpy clicked(&view, &WaveformView::positionClicked);
    QSignalSpy selected(&view, &WaveformView::selectionChanged);

    // Without peaks the mouse is ignored.
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 50));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(300, 50));
    QVERIFY(clicked.isEmpty() && selected.isEmpty());

    WaveformData data;
    data.peaks = QList<WaveformPeak>(100, WaveformPeak{-0.5f, 0.5f});
    data.durationMs = 1000; // one column is one millisecond
    view.setMark("Start", 500, Qt::red);
    view.setMark("End", 700, Qt::blue);
    view.setSelection(900, 200);
    QCOMPARE(view.selectionStart(), qint64(200));
    view.setData(data); // drops the selection, keeps the marks
    QCOMPARE(view.selectionEnd(), qint64(0));
    view.setMark("Start", 0, Qt::red); // a time of 0 removes the mark
    QCOMPARE(view.marks().keys(), QStringList{"End"});

    // 39 ms of audio between press and release is a click at the release.
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(300, 50));
    QTest::mouseMove(&view, QPoint(320, 50));
    QCOMPARE(view.selectionEnd(), qint64(320));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(339, 50));
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.at(0).at(0).toLongLong(), qint64(339));
    QCOMPARE(view.selectionEnd(), qint64(0));
    // 40 ms is a selection, in ascending order, with any button.
    QTest::mousePress(&view, Qt::RightButton, {}, QPoint(540, 50));
    QTest::mouseRelease(&view, Qt::RightButton, {}, QPoint(500, 50));
    // Past the right edge ends at the duration.
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(800, 50));
    QTest::mouseMove(&view, QPoint(1400, 50));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(1400, 50));
    QCOMPARE(selected.size(), 2);
    QCOMPARE(selected.at(0), (QList<QVariant>{qint64(500), qint64(540)}));
    QCOMPARE(selected.at(1), (QList<QVariant>{qint64(800), qint64(1000)}));
    QCOMPARE(clicked.size(), 1);
}

void TestWaveformView::painting()
{
    const QColor background(24, 28, 34);
    const QColor bars(120, 200, 140);
    WaveformView view;
    view.resize(400, 110);
    view.setMark("Start", 1000, QColor(255, 0, 255));
    view.setPlayheadMs(1000);
    QImage img = view.grab().toImage();
    // No audio: only the text, in its grey, and neither mark nor playhead.
    int text = 0;
    for (int x = 0; x < img.width(); ++x) {
        for (int y = 0; y < img.height(); ++y)
            text += img.pixelColor(x, y) == QColor(120, 128, 138);
    }
    QVERIFY(text > 10);
    QVERIFY(near(img, 0, 50, background));

    // Two seconds of silence, then two of a full-scale 1 kHz tone, each
    // bucket holding whole periods.
    const QString path = QDir(testHome().scratch()).filePath("silence-tone.wav");
    AudioFixtures::Signal s;
    s.expression = "if(lt(t,2),0,sin(2*PI*1000*t))";
    s.seconds = 4.0;
    s.sampleRate = 8000;
    s.channels = 1;
    QVERIFY(AudioFixtures::make(path, s));
    WaveformData data;
    QVERIFY(data.load(path, 1500));
    view.setData(data);
    QCOMPARE(view.playheadMs(), qint64(-1)); // new data drops the playhead
    view.setPlayheadMs(1000);
    view.setSelection(500, 1500);
    view.setMark("Intro", 1000, QColor(0, 0, 255)); // sorts before "Start": under it
    view.setMark("Outro", 3990, QColor(255, 0, 255)); // its label flips left of the line
    img = view.grab().toImage();

    const QColor shaded(qRound(24 + 46 * 110 / 255.0), qRound(28 + 82 * 110 / 255.0), qRound(34 + 126 * 110 / 255.0));
    QVERIFY(near(img, 30, 20, background) && near(img, 190, 90, background)); // silence: nothing off the centre
    QVERIFY(near(img, 49, 20, background) && near(img, 50, 20, shaded)); // the selection: columns 50 to 149
    QVERIFY(near(img, 149, 20, shaded) && near(img, 150, 20, background));
    for (int y : {3, 30, 55, 80, 107})       // the tone fills all but 2 px each side
        QVERIFY(near(img, 250, y, bars));
    QVERIFY(near(img, 250, 0, background) && near(img, 350, 109, background));
    QVERIFY(near(img, 100, 90, QColor(240, 240, 240))); // playhead over both marks
    QVERIFY(near(img, 99, 90, QColor(255, 0, 255)));    // "Start", 2 px wide, over "Intro"
    QVERIFY(near(img, 399, 90, QColor(255, 0, 255)) && near(img, 398, 90, QColor(255, 0, 255)));
    // Label pixels, smoothed or not: nothing else has more red and blue than green.
    const auto magenta = [&img](int fromX, int toX) {
        int n = 0;
        for (int x = fromX; x < toX; ++x) {
            for (int y = 0; y < 20; ++y) {
                const QColor c = img.pixelColor(x, y);
                n += c.red() > c.green() + 40 && c.blue() > c.green() + 40;
            }
        }
        return n;
    };
    QVERIFY(magenta(103, 140) > 10 && magenta(330, 396) > 10);
}

OL_TEST_MAIN(TestWaveformView)
#include "tst_waveformview.moc"
