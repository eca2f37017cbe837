#include "mainwindow/vfddisplay.h"
#include "olmain.h"

#include <QImage>
#include <QPainter>

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

QColor at(const QImage& img, double x, double y)
{
    return img.pixelColor(int(x), int(y));
}

// Whether any pixel of the area is within reach of the colour.
bool anyNear(const QImage& img, const QRect& area, QColor want, int tolerance = 40)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (near(img.pixelColor(x, y), want, tolerance))
                return true;
    return false;
}

// Where the clock's digit cells fall at the size hint, including the shrink
// that makes the text fit 224 pixels.
struct ClockGeometry
{
    double w, h, t, s;
    QList<double> cellX; // left edge of every character
    explicit ClockGeometry(const QString& text)
    {
        h = 130 - 54;
        w = 0.6 * h;
        const double needed = text.count(':') * 0.8 * w + (text.size() - text.count(':')) * 1.35 * w;
        if (needed > 224) {
            w *= 224 / needed;
            h *= 224 / needed;
        }
        t = 0.17 * w;
        s = (h - 3 * t) / 2;
        double x = 14;
        for (QChar c : text) {
            cellX << x;
            x += c == ':' ? 0.8 * w : 1.35 * w;
        }
    }
    // Centre of segment 'a'..'g' of character i.
    QPointF centre(int i, char seg) const
    {
        const double x = cellX[i], y = 28;
        switch (seg) {
        case 'a': return {x + w / 2, y + t / 2};
        case 'b': return {x + w - t / 2, y + t + s / 2};
        case 'c': return {x + w - t / 2, y + 2 * t + 1.5 * s};
        case 'd': return {x + w / 2, y + h - t / 2};
        case 'e': return {x + t / 2, y + 2 * t + 1.5 * s};
        case 'f': return {x + t / 2, y + t + s / 2};
        default: return {x + w / 2, y + t + s + t / 2};
        }
    }
};

// Meter cell centre at the size hint: left column from x 847, right from 893.
QPointF meterCell(bool right, int i)
{
    const double q = (107.0 - 25.0) / 18;
    return {right ? 912.0 : 866.0, 107 - (i + 1) * q + (q - 1.5) / 2};
}

QPointF progressCell(int i)
{
    const double B = 118, y0 = 0.28 * B + 8 + 0.44 * B;
    return {571 + i * (143.0 / 17) + 3, y0 - 4.5};
}

} // namespace

