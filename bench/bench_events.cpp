// Start-up with a very large events file: reading 200 000 events and finding
// the next one, as the main window does before it is shown.
#include "automation/eventscheduler.h"
#include "benchtiming.h"
#include "testhome.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <cstdio>

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    constexpr int kEvents = 200000;
    {
        QList<ScheduledEvent> list;
        list.reserve(kEvents);
        for (int i = 0; i < kEvents; ++i) {
            ScheduledEvent e;
            e.name = QStringLiteral("Spot %1").arg(i);
            e.action = QStringLiteral("/ads/spot%1.mp3").arg(i % 50);
            e.time = QTime(i % 24, i % 60, i % 7);
            if (i % 3)
                e.days = {1 + i % 7, 1 + (i + 3) % 7};
            else
                e.date = QDate(2026, 6, 1).addDays(i % 30);
            list << e;
        }
        EventScheduler writer;
        writer.setEvents(list);
    }
    QFile file(EventScheduler::storagePath());
    file.open(QIODevice::ReadOnly);
    const QByteArray text = file.readAll();
    const Stats parse = measure(5, [&] { (void)QJsonDocument::fromJson(text); });
    EventScheduler scheduler;
    const QDateTime from(QDate(2026, 6, 3), QTime(12, 30));
    const Stats load = measure(5, [&] { scheduler.load(); });
    QDateTime when;
    const Stats next = measure(5, [&] { scheduler.nextUpcoming(from, &when); });
    std::printf("events loaded:                  %lld\n", static_cast<long long>(scheduler.events().size()));
    std::printf("of which parsing the JSON text:  median %.0f ms, worst %.0f ms\n", parse.median, parse.worst);
    std::printf("load of events.json:            median %.0f ms, worst %.0f ms\n", load.median, load.worst);
    std::printf("next upcoming over the list:    median %.0f ms, worst %.0f ms\n", next.median, next.worst);
    return 0;
}
