#include "dialogs/library/waveformview.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {

const QColor kBackground(24, 28, 34);
const QColor kEmptyText(120, 128, 138);
const QColor kSelection(70, 110, 160, 110);
const QColor kCentreLine(60, 68, 78);
const QColor kBars(120, 200, 140);
const QColor kPlayhead(240, 240, 240);

// A release closer to the press than this, in audio, is a click.
constexpr qint64 kClickMs = 40;

} // namespace

WaveformView::WaveformView(QWidget* parent) : QWidget(parent)
{
    setMinimumHeight(90);
    setCursor(Qt::IBeamCursor);
    setAutoFillBackground(false);
}

QSize WaveformView::sizeHint() const
{
    return {480, 110};
}

void WaveformView::setData(const WaveformData& data)
{
    m_data = data;
    m_playheadMs = -1;
    m_selectionStart = 0;
    m_selectionEnd = 0;
    update();
}

void WaveformView::clear()
{
    m_data = WaveformData();
    m_marks.clear();
    m_playheadMs = -1;
    m_selectionStart = 0;
    m_selectionEnd = 0;
    update();
}

void WaveformView::clearMarks()
{
    m_marks.clear();
    update();
}

void WaveformView::setMark(const QString& name, qint64 ms, const QColor& colour)
{
    if (ms < 1)
        m_marks.remove(name);
    else
        m_marks.insert(name, {ms, colour});
    update();
}

void WaveformView::setSelection(qint64 a, qint64 b)
{
    select(a, b);
    update();
}

void WaveformView::clearSelection()
{
    select(0, 0);
    update();
}

void WaveformView::setPlayheadMs(qint64 ms)
{
    m_playheadMs = ms;
    update();
}

qint64 WaveformView::xToMs(int x) const
{
    const qint64 w = width();
    const qint64 d = m_data.durationMs;
    if (w <= 0 || d <= 0)
        return 0;
    return std::clamp<qint64>(qint64(x) * d / w, 0, d);
}

int WaveformView::msToX(qint64 ms) const
{
    const qint64 d = m_data.durationMs;
    if (d <= 0)
        return 0;
    return int(qint64(width()) * ms / d);
}

qint64 WaveformView::msAt(const QMouseEvent* event) const
{
    return xToMs(int(event->position().x()));
}

void WaveformView::select(qint64 a, qint64 b)
{
    m_selectionStart = std::min(a, b);
    m_selectionEnd = std::max(a, b);
}

void WaveformView::mousePressEvent(QMouseEvent* event)
{
    if (m_data.peaks.isEmpty())
        return;
    m_pressed = true;
    m_pressMs = msAt(event);
    select(m_pressMs, m_pressMs);
    update();
}

void WaveformView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_pressed)
        return;
    select(m_pressMs, msAt(event));
    update();
}

void WaveformView::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_pressed)
        return;
    m_pressed = false;
    const qint64 ms = msAt(event);
    if (qAbs(ms - m_pressMs) < kClickMs) {
        select(0, 0);
        update();
        emit positionClicked(ms);
        return;
    }
    select(m_pressMs, ms);
    update();
    emit selectionChanged(m_selectionStart, m_selectionEnd);
}

void WaveformView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    const int w = width();
    const int h = height();
    p.fillRect(rect(), kBackground);

    if (m_data.peaks.isEmpty()) {
        p.setPen(kEmptyText);
        p.drawText(rect(), Qt::AlignCenter, QStringLiteral("No audio loaded"));
        return;
    }
    const int mid = h / 2;

    if (m_selectionStart < m_selectionEnd) {
        const int x1 = msToX(m_selectionStart);
        const int x2 = msToX(m_selectionEnd);
        p.fillRect(x1, 0, std::max(x2 - x1, 1), h, kSelection);
    }

    p.setPen(QPen(kCentreLine, 1));
    p.drawLine(0, mid, w, mid);

    // With fewer peaks than columns a bucket repeats; with more, buckets are
    // skipped rather than merged, which the owner avoids by reducing first.
    const qint64 count = m_data.peaks.size();
    const float a = float(h / 2 - 2);
    QList<QLine> bars;
    bars.reserve(w);
    for (int x = 0; x < w; ++x) {
        const qint64 i = qint64(x) * count / w;
        if (i < 0 || i >= count)
            continue;
        const WaveformPeak& peak = m_data.peaks.at(i);
        bars.append(QLine(x, mid - int(peak.max * a), x, mid - int(peak.min * a)));
    }
    p.setPen(QPen(kBars, 1));
    p.drawLines(bars);

    const QFontMetrics fm = fontMetrics();
    const int baseline = fm.ascent() + 2;
    for (auto it = m_marks.cbegin(); it != m_marks.cend(); ++it) {
        const int x = msToX(it->ms);
        p.setPen(QPen(it->colour, 2, Qt::SolidLine));
        p.drawLine(x, 0, x, h);
        const int textWidth = fm.horizontalAdvance(it.key());
        const int left = (x + 3 + textWidth > w) ? x - 3 - textWidth : x + 3;
        p.setPen(QPen(it->colour, 1));
        p.drawText(left, baseline, it.key());
    }

    if (m_playheadMs >= 0) {
        const int x = msToX(m_playheadMs);
        p.setPen(QPen(kPlayhead, 1));
        p.drawLine(x, 0, x, h);
    }
}
