#include "dialogs/settings/schedulerwindow.h"

#include "automation/eventscheduler.h"
#include "dialogs/prompts.h"
#include "dialogs/settings/eventeditordialog.h"

#include <QCheckBox>
#include <QColor>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString kTitle = QStringLiteral("Event Scheduler");
const QString kFilter = QStringLiteral("Orchidlantern events (*.olevents *.json);;All files (*.*)");

QString actionText(const QString& action)
{
    if (action.trimmed().compare(QLatin1String("stop"), Qt::CaseInsensitive) == 0)
        return QStringLiteral(">> STOP <<");
    const QString name = QFileInfo(action).fileName();
    return name.isEmpty() ? action : name;
}

QString insertText(int mode)
{
    switch (mode) {
    case 1:
        return QStringLiteral("Insert at end");
    case 2:
        return QStringLiteral("Replace playlist");
    default:
        return QStringLiteral("Queue next");
    }
}

} // namespace

SchedulerWindow::SchedulerWindow(EventScheduler* scheduler, QWidget* parent)
    : QDialog(parent)
    , m_scheduler(scheduler)
{
    setWindowTitle(kTitle);
    setModal(false);
    setMinimumSize(720, 460);
    auto* layout = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    m_active = new QCheckBox(QStringLiteral("Scheduler On"));
    m_active->setChecked(m_scheduler->isActive());
    m_manual = new QCheckBox(QStringLiteral("Manual (hold events)"));
    m_manual->setChecked(m_scheduler->isManual());
    auto* saveButton = new QPushButton(QStringLiteral("Save List..."));
    auto* loadButton = new QPushButton(QStringLiteral("Load List..."));
    top->addWidget(m_active);
    top->addWidget(m_manual);
    top->addStretch();
    top->addWidget(saveButton);
    top->addWidget(loadButton);
    layout->addLayout(top);

    m_list = new QTreeWidget;
    m_list->setColumnCount(6);
    m_list->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Days"), QStringLiteral("Action"),
                             QStringLiteral("Insert"), QStringLiteral("Name"), QStringLiteral("On")});
    m_list->setRootIsDecorated(false);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setAlternatingRowColors(true);
    m_list->header()->setStretchLastSection(false);
    layout->addWidget(m_list, 1);

    m_status = new QLabel;
    layout->addWidget(m_status);

    auto* bottom = new QHBoxLayout;
    auto* addButton = new QPushButton(QStringLiteral("Add..."));
    auto* editButton = new QPushButton(QStringLiteral("Edit..."));
    auto* deleteButton = new QPushButton(QStringLiteral("Delete"));
    auto* runButton = new QPushButton(QStringLiteral("Run Now"));
    auto* closeButton = new QPushButton(QStringLiteral("Close"));
    bottom->addWidget(addButton);
    bottom->addWidget(editButton);
    bottom->addWidget(deleteButton);
    bottom->addWidget(runButton);
    bottom->addStretch();
    bottom->addWidget(closeButton);
    layout->addLayout(bottom);

    connect(addButton, &QPushButton::clicked, this, &SchedulerWindow::addEvent);
    connect(editButton, &QPushButton::clicked, this, &SchedulerWindow::editEvent);
    connect(deleteButton, &QPushButton::clicked, this, &SchedulerWindow::deleteEvent);
    connect(runButton, &QPushButton::clicked, this, &SchedulerWindow::runSelected);
    connect(saveButton, &QPushButton::clicked, this, &SchedulerWindow::saveList);
    connect(loadButton, &QPushButton::clicked, this, &SchedulerWindow::loadList);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::hide);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &SchedulerWindow::editEvent);
    connect(m_active, &QCheckBox::toggled, m_scheduler, &EventScheduler::setActive);
    connect(m_manual, &QCheckBox::toggled, m_scheduler, &EventScheduler::setManual);
    connect(m_scheduler, &EventScheduler::changed, this, &SchedulerWindow::refresh);
    // The command language and the main window switch the scheduler too.
    connect(m_scheduler, &EventScheduler::stateChanged, this, [this] {
        const QSignalBlocker quietActive(m_active);
        const QSignalBlocker quietManual(m_manual);
        m_active->setChecked(m_scheduler->isActive());
        m_manual->setChecked(m_scheduler->isManual());
    });

    refresh();
}

