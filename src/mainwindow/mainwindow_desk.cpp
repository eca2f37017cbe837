// The playlist desk: which playlist is viewed and which is on air, and rows
// going in and out of the viewed one.
#include "mainwindow.h"

#include "dialogs/prompts.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"

#include <QFileInfo>
#include <QItemSelectionModel>
#include <QSettings>
#include <QTabBar>
#include <QTableView>

#include <algorithm>
#include <optional>

namespace {

// The first stream record of any library with exactly this address.
std::optional<Track> libraryStream(const QString& address)
{
    for (const QString& name : MusicLibrary::availableLibraries()) {
        MusicLibrary library;
        if (!library.load(name))
            continue;
        const QList<Track> tracks = library.search(QString());
        for (const Track& t : tracks) {
            if (t.isStream && t.filePath == address)
                return t;
        }
    }
    return std::nullopt;
}

} // namespace

void MainWindow::addPaths(const QStringList& paths)
{
    for (const QString& path : paths) {
        Track row;
        if (Track::isStreamUrl(path)) {
            row.artist = QStringLiteral("Online stream");
            row.title = row.filePath = path.trimmed();
            row.isStream = true;
            if (const std::optional<Track> record = libraryStream(path)) {
                row.title = record->title;
                row.streamLimitMs = record->streamLimitMs;
            }
        } else {
            row = Track::fromFile(path);
            row.filePath = path;
            loadTrackMetadata(row);
        }
        m_viewed->addTrack(row);
    }
    updateFooterCounts();
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
    const QString base = QFileInfo(track.filePath).completeBaseName();
    const qsizetype dash = base.indexOf(QStringLiteral(" - "));
    if (dash > 0) {
        track.artist = base.left(dash).trimmed();
        track.title = base.mid(dash + 3).trimmed();
    } else {
        track.title = base;
    }
}

void MainWindow::addPlaylist()
{
    auto* model = new PlaylistModel(this);
    model->setShowHourMarkers(QSettings().value(QStringLiteral("playlist/hourMarkers"), false).toBool());
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

void MainWindow::removeSelected()
{
    QList<int> rows;
    if (QItemSelectionModel* selection = m_playlistTable->selectionModel()) {
        for (const QModelIndex& index : selection->selectedRows(0))
            rows << index.row();
    }
    if (rows.isEmpty() && m_playlistTable->currentIndex().isValid())
        rows << m_playlistTable->currentIndex().row();
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : std::as_const(rows))
        m_viewed->removeRow(row);
    if (!rows.isEmpty())
        updateFooterCounts();
}
