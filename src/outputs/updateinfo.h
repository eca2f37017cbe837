#pragma once

#include <QMetaType>
#include <QString>

// What the update service offers, as the update checker read it.
struct UpdateInfo
{
    QString latestVersion;
    QString notes;
    QString downloadUrl;
    QString releaseDate;
    QString notesUrl;
    QString minSupportedVersion;
    bool critical = false;
};

Q_DECLARE_METATYPE(UpdateInfo)
