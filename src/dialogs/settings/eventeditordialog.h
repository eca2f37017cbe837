#pragma once

#include "automation/scheduledevent.h"

#include <QDialog>
#include <QList>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;
class QTimeEdit;

// Edits one scheduled event: what it plays or runs, when, how its item
// enters the playlist and its DTMF sequences. It never changes the event it
// was given; the caller takes the result from event() after OK.
class EventEditorDialog : public QDialog
{
    Q_OBJECT

public:
    explicit EventEditorDialog(const ScheduledEvent& event, QWidget* parent = nullptr);

    ScheduledEvent event() const;

private:
    void browse();

    QLineEdit* m_name = nullptr;
    QLineEdit* m_action = nullptr;
    QTimeEdit* m_time = nullptr;
    QList<QCheckBox*> m_days; // Monday first, as QDate::dayOfWeek counts
    QCheckBox* m_once = nullptr;
    QDateEdit* m_date = nullptr;
    QComboBox* m_insertMode = nullptr;
    QCheckBox* m_startPlayback = nullptr;
    QCheckBox* m_enabled = nullptr;
    QLineEdit* m_dtmfStart = nullptr;
    QLineEdit* m_dtmfEnd = nullptr;
    QCheckBox* m_dtmfOnly = nullptr;
};
