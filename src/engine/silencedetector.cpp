#include "silencedetector.h"

#include "library/appsettings.h"

#include <QSettings>

#include <algorithm>

namespace {

constexpr int kMinTimeoutSecs = 1;
constexpr int kMaxTimeoutSecs = 300;

int clampTimeout(int seconds)
{
    return std::clamp(seconds, kMinTimeoutSecs, kMaxTimeoutSecs);
}

double clampThreshold(double level)
{
    // NaN would make every comparison false and count everything as silence.
    if (!(level >= 0.0))
        return 0.0;
    return std::min(level, 1.0);
}

} // namespace

SilenceDetector::SilenceDetector(QObject* parent)
    : QObject(parent)
{
}

SilenceDetector* SilenceDetector::fromSettings(QObject* parent)
{
    auto* detector = new SilenceDetector(parent);
    detector->loadFromSettings();
    return detector;
}

void SilenceDetector::loadFromSettings()
{
    QSettings s;
    m_enabled = Setting::SilenceEnabled.read(s);
    m_timeoutSecs = Setting::SilenceTimeout.readInt();
    m_threshold = Setting::SilenceThreshold.read();
    m_action = actionFromInt(Setting::SilenceAction.readInt());
    m_playlist = Setting::SilencePlaylist.read(s);
    reset();
}

void SilenceDetector::saveToSettings() const
{
    QSettings s;
    Setting::SilenceEnabled.write(s, m_enabled);
    Setting::SilenceTimeout.write(s, m_timeoutSecs);
    Setting::SilenceThreshold.write(s, m_threshold);
    Setting::SilenceAction.write(s, int(m_action));
    Setting::SilencePlaylist.write(s, m_playlist);
}

void SilenceDetector::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    reset();
}

void SilenceDetector::setTimeoutSecs(int seconds)
{
    m_timeoutSecs = clampTimeout(seconds);
    reset();
}

void SilenceDetector::setThreshold(double level)
{
    m_threshold = clampThreshold(level);
}

void SilenceDetector::reset()
{
    m_silentMs = 0;
    m_fired = false;
    m_firedAtMs = 0;
    m_standingDown = false;
}

bool SilenceDetector::feed(double level, int ms)
{
    if (!m_enabled || level > m_threshold) {
        reset();
        return false;
    }
    m_silentMs += std::max(ms, 0);
    if (m_standingDown)
        return false;
    // While the silence lasts, act again after each time-out: one action
    // may land on another row that cannot play.
    if (m_silentMs - m_firedAtMs >= qint64(m_timeoutSecs) * 1000) {
        m_fired = true;
        m_firedAtMs = m_silentMs;
        emit silenceDetected(int(m_action));
        return true;
    }
    return false;
}

QString SilenceDetector::statusText() const
{
    if (!m_enabled)
        return QStringLiteral("Silence detector: Disabled");
    if (m_silentMs < 1)
        return QStringLiteral("Silence detector: On (%1s)").arg(m_timeoutSecs);
    return QStringLiteral("Silence: %1s / %2s").arg(m_silentMs / 1000).arg(m_timeoutSecs);
}

QString SilenceDetector::actionName(Action action)
{
    switch (action) {
    case RepeatPlaylist: return QStringLiteral("Repeat the current playlist");
    case LoadPlaylist: return QStringLiteral("Load an extra playlist");
    case PlayNext: break;
    }
    return QStringLiteral("Play the next track");
}

SilenceDetector::Action SilenceDetector::actionFromInt(int value)
{
    switch (value) {
    case RepeatPlaylist: return RepeatPlaylist;
    case LoadPlaylist: return LoadPlaylist;
    default: return PlayNext;
    }
}
