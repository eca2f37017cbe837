// A busy day of the scheduler: 120 000 events, one firing each, about 83 in
// every minute. What one firing costs at the start of a day, once 20 000 and
// once 100 000 have fired that day, on the second and third such day (the
// record of the day before set aside). Also what the whole check of a
// minute costs: its scan of the list does not grow with the firings.
#include "automation/eventscheduler.h"
#include "benchtiming.h"
#include "testhome.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace {

constexpr int kEvents = 120000;
constexpr int kMinutes = 24 * 60;
// Minutes measured from each mark.
constexpr int kSpan = 30;
const int kMarks[] = {0, 20000, 100000};

void print(const char* what, const Spread& s, const char* unit)
{
    std::printf("%-44s median %.2f %s (%.2f-%.2f)\n", what, s.median, unit, s.low, s.high);
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));

    {
        QList<ScheduledEvent> list;
        list.reserve(kEvents);
        for (int i = 0; i < kEvents; ++i) {
            ScheduledEvent e;
            e.name = QStringLiteral("Spot %1").arg(i);
            e.action = QStringLiteral("volume %1").arg(i % 101);
            const int minute = int(qint64(i) * kMinutes / kEvents);
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

    QList<double> firingUs[3], checkMs[3];
    qint64 firedToday = 0;
    const QDate first(2026, 6, 1);
    for (int day = 0; day < 3; ++day) {
        firedToday = 0;
        int markMinute[3] = {-1, -1, -1};
        for (int m = 0; m < kMinutes; ++m) {
            for (int k = 0; k < 3; ++k)
                if (markMinute[k] < 0 && firedToday >= kMarks[k])
                    markMinute[k] = m;
            stamps.clear();
            const qint64 before = clock.nsecsElapsed();
            scheduler.checkNow(QDateTime(first.addDays(day), QTime(m / 60, m % 60)));
            const double wholeMs = double(clock.nsecsElapsed() - before) / 1e6;
            firedToday += stamps.size();
            if (day == 0 || stamps.size() < 2)
                continue;
            for (int k = 0; k < 3; ++k) {
                if (markMinute[k] >= 0 && m < markMinute[k] + kSpan) {
                    firingUs[k] << double(stamps.last() - stamps.first()) / 1000.0 / double(stamps.size() - 1);
                    checkMs[k] << wholeMs;
                }
            }
        }
    }
    std::printf("%s\n", qPrintable(machineLoad()));
    std::printf("events in the list, firings a day:           %d, %lld\n", kEvents, static_cast<long long>(firedToday));
    print("one firing, start of the day:", spreadOf(firingUs[0]), "us");
    print("one firing, after 20 000 that day:", spreadOf(firingUs[1]), "us");
    print("one firing, after 100 000 that day:", spreadOf(firingUs[2]), "us");
    for (int k = 1; k < 3; ++k) {
        QList<double> ratios;
        for (qsizetype i = 0; i < std::min(firingUs[0].size(), firingUs[k].size()); ++i)
            ratios << firingUs[k].at(i) / std::max(1e-3, firingUs[0].at(i));
        const QByteArray what = QStringLiteral("ratio after %1 / start, minute by minute:").arg(kMarks[k]).toLatin1();
        print(what.constData(), spreadOf(ratios), "x");
    }
    print("check of a minute, start of the day:", spreadOf(checkMs[0]), "ms");
    print("check of a minute, after 100 000:", spreadOf(checkMs[2]), "ms");
    std::printf("record of the day on disk:                    %lld bytes\n",
                static_cast<long long>(QFileInfo(QFileInfo(EventScheduler::storagePath()).absolutePath()
                                                 + QStringLiteral("/events.fired"))
                                           .size()));
    return 0;
}