int SchedulerWindow::selectedIndex() const
{
    QTreeWidgetItem* item = m_list->currentItem();
    return item ? m_list->indexOfTopLevelItem(item) : -1;
}

void SchedulerWindow::refresh()
{
    m_list->clear();
    const QList<ScheduledEvent>& events = m_scheduler->events();
    for (const ScheduledEvent& e : events) {
        auto* item = new QTreeWidgetItem(m_list, {e.time.toString(QStringLiteral("HH:mm")), e.daysString(),
                                                  actionText(e.action), insertText(e.insertMode), e.name,
                                                  e.enabled ? QStringLiteral("Yes") : QStringLiteral("No")});
        if (!e.enabled) {
            for (int c = 0; c < m_list->columnCount(); ++c)
                item->setForeground(c, QColor(150, 150, 150));
        }
    }
    for (int c = 0; c < m_list->columnCount(); ++c)
        m_list->resizeColumnToContents(c);

    const qsizetype n = events.size();
    QString status = QStringLiteral("%1 event%2").arg(n).arg(n == 1 ? QString() : QStringLiteral("s"));
    const QDateTime now = QDateTime::currentDateTime();
    QDateTime when;
    const ScheduledEvent next = m_scheduler->nextUpcoming(now, &when);
    if (when.isValid()) {
        const QString day = when.date() == now.date() ? QStringLiteral("today")
                                                      : QLocale::c().toString(when, QStringLiteral("ddd"));
        status += QStringLiteral("  \u2022  next: %1 %2 at %3")
                      .arg(next.name.isEmpty() ? next.action : next.name, day,
                           when.toString(QStringLiteral("HH:mm")));
    }
    m_status->setText(status);
}

void SchedulerWindow::addEvent()
{
    EventEditorDialog dialog(ScheduledEvent(), this);
    if (Prompts::exec(dialog) != QDialog::Accepted)
        return;
    const ScheduledEvent e = dialog.event();
    if (!e.action.isEmpty())
        m_scheduler->addEvent(e);
}

void SchedulerWindow::editEvent()
{
    const int i = selectedIndex();
    if (i < 0 || i >= m_scheduler->events().size())
        return;
    EventEditorDialog dialog(m_scheduler->events().at(i), this);
    if (Prompts::exec(dialog) == QDialog::Accepted)
        m_scheduler->updateEvent(i, dialog.event());
}

void SchedulerWindow::deleteEvent()
{
    const int i = selectedIndex();
    if (i >= 0)
        m_scheduler->removeEvent(i);
}

void SchedulerWindow::runSelected()
{
    const int i = selectedIndex();
    if (i < 0 || i >= m_scheduler->events().size())
        return;
    // A copy: the receiver may change the list while it runs the event.
    const ScheduledEvent e = m_scheduler->events().at(i);
    emit runRequested(e);
}

void SchedulerWindow::saveList()
{
    QString path = Prompts::saveFileName(this, QStringLiteral("Save event list"), QStringLiteral("events.olevents"),
                                         kFilter);
    if (path.isEmpty())
        return;
    if (!path.contains(QLatin1Char('.')))
        path += QStringLiteral(".olevents");
    if (!m_scheduler->saveToFile(path))
        Prompts::warning(this, kTitle, QStringLiteral("Could not save the event list to %1.").arg(path));
}

void SchedulerWindow::loadList()
{
    const QString path = Prompts::openFileName(this, QStringLiteral("Load event list"), QString(), kFilter);
    if (path.isEmpty())
        return;
    // A file that cannot be read or holds no list of events is refused, and
    // the schedule stays as it is rather than being emptied.
    if (!m_scheduler->loadFromFile(path))
        Prompts::warning(this, kTitle,
                         QStringLiteral("Could not load %1: it cannot be read or holds no list of events. "
                                        "The events are unchanged.")
                             .arg(path));
}
