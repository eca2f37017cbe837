#include "outputs/silencefeeder.h"

#include <algorithm>

namespace {

constexpr int kTickMs = 100;

} // namespace

SilenceFeeder::SilenceFeeder(QObject* parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SilenceFeeder::tick);
}

void SilenceFeeder::start(int sampleRate, int channels, Sink sink)
{
    m_rate = std::max(sampleRate, 1);
    m_channels = std::max(channels, 1);
    m_sink = std::move(sink);
    m_clock.start();
    m_covered = 0;
    // A fresh encoder has nothing yet: unless audio comes within a tick,
    // silence goes out at once rather than after a whole gap, so that whoever
    // waits for the stream hears it start.
    m_filling = true;
    m_active = true;
    m_timer.start(kTickMs);
}

void SilenceFeeder::stop()
{
    m_active = false;
    m_timer.stop();
    m_sink = nullptr;
}

// While audio flows the timer wakes only when a gap could have begun, not
// every tick.
void SilenceFeeder::aimAtGap()
{
    const qint64 dueFrames = m_covered + qint64(kGapMs) * m_rate / 1000 - nowFrames();
    m_timer.start(int(std::clamp<qint64>(dueFrames * 1000 / m_rate + 1, 10, kGapMs)));
}

qint64 SilenceFeeder::nowFrames() const
{
    return m_clock.nsecsElapsed() / 1000 * m_rate / 1000000;
}

void SilenceFeeder::noteAudio(qint64 pcmBytes)
{
    if (!m_active || m_feeding)
        return;
    // Audio that comes ahead of the clock (a decoder filling its buffers)
    // keeps its lead; audio after a gap starts from now.
    m_covered = std::max(m_covered, nowFrames()) + pcmBytes / (2 * m_channels);
    m_filling = false;
}

void SilenceFeeder::tick()
{
    const qint64 now = nowFrames();
    const qint64 missing = now - m_covered;
    if (!m_filling && missing * 1000 < qint64(kGapMs) * m_rate) {
        aimAtGap();
        return;
    }
    m_filling = true;
    m_covered = now;
    if (missing > 0 && m_sink) {
        // A copy: the sink may stop the feeder, and with it drop m_sink.
        const Sink sink = m_sink;
        m_feeding = true;
        sink(QByteArray(missing * m_channels * 2, '\0'));
        m_feeding = false;
    }
    if (m_active)
        m_timer.start(kTickMs);
}
