// Menus, the toolbar with the ON AIR group, the status bar, and switching the
// two network outputs on and off.
#include "mainwindow.h"

#include "dialogs/prompts.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/appsettings.h"
#include "mainwindow/vfddisplay.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QSettings>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>

void MainWindow::createMenus()
{
    QMenuBar* bar = menuBar();

    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("New playlist"), this, &MainWindow::newPlaylist);
    file->addAction(QStringLiteral("Open playlist..."), this, &MainWindow::openPlaylist);
    file->addAction(QStringLiteral("Save playlist..."), this, &MainWindow::savePlaylist);
    file->addAction(QStringLiteral("Save playlist as..."), this, &MainWindow::savePlaylistAs);
    file->addSeparator();
    file->addAction(QStringLiteral("Add files..."), this, &MainWindow::addFiles);
    file->addAction(QStringLiteral("Add folder..."), this, &MainWindow::addFolder);
    file->addSeparator();
    file->addAction(QStringLiteral("Clear playlist"), this, &MainWindow::clearPlaylist);
    file->addSeparator();
    file->addAction(QStringLiteral("Print playlist..."), this,
                    [this] { printDocument(QStringLiteral("playlist"), playlistHtml()); });
    file->addSeparator();
    file->addAction(QStringLiteral("Exit"), this, &QWidget::close);

    QMenu* edit = bar->addMenu(QStringLiteral("&Edit"));
    edit->addAction(QStringLiteral("Remove selected"), this, &MainWindow::removeSelected);

    m_viewMenu = bar->addMenu(QStringLiteral("&View"));

    QMenu* playlist = bar->addMenu(QStringLiteral("&Playlist"));
    playlist->addAction(QStringLiteral("Playlist Generator..."), this, &MainWindow::openPlaylistGenerator);
    playlist->addAction(QStringLiteral("Music Library..."), this, &MainWindow::openMusicLibrary);
    playlist->addSeparator();
    // Recording a voice track comes before inserting one, the teaser after.
    playlist->addAction(QStringLiteral("Record voice track..."), this, &MainWindow::recordVoiceTrack);
    playlist->addAction(QStringLiteral("Insert voice track..."), this, &MainWindow::insertVoiceTrack);
    playlist->addSeparator();
    playlist->addAction(QStringLiteral("Add teaser..."), this, &MainWindow::addTeaser);
    playlist->addSeparator();
    playlist->addMenu(QStringLiteral("Add command"))
        ->addAction(QStringLiteral("STOP (halt until cued)"), this, &MainWindow::addStopCommand);

    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    tools->addAction(QStringLiteral("Ads Scheduler..."), this, &MainWindow::openAdsScheduler);
    tools->addAction(QStringLiteral("Report Generator..."), this, &MainWindow::openReportGenerator);
    tools->addAction(QStringLiteral("Scheduled Event..."), this, &MainWindow::openEventEditor);
    tools->addAction(QStringLiteral("Crossfades..."), this, &MainWindow::openCrossfades);
    tools->addSeparator();
    tools->addAction(QStringLiteral("Playback queue..."), this, &MainWindow::openPlaybackQueue);
    tools->addSeparator();
    tools->addAction(QStringLiteral("Auto Intro..."), this, &MainWindow::openAutoIntro);
    tools->addAction(QStringLiteral("Relay..."), this, &MainWindow::openRelay);
    tools->addAction(QStringLiteral("Stream Archive..."), this, &MainWindow::openStreamArchive);
    tools->addSeparator();
    tools->addAction(QStringLiteral("Render playlist..."), this, &MainWindow::openRenderPlaylist);
    tools->addAction(QStringLiteral("Normalize playlist tracks..."), this, &MainWindow::normalisePlaylist);
    QMenu* settings = bar->addMenu(QStringLiteral("&Settings"));
    settings->addAction(QStringLiteral("Settings..."), this, [this] { openSettings(); });

    QMenu* broadcast = bar->addMenu(QStringLiteral("&Broadcast"));
    m_broadcastAction = broadcast->addAction(QStringLiteral("Start Broadcasting"));
    m_broadcastAction->setCheckable(true);
    connect(m_broadcastAction, &QAction::triggered, this, &MainWindow::toggleBroadcast);
    m_builtInServerAction = broadcast->addAction(QStringLiteral("Built-in server"));
    m_builtInServerAction->setCheckable(true);
    m_builtInServerAction->setChecked(m_server && m_server->isListening());
    connect(m_builtInServerAction, &QAction::triggered, this, &MainWindow::toggleBuiltInServer);
    broadcast->addAction(QStringLiteral("Broadcast settings..."), this,
                         [this] { openSettings(QStringLiteral("Broadcast")); });

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->addAction(QStringLiteral("Check for Updates…"), this, &MainWindow::checkForUpdatesNow);
    help->addAction(QStringLiteral("About Orchidlantern"), this, &MainWindow::showAbout);

    // The menu shows once something fills it.
    tools->menuAction()->setVisible(!tools->actions().isEmpty());

    m_lockButton = new QToolButton;
    m_lockButton->setObjectName(QStringLiteral("lock"));
    m_lockButton->setAutoRaise(true);
    m_lockButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(m_lockButton, &QToolButton::clicked, this, &MainWindow::onLockClicked);
    bar->setCornerWidget(m_lockButton, Qt::TopRightCorner);
    updateLockIndicator();
}

