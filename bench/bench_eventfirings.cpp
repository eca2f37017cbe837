// A busy day of the scheduler: 100 000 events, one firing each, about 70 in
// every minute. What one firing costs in the first hour of a day and in its
// last, after some 96 000 firings that day (and the record of the day
// before set aside), on the second and third such day.
#include "automation/eventscheduler.h"
#include "benchtiming.h"
#include "testhome.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    constexpr int kFirings = 100000;
    constexpr int kMinutes = 24 * 60;
    constexpr int kHour = 60;
    {
        QList<ScheduledEvent> list;
        list.reserve(kFirings);
        for (int i = 0; i < kFirings; ++i) {
            ScheduledEvent e;
            e.name = QStringLiteral("Spot %1").arg(i);
            e.action = QStringLiteral("volume %1").arg(i % 101);
            const int minute = int(qint64(i) * kMinutes / kFirings);
            e.time = QTime(minute / 60, minute % 60);
            list << e;
        }
        EventScheduler writer;
        writer.setEvents(list);
    }
    // Loaded from the events file, as the program's scheduler is: its
    // firings are noted where a restart finds them.
    EventScheduler scheduler;
    scheduler.load();
    // Each firing is stamped as it reaches the receiver: the gap between two
    // of one check is what noting and handing out one firing costs.
    QElapsedTimer clock;
    clock.start();
    QList<qint64> stamps;
    QObject::connect(&scheduler, &EventScheduler::fired, [&] { stamps << clock.nsecsElapsed(); });

    QList<double> startUs, endUs;
    qint64 firedToday = 0;
    const QDate first(2026, 6, 1);
    for (int day = 0; day < 3; ++day) {
        firedToday = 0;
        for (int m = 0; m < kMinutes; ++m) {
            stamps.clear();
            scheduler.checkNow(QDateTime(first.addDays(day), QTime(m / 60, m % 60)));
            firedToday += stamps.size();
            if (day == 0 || stamps.size() < 2)
                continue;
            const double perFiringUs = double(stamps.last() - stamps.first()) / 1000.0 / double(stamps.size() - 1);
            if (m < kHour)
                startUs << perFiringUs;
            else if (m >= kMinutes - kHour)
                endUs << perFiringUs;
        }
    }
    const Spread start = spreadOf(startUs);
    const Spread end = spreadOf(endUs);
    QList<double> ratios;
    for (qsizetype i = 0; i < std::min(startUs.size(), endUs.size()); ++i)
        ratios << endUs.at(i) / std::max(1e-3, startUs.at(i));
    const Spread ratio = spreadOf(ratios);
    std::printf("%s\n", qPrintable(machineLoad()));
    std::printf("events in the list, firings a day:      %d, %lld\n", kFirings, static_cast<long long>(firedToday));
    std::printf("one firing, first hour of the day:      median %.2f us (%.2f-%.2f) over %lld minutes\n", start.median,
                start.low, start.high, static_cast<long long>(startUs.size()));
    std::printf("one firing, last hour (after ~%d):   median %.2f us (%.2f-%.2f) over %lld minutes\n",
                kFirings - kFirings / 24, end.median, end.low, end.high, static_cast<long long>(endUs.size()));
    std::printf("last hour / first hour, minute by minute: median %.2f (%.2f-%.2f)\n", ratio.median, ratio.low, ratio.high);
    std::printf("record of the day on disk:              %lld bytes\n",
                static_cast<long long>(QFileInfo(QFileInfo(EventScheduler::storagePath()).absolutePath()
                                                 + QStringLiteral("/events.fired"))
                                           .size()));
    return 0;
}
