#include "localtimereader.h"

#include <QTimeZone>

namespace {

constexpr int kChanging = 1 << 30;

// The digits of text[from, from + count), or -1.
int number(const QString& text, int from, int count)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

} // namespace

QDateTime LocalTimeReader::read(const QString& iso)
{
    if (iso.size() != 19 || iso.at(4) != u'-' || iso.at(7) != u'-' || iso.at(10) != u'T' || iso.at(13) != u':'
        || iso.at(16) != u':')
        return QDateTime::fromString(iso, Qt::ISODate);
    const QDate date(number(iso, 0, 4), number(iso, 5, 2), number(iso, 8, 2));
    const QTime time(number(iso, 11, 2), number(iso, 14, 2), number(iso, 17, 2));
    if (!date.isValid() || !time.isValid())
        return QDateTime::fromString(iso, Qt::ISODate);
    auto it = m_dayOffsets.constFind(date.toJulianDay());
    if (it == m_dayOffsets.cend()) {
        const int start = QDateTime(date, QTime(0, 0)).offsetFromUtc();
        const int end = QDateTime(date, QTime(23, 59, 59)).offsetFromUtc();
        it = m_dayOffsets.insert(date.toJulianDay(), start == end ? start : kChanging);
    }
    if (*it == kChanging)
        return QDateTime(date, time);
    return QDateTime(date, time, QTimeZone::fromSecondsAheadOfUtc(*it));
}