void MainWindow::createToolBar()
{
    m_toolBar = addToolBar(QStringLiteral("Main"));
    m_toolBar->setObjectName(QStringLiteral("mainToolBar"));
    m_toolBar->setMovable(false);
    m_toolBar->addAction(style()->standardIcon(QStyle::SP_FileIcon), QStringLiteral("New playlist"), this,
                         &MainWindow::newPlaylist);
    m_toolBar->addAction(style()->standardIcon(QStyle::SP_DirOpenIcon), QStringLiteral("Open playlist"), this,
                         &MainWindow::openPlaylist);
    m_toolBar->addAction(style()->standardIcon(QStyle::SP_DialogSaveButton), QStringLiteral("Save playlist"), this,
                         &MainWindow::savePlaylist);
    m_toolBar->addSeparator();
    m_toolBar->addAction(style()->standardIcon(QStyle::SP_FileDialogNewFolder), QStringLiteral("Add folder"), this,
                         &MainWindow::addFolder);
    m_toolBar->addAction(style()->standardIcon(QStyle::SP_TrashIcon), QStringLiteral("Clear"), this,
                         &MainWindow::clearPlaylist);
    m_toolBar->addSeparator();
    m_toolBar->addAction(style()->standardIcon(QStyle::SP_FileDialogListView), QStringLiteral("Library"), this,
                         &MainWindow::openMusicLibrary);
    m_toolBar->addAction(style()->standardIcon(QStyle::SP_ComputerIcon), QStringLiteral("Settings"), this,
                         [this] { openSettings(); });
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolBar->addWidget(spacer);
    m_toolBar->addWidget(buildOnAirIndicator());
}

QWidget* MainWindow::buildTopBar()
{
    m_vfd = new VfdDisplay(nullptr);
    m_vfd->setObjectName(QStringLiteral("vfd"));
    return m_vfd;
}

QWidget* MainWindow::buildOnAirIndicator()
{
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 8, 0);
    layout->setSpacing(6);

    m_onAirButton = new QToolButton;
    m_onAirButton->setObjectName(QStringLiteral("onAir"));
    QFont f = m_onAirButton->font();
    f.setWeight(QFont::Bold);
    f.setPointSizeF(f.pointSizeF() + 2);
    m_onAirButton->setFont(f);
    m_onAirButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_onAirButton->setAutoRaise(true);
    m_onAirButton->setCursor(Qt::PointingHandCursor);
    m_onAirButton->setMinimumWidth(112);
    connect(m_onAirButton, &QToolButton::clicked, this, &MainWindow::toggleBroadcast);
    layout->addWidget(m_onAirButton);

    m_listenerBadge = new QLabel;
    m_listenerBadge->setObjectName(QStringLiteral("listeners"));
    QFont bf = m_listenerBadge->font();
    bf.setWeight(QFont::Bold);
    m_listenerBadge->setFont(bf);
    m_listenerBadge->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_listenerBadge);

    updateOnAirIndicator();
    updateListenerCount();
    return box;
}

