#pragma once

#include "engine/waveformdata.h"

#include <QColor>
#include <QMap>
#include <QString>
#include <QWidget>

// A file's waveform drawn as one bar per pixel column, with named coloured
// marks, a playhead and a time selection dragged with the mouse. It never
// decodes: the owner loads the peaks and hands them over.
class WaveformView : public QWidget
{
    Q_OBJECT

public:
    struct Mark
    {
        qint64 ms = 0;
        QColor colour;
    };

    explicit WaveformView(QWidget* parent = nullptr);

    QSize sizeHint() const override;

    void setData(const WaveformData& data);
    void clear();
    void clearMarks();
    // A time below 1 ms removes the mark of that name.
    void setMark(const QString& name, qint64 ms, const QColor& colour);
    void setSelection(qint64 a, qint64 b);
    void clearSelection();
    void setPlayheadMs(qint64 ms);

    qint64 xToMs(int x) const;
    int msToX(qint64 ms) const;

    const WaveformData& data() const { return m_data; }
    const QMap<QString, Mark>& marks() const { return m_marks; }
    qint64 selectionStart() const { return m_selectionStart; }
    qint64 selectionEnd() const { return m_selectionEnd; }
    qint64 playheadMs() const { return m_playheadMs; }

signals:
    void selectionChanged(qint64 startMs, qint64 endMs);
    void positionClicked(qint64 ms);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    qint64 msAt(const QMouseEvent* event) const;
    void select(qint64 a, qint64 b);

    WaveformData m_data;
    QMap<QString, Mark> m_marks; // painted in name order
    qint64 m_selectionStart = 0;
    qint64 m_selectionEnd = 0;
    qint64 m_playheadMs = -1;
    bool m_pressed = false;
    qint64 m_pressMs = 0;
};
