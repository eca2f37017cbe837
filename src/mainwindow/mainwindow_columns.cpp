// The three columns of the central area and the file explorer.
#include "mainwindow.h"

#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "dialogs/library/tracktablewidget.h"
#include "library/appsettings.h"
#include "library/audiofiles.h"

#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QSplitter>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

QToolButton* transportButton(QStyle* style, QStyle::StandardPixmap icon, const QString& tip)
{
    auto* b = new QToolButton;
    b->setIcon(style->standardIcon(icon));
    b->setIconSize(QSize(28, 28));
    b->setToolTip(tip);
    return b;
}

} // namespace

QWidget* MainWindow::buildLeftColumn()
{
    m_leftColumn = new QWidget;
    auto* layout = new QVBoxLayout(m_leftColumn);
    layout->setContentsMargins(0, 0, 0, 0);
    m_leftSplitter = new QSplitter(Qt::Vertical);
    m_leftSplitter->setObjectName(QStringLiteral("leftSplitter"));
    m_leftSplitter->setChildrenCollapsible(false);
    layout->addWidget(m_leftSplitter);

    m_leftTabs = new QTabWidget;
    m_leftTabs->setObjectName(QStringLiteral("leftTabs"));
    // The side panels may be narrower than their rows would like, so that
    // the window opens at its designed width beside a full cart wall.
    m_leftTabs->setMinimumWidth(150);
    m_leftTabs->setDocumentMode(true);
    m_leftTabs->setMovable(true);

    m_leftPanels = {buildSearchPanel(), buildFileExplorer(), buildSchedulerPanel()};
    m_leftPanelNames = {QStringLiteral("Library"), QStringLiteral("Files"), QStringLiteral("Scheduler")};
    m_leftPanelIcons = {style()->standardIcon(QStyle::SP_FileDialogContentsView),
                        style()->standardIcon(QStyle::SP_DirIcon),
                        style()->standardIcon(QStyle::SP_FileDialogInfoView)};
    for (int i = 0; i < m_leftPanels.size(); ++i)
        setLeftTabShown(i, true);

    m_leftTabs->tabBar()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_leftTabs->tabBar(), &QWidget::customContextMenuRequested, this, &MainWindow::showLeftTabMenu);

    m_leftSplitter->addWidget(m_leftTabs);
    m_logBox = new QGroupBox(QStringLiteral("Log"));
    auto* logLayout = new QVBoxLayout(m_logBox);
    m_logList = new QListWidget;
    m_logList->setObjectName(QStringLiteral("log"));
    logLayout->addWidget(m_logList);
    m_leftSplitter->addWidget(m_logBox);
    m_leftSplitter->setSizes({430, 190});
    return m_leftColumn;
}

void MainWindow::setLeftTabShown(int index, bool shown)
{
    if (!m_leftTabs || index < 0 || index >= m_leftPanels.size())
        return;
    QWidget* page = m_leftPanels.at(index);
    const int tab = m_leftTabs->indexOf(page);
    if (shown && tab < 0) {
        const int added = m_leftTabs->addTab(page, m_leftPanelIcons.at(index), QString());
        m_leftTabs->setTabToolTip(added, m_leftPanelNames.at(index));
    } else if (!shown && tab >= 0) {
        m_leftTabs->removeTab(tab);
    }
}

void MainWindow::showLeftTabMenu(const QPoint& pos)
{
    QMenu menu(this);
    for (int i = 0; i < m_leftPanels.size(); ++i) {
        QAction* a = menu.addAction(m_leftPanelNames.at(i));
        a->setCheckable(true);
        a->setChecked(m_leftTabs->indexOf(m_leftPanels.at(i)) >= 0);
        connect(a, &QAction::toggled, this, [this, i](bool on) { setLeftTabShown(i, on); });
    }
    menu.exec(m_leftTabs->tabBar()->mapToGlobal(pos));
}

void MainWindow::showSearchHeaderMenu(const QPoint& pos, const QStringList& titles)
{
    QMenu menu(this);
    for (int c = 0; c < titles.size(); ++c) {
        QAction* a = menu.addAction(titles.at(c));
        a->setCheckable(true);
        a->setChecked(!m_searchTable->isColumnHidden(c));
        a->setEnabled(c != 1); // the title always shows
        connect(a, &QAction::toggled, this, [this, c](bool on) { m_searchTable->setColumnHidden(c, !on); });
    }
    menu.exec(m_searchTable->horizontalHeader()->mapToGlobal(pos));
}

QWidget* MainWindow::buildFileExplorer()
{
    auto* panel = new QWidget;
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    m_fileModel = new QFileSystemModel(this);
    m_fileModel->setRootPath(QString());
    m_fileModel->setNameFilters(AudioFiles::nameFilters());
    m_fileModel->setNameFilterDisables(false);

    auto* tree = new QTreeView;
    tree->setObjectName(QStringLiteral("fileExplorer"));
    tree->setModel(m_fileModel);
    tree->setRootIndex(m_fileModel->index(QString()));
    tree->setDragEnabled(true);
    tree->setDragDropMode(QAbstractItemView::DragOnly);
    tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    for (int c = 1; c < m_fileModel->columnCount(); ++c)
        tree->setColumnHidden(c, true);
    tree->setHeaderHidden(true);
    connect(tree, &QTreeView::doubleClicked, this, &MainWindow::onFileExplorerActivated);
    layout->addWidget(tree, 1);
    return panel;
}

