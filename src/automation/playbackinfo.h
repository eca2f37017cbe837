#pragma once

#include <QString>

// What the remote API reports of the playout; filled by whoever answers
// RemoteApi::playbackInfoRequested. Fields it does not reach keep these
// values.
struct PlaybackInfo
{
    QString state = QStringLiteral("stopped"); // "playing" or "stopped"
    QString title;
    QString artist;
    QString album;
    QString file;
    qint64 position = 0; // ms
    qint64 duration = 0; // ms
    int volume = 100;
    QString nextTitle;
    QString nextArtist;
    int playlistCount = 0;
    int currentIndex = -1;
};
