// The playlist desk: which playlist is viewed and which is on air, rows
// going in and out of the viewed one, the desk's menus and the queue window.
#include "mainwindow.h"

#include "dialogs/library/segueeditordialog.h"
#include "dialogs/library/tracktooldialog.h"
#include "dialogs/library/voicetrackdialog.h"
#include "dialogs/playbackqueuedialog.h"
#include "dialogs/prompts.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/appsettings.h"
#include "library/audiofiles.h"
#include "library/musiclibrary.h"
#include "library/ownconnection.h"
#include "library/pathgate.h"

#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHash>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMimeData>
#include <QSettings>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTableView>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <chrono>
#include <optional>

namespace {

// Paths described on the spot, without a worker: what a drop or a search
// result brings, not what a folder or a playlist file holds.
constexpr qsizetype kRowsAtOnce = 16;
// Rows put in per turn of the event loop: a few milliseconds' work.
constexpr qsizetype kRowsPerTurn = 2000;
// A file's system that has not answered an open or a read for this long
// has hung; a read that takes longer in all is not worth waiting for.
constexpr qint64 kReadSilentMs = 1000;
constexpr qint64 kReadLongestMs = 10000;

// The workers that make rows. Never waited for at exit: one may be held
// for good in an open() on a share that hung, which nothing can cancel.
QThreadPool* rowWorkers()
{
    static QThreadPool* const pool = new QThreadPool;
    return pool;
}

// A worker held by a read given up is lent back to the others meanwhile.
void lendWorker(int change)
{
    QThreadPool* pool = rowWorkers();
    pool->setMaxThreadCount(pool->maxThreadCount() + change);
}

Track stopRow()
{
    Track t;
    t.marker = true;
    t.label = QStringLiteral("stop");
    return t;
}

} // namespace

qint64 MainWindow::ReadWatch::now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void MainWindow::ReadWatch::answered()
{
    const qint64 at = now();
    qint64 unset = 0;
    started.compare_exchange_strong(unset, at);
    lastAnswer = at;
}

bool MainWindow::ReadWatch::finish()
{
    int reading = Reading;
    return state.compare_exchange_strong(reading, Read);
}

QString MainWindow::ReadWatch::stall(qint64 at) const
{
    const qint64 last = lastAnswer;
    if (state != Reading || last == 0)
        return {};
    if (at - last > kReadSilentMs)
        return QStringLiteral("no answer for %1 s").arg(kReadSilentMs / 1000);
    if (at - started > kReadLongestMs)
        return QStringLiteral("not read in %1 s").arg(kReadLongestMs / 1000);
    return {};
}

void MainWindow::makeRows(MakeRows make, bool atOnce, UseRows use, std::shared_ptr<ReadWatch> watch)
{
    if (atOnce && m_rowJobs.isEmpty() && !watch) {
        PlaylistRows::Made made = make(QString());
        while (!use(made)) {
        }
        return;
    }
    auto job = std::make_shared<RowJob>();
    job->use = std::move(use);
    job->watch = watch;
    m_rowJobs << job;
    if (watch) {
        if (!m_rowReadWatch) {
            m_rowReadWatch = new QTimer(this);
            m_rowReadWatch->setInterval(250);
            connect(m_rowReadWatch, &QTimer::timeout, this, &MainWindow::watchRowReads);
        }
        m_rowReadWatch->start();
    }
    const QString file = MusicLibrary::database().databaseName();
    const QString name = QStringLiteral("ol_rows_%1").arg(++m_rowConnections);
    QtConcurrent::run(rowWorkers(), [file, name, make = std::move(make), watch] {
        OwnConnection connection(file, name);
        // Unopened, its lookups find nothing and the files' tags serve.
        connection.open();
        PlaylistRows::Made made = make(connection.name());
        if (watch && watch->state == ReadWatch::GivenUp)
            lendWorker(-1);
        return made;
    }).then(this, [this, job](PlaylistRows::Made made) {
        // Given up, it has been used already.
        if (job->ready)
            return;
        job->made = std::move(made);
        job->ready = true;
        useReadyRows();
    });
}

