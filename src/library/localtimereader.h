#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

// Reads the local times the database keeps as ISO 8601 text
// ("2024-05-01T14:03:09"), many at a time. Asking the system's zone rules
// for each value costs tens of microseconds where TZ is unset, seconds over
// a year of plays; a day's offset from UTC is looked up once instead, and
// the values get that offset. Days on which the offset changes, and text of
// any other form, are read the ordinary way.
class LocalTimeReader
{
public:
    QDateTime read(const QString& iso);

private:
    QHash<qint64, int> m_dayOffsets; // Julian day to seconds ahead of UTC, or kChanging
};
