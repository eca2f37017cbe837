#include "engine/audiorender.h"

#include "engine/mp3encoder.h"
#include "library/trackparams.h"

#include <QAudioBuffer>
#include <QAudioDecoder>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

namespace {

constexpr int kDecodeTimeoutMs = 120000;
// Frames handed to the encoder or converted for the WAV file per step, so the
// file's bytes never sit in memory beside the whole mix.
constexpr qint64 kWriteBlockFrames = 1 << 18;

QString fileName(const QString& path)
{
    return QFileInfo(path).fileName();
}

void putLe16(char* p, quint16 v)
{
    qToLittleEndian(v, p);
}

void putLe32(char* p, quint32 v)
{
    qToLittleEndian(v, p);
}

QByteArray wavHeader(qint64 dataBytes, int sampleRate, int channels)
{
    QByteArray h(44, '\0');
    char* p = h.data();
    std::memcpy(p, "RIFF", 4);
    putLe32(p + 4, quint32(dataBytes + 36));
    std::memcpy(p + 8, "WAVE", 4);
    std::memcpy(p + 12, "fmt ", 4);
    putLe32(p + 16, 16);
    putLe16(p + 20, 1);
    putLe16(p + 22, quint16(channels));
    putLe32(p + 24, quint32(sampleRate));
    putLe32(p + 28, quint32(sampleRate * channels * 2));
    putLe16(p + 32, quint16(channels * 2));
    putLe16(p + 34, 16);
    std::memcpy(p + 36, "data", 4);
    putLe32(p + 40, quint32(dataBytes));
    return h;
}

qint16 toPcm16(float v)
{
    // NaN passes every comparison below and has no integer value.
    if (std::isnan(v))
        return 0;
    const float s = v * 32767.0f;
    if (s > 32767.0f)
        return 32767;
    if (s <= -32768.0f)
        return -32768;
    return qint16(s);
}

// Writes the mix as 16-bit WAV or, for a name ending in .mp3, as MP3, block
// by block as it is made. The file is written beside the target and replaces
// it only when complete, so a failed render never damages an existing file.
class MixWriter
{
public:
    explicit MixWriter(const QString& path) : m_path(path), m_file(path) {}

    bool open(int sampleRate, int channels, int kbps, QString* error)
    {
        m_rate = sampleRate;
        m_channels = channels;
        if (!m_file.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, m_file.errorString());
            return false;
        }
        m_mp3 = m_path.endsWith(QLatin1String(".mp3"), Qt::CaseInsensitive);
        if (m_mp3 && !m_encoder.open(sampleRate, channels, kbps, Mp3Encoder::F32le)) {
            *error = QStringLiteral("MP3 encoder failed to start: ") + m_encoder.error();
            return fail();
        }
        // The sizes are filled in once the length is known.
        if (!m_mp3 && !writeAll(wavHeader(0, sampleRate, channels)))
            return fail(error);
        return true;
    }

    // Clips the samples to full scale in place and writes them.
    bool write(float* samples, qint64 frames, QString* error)
    {
        const qint64 count = frames * m_channels;
        // std::clamp lets NaN through, and the MP3 encoder aborts on it.
        for (qint64 i = 0; i < count; ++i)
            samples[i] = std::isnan(samples[i]) ? 0.0f : std::clamp(samples[i], -1.0f, 1.0f);
        for (qint64 first = 0; first < frames; first += kWriteBlockFrames) {
            const qint64 n = std::min(kWriteBlockFrames, frames - first);
            if (!(m_mp3 ? encode(samples + first * m_channels, n, error)
                        : writePcm(samples + first * m_channels, n, error)))
                return false;
        }
        return true;
    }

    bool finish(QString* error)
    {
        if (m_mp3) {
            const QByteArray tail = m_encoder.flush();
            m_produced += tail.size();
            if (!writeAll(tail))
                return fail(error);
            if (m_produced == 0) {
                *error = QStringLiteral("MP3 encoder produced no output");
                return fail();
            }
        } else if (!m_file.seek(0) || !writeAll(wavHeader(m_dataBytes, m_rate, m_channels))) {
            return fail(error);
        }
        if (!m_file.commit()) {
            *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, m_file.errorString());
            return false;
        }
        return true;
    }

