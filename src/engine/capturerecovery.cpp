#include "engine/capturerecovery.h"

#include "engine/soundserver.h"

#include <algorithm>
#include <utility>

CaptureRecovery::CaptureRecovery(QObject* parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CaptureRecovery::tryNow);
}

void CaptureRecovery::lost(const QString& device)
{
    if (!m_lost) {
        m_lost = true;
        m_saidStuck = false;
        m_pauseMs = kFirstTryMs;
        m_lostFor.start();
        m_answering.invalidate();
        emit logMessage(QStringLiteral("the sound server stopped the capture from \"%1\"; capturing again as soon as "
                                       "it answers")
                            .arg(device));
    }
    schedule();
}

void CaptureRecovery::failed(const QAudioDevice& tried)
{
    if (!m_lost)
        return;
    const SoundServer::Answer a = SoundServer::has(tried);
    const bool serverAnswers = a == SoundServer::Answer::Present || a == SoundServer::Answer::Absent;
    if (!serverAnswers)
        m_answering.invalidate();
    else if (!m_answering.isValid())
        m_answering.start();
    if (!m_saidStuck && m_answering.isValid() && m_answering.hasExpired(kStuckMs)) {
        m_saidStuck = true;
        emit logMessage(QStringLiteral("the sound server answers again, but this program's audio cannot reach it; "
                                       "restart the program to capture again"));
    }
    schedule();
}

void CaptureRecovery::back(const QString& device)
{
    m_timer.stop();
    if (!std::exchange(m_lost, false))
        return;
    emit logMessage(QStringLiteral("capturing from \"%1\" again, after %2 s")
                        .arg(device, QString::number(m_lostFor.elapsed() / 1000.0, 'f', 1)));
}

void CaptureRecovery::cancel()
{
    m_timer.stop();
    m_lost = false;
}

void CaptureRecovery::schedule()
{
    m_timer.start(m_pauseMs);
    m_pauseMs = std::min(m_pauseMs * 2, kLastTryMs);
}
