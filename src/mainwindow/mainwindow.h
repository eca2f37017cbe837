#pragma once

#include "automation/automationdesk.h"
#include "library/playlistrows.h"

#include <QHash>
#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class AudioEngine;
class AudioInput;
class AutoIntro;
class CartWall;
class CommandExecutor;
class DtmfEventWatch;
class EventReactions;
class BroadcastServer;
struct BroadcastConfig;
class BroadcastService;
class DtmfMonitor;
class DurationScanner;
class LibraryWriter;
class EventScheduler;
class MusicLibrary;
class LibrarySearcher;
class MusicLibraryDialog;
class PlaylistModel;
class PlaylistStore;
class RemoteApi;
class RowMaker;
class QAction;
class QAudioOutput;
class QCheckBox;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QFileSystemModel;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QListWidget;
class QMediaPlayer;
class QMenu;
class QSettings;
class QModelIndex;
class QShortcut;
class QSlider;
class QSplitter;
class QTabBar;
class QTabWidget;
class QTableView;
class QTableWidget;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class SilenceDetector;
class SoundServer;
class SchedulerWindow;
class StreamArchive;
class NowPlayingWriter;
class TrackTableWidget;
class UpdateChecker;
class VfdDisplay;
class WeatherService;
struct PlaybackInfo;
struct ScheduledEvent;
struct SchedulerCommand;
struct Track;
struct UpdateInfo;

// The playout program's one window: it creates, owns and wires every
// long-lived service and shows the station's state. Its members are spread
// by concern over the mainwindow_*.cpp files named beside each group.
class MainWindow : public QMainWindow, private AutomationDesk
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up (mainwindow.cpp).
    void maybeResumePlayback();

    // Playlist desk (mainwindow_desk.cpp).
    // Into the viewed playlist unless another is named. The files are read
    // off this thread and go in when read, after whatever was asked before;
    // then `added` gets the rows' count.
    void addPaths(const QStringList& paths, PlaylistModel* into = nullptr, std::function<void(int)> added = {});

    // Tool windows (mainwindow_tools.cpp): prints an HTML page once the
    // operator confirms the print dialog.
    void printDocument(const QString& title, const QString& html);
    // The decks and the aux player are made before their first use (the
    // first one starts the media backend) once the window is painted; held,
    // once it is painted and they are released, whichever comes later. A
    // deck wanted sooner is made at once all the same.
    void holdPlayers() { m_playersHeld = true; }
    void releasePlayers();

public slots:
    // Live status (mainwindow_status.cpp).
    void appendLog(const QString& text) override;
    void fillPlaybackInfo(PlaybackInfo* info);

