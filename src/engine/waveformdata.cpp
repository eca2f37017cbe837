#include "engine/waveformdata.h"

#include "engine/audiorender.h"

#include <QCoreApplication>

#include <algorithm>
#include <functional>

namespace {

// Frames reduced between two looks at the event loop while loading: a few
// tens of milliseconds of work.
constexpr qint64 kSliceFrames = qint64(1) << 22;

// reduce(), with between() called after every slice of about kSliceFrames
// frames but the last.
QList<WaveformPeak> reduceInSlices(const QList<float>& samples, int channels, int buckets,
                                   const std::function<void()>& between)
{
    if (samples.isEmpty() || channels <= 0 || buckets <= 0)
        return {};
    const qint64 frames = samples.size() / channels;
    if (frames < 1)
        return {};
    const qint64 n = std::min<qint64>(buckets, frames);
    const qint64 perSlice = std::max<qint64>(1, n * kSliceFrames / frames);
    QList<WaveformPeak> result;
    result.reserve(n);
    const float* s = samples.constData();
    for (qint64 b = 0; b < n; ++b) {
        const qint64 first = b * frames / n;
        const qint64 end = std::min(std::max((b + 1) * frames / n, first + 1), frames);
        WaveformPeak peak;
        for (qint64 f = first; f < end; ++f) {
            float sum = 0.0f;
            for (int c = 0; c < channels; ++c)
                sum += s[f * channels + c];
            const float v = sum / float(channels);
            if (f == first) {
                peak.min = v;
                peak.max = v;
            } else {
                peak.min = std::min(peak.min, v);
                peak.max = std::max(peak.max, v);
            }
        }
        result.append(peak);
        if (between && (b + 1) % perSlice == 0 && b + 1 < n)
            between();
    }
    return result;
}

} // namespace

QList<WaveformPeak> WaveformData::reduce(const QList<float>& samples, int channels, int buckets)
{
    return reduceInSlices(samples, channels, buckets, {});
}

bool WaveformData::load(const QString& path, int buckets)
{
    peaks.clear();
    durationMs = 0;
    if (path.isEmpty())
        return false;
    AudioRender render;
    QList<float> samples;
    int rate = 0;
    int channels = 0;
    if (!render.decodeToFloat(path, samples, rate, channels, 120000) || rate <= 0 || channels <= 0
        || samples.isEmpty())
        return false;
    // The decode already let events in; a long file's reduction does too,
    // so that the window does not stall for the whole pass.
    peaks = reduceInSlices(samples, channels, buckets, [] { QCoreApplication::processEvents(); });
    durationMs = (qint64(samples.size()) / channels) * 1000 / rate;
    return !peaks.isEmpty();
}

int WaveformData::msToBucket(qint64 ms) const
{
    if (durationMs <= 0 || peaks.isEmpty())
        return 0;
    const qint64 count = peaks.size();
    const qint64 b = ms * count / durationMs;
    return int(std::clamp<qint64>(b, 0, count - 1));
}

qint64 WaveformData::bucketToMs(int bucket) const
{
    if (peaks.isEmpty())
        return 0;
    return qint64(bucket) * durationMs / qint64(peaks.size());
}
