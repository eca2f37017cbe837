// What unattended running costs the GUI thread: the scheduler's
// once-a-second check over a large list (an ads schedule of a week) in the
// real window, and one command line through the executor.
#include "automation/eventscheduler.h"
#include "mainwindow/mainwindow.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    MainWindow window;
    auto* scheduler = window.findChild<EventScheduler*>();
    scheduler->setActive(false); // only the checks timed here run

    // 20 spots an hour, every day of the week: 3360 events, ten of them due
    // in the minute 12:00 (commands that change the volume only).
    QList<ScheduledEvent> list;
    for (int hour = 0; hour < 24; ++hour) {
        for (int spot = 0; spot < 20; ++spot) {
            for (int day = 1; day <= 7; ++day) {
                ScheduledEvent e;
                e.name = QStringLiteral("Ad %1-%2-%3").arg(hour).arg(spot).arg(day);
                e.action = hour == 12 && spot < 10 && day == 1 ? QStringLiteral("volume 80") : QStringLiteral("/ads/spot.mp3");
                e.time = QTime(hour, hour == 12 && spot < 10 ? 0 : 3 * spot % 60);
                e.days = {day};
                list << e;
            }
        }
    }
    scheduler->setEvents(list);
    scheduler->setActive(true);

    const QDateTime monday(QDate(2026, 6, 1), QTime(11, 0));
    constexpr int kChecks = 3600;
    QElapsedTimer t;
    t.start();
    for (int s = 0; s < kChecks; ++s)
        scheduler->checkNow(monday.addSecs(s));
    const double quietUs = t.nsecsElapsed() / 1000.0 / kChecks;
    t.restart();
    for (int s = 0; s < 60; ++s)
        scheduler->checkNow(monday.addSecs(3600 + s));
    const double dueMinuteUs = t.nsecsElapsed() / 1000.0;

    constexpr int kCommands = 20000;
    t.restart();
    for (int i = 0; i < kCommands; ++i)
        window.runSchedulerCommand(QStringLiteral("volume %1").arg(i % 101));
    const double commandUs = t.nsecsElapsed() / 1000.0 / kCommands;

    std::printf("events in the list:                 %lld\n", static_cast<long long>(list.size()));
    std::printf("check in a minute with nothing due: %.1f us\n", quietUs);
    std::printf("the 60 checks of a minute firing 10: %.1f us in all\n", dueMinuteUs);
    std::printf("one command line (volume N):         %.1f us\n", commandUs);
    return 0;
}
