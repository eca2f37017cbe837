// The right column: cart walls in tabs and the aux deck; and the left
// column's scheduler box.
#include "mainwindow.h"

#include "automation/eventscheduler.h"
#include "engine/audioengine.h"
#include "engine/holdwatch.h"
#include "dialogs/prompts.h"
#include "library/appsettings.h"
#include "library/audiofiles.h"
#include "library/musiclibrary.h"
#include "library/pathgate.h"
#include "library/playlistrows.h"
#include "library/track.h"
#include "mainwindow/cartwall.h"
#include "mainwindow/rowmaker.h"

#include <QAudioOutput>
#include <QCheckBox>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMediaPlayer>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int kCartColumns = 5;
constexpr int kCartRows = 4;

// Files dropped on the aux list join it; anything else is left to the list.
class AuxDropFilter : public QObject
{
public:
    AuxDropFilter(QObject* parent, std::function<void(const QStringList&)> add)
        : QObject(parent)
        , m_add(std::move(add))
    {
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type t = event->type();
        if (t != QEvent::DragEnter && t != QEvent::DragMove && t != QEvent::Drop)
            return QObject::eventFilter(watched, event);
        auto* drop = static_cast<QDropEvent*>(event);
        QStringList files;
        for (const QUrl& url : drop->mimeData()->urls()) {
            if (url.isLocalFile() && MusicLibrary::isAudioFile(url.toLocalFile()))
                files << url.toLocalFile();
        }
        if (files.isEmpty())
            return QObject::eventFilter(watched, event);
        drop->acceptProposedAction();
        if (t == QEvent::Drop)
            m_add(files);
        return true;
    }

private:
    std::function<void(const QStringList&)> m_add;
};

QToolButton* auxButton(QStyle* style, QStyle::StandardPixmap icon, const QString& tip)
{
    auto* b = new QToolButton;
    b->setIcon(style->standardIcon(icon));
    b->setToolTip(tip);
    return b;
}

} // namespace

QWidget* MainWindow::buildRightColumn()
{
    m_rightColumn = new QWidget;
    auto* layout = new QVBoxLayout(m_rightColumn);
    layout->setContentsMargins(0, 0, 0, 0);
    m_cartTabs = new QTabWidget;
    m_cartTabs->setObjectName(QStringLiteral("cartTabs"));
    m_cartTabs->setDocumentMode(true);
    m_cartTabs->setMovable(true);
    m_cartTabs->setTabsClosable(true);
    layout->addWidget(m_cartTabs);

    auto* add = new QToolButton;
    add->setText(QStringLiteral("+"));
    add->setToolTip(QStringLiteral("Add another cart wall"));
    add->setAutoRaise(true);
    connect(add, &QToolButton::clicked, this, &MainWindow::addCartWall);
    m_cartTabs->setCornerWidget(add, Qt::TopRightCorner);
    connect(m_cartTabs, &QTabWidget::tabCloseRequested, this, &MainWindow::closeCartTab);
    connect(m_cartTabs->tabBar(), &QTabBar::tabBarDoubleClicked, this, &MainWindow::renameCartTab);
    restoreCartWalls();

    buildAuxDeck();
    m_cartTabs->addTab(m_auxPage, QStringLiteral("AUX"));
    m_cartTabs->setCurrentIndex(0);
    updateCartTabCloseButtons();
    return m_rightColumn;
}

