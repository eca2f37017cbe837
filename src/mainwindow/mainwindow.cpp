#include "mainwindow.h"

#include "automation/autointro.h"
#include "automation/commandexecutor.h"
#include "automation/dtmfeventwatch.h"
#include "automation/eventreactions.h"
#include "automation/dtmfmonitor.h"
#include "automation/eventscheduler.h"
#include "automation/remoteapi.h"
#include "dialogs/prompts.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "engine/voiceovers.h"
#include "library/appsettings.h"
#include "library/durationscanner.h"
#include "mainwindow/playliststore.h"
#include "mainwindow/rowmaker.h"
#include "library/librarywriter.h"
#include "mainwindow/vfddisplay.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "outputs/nowplayingwriter.h"
#include "outputs/onairencoders.h"
#include "outputs/streamarchive.h"
#include "outputs/updatechecker.h"
#include "outputs/weatherservice.h"

#include <QAction>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QSettings>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// How long measured lengths wait to be put into the rows together, at least.
constexpr int kMeasuredBatchMs = 100;

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Orchidlantern (1.0.0)"));
    setWindowIcon(QIcon(QStringLiteral(":/appicon.png")));
    setAcceptDrops(true);
    resize(1180, 720);

    m_rowMaker = new RowMaker(this);
    connect(m_rowMaker, &RowMaker::logMessage, this, &MainWindow::appendLog);
    restorePlaylists();

    // The parts they drive are asked for when needed, so these may come first.
    m_commandExecutor = new CommandExecutor(*this, this);
    m_eventReactions = new EventReactions(*this, *m_commandExecutor, this);
    // Started as a timed event is: the stored rows go in first.
    m_dtmfWatch = new DtmfEventWatch(*this, *m_commandExecutor, [this](const ScheduledEvent& e) { onEventFired(e); },
                                     this);

    m_engine = new AudioEngine(this);
    m_engine->setPlaylist(m_onAir);
    m_autoIntro = std::make_unique<AutoIntro>();
    m_autoIntro->load();

    m_durationScanner = new DurationScanner(this);
    connect(m_durationScanner, &DurationScanner::resolved, this, &MainWindow::onDurationResolved);
    connect(m_durationScanner, &DurationScanner::finished, this, &MainWindow::applyDurations);
    m_measuredTimer = new QTimer(this);
    m_measuredTimer->setSingleShot(true);
    m_measuredTimer->setInterval(kMeasuredBatchMs);
    connect(m_measuredTimer, &QTimer::timeout, this, &MainWindow::applyDurations);
    // Plays are counted when their audio starts, off the track-start path.
    m_libraryWriter = new LibraryWriter(this);
    connect(m_engine, &AudioEngine::playStarted, m_libraryWriter, &LibraryWriter::logPlay);
    watchLibraryWrites();

    wirePlaylistModel = [this](PlaylistModel* model) {
        model->setDroppedPaths([this, model](int row, const QStringList& paths) {
            insertPaths(paths, model, row, {});
        });
        connect(model, &QAbstractItemModel::rowsInserted, this, [this, model](const QModelIndex&, int first, int last) {
            if (model == m_viewed)
                updateFooterCounts();
            // Once the engine has moved its rows past the new ones too: a
            // list put on air later tells it after this window.
            if (model == m_onAir)
                QMetaObject::invokeMethod(this, &MainWindow::refreshTrackPanels, Qt::QueuedConnection);
            queueDurations(model, first, last);
        });
        connect(model, &QAbstractItemModel::rowsRemoved, this, [this, model] { refreshForModel(model); });
        connect(model, &QAbstractItemModel::modelReset, this, [this, model] { refreshForModel(model); });
        connect(model, &QAbstractItemModel::layoutChanged, this, [this, model] { refreshForModel(model); });
        // The queue changes what comes next.
        connect(model, &QAbstractItemModel::dataChanged, this, [this, model] {
            if (model == m_onAir)
                refreshTrackPanels();
        });
        watchPlaylist(model);
    };
    for (PlaylistModel* model : std::as_const(m_playlists))
        wirePlaylistModel(model);

    connect(m_engine, &AudioEngine::positionChanged, this, &MainWindow::onPositionChanged);
    connect(m_engine, &AudioEngine::durationChanged, this, &MainWindow::onDurationChanged);
    connect(m_engine, &AudioEngine::nowPlaying, this, &MainWindow::onNowPlaying);
    connect(m_engine, &AudioEngine::playStarted, this, &MainWindow::onPlayStarted);
    connect(m_engine, &AudioEngine::playingChanged, this, &MainWindow::onPlayingChanged);
    connect(m_engine, &AudioEngine::currentRowChanged, this, &MainWindow::onCurrentRowChanged);
    connect(m_engine, &AudioEngine::shuffleChanged, this, &MainWindow::refreshTrackPanels);
    connect(m_engine, &AudioEngine::logMessage, this, &MainWindow::appendLog);
    connect(m_engine, &AudioEngine::relayStateChanged, this, &MainWindow::onRelayStateChanged);

    createMenus();
    createToolBar();

    auto* central = new QWidget;
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(4, 4, 4, 4);
    centralLayout->setSpacing(4);
    centralLayout->addWidget(buildTopBar(), 0);
    m_columns = new QSplitter(Qt::Horizontal);
    m_columns->setObjectName(QStringLiteral("columns"));
    m_columns->addWidget(buildLeftColumn());
    m_columns->addWidget(buildCenterColumn());
    m_columns->addWidget(buildRightColumn());
    m_columns->setStretchFactor(0, 2);
    m_columns->setStretchFactor(1, 4);
    m_columns->setStretchFactor(2, 3);
    centralLayout->addWidget(m_columns, 1);
    setCentralWidget(central);

    createStatusBarWidgets();
    createViewMenu();

    m_clock24h = Setting::Clock24h.read();
    m_clockTimer = new QTimer(this);
    connect(m_clockTimer, &QTimer::timeout, this, &MainWindow::updateClock);
    m_clockTimer->start(1000);
    updateClock();

    appendLog(QStringLiteral("Scheduler: Enabled"));
    updateFooterCounts();
    updatePlaylistTabLabels();
    restoreLayout();

    createServices();
    createOutputs();
    applyHotKeys();
    watchSessionChanges();
    // Settings read while the window was being built are told now.
    AppSettings::setLogSink([this](const QString& line) { appendLog(line); });
    // Stored rows still being read come in after the first paint; a window
    // that is not shown takes them at once, one shown and never painted
    // (minimised) a moment later.
    QTimer::singleShot(0, this, [this] {
        if (!isVisible())
            restoreRows();
        else
            QTimer::singleShot(1000, this, &MainWindow::restoreRows);
    });
}

