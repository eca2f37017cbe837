#include "mainwindow.h"

#include "automation/dtmfeventwatch.h"

void MainWindow::updateDtmfWindow()
{
    m_dtmfWatch->updateWindow();
}

void MainWindow::checkDtmfEvents(const QString& sequence)
{
    restoreRows();
    m_dtmfWatch->checkSequence(sequence);
}
