#include "dialogs/settings/adsschedulerdialog.h"

#include "automation/eventscheduler.h"
#include "dialogs/prompts.h"
#include "library/audiofiles.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTimeEdit>
#include <QVBoxLayout>

namespace {

const QString kTitle = QStringLiteral("Ads Scheduler");
const QString kBlockFormat = QStringLiteral("HH:mm");

} // namespace

AdsSchedulerDialog::AdsSchedulerDialog(EventScheduler* scheduler, QWidget* parent)
    : QDialog(parent)
    , m_scheduler(scheduler)
{
    setWindowTitle(kTitle);
    setMinimumSize(760, 520);
    auto* layout = new QVBoxLayout(this);

    auto* intro = new QLabel(QStringLiteral("Add advertisement tracks and the time-of-day blocks they run in, then "
                                            "tick which ad plays in which block. \"Create events\" adds them to "
                                            "the scheduler."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* lists = new QHBoxLayout;
    auto* adsBox = new QGroupBox(QStringLiteral("Advertisements"));
    auto* adsLayout = new QVBoxLayout(adsBox);
    m_ads = new QListWidget;
    auto* adsButtons = new QHBoxLayout;
    auto* addAdsButton = new QPushButton(QStringLiteral("Add..."));
    auto* removeAdButton = new QPushButton(QStringLiteral("Remove"));
    adsButtons->addWidget(addAdsButton);
    adsButtons->addWidget(removeAdButton);
    adsButtons->addStretch();
    adsLayout->addWidget(m_ads, 1);
    adsLayout->addLayout(adsButtons);

    auto* blocksBox = new QGroupBox(QStringLiteral("Ad blocks (times)"));
    auto* blocksLayout = new QVBoxLayout(blocksBox);
    m_blocks = new QListWidget;
    m_blocks->addItems({QStringLiteral("10:20"), QStringLiteral("11:20")});
    auto* blockButtons = new QHBoxLayout;
    m_blockTime = new QTimeEdit(QTime(10, 20));
    m_blockTime->setDisplayFormat(kBlockFormat);
    auto* addBlockButton = new QPushButton(QStringLiteral("Add"));
    auto* removeBlockButton = new QPushButton(QStringLiteral("Remove"));
    blockButtons->addWidget(m_blockTime);
    blockButtons->addWidget(addBlockButton);
    blockButtons->addWidget(removeBlockButton);
    blocksLayout->addWidget(m_blocks, 1);
    blocksLayout->addLayout(blockButtons);
    lists->addWidget(adsBox, 1);
    lists->addWidget(blocksBox, 1);
    layout->addLayout(lists);

    auto* daysBox = new QGroupBox(QStringLiteral("Days"));
    auto* daysLayout = new QHBoxLayout(daysBox);
    static const char* const dayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    for (const char* name : dayNames) {
        auto* box = new QCheckBox(QLatin1String(name));
        box->setChecked(true);
        daysLayout->addWidget(box);
        m_days.append(box);
    }
    layout->addWidget(daysBox);

    layout->addWidget(new QLabel(QStringLiteral("Assignment grid (tick = this ad plays in this block):")));
    m_grid = new QTableWidget;
    m_grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    layout->addWidget(m_grid, 1);

    auto* buttons = new QHBoxLayout;
    auto* createButton = new QPushButton(QStringLiteral("Create Events \u2192 Scheduler"));
    createButton->setDefault(true);
    auto* closeButton = new QPushButton(QStringLiteral("Close"));
    buttons->addStretch();
    buttons->addWidget(createButton);
    buttons->addWidget(closeButton);
    layout->addLayout(buttons);

    connect(addAdsButton, &QPushButton::clicked, this, &AdsSchedulerDialog::addAds);
    connect(removeAdButton, &QPushButton::clicked, this, &AdsSchedulerDialog::removeAd);
    connect(addBlockButton, &QPushButton::clicked, this, &AdsSchedulerDialog::addBlock);
    connect(removeBlockButton, &QPushButton::clicked, this, &AdsSchedulerDialog::removeBlock);
    connect(createButton, &QPushButton::clicked, this, &AdsSchedulerDialog::createEvents);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);

    rebuildGrid();
}

void AdsSchedulerDialog::addAds()
{
    const QStringList paths =
        Prompts::openFileNames(this, QStringLiteral("Add advertisement tracks"), QString(),
                               AudioFiles::dialogFilter(QStringLiteral("Audio")) + QStringLiteral(";;All files (*.*)"));
    for (const QString& path : paths) {
        auto* item = new QListWidgetItem(QFileInfo(path).fileName(), m_ads);
        item->setData(Qt::UserRole, path);
    }
    rebuildGrid();
}

void AdsSchedulerDialog::removeAd()
{
    delete m_ads->takeItem(m_ads->currentRow());
    rebuildGrid();
}

void AdsSchedulerDialog::addBlock()
{
    const QString block = m_blockTime->time().toString(kBlockFormat);
    if (m_blocks->findItems(block, Qt::MatchExactly | Qt::MatchCaseSensitive).isEmpty())
        m_blocks->addItem(block);
    rebuildGrid();
}

void AdsSchedulerDialog::removeBlock()
{
    delete m_blocks->takeItem(m_blocks->currentRow());
    rebuildGrid();
}

void AdsSchedulerDialog::rebuildGrid()
{
    const int rows = m_ads->count();
    const int columns = m_blocks->count();
    m_grid->clear();
    m_grid->setRowCount(rows);
    m_grid->setColumnCount(columns);
    QStringList rowLabels;
    for (int r = 0; r < rows; ++r)
        rowLabels << m_ads->item(r)->text();
    QStringList columnLabels;
    for (int c = 0; c < columns; ++c)
        columnLabels << m_blocks->item(c)->text();
    m_grid->setVerticalHeaderLabels(rowLabels);
    m_grid->setHorizontalHeaderLabels(columnLabels);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            auto* cell = new QTableWidgetItem;
            cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            cell->setCheckState(Qt::Unchecked);
            cell->setTextAlignment(Qt::AlignCenter);
            m_grid->setItem(r, c, cell);
        }
    }
}

void AdsSchedulerDialog::createEvents()
{
    QSet<int> days;
    for (int d = 1; d <= 7; ++d) {
        if (m_days.at(d - 1)->isChecked())
            days.insert(d);
    }
    // Every day is no weekday at all: such an event fires daily.
    if (days.size() == 7)
        days.clear();

    QList<ScheduledEvent> events;
    for (int r = 0; r < m_grid->rowCount(); ++r) {
        for (int c = 0; c < m_grid->columnCount(); ++c) {
            const QTableWidgetItem* cell = m_grid->item(r, c);
            if (!cell || cell->checkState() != Qt::Checked)
                continue;
            const QListWidgetItem* ad = m_ads->item(r);
            ScheduledEvent e;
            e.name = QStringLiteral("Ad: ") + ad->text();
            e.action = ad->data(Qt::UserRole).toString();
            e.time = QTime::fromString(m_blocks->item(c)->text(), kBlockFormat);
            e.days = days;
            events.append(e);
        }
    }
    m_scheduler->addEvents(events);
    const qsizetype count = events.size();
    if (count > 0)
        Prompts::information(this, kTitle,
                             QStringLiteral("Created %1 ad event%2 in the scheduler.")
                                 .arg(count)
                                 .arg(count == 1 ? QString() : QStringLiteral("s")));
    else
        Prompts::information(this, kTitle, QStringLiteral("Tick at least one grid cell to schedule an ad in a block."));
}