private:
    bool writeAll(const QByteArray& bytes) { return m_file.write(bytes) == bytes.size(); }

    bool fail(QString* error = nullptr)
    {
        if (error)
            *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, m_file.errorString());
        m_encoder.close();
        m_file.cancelWriting();
        return false;
    }

    bool writePcm(const float* samples, qint64 frames, QString* error)
    {
        const qint64 count = frames * m_channels;
        // The RIFF sizes are 32-bit; a longer mix would be written with sizes
        // that no reader can trust.
        if (m_dataBytes + count * 2 + 36 > qint64(std::numeric_limits<qint32>::max())) {
            *error = QStringLiteral("the mix is too long for a WAV file (more than 2 GB of samples)");
            return fail();
        }
        m_bytes.resize(count * 2);
        char* p = m_bytes.data();
        for (qint64 i = 0; i < count; ++i)
            qToLittleEndian(toPcm16(samples[i]), p + 2 * i);
        m_dataBytes += m_bytes.size();
        return writeAll(m_bytes) || fail(error);
    }

    bool encode(const float* samples, qint64 frames, QString* error)
    {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        const char* data = reinterpret_cast<const char*>(samples);
#else
        m_bytes.resize(frames * m_channels * 4);
        qToLittleEndian<float>(samples, frames * m_channels, m_bytes.data());
        const char* data = m_bytes.constData();
#endif
        const QByteArray out = m_encoder.encode(data, int(frames));
        m_produced += out.size();
        if (!writeAll(out))
            return fail(error);
        if (!m_encoder.isOpen()) {
            *error = QStringLiteral("MP3 encoder stopped responding");
            return fail();
        }
        return true;
    }

    QString m_path;
    QSaveFile m_file;
    Mp3Encoder m_encoder;
    QByteArray m_bytes;
    bool m_mp3 = false;
    int m_rate = 0;
    int m_channels = 0;
    qint64 m_dataBytes = 0;
    qint64 m_produced = 0;
};

qsizetype sampleCount(const QAudioBuffer& buffer)
{
    return qsizetype(buffer.frameCount()) * std::max(buffer.format().channelCount(), 1);
}

// A decoded buffer's samples as floats at full scale +-1.0, written to `dst`
// (room for sampleCount); returns how many, none for a format not read.
qsizetype toFloat(const QAudioBuffer& buffer, float* d)
{
    const qsizetype count = sampleCount(buffer);
    switch (buffer.format().sampleFormat()) {
    case QAudioFormat::Float:
        std::memcpy(d, buffer.constData<float>(), size_t(count) * sizeof(float));
        return count;
    case QAudioFormat::Int16: {
        const qint16* s = buffer.constData<qint16>();
        for (qsizetype i = 0; i < count; ++i)
            d[i] = float(s[i]) * 3.0517578e-05f;
        return count;
    }
    case QAudioFormat::Int32: {
        const qint32* s = buffer.constData<qint32>();
        for (qsizetype i = 0; i < count; ++i)
            d[i] = float(double(s[i]) * 4.656612873077393e-10);
        return count;
    }
    case QAudioFormat::UInt8: {
        const quint8* s = buffer.constData<quint8>();
        for (qsizetype i = 0; i < count; ++i)
            d[i] = float((double(s[i]) - 128.0) * 0.0078125);
        return count;
    }
    default:
        return 0;
    }
}

bool writeMix(QList<float>& mix, int sampleRate, int channels, const QString& path, int kbps, QString* error)
{
    MixWriter writer(path);
    return writer.open(sampleRate, channels, kbps, error) && writer.write(mix.data(), mix.size() / channels, error)
           && writer.finish(error);
}

// Adds n frames of a track at d, the first of them being the track's frame
// `first`: over its first `overlap` frames the track fades in while what
// lies under it fades out.
void addFrames(float* d, const float* s, qint64 n, qint64 first, qint64 overlap, int channels, double gain)
{
    qint64 i = 0;
    for (; i < n && first + i < overlap; ++i) {
        const double theta = (double(first + i) / double(overlap)) * M_PI * 0.5;
        const double in = std::sin(theta);
        const double outGain = std::cos(theta);
        for (int c = 0; c < channels; ++c) {
            const qint64 k = i * channels + c;
            const float incoming = float(double(s[k]) * gain * in);
            d[k] = float(double(incoming) + double(d[k]) * outGain);
        }
    }
    for (; i < n; ++i) {
        for (int c = 0; c < channels; ++c) {
            const qint64 k = i * channels + c;
            d[k] = d[k] + float(double(s[k]) * gain);
        }
    }
}