// The deck beside the cart walls that plays its own list on its own output.
void MainWindow::buildAuxDeck()
{
    QStyle* st = style();
    m_auxPage = new QGroupBox(QStringLiteral("AUX Deck"));
    auto* aux = new QVBoxLayout(m_auxPage);

    auto* edit = new QHBoxLayout;
    QToolButton* addFiles = auxButton(st, QStyle::SP_FileIcon, QStringLiteral("Add files to the AUX deck"));
    QToolButton* remove = auxButton(st, QStyle::SP_TrashIcon, QStringLiteral("Remove the selected item"));
    QToolButton* clear = auxButton(st, QStyle::SP_DialogResetButton, QStringLiteral("Clear the AUX deck"));
    for (QToolButton* b : {addFiles, remove, clear})
        edit->addWidget(b);
    edit->addStretch();
    aux->addLayout(edit);

    m_auxList = new QTreeWidget;
    m_auxList->setObjectName(QStringLiteral("auxList"));
    m_auxList->setColumnCount(3);
    m_auxList->setHeaderLabels({QStringLiteral("#"), QStringLiteral("Track Title"), QStringLiteral("Duration")});
    m_auxList->setRootIsDecorated(false);
    m_auxList->setColumnWidth(0, 24);
    // The title takes whatever the number and the duration leave.
    m_auxList->header()->setStretchLastSection(false);
    m_auxList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_auxList->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    m_auxList->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    m_auxList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_auxList->setAcceptDrops(true);
    m_auxList->setDragDropMode(QAbstractItemView::DropOnly);
    m_auxList->viewport()->installEventFilter(
        new AuxDropFilter(m_auxList, [this](const QStringList& paths) { auxAddFiles(paths); }));
    aux->addWidget(m_auxList, 1);

    auto* transport = new QHBoxLayout;
    QToolButton* play = auxButton(st, QStyle::SP_MediaPlay, QStringLiteral("Play"));
    QToolButton* skip = auxButton(st, QStyle::SP_MediaSkipForward, QStringLiteral("Next"));
    QToolButton* pause = auxButton(st, QStyle::SP_MediaPause, QStringLiteral("Pause"));
    QToolButton* stop = auxButton(st, QStyle::SP_MediaStop, QStringLiteral("Stop"));
    for (QToolButton* b : {play, skip, pause, stop}) {
        b->setIconSize(QSize(24, 24));
        transport->addWidget(b);
    }
    transport->addStretch();
    m_auxStatus = new QLabel(QStringLiteral("-"));
    m_auxStatus->setObjectName(QStringLiteral("auxStatus"));
    m_auxStatus->setStyleSheet(QStringLiteral("color:#555; font-size:11px;"));
    transport->addWidget(m_auxStatus, 1);
    aux->addLayout(transport);

    auto* volumeRow = new QHBoxLayout;
    volumeRow->addWidget(new QLabel(QStringLiteral("Vol")));
    m_auxVolume = new QSlider(Qt::Horizontal);
    m_auxVolume->setObjectName(QStringLiteral("auxVolume"));
    m_auxVolume->setRange(0, 100);
    m_auxVolume->setValue(AppSettings::defaultVolume());
    volumeRow->addWidget(m_auxVolume);
    aux->addLayout(volumeRow);

    connect(m_auxVolume, &QSlider::valueChanged, this, [this](int v) {
        if (m_auxOutput)
            m_auxOutput->setVolume(float(v) / 100.0f);
    });
    connect(addFiles, &QToolButton::clicked, this, [this] {
        const QStringList paths = Prompts::openFileNames(
            this, QStringLiteral("Add to AUX deck"), QString(),
            AudioFiles::dialogFilter(QStringLiteral("Audio")) + QStringLiteral(";;All files (*)"));
        auxAddFiles(paths);
    });
    connect(remove, &QToolButton::clicked, this, [this] {
        qDeleteAll(m_auxList->selectedItems());
        auxRenumber();
    });
    connect(clear, &QToolButton::clicked, this, [this] {
        m_auxList->clear();
        auxPlayer()->stop();
        m_auxStatus->setText(QStringLiteral("-"));
    });
    connect(play, &QToolButton::clicked, this, [this] {
        if (auxPlayer()->playbackState() == QMediaPlayer::PausedState) {
            auxPlayer()->play();
            return;
        }
        QTreeWidgetItem* item = m_auxList->currentItem();
        auxPlayItem(item ? item : m_auxList->topLevelItem(0));
    });
    connect(pause, &QToolButton::clicked, this, [this] {
        if (auxPlayer()->playbackState() == QMediaPlayer::PlayingState)
            auxPlayer()->pause();
        else if (auxPlayer()->playbackState() == QMediaPlayer::PausedState)
            auxPlayer()->play();
    });
    connect(stop, &QToolButton::clicked, this, [this] {
        auxPlayer()->stop();
        m_auxStatus->setText(QStringLiteral("-"));
    });
    connect(skip, &QToolButton::clicked, this, &MainWindow::auxNext);
    connect(m_auxList, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) { auxPlayItem(item); });
}

