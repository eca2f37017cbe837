#include "dialogs/settings/settingsdialog.h"

#include "dialogs/library/voicetrackdialog.h"
#include "dialogs/prompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

namespace {

// Shown in the endpoint field's placeholder: the host the update check asks
// while no endpoint is stored.
const QString kUpdateHost = QStringLiteral("updates.orchidlantern.org");

} // namespace

QWidget* SettingsDialog::makeGeneralPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>General</b>")));

    auto* volumeBox = new QGroupBox(QStringLiteral("Default volume"));
    auto* volumeRow = new QHBoxLayout(volumeBox);
    m_general.volume = named(new QSlider(Qt::Horizontal), "audio/defaultVolume");
    m_general.volume->setRange(0, 100);
    m_general.volumeLabel = new QLabel(QStringLiteral("80%"));
    connect(m_general.volume, &QSlider::valueChanged, this,
            [this](int value) { m_general.volumeLabel->setText(QString::number(value) + QLatin1Char('%')); });
    volumeRow->addWidget(m_general.volume);
    volumeRow->addWidget(m_general.volumeLabel);
    layout->addWidget(volumeBox);

    m_general.resumeOnStart = named(new QCheckBox(QStringLiteral("Resume playback on startup")),
                                    "playback/resumeOnStart");
    m_general.autoPlayNext = named(new QCheckBox(QStringLiteral("Automatically play the next track")),
                                   "playback/autoPlayNext");
    m_general.clock24h = named(new QCheckBox(QStringLiteral("Use 24-hour clock")), "view/clock24h");
    m_general.checkUpdates = named(new QCheckBox(QStringLiteral("Check for updates on startup")),
                                   "updates/checkOnStartup");
    for (QCheckBox* box : {m_general.resumeOnStart, m_general.autoPlayNext, m_general.clock24h,
                           m_general.checkUpdates})
        layout->addWidget(box);

    auto* folderRow = new QHBoxLayout;
    m_general.voiceTrackFolder = named(new QLineEdit(VoiceTrackDialog::voiceTrackFolder()), "voicetrack/folder");
    auto* browse = new QPushButton(QStringLiteral("Browse…"));
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString folder = Prompts::existingDirectory(this, QStringLiteral("Voice Track folder"),
                                                          m_general.voiceTrackFolder->text());
        if (!folder.isEmpty())
            m_general.voiceTrackFolder->setText(folder);
    });
    folderRow->addWidget(new QLabel(QStringLiteral("Voice Track folder:")));
    folderRow->addWidget(m_general.voiceTrackFolder, 1);
    folderRow->addWidget(browse);
    layout->addLayout(folderRow);

    auto* updateRow = new QHBoxLayout;
    m_general.updateUrl = named(new QLineEdit, "updates/url");
    m_general.updateUrl->setPlaceholderText(QStringLiteral("blank = default (") + kUpdateHost + QLatin1Char(')'));
    updateRow->addWidget(new QLabel(QStringLiteral("Update endpoint:")));
    updateRow->addWidget(m_general.updateUrl, 1);
    layout->addLayout(updateRow);

    auto* weather = new QGroupBox(QStringLiteral("Weather (shown on the display)"));
    auto* grid = new QGridLayout(weather);
    m_general.city = named(new QLineEdit, "weather/city");
    m_general.city->setPlaceholderText(QStringLiteral("e.g. Lisbon, Portugal (used if lat/long are blank)"));
    m_general.latitude = named(new QLineEdit, "weather/lat");
    m_general.latitude->setPlaceholderText(QStringLiteral("38.722"));
    m_general.longitude = named(new QLineEdit, "weather/lon");
    m_general.longitude->setPlaceholderText(QStringLiteral("-9.139"));
    m_general.placeLabel = named(new QLineEdit, "weather/label");
    m_general.placeLabel->setPlaceholderText(QStringLiteral("e.g. Lisbon, Lisboa, PT"));
    m_general.windUnit = named(new QComboBox, "weather/windUnit");
    m_general.windUnit->addItem(QStringLiteral("km/h"), QStringLiteral("kmh"));
    m_general.windUnit->addItem(QStringLiteral("m/s"), QStringLiteral("ms"));
    m_general.windUnit->addItem(QStringLiteral("mph"), QStringLiteral("mph"));
    m_general.windUnit->addItem(QStringLiteral("knots"), QStringLiteral("kn"));
    m_general.rainUnit = named(new QComboBox, "weather/precipUnit");
    m_general.rainUnit->addItem(QStringLiteral("mm"), QStringLiteral("mm"));
    m_general.rainUnit->addItem(QStringLiteral("inches"), QStringLiteral("inch"));
    grid->addWidget(new QLabel(QStringLiteral("City:")), 0, 0);
    grid->addWidget(m_general.city, 0, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Latitude:")), 1, 0);
    grid->addWidget(m_general.latitude, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Longitude:")), 1, 2);
    grid->addWidget(m_general.longitude, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Display label:")), 2, 0);
    grid->addWidget(m_general.placeLabel, 2, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Wind units:")), 3, 0);
    grid->addWidget(m_general.windUnit, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("Rain units:")), 3, 2);
    grid->addWidget(m_general.rainUnit, 3, 3);
    grid->addWidget(wrapped(QStringLiteral(
                        "For pinpoint accuracy, enter latitude/longitude (they override the city).\n"
                        "Wind and rain-since-midnight are shown on the display. Free Open-Meteo service; "
                        "needs internet.")),
                    4, 0, 1, 4);
    layout->addWidget(weather);
    layout->addStretch();
    return page;
}
