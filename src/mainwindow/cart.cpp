#include "cart.h"

QString Cart::titleLine() const
{
    return title.isEmpty() ? QStringLiteral("(empty)") : title;
}

QString Cart::timeLine() const
{
    if (durationMs < 1)
        return QStringLiteral("00:00");
    // Minutes do not wrap: a long bed reads 75:00.
    const qint64 s = durationMs / 1000;
    return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString Cart::colourName() const
{
    return colour.name(QColor::HexRgb);
}
