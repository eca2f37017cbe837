#pragma once

#include <QString>

// The playback state reported to remote clients; the main window fills it.
struct PlaybackInfo
{
    QString state = QStringLiteral("stopped");
    QString title;
    QString artist;
    QString album;
    QString file;
    qint64 position = 0;
    qint64 duration = 0;
    int volume = 100;
    QString nextTitle;
    QString nextArtist;
    int playlistCount = 0;
    int currentIndex = -1;
};