private:
    // A write to library.db that failed, or what became of the file: in
    // the log and the status bar.
    void reportLibraryTrouble(const QString& text);
    void watchLibraryWrites();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    // ---- Construction, wiring and teardown (mainwindow.cpp) ----
    void createServices();
    void createOutputs();
    void refreshForModel(PlaylistModel* model);
    void queueDurations(PlaylistModel* model, int first, int last);
    void onDurationResolved(const QString& path, qint64 ms);
    void applyDurations();
    void resumePlayRow();
    void onRelayStateChanged(bool active, const QString& source, bool live);
    void releaseServices();

    std::function<void(PlaylistModel*)> wirePlaylistModel;

    QList<PlaylistModel*> m_playlists;
    QStringList m_playlistNames;
    PlaylistModel* m_viewed = nullptr;
    PlaylistModel* m_onAir = nullptr;
    AudioEngine* m_engine = nullptr;
    DurationScanner* m_durationScanner = nullptr;
    // Lengths measured and not yet in the rows, put in together.
    QHash<QString, qint64> m_measured;
    QTimer* m_measuredTimer = nullptr;
    LibraryWriter* m_libraryWriter = nullptr;
    EventScheduler* m_scheduler = nullptr;
    AudioInput* m_mic = nullptr;
    AudioInput* m_lineIn = nullptr;
    SilenceDetector* m_silence = nullptr;
    BroadcastService* m_broadcast = nullptr;
    BroadcastServer* m_server = nullptr;
    StreamArchive* m_archive = nullptr;
    NowPlayingWriter* m_nowPlayingFile = nullptr;
    WeatherService* m_weather = nullptr;
    UpdateChecker* m_updates = nullptr;

    QTimer* m_clockTimer = nullptr;
    // Read with the settings, not with every tick.
    bool m_clock24h = false;
    // Runs while the silence detector is on; each tick counts this long.
    QTimer* m_silenceTimer = nullptr;
    bool m_playersHeld = false;
    static constexpr int kSilenceTickMs = 250;

    // ---- Columns and file explorer (mainwindow_columns.cpp) ----
    QWidget* buildLeftColumn();
    QWidget* buildFileExplorer();
    QWidget* buildCenterColumn();
    QLayout* buildTransportRow();
    QWidget* buildRightColumn();    // mainwindow_carts.cpp
    void buildAuxDeck();            // mainwindow_carts.cpp
    QWidget* buildSearchPanel();
    QWidget* buildSchedulerPanel(); // mainwindow_carts.cpp
    void showLeftTabMenu(const QPoint& pos);
    void showSearchHeaderMenu(const QPoint& pos, const QStringList& titles);
    void setLeftTabShown(int index, bool shown);
    void onFileExplorerActivated(const QModelIndex& index);
    void onPlaylistDoubleClicked(const QModelIndex& index);
    void toggleInput(AudioInput* input);

    QSplitter* m_columns = nullptr;
    QWidget* m_leftColumn = nullptr;
    QSplitter* m_leftSplitter = nullptr;
    QTabWidget* m_leftTabs = nullptr;
    QList<QWidget*> m_leftPanels;
    QStringList m_leftPanelNames;
    QList<QIcon> m_leftPanelIcons;
    QGroupBox* m_logBox = nullptr;
    QListWidget* m_logList = nullptr;
    TrackTableWidget* m_searchTable = nullptr;
    QGroupBox* m_schedulerBox = nullptr;
    QFileSystemModel* m_fileModel = nullptr;

    QTabBar* m_playlistTabs = nullptr;
    QTableView* m_playlistTable = nullptr;
    QWidget* m_trackInfoFrame = nullptr;
    QLabel* m_artistLabel = nullptr;
    QLabel* m_titleLabel = nullptr;
    QLabel* m_albumLabel = nullptr;
    QLabel* m_yearLabel = nullptr;
    QLabel* m_genreLabel = nullptr;
    QLabel* m_durationLabel = nullptr;
    QLabel* m_fileNameLabel = nullptr;
    QLabel* m_trackCountLabel = nullptr;
    QLabel* m_timeLeftLabel = nullptr;
    QToolButton* m_micButton = nullptr;
    QToolButton* m_lineButton = nullptr;
    QSlider* m_volumeSlider = nullptr;
    QLabel* m_volumeLabel = nullptr;

    QWidget* m_rightColumn = nullptr;
    QTabWidget* m_cartTabs = nullptr;
    QGroupBox* m_auxPage = nullptr;

    // ---- Menus, toolbar and status bar (mainwindow_menus.cpp) ----
    void createMenus();
    void createToolBar();
    QWidget* buildTopBar();
    QWidget* buildOnAirIndicator();
    void createStatusBarWidgets();
    void toggleBroadcast();
    void startBroadcast(bool askOperator);
    void goOnAir(const BroadcastConfig& config);
    void toggleBuiltInServer();

    QMenu* m_viewMenu = nullptr;
    QAction* m_broadcastAction = nullptr;
    QAction* m_builtInServerAction = nullptr;
    QToolBar* m_toolBar = nullptr;
    QToolButton* m_onAirButton = nullptr;
    QLabel* m_listenerBadge = nullptr;
    QLabel* m_levelLabel = nullptr;
    QLabel* m_silenceLabel = nullptr;
    QLabel* m_statusLabel = nullptr;
    QLabel* m_broadcastLabel = nullptr;
    QLabel* m_recordingLabel = nullptr;
    QLabel* m_serverProblemLabel = nullptr;
    VfdDisplay* m_vfd = nullptr;

    // ---- The sound server the players play on (mainwindow_soundserver.cpp) ----
    // Said in the log and shown in the status bar while it is gone.
    void watchSoundServer();
    SoundServer* m_soundServer = nullptr;
    QLabel* m_soundServerLabel = nullptr;

    // ---- View menu and layout persistence (mainwindow_layout.cpp) ----
    void createViewMenu();
    void updateColumnVisibility();
    void configurePlaylistColumns();
    void saveLayout();
    void restoreLayout();
    void resetLayout();
    void setAuxShown(bool shown);

    QAction* m_panelsAction = nullptr;
    QAction* m_logAction = nullptr;
    QAction* m_trackInfoAction = nullptr;
    QAction* m_cartWallAction = nullptr;
    QAction* m_auxAction = nullptr;
    QAction* m_toolbarAction = nullptr;

    // ---- Live status (mainwindow_status.cpp) ----
    void onNowPlaying(const Track& track);
    // The audio of a start came: that track has aired.
    void onPlayStarted(const Track& track);
    void onStreamMetadata(const QString& title);
    void updateTrackInfo(const Track& track);
    // The track on air (or the last one): its row's record while the list
    // holds it, else as it started; false before anything played.
    bool trackOnAir(Track* track) const;
    QString upcomingName() const;
    void refreshTrackPanels();
    void onPlayingChanged(bool playing);
    void updateFooterCounts();
    void updateClock();
    void onPositionChanged(qint64 ms);
    void onDurationChanged(qint64 ms);
    void onCurrentRowChanged(int row);
    void onEngineLevels(double left, double right);
    void showInputLevels();
    double currentOutputLevel() const;
    void tickSilence();
    void updateSilenceStatus() override;
    void updateInputState();
    void updateOnAirIndicator();
    int totalListeners() const;
    void updateListenerCount();
    void onStreamingChanged(bool on);
    void onServerListenersChanged(int count);
    void onRecordingChanged(bool on);

    QString nowPlayingCategory;
    QString m_lastStreamTitle;
    // The names of the last track whose audio went on air and of the one
    // that aired before it: what the list did since does not change them.
    QString m_airedName;
    QString m_airedBeforeName;
    qint64 m_currentDurationMs = 0;
    double m_micLevelL = 0, m_micLevelR = 0;
    double m_lineLevelL = 0, m_lineLevelR = 0;

    // ---- Protected areas and tool windows (mainwindow_tools.cpp) ----
    bool ensureAccess(int area);
    void openSettings(const QString& page = QString());
    void openPlaylistGenerator();
    void openMusicLibrary();
    void applyChangedSettings();
    void applyWeatherSettings();
    void checkForUpdatesNow();
    void onUpdateAvailable(const UpdateInfo& info);
    void openWebAddress(const QString& address);

    bool manualUpdateCheck = false;
    MusicLibraryDialog* m_musicLibrary = nullptr;

    void onLockClicked();
    void updateLockIndicator();
    void openReportGenerator();
    void openStreamArchive();
    void openAdsScheduler();
    void openSchedulerWindow();
    void openEventEditor();
    void openCrossfades();
    void recordVoiceTrack();
    void openRelay();
    void normalisePlaylist();
    void showAbout();

    QToolButton* m_lockButton = nullptr;
    SchedulerWindow* m_schedulerWindow = nullptr;

    // ---- Cart walls, aux deck and scheduler box (mainwindow_carts.cpp) ----
    CartWall* newCartWall();
    void restoreCartWalls();
    void saveCartWalls();
    void addCartWall();
    void updateCartTabCloseButtons();
    void closeCartTab(int index);
    void renameCartTab(int index);
    void auxAddFiles(const QStringList& paths);
    void auxRenumber();
    void auxPlayItem(QTreeWidgetItem* item);
    QMediaPlayer* auxPlayer();
    void auxNext();
    void refreshSchedulerList() override;
    void preparePlayers();

    CartWall* m_currentCartWall = nullptr;
    int m_cartWallCount = 0;
    QMediaPlayer* m_auxPlayer = nullptr;
    QAudioOutput* m_auxOutput = nullptr;
    bool m_painted = false;
    QTreeWidget* m_auxList = nullptr;
    QLabel* m_auxStatus = nullptr;
    QSlider* m_auxVolume = nullptr;
    QLabel* m_nextEventLabel = nullptr;
    QCheckBox* m_schedulerOn = nullptr;
    QCheckBox* m_schedulerManual = nullptr;

    // ---- Playlist desk (mainwindow_desk.cpp) ----
