#include "dialogs/settings/settingsdialog.h"

#include "dialogs/devicelist.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaDevices>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

QWidget* SettingsDialog::makePlaybackPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Playback</b>")));

    auto* main = new QGroupBox(QStringLiteral("Main (on-air) soundcard"));
    auto* mainRow = new QHBoxLayout(main);
    m_outputDevice = named(DeviceList::create(QMediaDevices::audioOutputs()), "audio/outputDevice");
    mainRow->addWidget(m_outputDevice, 1);
    layout->addWidget(main);

    auto* cart = new QGroupBox(QStringLiteral("Cart wall output device"));
    auto* cartRow = new QHBoxLayout(cart);
    auto* change = new QPushButton(QStringLiteral("Change..."));
    change->setEnabled(false);
    cartRow->addWidget(new QLabel(QStringLiteral("Main soundcard")), 1);
    cartRow->addWidget(change);
    layout->addWidget(cart);
    layout->addStretch();
    return page;
}

QWidget* SettingsDialog::makeFadingPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Fading</b>")));
    layout->addWidget(wrapped(
        QStringLiteral("Crossfade settings for music playback. The next track begins before the current one ends.")));
    m_fading.crossfade = named(new QCheckBox(QStringLiteral("Enable crossfading between tracks")),
                               "playback/crossfadeEnabled");
    layout->addWidget(m_fading.crossfade);

    const auto fadeSpin = [](const char* name) {
        auto* spin = named(new QSpinBox, name);
        spin->setRange(0, 15000);
        spin->setSingleStep(100);
        spin->setSuffix(QStringLiteral(" ms"));
        return spin;
    };
    m_fading.fadeIn = fadeSpin("playback/fadeInMs");
    m_fading.fadeOut = fadeSpin("playback/fadeOutMs");
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Fade in:")), 0, 0);
    grid->addWidget(m_fading.fadeIn, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Fade out / mix overlap:")), 1, 0);
    grid->addWidget(m_fading.fadeOut, 1, 1);
    grid->setColumnStretch(2, 1);
    layout->addLayout(grid);
    connect(m_fading.crossfade, &QCheckBox::toggled, this, [this](bool on) {
        m_fading.fadeIn->setEnabled(on);
        m_fading.fadeOut->setEnabled(on);
    });

    auto* note = new QLabel(QStringLiteral("Tracks shorter than 45 seconds are not crossfaded."));
    note->setStyleSheet(QStringLiteral("color:#666;"));
    layout->addWidget(note);
    layout->addStretch();
    return page;
}
