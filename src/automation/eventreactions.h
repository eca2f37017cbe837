#pragma once

#include <QObject>

class AutomationDesk;
class CommandExecutor;
struct ScheduledEvent;
struct Track;

// What the station does when an event fires and when the air goes dead.
class EventReactions : public QObject
{
    Q_OBJECT

public:
    EventReactions(AutomationDesk& desk, CommandExecutor& commands, QObject* parent = nullptr);

    void onEventFired(const ScheduledEvent& event);
    void onSilenceDetected(int action);

private:
    void insertEventRow(const ScheduledEvent& event, const Track& row);

    AutomationDesk& m_desk;
    CommandExecutor& m_commands;
};
