#include "mainwindow/vfddisplay.h"
#include "olmain.h"

#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QImage>
#include <QPaintEvent>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

const QColor kBg(6, 9, 12);
const QColor kAmber(255, 158, 30);
const QColor kAmberDim(60, 32, 6);
const QColor kWhiteAmber(255, 214, 150);
const QColor kSegDim(34, 30, 20);
const QColor kGreen(70, 210, 120);
const QColor kRed(235, 66, 52);

QImage snapshot(VfdDisplay& w)
{
    w.resize(w.sizeHint());
    QImage img(w.size(), QImage::Format_ARGB32);
    img.fill(Qt::black);
    w.render(&img);
    return img;
}

bool near(QColor c, QColor want, int tolerance = 4)
{
    return qAbs(c.red() - want.red()) <= tolerance && qAbs(c.green() - want.green()) <= tolerance
           && qAbs(c.blue() - want.blue()) <= tolerance;
}

QColor pixel(const QImage& img, QPointF p)
{
    return img.pixelColor(int(p.x()), int(p.y()));
}

bool is(const QImage& img, QPointF p, QColor want)
{
    return near(pixel(img, p), want);
}

bool anyNear(const QImage& img, const QRect& area, QColor want, int tolerance = 40)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (near(img.pixelColor(x, y), want, tolerance))
                return true;
    return false;
}

// Centre of segment 'a'..'g' of character i of the clock at the size hint,
// after the shrink that fits the text into 224 pixels.
struct Clock
{
    double w = 0.6 * 76, h = 76, t = 0, s = 0;
    QList<double> cellX;
    explicit Clock(const QString& text)
    {
        const double needed = text.count(':') * 0.8 * w + (text.size() - text.count(':')) * 1.35 * w;
        w *= std::min(1.0, 224 / needed);
        h *= std::min(1.0, 224 / needed);
        t = 0.17 * w;
        s = (h - 3 * t) / 2;
        for (double x = 14; QChar c : text) {
            cellX << x;
            x += c == ':' ? 0.8 * w : 1.35 * w;
        }
    }
    QPointF centre(int i, char seg) const
    {
        const double x = cellX[i], y = 28, mid = y + t + s + t / 2;
        switch (seg) {
        case 'a': return {x + w / 2, y + t / 2};
        case 'b': return {x + w - t / 2, y + t + s / 2};
        case 'c': return {x + w - t / 2, mid + t / 2 + s / 2};
        case 'd': return {x + w / 2, y + h - t / 2};
        case 'e': return {x + t / 2, mid + t / 2 + s / 2};
        case 'f': return {x + t / 2, y + t + s / 2};
        default: return {x + w / 2, mid};
        }
    }
};

// Meter cell i of the left or right column; progress segment i of 17.
QPointF meterCell(bool right, int i)
{
    const double q = (107.0 - 25.0) / 18;
    return {right ? 912.0 : 866.0, 107 - (i + 1) * q + (q - 1.5) / 2};
}

// The title column starts after the widest caption in the caption font.
double titleX()
{
    QFont f = QApplication::font();
    f.setPointSizeF(8);
    f.setWeight(QFont::Bold);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 1.4);
    const QFontMetricsF m(f);
    double cap = 96;
    for (const char* c : {"JUST PLAYED", "NOW PLAYING", "NEXT UP"})
        cap = std::max(cap, std::ceil(m.horizontalAdvance(QLatin1String(c))) + 2);
    return 466 + cap + 8;
}

// The progress bar at the default width: its cell count and one cell.
double progressWidth() { return 939 - 108 - titleX() - 118; }
int progressCells() { return std::max(10, int(progressWidth() * 0.125)); }

QPointF progressCell(int i)
{
    return {titleX() + 4 + i * (progressWidth() / progressCells()), 0.72 * 118 + 8 - 4.5};
}

} // namespace

