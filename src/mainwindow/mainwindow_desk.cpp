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
#include "mainwindow/rowmaker.h"

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
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <optional>

namespace {

// Rows put in per turn of the event loop: a few milliseconds' work.
constexpr qsizetype kRowsPerTurn = 2000;

Track stopRow()
{
    Track t;
    t.marker = true;
    t.label = QStringLiteral("stop");
    return t;
}

} // namespace

void MainWindow::afterRowsMade(std::function<void()> then, int atMostMs)
{
    m_rowMaker->after(std::move(then), atMostMs);
}

bool MainWindow::rowsBeingMade()
{
    return m_rowMaker->busy();
}

bool MainWindow::insertRowSlice(PlaylistModel& target, const QList<Track>& rows, qsizetype& next, int* at)
{
    const QList<Track> slice = rows.mid(next, kRowsPerTurn);
    next += slice.size();
    int position = target.rowCount();
    if (at && *at >= 0) {
        position = std::min(*at, position);
        *at = position + int(slice.size());
    }
    // One insertion per slice: start times, totals and the duration queue once.
    target.insertTracks(position, slice);
    updateFooterCounts();
    return next >= rows.size();
}

void MainWindow::addPaths(const QStringList& paths, PlaylistModel* into, std::function<void(int)> added)
{
    insertPaths(paths, into, -1, std::move(added));
}

void MainWindow::insertPaths(const QStringList& paths, PlaylistModel* into, int at, std::function<void(int)> added)
{
    insertItems(PlaylistRows::itemsFor(paths), into, at, std::move(added));
}

void MainWindow::insertItems(const QList<PlaylistFile::Item>& items, PlaylistModel* into, int at,
                             std::function<void(int)> added)
{
    // After the stored rows, never before them.
    restoreRows();
    m_rowMaker->makeRows(items, [this, target = QPointer<PlaylistModel>(into ? into : m_viewed), at,
                                 added = std::move(added), next = qsizetype(0)](PlaylistRows::Made& made) mutable {
        if (next == 0) {
            for (const QString& note : std::as_const(made.notes))
                appendLog(note);
        }
        if (!target)
            return true;
        if (!made.rows.isEmpty() && !insertRowSlice(*target, made.rows, next, &at))
            return false;
        if (added)
            added(int(made.rows.size()));
        return true;
    });
}

void MainWindow::makeRows(const QStringList& paths, std::function<void(const QList<Track>&)> use)
{
    restoreRows();
    m_rowMaker->makeRows(PlaylistRows::itemsFor(paths), [this, use = std::move(use)](PlaylistRows::Made& made) {
        for (const QString& note : std::as_const(made.notes))
            appendLog(note);
        use(made.rows);
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
    QList<PlaylistFile::Item> items;
    for (const QUrl& url : event->mimeData()->urls()) {
        PlaylistFile::Item item;
        if (!url.isLocalFile()) {
            item.path = url.toString();
            if (Track::isStreamUrl(item.path))
                items << item;
            continue;
        }
        // A folder stands for its audio files. Which it is, and what the
        // gate says, is looked at with the rest off this thread.
        item.path = url.toLocalFile();
        item.audioOnly = true;
        items << item;
    }
    if (items.isEmpty())
        return;
    insertItems(items, nullptr, -1, [this](int rows) {
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
    // Where the operator asked for it, as far as the rows then allow.
    restoreRows();
    m_rowMaker->makeRows(PlaylistRows::itemsFor({path}), [this, target = QPointer<PlaylistModel>(m_viewed),
                                                          at = insertPosition(), path](PlaylistRows::Made& made) {
        for (const QString& note : std::as_const(made.notes))
            appendLog(note);
        if (!target || made.rows.isEmpty())
            return true;
        // What the row says of the file; it is a voice track all the same.
        Track row = made.rows.constFirst();
        row.voiceTrack = true;
        row.artist = QStringLiteral("Voice track");
        target->insertTrack(std::min(at, target->rowCount()), row);
        updateFooterCounts();
        appendLog(QStringLiteral("Inserted voice track: ") + QFileInfo(path).fileName());
        return true;
    });
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
