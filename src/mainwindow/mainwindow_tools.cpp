// Protected areas, the tool windows, the settings dialog and putting its
// changes to work, updates, the relay dialog, the playlist tools and the
// about box.
#include "mainwindow.h"

#include "automation/commandexecutor.h"
#include "automation/remoteapi.h"
#include "dialogs/aboutdialog.h"
#include "dialogs/prompts.h"
#include "dialogs/library/crossfadesdialog.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "dialogs/library/playlistgeneratordialog.h"
#include "dialogs/library/voicetrackdialog.h"
#include "dialogs/settings/adsschedulerdialog.h"
#include "dialogs/settings/reportgeneratordialog.h"
#include "dialogs/settings/schedulerwindow.h"
#include "dialogs/settings/settingsdialog.h"
#include "dialogs/settings/streamarchivedialog.h"
#include "dialogs/relaydialog.h"
#include "dialogs/updateavailabledialog.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/audiorender.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "library/appsettings.h"
#include "library/librarywriter.h"
#include "library/security.h"
#include "outputs/broadcastserver.h"
#include "outputs/updatechecker.h"
#include "outputs/weatherservice.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QSettings>
#include <QSlider>
#include <QStyle>
#include <QTextDocument>
#include <QToolButton>
#include <QUrl>

#include <cmath>