// The mix made track by track and handed to the writer as soon as no later
// track can reach it: only about one overlap of audio waits in memory.
class StreamedMix
{
public:
    StreamedMix(MixWriter& writer, int channels, qint64 overlapFrames)
        : m_writer(writer), m_channels(channels), m_overlapFrames(overlapFrames)
    {
    }

    void beginTrack(double gain)
    {
        m_fade = m_any ? m_overlapFrames : 0;
        // A track shorter than the overlap does not pull the next one in
        // before its own start.
        m_start = std::max(m_position - m_fade, m_start);
        m_done = 0;
        m_gain = gain;
    }

    bool add(const float* samples, qint64 frames, QString* error)
    {
        if (frames < 1)
            return true;
        const qint64 at = m_start + m_done - m_base;
        if (m_tail.size() < (at + frames) * m_channels)
            m_tail.resize((at + frames) * m_channels, 0.0f);
        addFrames(m_tail.data() + at * m_channels, samples, frames, m_done, m_fade, m_channels, m_gain);
        m_done += frames;
        m_any = true;
        // The next track starts no earlier than this one's end less the
        // overlap, nor before this one.
        return writeBefore(std::max(m_start + m_done - m_overlapFrames, m_start), kWriteBlockFrames, error);
    }

    void endTrack()
    {
        if (m_done > 0)
            m_position = m_start + m_done;
    }

    bool finish(QString* error) { return writeBefore(m_base + m_tail.size() / m_channels, 1, error); }
    bool isEmpty() const { return !m_any; }

private:
    bool writeBefore(qint64 frame, qint64 atLeast, QString* error)
    {
        const qint64 n = frame - m_base;
        if (n < atLeast || n < 1)
            return true;
        if (!m_writer.write(m_tail.data(), n, error))
            return false;
        m_tail.remove(0, n * m_channels);
        m_base += n;
        return true;
    }

    MixWriter& m_writer;
    const int m_channels;
    const qint64 m_overlapFrames;
    QList<float> m_tail; // the mix from frame m_base on
    qint64 m_base = 0;
    qint64 m_position = 0; // end of the last track placed
    qint64 m_start = 0;    // where the current track begins
    qint64 m_done = 0;     // its frames placed so far
    qint64 m_fade = 0;
    double m_gain = 1.0;
    bool m_any = false;
};

} // namespace

AudioRender::AudioRender(QObject* parent) : QObject(parent) {}

AudioRender::~AudioRender()
{
    if (!m_thread)
        return;
    cancel();
    m_thread->wait();
}

bool AudioRender::decodeToFloat(const QString& path, QList<float>& out, int& sampleRate, int& channels,
                                int timeoutMs)
{
    sampleRate = 0;
    channels = 0;
    const bool decoded = decodeEach(path, timeoutMs, [&](const QAudioBuffer& buffer) {
        if (sampleRate == 0) {
            sampleRate = buffer.format().sampleRate();
            channels = std::max(buffer.format().channelCount(), 1);
        }
        // Room grows geometrically; reserving each buffer's exact size would
        // copy the whole list once per buffer.
        const qsizetype old = out.size();
        out.resize(old + sampleCount(buffer));
        out.resize(old + toFloat(buffer, out.data() + old));
    });
    if (!decoded || sampleRate == 0)
        return false;
    return !out.isEmpty();
}

bool AudioRender::decodeEach(const QString& path, int timeoutMs, const Take& take)
{
    QAudioDecoder decoder;
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Float);
    decoder.setAudioFormat(format);
    decoder.setSource(QUrl::fromLocalFile(path));

    QEventLoop loop;
    bool failed = false;
    bool finished = false;
    bool timedOut = false;

    // The decoder prepares its next buffer once this one is read, so the
    // work on it overlaps with decoding.
    connect(&decoder, &QAudioDecoder::bufferReady, &loop, [&] {
        const QAudioBuffer buffer = decoder.read();
        if (buffer.isValid())
            take(buffer);
        if (m_cancelled) {
            failed = true;
            loop.quit();
        }
    });
    connect(&decoder, &QAudioDecoder::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    connect(&decoder, qOverload<QAudioDecoder::Error>(&QAudioDecoder::error), &loop, [&](QAudioDecoder::Error) {
        failed = true;
        loop.quit();
    });

    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    timer.start(timeoutMs);
    failed = m_cancelled;
    if (!failed)
        decoder.start();
    // The decoder may report before the loop runs; a quit then would be lost.
    if (!failed && !finished)
        loop.exec();
    timer.stop();
    // stop() may report finished itself; only an end reached before counts.
    const bool completed = finished;
    decoder.stop();

    if (failed) {
        // A cancelled decode is no fault of the file.
        if (!m_cancelled)
            emit logMessage(QStringLiteral("Could not decode ") + fileName(path));
        return false;
    }
    // A decode cut short is not the file: callers would render or measure
    // part of it as if it were whole.
    if (timedOut && !completed) {
        logTimeOut(path, timeoutMs);
        return false;
    }
    return true;
}

