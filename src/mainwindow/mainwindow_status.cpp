// Live status: the log, what plays and what comes next, the footer, the
// meters and the indicators of the inputs and outputs.
#include "mainwindow.h"

#include "automation/playbackinfo.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "library/appsettings.h"
#include "library/librarywriter.h"
#include "mainwindow/stderrlog.h"
#include "mainwindow/vfddisplay.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "outputs/nowplayingwriter.h"
#include "outputs/streamarchive.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QSlider>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <utility>

namespace {

constexpr int kLogLines = 200;

QString orDash(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

bool isControl(char16_t u)
{
    return u < 0x20 || (u >= 0x7f && u < 0xa0) || u == 0x2028 || u == 0x2029;
}

// Text from outside (a command line, a title) must not forge a second log
// line: control characters are shown escaped.
QString escapedControls(const QString& text)
{
    if (std::none_of(text.cbegin(), text.cend(), [](QChar c) { return isControl(c.unicode()); }))
        return text;
    QString out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u == '\t')
            out += QStringLiteral("\\t");
        else if (isControl(u))
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// What an indicator adds while a capture takes the default input in place
// of the device asked for.
QString missingNote(const QString& missing)
{
    return missing.isEmpty() ? QString() : QStringLiteral(" (default input: \"%1\" not present)").arg(missing);
}

} // namespace

void MainWindow::appendLog(const QString& text)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString shown = escapedControls(text);
    // The window keeps only the last lines; a terminal or service manager
    // keeps the night's record, when it reads it.
    StderrLog::write(shown);
    if (!m_logList)
        return;
    m_logList->insertItem(0, now.toString(QStringLiteral("h:mm:ss AP")) + QStringLiteral("  ") + shown);
    while (m_logList->count() > kLogLines)
        delete m_logList->takeItem(m_logList->count() - 1);
}

void MainWindow::reportLibraryTrouble(const QString& text)
{
    appendLog(text);
    statusBar()->showMessage(text);
}

void MainWindow::watchLibraryWrites()
{
    // Said once when the plays stop being written, and once when they are
    // written again; in between the log is not filled a line per track.
    connect(m_libraryWriter, &LibraryWriter::playsNotWritten, this, [this](int waiting, const QString& reason) {
        reportLibraryTrouble(QStringLiteral("Play log: %1 play(s) could not be recorded (%2); they are kept and "
                                            "tried again")
                                 .arg(waiting)
                                 .arg(reason));
    });
    connect(m_libraryWriter, &LibraryWriter::playsWritten, this, [this](int count) {
        appendLog(QStringLiteral("Play log: %1 play(s) recorded after all").arg(count));
        if (statusBar()->currentMessage().startsWith(QStringLiteral("Play log:")))
            statusBar()->clearMessage();
    });
    connect(m_libraryWriter, &LibraryWriter::logMessage, this, &MainWindow::appendLog);
    connect(m_libraryWriter, &LibraryWriter::databaseMoved, this, [this](const QString& file) {
        MusicLibrary::followDatabase();
        reportLibraryTrouble(QStringLiteral("The library database was set aside by another program; now using the "
                                            "new %1")
                                 .arg(QDir::toNativeSeparators(file)));
        refreshSearchSources();
    });
    m_libraryWriter->recordKeptPlays();
}

void MainWindow::onNowPlaying(const Track& track)
{
    m_vfd->setNowPlaying(track.displayName());
    updateTrackInfo(track);
    nowPlayingCategory = track.category;
    m_lastStreamTitle.clear();
    // A command row (STOP, PAUSE) is not a title to send out. The source
    // client keeps a title given while it connects, for every connection.
    if (!track.marker) {
        m_nowPlayingFile->update(track, QString());
        if (m_broadcast)
            m_broadcast->updateMetadata(track.displayName());
    }
    if (!m_onAir || !m_engine)
        return;
    m_vfd->setNextUp(upcomingName());
    // Until this one's audio comes, the last that aired is the one before it.
    m_vfd->setJustPlayed(orDash(m_airedName));
    // Looked at once the start has been handled, on the row then coming.
    QTimer::singleShot(0, this, [this] {
        if (m_engine)
            maybeInsertAutoIntro(m_engine->currentRow() + 1);
    });
}

void MainWindow::onPlayStarted(const Track& track)
{
    if (track.marker)
        return;
    m_airedBeforeName = std::exchange(m_airedName, track.displayName());
    m_vfd->setJustPlayed(orDash(m_airedBeforeName));
}

