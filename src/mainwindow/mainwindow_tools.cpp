// Protected areas, the settings dialog and putting its changes to work.
#include "mainwindow.h"

#include "dialogs/prompts.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "dialogs/library/playlistgeneratordialog.h"
#include "dialogs/settings/settingsdialog.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "library/appsettings.h"
#include "library/security.h"
#include "outputs/broadcastserver.h"
#include "outputs/updatechecker.h"
#include "outputs/weatherservice.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>

bool MainWindow::ensureAccess(int area)
{
    if (area != Security::Settings && area != Security::Scheduler)
        return false;
    const auto a = Security::Area(area);
    if (!Security::isProtected(a) || Security::s_unlocked[area])
        return true;
    const QString name = a == Security::Settings ? QStringLiteral("Settings") : QStringLiteral("Event Scheduler");
    bool ok = false;
    const QString entry = Prompts::text(this, name + QStringLiteral(" locked"),
                                        QStringLiteral("Enter the ") + name + QStringLiteral(" password:"), QString(),
                                        &ok, QLineEdit::Password);
    if (!ok)
        return false;
    if (Security::hashPassword(entry) == QSettings().value(Security::hashKey(a)).toString()) {
        Security::s_unlocked[area] = true;
        appendLog(name + QStringLiteral(" unlocked"));
        return true;
    }
    Prompts::warning(this, QStringLiteral("Access denied"), QStringLiteral("Incorrect password."));
    return false;
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
        m_musicLibrary->setWindowFlag(Qt::Window);
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
    if (m_weather)
        applyWeatherSettings();
    if (m_server) {
        m_server->applySettings();
        m_builtInServerAction->setChecked(m_server->isListening());
    }
    if (m_silence) {
        m_silence->loadFromSettings();
        m_silence->reset();
        updateSilenceStatus();
    }
    const QSettings s;
    const QString output = s.value(QStringLiteral("audio/outputDevice")).toString();
    if (m_mic) {
        m_mic->inputDevice = s.value(QStringLiteral("audio/micDevice")).toString();
        m_mic->outputDevice = output;
    }
    if (m_lineIn) {
        m_lineIn->inputDevice = s.value(QStringLiteral("audio/lineInDevice")).toString();
        m_lineIn->outputDevice = output;
    }
    updateClock();
    updateOnAirIndicator();
    appendLog(QStringLiteral("Settings updated"));
}

void MainWindow::applyWeatherSettings()
{
    if (!m_weather)
        return;
    const QSettings s;
    m_weather->setUnits(s.value(QStringLiteral("weather/windUnit"), QStringLiteral("kmh")).toString(),
                        s.value(QStringLiteral("weather/precipUnit"), QStringLiteral("mm")).toString());
    const QString latText = s.value(QStringLiteral("weather/lat")).toString();
    const QString lonText = s.value(QStringLiteral("weather/lon")).toString();
    bool latOk = false;
    bool lonOk = false;
    const double lat = latText.toDouble(&latOk);
    const double lon = lonText.toDouble(&lonOk);
    if (!latText.isEmpty() && !lonText.isEmpty() && latOk && lonOk) {
        m_weather->setCoords(lat, lon, s.value(QStringLiteral("weather/label")).toString());
        appendLog(QStringLiteral("Weather: using coordinates %1, %2").arg(latText, lonText));
        return;
    }
    const QString city = s.value(QStringLiteral("weather/city")).toString();
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
        link->setOpenExternalLinks(true);
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
    connect(download, &QPushButton::clicked, &dialog, [&dialog, url = info.downloadUrl] {
        if (!url.isEmpty())
            QDesktopServices::openUrl(QUrl(url));
        dialog.accept();
    });
    buttons->addWidget(later);
    buttons->addWidget(download);
    layout->addLayout(buttons);
    Prompts::exec(dialog);
}