// The scheduler, the inputs and what watches the air.
void MainWindow::createServices()
{
    m_weather = new WeatherService(this);
    connect(m_weather, &WeatherService::weatherReady, m_vfd, &VfdDisplay::setWeather);
    connect(m_weather, &WeatherService::weatherError, this, &MainWindow::appendLog);
    applyWeatherSettings();

    m_scheduler = new EventScheduler(this);
    connect(m_scheduler, &EventScheduler::changed, this, &MainWindow::refreshSchedulerList);
    connect(m_scheduler, &EventScheduler::logMessage, this, &MainWindow::appendLog);
    connect(m_scheduler, &EventScheduler::fired, this, &MainWindow::onEventFired);
    connect(m_scheduler, &EventScheduler::stateChanged, this, [this] { m_commandExecutor->schedulerStateChanged(); });
    m_scheduler->load();
    refreshSchedulerList();

    const QSettings settings;
    const QString outputDevice = Setting::OutputDevice.read(settings);
    m_mic = new AudioInput(this);
    m_mic->inputDevice = Setting::MicDevice.read(settings);
    m_mic->outputDevice = outputDevice;
    m_lineIn = new AudioInput(this);
    m_lineIn->inputDevice = Setting::LineInDevice.read(settings);
    m_lineIn->outputDevice = outputDevice;
    connect(m_mic, &AudioInput::logMessage, this, &MainWindow::appendLog);
    connect(m_lineIn, &AudioInput::logMessage, this, &MainWindow::appendLog);
    connect(m_mic, &AudioInput::level, this, [this](double left, double right) {
        m_micLevelL = left;
        m_micLevelR = right;
        showInputLevels();
    });
    connect(m_lineIn, &AudioInput::level, this, [this](double left, double right) {
        m_lineLevelL = left;
        m_lineLevelR = right;
        showInputLevels();
    });
    connect(m_mic, &AudioInput::activeChanged, this, &MainWindow::updateInputState);
    connect(m_lineIn, &AudioInput::activeChanged, this, &MainWindow::updateInputState);
    connect(m_mic, &AudioInput::deviceChanged, this, &MainWindow::updateInputState);
    connect(m_lineIn, &AudioInput::deviceChanged, this, &MainWindow::updateInputState);

    connect(m_engine, &AudioEngine::levels, this, &MainWindow::onEngineLevels);

    m_updates = new UpdateChecker(this);
    connect(m_updates, &UpdateChecker::updateAvailable, this, &MainWindow::onUpdateAvailable);
    connect(m_updates, &UpdateChecker::updateSkipped, this, [this](const QString& version) {
        appendLog(QStringLiteral("Update ") + version + QStringLiteral(" available (skipped)"));
    });
    connect(m_updates, &UpdateChecker::upToDate, this, [this](const QString& version) {
        appendLog(QStringLiteral("Orchidlantern is up to date (") + version + QLatin1Char(')'));
        if (manualUpdateCheck)
            Prompts::information(this, QStringLiteral("Up to date"),
                                 QStringLiteral("You are running the latest version (") + version + QStringLiteral(")."));
        manualUpdateCheck = false;
    });
    connect(m_updates, &UpdateChecker::checkFailed, this, [this](const QString& message) {
        appendLog(QStringLiteral("Update check failed: ") + message);
        if (manualUpdateCheck)
            Prompts::information(this, QStringLiteral("Update check"), message);
        manualUpdateCheck = false;
    });
    if (Setting::CheckUpdatesOnStartup.read(settings))
        QTimer::singleShot(2500, Qt::CoarseTimer, m_updates, [this] { m_updates->checkForUpdates(true); });

    m_silence = SilenceDetector::fromSettings(this);
    connect(m_silence, &SilenceDetector::silenceDetected, this, &MainWindow::onSilenceDetected);
    m_silenceTimer = new QTimer(this);
    m_silenceTimer->setInterval(kSilenceTickMs);
    connect(m_silenceTimer, &QTimer::timeout, this, &MainWindow::tickSilence);
    updateSilenceStatus();
}

