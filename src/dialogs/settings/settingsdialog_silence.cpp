#include "dialogs/settings/settingsdialog.h"

#include "dialogs/prompts.h"
#include "engine/silencedetector.h"

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

QString thresholdText(double level)
{
    return QString::number(level, 'f', 2);
}

// A slider with its value label, in a group of its own.
QSlider* sliderGroup(QVBoxLayout* layout, const QString& title, int minimum, int maximum, int value,
                     QLabel* label)
{
    auto* box = new QGroupBox(title);
    auto* row = new QHBoxLayout(box);
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(minimum, maximum);
    slider->setValue(value);
    label->setMinimumWidth(48);
    row->addWidget(slider, 1);
    row->addWidget(label);
    layout->addWidget(box);
    return slider;
}

} // namespace

QWidget* SettingsDialog::makeSilencePage()
{
    Silence& s = m_silence;
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Silence detector</b>")));
    layout->addWidget(wrapped(QStringLiteral("Checks the output sound level; if it stays below the threshold for the "
                                            "length of time set below, the chosen action is performed.")));
    s.enabled = named(new QCheckBox(QStringLiteral("On")), "silence/enabled");
    layout->addWidget(s.enabled);

    s.timeoutLabel = new QLabel(QStringLiteral("10 s"));
    s.timeout = named(sliderGroup(layout, QStringLiteral("Length of silence before acting"), 1, 300, 10,
                                  s.timeoutLabel),
                      "silence/timeout");
    connect(s.timeout, &QSlider::valueChanged, this,
            [this](int value) { m_silence.timeoutLabel->setText(QString::number(value) + QStringLiteral(" s")); });

    auto* actionBox = new QGroupBox(QStringLiteral("Action to take on silence"));
    auto* grid = new QGridLayout(actionBox);
    s.action = named(new QComboBox, "silence/action");
    for (const SilenceDetector::Action a :
         {SilenceDetector::PlayNext, SilenceDetector::RepeatPlaylist, SilenceDetector::LoadPlaylist})
        s.action->addItem(SilenceDetector::actionName(a), int(a));
    s.playlist = named(new QLineEdit, "silence/playlist");
    s.playlist->setPlaceholderText(QStringLiteral("playlist to load (.m3u)"));
    s.browse = new QPushButton(QStringLiteral("Browse…"));
    connect(s.browse, &QPushButton::clicked, this, [this] {
        const QString file = Prompts::openFileName(this, QStringLiteral("Playlist to load on silence"), QString(),
                                                   QStringLiteral("Playlists (*.m3u *.m3u8);;All files (*)"));
        if (!file.isEmpty())
            m_silence.playlist->setText(file);
    });
    grid->addWidget(s.action, 0, 0, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Playlist:")), 1, 0);
    grid->addWidget(s.playlist, 1, 1);
    grid->addWidget(s.browse, 1, 2);
    layout->addWidget(actionBox);
    const auto applyAction = [this] {
        const bool load = m_silence.action->currentData().toInt() == SilenceDetector::LoadPlaylist;
        m_silence.playlist->setEnabled(load);
        m_silence.browse->setEnabled(load);
    };
    connect(s.action, &QComboBox::currentIndexChanged, this, applyAction);
    applyAction();

    s.thresholdLabel = new QLabel(QStringLiteral("0.02"));
    s.threshold = named(sliderGroup(layout, QStringLiteral("Silence threshold"), 0, 20, 2, s.thresholdLabel),
                        "silence/threshold");
    connect(s.threshold, &QSlider::valueChanged, this,
            [this](int value) { m_silence.thresholdLabel->setText(thresholdText(value / 100.0)); });
    layout->addStretch();
    return page;
}

void SettingsDialog::loadSilence()
{
    SilenceDetector d;
    d.loadFromSettings();
    Silence& s = m_silence;
    s.enabled->setChecked(d.isEnabled());
    s.timeout->setValue(d.timeoutSecs());
    s.timeoutLabel->setText(QString::number(d.timeoutSecs()) + QStringLiteral(" s"));
    // A stored level above the slider's range is shown as it is, with the
    // slider at its end.
    s.threshold->setValue(int(d.threshold() * 100));
    s.thresholdLabel->setText(thresholdText(d.threshold()));
    selectByData(s.action, QString::number(int(d.action())));
    s.playlist->setText(d.playlist());
}

void SettingsDialog::saveSilence() const
{
    SilenceDetector d;
    d.setEnabled(m_silence.enabled->isChecked());
    d.setTimeoutSecs(m_silence.timeout->value());
    d.setThreshold(m_silence.threshold->value() / 100.0);
    d.setAction(SilenceDetector::actionFromInt(m_silence.action->currentData().toInt()));
    d.setPlaylist(m_silence.playlist->text().trimmed());
    d.saveToSettings();
}
