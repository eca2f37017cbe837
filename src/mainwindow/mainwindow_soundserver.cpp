// The sound server the players play on: a restart of it is said and shown.
#include "mainwindow.h"

#include "engine/soundserver.h"

#include <QLabel>
#include <QStatusBar>

void MainWindow::watchSoundServer()
{
    if (m_soundServer)
        return;
    m_soundServerLabel = new QLabel(QStringLiteral("Sound server gone: nothing is heard"));
    m_soundServerLabel->setObjectName(QStringLiteral("soundServer"));
    m_soundServerLabel->setStyleSheet(QStringLiteral("color:#c0392b; font-weight:bold;"));
    m_soundServerLabel->hide();
    statusBar()->addPermanentWidget(m_soundServerLabel);
    m_soundServer = new SoundServer(this);
    connect(m_soundServer, &SoundServer::logMessage, this, &MainWindow::appendLog);
    connect(m_soundServer, &SoundServer::answeringChanged, m_soundServerLabel,
            [this](bool answering) { m_soundServerLabel->setVisible(!answering); });
    m_soundServer->start();
}
