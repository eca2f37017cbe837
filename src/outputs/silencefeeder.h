#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

// Keeps an output's encoder fed while no audio comes (a pause, a stop, a
// gap between rows): a streaming server drops a source that sends nothing
// for its time-out, and a recording would lose the length of the pause.
// Audio and silence together follow the wall clock: silence fills only
// time that no audio has covered, so nothing runs twice when audio resumes.
class SilenceFeeder : public QObject
{
    Q_OBJECT

public:
    explicit SilenceFeeder(QObject* parent = nullptr);

    using Sink = std::function<void(const QByteArray& pcm)>;
    // Feeds 16-bit PCM of this format to sink from now on.
    void start(int sampleRate, int channels, Sink sink);
    void stop();
    bool isActive() const { return m_active; }
    // Audio of this many bytes (in the started format) went to the encoder.
    void noteAudio(qint64 pcmBytes);

    // Silence starts once audio has been missing this long (from the start,
    // within a tick).
    static constexpr int kGapMs = 400;

private:
    void tick();
    void aimAtGap();
    qint64 nowFrames() const;

    QTimer m_timer;
    QElapsedTimer m_clock;
    Sink m_sink;
    int m_rate = 44100;
    int m_channels = 2;
    qint64 m_covered = 0; // frames of clock time the encoder has material for
    bool m_filling = false;
    bool m_active = false;
    bool m_feeding = false; // the silence itself is on its way to the sink
};