void MainWindow::watchRowReads()
{
    const qint64 at = ReadWatch::now();
    bool watching = false;
    for (const std::shared_ptr<RowJob>& job : std::as_const(m_rowJobs)) {
        if (job->ready || !job->watch)
            continue;
        const QString why = job->watch->stall(at);
        int reading = ReadWatch::Reading;
        if (why.isEmpty() || !job->watch->state.compare_exchange_strong(reading, ReadWatch::GivenUp)) {
            watching = watching || job->watch->state == ReadWatch::Reading;
            continue;
        }
        lendWorker(1);
        job->made = {};
        job->made.notes << QStringLiteral("Could not open playlist: %1 (%2; given up)")
                               .arg(PathGate::excerpt(job->watch->file), why);
        job->ready = true;
    }
    if (!watching)
        m_rowReadWatch->stop();
    useReadyRows();
}

void MainWindow::afterRowsMade(std::function<void()> then)
{
    if (m_rowJobs.isEmpty()) {
        then();
        return;
    }
    auto job = std::make_shared<RowJob>();
    job->use = [then = std::move(then)](PlaylistRows::Made&) {
        then();
        return true;
    };
    job->ready = true;
    m_rowJobs << job;
}

void MainWindow::useReadyRows()
{
    // What a job's use sets off may come back here; the job at the front
    // is used by one call at a time.
    if (m_usingRows)
        return;
    m_usingRows = true;
    while (!m_rowJobs.isEmpty() && m_rowJobs.constFirst()->ready) {
        const std::shared_ptr<RowJob> job = m_rowJobs.constFirst();
        if (!job->use(job->made)) {
            // The rest at the next turn: the window paints and the air's
            // timers run between slices.
            QTimer::singleShot(0, this, &MainWindow::useReadyRows);
            break;
        }
        m_rowJobs.removeFirst();
    }
    m_usingRows = false;
}

bool MainWindow::insertRowSlice(PlaylistModel& target, const QList<Track>& rows, qsizetype& next)
{
    const QList<Track> slice = rows.mid(next, kRowsPerTurn);
    next += slice.size();
    // One insertion per slice: start times, totals and the duration queue once.
    target.insertTracks(target.rowCount(), slice);
    updateFooterCounts();
    return next >= rows.size();
}

bool MainWindow::rowsAtOnce(const QStringList& paths)
{
    // Tags and library records of a few files take a moment; those of many,
    // or of a folder, would keep the window and the air's timers waiting.
    if (paths.size() > kRowsAtOnce)
        return false;
    return std::none_of(paths.cbegin(), paths.cend(), [](const QString& path) { return QFileInfo(path).isDir(); });
}

void MainWindow::addPaths(const QStringList& paths, PlaylistModel* into, std::function<void(int)> added)
{
    // After the stored rows, never before them.
    restoreRows();
    const QList<PlaylistFile::Item> items = PlaylistRows::itemsFor(paths);
    makeRows([items](const QString& connection) { return PlaylistRows::make(items, connection); }, rowsAtOnce(paths),
             [this, target = QPointer<PlaylistModel>(into ? into : m_viewed), added = std::move(added),
              next = qsizetype(0)](PlaylistRows::Made& made) mutable {
                 if (next == 0) {
                     for (const QString& note : std::as_const(made.notes))
                         appendLog(note);
                 }
                 if (!target)
                     return true;
                 if (!insertRowSlice(*target, made.rows, next))
                     return false;
                 if (added)
                     added(int(made.rows.size()));
                 return true;
             });
}

void MainWindow::addFiles()
{
    addPaths(Prompts::openFileNames(this, QStringLiteral("Add files to playlist"), QString(),
                                    AudioFiles::dialogFilter(QStringLiteral("Audio files"))
                                        + QStringLiteral(";;All files (*.*)")));
}

