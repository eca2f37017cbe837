#pragma once

#include "library/track.h"

#include <QObject>

// Keeps the now-playing file for the main window. A file that cannot be
// written is told to the log once, and again once it is written again, not
// at every track.
class NowPlayingWriter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Reads the settings afresh, so that a change takes effect at the next
    // track; true when the file was replaced.
    bool update(const Track& track, const QString& overrideText);

signals:
    void logMessage(const QString& text);

private:
    bool m_failing = false;
};