public:
    void insertVoiceTrackFile(const QString& path);

private:
    // Every road that makes rows goes through it, off this thread.
    RowMaker* m_rowMaker = nullptr;
    // Puts the next slice of the rows into the playlist at `at` (the end
    // when -1), moving `at` past them; true when all are in.
    bool insertRowSlice(PlaylistModel& target, const QList<Track>& rows, qsizetype& next, int* at = nullptr);
    // Rows of these paths into the playlist at `at` (its end when -1, kept
    // within it when it has changed meanwhile); then `added` is told their
    // count.
    void insertPaths(const QStringList& paths, PlaylistModel* into, int at, std::function<void(int)> added);
    void insertItems(const QList<PlaylistFile::Item>& items, PlaylistModel* into, int at,
                     std::function<void(int)> added);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void addTrackToPlaylist(const Track& track);
    void loadTrackMetadata(Track& track) const;
    // AutomationDesk: the rows of files for the automation, as any other.
    void makeRows(const QStringList& paths, std::function<void(const QList<Track>&)> use) override;
    void addPlaylist();
    void onPlaylistTabChanged(int index);
    void switchToPlaylist(int index);
    void setActivePlaylist(int index);
    void updatePlaylistTabLabels();
    void playSelected();
    void removeSelected();

    // ---- Command executor, event and silence reactions (mainwindow_commands.cpp) ----
