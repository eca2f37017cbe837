#pragma once

#include <QObject>
#include <QString>

#include <functional>

class AutomationDesk;
class CommandExecutor;
struct ScheduledEvent;

// Events that wait for a tone sequence: keeps the tone monitor listening
// while one of their windows is open, on the days the event has, and
// starts, skips or ends them.
class DtmfEventWatch : public QObject
{
    Q_OBJECT

public:
    // How an event is started: the road a timed event takes.
    using Start = std::function<void(const ScheduledEvent&)>;

    DtmfEventWatch(AutomationDesk& desk, CommandExecutor& commands, Start start, QObject* parent = nullptr);

    // Called every few seconds.
    void updateWindow();
    void checkSequence(const QString& sequence);

private:
    AutomationDesk& m_desk;
    CommandExecutor& m_commands;
    Start m_start;
};
