#pragma once

#include <QString>

// Passwords of the protected areas, kept only as salted hashes in the
// settings, and whether each area has been unlocked in this run.
class Security
{
public:
    enum Area { Settings = 0, Scheduler = 1 };

    static bool s_unlocked[2];

    static bool isProtected(Area area);
    // An empty password removes the protection. Either way the area
    // counts as unlocked for the rest of the run.
    static void setPassword(Area area, const QString& password);

    // The stored form of a password: lower-case hexadecimal SHA-256 of
    // the salt followed by the UTF-8 bytes; empty for an empty password.
    static QString hashPassword(const QString& password);
    // The settings key that holds the area's hash.
    static QString hashKey(Area area);
};
