#include "dialogs/settings/eventeditordialog.h"

#include "dialogs/prompts.h"
#include "library/audiofiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimeEdit>
#include <QVBoxLayout>

EventEditorDialog::EventEditorDialog(const ScheduledEvent& event, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Scheduled Event"));
    setMinimumWidth(460);
    auto* layout = new QVBoxLayout(this);

    auto* actionBox = new QGroupBox(QStringLiteral("Action"));
    auto* actionGrid = new QGridLayout(actionBox);
    m_name = new QLineEdit(event.name);
    m_name->setPlaceholderText(QStringLiteral("optional label"));
    m_action = new QLineEdit(event.action);
    m_action->setPlaceholderText(QStringLiteral("file, stream URL, or the command  stop"));
    auto* browseButton = new QPushButton(QStringLiteral("Browse..."));
    actionGrid->addWidget(new QLabel(QStringLiteral("Task name:")), 0, 0);
    actionGrid->addWidget(m_name, 0, 1, 1, 2);
    actionGrid->addWidget(new QLabel(QStringLiteral("Play / command:")), 1, 0);
    actionGrid->addWidget(m_action, 1, 1);
    actionGrid->addWidget(browseButton, 1, 2);
    layout->addWidget(actionBox);

    auto* timeBox = new QGroupBox(QStringLiteral("Time and days"));
    auto* timeGrid = new QGridLayout(timeBox);
    // An event fires in the minute of its time: seconds are not offered.
    m_time = new QTimeEdit(event.time.isValid() ? event.time : QTime(8, 0));
    m_time->setDisplayFormat(QStringLiteral("HH:mm"));
    auto* dayRow = new QHBoxLayout;
    static const char* const dayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    for (int d = 1; d <= 7; ++d) {
        auto* box = new QCheckBox(QLatin1String(dayNames[d - 1]));
        box->setChecked(event.days.contains(d));
        dayRow->addWidget(box);
        m_days.append(box);
    }
    m_once = new QCheckBox(QStringLiteral("Run once on date:"));
    m_once->setChecked(event.date.isValid());
    m_date = new QDateEdit(event.date.isValid() ? event.date : QDate::currentDate());
    m_date->setCalendarPopup(true);
    m_date->setDisplayFormat(QStringLiteral("d MMM yyyy"));
    m_date->setEnabled(m_once->isChecked());
    connect(m_once, &QCheckBox::toggled, m_date, &QWidget::setEnabled);
    timeGrid->addWidget(new QLabel(QStringLiteral("Time:")), 0, 0);
    timeGrid->addWidget(m_time, 0, 1, Qt::AlignLeft);
    timeGrid->addWidget(new QLabel(QStringLiteral("Days:")), 1, 0);
    timeGrid->addLayout(dayRow, 1, 1, 1, 3);
    timeGrid->addWidget(m_once, 2, 0);
    timeGrid->addWidget(m_date, 2, 1, Qt::AlignLeft);
    timeGrid->addWidget(new QLabel(QStringLiteral("(leave days empty for a one-off; empty days + no date = daily)")),
                        3, 0, 1, 4);
    layout->addWidget(timeBox);

    auto* firesBox = new QGroupBox(QStringLiteral("When it fires"));
    auto* firesGrid = new QGridLayout(firesBox);
    m_insertMode = new QComboBox;
    m_insertMode->addItems({QStringLiteral("Queue after current track"), QStringLiteral("Insert at end of playlist"),
                            QStringLiteral("Replace playlist")});
    // A mode no entry stands for (a hand-edited file) would leave the list
    // without a current entry and come back as -1; it is shown and kept as 0.
    m_insertMode->setCurrentIndex(event.insertMode >= 0 && event.insertMode < m_insertMode->count() ? event.insertMode
                                                                                                      : 0);
    m_startPlayback = new QCheckBox(QStringLiteral("Start playing immediately"));
    m_startPlayback->setChecked(event.startPlayback);
    m_enabled = new QCheckBox(QStringLiteral("Event enabled"));
    m_enabled->setChecked(event.enabled);
    firesGrid->addWidget(new QLabel(QStringLiteral("Insert:")), 0, 0);
    firesGrid->addWidget(m_insertMode, 0, 1);
    firesGrid->addWidget(m_startPlayback, 1, 0, 1, 2);
    firesGrid->addWidget(m_enabled, 2, 0, 1, 2);
    layout->addWidget(firesBox);

    auto* dtmfBox = new QGroupBox(QStringLiteral("Start by DTMF signal"));
    auto* dtmfGrid = new QGridLayout(dtmfBox);
    m_dtmfStart = new QLineEdit(event.dtmfStart);
    m_dtmfStart->setPlaceholderText(QStringLiteral("e.g. 764C, 1D56  (blank = no DTMF)"));
    m_dtmfStart->setToolTip(QStringLiteral(
        "The event starts when any of these sequences is heard. Set the source in Settings > DTMF."));
    m_dtmfEnd = new QLineEdit(event.dtmfEnd);
    m_dtmfEnd->setPlaceholderText(QStringLiteral("optional"));
    m_dtmfOnly = new QCheckBox(QStringLiteral("DTMF Only - do not start if no tone is heard"));
    m_dtmfOnly->setChecked(event.dtmfOnly);
    dtmfGrid->addWidget(new QLabel(QStringLiteral("Start DTMF:")), 0, 0);
    dtmfGrid->addWidget(m_dtmfStart, 0, 1);
    dtmfGrid->addWidget(new QLabel(QStringLiteral("End DTMF:")), 1, 0);
    dtmfGrid->addWidget(m_dtmfEnd, 1, 1);
    dtmfGrid->addWidget(m_dtmfOnly, 2, 0, 1, 2);
    layout->addWidget(dtmfBox);

    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    connect(browseButton, &QPushButton::clicked, this, &EventEditorDialog::browse);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

ScheduledEvent EventEditorDialog::event() const
{
    ScheduledEvent e;
    e.name = m_name->text().trimmed();
    e.action = m_action->text().trimmed();
    e.time = QTime(m_time->time().hour(), m_time->time().minute());
    for (int d = 1; d <= 7; ++d) {
        if (m_days.at(d - 1)->isChecked())
            e.days.insert(d);
    }
    if (m_once->isChecked())
        e.date = m_date->date();
    e.insertMode = m_insertMode->currentIndex();
    e.startPlayback = m_startPlayback->isChecked();
    e.enabled = m_enabled->isChecked();
    e.dtmfStart = m_dtmfStart->text().trimmed();
    e.dtmfEnd = m_dtmfEnd->text().trimmed();
    e.dtmfOnly = m_dtmfOnly->isChecked();
    return e;
}

void EventEditorDialog::browse()
{
    const QString path = Prompts::openFileName(
        this, QStringLiteral("Choose file or playlist"), QString(),
        AudioFiles::dialogFilter(QStringLiteral("Audio/playlists"), {QStringLiteral("*.m3u"), QStringLiteral("*.m3u8")})
            + QStringLiteral(";;All files (*.*)"));
    if (!path.isEmpty())
        m_action->setText(path);
}