// What the engine feeds, and the remote hands that reach the station.
void MainWindow::createOutputs()
{
    m_broadcast = new BroadcastService(this);
    connect(m_broadcast, &BroadcastService::logMessage, this, &MainWindow::appendLog);
    connect(m_engine, &AudioEngine::audioBufferReady, m_broadcast, &BroadcastService::pushAudio);

    m_server = new BroadcastServer(this);
    connect(m_server, &BroadcastServer::logMessage, this, &MainWindow::appendLog);
    connect(m_engine, &AudioEngine::audioBufferReady, m_server, &BroadcastServer::pushAudio);
    connect(m_engine, &AudioEngine::nowPlaying, this, [this](const Track& track) {
        // A command row is no title for the listeners.
        if (!track.marker)
            m_server->setNowPlaying(track.displayName());
    });
    connect(m_server, &BroadcastServer::listenersChanged, this, &MainWindow::onServerListenersChanged);
    // A server that is meant to listen and cannot is shown, not only logged.
    connect(m_server, &BroadcastServer::problemChanged, this, [this](const QString& problem) {
        m_serverProblemLabel->setText(QStringLiteral("Built-in server not listening: ") + problem);
        m_serverProblemLabel->setVisible(!problem.isEmpty());
    });
    if (BroadcastServer::enabledInSettings())
        m_server->start();
    // The menu was built before the server existed.
    m_builtInServerAction->setChecked(m_server->isListening());

    m_nowPlayingFile = new NowPlayingWriter(this);
    connect(m_nowPlayingFile, &NowPlayingWriter::logMessage, this, &MainWindow::appendLog);

    m_archive = new StreamArchive(this);
    m_archive->setConfig(StreamArchive::configFromSettings());
    connect(m_archive, &StreamArchive::logMessage, this, &MainWindow::appendLog);
    connect(m_engine, &AudioEngine::audioBufferReady, m_archive, &StreamArchive::pushAudio);
    connect(m_archive, &StreamArchive::recordingChanged, this, &MainWindow::onRecordingChanged);
    connect(m_archive, &StreamArchive::captureChanged, this, [this] { onRecordingChanged(m_archive->isRecording()); });

    // Outputs at the same MP3 format take the on-air mix from one encoder.
    // Fed after the outputs, so that the buffer an output joins at is in.
    auto* encoders = new OnAirEncoders(this);
    connect(m_engine, &AudioEngine::audioBufferReady, encoders, &OnAirEncoders::push);
    m_broadcast->setSharedEncoders(encoders);
    m_server->setSharedEncoders(encoders);
    m_archive->setSharedEncoders(encoders);

    m_engine->setVoiceoverEnabled(Voiceovers::enabled());

    connect(m_engine, &AudioEngine::streamMetadata, this, &MainWindow::onStreamMetadata);

    m_dtmf = new DtmfMonitor(this);
    connect(m_dtmf, &DtmfMonitor::logMessage, this, &MainWindow::appendLog);
    // The detector's own sequence, so that acting on it empties it.
    connect(m_dtmf, &DtmfMonitor::sequenceReceived, this, [this] { checkDtmfEvents(m_dtmf->detector().sequence); });
    m_dtmfTimer = new QTimer(this);
    connect(m_dtmfTimer, &QTimer::timeout, this, &MainWindow::updateDtmfWindow);
    m_dtmfTimer->start(2000);

    m_remoteApi = new RemoteApi(this);
    connect(m_remoteApi, &RemoteApi::logMessage, this, &MainWindow::appendLog);
    connect(m_remoteApi, &RemoteApi::commandRequested, this, &MainWindow::runSchedulerCommand);
    // Same thread, so the record is filled before the signal returns.
    connect(m_remoteApi, &RemoteApi::playbackInfoRequested, this, &MainWindow::fillPlaybackInfo);
    m_remoteApi->applySettings();

    connect(m_broadcast, &BroadcastService::streamingChanged, this, &MainWindow::onStreamingChanged);
    connect(m_broadcast, &BroadcastService::captureChanged, this,
            [this] { onStreamingChanged(m_broadcast->isStreaming()); });
    connect(m_broadcast, &BroadcastService::listenersChanged, this, &MainWindow::updateListenerCount);
}

