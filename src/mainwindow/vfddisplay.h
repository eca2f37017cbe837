#pragma once

#include <QDateTime>
#include <QPixmap>
#include <QRegion>
#include <QString>
#include <QWidget>

#include <array>

class QPainter;
class QTimer;

// The vacuum-fluorescent look-alike across the top of the main window:
// clock, weather, the three titles with progress, and a stereo peak meter.
// Passive: the window pushes every value in; the only own activity is the
// meter's animation, which simulates levels until real ones are fed. While
// the meter moves, changes are shown at its tick, repainting only the parts
// that changed; at rest it does not tick and a change is shown at once.
class VfdDisplay : public QWidget
{
    Q_OBJECT

public:
    explicit VfdDisplay(QWidget* parent = nullptr);

    QSize sizeHint() const override;

    QString timeText() const { return m_timeText; }
    QString dateText() const { return m_dateText; }
    QString elapsedText() const { return m_elapsedText; }
    QString remainingText() const { return m_remainingText; }
    QString justPlayedText() const { return m_justPlayed; }
    QString nowPlayingText() const { return m_nowPlaying; }
    QString nextUpText() const { return m_nextUp; }
    double progress() const { return m_progress; }

public slots:
    void setDateTime(const QDateTime& now, bool use24Hour);
    void setWeather(const QString& place, const QString& line1, const QString& line2);
    void setJustPlayed(const QString& text);
    void setNowPlaying(const QString& text);
    void setNextUp(const QString& text);
    void setProgress(long long positionMs, long long durationMs);
    void setPlaying(bool playing);
    void setMeterLevels(double left, double right);
    void setUseRealMeter(bool real);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    using MeterState = std::array<int, 4>; // lit and peak cells, left then right

    void tickMeter();
    void wakeMeter();
    bool meterAtRest() const;
    void paintStatic(QPainter& p);
    void markDirty(const QRect& area);
    void markAllDirty();
    void flushDirty();
    QRect clockArea() const;
    QRect progressArea() const;
    double titleLeft() const;
    double progressBarWidth() const;
    int progressCells() const;
    int litProgressCells(double progress) const;
    QRectF meterFrame() const;
    QRect meterArea() const;
    MeterState meterState() const;
    void drawSevenSegString(QPainter& p, const QRectF& rect, const QString& text,
                            double w, double h, const QColor& colour);
    void drawGlowText(QPainter& p, const QRectF& rect, int flags, const QString& text,
                      const QColor& colour, const QFont& font);
    void drawMeterCaptions(QPainter& p);
    void drawMeterCells(QPainter& p, bool lit);
    double meterCellHeight() const;
    double meterCellTop(int cell) const;
    void blitLitCells(QPainter& p, int column, int first, int last);
    void paintMeter(QPainter& p);

    QString m_timeText = QStringLiteral("0:00:00");
    QString m_dateText;
    QDate m_date;
    QString m_weatherPlace = QStringLiteral("--");
    QString m_weatherLine1;
    QString m_weatherLine2;
    QString m_justPlayed = QStringLiteral("-");
    QString m_nowPlaying = QStringLiteral("-");
    QString m_nextUp = QStringLiteral("-");
    QString m_elapsedText = QStringLiteral("00:00");
    QString m_remainingText = QStringLiteral("-00:00");
    double m_progress = 0.0;
    long long m_elapsedSecs = 0;
    long long m_remainingSecs = 0;
    bool m_playing = false;
    QTimer* m_meterTimer = nullptr;
    double m_levelL = 0.0;
    double m_levelR = 0.0;
    double m_peakL = 0.0;
    double m_peakR = 0.0;
    double m_targetL = 0.0;
    double m_targetR = 0.0;
    bool m_realMeter = false;
    QPixmap m_static;           // the panel with its texts, without clock, progress and meter
    mutable double m_titleLeft = -1; // depends on the font only
    QPixmap m_meterLit;         // the meter's area with every cell lit
    bool m_staticValid = false;
    QRegion m_dirty;            // repainted at the next tick
    MeterState m_paintedMeter{};
};
