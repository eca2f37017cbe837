#pragma once

#include "engine/loudnessmeter.h"
#include "library/track.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QAudioBuffer;
class QThread;

// The offline audio work: whole files decoded to interleaved float samples
// (full scale +-1.0), converted, mixed, measured, normalised and rendered to
// WAV or MP3. Every buffer travels with its sample rate and channel count.
class AudioRender : public QObject
{
    Q_OBJECT

public:
    // One stretch of a file to assemble.
    struct Clip
    {
        QString path;
        qint64 startMs = 0;  // below 1 ms of audio: from the beginning
        qint64 lengthMs = 0; // 0 or less: to the end of the file
    };

    explicit AudioRender(QObject* parent = nullptr);
    // A render still running is cancelled, and its thread waited for.
    ~AudioRender() override;

    bool decodeToFloat(const QString& path, QList<float>& out, int& sampleRate, int& channels, int timeoutMs);
    static void convertFormat(QList<float>& samples, int fromRate, int fromChannels, int toRate, int toChannels);

    // onDecoded, when given, hears how much of the file has been measured.
    LoudnessAnalysis analyse(const QString& path, int timeoutMs,
                             const std::function<void(qint64 decodedMs)>& onDecoded = {});
    // From any thread: a decode in progress stops at its next buffer and
    // fails, and so does every later one.
    void cancel();
    double normalise(const QString& path, double targetLufs);

    static void mixInto(QList<float>& dst, const QList<float>& src, qint64 offsetFrames, qint64 overlapFrames,
                        int channels, double gain);
    // Mixes and writes the rows as it decodes them: memory stays flat
    // whatever the playlist's length.
    bool renderToFile(const QList<Track>& tracks, const QString& path, int overlapMs, int kbps);
    // The same on a thread of its own, returning at once; false when a render
    // of this object is still running. finished() tells the outcome, and
    // every signal arrives on this object's thread.
    bool startRender(const QList<Track>& tracks, const QString& path, int overlapMs, int kbps);
    // startRender, waiting for its end while this thread's events go on.
    bool renderInBackground(const QList<Track>& tracks, const QString& path, int overlapMs, int kbps);
    bool renderClips(const QList<AudioRender::Clip>& clips, const QString& path, int overlapMs, int kbps);
    // Why the last render of a playlist failed, once it has ended.
    QString failure() const { return m_failure; }

    static bool mp3Available();

signals:
    void logMessage(const QString& text);
    void progress(int percent, const QString& text);
    // The end of a render begun by startRender; cancelled says whether
    // cancel() ended it.
    void finished(bool ok, bool cancelled);

private:
    enum class Decoded { Whole, Failed, TimedOut };
    using Take = std::function<void(const QAudioBuffer&)>;

    // Decodes the file, handing each buffer to `take` as it arrives; false
    // when the file could not be decoded to its end (logged).
    bool decodeEach(const QString& path, int timeoutMs, const Take& take);
    // The same through the ffmpeg program, in large blocks; nothing logged.
    Decoded decodeWithFfmpeg(const QString& path, int timeoutMs, const Take& take);
    void logTimeOut(const QString& path, int timeoutMs);
    static QList<double> storedLevels(const QList<Track>& tracks);
    bool renderStreamed(const QList<Track>& tracks, const QList<double>& levels, const QString& path, int overlapMs,
                        int kbps);

    std::atomic_bool m_cancelled{false};
    std::unique_ptr<QThread> m_thread;
    std::atomic_bool m_renderOk{false};
    QString m_failure; // written by the render's thread before it ends
};