void MainWindow::preparePlayers()
{
    watchSoundServer();
    m_engine->prepareDecks();
    auxPlayer();
}

void MainWindow::releasePlayers()
{
    m_playersHeld = false;
    if (m_painted)
        preparePlayers();
}

bool MainWindow::event(QEvent* event)
{
    // The players load the media backend, the slowest step of opening the
    // window: they are made once it has been painted.
    if (event->type() == QEvent::Paint && !m_painted) {
        m_painted = true;
        QTimer::singleShot(0, this, [this] {
            // Whatever needs the rows sooner takes them at once.
            if (m_rowsToRestore)
                m_playlistStore->startReading();
            if (!m_playersHeld)
                preparePlayers();
        });
    }
    return QMainWindow::event(event);
}

MainWindow::~MainWindow()
{
    savePlaylists(true);
    AppSettings::setLogSink({});
    releaseServices();
}

// The services are children of the window and would otherwise be destroyed
// after this class is gone, still reporting into its log and labels. They
// are stopped and deleted here, first the outputs that the engine feeds.
void MainWindow::releaseServices()
{
    for (QTimer* timer : {m_clockTimer, m_silenceTimer, m_dtmfTimer}) {
        if (timer)
            timer->stop();
    }
    m_commandExecutor->stopTimers();
    const QList<QObject*> children = findChildren<QObject*>();
    for (QObject* child : children)
        disconnect(child, nullptr, this, nullptr);

    // Remote hands first: no command may arrive while the rest goes.
    const QList<QObject*> services = {m_remoteApi, m_dtmf,   m_archive,   m_server,  m_broadcast,
                                      m_silence,   m_updates, m_lineIn,    m_mic,     m_scheduler,
                                      m_weather,   m_durationScanner,      m_engine};
    for (QObject* service : services)
        delete service;
    m_remoteApi = nullptr;
    m_dtmf = nullptr;
    m_archive = nullptr;
    m_server = nullptr;
    m_broadcast = nullptr;
    m_silence = nullptr;
    m_updates = nullptr;
    m_lineIn = nullptr;
    m_mic = nullptr;
    m_scheduler = nullptr;
    m_weather = nullptr;
    m_durationScanner = nullptr;
    m_engine = nullptr;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    saveSession();
    QMainWindow::closeEvent(event);
}

