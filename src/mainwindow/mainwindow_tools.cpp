// Protected areas, the settings dialog and putting its changes to work.
#include "mainwindow.h"

#include "dialogs/prompts.h"
#include "dialogs/settings/settingsdialog.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/silencedetector.h"
#include "library/appsettings.h"
#include "library/security.h"
#include "outputs/broadcastserver.h"

#include <QAction>
#include <QSettings>
#include <QSlider>

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

void MainWindow::applyChangedSettings()
{
    m_engine->applySettings();
    if (m_volumeSlider)
        m_volumeSlider->setValue(AppSettings::defaultVolume());
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
