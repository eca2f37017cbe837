#pragma once

#include "automation/scheduledevent.h"

#include <QDialog>

class EventScheduler;
class QCheckBox;
class QLabel;
class QTreeWidget;

// The operator's window onto the scheduler's events. It keeps no copy of
// them: row i is the scheduler's event i, and the rows are rebuilt whenever
// the scheduler reports a change. Not modal; "Close" only hides it.
class SchedulerWindow : public QDialog
{
    Q_OBJECT

public:
    SchedulerWindow(EventScheduler* scheduler, QWidget* parent = nullptr);

    int selectedIndex() const;

signals:
    void runRequested(const ScheduledEvent& event);

public slots:
    void refresh();
    void addEvent();
    void editEvent();
    void deleteEvent();
    void runSelected();
    void saveList();
    void loadList();

private:
    EventScheduler* m_scheduler;
    QTreeWidget* m_list = nullptr;
    QCheckBox* m_active = nullptr;
    QCheckBox* m_manual = nullptr;
    QLabel* m_status = nullptr;
};
