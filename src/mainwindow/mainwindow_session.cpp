// What the operator made outlives the run: the playlists, the cart walls and
// the layout are written when they change and at exit and come back at the
// next start, and with resume on start so do playback and the outputs.
#include "mainwindow.h"

#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/appsettings.h"
#include "mainwindow/cartwall.h"
#include "mainwindow/playliststore.h"
#include "mainwindow/playoutstartup.h"
#include "outputs/broadcastservice.h"
#include "outputs/streamarchive.h"

#include <QAction>
#include <QScopedValueRollback>
#include <QEvent>
#include <QSettings>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

namespace {

// Changes come in bursts (a folder of files, a dragged splitter): one write
// a moment after the first change takes them all.
constexpr int kSaveDelayMs = 1000;

// Up to this many stored rows are restored while the window is built; more
// come in once it has been painted.
constexpr qsizetype kRowsRestoredAtOnce = 5000;


// Moving or resizing the window changes the stored layout.
class GeometryWatch : public QObject
{
public:
    GeometryWatch(QObject* parent, std::function<void()> changed)
        : QObject(parent)
        , m_changed(std::move(changed))
    {
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Move || event->type() == QEvent::Resize)
            m_changed();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_changed;
};

QTimer* saveTimer(QObject* parent, std::function<void()> save)
{
    auto* timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setInterval(kSaveDelayMs);
    QObject::connect(timer, &QTimer::timeout, parent, std::move(save));
    return timer;
}

void startOnce(QTimer* timer, bool ready)
{
    if (ready && timer && !timer->isActive())
        timer->start();
}

} // namespace

void MainWindow::restorePlaylists()
{
    m_playlistStore = std::make_unique<PlaylistStore>();
    connect(m_playlistStore.get(), &PlaylistStore::saved, this, &MainWindow::onPlaylistsSaved);
    connect(m_playlistStore.get(), &PlaylistStore::rowsRead, this, &MainWindow::restoreRows);
    PlaylistStore::Session session;
    QString message;
    const PlaylistStore::LoadResult result = m_playlistStore->loadWithoutRows(session, message);
    if (!message.isEmpty())
        m_sessionMessages << message;
    if (result != PlaylistStore::LoadResult::Loaded || session.playlists.isEmpty()) {
        session = {};
        session.playlists.resize(2);
        session.playlists[0].name = QStringLiteral("Playlist 1");
        session.playlists[1].name = QStringLiteral("Playlist 2");
    }

    const bool hourMarkers = Setting::HourMarkers.read();
    for (const PlaylistStore::Playlist& stored : std::as_const(session.playlists)) {
        auto* model = new PlaylistModel(this);
        model->setShowHourMarkers(hourMarkers);
        m_playlists << model;
        m_playlistNames << (stored.name.isEmpty() ? QStringLiteral("Playlist %1").arg(m_playlists.size()) : stored.name);
    }
    const auto pick = [this](int index) { return m_playlists.at(index >= 0 && index < m_playlists.size() ? index : 0); };
    m_onAir = pick(session.onAir);
    m_viewed = pick(session.viewed);
    m_restoredAux = session.aux;
    m_playingAtExit = session.playing;
    m_rowsToRestore = result == PlaylistStore::LoadResult::Loaded;
    // A long list's rows are read on other threads once the window is
    // painted, and come in when they are all read.
    if (m_playlistStore->pendingRows() < kRowsRestoredAtOnce)
        restoreRows();
}

void MainWindow::restoreRows()
{
    if (!std::exchange(m_rowsToRestore, false))
        return;
    QString damaged;
    QList<PlaylistStore::Playlist> stored = m_playlistStore->takePlaylists(damaged);
    int rows = 0;
    {
        // Restored rows keep the lengths they were stored with.
        const QScopedValueRollback restoring(m_restoringRows, true);
        for (qsizetype i = 0; i < stored.size() && i < m_playlists.size(); ++i) {
            PlaylistStore::apply(std::move(stored[i]), *m_playlists.at(i));
            rows += m_playlists.at(i)->rowCount();
        }
    }
    if (m_playingAtExit && m_onAir->currentRow() >= 0)
        m_resumeRow = m_onAir->currentRow();
    // Rows kept beside values that could not be read are restored all the same.
    QStringList said;
    if (!damaged.isEmpty())
        said << damaged;
    if (damaged.isEmpty() || rows > 0)
        said << QStringLiteral("Restored %1 playlist(s), %2 row(s)").arg(m_playlists.size()).arg(rows);
    for (const QString& line : std::as_const(said)) {
        if (m_sessionReady)
            appendLog(line);
        else
            m_sessionMessages << line;
    }
    if (std::exchange(m_resumeWhenRestored, false))
        resumePlayRow();
}