void MainWindow::addFolder()
{
    const QString folder = Prompts::existingDirectory(this, QStringLiteral("Add folder to playlist"));
    if (folder.isEmpty())
        return;
    addPaths({folder});
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile()) {
            const QString address = url.toString();
            if (Track::isStreamUrl(address))
                paths << address;
            continue;
        }
        // A folder stands for its audio files.
        const QFileInfo info(url.toLocalFile());
        if (info.isDir()) {
            paths << info.filePath();
        } else if (const QString refusal = PlaylistRows::refusal(info.filePath()); !refusal.isEmpty()) {
            appendLog(refusal);
        } else if (AudioFiles::hasAudioSuffix(info.fileName())) {
            paths << info.filePath();
        }
    }
    if (paths.isEmpty())
        return;
    addPaths(paths, nullptr, [this](int rows) {
        if (rows > 0)
            appendLog(QStringLiteral("Added %1 file(s) via drag & drop").arg(rows));
    });
    event->acceptProposedAction();
}

void MainWindow::addTrackToPlaylist(const Track& track)
{
    Track row = track;
    if (row.isStream) {
        bool ok = false;
        const QString answer = Prompts::text(this, QStringLiteral("Stream play duration"),
                                             QStringLiteral("Play for (m:ss, or 0:00 for unlimited):"),
                                             QStringLiteral("0:00"), &ok);
        if (!ok)
            return;
        const QStringList parts = answer.split(QLatin1Char(':'));
        auto number = [&parts](int i) { return qint64(qMax(0, parts.at(i).toInt())); };
        qint64 seconds = 0;
        if (parts.size() == 2)
            seconds = number(0) * 60 + number(1);
        else if (parts.size() == 3)
            seconds = number(0) * 3600 + number(1) * 60 + number(2);
        row.streamLimitMs = seconds * 1000;
        appendLog(row.streamLimitMs > 0 ? QStringLiteral("Added stream (limit %1): %2").arg(answer, row.title)
                                        : QStringLiteral("Added stream (unlimited): %1").arg(row.title));
    }
    m_viewed->addTrack(row);
    updateFooterCounts();
}

void MainWindow::loadTrackMetadata(Track& track) const
{
    if (track.filePath.isEmpty())
        return;
    // What the row says of the file; its own kind (category, flags) stays.
    const Track known = MusicLibrary::rowsForFiles({track.filePath}).constFirst();
    track.artist = known.artist;
    track.title = known.title;
    track.album = known.album;
    track.genre = known.genre;
    track.comment = known.comment;
    track.year = known.year;
    if (track.durationMs <= 0)
        track.durationMs = known.durationMs;
}

int MainWindow::insertPosition() const
{
    const QModelIndex current = m_playlistTable->currentIndex();
    return current.isValid() ? current.row() + 1 : m_viewed->rowCount();
}

void MainWindow::addStopCommand()
{
    const int position = insertPosition();
    m_viewed->insertTrack(position, stopRow());
    updateFooterCounts();
    appendLog(QStringLiteral("Inserted STOP command at position %1").arg(position + 1));
}

void MainWindow::insertVoiceTrack()
{
    const QString folder = VoiceTrackDialog::voiceTrackFolder();
    QDir().mkpath(folder);
    const QString path = Prompts::openFileName(this, QStringLiteral("Insert voice track"), folder,
                                               AudioFiles::dialogFilter(QStringLiteral("Audio"))
                                                   + QStringLiteral(";;All files (*)"));
    if (!path.isEmpty())
        insertVoiceTrackFile(path);
}

void MainWindow::insertVoiceTrackFile(const QString& path)
{
    if (!m_viewed || path.isEmpty())
        return;
    if (const QString refusal = PlaylistRows::refusal(path); !refusal.isEmpty()) {
        appendLog(refusal);
        return;
    }
    Track row;
    row.filePath = path;
    row.voiceTrack = true;
    loadTrackMetadata(row);
    row.artist = QStringLiteral("Voice track");
    m_viewed->insertTrack(insertPosition(), row);
    appendLog(QStringLiteral("Inserted voice track: ") + QFileInfo(path).fileName());
}