QMediaPlayer* MainWindow::auxPlayer()
{
    if (m_auxPlayer)
        return m_auxPlayer;
    m_auxPlayer = new QMediaPlayer(this);
    m_auxPlayer->setObjectName(QStringLiteral("auxPlayer"));
    m_auxOutput = new QAudioOutput(this);
    m_auxOutput->setVolume(float(m_auxVolume->value()) / 100.0f);
    m_auxPlayer->setAudioOutput(m_auxOutput);
    m_engine->holdWatch()->watch(m_auxPlayer);
    connect(m_auxPlayer, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::EndOfMedia)
            auxNext();
    });
    connect(m_auxPlayer, &QMediaPlayer::durationChanged, this, [this](qint64 ms) {
        if (QTreeWidgetItem* item = m_auxList->currentItem(); item && ms > 0)
            item->setText(2, Track::formatDuration(ms));
    });
    return m_auxPlayer;
}

// ---------------------------------------------------------------------------
// Cart walls

CartWall* MainWindow::newCartWall()
{
    auto* wall = new CartWall(kCartColumns, kCartRows);
    connect(wall, &CartWall::logMessage, this, &MainWindow::appendLog);
    connect(wall, &CartWall::playerMade, m_engine->holdWatch(), &HoldWatch::watch);
    watchCartWall(wall);
    return wall;
}

void MainWindow::restoreCartWalls()
{
    const QByteArray stored = Setting::CartWalls.read().toByteArray();
    const QJsonArray walls = stored.isEmpty() ? QJsonArray() : QJsonDocument::fromJson(stored).array();
    m_cartWallCount = 0;
    m_currentCartWall = nullptr;
    if (walls.isEmpty()) {
        m_currentCartWall = newCartWall();
        m_cartTabs->addTab(m_currentCartWall, QStringLiteral("Cart 1"));
        m_cartWallCount = 1;
        return;
    }
    for (const QJsonValue& v : walls) {
        const QJsonObject o = v.toObject();
        CartWall* wall = newCartWall();
        wall->restoreState(o.value(QStringLiteral("carts")).toArray());
        const QJsonValue name = o.value(QStringLiteral("name"));
        m_cartTabs->addTab(wall, name.isString() ? name.toString() : QStringLiteral("Cart %1").arg(m_cartWallCount + 1));
        if (!m_currentCartWall)
            m_currentCartWall = wall;
        ++m_cartWallCount;
    }
}

void MainWindow::saveCartWalls()
{
    if (!m_cartTabs)
        return;
    QJsonArray walls;
    for (int i = 0; i < m_cartTabs->count(); ++i) {
        if (const auto* wall = qobject_cast<const CartWall*>(m_cartTabs->widget(i)))
            walls.append(QJsonObject{{QStringLiteral("name"), m_cartTabs->tabText(i)},
                                     {QStringLiteral("carts"), wall->saveState()}});
    }
    QSettings s;
    Setting::CartWalls.write(s, QJsonDocument(walls).toJson(QJsonDocument::Compact));
    settingsWritten(s, QStringLiteral("the cart walls"));
}

void MainWindow::addCartWall()
{
    if (!m_cartTabs)
        return;
    CartWall* wall = newCartWall();
    const int aux = m_auxPage ? m_cartTabs->indexOf(m_auxPage) : -1;
    ++m_cartWallCount;
    const int tab = m_cartTabs->insertTab(aux >= 0 ? aux : m_cartTabs->count(), wall,
                                          QStringLiteral("Cart %1").arg(m_cartWallCount));
    m_cartTabs->setCurrentIndex(tab);
    updateCartTabCloseButtons();
    scheduleLayoutSave();
}