class TestVfdDisplay : public QObject
{
    Q_OBJECT

private slots:
    void clockDrawsLitAndDimSegmentsWithHalo()
    {
        VfdDisplay w;
        w.setDateTime(QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7)), true);
        QCOMPARE(w.timeText(), QStringLiteral("9:05:07"));
        QCOMPARE(w.dateText(), QStringLiteral("TUE 8 DEC 2026"));
        w.setDateTime(QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7)), false);
        QCOMPARE(w.timeText(), QStringLiteral("9:05:07"));

        // Six digits must shrink to fit; the last one still lands where the
        // fitted geometry says.
        w.setDateTime(QDateTime(QDate(2026, 12, 8), QTime(12, 34, 56)), true);
        const QImage img = snapshot(w);
        const ClockGeometry g(w.timeText());
        QVERIFY(g.cellX.last() + g.w <= 14 + 224 + 0.5);

        auto segmentIs = [&](int i, char seg, QColor want) {
            const QPointF c = g.centre(i, seg);
            return near(at(img, c.x(), c.y()), want);
        };
        // '1' (index 0): only b and c lit.
        for (char seg : {'b', 'c'})
            QVERIFY(segmentIs(0, seg, kAmber));
        for (char seg : {'a', 'd', 'e', 'f', 'g'})
            QVERIFY(segmentIs(0, seg, kAmberDim));
        // '5' (index 6): a, c, d, f, g lit; b and e dim.
        for (char seg : {'a', 'c', 'd', 'f', 'g'})
            QVERIFY(segmentIs(6, seg, kAmber));
        for (char seg : {'b', 'e'})
            QVERIFY(segmentIs(6, seg, kAmberDim));
        // '6' (index 7) is the last digit: e lit, b dim.
        QVERIFY(segmentIs(7, 'e', kAmber));
        QVERIFY(segmentIs(7, 'b', kAmberDim));

        // A lit segment glows beyond its edge, a dim one does not.
        const QPointF litF = g.centre(6, 'f'), dimE = g.centre(6, 'e');
        const QColor halo = at(img, litF.x() - 0.75 * g.t, litF.y());
        const QColor none = at(img, dimE.x() - 0.75 * g.t, dimE.y());
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

        // Not playing: every segment dim whatever the progress.
        QImage img = snapshot(w);
        for (int i = 0; i < 17; ++i)
            QVERIFY(near(at(img, progressCell(i).x(), progressCell(i).y()), kAmberDim));

        // 0.339 of 17 segments: 0..5 lit (i/n <= progress), 6 on dim.
        w.setPlaying(true);
        img = snapshot(w);
        for (int i = 0; i < 17; ++i)
            QVERIFY2(near(at(img, progressCell(i).x(), progressCell(i).y()), i <= 5 ? kAmber : kAmberDim),
                     qPrintable(QString::number(i)));

        w.setProgress(0, 180000);
        img = snapshot(w);
        QVERIFY(near(at(img, progressCell(0).x(), progressCell(0).y()), kAmber));
        QVERIFY(near(at(img, progressCell(1).x(), progressCell(1).y()), kAmberDim));

        w.setProgress(-500, 0);
        QCOMPARE(w.elapsedText(), QStringLiteral("00:00"));
        QCOMPARE(w.remainingText(), QStringLiteral("-00:00"));
        QCOMPARE(w.progress(), 0.0);

        w.setProgress(200000, 180000);
        QCOMPARE(w.progress(), 1.0);
        QCOMPARE(w.remainingText(), QStringLiteral("-00:00"));
        w.setProgress(6000000, 7000000);
        QCOMPARE(w.elapsedText(), QStringLiteral("100:00"));
        QCOMPARE(w.remainingText(), QStringLiteral("-16:40"));
    }

    void realMeterClampsAndHoldsPeaks()
    {
        VfdDisplay w;
        w.setUseRealMeter(true);
        w.setMeterLevels(1.7, -0.2);
        QImage img = snapshot(w);
        for (int i = 0; i < 18; ++i) {
            const QColor want = i <= 11 ? kGreen : i <= 15 ? kAmber : kRed;
            QVERIFY2(near(at(img, meterCell(false, i).x(), meterCell(false, i).y()), want),
                     qPrintable(QString::number(i)));
            QVERIFY(near(at(img, meterCell(true, i).x(), meterCell(true, i).y()), kSegDim));
        }

        // Half scale lights the nine lowest; the full-scale peak stays on top.
        w.setMeterLevels(0.5, std::nan(""));
        img = snapshot(w);
        QVERIFY(near(at(img, meterCell(false, 8).x(), meterCell(false, 8).y()), kGreen));
        for (int i = 9; i < 17; ++i)
            QVERIFY(near(at(img, meterCell(false, i).x(), meterCell(false, i).y()), kSegDim));
        QVERIFY(near(at(img, meterCell(false, 17).x(), meterCell(false, 17).y()), kRed));
        QVERIFY(near(at(img, meterCell(true, 0).x(), meterCell(true, 0).y()), kSegDim));

        // A peak below half a cell shows nothing, just above it the lowest cell.
        VfdDisplay low;
        low.setUseRealMeter(true);
        low.setMeterLevels(0.02, 0.03);
        low.setMeterLevels(0.0, 0.0);
        img = snapshot(low);
        QVERIFY(near(at(img, meterCell(false, 0).x(), meterCell(false, 0).y()), kSegDim));
        QVERIFY(near(at(img, meterCell(true, 0).x(), meterCell(true, 0).y()), kGreen));
    }

    void simulatedMeterMovesThenComesToRest()
    {
        VfdDisplay w;
        w.resize(w.sizeHint());
        int paints = 0;
        struct Counter : QObject
        {
            int* n;
            explicit Counter(int* count) : n(count) {}
            bool eventFilter(QObject*, QEvent* e) override
            {
                if (e->type() == QEvent::Paint)
                    ++*n;
                return false;
            }
        } counter(&paints);
        w.installEventFilter(&counter);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        auto meterLit = [&w] {
            const QImage img = snapshot(w);
            for (int i = 0; i < 18; ++i)
                for (bool right : {false, true})
                    if (!near(at(img, meterCell(right, i).x(), meterCell(right, i).y()), kSegDim))
                        return true;
            return false;
        };
        QVERIFY(!meterLit());
        w.setPlaying(true);
        QTRY_VERIFY_WITH_TIMEOUT(meterLit(), 10000);

        w.setPlaying(false);
        QTRY_VERIFY_WITH_TIMEOUT(!meterLit(), 20000);
        // Below what a cell shows, level and peaks still settle for a while;
        // once at rest the timer stops asking for frames.
        auto quietFor = [&paints](int ms) {
            paints = 0;
            QTest::qWait(ms);
            return paints == 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(quietFor(600), 15000);
    }

    void textsAreUpperCasedAndPlaceholdersShown()
    {
        // Compare renderings rather than pixels of a particular font.
        auto area = [](VfdDisplay& w, const QRect& r) { return snapshot(w).copy(r); };
        const QRect place(264, 26, 184, 28), line1(264, 55, 184, 14), line2(264, 130 - 24, 184, 14);

        VfdDisplay a, b;
        a.setWeather(QStringLiteral("Lyon"), QStringLiteral("light rain"), QString());
        b.setWeather(QStringLiteral("LYON"), QStringLiteral("LIGHT RAIN"), QStringLiteral("x"));
        QCOMPARE(area(a, place), area(b, place));
        QCOMPARE(area(a, line1), area(b, line1));
        QVERIFY(anyNear(snapshot(a), line1, kWhiteAmber));
        QVERIFY(!anyNear(snapshot(a), line2, QColor(60, 210, 196)));

        a.setWeather(QString(), QString(), QString());
        b.setWeather(QStringLiteral("--"), QString(), QString());
        QCOMPARE(area(a, place), area(b, place));
        QVERIFY(!anyNear(snapshot(a), line1, kWhiteAmber));

        // Empty titles read "-"; a long one is cut before the meter.
        const QRect rows(570, 8, 261, 110);
        a.setJustPlayed(QString());
        a.setNowPlaying(QString());
        a.setNextUp(QString());
        b.setJustPlayed(QStringLiteral("-"));
        b.setNowPlaying(QStringLiteral("-"));
        b.setNextUp(QStringLiteral("-"));
        QCOMPARE(area(a, rows), area(b, rows));

        a.setNowPlaying(QString(200, QLatin1Char('W')));
        const QImage img = snapshot(a);
        QVERIFY(anyNear(img, QRect(570, 42, 40, 40), kAmber));
        QVERIFY(!anyNear(img, QRect(833, 42, 5, 40), kAmber, 80));
    }
};

OL_TEST_MAIN(TestVfdDisplay)
#include "tst_vfddisplay.moc"