void MainWindow::onStreamMetadata(const QString& title)
{
    m_lastStreamTitle = title;
    m_vfd->setNowPlaying(title);
    if (m_broadcast)
        m_broadcast->updateMetadata(title);
    Track track;
    trackOnAir(&track);
    m_nowPlayingFile->update(track, title);
}

void MainWindow::updateTrackInfo(const Track& track)
{
    m_artistLabel->setText(QStringLiteral("Artist: ") + orDash(track.artist));
    m_titleLabel->setText(QStringLiteral("Title: ") + orDash(track.title));
    m_albumLabel->setText(QStringLiteral("Album: ") + orDash(track.album));
    m_yearLabel->setText(QStringLiteral("Year: ") + (track.year < 1 ? QStringLiteral("-") : QString::number(track.year)));
    m_genreLabel->setText(QStringLiteral("Genre: ") + orDash(track.genre));
    m_fileNameLabel->setText(QStringLiteral("File Name: ") + QFileInfo(track.filePath).fileName());
    m_durationLabel->setText(Track::formatDuration(track.durationMs));
}

bool MainWindow::trackOnAir(Track* track) const
{
    if (!m_engine || !m_engine->hasTrack())
        return false;
    const int r = m_engine->currentRow();
    *track = m_onAir && r >= 0 && r < m_onAir->rowCount() ? m_onAir->tracks().at(r) : m_engine->currentTrack();
    return true;
}

QString MainWindow::upcomingName() const
{
    const int next = m_engine && m_onAir ? m_engine->upcomingRow() : -1;
    return next >= 0 && next < m_onAir->rowCount() ? m_onAir->tracks().at(next).displayName() : QStringLiteral("-");
}

void MainWindow::refreshTrackPanels()
{
    if (!m_onAir || !m_vfd)
        return;
    if (m_engine && m_engine->hasRunOut()) {
        // Nothing follows: no title stays up as if it still played, and the
        // last one that did play is the one just played.
        m_vfd->setJustPlayed(orDash(m_airedName));
        m_vfd->setNowPlaying(QStringLiteral("-"));
        m_vfd->setNextUp(QStringLiteral("-"));
        m_vfd->setProgress(0, 0);
        updateTrackInfo(Track());
        return;
    }
    Track onAir;
    if (m_lastStreamTitle.isEmpty() && trackOnAir(&onAir))
        m_vfd->setNowPlaying(onAir.displayName());
    m_vfd->setNextUp(upcomingName());
}

void MainWindow::onPlayingChanged(bool playing)
{
    m_vfd->setPlaying(playing);
    m_levelLabel->setText(playing ? QStringLiteral("Current: playing   Peak: 0") : QStringLiteral("Current: 0   Peak: 0"));
    if (!playing && m_engine && m_engine->hasRunOut())
        refreshTrackPanels();
}

void MainWindow::fillPlaybackInfo(PlaybackInfo* info)
{
    if (!info)
        return;
    restoreRows();
    info->state = m_engine && m_engine->isPlaying() ? QStringLiteral("playing") : QStringLiteral("stopped");
    info->volume = m_volumeSlider ? m_volumeSlider->value() : 100;
    info->position = m_engine ? m_engine->position() : 0;
    if (!m_onAir)
        return;
    const QList<Track>& rows = m_onAir->tracks();
    info->playlistCount = int(rows.size());
    const int r = m_engine ? m_engine->currentRow() : -1;
    info->currentIndex = r < rows.size() ? r : -1;
    if (Track t; trackOnAir(&t)) {
        info->title = t.title;
        info->artist = t.artist;
        info->album = t.album;
        info->file = t.filePath;
        // A length the row does not know yet is the player's.
        info->duration = t.durationMs > 0 || t.marker ? t.durationMs : m_engine->duration();
    }
    const int next = m_engine ? m_engine->upcomingRow() : -1;
    if (next >= 0 && next < rows.size()) {
        info->nextTitle = rows.at(next).title;
        info->nextArtist = rows.at(next).artist;
    }
}

