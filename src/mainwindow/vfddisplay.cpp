#include "mainwindow/vfddisplay.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPaintEvent>
#include <QPainterPath>
#include <QRandomGenerator64>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

const QColor kBg1(6, 9, 12);
const QColor kBg2(12, 17, 20);
const QColor kTeal(60, 210, 196);
const QColor kAmber(255, 158, 30);
const QColor kWhiteAmber(255, 214, 150);
const QColor kAmberDim(60, 32, 6);
const QColor kSegDim(34, 30, 20);
const QColor kFrame(40, 60, 66);
const QColor kSeparator(35, 55, 60);
const QColor kMeterGreen(70, 210, 120);
const QColor kMeterAmber(255, 158, 30);
const QColor kMeterRed(235, 66, 52);

constexpr int kMeterSegments = 18;
constexpr double kPeakFall = 0.012;
constexpr double kMeterRest = 0.01;

// Segments a..g from bit 6 down to bit 0.
constexpr unsigned char kDigitMasks[10] = {0x7E, 0x30, 0x6D, 0x79, 0x33,
                                           0x5B, 0x5F, 0x70, 0x7F, 0x7B};

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

double clamp01(double v)
{
    return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0);
}

QFont sized(const QFont& base, double pointSize, double spacing = 0.0)
{
    QFont f(base);
    f.setPointSizeF(pointSize);
    f.setWeight(QFont::Bold);
    if (spacing > 0.0)
        f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return f;
}

