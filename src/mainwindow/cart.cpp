#include "cart.h"

#include <cmath>

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

QJsonObject Cart::toJson(int slot) const
{
    return QJsonObject{{QStringLiteral("slot"), slot},
                       {QStringLiteral("title"), title},
                       {QStringLiteral("path"), path},
                       {QStringLiteral("dur"), double(durationMs)},
                       {QStringLiteral("color"), colourName()}};
}

void Cart::restore(const QJsonObject& o)
{
    title = o.value(QStringLiteral("title")).toString();
    path = o.value(QStringLiteral("path")).toString();
    // A stored length beyond any sound (or below zero) would not convert.
    const double dur = o.value(QStringLiteral("dur")).toDouble(0);
    durationMs = dur > 0 && dur < 1e15 ? qint64(std::floor(dur)) : 0;
    const QString name = o.value(QStringLiteral("color")).toString();
    const QColor parsed = QColor::fromString(name);
    if (!name.isEmpty() && parsed.isValid())
        colour = parsed;
}
