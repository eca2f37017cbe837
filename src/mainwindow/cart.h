#pragma once

#include <QColor>
#include <QJsonObject>
#include <QString>

// One button of a cart wall: the file it fires and the face it shows.
struct Cart
{
    QString label; // slot label on the first line; never stored
    QString title;
    QString path;  // empty: nothing assigned
    qint64 durationMs = 0; // kept and stored, never measured
    QColor colour;

    // The button's second and third lines.
    QString titleLine() const;
    QString timeLine() const;
    // "#rrggbb", as stored and as the style sheet takes it.
    QString colourName() const;

    // As stored in the settings, and applied back over this cart; a colour
    // that does not parse keeps the cart's own.
    QJsonObject toJson(int slot) const;
    void restore(const QJsonObject& o);
};