void MainWindow::maybeResumePlayback()
{
    if (Setting::ResumeOnStart.read()) {
        // Stored rows still being read, and rows still being made of the
        // files on the command line, play once they are in.
        if (m_rowsToRestore)
            m_resumeWhenRestored = true;
        else
            afterRowsMade([this] { resumePlayRow(); });
    }
    // Without resume on start the operator still hears what stayed off.
    resumeOutputs();
}

void MainWindow::resumePlayRow()
{
    // The row on air at exit, else the first row.
    if (m_resumeRow >= 0 && m_resumeRow < m_onAir->rowCount()) {
        m_engine->playRow(m_resumeRow);
        appendLog(QStringLiteral("Resumed playback on startup"));
    } else if (m_viewed && m_viewed->rowCount() > 0) {
        m_engine->playRow(0);
        appendLog(QStringLiteral("Resumed playback on startup"));
    }
}

void MainWindow::refreshForModel(PlaylistModel* model)
{
    if (model == m_onAir)
        refreshTrackPanels();
    if (model == m_viewed)
        updateFooterCounts();
}

void MainWindow::queueDurations(PlaylistModel* model, int first, int last)
{
    if (m_restoringRows)
        return;
    QStringList paths;
    const QList<Track>& rows = model->tracks();
    for (int r = qMax(first, 0); r <= last && r < rows.size(); ++r) {
        const Track& t = rows.at(r);
        if (!t.isStream && t.durationMs <= 0 && !t.filePath.isEmpty())
            paths << t.filePath;
    }
    if (!paths.isEmpty())
        m_durationScanner->scan(paths);
}

void MainWindow::onDurationResolved(const QString& path, qint64 ms)
{
    if (ms < 1)
        return;
    // Each length would otherwise cost a pass over every row, its start
    // times and the footer: thousands of new rows would take minutes.
    m_measured.insert(path, ms);
    if (!m_measuredTimer->isActive())
        m_measuredTimer->start();
}

void MainWindow::applyDurations()
{
    if (m_measured.isEmpty())
        return;
    m_measuredTimer->stop();
    QElapsedTimer took;
    took.start();
    const QHash<QString, qint64> lengths = std::exchange(m_measured, {});
    for (PlaylistModel* model : std::as_const(m_playlists))
        model->fillDurations(lengths);
    updateFooterCounts();
    // Lengths are put in at most a tenth of the time, however long the lists.
    m_measuredTimer->setInterval(int(std::max<qint64>(kMeasuredBatchMs, 10 * took.elapsed())));
}

void MainWindow::onRelayStateChanged(bool active, const QString&, bool live)
{
    if (!m_statusLabel)
        return;
    if (active)
        m_statusLabel->setText(live ? QStringLiteral("Relay: LIVE") : QStringLiteral("Relay: connecting..."));
    else
        m_statusLabel->setText(m_scheduler && m_scheduler->isActive() ? QStringLiteral("Scheduler: Enabled")
                                                                    : QStringLiteral("Scheduler: Off"));
}