void AudioRender::logTimeOut(const QString& path, int timeoutMs)
{
    emit logMessage(QStringLiteral("Could not decode %1 (timed out after %2 ms)").arg(fileName(path)).arg(timeoutMs));
}

// ffmpeg writes float WAV to its output; the header gives the format, the
// samples follow to the end, each read handed on as one buffer.
AudioRender::Decoded AudioRender::decodeWithFfmpeg(const QString& path, int timeoutMs, const Take& take)
{
    QProcess ffmpeg;
    ffmpeg.setStandardErrorFile(QProcess::nullDevice());
    // "file:" keeps a name with a colon or a leading dash a plain file name.
    ffmpeg.start(Mp3Encoder::ffmpegPath(),
                 {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"),
                  QStringLiteral("file:") + path, QStringLiteral("-map"), QStringLiteral("0:a:0"),
                  QStringLiteral("-c:a"), QStringLiteral("pcm_f32le"), QStringLiteral("-f"), QStringLiteral("wav"),
                  QStringLiteral("-")},
                 QIODevice::ReadOnly);

    QEventLoop loop;
    QAudioFormat format;
    QByteArray pending;
    bool failed = false;
    bool timedOut = false;
    bool started = false;
    // RIFF, its size, WAVE, then chunks up to the samples' "data".
    const auto readHeader = [&] {
        for (qsizetype at = 12; at + 8 <= pending.size();) {
            const QByteArray id = pending.mid(at, 4);
            const qint64 size = qFromLittleEndian<quint32>(pending.constData() + at + 4);
            if (id == "data") {
                pending.remove(0, at + 8);
                started = true;
                failed = !format.isValid();
                return;
            }
            if (id == "fmt ") {
                if (at + 16 > pending.size())
                    return;
                format.setChannelCount(qFromLittleEndian<quint16>(pending.constData() + at + 10));
                format.setSampleRate(int(qFromLittleEndian<quint32>(pending.constData() + at + 12)));
                format.setSampleFormat(QAudioFormat::Float);
            }
            at += 8 + size + (size & 1);
        }
    };
    const auto read = [&] {
        pending += ffmpeg.readAllStandardOutput();
        if (!started)
            readHeader();
        if (!started || failed)
            return;
        const qsizetype whole = pending.size() / format.bytesPerFrame() * format.bytesPerFrame();
        if (whole == 0)
            return;
        take(QAudioBuffer(pending.left(whole), format));
        pending.remove(0, whole);
        if (m_cancelled) {
            failed = true;
            loop.quit();
        }
    };
    connect(&ffmpeg, &QProcess::readyReadStandardOutput, &loop, read);
    connect(&ffmpeg, &QProcess::finished, &loop, [&](int code, QProcess::ExitStatus status) {
        read();
        failed = failed || status != QProcess::NormalExit || code != 0 || !started;
        loop.quit();
    });
    connect(&ffmpeg, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            failed = true;
            loop.quit();
        }
    });
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    timer.start(timeoutMs);
    failed = failed || m_cancelled;
    if (ffmpeg.state() != QProcess::NotRunning && !failed)
        loop.exec();
    if (ffmpeg.state() != QProcess::NotRunning) {
        ffmpeg.disconnect(&loop);
        ffmpeg.kill();
        ffmpeg.waitForFinished();
    }
    if (timedOut)
        return Decoded::TimedOut;
    return failed || ffmpeg.state() != QProcess::NotRunning ? Decoded::Failed : Decoded::Whole;
}