void MainWindow::updateCartTabCloseButtons()
{
    if (!m_cartTabs)
        return;
    int walls = 0;
    for (int i = 0; i < m_cartTabs->count(); ++i)
        walls += qobject_cast<CartWall*>(m_cartTabs->widget(i)) ? 1 : 0;
    QTabBar* bar = m_cartTabs->tabBar();
    for (int i = 0; i < m_cartTabs->count(); ++i) {
        if (walls >= 2 && qobject_cast<CartWall*>(m_cartTabs->widget(i)))
            continue;
        for (QTabBar::ButtonPosition side : {QTabBar::LeftSide, QTabBar::RightSide}) {
            if (QWidget* button = bar->tabButton(i, side)) {
                bar->setTabButton(i, side, nullptr);
                button->deleteLater();
            }
        }
    }
}

void MainWindow::closeCartTab(int index)
{
    QWidget* page = m_cartTabs->widget(index);
    auto* wall = qobject_cast<CartWall*>(page);
    if (!wall || page == m_auxPage)
        return;
    int walls = 0;
    for (int i = 0; i < m_cartTabs->count(); ++i)
        walls += qobject_cast<CartWall*>(m_cartTabs->widget(i)) ? 1 : 0;
    if (walls < 2) {
        appendLog(QStringLiteral("The last cart wall cannot be closed."));
        return;
    }
    const QString question =
        QStringLiteral("Close \"%1\"? Its button assignments will be lost.").arg(m_cartTabs->tabText(index));
    if (Prompts::question(this, QStringLiteral("Close cart wall"), question, QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return;
    if (wall == m_currentCartWall)
        m_currentCartWall = nullptr;
    m_cartTabs->removeTab(index);
    wall->deleteLater();
    for (int i = 0; !m_currentCartWall && i < m_cartTabs->count(); ++i)
        m_currentCartWall = qobject_cast<CartWall*>(m_cartTabs->widget(i));
    updateCartTabCloseButtons();
    scheduleLayoutSave();
}

void MainWindow::renameCartTab(int index)
{
    if (index < 0)
        return;
    bool ok = false;
    const QString name = Prompts::text(this, QStringLiteral("Rename tab"), QStringLiteral("Name:"),
                                       m_cartTabs->tabText(index), &ok)
                             .trimmed();
    if (ok && !name.isEmpty()) {
        m_cartTabs->setTabText(index, name);
        scheduleLayoutSave();
    }
}

// ---------------------------------------------------------------------------
// Aux deck

void MainWindow::auxAddFiles(const QStringList& paths)
{
    if (!m_auxList)
        return;
    QStringList files;
    for (const QString& path : paths) {
        if (!path.isEmpty() && !Track::isStreamUrl(path))
            files << path;
    }
    // Its rows are made as the playlists' are, and come after what they
    // were asked after.
    m_rowMaker->makeRows(PlaylistRows::itemsFor(files), [this](PlaylistRows::Made& made) {
        for (const QString& note : std::as_const(made.notes))
            appendLog(QStringLiteral("AUX: ") + note);
        if (!m_auxList)
            return true;
        for (const Track& row : std::as_const(made.rows)) {
            auto* item = new QTreeWidgetItem(m_auxList);
            item->setText(1, row.displayName());
            item->setText(2, row.durationMs > 0 ? Track::formatDuration(row.durationMs) : QStringLiteral("--:--"));
            item->setData(0, Qt::UserRole, row.filePath);
        }
        auxRenumber();
        return true;
    });
}

void MainWindow::auxRenumber()
{
    for (int i = 0; i < m_auxList->topLevelItemCount(); ++i)
        m_auxList->topLevelItem(i)->setText(0, QString::number(i + 1));
}

void MainWindow::auxPlayItem(QTreeWidgetItem* item)
{
    if (!item)
        return;
    const QString path = item->data(0, Qt::UserRole).toString();
    if (path.isEmpty())
        return;
    m_auxList->setCurrentItem(item);
    // A FIFO or a device would hold the media player, and the window with it.
    if (const QString refusal = PathGate::refusal(path, PathGate::Kind::Audio); !refusal.isEmpty()) {
        appendLog(QStringLiteral("AUX: not played: %1 %2").arg(path, refusal));
        auxPlayer()->stop();
        m_auxStatus->setText(QStringLiteral("-"));
        return;
    }
    auxPlayer()->setSource(QUrl::fromLocalFile(path));
    auxPlayer()->play();
    m_auxStatus->setText(item->text(1));
    appendLog(QStringLiteral("AUX: playing ") + item->text(1));
}

void MainWindow::auxNext()
{
    QTreeWidgetItem* current = m_auxList->currentItem();
    const int next = current ? m_auxList->indexOfTopLevelItem(current) + 1 : 0;
    if (QTreeWidgetItem* item = m_auxList->topLevelItem(next)) {
        auxPlayItem(item);
        return;
    }
    auxPlayer()->stop();
    m_auxStatus->setText(QStringLiteral("-"));
}

// ---------------------------------------------------------------------------
// Scheduler box

QWidget* MainWindow::buildSchedulerPanel()
{
    m_schedulerBox = new QGroupBox(QStringLiteral("Scheduler"));
    auto* layout = new QVBoxLayout(m_schedulerBox);
    auto* switches = new QHBoxLayout;
    auto* on = new QCheckBox(QStringLiteral("On"));
    on->setChecked(true);
    auto* manual = new QCheckBox(QStringLiteral("Manual"));
    m_schedulerOn = on;
    m_schedulerManual = manual;
    switches->addWidget(on);
    switches->addWidget(manual);
    switches->addStretch();
    layout->addLayout(switches);

    m_nextEventLabel = new QLabel(QStringLiteral("No upcoming events"));
    m_nextEventLabel->setObjectName(QStringLiteral("nextEvent"));
    m_nextEventLabel->setWordWrap(true);
    m_nextEventLabel->setStyleSheet(QStringLiteral("color:#0a4d8c;"));
    m_nextEventLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(m_nextEventLabel, 1);

    auto* open = new QPushButton(QStringLiteral("Open Scheduler…"));
    connect(open, &QPushButton::clicked, this, &MainWindow::openSchedulerWindow);
    layout->addWidget(open);

    connect(on, &QCheckBox::toggled, this, [this](bool checked) {
        if (m_scheduler)
            m_scheduler->setActive(checked);
        const QString text = checked ? QStringLiteral("Scheduler: Enabled") : QStringLiteral("Scheduler: Off");
        if (m_statusLabel)
            m_statusLabel->setText(text);
        appendLog(text);
    });
    connect(manual, &QCheckBox::toggled, this, [this](bool checked) {
        if (m_scheduler)
            m_scheduler->setManual(checked);
        appendLog(checked ? QStringLiteral("Scheduler: Manual mode") : QStringLiteral("Scheduler: Auto mode"));
    });
    return m_schedulerBox;
}

void MainWindow::refreshSchedulerList()
{
    if (!m_nextEventLabel || !m_scheduler)
        return;
    const int n = int(m_scheduler->events().size());
    const QString plural = n == 1 ? QString() : QStringLiteral("s");
    if (n == 0) {
        m_nextEventLabel->setText(QStringLiteral("No events scheduled"));
        return;
    }
    // The scheduler's own clock decides what is next and what is today.
    const QDateTime now = m_scheduler->currentTime();
    QDateTime when;
    const ScheduledEvent next = m_scheduler->nextUpcoming(now, &when);
    if (!when.isValid()) {
        m_nextEventLabel->setText(QStringLiteral("%1 event%2 (none upcoming)").arg(n).arg(plural));
        return;
    }
    const QString at = when.date() == now.date() ? QStringLiteral("today ") + when.toString(QStringLiteral("HH:mm"))
                                                 : when.toString(QStringLiteral("ddd HH:mm"));
    m_nextEventLabel->setText(QStringLiteral("Next: %1\n%2  •  %3 event%4")
                                  .arg(next.name.isEmpty() ? next.action : next.name, at)
                                  .arg(n)
                                  .arg(plural));
}
