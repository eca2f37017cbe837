// Protected areas, the tool windows, the settings dialog and putting its
// changes to work, updates, the relay dialog, the playlist tools and the
// about box.
#include "mainwindow.h"

#include "automation/remoteapi.h"
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
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/audiorender.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "library/appsettings.h"
#include "library/security.h"
#include "outputs/broadcastserver.h"
#include "outputs/updatechecker.h"
#include "outputs/weatherservice.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStyle>
#include <QTextDocument>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

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

    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Update available"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* heading = new QLabel(info.critical
                                   ? QStringLiteral("<b style='color:#c0392b;'>Important update available: Orchidlantern %1</b>")
                                         .arg(info.latestVersion.toHtmlEscaped())
                                   : QStringLiteral("<b>Orchidlantern %1 is available</b>").arg(info.latestVersion.toHtmlEscaped()));
    heading->setTextFormat(Qt::RichText);
    layout->addWidget(heading);
    auto* running = new QLabel(QStringLiteral("You are running ") + QApplication::applicationVersion() + QLatin1Char('.'));
    running->setTextFormat(Qt::PlainText);
    layout->addWidget(running);
    if (!info.releaseDate.isEmpty()) {
        auto* released = new QLabel(QStringLiteral("Released ") + info.releaseDate);
        released->setTextFormat(Qt::PlainText);
        layout->addWidget(released);
    }
    if (!info.notes.isEmpty()) {
        auto* notes = new QPlainTextEdit(info.notes);
        notes->setReadOnly(true);
        notes->setMaximumHeight(140);
        layout->addWidget(notes);
    }
    if (!info.notesUrl.isEmpty()) {
        auto* link = new QLabel(QStringLiteral("<a href=\"%1\">Full release notes</a>").arg(info.notesUrl.toHtmlEscaped()));
        link->setTextFormat(Qt::RichText);
        connect(link, &QLabel::linkActivated, this, [this, url = info.notesUrl] { openWebAddress(url); });
        layout->addWidget(link);
    }
    auto* buttons = new QHBoxLayout;
    if (!info.critical) {
        auto* skip = new QPushButton(QStringLiteral("Skip This Version"));
        connect(skip, &QPushButton::clicked, &dialog, [this, &dialog, version = info.latestVersion] {
            QSettings().setValue(QStringLiteral("updates/skippedVersion"), version);
            appendLog(QStringLiteral("Skipped update ") + version);
            dialog.reject();
        });
        buttons->addWidget(skip);
    }
    buttons->addStretch();
    auto* later = new QPushButton(QStringLiteral("Later"));
    connect(later, &QPushButton::clicked, &dialog, &QDialog::reject);
    auto* download = new QPushButton(QStringLiteral("Download…"));
    download->setDefault(true);
    connect(download, &QPushButton::clicked, &dialog, [this, &dialog, url = info.downloadUrl] {
        if (!url.isEmpty())
            openWebAddress(url);
        dialog.accept();
    });
    buttons->addWidget(later);
    buttons->addWidget(download);
    layout->addLayout(buttons);
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
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Relay"));
    dialog.setMinimumWidth(460);
    auto* layout = new QVBoxLayout(&dialog);
    auto* intro = new QLabel(QStringLiteral("Relay a network stream as the on-air source, overriding the playlist. "
                                            "If the stream drops, playback falls back to the playlist and the relay "
                                            "reconnects automatically."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    const QSettings settings;
    auto* urlRow = new QHBoxLayout;
    urlRow->addWidget(new QLabel(QStringLiteral("Stream URL:")));
    auto* url = new QLineEdit(settings.value(QStringLiteral("relay/lastUrl")).toString());
    url->setPlaceholderText(QStringLiteral("http://stream.example.org:8000/stream"));
    urlRow->addWidget(url, 1);
    layout->addLayout(urlRow);

    auto* startNext = new QCheckBox(QStringLiteral("Start next song in the playlist when relay stops"));
    startNext->setChecked(settings.value(QStringLiteral("relay/startNextOnStop"), false).toBool());
    layout->addWidget(startNext);

    auto* status = new QLabel;
    status->setStyleSheet(QStringLiteral("color:#555;"));
    layout->addWidget(status);

    auto* buttons = new QHBoxLayout;
    auto* relayStream = new QPushButton(QStringLiteral("Relay stream"));
    auto* relayLine = new QPushButton(QStringLiteral("Relay line input 1"));
    auto* stop = new QPushButton(QStringLiteral("Stop relay"));
    buttons->addWidget(relayStream);
    buttons->addWidget(relayLine);
    buttons->addStretch();
    buttons->addWidget(stop);
    layout->addLayout(buttons);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Close);
    layout->addWidget(box);

    auto refresh = [this, status, stop] {
        const bool relaying = m_lineInRelay || m_engine->isRelaying();
        status->setText(!relaying ? QStringLiteral("Not relaying.")
                                  : QStringLiteral("Relaying: %1")
                                        .arg(m_lineInRelay ? QStringLiteral("line input 1") : m_engine->relaySource()));
        stop->setEnabled(relaying);
    };
    refresh();

    connect(startNext, &QCheckBox::toggled, &dialog,
            [](bool on) { QSettings().setValue(QStringLiteral("relay/startNextOnStop"), on); });
    connect(relayStream, &QPushButton::clicked, &dialog, [this, url, refresh] {
        const QString address = url->text().trimmed();
        if (address.isEmpty())
            return;
        QSettings().setValue(QStringLiteral("relay/lastUrl"), address);
        runSchedulerCommand(QStringLiteral("relaystart ") + address);
        refresh();
    });
    connect(relayLine, &QPushButton::clicked, &dialog, [this, refresh] {
        runSchedulerCommand(QStringLiteral("relaystart 1"));
        refresh();
    });
    connect(stop, &QPushButton::clicked, &dialog, [this, refresh] {
        runSchedulerCommand(QStringLiteral("relaystop"));
        refresh();
    });
    const QMetaObject::Connection follow = connect(m_engine, &AudioEngine::relayStateChanged, &dialog, refresh);
    connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    Prompts::exec(dialog);
    disconnect(follow);
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
    int done = 0;
    for (const QString& path : std::as_const(files)) {
        if (progress.wasCanceled())
            break;
        progress.setLabelText(QStringLiteral("Analysing ") + QFileInfo(path).fileName());
        progress.setValue(done);
        QCoreApplication::processEvents();
        render.normalise(path, -18.0);
        ++done;
    }
    progress.setValue(int(files.size()));
    appendLog(QStringLiteral("Normalize: processed %1 track(s)").arg(done));
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
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("About Orchidlantern"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->setContentsMargins(28, 22, 28, 18);
    layout->setSpacing(6);
    auto centred = [layout](QLabel* label) {
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label);
        return label;
    };
    auto* logo = centred(new QLabel);
    logo->setPixmap(QPixmap(QStringLiteral(":/logo.png")).scaledToWidth(360, Qt::SmoothTransformation));
    layout->addSpacing(8);
    centred(new QLabel(QStringLiteral("<b>Version %1</b>").arg(QStringLiteral("1.0.0"))));
    centred(new QLabel(QStringLiteral("Radio automation and playout: two decks, cart walls, a scheduler, remote "
                                      "control and streaming for a station run live or on its own.")))
        ->setWordWrap(true);
    layout->addSpacing(10);
    centred(new QLabel(QStringLiteral("© 2026 The Orchidlantern developers. All rights reserved.")));
    layout->addSpacing(8);
    QLabel* links = centred(new QLabel(QStringLiteral("<a href=\"https://orchidlantern.example.org/\">Website</a>"
                                                      " &nbsp;·&nbsp; "
                                                      "<a href=\"https://orchidlantern.example.org/help\">Help</a>")));
    links->setTextFormat(Qt::RichText);
    links->setOpenExternalLinks(true);
    layout->addSpacing(12);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);
    ok->setMinimumWidth(80);
    connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    row->addWidget(ok);
    layout->addLayout(row);
    Prompts::exec(dialog);
}