void AudioRender::convertFormat(QList<float>& samples, int fromRate, int fromChannels, int toRate, int toChannels)
{
    if (fromRate < 1 || fromChannels < 1 || toRate < 1 || toChannels < 1 || samples.isEmpty())
        return;

    if (fromChannels != toChannels) {
        const qsizetype frames = samples.size() / fromChannels;
        QList<float> converted(frames * toChannels, 0.0f);
        const float* in = samples.constData();
        float* o = converted.data();
        for (qsizetype f = 0; f < frames; ++f, in += fromChannels, o += toChannels) {
            if (fromChannels == 1) {
                for (int c = 0; c < toChannels; ++c)
                    o[c] = in[0];
            } else if (toChannels == 1) {
                double sum = 0.0;
                for (int c = 0; c < fromChannels; ++c)
                    sum += in[c];
                o[0] = float(sum / fromChannels);
            } else {
                for (int c = 0; c < toChannels; ++c)
                    o[c] = in[std::min(c, fromChannels - 1)];
            }
        }
        samples = std::move(converted);
    }

    if (fromRate == toRate)
        return;
    const int ch = toChannels;
    const qsizetype frames = samples.size() / ch;
    const qint64 newFrames = qint64(double(frames) * toRate / fromRate);
    if (newFrames < 1) {
        samples.clear();
        return;
    }
    const double step = double(frames - 1) / double(std::max<qint64>(newFrames - 1, 1));
    QList<float> resampled(newFrames * ch);
    const float* in = samples.constData();
    float* o = resampled.data();
    for (qint64 i = 0; i < newFrames; ++i) {
        const double p = double(i) * step;
        const qint64 i0 = qint64(p);
        const double t = p - double(i0);
        const qint64 i1 = std::min<qint64>(i0 + 1, frames - 1);
        const float* s0 = in + i0 * ch;
        const float* s1 = in + i1 * ch;
        for (int c = 0; c < ch; ++c) {
            const float diff = s1[c] - s0[c];
            o[i * ch + c] = float(double(s0[c]) + double(diff) * t);
        }
    }
    samples = std::move(resampled);
}

void AudioRender::cancel()
{
    m_cancelled = true;
}

LoudnessAnalysis AudioRender::analyse(const QString& path, int timeoutMs,
                                      const std::function<void(qint64 decodedMs)>& onDecoded)
{
    // Measured while it decodes, from the samples decodeToFloat would give:
    // the whole file never has to be held.
    LoudnessMeter meter;
    int rate = 0;
    int ch = 0;
    qint64 samples = 0;
    QList<float> floats;
    QList<double> pending; // whole frames for the meter; a partial one waits for the next buffer
    const Take measure = [&](const QAudioBuffer& buffer) {
        if (rate == 0) {
            rate = buffer.format().sampleRate();
            ch = std::max(buffer.format().channelCount(), 1);
        }
        floats.resize(sampleCount(buffer));
        const qsizetype n = toFloat(buffer, floats.data());
        samples += n;
        const qsizetype old = pending.size();
        pending.resize(old + n);
        std::copy(floats.cbegin(), floats.cbegin() + n, pending.begin() + old);
        meter.addSamples(pending, ch, rate);
        pending.remove(0, pending.size() / ch * ch);
        if (onDecoded)
            onDecoded(samples / ch * 1000 / rate);
    };
    // ffmpeg hands over the same samples as the framework's decoder, in
    // blocks a hundred times larger; the framework's decoder is what a
    // machine without ffmpeg, or a file that ffmpeg cannot read, gets.
    bool decoded = false;
    switch (Mp3Encoder::available() ? decodeWithFfmpeg(path, timeoutMs, measure) : Decoded::Failed) {
    case Decoded::Whole:
        decoded = true;
        break;
    case Decoded::TimedOut:
        logTimeOut(path, timeoutMs);
        break;
    case Decoded::Failed:
        meter = LoudnessMeter();
        rate = ch = 0;
        samples = 0;
        pending.clear();
        decoded = decodeEach(path, timeoutMs, measure);
        break;
    }

    LoudnessAnalysis result;
    if (!decoded || rate == 0 || samples == 0)
        return result;
    result.integratedLufs = meter.integratedLufs();
    result.peak = meter.peak;
    result.durationMs = (samples / ch) * 1000 / rate;
    result.ok = true;
    return result;
}

