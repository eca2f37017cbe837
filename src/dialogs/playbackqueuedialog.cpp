#include "dialogs/playbackqueuedialog.h"

#include "engine/playlistmodel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Each item keeps its own place in the queue: the list skips entries
// whose row is gone, so list positions are no queue positions.
constexpr int kQueueIndexRole = Qt::UserRole + 1;

} // namespace

PlaybackQueueDialog::PlaybackQueueDialog(PlaylistModel* playlist, QWidget* parent)
    : QDialog(parent)
    , m_playlist(playlist)
{
    setWindowTitle(QStringLiteral("Playback queue"));
    setMinimumSize(460, 320);
    auto* layout = new QVBoxLayout(this);
    auto* note = new QLabel(QStringLiteral(
        "Tracks play in this order before the rest of the playlist. The playlist itself is not reordered."));
    note->setWordWrap(true);
    layout->addWidget(note);
    m_list = new QListWidget;
    m_list->setObjectName(QStringLiteral("queue"));
    layout->addWidget(m_list, 1);
    auto* buttons = new QHBoxLayout;
    auto* up = new QPushButton(QStringLiteral("Move up"));
    auto* down = new QPushButton(QStringLiteral("Move down"));
    auto* remove = new QPushButton(QStringLiteral("Remove"));
    auto* clear = new QPushButton(QStringLiteral("Clear"));
    auto* close = new QPushButton(QStringLiteral("Close"));
    close->setDefault(true);
    for (QPushButton* b : {up, down, remove, clear})
        buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);

    connect(up, &QPushButton::clicked, this, [this] { move(-1); });
    connect(down, &QPushButton::clicked, this, [this] { move(1); });
    connect(remove, &QPushButton::clicked, this, [this] {
        const QListWidgetItem* item = m_list->currentItem();
        if (!item || !item->data(Qt::UserRole).isValid())
            return;
        m_playlist->removeFromQueue(item->data(Qt::UserRole).toInt());
        refill();
    });
    connect(clear, &QPushButton::clicked, this, [this] {
        m_playlist->clearQueue();
        refill();
    });
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    refill();
}

void PlaybackQueueDialog::refill(int currentQueueIndex)
{
    m_list->clear();
    const QList<int> queue = m_playlist->queue();
    for (int i = 0; i < queue.size(); ++i) {
        const int row = queue.at(i);
        if (row < 0 || row >= m_playlist->rowCount())
            continue;
        auto* item = new QListWidgetItem(
            QStringLiteral("%1.  %2").arg(i + 1).arg(m_playlist->tracks().at(row).displayName()), m_list);
        item->setData(Qt::UserRole, row);
        item->setData(kQueueIndexRole, i);
        if (i == currentQueueIndex)
            m_list->setCurrentItem(item);
    }
    if (queue.isEmpty())
        m_list->addItem(QStringLiteral("(queue is empty)"));
}

int PlaybackQueueDialog::currentQueueIndex() const
{
    const QListWidgetItem* item = m_list->currentItem();
    return item && item->data(kQueueIndexRole).isValid() ? item->data(kQueueIndexRole).toInt() : -1;
}

void PlaybackQueueDialog::move(int by)
{
    const int q = currentQueueIndex();
    const int to = q + by;
    if (q < 0 || to < 0 || to >= m_playlist->queue().size())
        return;
    m_playlist->moveInQueue(q, to);
    refill(to);
}
