// Creating 480 ad events at once: 48 spots ticked in 10 blocks of the ads
// scheduler, with "Create Events" clicked, over a list of 2 000 events
// already kept in events.json.
#include "automation/eventscheduler.h"
#include "dialogs/settings/adsschedulerdialog.h"
#include "promptscript.h"
#include "testhome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTimeEdit>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kSpots = 48;
constexpr int kBlocks = 10;
constexpr int kKept = 2000;
constexpr int kRuns = 5;

QPushButton* button(const QWidget& w, const QString& text)
{
    for (QPushButton* b : w.findChildren<QPushButton*>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    TestHome home;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    PromptScript prompts;

    QList<ScheduledEvent> kept;
    for (int i = 0; i < kKept; ++i) {
        ScheduledEvent e;
        e.name = QStringLiteral("Kept %1").arg(i);
        e.action = QStringLiteral("/music/kept%1.mp3").arg(i);
        e.time = QTime(i % 24, i % 60);
        kept << e;
    }
    QStringList spots;
    for (int i = 0; i < kSpots; ++i)
        spots << QStringLiteral("/spots/spot%1.mp3").arg(i, 2, 10, QLatin1Char('0'));

    QList<double> ms;
    qsizetype made = 0;
    for (int run = 0; run < kRuns; ++run) {
        EventScheduler scheduler;
        scheduler.setActive(false);
        scheduler.setEvents(kept);
        AdsSchedulerDialog d(&scheduler);
        prompts.answerFiles(spots);
        button(d, QStringLiteral("Add..."))->click();
        auto* time = d.findChild<QTimeEdit*>();
        for (int b = 2; b < kBlocks; ++b) {
            time->setTime(QTime(12 + b, 30));
            button(d, QStringLiteral("Add"))->click();
        }
        auto* grid = d.findChild<QTableWidget*>();
        for (int r = 0; r < grid->rowCount(); ++r) {
            for (int c = 0; c < grid->columnCount(); ++c)
                grid->item(r, c)->setCheckState(Qt::Checked);
        }
        QElapsedTimer t;
        t.start();
        button(d, QStringLiteral("Create Events \u2192 Scheduler"))->click();
        ms << t.nsecsElapsed() / 1e6;
        made = scheduler.events().size() - kKept;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%lld ad events over %d kept: median %.1f ms, worst %.1f ms; events.json %lld bytes\n",
                static_cast<long long>(made), kKept, ms.at(kRuns / 2), ms.last(),
                static_cast<long long>(QFileInfo(EventScheduler::storagePath()).size()));
    return 0;
}