void MainWindow::watchSessionChanges()
{
    if (m_playlistTabs) {
        const QSignalBlocker block(m_playlistTabs);
        m_playlistTabs->setCurrentIndex(int(m_playlists.indexOf(m_viewed)));
    }
    for (const QString& line : std::as_const(m_sessionMessages))
        appendLog(line);
    m_sessionMessages.clear();
    auxAddFiles(m_restoredAux);
    m_restoredAux.clear();

    m_playlistSaveTimer = saveTimer(this, [this] { savePlaylists(); });
    m_layoutSaveTimer = saveTimer(this, [this] { saveLayout(); });
    connect(m_engine, &AudioEngine::playingChanged, this, &MainWindow::schedulePlaylistSave);
    connect(m_engine, &AudioEngine::currentRowChanged, this, &MainWindow::schedulePlaylistSave);
    // What the operator left on, not what the connection is doing.
    connect(m_broadcast, &BroadcastService::activeChanged, this,
            [](bool on) { Setting::SessionBroadcasting.write(on); });
    connect(m_archive, &StreamArchive::recordingChanged, this, [this](bool on) {
        QSettings settings;
        Setting::SessionRecording.write(settings, on);
        Setting::SessionRecordingTake.write(settings, m_archive->takeRecord());
    });

    for (QSplitter* splitter : {m_columns, m_leftSplitter}) {
        if (splitter)
            connect(splitter, &QSplitter::splitterMoved, this, &MainWindow::scheduleLayoutSave);
    }
    for (QAction* action : {m_panelsAction, m_logAction, m_trackInfoAction, m_cartWallAction, m_auxAction,
                            m_toolbarAction}) {
        if (action)
            connect(action, &QAction::toggled, this, &MainWindow::scheduleLayoutSave);
    }
    for (QTabWidget* tabs : {m_leftTabs, m_cartTabs}) {
        if (!tabs)
            continue;
        connect(tabs->tabBar(), &QTabBar::tabMoved, this, &MainWindow::scheduleLayoutSave);
        connect(tabs, &QTabWidget::currentChanged, this, &MainWindow::scheduleLayoutSave);
    }
    if (m_auxList) {
        QAbstractItemModel* aux = m_auxList->model();
        connect(aux, &QAbstractItemModel::rowsInserted, this, &MainWindow::schedulePlaylistSave);
        connect(aux, &QAbstractItemModel::rowsRemoved, this, &MainWindow::schedulePlaylistSave);
        connect(aux, &QAbstractItemModel::modelReset, this, &MainWindow::schedulePlaylistSave);
    }
    installEventFilter(new GeometryWatch(this, [this] { scheduleLayoutSave(); }));
    m_sessionReady = true;
}

void MainWindow::watchPlaylist(PlaylistModel* model)
{
    connect(model, &QAbstractItemModel::rowsInserted, this, &MainWindow::schedulePlaylistSave);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &MainWindow::schedulePlaylistSave);
    connect(model, &QAbstractItemModel::rowsMoved, this, &MainWindow::schedulePlaylistSave);
    connect(model, &QAbstractItemModel::modelReset, this, &MainWindow::schedulePlaylistSave);
    connect(model, &QAbstractItemModel::layoutChanged, this, &MainWindow::schedulePlaylistSave);
    // Queue, current row, durations and played marks repaint their rows.
    connect(model, &QAbstractItemModel::dataChanged, this, &MainWindow::schedulePlaylistSave);
    schedulePlaylistSave();
}

void MainWindow::watchCartWall(CartWall* wall)
{
    connect(wall, &CartWall::changed, this, &MainWindow::scheduleLayoutSave);
}

void MainWindow::schedulePlaylistSave()
{
    // Rows coming back from the file need not go back into it.
    startOnce(m_playlistSaveTimer, m_sessionReady && !m_restoringRows);
}

