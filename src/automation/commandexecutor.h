#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class AudioInput;
class AutomationDesk;
class QTimer;
struct SchedulerCommand;

// Carries out the command language for every source (events, the remote
// API, the relay dialog, the hot keys) on the parts the desk hands over.
class CommandExecutor : public QObject
{
    Q_OBJECT

public:
    explicit CommandExecutor(AutomationDesk& desk, QObject* parent = nullptr);

    // event: the name of the event that runs it, if one does.
    void run(const QString& line, const QString& event = {});

    // Starts an input, switched off again after the seconds given (0: left on).
    void startInputFor(AudioInput* input, qint64 seconds, const QString& what);
    // Seconds as a timer's interval, cut (and logged) to what a timer can wait.
    int timerIntervalMs(qint64 seconds, const QString& what);
    // Called whenever the scheduler is switched, by whoever.
    void schedulerStateChanged();
    void stopTimers();

    bool lineInRelay() const { return m_lineInRelay; }

private:
    using Handler = std::function<void(const SchedulerCommand&)>;
    const QHash<QString, Handler>& table();
    QTimer* offTimerFor(AudioInput* input);
    void switchInput(AudioInput* input, const SchedulerCommand& cmd);
    void switchScheduler(const SchedulerCommand& cmd);
    void switchAutoIntro(const SchedulerCommand& cmd);
    void switchSourceClient(const SchedulerCommand& cmd, bool on);
    void controlArchive(const SchedulerCommand& cmd);
    void loadRandomPlaylist(const SchedulerCommand& cmd);
    void loadPlaylist(const QString& file);
    void startRelayFrom(const SchedulerCommand& cmd);
    void stopRelays();

    AutomationDesk& m_desk;
    QHash<QString, Handler> m_commands;
    QTimer* m_micOff = nullptr;
    QTimer* m_lineOff = nullptr;
    QTimer* m_schedulerResume = nullptr;
    bool m_lineInRelay = false;
    QString m_event; // the event whose command runs now
};