class TestVfdDisplay : public QObject
{
    Q_OBJECT

private slots:
    void clockDrawsLitAndDimSegmentsWithHalo()
    {
        VfdDisplay w;
        w.setDateTime(QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7)), false);
        QCOMPARE(w.timeText(), QStringLiteral("9:05:07"));
        QCOMPARE(w.dateText(), QStringLiteral("TUE 8 DEC 2026"));

        // Six digits shrink to fit: '1' (index 0), '5' (6) and '6' (7).
        w.setDateTime(QDateTime(QDate(2026, 12, 8), QTime(12, 34, 56)), true);
        const QImage img = snapshot(w);
        const Clock g(w.timeText());
        const auto lit = [&](int i, const char* on, const char* off) {
            for (const char* c = on; *c; ++c)
                if (!is(img, g.centre(i, *c), kAmber))
                    return false;
            for (const char* c = off; *c; ++c)
                if (!is(img, g.centre(i, *c), kAmberDim))
                    return false;
            return true;
        };
        QVERIFY(lit(0, "bc", "adefg"));
        QVERIFY(lit(6, "acdfg", "be"));
        QVERIFY(lit(7, "acdefg", "b"));

        // A lit segment glows beyond its edge, a dim one does not.
        const QColor halo = pixel(img, g.centre(6, 'f') - QPointF(0.75 * g.t, 0));
        const QColor none = pixel(img, g.centre(6, 'e') - QPointF(0.75 * g.t, 0));
        QVERIFY(halo.red() > kBg.red() + 30 && halo.red() < kAmber.red() - 100);
        QVERIFY(none.red() < kBg.red() + 12);
    }

    void progressTextsAndBar()
    {
        VfdDisplay w;
        w.setProgress(61000, 180000);
        QCOMPARE(w.elapsedText(), QStringLiteral("01:01"));
        QCOMPARE(w.remainingText(), QStringLiteral("-01:59"));
        QVERIFY(qAbs(w.progress() - 61.0 / 180) < 1e-9);

        QImage stopped = snapshot(w);
        w.setPlaying(true);
        QImage playing = snapshot(w);
        const int cells = progressCells();
        for (int i = 0; i < cells; ++i) {
            QVERIFY(is(stopped, progressCell(i), kAmberDim));
            QVERIFY2(is(playing, progressCell(i), double(i) / cells <= 61.0 / 180 ? kAmber : kAmberDim),
                     qPrintable(QString::number(i)));
        }
        w.setProgress(0, 180000);
        playing = snapshot(w);
        QVERIFY(is(playing, progressCell(0), kAmber));
        QVERIFY(is(playing, progressCell(1), kAmberDim));

        w.setProgress(-500, 0);
        QCOMPARE(w.elapsedText() + w.remainingText(), QStringLiteral("00:00-00:00"));
        QCOMPARE(w.progress(), 0.0);
        w.setProgress(200000, 180000);
        QCOMPARE(w.progress(), 1.0);
        QCOMPARE(w.remainingText(), QStringLiteral("-00:00"));
        w.setProgress(6000000, 7000000);
        QCOMPARE(w.elapsedText() + w.remainingText(), QStringLiteral("100:00-16:40"));
    }

    void realMeterClampsAndHoldsPeaks()
    {
        VfdDisplay w;
        w.setUseRealMeter(true);
        w.setMeterLevels(1.7, -0.2);
        QImage img = snapshot(w);
        for (int i = 0; i < 18; ++i) {
            QVERIFY2(is(img, meterCell(false, i), i <= 11 ? kGreen : i <= 15 ? kAmber : kRed),
                     qPrintable(QString::number(i)));
            QVERIFY(is(img, meterCell(true, i), kSegDim));
        }

        // Half scale lights the nine lowest; the full-scale peak stays on top.
        w.setMeterLevels(0.5, std::nan(""));
        img = snapshot(w);
        QVERIFY(is(img, meterCell(false, 8), kGreen));
        for (int i = 9; i < 17; ++i)
            QVERIFY(is(img, meterCell(false, i), kSegDim));
        QVERIFY(is(img, meterCell(false, 17), kRed));
        QVERIFY(is(img, meterCell(true, 0), kSegDim));

        // A tick repaints the meter's area alone, over the frame before:
        // cells that went dark show dark, the held peak stays lit.
        w.setMeterLevels(0.25, 1.0);
        const QRect meter(846, 8, 88, 114);
        w.render(&img, meter.topLeft(), QRegion(meter));
        QVERIFY(is(img, meterCell(false, 4), kGreen));
        for (int i = 5; i < 17; ++i)
            QVERIFY2(is(img, meterCell(false, i), kSegDim), qPrintable(QString::number(i)));
        QVERIFY(is(img, meterCell(false, 17), kRed));
        QVERIFY(is(img, meterCell(true, 0), kGreen));
        QVERIFY(is(img, meterCell(true, 17), kRed));

        // A peak below half a cell shows nothing, just above it the lowest cell.
        VfdDisplay low;
        low.setUseRealMeter(true);
        low.setMeterLevels(0.02, 0.03);
        low.setMeterLevels(0.0, 0.0);
        img = snapshot(low);
        QVERIFY(is(img, meterCell(false, 0), kSegDim));
        QVERIFY(is(img, meterCell(true, 0), kGreen));
    }

    void simulatedMeterMovesThenComesToRest()
    {
        VfdDisplay w;
        w.resize(w.sizeHint());
        int paints = 0;
        QRegion painted;
        struct Counter : QObject
        {
            int* n;
            QRegion* region;
            Counter(int* count, QRegion* r) : n(count), region(r) {}
            bool eventFilter(QObject*, QEvent* e) override
            {
                if (e->type() == QEvent::Paint) {
                    ++*n;
                    *region += static_cast<QPaintEvent*>(e)->region();
                }
                return false;
            }
        } counter(&paints, &painted);
        w.installEventFilter(&counter);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        const auto meterLit = [&w] {
            const QImage img = snapshot(w);
            for (int i = 0; i < 18; ++i)
                if (!is(img, meterCell(false, i), kSegDim) || !is(img, meterCell(true, i), kSegDim))
                    return true;
            return false;
        };
        QVERIFY(!meterLit());
        w.setPlaying(true);
        QTRY_VERIFY_WITH_TIMEOUT(meterLit(), 10000);
        w.setPlaying(false);
        QTRY_VERIFY_WITH_TIMEOUT(!meterLit(), 20000);
        // Below what a cell shows the values still settle for a while; then
        // the timer stops asking for frames.
        const auto quietFor = [&paints](int ms) {
            paints = 0;
            QTest::qWait(ms);
            return paints == 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(quietFor(600), 15000);

        // Real levels that stop coming (a pause): the peak hold still falls
        // on screen, frame by frame, and then the display rests.
        w.setUseRealMeter(true);
        w.setMeterLevels(0.9, 0.9);
        w.setMeterLevels(0.0, 0.0);
        QCoreApplication::processEvents();
        paints = 0;
        QTRY_VERIFY_WITH_TIMEOUT(paints >= 3, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(quietFor(600), 15000);
        QVERIFY(!meterLit());

        // A steady level reported less often than the display ticks (as the
        // engine hands audio over) does not repaint the meter; only the
        // clock changes, once a second.
        w.setMeterLevels(0.6, 0.6);
        QTest::qWait(200);
        paints = 0;
        QElapsedTimer steady;
        steady.start();
        for (int i = 0; i < 8; ++i) {
            QTest::qWait(150);
            w.setMeterLevels(0.6, 0.6);
        }
        QVERIFY2(paints <= steady.elapsed() / 1000 + 1, qPrintable(QString::number(paints)));

        // At rest nothing ticks, and a change is still drawn, at once.
        w.setMeterLevels(0.0, 0.0);
        QTRY_VERIFY_WITH_TIMEOUT(quietFor(600), 15000);
        QVERIFY(!w.findChild<QTimer*>()->isActive());
        painted = QRegion();
        w.setDateTime(QDateTime(QDate(2026, 1, 1), QTime(10, 11, 12)), true);
        QTRY_VERIFY(painted.intersects(QRect(14, 28, 224, 60)));
        QVERIFY(!w.findChild<QTimer*>()->isActive());
        painted = QRegion();
        w.setProgress(30000, 60000);
        QTRY_VERIFY(!painted.isEmpty());
    }

    void textsAreUpperCasedAndPlaceholdersShown()
    {
        // Renderings compared with each other, not with one font's pixels.
        const auto area = [](VfdDisplay& w, const QRect& r) { return snapshot(w).copy(r); };
        const QRect place(264, 26, 184, 28), line1(264, 55, 184, 14), rows(570, 8, 261, 110);

        VfdDisplay a, b;
        a.setWeather(QStringLiteral("Lyon"), QStringLiteral("light rain"), QString());
        b.setWeather(QStringLiteral("LYON"), QStringLiteral("LIGHT RAIN"), QString());
        QCOMPARE(area(a, place), area(b, place));
        QCOMPARE(area(a, line1), area(b, line1));
        QVERIFY(anyNear(snapshot(a), line1, kWhiteAmber));

        a.setWeather(QString(), QString(), QString());
        b.setWeather(QStringLiteral("--"), QString(), QString());
        QCOMPARE(area(a, place), area(b, place));
        QVERIFY(!anyNear(snapshot(a), line1, kWhiteAmber));

        // Empty titles read "-"; a long one is cut before the meter.
        for (auto setter : {&VfdDisplay::setJustPlayed, &VfdDisplay::setNowPlaying, &VfdDisplay::setNextUp}) {
            (a.*setter)(QString());
            (b.*setter)(QStringLiteral("-"));
        }
        QCOMPARE(area(a, rows), area(b, rows));
        a.setNowPlaying(QString(200, QLatin1Char('W')));
        const QImage img = snapshot(a);
        QVERIFY(anyNear(img, QRect(570, 42, 40, 40), kAmber));
        QVERIFY(!anyNear(img, QRect(833, 42, 5, 40), kAmber, 80));
    }
};

OL_TEST_MAIN(TestVfdDisplay)
#include "tst_vfddisplay.moc"
