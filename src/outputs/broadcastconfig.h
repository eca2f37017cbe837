#pragma once

#include <QString>

// Where and how the station's stream goes to the streaming server.
struct BroadcastConfig
{
    QString host = QStringLiteral("localhost");
    int port = 8000;
    QString mount = QStringLiteral("/stream"); // sent as is; carries its own leading slash
    QString username = QStringLiteral("source");
    QString password;
    int sampleRate = 44100;
    int bitrate = 128;                         // kbit/s
    int channels = 2;
    QString name;
    QString genre;
    QString url;
    QString description;
    bool isPublic = false;
    QString inputDevice;                       // capture device description; empty = default input
    bool internalMix = false;                  // stream the engine's on-air buffers instead
};