void MainWindow::onFileExplorerActivated(const QModelIndex& index)
{
    const QString path = m_fileModel->filePath(index);
    if (!QFileInfo(path).isFile())
        return;
    addPaths({path});
    appendLog(QStringLiteral("Added from files: ") + QFileInfo(path).fileName());
}

QWidget* MainWindow::buildCenterColumn()
{
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    m_playlistTabs = new QTabBar;
    m_playlistTabs->setObjectName(QStringLiteral("playlistTabs"));
    for (const QString& name : std::as_const(m_playlistNames))
        m_playlistTabs->addTab(name);
    m_playlistTabs->addTab(QStringLiteral("+"));
    m_playlistTabs->setExpanding(false);
    m_playlistTabs->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_playlistTabs, &QTabBar::currentChanged, this, &MainWindow::onPlaylistTabChanged);
    connect(m_playlistTabs, &QWidget::customContextMenuRequested, this, &MainWindow::showPlaylistTabMenu);
    layout->addWidget(m_playlistTabs, 0);

    m_playlistTable = new QTableView;
    m_playlistTable->setObjectName(QStringLiteral("playlist"));
    m_playlistTable->setModel(m_viewed);
    m_playlistTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_playlistTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_playlistTable->setDragEnabled(true);
    m_playlistTable->setAcceptDrops(true);
    m_playlistTable->setDropIndicatorShown(true);
    m_playlistTable->setDragDropMode(QAbstractItemView::DragDrop);
    m_playlistTable->setDefaultDropAction(Qt::MoveAction);
    m_playlistTable->setDragDropOverwriteMode(false);
    m_playlistTable->verticalHeader()->hide();
    m_playlistTable->horizontalHeader()->setStretchLastSection(false);
    m_playlistTable->setContextMenuPolicy(Qt::CustomContextMenu);
    configurePlaylistColumns();
    connect(m_playlistTable, &QTableView::doubleClicked, this, &MainWindow::onPlaylistDoubleClicked);
    connect(m_playlistTable, &QTableView::clicked, this, &MainWindow::onPlaylistClicked);
    connect(m_playlistTable, &QWidget::customContextMenuRequested, this, &MainWindow::showPlaylistContextMenu);
    auto* del = new QShortcut(QKeySequence::Delete, m_playlistTable);
    del->setContext(Qt::WidgetShortcut);
    connect(del, &QShortcut::activated, this, &MainWindow::removeSelected);
    layout->addWidget(m_playlistTable, 1);

    auto* info = new QFrame;
    info->setObjectName(QStringLiteral("trackInfo"));
    info->setFrameShape(QFrame::StyledPanel);
    m_trackInfoFrame = info;
    auto* grid = new QGridLayout(info);
    grid->setContentsMargins(6, 4, 6, 4);
    auto* art = new QLabel;
    art->setFixedSize(64, 64);
    art->setPixmap(style()->standardIcon(QStyle::SP_MediaVolume).pixmap(64, 64));
    art->setStyleSheet(QStringLiteral("border:1px solid #b0b0b0;"));
    grid->addWidget(art, 0, 0, 3, 1);
    m_artistLabel = new QLabel(QStringLiteral("Artist: -"));
    m_titleLabel = new QLabel(QStringLiteral("Title: -"));
    m_albumLabel = new QLabel(QStringLiteral("Album: -"));
    m_yearLabel = new QLabel(QStringLiteral("Year: -"));
    m_genreLabel = new QLabel(QStringLiteral("Genre: -"));
    m_durationLabel = new QLabel(QStringLiteral("-"));
    m_fileNameLabel = new QLabel(QStringLiteral("File Name: -"));
    grid->addWidget(m_artistLabel, 0, 1);
    grid->addWidget(m_titleLabel, 1, 1);
    grid->addWidget(m_albumLabel, 2, 1);
    grid->addWidget(m_yearLabel, 0, 2);
    grid->addWidget(m_genreLabel, 1, 2);
    grid->addWidget(m_durationLabel, 0, 3);
    grid->addWidget(m_fileNameLabel, 1, 3);
    for (int c = 1; c <= 3; ++c)
        grid->setColumnStretch(c, 1);
    layout->addWidget(info, 0);

    auto* footer = new QHBoxLayout;
    m_trackCountLabel = new QLabel(QStringLiteral("Tracks: 0"));
    m_timeLeftLabel = new QLabel(QStringLiteral("Playing time left: 0:00"));
    footer->addWidget(m_trackCountLabel);
    footer->addStretch();
    footer->addWidget(m_timeLeftLabel);
    layout->addLayout(footer);

    layout->addLayout(buildTransportRow());
    return column;
}