namespace {

const QString& areaName(Security::Area area)
{
    static const QString names[] = {QStringLiteral("Settings"), QStringLiteral("Event Scheduler")};
    return names[area == Security::Settings ? 0 : 1];
}

bool lockedArea(Security::Area area)
{
    return Security::isProtected(area) && !Security::s_unlocked[area];
}

// The update service's answer names the addresses to open; only web
// addresses go to the browser, never a file or a program.
bool isWebAddress(const QUrl& url)
{
    return url.isValid() && !url.host().isEmpty()
           && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

} // namespace

bool MainWindow::ensureAccess(int area)
{
    if (area != Security::Settings && area != Security::Scheduler)
        return false;
    const auto a = Security::Area(area);
    if (!Security::isProtected(a) || Security::s_unlocked[area])
        return true;
    const QString& name = areaName(a);
    bool ok = false;
    const QString entry = Prompts::text(this, name + QStringLiteral(" locked"),
                                        QStringLiteral("Enter the ") + name + QStringLiteral(" password:"), QString(),
                                        &ok, QLineEdit::Password);
    if (!ok)
        return false;
    if (Security::hashPassword(entry) == QSettings().value(Security::hashKey(a)).toString()) {
        Security::s_unlocked[area] = true;
        updateLockIndicator();
        appendLog(name + QStringLiteral(" unlocked"));
        return true;
    }
    Prompts::warning(this, QStringLiteral("Access denied"), QStringLiteral("Incorrect password."));
    return false;
}

void MainWindow::onLockClicked()
{
    if (!Security::isProtected(Security::Settings) && !Security::isProtected(Security::Scheduler)) {
        Prompts::information(this, QStringLiteral("User access"),
                             QStringLiteral("No areas are password-protected yet.\nSet passwords in Settings → "
                                            "Security to control who can edit Settings and the Event Scheduler."));
        return;
    }
    if (lockedArea(Security::Settings) || lockedArea(Security::Scheduler)) {
        if (lockedArea(Security::Settings))
            ensureAccess(Security::Settings);
        if (lockedArea(Security::Scheduler))
            ensureAccess(Security::Scheduler);
    } else {
        Security::s_unlocked[Security::Settings] = Security::s_unlocked[Security::Scheduler] = false;
        appendLog(QStringLiteral("Protected areas locked"));
    }
    updateLockIndicator();
}

void MainWindow::updateLockIndicator()
{
    if (!m_lockButton)
        return;
    const bool any = Security::isProtected(Security::Settings) || Security::isProtected(Security::Scheduler);
    const bool locked = lockedArea(Security::Settings) || lockedArea(Security::Scheduler);
    m_lockButton->setIcon(style()->standardIcon(locked ? QStyle::SP_DialogNoButton : QStyle::SP_DialogYesButton));
    if (!any) {
        m_lockButton->setText(QStringLiteral("No password set"));
        m_lockButton->setToolTip(QStringLiteral("Set passwords in Settings → Security"));
    } else if (!locked) {
        m_lockButton->setText(QStringLiteral("Unlocked — click to lock"));
        m_lockButton->setToolTip(QStringLiteral("Lock protected areas (Settings / Scheduler)"));
    } else {
        m_lockButton->setText(QStringLiteral("Locked — click to unlock"));
        m_lockButton->setToolTip(QStringLiteral("Unlock protected areas"));
    }
}

void MainWindow::openReportGenerator()
{
    ReportGeneratorDialog dialog(this);
    Prompts::exec(dialog);
}

void MainWindow::openStreamArchive()
{
    StreamArchiveDialog dialog(m_archive, this);
    Prompts::exec(dialog);
}

void MainWindow::openAdsScheduler()
{
    if (!ensureAccess(Security::Scheduler))
        return;
    {
        AdsSchedulerDialog dialog(m_scheduler, this);
        Prompts::exec(dialog);
    }
    refreshSchedulerList();
}

void MainWindow::openSchedulerWindow()
{
    if (!ensureAccess(Security::Scheduler))
        return;
    if (!m_schedulerWindow) {
        m_schedulerWindow = new SchedulerWindow(m_scheduler, this);
        connect(m_schedulerWindow, &SchedulerWindow::runRequested, this, &MainWindow::onEventFired);
    }
    m_schedulerWindow->show();
    m_schedulerWindow->raise();
    m_schedulerWindow->activateWindow();
}

void MainWindow::openEventEditor()
{
    openSchedulerWindow();
}

void MainWindow::openCrossfades()
{
    CrossfadesDialog dialog(this);
    connect(&dialog, &CrossfadesDialog::settingsChanged, this, [this] {
        m_engine->applySettings();
        appendLog(QStringLiteral("Crossfade settings updated"));
    });
    Prompts::exec(dialog);
}

void MainWindow::recordVoiceTrack()
{
    QString path;
    {
        VoiceTrackDialog dialog(this);
        if (Prompts::exec(dialog) != QDialog::Accepted)
            return;
        path = dialog.savedPath();
    }
    if (path.isEmpty())
        return;
    appendLog(QStringLiteral("Voice track saved: ") + QFileInfo(path).fileName());
    if (Prompts::question(this, QStringLiteral("Voice track"), QStringLiteral("Insert this voice track into the playlist?"),
                          QMessageBox::Yes | QMessageBox::No)
        == QMessageBox::Yes)
        insertVoiceTrackFile(path);
}

void MainWindow::openSettings(const QString& page)
{
    if (!ensureAccess(Security::Settings))
        return;
    SettingsDialog dialog(this);
    if (!page.isEmpty())
        dialog.showPage(page);
    connect(&dialog, &SettingsDialog::settingsChanged, this, &MainWindow::applyChangedSettings);
    Prompts::exec(dialog);
}

void MainWindow::openMusicLibrary()
{
    if (!m_musicLibrary) {
        m_musicLibrary = new MusicLibraryDialog(this);
        m_musicLibrary->makeTopLevelWindow();
        connect(m_musicLibrary, &MusicLibraryDialog::sendToPlaylist, this, &MainWindow::addTrackToPlaylist);
        connect(m_musicLibrary, &MusicLibraryDialog::librariesChanged, this, &MainWindow::refreshSearchSources);
    }
    m_musicLibrary->show();
    m_musicLibrary->raise();
    m_musicLibrary->activateWindow();
}

void MainWindow::openPlaylistGenerator()
{
    PlaylistGeneratorDialog dialog(this);
    connect(&dialog, &PlaylistGeneratorDialog::playlistGenerated, this, [this](const QList<Track>& tracks) {
        for (const Track& t : tracks)
            m_viewed->addTrack(t);
        updateFooterCounts();
        appendLog(QStringLiteral("Generated %1 tracks").arg(tracks.size()));
    });
    Prompts::exec(dialog);
}

void MainWindow::applyChangedSettings()
{
    m_engine->applySettings();
    if (m_volumeSlider)
        m_volumeSlider->setValue(AppSettings::defaultVolume());
    if (m_auxVolume)
        m_auxVolume->setValue(AppSettings::defaultVolume());
    if (m_weather)
        applyWeatherSettings();
    if (m_server) {
        m_server->applySettings();
        m_builtInServerAction->setChecked(m_server->isListening());
    }
    if (m_remoteApi)
        m_remoteApi->applySettings();
    if (m_silence) {
        m_silence->loadFromSettings();
        m_silence->reset();
        updateSilenceStatus();
    }
    QSettings s;
    const QString output = Setting::OutputDevice.read(s);
    if (m_mic) {
        m_mic->inputDevice = Setting::MicDevice.read(s);
        m_mic->outputDevice = output;
    }
    if (m_lineIn) {
        m_lineIn->inputDevice = Setting::LineInDevice.read(s);
        m_lineIn->outputDevice = output;
    }
    m_clock24h = Setting::Clock24h.read(s);
    updateClock();
    updateLockIndicator();
    updateOnAirIndicator();
    applyHotKeys();
    if (settingsWritten(s, QStringLiteral("the settings")))
        appendLog(QStringLiteral("Settings updated"));
}

void MainWindow::applyWeatherSettings()
{
    if (!m_weather)
        return;
    const QSettings s;
    m_weather->setUnits(Setting::WeatherWindUnit.read(s),
                        Setting::WeatherPrecipUnit.read(s));
    const QString latText = Setting::WeatherLat.read(s);
    const QString lonText = Setting::WeatherLon.read(s);
    bool latOk = false;
    bool lonOk = false;
    const double lat = latText.toDouble(&latOk);
    const double lon = lonText.toDouble(&lonOk);
    if (!latText.isEmpty() && !lonText.isEmpty() && latOk && lonOk) {
        // Written this way so that NaN fails too.
        if (std::abs(lat) <= 90 && std::abs(lon) <= 180) {
            m_weather->setCoords(lat, lon, Setting::WeatherLabel.read(s));
            appendLog(QStringLiteral("Weather: using coordinates %1, %2").arg(latText, lonText));
            return;
        }
        appendLog(QStringLiteral("Setting weather/lat, weather/lon = \"%1, %2\" is outside -90 to 90, -180 to 180; "
                                 "using the city")
                      .arg(latText.left(40), lonText.left(40)));
    }
    const QString city = Setting::WeatherCity.read(s);
    if (!city.isEmpty())
        m_weather->setCity(city);
}

void MainWindow::checkForUpdatesNow()
{
    appendLog(QStringLiteral("Checking for updates…"));
    manualUpdateCheck = true;
    if (m_updates)
        m_updates->checkForUpdates(false);
}

void MainWindow::onUpdateAvailable(const UpdateInfo& info)
{
    manualUpdateCheck = false;
    appendLog(QStringLiteral("Update available: ") + info.latestVersion);
    UpdateAvailableDialog dialog(info, this);
    connect(&dialog, &UpdateAvailableDialog::openAddress, this, &MainWindow::openWebAddress);
    connect(&dialog, &UpdateAvailableDialog::logMessage, this, &MainWindow::appendLog);
    Prompts::exec(dialog);
}

void MainWindow::openWebAddress(const QString& address)
{
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    if (!isWebAddress(url)) {
        appendLog(QStringLiteral("Update: not opening \"%1\" - not a web address").arg(address));
        return;
    }
    QDesktopServices::openUrl(url);
}

// ---------------------------------------------------------------------------
// Relay dialog

void MainWindow::openRelay()
{
    RelayDialog dialog(
        m_engine, [this] { return m_commandExecutor->lineInRelay(); },
        [this](const QString& command) { runSchedulerCommand(command); }, this);
    Prompts::exec(dialog);
}

// ---------------------------------------------------------------------------
// Playlist tools and the about box

void MainWindow::normalisePlaylist()
{
    if (!m_viewed || m_viewed->rowCount() == 0) {
        Prompts::information(this, QStringLiteral("Normalize"), QStringLiteral("The playlist is empty."));
        return;
    }
    QStringList files;
    for (const Track& t : m_viewed->tracks()) {
        if (!t.marker && !t.isStream && !t.filePath.isEmpty())
            files << t.filePath;
    }
    if (files.isEmpty())
        return;

    QProgressDialog progress(QStringLiteral("Analysing loudness (EBU R128)..."), QStringLiteral("Cancel"), 0,
                             int(files.size()), this);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    AudioRender render;
    connect(&render, &AudioRender::logMessage, this, &MainWindow::appendLog);
    constexpr double kTargetLufs = -18.0;
    constexpr double kMostGainDb = 12.0;
    constexpr int kMeasureTimeoutMs = 120000;
    int done = 0;
    LibraryWriter::Outcome lost;
    for (const QString& path : std::as_const(files)) {
        if (progress.wasCanceled())
            break;
        const QString name = QFileInfo(path).fileName();
        progress.setLabelText(QStringLiteral("Analysing ") + name);
        progress.setValue(done);
        QCoreApplication::processEvents();
        ++done;
        const LoudnessAnalysis a = render.analyse(path, kMeasureTimeoutMs);
        if (!a.ok || a.integratedLufs <= -70.0) {
            appendLog(QStringLiteral("Normalize: could not measure ") + name);
            continue;
        }
        const double gain = LoudnessMeter::limitForPeak(
            LoudnessMeter::gainForTarget(a.integratedLufs, kTargetLufs, kMostGainDb), a.peak);
        // The level is stored by the library writer; the window goes on
        // meanwhile, and a file is said measured once its level is stored.
        const LibraryWriter::Outcome stored = LibraryWriter::waitFor(
            m_libraryWriter->changeParams(path, [gain](TrackParams& params) { params.level = gain; }));
        if (!stored.ok()) {
            lost.lost << stored.lost;
            lost.reason = stored.reason;
            continue;
        }
        appendLog(QStringLiteral("Normalize: %1  %2 LUFS -> gain %3")
                      .arg(name)
                      .arg(a.integratedLufs, 0, 'f', 1)
                      .arg(gain, 0, 'f', 3));
    }
    progress.setValue(int(files.size()));
    if (lost.lost.isEmpty())
        appendLog(QStringLiteral("Normalize: processed %1 track(s)").arg(done));
    else
        reportLibraryTrouble(QStringLiteral("Normalize: processed %1 track(s); the level of %2 could not be stored (%3)")
                                 .arg(done)
                                 .arg(lost.lost.size())
                                 .arg(lost.reason));
}

void MainWindow::printDocument(const QString& title, const QString& html)
{
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("Print ") + title);
    if (Prompts::exec(dialog) != QDialog::Accepted)
        return;
    QTextDocument document;
    document.setHtml(html);
    document.print(&printer);
    appendLog(QStringLiteral("Printed: ") + title);
}

void MainWindow::showAbout()
{
    AboutDialog dialog(this);
    Prompts::exec(dialog);
}