void MainWindow::scheduleLayoutSave()
{
    startOnce(m_layoutSaveTimer, m_sessionReady);
}

void MainWindow::savePlaylists(bool now)
{
    if (!m_playlistStore || m_playlists.isEmpty())
        return;
    // Rows not yet in are not to be stored as none.
    restoreRows();
    if (m_playlistSaveTimer)
        m_playlistSaveTimer->stop();
    PlaylistStore::Session session;
    for (int i = 0; i < m_playlists.size(); ++i)
        session.playlists << PlaylistStore::capture(m_playlistNames.value(i), *m_playlists.at(i));
    session.onAir = int(m_playlists.indexOf(m_onAir));
    session.viewed = int(m_playlists.indexOf(m_viewed));
    session.playing = m_engine && m_engine->isPlaying();
    for (int i = 0; m_auxList && i < m_auxList->topLevelItemCount(); ++i)
        session.aux << m_auxList->topLevelItem(i)->data(0, Qt::UserRole).toString();
    if (!now) {
        m_playlistStore->saveLater(std::move(session));
        return;
    }
    QString message;
    const bool ok = m_playlistStore->save(session, message);
    session = {};
    onPlaylistsSaved(ok, message);
    PlayoutStartup::returnFreedMemory();
}

void MainWindow::onPlaylistsSaved(bool ok, const QString& message)
{
    // One report per failure, not one per change while it lasts.
    if (!ok && !m_playlistSaveFailed)
        appendLog(message);
    if (ok && m_playlistSaveFailed)
        appendLog(QStringLiteral("The playlists are saved again"));
    m_playlistSaveFailed = !ok;
}

void MainWindow::saveSession()
{
    if (m_layoutSaveTimer)
        m_layoutSaveTimer->stop();
    saveLayout();
    savePlaylists(true);
}

bool MainWindow::settingsWritten(QSettings& settings, const QString& what)
{
    settings.sync();
    const bool ok = settings.status() == QSettings::NoError;
    // Saved on every change: one report per failure, not one per change.
    if (!ok && !m_failedSettingsWrites.contains(what))
        appendLog(QStringLiteral("Could not save %1: the settings file %2 cannot be written")
                      .arg(what, settings.fileName()));
    if (ok)
        m_failedSettingsWrites.remove(what);
    else
        m_failedSettingsWrites.insert(what);
    return ok;
}

// With resume on start the outputs that were on at exit start again;
// without it the operator is told which ones stay off.
void MainWindow::resumeOutputs()
{
    QSettings settings;
    const bool resume = Setting::ResumeOnStart.read(settings);
    QStringList off;
    if (Setting::SessionBroadcasting.read(settings) && m_broadcast && !m_broadcast->isStreaming()) {
        const BroadcastConfig config = BroadcastService::configFromSettings();
        if (!resume) {
            off << QStringLiteral("broadcasting");
            Setting::SessionBroadcasting.write(settings, false);
        } else if (!BroadcastService::encoderAvailable() || config.host.isEmpty() || config.password.isEmpty()) {
            appendLog(QStringLiteral("Broadcasting was on at exit but cannot start again: "
                                     "no encoder, server address or password"));
        } else {
            goOnAir(config);
            appendLog(QStringLiteral("Resumed broadcasting on startup"));
        }
    }
    if (Setting::SessionRecording.read(settings) && m_archive && !m_archive->isRecording()) {
        if (!resume) {
            off << QStringLiteral("recording");
            Setting::SessionRecording.write(settings, false);
        } else if (m_archive->resumeTake(Setting::SessionRecordingTake.read(settings).toMap())) {
            appendLog(QStringLiteral("Resumed recording on startup"));
        } else {
            Setting::SessionRecording.write(settings, false);
        }
    }
    if (off.isEmpty())
        return;
    QString what = off.join(QStringLiteral(" and "));
    what[0] = what[0].toUpper();
    const QString text = QStringLiteral("%1 %2 on at exit and %3 off now (\"Resume playback on startup\" is off)")
                             .arg(what, off.size() > 1 ? QStringLiteral("were") : QStringLiteral("was"),
                                  off.size() > 1 ? QStringLiteral("are") : QStringLiteral("is"));
    appendLog(text);
    statusBar()->showMessage(text);
}
