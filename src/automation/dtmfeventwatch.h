#pragma once

#include <QObject>
#include <QString>

class AutomationDesk;
class CommandExecutor;
class EventReactions;

// Events that wait for a tone sequence: keeps the tone monitor listening
// while one of their windows is open and starts, skips or ends them.
class DtmfEventWatch : public QObject
{
    Q_OBJECT

public:
    DtmfEventWatch(AutomationDesk& desk, CommandExecutor& commands, EventReactions& reactions,
                   QObject* parent = nullptr);

    // Called every few seconds.
    void updateWindow();
    void checkSequence(const QString& sequence);

private:
    AutomationDesk& m_desk;
    CommandExecutor& m_commands;
    EventReactions& m_reactions;
};