// Transport buttons, the inputs and the master volume under the playlist.
QLayout* MainWindow::buildTransportRow()
{
    QStyle* st = style();
    auto* transport = new QHBoxLayout;
    auto* play = transportButton(st, QStyle::SP_MediaPlay, QStringLiteral("Play"));
    auto* next = transportButton(st, QStyle::SP_MediaSkipForward, QStringLiteral("Next"));
    auto* pause = transportButton(st, QStyle::SP_MediaPause, QStringLiteral("Pause"));
    auto* stop = transportButton(st, QStyle::SP_MediaStop, QStringLiteral("Stop"));
    for (QToolButton* b : {play, next, pause, stop})
        transport->addWidget(b);
    transport->addSpacing(12);
    transport->addWidget(transportButton(st, QStyle::SP_BrowserReload, QStringLiteral("Reload")));
    transport->addWidget(transportButton(st, QStyle::SP_DialogCancelButton, QStringLiteral("Cancel next")));

    auto* shuffle = new QToolButton;
    shuffle->setText(QStringLiteral("⇄"));
    shuffle->setToolTip(QStringLiteral("Shuffle"));
    shuffle->setCheckable(true);
    shuffle->setIconSize(QSize(28, 28));
    connect(shuffle, &QToolButton::toggled, this, [this](bool on) {
        m_engine->setShuffle(on);
        appendLog(on ? QStringLiteral("Shuffle: on") : QStringLiteral("Shuffle: off"));
    });
    // The automation's and the hot key's shuffle show on the button too.
    connect(m_engine, &AudioEngine::shuffleChanged, shuffle, [shuffle](bool on) {
        const QSignalBlocker quiet(shuffle);
        shuffle->setChecked(on);
    });
    auto* repeat = new QToolButton;
    repeat->setText(QStringLiteral("⟳"));
    repeat->setToolTip(QStringLiteral("Repeat"));
    repeat->setIconSize(QSize(28, 28));
    transport->addWidget(shuffle);
    transport->addWidget(repeat);
    transport->addStretch();

    auto inputButton = [st](const QString& text, const QString& tip) {
        auto* b = new QToolButton;
        b->setText(text);
        b->setIcon(st->standardIcon(QStyle::SP_MediaVolume));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setToolTip(tip);
        b->setCheckable(true);
        return b;
    };
    m_micButton = inputButton(QStringLiteral("MIC"), QStringLiteral("Toggle microphone (ducks music while live)"));
    m_lineButton = inputButton(QStringLiteral("LINE"), QStringLiteral("Toggle line-in (ducks music while live)"));
    connect(m_micButton, &QToolButton::clicked, this, [this] { toggleInput(m_mic); });
    connect(m_lineButton, &QToolButton::clicked, this, [this] { toggleInput(m_lineIn); });
    transport->addWidget(m_micButton);
    transport->addWidget(m_lineButton);
    transport->addSpacing(10);

    auto* speaker = new QLabel;
    speaker->setPixmap(st->standardIcon(QStyle::SP_MediaVolume).pixmap(16, 16));
    transport->addWidget(speaker);
    const int volume = AppSettings::defaultVolume();
    m_volumeSlider = new QSlider(Qt::Horizontal);
    m_volumeSlider->setObjectName(QStringLiteral("volume"));
    m_volumeSlider->setRange(0, 100);
    m_volumeSlider->setValue(volume);
    // 120 wide where the window has room; narrower rather than squeezing
    // the left column at the default window size.
    m_volumeSlider->setMinimumWidth(64);
    m_volumeSlider->setMaximumWidth(120);
    m_volumeSlider->setToolTip(QStringLiteral("Master volume"));
    m_volumeLabel = new QLabel(QString::number(volume) + QLatin1Char('%'));
    m_volumeLabel->setMinimumWidth(38);
    connect(m_volumeSlider, &QSlider::valueChanged, this, [this](int v) {
        m_engine->setVolume(v);
        if (m_volumeLabel)
            m_volumeLabel->setText(QString::number(v) + QLatin1Char('%'));
    });
    transport->addWidget(m_volumeSlider);
    transport->addWidget(m_volumeLabel);

    m_engine->setVolume(volume);
    connect(play, &QToolButton::clicked, this, &MainWindow::playSelected);
    connect(next, &QToolButton::clicked, m_engine, &AudioEngine::next);
    connect(pause, &QToolButton::clicked, m_engine, &AudioEngine::togglePause);
    connect(stop, &QToolButton::clicked, m_engine, &AudioEngine::stop);
    return transport;
}

void MainWindow::toggleInput(AudioInput* input)
{
    if (!input)
        return;
    if (input->isActive())
        input->stop();
    else
        input->start();
}

void MainWindow::onPlaylistDoubleClicked(const QModelIndex& index)
{
    const int column = index.column();
    if (column < PlaylistModel::NumberColumn || column > PlaylistModel::DurationColumn)
        return;
    setActivePlaylist(m_playlistTabs->currentIndex());
    m_engine->playRow(index.row());
}