double AudioRender::normalise(const QString& path, double targetLufs)
{
    const LoudnessAnalysis a = analyse(path, kDecodeTimeoutMs);
    if (!a.ok || a.integratedLufs <= -70.0) {
        emit logMessage(QStringLiteral("Normalize: could not measure ") + fileName(path));
        return 1.0;
    }
    const double gain =
        LoudnessMeter::limitForPeak(LoudnessMeter::gainForTarget(a.integratedLufs, targetLufs, 12.0), a.peak);
    TrackParams params = TrackParams::load(path);
    params.level = gain;
    TrackParams::save(path, params);
    emit logMessage(QStringLiteral("Normalize: %1  %2 LUFS -> gain %3")
                        .arg(fileName(path))
                        .arg(a.integratedLufs, 0, 'f', 1)
                        .arg(gain, 0, 'f', 3));
    return gain;
}

void AudioRender::mixInto(QList<float>& dst, const QList<float>& src, qint64 offsetFrames, qint64 overlapFrames,
                          int channels, double gain)
{
    if (channels < 1 || src.isEmpty())
        return;
    const qint64 n = src.size() / channels;
    const qint64 needed = (offsetFrames + n) * channels;
    if (dst.size() < needed)
        dst.resize(needed, 0.0f);
    if (n < 1)
        return;
    addFrames(dst.data() + offsetFrames * channels, src.constData(), n, 0, overlapFrames, channels, gain);
}

QList<double> AudioRender::storedLevels(const QList<Track>& tracks)
{
    QList<double> levels;
    levels.reserve(tracks.size());
    for (const Track& track : tracks)
        levels << (track.marker || track.isStream ? 1.0 : TrackParams::load(track.filePath).level);
    return levels;
}

bool AudioRender::renderToFile(const QList<Track>& tracks, const QString& path, int overlapMs, int kbps)
{
    return renderStreamed(tracks, storedLevels(tracks), path, overlapMs, kbps);
}

bool AudioRender::startRender(const QList<Track>& tracks, const QString& path, int overlapMs, int kbps)
{
    if (m_thread)
        return false;
    m_cancelled = false;
    // The stored levels come from the database connection of this thread.
    const QList<double> levels = storedLevels(tracks);
    // The worker uses this object only for its signals, which reach their
    // receivers queued, and for the cancel flag.
    m_thread.reset(QThread::create([this, tracks, levels, path, overlapMs, kbps] {
        m_renderOk = renderStreamed(tracks, levels, path, overlapMs, kbps);
    }));
    connect(m_thread.get(), &QThread::finished, this, [this] {
        m_thread->wait();
        m_thread.reset();
        emit finished(m_renderOk, m_cancelled);
    });
    m_thread->start();
    return true;
}

bool AudioRender::renderInBackground(const QList<Track>& tracks, const QString& path, int overlapMs, int kbps)
{
    bool ok = false;
    QEventLoop loop;
    connect(this, &AudioRender::finished, &loop, [&](bool result) {
        ok = result;
        loop.quit();
    });
    if (startRender(tracks, path, overlapMs, kbps))
        loop.exec();
    return ok;
}