void MainWindow::createStatusBarWidgets()
{
    QStatusBar* bar = statusBar();
    auto* version = new QToolButton;
    version->setAutoRaise(true);
    version->setText(QStringLiteral("Orchidlantern v") + QApplication::applicationVersion());
    version->setToolTip(QStringLiteral("Click to check for updates"));
    version->setCursor(Qt::PointingHandCursor);
    connect(version, &QToolButton::clicked, this, &MainWindow::checkForUpdatesNow);
    bar->addWidget(version);

    m_levelLabel = new QLabel(QStringLiteral("Current: 0   Peak: 0"));
    m_silenceLabel = new QLabel(QStringLiteral("Silence detector: Disabled"));
    m_statusLabel = new QLabel(QStringLiteral("Scheduler: Enabled"));
    m_broadcastLabel = new QLabel(QStringLiteral("Broadcast: Off"));
    m_recordingLabel = new QLabel;
    m_recordingLabel->setStyleSheet(QStringLiteral("color:#c0392b; font-weight:bold;"));
    m_serverProblemLabel = new QLabel;
    m_serverProblemLabel->setObjectName(QStringLiteral("serverProblem"));
    m_serverProblemLabel->setStyleSheet(QStringLiteral("color:#c0392b; font-weight:bold;"));
    m_serverProblemLabel->hide();
    for (QLabel* l : {m_levelLabel, m_silenceLabel, m_statusLabel, m_broadcastLabel, m_serverProblemLabel,
                      m_recordingLabel})
        bar->addPermanentWidget(l);
}

void MainWindow::toggleBroadcast()
{
    if (!m_broadcast)
        return;
    if (m_broadcast->isStreaming() || m_broadcast->isReconnecting()) {
        m_broadcast->stop();
        return;
    }
    startBroadcast(true);
}

// A command never waits for a person: its refusal goes to the log and the
// status bar instead of a message box.
void MainWindow::startBroadcast(bool askOperator)
{
    if (!m_broadcast || m_broadcast->isStreaming())
        return;
    auto refuse = [this, askOperator](const QString& text) {
        if (askOperator) {
            Prompts::information(this, QStringLiteral("Broadcast"), text);
        } else {
            appendLog(QStringLiteral("connect: ") + text);
            statusBar()->showMessage(text, 30000);
        }
        m_broadcastAction->setChecked(false);
        updateOnAirIndicator();
    };
    if (!BroadcastService::encoderAvailable()) {
        refuse(QStringLiteral("ffmpeg was not found, so broadcasting is disabled. "
                              "Install ffmpeg (e.g. winget install ffmpeg)."));
        return;
    }
    const BroadcastConfig config = BroadcastService::configFromSettings();
    if (config.host.isEmpty() || config.password.isEmpty()) {
        refuse(QStringLiteral("Set the server address and password first in Settings → Broadcast."));
        return;
    }
    goOnAir(config);
}

void MainWindow::goOnAir(const BroadcastConfig& config)
{
    m_broadcast->setConfig(config);
    m_broadcast->start();
    // The title goes out once the server has taken the stream.
    if (Track onAir; trackOnAir(&onAir) && !onAir.marker)
        m_broadcast->updateMetadata(onAir.displayName());
}

void MainWindow::toggleBuiltInServer()
{
    if (!m_server)
        return;
    QSettings settings;
    if (m_server->isListening()) {
        m_server->stop();
        Setting::ServerEnabled.write(settings, false);
        m_builtInServerAction->setChecked(false);
        return;
    }
    if (!BroadcastServer::enabledInSettings())
        Setting::ServerEnabled.write(settings, true);
    settings.sync();
    const bool listening = m_server->start();
    if (listening)
        appendLog(QStringLiteral("Built-in server: listeners can connect to http://<this-pc>:%1/").arg(m_server->port()));
    m_builtInServerAction->setChecked(listening);
}
