// The window's side of the station's automation: the entries that hand a
// command, a fired event or dead air to it, and what it shows on the desk.
#include "mainwindow.h"

#include "automation/commandexecutor.h"
#include "automation/eventreactions.h"
#include "automation/eventscheduler.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"
#include "outputs/weatherservice.h"

#include <QCheckBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>

// Whatever reaches the station from outside finds the stored rows in.
void MainWindow::runSchedulerCommand(const QString& line)
{
    restoreRows();
    m_commandExecutor->run(line);
}

void MainWindow::onEventFired(const ScheduledEvent& event)
{
    restoreRows();
    m_eventReactions->onEventFired(event);
}

void MainWindow::onSilenceDetected(int action)
{
    restoreRows();
    m_eventReactions->onSilenceDetected(action);
}

void MainWindow::showOnAirPlaylist()
{
    if (const qsizetype i = m_playlists.indexOf(m_onAir); i >= 0)
        setActivePlaylist(int(i));
}

void MainWindow::showVolume(int volume)
{
    if (m_volumeSlider)
        m_volumeSlider->setValue(volume);
}

// The box, the scheduler window (on its own) and the status label all show
// the scheduler's state, whoever switched it.
void MainWindow::showSchedulerState()
{
    if (!m_scheduler)
        return;
    const bool on = m_scheduler->isActive();
    for (auto [box, checked] : {std::pair{m_schedulerOn, on}, std::pair{m_schedulerManual, m_scheduler->isManual()}}) {
        if (box) {
            const QSignalBlocker quiet(box);
            box->setChecked(checked);
        }
    }
    if (m_statusLabel)
        m_statusLabel->setText(on ? QStringLiteral("Scheduler: Enabled") : QStringLiteral("Scheduler: Off"));
}

bool MainWindow::sourceClientActive()
{
    return m_broadcast && (m_broadcast->isStreaming() || m_broadcast->isReconnecting());
}

void MainWindow::stopSourceClient()
{
    if (m_broadcast)
        m_broadcast->stop();
}

void MainWindow::setCastTitle(const QString& title)
{
    if (m_broadcast)
        m_broadcast->updateMetadata(title);
}

void MainWindow::stopArchive()
{
    if (m_archive)
        m_archive->stop();
}

void MainWindow::startArchive(const QString& folder, const QString& namePattern, qint64 stopAfterMs)
{
    if (!m_archive)
        return;
    ArchiveConfig config = StreamArchive::configFromSettings();
    if (!folder.isEmpty())
        config.folder = folder;
    if (!namePattern.isEmpty())
        config.namePattern = namePattern;
    config.stopAfterMs = stopAfterMs;
    m_archive->setConfig(config);
    m_archive->start();
}

void MainWindow::refreshWeather()
{
    if (m_weather)
        m_weather->refresh();
}

void MainWindow::setWeatherCity(const QString& city)
{
    if (m_weather)
        m_weather->setCity(city);
}
