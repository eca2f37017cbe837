#pragma once

#include <QDialog>
#include <QList>

class EventScheduler;
class QCheckBox;
class QListWidget;
class QTableWidget;
class QTimeEdit;

// Turns an ad plan into scheduled events: ads by block times in a grid of
// ticks, each tick one event added to the scheduler. The plan itself is not
// kept; once made, the events are ordinary ones.
class AdsSchedulerDialog : public QDialog
{
    Q_OBJECT

public:
    AdsSchedulerDialog(EventScheduler* scheduler, QWidget* parent = nullptr);

public slots:
    void addAds();
    void removeAd();
    void addBlock();
    void removeBlock();
    void rebuildGrid();
    void createEvents();

private:
    EventScheduler* m_scheduler;
    QListWidget* m_ads = nullptr;
    QListWidget* m_blocks = nullptr;
    QTableWidget* m_grid = nullptr;
    QTimeEdit* m_blockTime = nullptr;
    QList<QCheckBox*> m_days; // Monday first
};