void MainWindow::updateFooterCounts()
{
    if (!m_viewed || !m_trackCountLabel)
        return;
    const qint64 s = m_viewed->totalDurationMs() / 1000;
    auto two = [](qint64 v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    m_trackCountLabel->setText(QStringLiteral("Tracks: %1 [%2:%3:%4]")
                                   .arg(m_viewed->rowCount())
                                   .arg(s / 3600)
                                   .arg(two(s / 60 % 60), two(s % 60)));
    m_timeLeftLabel->setText(QStringLiteral("Playing time left: %1:%2").arg(s / 60).arg(two(s % 60)));
}

void MainWindow::updateClock()
{
    m_vfd->setDateTime(QDateTime::currentDateTime(), m_clock24h);
}

void MainWindow::onPositionChanged(qint64 ms)
{
    // The player's own length of what is on air, whatever list it came from.
    const qint64 duration = m_engine ? m_engine->duration() : 0;
    m_vfd->setProgress(ms, duration > 0 ? duration : m_currentDurationMs);
}

void MainWindow::onDurationChanged(qint64 ms)
{
    m_currentDurationMs = ms;
    const int r = m_engine ? m_engine->currentRow() : -1;
    if (!m_onAir || r < 0 || r >= m_onAir->rowCount() || ms <= 0)
        return;
    m_onAir->setDurationMs(r, ms);
    if (m_onAir == m_viewed)
        updateFooterCounts();
}

void MainWindow::onCurrentRowChanged(int row)
{
    if (row >= 0 && m_onAir == m_viewed && m_playlistTable)
        m_playlistTable->selectRow(row);
}

void MainWindow::onEngineLevels(double left, double right)
{
    if ((m_mic && m_mic->isActive()) || (m_lineIn && m_lineIn->isActive()))
        return;
    m_vfd->setUseRealMeter(true);
    m_vfd->setMeterLevels(left, right);
}

void MainWindow::showInputLevels()
{
    m_vfd->setMeterLevels(qMax(m_micLevelL, m_lineLevelL), qMax(m_micLevelR, m_lineLevelR));
}

double MainWindow::currentOutputLevel() const
{
    if ((m_mic && m_mic->isActive()) || (m_lineIn && m_lineIn->isActive()))
        return qMax(qMax(m_micLevelL, m_micLevelR), qMax(m_lineLevelL, m_lineLevelR));
    // A live relay holds the decks paused; its own level is what is on air.
    // The streams carry the music whatever the monitor's volume.
    if (m_engine && (m_engine->isPlaying() || m_engine->isRelayLive()))
        return m_engine->airLevel();
    return 0.0;
}

void MainWindow::tickSilence()
{
    if (!m_silence)
        return;
    // The operator's Stop or Pause is no dead air to undo: the count starts
    // afresh once the station is meant to play (or an input is live).
    const bool inputLive = (m_mic && m_mic->isActive()) || (m_lineIn && m_lineIn->isActive());
    if (m_engine && m_engine->isHeld() && !inputLive)
        m_silence->reset();
    else
        m_silence->feed(currentOutputLevel(), kSilenceTickMs);
    updateSilenceStatus();
}

void MainWindow::updateSilenceStatus()
{
    if (m_silence && m_silenceLabel)
        m_silenceLabel->setText(m_silence->statusText());
    // A detector that is off has nothing to count.
    if (m_silence && m_silenceTimer && m_silence->isEnabled() != m_silenceTimer->isActive()) {
        if (m_silence->isEnabled())
            m_silenceTimer->start();
        else
            m_silenceTimer->stop();
    }
}

void MainWindow::updateInputState()
{
    const bool mic = m_mic && m_mic->isActive();
    const bool line = m_lineIn && m_lineIn->isActive();
    const bool any = mic || line;
    m_engine->setDucked(any);
    m_vfd->setUseRealMeter(any);
    if (m_micButton)
        m_micButton->setChecked(mic);
    if (m_lineButton)
        m_lineButton->setChecked(line);
    if (any) {
        const QString which = mic && line ? QStringLiteral("MIC+LINE") : mic ? QStringLiteral("MIC") : QStringLiteral("LINE-IN");
        const QString missing = mic && !m_mic->missingDevice().isEmpty() ? m_mic->missingDevice()
                                : line ? m_lineIn->missingDevice() : QString();
        m_levelLabel->setText(QStringLiteral("Current: ") + which + missingNote(missing) + QStringLiteral("   Peak: 0"));
    } else {
        m_micLevelL = m_micLevelR = m_lineLevelL = m_lineLevelR = 0;
        m_levelLabel->setText(QStringLiteral("Current: 0   Peak: 0"));
    }
}

void MainWindow::updateOnAirIndicator()
{
    if (!m_onAirButton)
        return;
    const bool streaming = m_broadcast && m_broadcast->isStreaming();
    const bool reconnecting = m_broadcast && m_broadcast->isReconnecting();
    const BroadcastConfig config = BroadcastService::configFromSettings();
    const bool ready = BroadcastService::encoderAvailable() && !config.host.isEmpty() && !config.password.isEmpty();
    m_onAirButton->setText(streaming ? QStringLiteral("● ON AIR")
                           : reconnecting ? QStringLiteral("reconnecting")
                                          : QStringLiteral("OFF AIR"));
    m_onAirButton->setEnabled(streaming || reconnecting || ready);
    m_onAirButton->setStyleSheet(
        reconnecting ? QStringLiteral("QToolButton { background-color:#d68910; color:white; border:none; "
                                      "border-radius:5px; padding:4px 14px; }")
        : streaming ? QStringLiteral("QToolButton { background-color:#c0392b; color:white; border:none; "
                                   "border-radius:5px; padding:4px 14px; }"
                                   "QToolButton:hover { background-color:#d0473a; }")
                  : QStringLiteral("QToolButton { color:#8a8a8a; border:1px solid #b0b0b0; border-radius:5px; "
                                   "padding:4px 14px; }"
                                   "QToolButton:hover:enabled { border-color:#c0392b; color:#c0392b; }"
                                   "QToolButton:disabled { color:#c4c4c4; border-color:#dcdcdc; }"));
    if (!ready)
        m_onAirButton->setToolTip(QStringLiteral("Configure the server in Settings → Broadcast first"));
    else
        m_onAirButton->setToolTip(streaming || reconnecting ? QStringLiteral("Click to stop broadcasting")
                                            : QStringLiteral("Click to go on air"));
}

int MainWindow::totalListeners() const
{
    return (m_broadcast ? m_broadcast->listenerCount() : 0) + (m_server ? m_server->listenerCount() : 0);
}

void MainWindow::updateListenerCount()
{
    const int total = totalListeners();
    const int r = m_engine ? m_engine->currentRow() : -1;
    if (m_onAir && r >= 0 && total > 0)
        m_onAir->recordListeners(r, total);
    if (!m_listenerBadge)
        return;
    m_listenerBadge->setText(QStringLiteral("♫ %1").arg(total));
    m_listenerBadge->setStyleSheet(
        total >= 1 ? QStringLiteral("QLabel { background-color:#2e7d46; color:white; border-radius:5px; padding:4px 12px; }")
                   : QStringLiteral("QLabel { color:#8a8a8a; border:1px solid #b0b0b0; border-radius:5px; padding:4px 12px; }"));
    m_listenerBadge->setToolTip(QStringLiteral("%1 listener%2 (Icecast + built-in server)")
                                    .arg(total)
                                    .arg(total == 1 ? QString() : QStringLiteral("s")));
}

void MainWindow::onStreamingChanged(bool streaming)
{
    // A stream being reconnected is still on, as far as the operator's
    // switch goes.
    const bool on = streaming || (m_broadcast && m_broadcast->isReconnecting());
    if (m_broadcastAction) {
        m_broadcastAction->setChecked(on);
        m_broadcastAction->setText(on ? QStringLiteral("Stop Broadcasting") : QStringLiteral("Start Broadcasting"));
    }
    if (m_broadcastLabel)
        m_broadcastLabel->setText(streaming ? QStringLiteral("Broadcast: ON AIR") + missingNote(m_broadcast->missingDevice())
                                  : on      ? QStringLiteral("Broadcast: reconnecting")
                                            : QStringLiteral("Broadcast: Off"));
    updateOnAirIndicator();
    updateListenerCount();
}

void MainWindow::onServerListenersChanged(int count)
{
    if (m_builtInServerAction)
        m_builtInServerAction->setText(count < 1 ? QStringLiteral("Built-in server")
                                                 : QStringLiteral("Built-in server (%1 listening)").arg(count));
    updateListenerCount();
}

void MainWindow::onRecordingChanged(bool on)
{
    if (m_recordingLabel)
        m_recordingLabel->setText(on ? QStringLiteral("REC") + missingNote(m_archive ? m_archive->missingDevice() : QString())
                                     : QString());
}
