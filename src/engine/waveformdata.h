#pragma once

#include <QList>
#include <QString>

// One bucket of a waveform: the extremes of the channel-averaged signal.
struct WaveformPeak
{
    float min = 0.0f;
    float max = 0.0f;
};

// A file's waveform as a fixed number of buckets, with its duration.
struct WaveformData
{
    QList<WaveformPeak> peaks;
    qint64 durationMs = 0;

    static QList<WaveformPeak> reduce(const QList<float>& samples, int channels, int buckets);
    bool load(const QString& path, int buckets);
    int msToBucket(qint64 ms) const;
    qint64 bucketToMs(int bucket) const;
};