QString twoDigits(long long v)
{
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

void drawSeparator(QPainter& p, double x, double H)
{
    p.setPen(QPen(kSeparator, 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    p.drawLine(QPointF(x, 12), QPointF(x, H - 8));
}

QColor meterColour(int segment)
{
    const double f = double(segment) / kMeterSegments;
    if (f <= 0.62)
        return kMeterGreen;
    if (f <= 0.85)
        return kMeterAmber;
    return kMeterRed;
}

// Peak hold: up to the level at once, otherwise a steady fall.
void followPeak(double level, double& peak)
{
    peak = level > peak ? level : std::max(0.0, peak - kPeakFall);
}

} // namespace

VfdDisplay::VfdDisplay(QWidget* parent)
    : QWidget(parent)
{
    setMinimumHeight(132);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Runs only while the meter moves: at rest it would wake the window
    // eighteen times a second for nothing.
    m_meterTimer = new QTimer(this);
    m_meterTimer->setInterval(55);
    connect(m_meterTimer, &QTimer::timeout, this, &VfdDisplay::tickMeter);
}

QSize VfdDisplay::sizeHint() const
{
    return QSize(940, 132);
}

void VfdDisplay::setDateTime(const QDateTime& now, bool use24Hour)
{
    const QString time = now.toString(use24Hour ? QStringLiteral("H:mm:ss") : QStringLiteral("h:mm:ss"));
    // The date is written out once a day, not with every tick.
    if (now.date() != m_date) {
        m_date = now.date();
        if (const QString date = now.toString(QStringLiteral("ddd d MMM yyyy")).toUpper(); date != m_dateText) {
            m_dateText = date;
            markAllDirty();
        }
    }
    if (time != m_timeText) {
        m_timeText = time;
        markDirty(clockArea());
    }
}

void VfdDisplay::setWeather(const QString& place, const QString& line1, const QString& line2)
{
    m_weatherPlace = place.toUpper();
    m_weatherLine1 = line1.toUpper();
    m_weatherLine2 = line2.toUpper();
    markAllDirty();
}

void VfdDisplay::setJustPlayed(const QString& text)
{
    if (text == m_justPlayed)
        return;
    m_justPlayed = text;
    markAllDirty();
}

void VfdDisplay::setNowPlaying(const QString& text)
{
    if (text == m_nowPlaying)
        return;
    m_nowPlaying = text;
    markAllDirty();
}

void VfdDisplay::setNextUp(const QString& text)
{
    if (text == m_nextUp)
        return;
    m_nextUp = text;
    markAllDirty();
}

void VfdDisplay::setProgress(long long positionMs, long long durationMs)
{
    const double progress = durationMs > 0 ? clamp01(double(positionMs) / double(durationMs)) : 0.0;
    const long long elapsedSecs = std::max(positionMs, 0LL) / 1000;
    const long long remainingSecs = std::max(durationMs - positionMs, 0LL) / 1000;
    // Position reports come twenty times a second; the texts change once a
    // second and the bar only when a cell lights.
    const bool sameCells = litProgressCells(progress) == litProgressCells(m_progress);
    m_progress = progress;
    if (sameCells && elapsedSecs == m_elapsedSecs && remainingSecs == m_remainingSecs)
        return;
    m_elapsedSecs = elapsedSecs;
    m_remainingSecs = remainingSecs;
    const QString elapsedText = twoDigits(elapsedSecs / 60) + QLatin1Char(':') + twoDigits(elapsedSecs % 60);
    const QString remainingText = QLatin1Char('-') + twoDigits(remainingSecs / 60) + QLatin1Char(':')
                                  + twoDigits(remainingSecs % 60);
    if (sameCells && elapsedText == m_elapsedText && remainingText == m_remainingText)
        return;
    m_elapsedText = elapsedText;
    m_remainingText = remainingText;
    markDirty(progressArea());
}

void VfdDisplay::setPlaying(bool playing)
{
    if (playing == m_playing)
        return;
    m_playing = playing;
    markDirty(progressArea());
    wakeMeter();
}

void VfdDisplay::setMeterLevels(double left, double right)
{
    // Shown at the next tick, with whatever arrived until then.
    m_levelL = clamp01(left);
    m_levelR = clamp01(right);
    m_peakL = std::max(m_peakL, m_levelL);
    m_peakR = std::max(m_peakR, m_levelR);
    wakeMeter();
}

void VfdDisplay::setUseRealMeter(bool real)
{
    m_realMeter = real;
    if (!real) {
        m_levelL = 0.0;
        m_levelR = 0.0;
    }
    wakeMeter();
}

void VfdDisplay::wakeMeter()
{
    if (!m_meterTimer->isActive())
        m_meterTimer->start();
}

bool VfdDisplay::meterAtRest() const
{
    // Real levels hold still between reports once the peaks are down to
    // them; the simulation rests once it has fallen silent.
    if (m_realMeter)
        return m_peakL <= m_levelL && m_peakR <= m_levelR;
    return !m_playing && m_levelL <= 0.0 && m_levelR <= 0.0 && m_peakL <= 0.0 && m_peakR <= 0.0;
}

void VfdDisplay::tickMeter()
{
    if (m_realMeter) {
        // Held peaks fall towards the level, not below it: between two
        // reports a steady level would otherwise flicker the peak cell.
        m_peakL = std::max(m_levelL, m_peakL - kPeakFall);
        m_peakR = std::max(m_levelR, m_peakR - kPeakFall);
        flushDirty();
        if (meterAtRest())
            m_meterTimer->stop();
        return;
    }

    if (m_playing) {
        QRandomGenerator64* rng = QRandomGenerator64::global();
        if (rng->bounded(100) < 22)
            m_targetL = 0.35 + 0.62 * rng->generateDouble();
        if (rng->bounded(100) < 22)
            m_targetR = 0.35 + 0.62 * rng->generateDouble();
        m_levelL += 0.35 * (m_targetL - m_levelL) + (0.1 * rng->generateDouble() - 0.05);
        m_levelR += 0.35 * (m_targetR - m_levelR) + (0.1 * rng->generateDouble() - 0.05);
    } else {
        m_targetL = 0.0;
        m_targetR = 0.0;
        // Below the first cell it is silence, and the meter may rest.
        m_levelL = m_levelL < kMeterRest ? 0.0 : 0.8 * m_levelL;
        m_levelR = m_levelR < kMeterRest ? 0.0 : 0.8 * m_levelR;
    }
    m_levelL = clamp01(m_levelL);
    m_levelR = clamp01(m_levelR);
    followPeak(m_levelL, m_peakL);
    followPeak(m_levelR, m_peakR);

    flushDirty();
    if (meterAtRest())
        m_meterTimer->stop();
}

void VfdDisplay::drawGlowText(QPainter& p, const QRectF& rect, int flags, const QString& text,
                              const QColor& colour, const QFont& font)
{
    p.setFont(font);
    QColor glow(colour);
    glow.setAlpha(70);
    p.setPen(glow);
    p.drawText(rect.translated(0.6, 0.6), flags, text);
    p.setPen(colour);
    p.drawText(rect, flags, text);
}

void VfdDisplay::drawSevenSegString(QPainter& p, const QRectF& rect, const QString& text,
                                    double w, double h, const QColor& colour)
{
    double x = rect.x();
    const double y = rect.y();
    const double t = 0.17 * w;
    const double s = (h - 3 * t) / 2;

    QColor halo(colour);
    halo.setAlpha(55);
    p.setPen(Qt::NoPen);

    auto segment = [&p](const QRectF& r, double factor, const QColor& c) {
        const double radius = factor * std::min(r.width(), r.height());
        p.setBrush(c);
        p.drawRoundedRect(r, radius, radius, Qt::AbsoluteSize);
    };

    for (const QChar ch : text) {
        if (ch == QLatin1Char(':')) {
            const double d = 1.4 * t;
            p.setBrush(colour);
            p.drawEllipse(QPointF(x + 0.225 * w, y + 0.35 * h), d / 2, d / 2);
            p.drawEllipse(QPointF(x + 0.225 * w, y + 0.68 * h), d / 2, d / 2);
            x += 0.8 * w;
            continue;
        }

        const int mask = isAsciiDigit(ch) ? kDigitMasks[ch.unicode() - '0'] : 0;
        const QRectF segs[7] = {
            {x + t, y, w - 2 * t, t},                 // a
            {x + w - t, y + t, t, s},                 // b
            {x + w - t, y + 2 * t + s, t, s},         // c
            {x + t, y + h - t, w - 2 * t, t},         // d
            {x, y + 2 * t + s, t, s},                 // e
            {x, y + t, t, s},                         // f
            {x + t, y + t + s, w - 2 * t, t},         // g
        };
        for (int i = 0; i < 7; ++i) {
            const double factor = (i == 0 || i == 3 || i == 6) ? 0.35 : 0.5;
            if (mask & (0x40 >> i)) {
                segment(segs[i].adjusted(-t / 2, -t / 2, t / 2, t / 2), factor, halo);
                segment(segs[i], factor, colour);
            } else {
                segment(segs[i], factor, kAmberDim);
            }
        }
        x += 1.35 * w;
    }
}

void VfdDisplay::drawMeterCaptions(QPainter& p)
{
    const QRectF m = meterFrame();
    const double cw = (m.width() - 8) * 0.5;
    const double yb = m.y() + m.height() - 13;
    drawGlowText(p, QRectF(m.x(), m.y(), m.width(), 11), Qt::AlignHCenter | Qt::AlignTop, QStringLiteral("PEAK"),
                 kTeal, sized(font(), 7.5, 1.0));
    const QFont letterFont = sized(font(), 7);
    drawGlowText(p, QRectF(m.x(), yb + 1, cw, 12), Qt::AlignHCenter, QStringLiteral("L"), kTeal, letterFont);
    drawGlowText(p, QRectF(m.x() + cw + 8, yb + 1, cw, 12), Qt::AlignHCenter, QStringLiteral("R"), kTeal,
                 letterFont);
}

void VfdDisplay::drawMeterCells(QPainter& p, bool lit)
{
    const QRectF m = meterFrame();
    const double cw = (m.width() - 8) * 0.5;
    p.setPen(Qt::NoPen);
    for (const double x : {m.x(), m.x() + cw + 8}) {
        for (int i = 0; i < kMeterSegments; ++i) {
            p.setBrush(lit ? meterColour(i) : kSegDim);
            p.drawRect(QRectF(x, meterCellTop(i), cw, meterCellHeight()));
        }
    }
}

double VfdDisplay::meterCellHeight() const
{
    const QRectF m = meterFrame();
    return (m.height() - 28) / kMeterSegments - 1.5;
}

double VfdDisplay::meterCellTop(int cell) const
{
    const QRectF m = meterFrame();
    const double yb = m.y() + m.height() - 13;
    return yb - (cell + 1) * ((m.height() - 28) / kMeterSegments);
}

// Cells first..last of a column, copied from the lit layer. The cuts fall
// on whole pixels inside the gaps, so no neighbouring cell is touched.
void VfdDisplay::blitLitCells(QPainter& p, int column, int first, int last)
{
    const qreal ratio = devicePixelRatioF();
    const QRectF m = meterFrame();
    const double cw = (m.width() - 8) * 0.5;
    const double x = m.x() + column * (cw + 8);
    const QRect area = meterArea();
    const auto bottomOf = [this](int cell) { return meterCellTop(cell) + meterCellHeight(); };
    const int top = last + 1 >= kMeterSegments ? int(std::floor(area.top() * ratio))
                                               : int(std::ceil(bottomOf(last + 1) * ratio));
    const int bottom = int(std::ceil(bottomOf(first) * ratio));
    const int left = int(std::floor(x * ratio)) - 1;
    const int right = int(std::ceil((x + cw) * ratio)) + 1;
    const QRect device(left, top, right - left, bottom - top);
    p.drawPixmap(QRectF(QPointF(device.topLeft()) / ratio, QSizeF(device.size()) / ratio), m_meterLit,
                 QRectF(device.translated(-(QPointF(area.topLeft()) * ratio).toPoint())));
}

void VfdDisplay::paintMeter(QPainter& p)
{
    const MeterState state = meterState();
    for (int column = 0; column < 2; ++column) {
        const int lit = std::clamp(state[2 * column], 0, kMeterSegments);
        const int peak = std::clamp(state[2 * column + 1], 0, kMeterSegments);
        if (lit > 0)
            blitLitCells(p, column, 0, lit - 1);
        if (peak >= 1 && peak > lit)
            blitLitCells(p, column, peak - 1, peak - 1);
    }
    m_paintedMeter = state;
}

QRect VfdDisplay::clockArea() const
{
    return QRect(8, 20, 238, height() - 40);
}

QRect VfdDisplay::progressArea() const
{
    const double H = height() - 2;
    const double y0 = 0.72 * (H - 12) + 8;
    const double left = titleLeft() - 4;
    return QRectF(left, y0 - 14, width() - 100 - left, 20).toAlignedRect();
}

// The caption column is as wide as its longest caption in this font, so
// the titles and the progress bar start after it.
double VfdDisplay::titleLeft() const
{
    if (m_titleLeft < 0) {
        const QFontMetricsF metrics(sized(font(), 8, 1.4));
        double caption = 96;
        for (const QString& c :
             {QStringLiteral("JUST PLAYED"), QStringLiteral("NOW PLAYING"), QStringLiteral("NEXT UP")})
            caption = std::max(caption, std::ceil(metrics.horizontalAdvance(c)) + 2);
        m_titleLeft = 466 + caption + 8;
    }
    return m_titleLeft;
}

double VfdDisplay::progressBarWidth() const
{
    return width() - 1 - 108 - titleLeft() - 118;
}

int VfdDisplay::progressCells() const
{
    return std::max(10, int(progressBarWidth() * 0.125));
}

int VfdDisplay::litProgressCells(double progress) const
{
    const int n = progressCells();
    int lit = 0;
    while (lit < n && double(lit) / n <= progress)
        ++lit;
    return lit;
}

QRectF VfdDisplay::meterFrame() const
{
    return QRectF(width() - 93, 10, 84, height() - 22);
}

QRect VfdDisplay::meterArea() const
{
    return QRect(width() - 94, 8, 88, height() - 18);
}

VfdDisplay::MeterState VfdDisplay::meterState() const
{
    const auto cells = [](double v) { return int(v * kMeterSegments + 0.5); };
    return {cells(m_levelL), cells(m_peakL), cells(m_levelR), cells(m_peakR)};
}

void VfdDisplay::markDirty(const QRect& area)
{
    m_dirty += area;
    // With the meter at rest no tick comes to show it.
    if (!m_meterTimer->isActive())
        flushDirty();
}

void VfdDisplay::markAllDirty()
{
    m_staticValid = false;
    markDirty(rect());
}

void VfdDisplay::flushDirty()
{
    if (meterState() != m_paintedMeter)
        m_dirty += meterArea();
    if (m_dirty.isEmpty())
        return;
    update(m_dirty);
    m_dirty = QRegion();
}

void VfdDisplay::resizeEvent(QResizeEvent* event)
{
    m_staticValid = false;
    QWidget::resizeEvent(event);
}

void VfdDisplay::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        m_titleLeft = -1;
        markAllDirty();
    }
    QWidget::changeEvent(event);
}

