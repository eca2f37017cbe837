#pragma once

// Application-wide defaults.
class AppSettings
{
public:
    // The initial master volume, 0 to 100.
    static int defaultVolume();
};