public slots:
    void runSchedulerCommand(const QString& line);
    void onEventFired(const ScheduledEvent& event);
    void onSilenceDetected(int action);

private:
    AudioEngine* engine() override { return m_engine; }
    PlaylistModel* onAirPlaylist() override { return m_onAir; }
    PlaylistModel* viewedPlaylist() override { return m_viewed; }
    AudioInput* mic() override { return m_mic; }
    AudioInput* lineIn() override { return m_lineIn; }
    EventScheduler* scheduler() override { return m_scheduler; }
    SilenceDetector* silenceDetector() override { return m_silence; }
    AutoIntro* autoIntro() override { return m_autoIntro.get(); }
    DtmfMonitor* dtmfMonitor() override { return m_dtmf; }
    void showOnAirPlaylist() override;
    void showVolume(int volume) override;
    void showSchedulerState() override;
    bool hasSourceClient() override { return m_broadcast; }
    bool sourceClientActive() override;
    void startSourceClient() override { startBroadcast(false); }
    void stopSourceClient() override;
    void setCastTitle(const QString& title) override;
    bool hasArchive() override { return m_archive; }
    void stopArchive() override;
    void startArchive(const QString& folder, const QString& namePattern, qint64 stopAfterMs) override;
    bool hasWeather() override { return m_weather; }
    void refreshWeather() override;
    void setWeatherCity(const QString& city) override;

    CommandExecutor* m_commandExecutor = nullptr;
    EventReactions* m_eventReactions = nullptr;
    void newPlaylist();
    void clearPlaylist();
    void onPlaylistClicked(const QModelIndex& index);
    void addFiles();
    void addFolder();
    void addStopCommand();
    void insertVoiceTrack();
    void removeRows(QList<int> rows);
    int insertPosition() const;
    void showPlaylistTabMenu(const QPoint& pos);
    void showPlaylistContextMenu(const QPoint& pos);
    void openPlaybackQueue();

    // ---- Remote API and DTMF-started events (mainwindow_remote.cpp) ----
    void updateDtmfWindow();
    void checkDtmfEvents(const QString& sequence);

    DtmfMonitor* m_dtmf = nullptr;
    DtmfEventWatch* m_dtmfWatch = nullptr;
    RemoteApi* m_remoteApi = nullptr;
    QTimer* m_dtmfTimer = nullptr;

    // ---- Playlist files, printout and render (mainwindow_files.cpp) ----