bool AudioRender::renderStreamed(const QList<Track>& tracks, const QList<double>& levels, const QString& path,
                                 int overlapMs, int kbps)
{
    m_failure = QStringLiteral("the playlist is empty");
    if (tracks.isEmpty())
        return false;

    MixWriter writer(path);
    std::optional<StreamedMix> mix;
    int outRate = 0;
    int outChannels = 0;
    int handled = 0;
    QString error;
    bool failed = false;
    const double rows = double(std::max<qsizetype>(tracks.size(), 1));
    QList<float> floats;

    for (qsizetype index = 0; index < tracks.size() && !failed; ++index) {
        const Track& track = tracks.at(index);
        if (track.marker || track.isStream)
            continue;
        const QString name = track.displayName();
        emit progress(int(handled * 100.0 / rows), QStringLiteral("Decoding ") + name);
        if (m_cancelled) {
            error = QStringLiteral("cancelled");
            failed = true;
            break;
        }

        int rate = 0;
        int ch = 0;
        QList<float> whole; // a track at another rate is resampled in one piece
        const auto feed = [&](QList<float>& samples) {
            if (failed || samples.isEmpty())
                return;
            if (ch != outChannels || rate != outRate)
                convertFormat(samples, rate, ch, outRate, outChannels);
            failed = !mix->add(samples.constData(), samples.size() / outChannels, &error);
        };
        const Take take = [&](const QAudioBuffer& buffer) {
            if (failed)
                return;
            if (rate == 0) {
                rate = buffer.format().sampleRate();
                ch = std::max(buffer.format().channelCount(), 1);
                if (!mix) {
                    outRate = std::max(rate, 44100);
                    outChannels = std::max(ch, 2);
                    if (!writer.open(outRate, outChannels, kbps, &error)) {
                        failed = true;
                        return;
                    }
                    mix.emplace(writer, outChannels, overlapMs >= 1 ? qint64(overlapMs) * outRate / 1000 : 0);
                }
                mix->beginTrack(index < levels.size() ? levels.at(index) : 1.0);
            }
            floats.resize(sampleCount(buffer));
            floats.resize(toFloat(buffer, floats.data()));
            if (rate != outRate)
                whole += floats;
            else
                feed(floats);
        };
        const bool decoded = decodeEach(track.filePath, kDecodeTimeoutMs, take);
        if (m_cancelled && !failed) {
            error = QStringLiteral("cancelled");
            failed = true;
        }
        if (failed)
            break;
        if (decoded && (rate != outRate || ch != outChannels)) {
            feed(whole);
            emit logMessage(QStringLiteral("Resampled %1 (%2 Hz/%3ch -> %4 Hz/%5ch)")
                                .arg(name)
                                .arg(rate)
                                .arg(ch)
                                .arg(outRate)
                                .arg(outChannels));
        }
        if (!decoded && rate != 0 && rate == outRate)
            emit logMessage(QStringLiteral("Render: %1 ends where it could no longer be decoded").arg(name));
        if (mix && rate != 0)
            mix->endTrack();
        ++handled;
    }

    if (!failed && (!mix || mix->isEmpty())) {
        error = QStringLiteral("nothing to write");
        failed = true;
    }
    if (!failed) {
        emit progress(95, QStringLiteral("Writing ") + fileName(path));
        failed = !mix->finish(&error) || !writer.finish(&error);
    }
    if (failed) {
        m_failure = error;
        emit logMessage(QStringLiteral("Render: ") + error);
        return false;
    }
    m_failure.clear();
    emit progress(100, QStringLiteral("Done"));
    emit logMessage(QStringLiteral("Render: wrote %1 (%2 tracks)").arg(fileName(path)).arg(handled));
    return true;
}

bool AudioRender::renderClips(const QList<AudioRender::Clip>& clips, const QString& path, int overlapMs, int kbps)
{
    if (clips.isEmpty())
        return false;

    QList<float> mix;
    qint64 position = 0;
    int outRate = 0;
    int outChannels = 0;
    const double count = double(std::max<qsizetype>(clips.size(), 1));

    for (qsizetype index = 0; index < clips.size(); ++index) {
        const Clip& clip = clips[index];
        emit progress(int(index * 100.0 / count), QStringLiteral("Decoding ") + fileName(clip.path));
        QCoreApplication::processEvents();

        QList<float> samples;
        int rate = 0;
        int ch = 0;
        if (!decodeToFloat(clip.path, samples, rate, ch, kDecodeTimeoutMs))
            continue;
        if (outRate == 0) {
            outRate = std::max(rate, 44100);
            outChannels = std::max(ch, 2);
        }
        convertFormat(samples, rate, ch, outRate, outChannels);

        const qint64 total = samples.size() / outChannels;
        const qint64 first = clip.startMs * outRate >= 1000 ? clip.startMs * outRate / 1000 : 0;
        const qint64 end = clip.lengthMs <= 0 ? total : std::min(first + clip.lengthMs * outRate / 1000, total);
        if (first >= end)
            continue;
        const QList<float> stretch = samples.mid(first * outChannels, (end - first) * outChannels);

        const qint64 overlap = (!mix.isEmpty() && overlapMs >= 1) ? qint64(overlapMs) * outRate / 1000 : 0;
        position = std::max<qint64>(position - overlap, 0);
        mixInto(mix, stretch, position, overlap, outChannels, 1.0);
        position += stretch.size() / outChannels;
    }

    if (mix.isEmpty() || outRate == 0) {
        emit logMessage(QStringLiteral("Teaser: nothing to assemble"));
        return false;
    }
    QString error;
    const bool ok = writeMix(mix, outRate, outChannels, path, kbps, &error);
    if (ok)
        emit logMessage(QStringLiteral("Teaser: wrote %1 (%2 elements)").arg(fileName(path)).arg(clips.size()));
    else
        emit logMessage(QStringLiteral("Teaser: ") + error);
    emit progress(100, QStringLiteral("Done"));
    return ok;
}

bool AudioRender::mp3Available()
{
    return Mp3Encoder::available();
}
