#pragma once

#include "library/appsettings.h"

#include <QString>

// Where and how the station's stream goes to the streaming server.
struct BroadcastConfig
{
    QString host = Setting::BroadcastHost.defaultValue();
    int port = Setting::BroadcastPort.defaultValue();
    QString mount = Setting::BroadcastMount.defaultValue(); // sent as is; carries its own leading slash
    QString username = Setting::BroadcastUsername.defaultValue();
    QString password;
    int sampleRate = int(Setting::BroadcastSampleRate.fallback);
    int bitrate = int(Setting::BroadcastBitrate.fallback); // kbit/s
    int channels = int(Setting::BroadcastChannels.fallback);
    QString name;
    QString genre;
    QString url;
    QString description;
    bool isPublic = false;
    QString inputDevice; // capture device description; empty = default input
    bool internalMix = false; // stream the engine's on-air buffers instead
};
