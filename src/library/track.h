#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QTime>

// One item that can be listed or played: an audio file, a network stream or
// a command row (STOP, PAUSE ...) of a playlist.
struct Track
{
    QString artist;
    QString title;
    QString album;
    QString genre;
    QString comment;
    QString filePath;          // absolute path, or the address of a stream
    int year = 0;
    qint64 durationMs = 0;     // 0 or less: unknown
    QString category = QStringLiteral("Foreign");
    QStringList extras;
    QTime startTime;           // expected start in its playlist; invalid = none
    bool marker = false;       // a command row
    QString label;             // the command of a command row, as typed
    bool isStream = false;
    bool voiceTrack = false;
    int playCount = 0;
    QDateTime lastPlayed;
    QDateTime dateAdded;
    qint64 streamLimitMs = 0;  // 0 = no limit

    static Track fromFile(const QString& path);
    static bool isStreamUrl(const QString& text);
    static QString formatDuration(qint64 ms);

    QString displayName() const;
};

// Every member is relocatable, so a growing list moves its rows by realloc.
Q_DECLARE_TYPEINFO(Track, Q_RELOCATABLE_TYPE);
Q_DECLARE_METATYPE(Track)
Q_DECLARE_METATYPE(QList<Track>)