void MainWindow::onPlaylistClicked(const QModelIndex& index)
{
    if (!index.isValid() || !index.model())
        return;
    const int row = index.row();
    if (index.column() == PlaylistModel::RemoveColumn) {
        m_viewed->removeRow(row);
        updateFooterCounts();
    } else if (index.column() == PlaylistModel::StopColumn && row < m_viewed->rowCount()
               && !m_viewed->tracks().at(row).marker) {
        m_viewed->insertTrack(row + 1, stopRow());
        updateFooterCounts();
        appendLog(QStringLiteral("Inserted STOP after row %1").arg(row + 1));
    }
}

void MainWindow::newPlaylist()
{
    if (m_viewed->rowCount() > 0
        && Prompts::question(this, QStringLiteral("New playlist"),
                             QStringLiteral("Clear the current playlist and start a new one?"),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
               != QMessageBox::Yes)
        return;
    m_viewed->clearAll();
    updateFooterCounts();
    playlistFile.clear();
    appendLog(QStringLiteral("New playlist"));
}

void MainWindow::clearPlaylist()
{
    const int rows = m_viewed->rowCount();
    // One click must not take the station's evening away, nor a list the
    // operator built: the empty list is saved a moment later.
    const bool onAir = m_viewed == m_onAir && m_engine->isPlaying();
    if (rows > 0
        && Prompts::question(this, QStringLiteral("Clear playlist"),
                             (onAir ? QStringLiteral("This playlist is on air. Remove all %1 rows?")
                                    : QStringLiteral("Remove all %1 rows?"))
                                 .arg(rows),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
               != QMessageBox::Yes)
        return;
    m_viewed->clearAll();
    updateFooterCounts();
    appendLog(QStringLiteral("Cleared playlist: %1 row(s) removed").arg(rows));
}

void MainWindow::addPlaylist()
{
    auto* model = new PlaylistModel(this);
    model->setShowHourMarkers(Setting::HourMarkers.read());
    m_playlists << model;
    wirePlaylistModel(model);
    const QString name = QStringLiteral("Playlist %1").arg(m_playlists.size());
    m_playlistNames << name;
    {
        const QSignalBlocker block(m_playlistTabs);
        m_playlistTabs->insertTab(int(m_playlists.size()) - 1, name);
    }
    m_playlistTabs->setCurrentIndex(int(m_playlists.size()) - 1);
    appendLog(QStringLiteral("Added ") + name);
}

void MainWindow::onPlaylistTabChanged(int index)
{
    if (index >= m_playlists.size())
        addPlaylist();
    else
        switchToPlaylist(index);
}

void MainWindow::switchToPlaylist(int index)
{
    if (index < 0 || index >= m_playlists.size())
        return;
    m_viewed = m_playlists.at(index);
    m_playlistTable->setModel(m_viewed);
    configurePlaylistColumns();
    updateFooterCounts();
}

void MainWindow::setActivePlaylist(int index)
{
    if (index < 0 || index >= m_playlists.size())
        return;
    m_onAir = m_playlists.at(index);
    m_engine->setPlaylist(m_onAir);
    updatePlaylistTabLabels();
    refreshTrackPanels();
}

void MainWindow::updatePlaylistTabLabels()
{
    if (m_playlists.isEmpty() || !m_playlistTabs)
        return;
    const qsizetype onAir = m_playlists.indexOf(m_onAir);
    for (int i = 0; i < m_playlistNames.size() && i < m_playlists.size(); ++i)
        m_playlistTabs->setTabText(i, (i == onAir ? QStringLiteral("▶ ") : QString()) + m_playlistNames.at(i));
    // Names and the playlist on air are stored with the rows.
    schedulePlaylistSave();
}

void MainWindow::playSelected()
{
    const QModelIndex current = m_playlistTable->currentIndex();
    setActivePlaylist(m_playlistTabs->currentIndex());
    if (current.isValid())
        m_engine->playRow(current.row());
    else
        m_engine->play();
}

void MainWindow::removeRows(QList<int> rows)
{
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : std::as_const(rows))
        m_viewed->removeRow(row);
    if (!rows.isEmpty())
        updateFooterCounts();
}

void MainWindow::removeSelected()
{
    QList<int> rows;
    if (QItemSelectionModel* selection = m_playlistTable->selectionModel()) {
        for (const QModelIndex& index : selection->selectedRows(0))
            rows << index.row();
    }
    if (rows.isEmpty() && m_playlistTable->currentIndex().isValid())
        rows << m_playlistTable->currentIndex().row();
    removeRows(rows);
}

void MainWindow::showPlaylistTabMenu(const QPoint& pos)
{
    const int tab = m_playlistTabs->tabAt(pos);
    if (tab < 0 || tab >= m_playlists.size())
        return;
    PlaylistModel* model = m_playlists.at(tab);
    // The menu's own loop may let automation change the playlists; each
    // entry looks its playlist up again.
    auto indexOf = [this, model] { return int(m_playlists.indexOf(model)); };
    QMenu menu(this);
    menu.addAction(QStringLiteral("Rename..."), this, [this, indexOf] {
        const int i = indexOf();
        if (i < 0)
            return;
        bool ok = false;
        const QString name = Prompts::text(this, QStringLiteral("Rename playlist"), QStringLiteral("Name:"),
                                           m_playlistNames.at(i), &ok)
                                 .trimmed();
        if (!ok || name.isEmpty() || indexOf() != i)
            return;
        m_playlistNames[i] = name;
        m_playlistTabs->setTabText(i, name);
        updatePlaylistTabLabels();
    });
    menu.addAction(QStringLiteral("Set as active (on air)"), this, [this, indexOf] {
        const int i = indexOf();
        if (i < 0)
            return;
        setActivePlaylist(i);
        appendLog(QStringLiteral("Active playlist: ") + m_playlistNames.at(i));
    });
    menu.addSeparator();
    QAction* markers = menu.addAction(QStringLiteral("Show hour separation markers"));
    markers->setCheckable(true);
    markers->setChecked(model->showHourMarkers());
    connect(markers, &QAction::triggered, this, [this, model, indexOf] {
        if (indexOf() < 0)
            return;
        const bool on = !model->showHourMarkers();
        model->setShowHourMarkers(on);
        Setting::HourMarkers.write(on);
        appendLog(on ? QStringLiteral("Hour separation markers: on") : QStringLiteral("Hour separation markers: off"));
    });
    menu.addSeparator();
    QAction* remove = menu.addAction(QStringLiteral("Delete playlist"));
    remove->setEnabled(m_playlists.size() >= 2);
    connect(remove, &QAction::triggered, this, [this, model, indexOf] {
        int i = indexOf();
        if (i < 0 || m_playlists.size() < 2)
            return;
        if (Prompts::question(this, QStringLiteral("Delete playlist"),
                              QStringLiteral("Delete \"%1\"?").arg(m_playlistNames.at(i)),
                              QMessageBox::Yes | QMessageBox::No)
            != QMessageBox::Yes)
            return;
        i = indexOf();
        if (i < 0 || m_playlists.size() < 2)
            return;
        m_playlists.removeAt(i);
        m_playlistNames.removeAt(i);
        if (m_onAir == model)
            m_onAir = m_playlists.first();
        {
            const QSignalBlocker block(m_playlistTabs);
            m_playlistTabs->removeTab(i);
        }
        const int next = std::min(int(m_playlists.size()) - 1, i);
        m_playlistTabs->setCurrentIndex(next);
        // Setting the index the tab bar already has after the removal emits nothing.
        switchToPlaylist(next);
        setActivePlaylist(int(m_playlists.indexOf(m_onAir)));
        model->deleteLater();
    });
    menu.exec(m_playlistTabs->mapToGlobal(pos));
}

void MainWindow::showPlaylistContextMenu(const QPoint& pos)
{
    const QModelIndex index = m_playlistTable->indexAt(pos);
    PlaylistModel* model = m_viewed;
    QMenu menu(this);
    if (index.isValid()) {
        const int r = index.row();
        const Track track = model->tracks().value(r);
        // Entries that need the row do nothing once it is gone.
        auto rowStands = [this, model, r] { return m_viewed == model && r < model->rowCount(); };
        menu.addAction(QStringLiteral("Play"), this, [this, r, rowStands] {
            if (!rowStands())
                return;
            setActivePlaylist(m_playlistTabs->currentIndex());
            m_engine->playRow(r);
        });
        menu.addAction(QStringLiteral("Remove"), this, [this, r, rowStands] {
            if (!rowStands())
                return;
            QList<int> rows;
            for (const QModelIndex& selected : m_playlistTable->selectionModel()->selectedRows(0))
                rows << selected.row();
            removeRows(rows.isEmpty() ? QList<int>{r} : rows);
        });
        menu.addAction(QStringLiteral("Add STOP command after"), this, [this, model, r, rowStands] {
            if (!rowStands())
                return;
            model->insertTrack(r + 1, stopRow());
            updateFooterCounts();
        });
        menu.addSeparator();
        if (model->queuePosition(r) > 0) {
            menu.addAction(QStringLiteral("Remove from playback queue"), this, [this, model, r, rowStands] {
                if (!rowStands())
                    return;
                model->removeFromQueue(r);
                appendLog(QStringLiteral("Removed from playback queue: ") + model->tracks().at(r).displayName());
            });
        } else {
            menu.addAction(QStringLiteral("Add to playback queue"), this, [this, model, r, rowStands] {
                if (!rowStands())
                    return;
                model->addToQueue(r);
                appendLog(QStringLiteral("Queued [%1]: %2")
                              .arg(model->queuePosition(r))
                              .arg(model->tracks().at(r).displayName()));
            });
        }
        menu.addSeparator();
        if (!track.marker && !track.isStream) {
            menu.addAction(QStringLiteral("Track Tool…"), this, [this, track] {
                TrackToolDialog dialog(track, this);
                if (Prompts::exec(dialog) == QDialog::Accepted)
                    appendLog(QStringLiteral("Track Tool: saved settings for ") + track.displayName());
            });
            const auto addSegueEditor = [&](const QString& label, int junctions) {
                if (r + junctions >= model->rowCount())
                    return;
                menu.addAction(label, this, [this, model, r, junctions, rowStands] {
                    if (!rowStands() || r + junctions >= model->rowCount())
                        return;
                    SegueEditorDialog dialog(model->tracks().mid(r, junctions + 1),
                                             model->segueOverrides(r, junctions), this);
                    if (Prompts::exec(dialog) != QDialog::Accepted)
                        return;
                    model->setSegueOverrides(r, dialog.overrides());
                    appendLog(QStringLiteral("Segue Editor: updated %1 junction(s)").arg(dialog.overrides().size()));
                });
            };
            addSegueEditor(QStringLiteral("Segue Editor…"), 1);
            addSegueEditor(QStringLiteral("Segue Editor 3…"), 2);
            menu.addSeparator();
        }
    }
    menu.addAction(QStringLiteral("Clear playlist"), this, [this, model] {
        if (m_viewed == model)
            clearPlaylist();
    });
    menu.exec(m_playlistTable->viewport()->mapToGlobal(pos));
}

void MainWindow::openPlaybackQueue()
{
    PlaybackQueueDialog dialog(m_viewed, this);
    Prompts::exec(dialog);
}