void VfdDisplay::paintEvent(QPaintEvent* event)
{
    // What changes with a text, the size or the font is drawn once into a
    // layer; a tick redraws only the clock, the progress bar and the meter.
    const qreal ratio = devicePixelRatioF();
    if (!m_staticValid || m_static.size() != size() * ratio) {
        m_static = QPixmap(size() * ratio);
        m_static.setDevicePixelRatio(ratio);
        m_static.fill(Qt::transparent);
        {
            QPainter layer(&m_static);
            layer.setRenderHint(QPainter::Antialiasing);
            paintStatic(layer);
        }
        // The meter's cells, dim in the layer and lit in a copy of its area
        // made before they were drawn: a tick only copies the lit ones in.
        const QRect meter = meterArea();
        m_meterLit = m_static.copy(QRectF(QPointF(meter.topLeft()) * ratio, QSizeF(meter.size()) * ratio).toRect());
        m_meterLit.setDevicePixelRatio(ratio);
        for (const bool lit : {false, true}) {
            QPainter cells(lit ? &m_meterLit : &m_static);
            cells.setRenderHint(QPainter::Antialiasing);
            if (lit)
                cells.translate(-QPointF(meter.topLeft()));
            drawMeterCells(cells, lit);
        }
        m_staticValid = true;
    }

    // Each area is tested against the region itself: its bounding rectangle
    // would span the whole panel whenever the clock and the meter change
    // together.
    QPainter p(this);
    const QRegion area = event->region();
    for (const QRect& r : area)
        p.drawPixmap(r, m_static, QRectF(QPointF(r.topLeft()) * ratio, QSizeF(r.size()) * ratio));
    p.setRenderHint(QPainter::Antialiasing);

    const double H = height() - 2;
    const int leftMid = Qt::AlignLeft | Qt::AlignVCenter;

    if (area.intersects(clockArea())) {
        double dh = H - 54;
        double dw = 0.6 * dh;
        const double needed = m_timeText.count(QLatin1Char(':')) * 0.8 * dw
                              + std::count_if(m_timeText.cbegin(), m_timeText.cend(), isAsciiDigit)
                                    * 1.35 * dw;
        if (needed > 224) {
            dw *= 224 / needed;
            dh *= 224 / needed;
        }
        drawSevenSegString(p, QRectF(14, 28, 224, dh), m_timeText, dw, dh, kAmber);
    }

    if (area.intersects(meterArea())) {
        paintMeter(p);
    }

    if (area.intersects(progressArea())) {
        const double B = H - 12;
        const double a = 0.28 * B;
        const double mh = 0.44 * B;
        const double tx = titleLeft();
        const double y0 = a + 8 + mh;
        const double bw = progressBarWidth();
        const int n = progressCells();
        const int lit = m_playing ? litProgressCells(m_progress) : 0;
        const double ps = bw / n;
        p.setPen(Qt::NoPen);
        for (int i = 0; i < n; ++i) {
            p.setBrush(i < lit ? kAmber : kAmberDim);
            p.drawRect(QRectF(tx + 1 + i * ps, y0 - 8, ps - 2, 7));
        }
        const QFont small = sized(font(), 7.5);
        drawGlowText(p, QRectF(tx + 8 + bw, y0 - 13, 56, 17), leftMid, m_elapsedText, kTeal, small);
        drawGlowText(p, QRectF(tx + 60 + bw, y0 - 13, 58, 17), leftMid, m_remainingText, kTeal, small);
    }
}

