#pragma once

#include <QString>

#include <functional>

// Application-wide defaults, and the one place numeric settings are read.
class AppSettings
{
public:
    // The initial master volume, 0 to 100.
    static int defaultVolume();

    // A numeric setting of the table in appsettings.cpp, within the range the
    // settings dialog allows. Absent, it is the default; a value outside the
    // range, or no number at all, also gives the default, and one log line
    // names the key.
    static int intValue(const QString& key);
    static double doubleValue(const QString& key);

    // Where those log lines go; until a sink is set they are kept for it.
    static void setLogSink(std::function<void(const QString&)> sink);
};