public:
    bool writePlaylistFile(const QString& path);
    // Replaces the viewed playlist's rows, or those of the one named, with
    // those of a playlist file (.m3u, .m3u8 or .pls): false when the file is
    // refused at once; else it is read off this thread and `loaded` told
    // whether its rows went in.
    bool loadPlaylistFile(const QString& path, PlaylistModel* into = nullptr,
                          std::function<void(bool)> loaded = {}) override;
    QString playlistHtml() const;
    bool renderPlaylistTo(const QString& path) override;
    void afterRowsMade(std::function<void()> then, int atMostMs = -1) override; // mainwindow_desk.cpp
    bool rowsBeingMade() override;

private:
    // Any file the gate lets through, as File > Open takes it.
    bool startPlaylistLoad(const QString& path, PlaylistModel* into, std::function<void(bool)> loaded);
    void savePlaylistAs();
    void savePlaylist();
    void openPlaylist();
    void openRenderPlaylist();

    QString playlistFile;

    // ---- Search panel and library rebuild (mainwindow_search.cpp) ----
public:
    void rebuildMusicLibrary(const QString& folder) override;

public slots:
    void refreshSearchSources();

private:
    void reloadSearchSource();
    void chooseSearchFolder(int index);
    void runSearch();
    void showSearchResults(const QList<Track>& tracks, int total);
    void onSearchActivated(const QModelIndex& index);
    // folder: scanned whole; empty: the stored files' folders refreshed.
    void storeRebuiltTracks(const QList<Track>& tracks, const QString& folder, qsizetype folders);

    // A library rebuild: its files are found and read off this thread, then
    // stored by the library writer.
    struct
    {
        bool running = false;
        QString name;
        bool known = false; // the library existed before
    } m_rebuild;

    std::shared_ptr<MusicLibrary> m_searchSource;
    LibrarySearcher* m_searcher = nullptr;
    int m_resultCount = 0;
    QComboBox* m_sourceCombo = nullptr;
    QComboBox* m_fieldCombo = nullptr;
    QLineEdit* m_searchBox = nullptr;
    QLabel* m_resultLabel = nullptr;

    // ---- Hot keys (mainwindow_hotkeys.cpp) ----
public:
    void applyHotKeys();

private:
    void rateOnAirTrack(int rating);

    QList<QShortcut*> hotKeyShortcuts;

    // ---- Auto intros and teasers (mainwindow_intro.cpp) ----
public slots:
    void maybeInsertAutoIntro(int row);
    void openAutoIntro();

private:
    void addTeaser();

    std::unique_ptr<AutoIntro> m_autoIntro;

    // ---- Kept across restarts (mainwindow_session.cpp) ----
public:
    // Writes the layout, the cart walls and the playlists now.
    void saveSession();

private:
    void restorePlaylists();
    // Puts the stored rows into the playlists, waiting for their reading
    // if need be: right after the first paint, or as soon as anything needs
    // them. Does nothing the second time.
    void restoreRows();
    void watchSessionChanges();
    void watchPlaylist(PlaylistModel* model);
    void watchCartWall(CartWall* wall);
    void schedulePlaylistSave();
    void scheduleLayoutSave();
    // Hands the playlists to the store's writer, or with now writes them
    // before returning (at exit).
    void savePlaylists(bool now = false);
    void onPlaylistsSaved(bool ok, const QString& message);
    void resumeOutputs();
    // Syncs the settings; a failed write is logged once, until one succeeds.
    bool settingsWritten(QSettings& settings, const QString& what);

    std::unique_ptr<PlaylistStore> m_playlistStore;
    QStringList m_sessionMessages; // for the log, once it exists
    QTimer* m_playlistSaveTimer = nullptr;
    QTimer* m_layoutSaveTimer = nullptr;
    int m_resumeRow = -1;
    QStringList m_restoredAux; // filled into the aux deck once it is built
    bool m_sessionReady = false;
    bool m_playlistSaveFailed = false;
    bool m_rowsToRestore = false;
    bool m_restoringRows = false;
    bool m_playingAtExit = false;
    bool m_resumeWhenRestored = false;
    QSet<QString> m_failedSettingsWrites;
};
