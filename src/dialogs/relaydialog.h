#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class AudioEngine;
class QLabel;
class QPushButton;

// Starts and stops relaying a network stream or line input 1 on air. The
// buttons run the same commands any other source of commands runs.
class RelayDialog : public QDialog
{
    Q_OBJECT

public:
    // lineInRelay tells whether line input 1 is relayed now; runCommand
    // runs one command line.
    RelayDialog(AudioEngine* engine, std::function<bool()> lineInRelay,
                std::function<void(const QString&)> runCommand, QWidget* parent = nullptr);

private:
    void refresh();
    void run(const QString& command);

    AudioEngine* m_engine;
    std::function<bool()> m_lineInRelay;
    std::function<void(const QString&)> m_runCommand;
    QLabel* m_status = nullptr;
    QPushButton* m_stop = nullptr;
};