void VfdDisplay::paintStatic(QPainter& p)
{
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    const double H = height() - 2;
    const double R = width() - 1;
    const int leftMid = Qt::AlignLeft | Qt::AlignVCenter;

    const QFont caption = sized(font(), 8, 1.4);
    const QFont medium = sized(font(), 11);
    const QFont large = sized(font(), 14);
    const QFont dateFont = sized(font(), 8.5);
    const QFont small = sized(font(), 7.5);

    QPainterPath panel;
    panel.addRoundedRect(r, 8, 8);
    QLinearGradient gradient(r.topLeft(), r.bottomLeft());
    gradient.setColorAt(0, kBg1);
    gradient.setColorAt(1, kBg2);
    p.fillPath(panel, gradient);
    p.strokePath(panel, QPen(kFrame, 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));

    drawGlowText(p, QRectF(14, 10, 200, 12), leftMid, QStringLiteral("TIME"), kTeal, caption);

    drawGlowText(p, QRectF(14, H - 24, 224, 14), Qt::AlignLeft, m_dateText, kWhiteAmber, dateFont);
    drawSeparator(p, 250, H);

    drawGlowText(p, QRectF(264, 10, 184, 12), Qt::AlignLeft, QStringLiteral("WEATHER"), kTeal,
                 caption);
    drawGlowText(p, QRectF(264, 26, 184, 28), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                 m_weatherPlace.isEmpty() ? QStringLiteral("--") : m_weatherPlace, kAmber, large);
    if (!m_weatherLine1.isEmpty())
        drawGlowText(p, QRectF(264, 55, 184, 14), Qt::AlignLeft, m_weatherLine1, kWhiteAmber, small);
    if (!m_weatherLine2.isEmpty())
        drawGlowText(p, QRectF(264, H - 24, 184, 14), Qt::AlignLeft, m_weatherLine2, kTeal, small);
    drawSeparator(p, 460, H);

    drawSeparator(p, R - 100, H);
    drawMeterCaptions(p);

    const double B = H - 12;
    const double a = 0.28 * B;
    const double mh = 0.44 * B;
    const double tx = titleLeft();
    const double cap = tx - 8 - 466;
    const double tw = R - 108 - tx;
    auto title = [tw](const QString& text, const QFont& f) {
        return QFontMetrics(f).elidedText(text.isEmpty() ? QStringLiteral("-") : text,
                                          Qt::ElideRight, int(tw));
    };

    drawGlowText(p, QRectF(466, 8, cap, a), leftMid, QStringLiteral("JUST PLAYED"), kTeal, caption);
    drawGlowText(p, QRectF(tx, 8, tw, a), leftMid, title(m_justPlayed, medium), kWhiteAmber, medium);
    drawGlowText(p, QRectF(466, a + 8, cap, mh - 10), leftMid, QStringLiteral("NOW PLAYING"), kTeal,
                 caption);
    drawGlowText(p, QRectF(tx, a + 8, tw, mh - 10), leftMid, title(m_nowPlaying, large), kAmber,
                 large);

    const double y0 = a + 8 + mh;
    drawGlowText(p, QRectF(466, y0, cap, a), leftMid, QStringLiteral("NEXT UP"), kTeal, caption);
    drawGlowText(p, QRectF(tx, y0, tw, a), leftMid, title(m_nextUp, medium), kWhiteAmber, medium);

    drawGlowText(p, QRectF(466, H - 12, 140, 12), leftMid, QStringLiteral("ORCHIDLANTERN"), kTeal,
                 small);
}
