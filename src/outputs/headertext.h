#pragma once

#include <QString>

// Text from file tags or settings that goes into a request line, a header
// or a metadata update: control characters (CR and LF above all) would let it
// split the message, so each run of them becomes one blank.
class HeaderText
{
public:
    static QString clean(const QString& text);
};
