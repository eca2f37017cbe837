#include "dialogs/settings/settingsdialog.h"

#include "dialogs/devicelist.h"
#include "dialogs/library/voicetrackdialog.h"
#include "dialogs/prompts.h"
#include "library/appsettings.h"

#include <QAudioDevice>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

struct Node
{
    QString name;
    QStringList children;
};

} // namespace

SettingsDialog::SettingsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Settings"));
    setMinimumSize(700, 540);

    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    m_tree = new QTreeWidget;
    m_tree->setHeaderHidden(true);
    m_tree->setFixedWidth(180);
    m_tree->setColumnCount(1);
    m_stack = new QStackedWidget;

    const QList<Node> nodes{
        {QStringLiteral("General"), {}},
        {QStringLiteral("Playback"), {QStringLiteral("Fading")}},
        {QStringLiteral("Input"), {}},
        {QStringLiteral("Broadcast"), {}},
        {QStringLiteral("Now playing"), {}},
        {QStringLiteral("Silence detector"), {}},
        {QStringLiteral("DTMF"), {}},
        {QStringLiteral("Hot keys"), {}},
        {QStringLiteral("API"), {}},
        {QStringLiteral("Security"), {}},
    };
    const QHash<QString, QWidget* (SettingsDialog::*)()> builders{
        {QStringLiteral("General"), &SettingsDialog::makeGeneralPage},
        {QStringLiteral("Playback"), &SettingsDialog::makePlaybackPage},
        {QStringLiteral("Input"), &SettingsDialog::makeInputPage},
        {QStringLiteral("Silence detector"), &SettingsDialog::makeSilencePage},
        {QStringLiteral("Hot keys"), &SettingsDialog::makeHotKeysPage},
        {QStringLiteral("DTMF"), &SettingsDialog::makeDtmfPage},
        {QStringLiteral("API"), &SettingsDialog::makeApiPage},
        {QStringLiteral("Now playing"), &SettingsDialog::makeNowPlayingPage},
        {QStringLiteral("Security"), &SettingsDialog::makeSecurityPage},
        {QStringLiteral("Broadcast"), &SettingsDialog::makeBroadcastPage},
        {QStringLiteral("Fading"), &SettingsDialog::makeFadingPage},
    };

    QHash<QTreeWidgetItem*, int> pageOf;
    const auto addPage = [&](QTreeWidgetItem* item) {
        const auto builder = builders.value(item->text(0));
        if (builder)
            pageOf.insert(item, m_stack->addWidget((this->*builder)()));
    };
    for (const Node& node : nodes) {
        auto* item = new QTreeWidgetItem(m_tree, {node.name});
        addPage(item);
        for (const QString& child : node.children)
            addPage(new QTreeWidgetItem(item, {child}));
    }
    m_tree->expandAll();
    connect(m_tree, &QTreeWidget::currentItemChanged, this, [this, pageOf](QTreeWidgetItem* current) {
        if (current && pageOf.contains(current))
            m_stack->setCurrentIndex(pageOf.value(current));
    });

    row->addWidget(m_tree, 0);
    row->addWidget(m_stack, 1);
    layout->addLayout(row, 1);

    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons, 0);
    connect(ok, &QPushButton::clicked, this, [this] {
        saveSettings();
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    const QList<QTreeWidgetItem*> general = m_tree->findItems(QStringLiteral("General"), Qt::MatchExactly);
    if (!general.isEmpty())
        m_tree->setCurrentItem(general.first());
    m_stack->setCurrentIndex(0);

    loadSettings();
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::showPage(const QString& name)
{
    if (name.isEmpty())
        return;
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_tree->topLevelItem(i);
        if (item->text(0).compare(name, Qt::CaseInsensitive) == 0) {
            m_tree->setCurrentItem(item);
            return;
        }
    }
}

QLabel* SettingsDialog::wrapped(const QString& text)
{
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

void SettingsDialog::selectByData(QComboBox* list, const QString& value)
{
    for (int i = 0; i < list->count(); ++i) {
        if (list->itemData(i).toString() == value) {
            list->setCurrentIndex(i);
            return;
        }
    }
    list->setCurrentIndex(0);
}

void SettingsDialog::loadSettings()
{
    QSettings s;
    const int volume = Setting::DefaultVolume.readInt();
    m_general.volume->setValue(volume);
    m_general.volumeLabel->setText(QString::number(volume) + QLatin1Char('%'));
    m_general.resumeOnStart->setChecked(Setting::ResumeOnStart.read(s));
    m_general.autoPlayNext->setChecked(Setting::AutoPlayNext.read(s));
    m_general.clock24h->setChecked(Setting::Clock24h.read(s));
    m_general.checkUpdates->setChecked(Setting::CheckUpdatesOnStartup.read(s));
    m_general.updateUrl->setText(Setting::UpdatesUrl.read(s));
    m_general.city->setText(Setting::WeatherCity.read(s));
    m_general.latitude->setText(Setting::WeatherLat.read(s));
    m_general.longitude->setText(Setting::WeatherLon.read(s));
    m_general.placeLabel->setText(Setting::WeatherLabel.read(s));
    if (m_silence.enabled)
        loadSilence();
    selectByData(m_general.windUnit, Setting::WeatherWindUnit.read(s));
    selectByData(m_general.rainUnit, Setting::WeatherPrecipUnit.read(s));
    DeviceList::select(m_outputDevice, Setting::OutputDevice.read(s));
    DeviceList::select(m_micDevice, Setting::MicDevice.read(s));
    DeviceList::select(m_lineInDevice, Setting::LineInDevice.read(s));
    m_fading.crossfade->setChecked(Setting::CrossfadeEnabled.read(s));
    m_fading.fadeIn->setValue(Setting::FadeInMs.readInt());
    m_fading.fadeOut->setValue(Setting::FadeOutMs.readInt());
    m_fading.fadeIn->setEnabled(m_fading.crossfade->isChecked());
    m_fading.fadeOut->setEnabled(m_fading.crossfade->isChecked());
}

void SettingsDialog::saveSettings()
{
    QSettings s;
    Setting::DefaultVolume.write(s, m_general.volume->value());
    Setting::ResumeOnStart.write(s, m_general.resumeOnStart->isChecked());
    Setting::AutoPlayNext.write(s, m_general.autoPlayNext->isChecked());
    Setting::Clock24h.write(s, m_general.clock24h->isChecked());
    Setting::CheckUpdatesOnStartup.write(s, m_general.checkUpdates->isChecked());
    if (m_nowPlaying.enabled)
        saveNowPlaying();
    if (m_api.enabled)
        saveApi(s);
    if (m_dtmf.source)
        saveDtmf(s);
    if (m_general.voiceTrackFolder)
        VoiceTrackDialog::setVoiceTrackFolder(m_general.voiceTrackFolder->text().trimmed());
    const QString updateUrl = m_general.updateUrl->text().trimmed();
    if (updateUrl.isEmpty())
        Setting::UpdatesUrl.remove(s);
    else
        Setting::UpdatesUrl.write(s, updateUrl);
    Setting::WeatherCity.write(s, m_general.city->text().trimmed());
    Setting::WeatherLat.write(s, m_general.latitude->text().trimmed());
    Setting::WeatherLon.write(s, m_general.longitude->text().trimmed());
    Setting::WeatherLabel.write(s, m_general.placeLabel->text().trimmed());
    Setting::WeatherWindUnit.write(s, m_general.windUnit->currentData().toString());
    Setting::WeatherPrecipUnit.write(s, m_general.rainUnit->currentData().toString());
    Setting::OutputDevice.write(s, m_outputDevice->currentData().toString());
    Setting::MicDevice.write(s, m_micDevice->currentData().toString());
    Setting::LineInDevice.write(s, m_lineInDevice->currentData().toString());
    Setting::CrossfadeEnabled.write(s, m_fading.crossfade->isChecked());
    Setting::FadeInMs.write(s, m_fading.fadeIn->value());
    Setting::FadeOutMs.write(s, m_fading.fadeOut->value());
    s.sync();
    if (m_passwords.settingsPassword)
        saveSecurity();
    if (m_broadcast.host)
        saveBroadcast();
    if (m_silence.enabled)
        saveSilence();
    // Every write above goes through the same file; one that failed is
    // still pending and fails again here.
    s.sync();
    if (s.status() != QSettings::NoError)
        Prompts::warning(this, QStringLiteral("Settings"),
                         QStringLiteral("The settings could not be saved to %1 (the folder is read-only or the disk "
                                        "is full). The changes apply until the program is closed.")
                             .arg(s.fileName()));
    emit settingsChanged();
}
