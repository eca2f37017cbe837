#include "dialogs/library/crossfadesdialog.h"

#include "library/appsettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

namespace {

QDoubleSpinBox* spin(double minimum, double maximum, const QString& suffix, const QString& name)
{
    auto* s = new QDoubleSpinBox;
    s->setObjectName(name);
    s->setRange(minimum, maximum);
    s->setDecimals(1);
    s->setSingleStep(0.5);
    s->setSuffix(suffix);
    s->setFixedWidth(100);
    return s;
}

QDoubleSpinBox* secondsSpin(double maximum, const QString& name)
{
    return spin(0.0, maximum, QStringLiteral(" sec"), name);
}

QCheckBox* checkBox(const QString& text, const QString& name, const QString& tip = {})
{
    auto* box = new QCheckBox(text);
    box->setObjectName(name);
    box->setToolTip(tip);
    return box;
}

// Shown seconds become ms truncated, never rounded.
int spinMs(const QDoubleSpinBox* s)
{
    return int(s->value() * 1000.0);
}

// A stage whose stored length is 0 is off.
void showStage(QSettings& s, const RangedKey& key, QCheckBox* box, QDoubleSpinBox* spin)
{
    const int ms = s.value(key.name(), int(key.fallback)).toInt();
    box->setChecked(ms > 0);
    spin->setValue(ms / 1000.0);
}

} // namespace

CrossfadesDialog::CrossfadesDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Crossfades"));
    setMinimumWidth(380);
    auto* layout = new QVBoxLayout(this);

    m_enableBox = checkBox(QStringLiteral("Enable crossfading between tracks"), QStringLiteral("enableBox"));
    layout->addWidget(m_enableBox);

    auto* music = new QGroupBox(QStringLiteral("Music"));
    auto* grid = new QGridLayout(music);
    m_fadeInBox = checkBox(QStringLiteral("Fade in"), QStringLiteral("fadeInBox"));
    m_fadeInSpin = secondsSpin(15.0, QStringLiteral("fadeInSpin"));
    m_mixBox = checkBox(QStringLiteral("Mix point"), QStringLiteral("mixBox"),
                        QStringLiteral("The moment before the end of a track when the next track starts playing, "
                                       "overlapping it."));
    m_mixSpin = secondsSpin(60.0, QStringLiteral("mixSpin"));
    m_fadeOutBox = checkBox(QStringLiteral("Fade out"), QStringLiteral("fadeOutBox"),
                            QStringLiteral("The period at the end of a track when the volume gradually decreases "
                                           "from full level to silence."));
    m_fadeOutSpin = secondsSpin(15.0, QStringLiteral("fadeOutSpin"));
    m_triggerBox = checkBox(QStringLiteral("Trigger mix at"), QStringLiteral("triggerBox"),
                            QStringLiteral("Start the mix once the outgoing track's level falls below this. The Mix "
                                           "point value then sets the minimum overlap."));
    m_triggerSpin = spin(-60.0, 0.0, QStringLiteral(" dB"), QStringLiteral("triggerSpin"));
    m_fadeOnMixBox = checkBox(QStringLiteral("Start fading out on mix"), QStringLiteral("fadeOnMixBox"),
                              QStringLiteral("The fade out starts at the same time as the mix."));
    m_minLengthSpin = secondsSpin(600.0, QStringLiteral("minLengthSpin"));
    grid->addWidget(m_fadeInBox, 0, 0);
    grid->addWidget(m_fadeInSpin, 0, 1);
    grid->addWidget(m_mixBox, 1, 0);
    grid->addWidget(m_mixSpin, 1, 1);
    grid->addWidget(m_fadeOutBox, 2, 0);
    grid->addWidget(m_fadeOutSpin, 2, 1);
    grid->addWidget(m_triggerBox, 3, 0);
    grid->addWidget(m_triggerSpin, 3, 1);
    grid->addWidget(m_fadeOnMixBox, 4, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Do not crossfade tracks shorter than")), 5, 0);
    grid->addWidget(m_minLengthSpin, 5, 1);
    layout->addWidget(music);

    auto* types = new QGroupBox(QStringLiteral("File Types (overrides)"));
    auto* typeGrid = new QGridLayout(types);
    m_typeCombo = new QComboBox;
    m_typeCombo->setObjectName(QStringLiteral("typeCombo"));
    m_typeCombo->addItems({QStringLiteral("Music"), QStringLiteral("Commercial"), QStringLiteral("Jingle"),
                           QStringLiteral("Voice track")});
    m_typeOverrideBox =
        checkBox(QStringLiteral("Override the defaults above for this type"), QStringLiteral("typeOverrideBox"));
    m_typeMixSpin = secondsSpin(60.0, QStringLiteral("typeMixSpin"));
    m_typeFadeSpin = secondsSpin(15.0, QStringLiteral("typeFadeSpin"));
    m_typePreviousBox =
        checkBox(QStringLiteral("Override previous track's mix point"), QStringLiteral("typePreviousBox"),
                 QStringLiteral("Controls how many tracks overlap. Useful for commercials and jingles, to avoid a "
                                "long overlap with the preceding music."));
    typeGrid->addWidget(new QLabel(QStringLiteral("File type:")), 0, 0);
    typeGrid->addWidget(m_typeCombo, 0, 1);
    typeGrid->addWidget(m_typeOverrideBox, 1, 0, 1, 2);
    typeGrid->addWidget(new QLabel(QStringLiteral("Mix point:")), 2, 0);
    typeGrid->addWidget(m_typeMixSpin, 2, 1);
    typeGrid->addWidget(new QLabel(QStringLiteral("Fade out:")), 3, 0);
    typeGrid->addWidget(m_typeFadeSpin, 3, 1);
    typeGrid->addWidget(m_typePreviousBox, 4, 0, 1, 2);
    layout->addWidget(types);

    auto* note = new QLabel(QStringLiteral(
        "Priority: File Types override Music. Per-type settings apply to tracks categorised as that type."));
    note->setStyleSheet(QStringLiteral("color:#666;"));
    note->setWordWrap(true);
    layout->addWidget(note);

    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    connect(ok, &QPushButton::clicked, this, [this] {
        saveSettings();
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    for (QCheckBox* box : {m_enableBox, m_fadeInBox, m_fadeOutBox, m_mixBox, m_triggerBox})
        connect(box, &QCheckBox::toggled, this, [this] { syncMusicRows(); });
    connect(m_typeOverrideBox, &QCheckBox::toggled, this, [this] { syncTypeRow(); });
    // After the items are in, so that filling the list saves nothing.
    connect(m_typeCombo, &QComboBox::currentTextChanged, this, [this](const QString& type) {
        saveTypeSettings(m_currentType);
        m_currentType = type;
        loadTypeSettings(type);
    });

    loadSettings();
}

void CrossfadesDialog::loadSettings()
{
    QSettings s;
    m_enableBox->setChecked(Setting::CrossfadeEnabled.read(s));
    showStage(s, Setting::FadeInMs, m_fadeInBox, m_fadeInSpin);
    showStage(s, Setting::FadeOutMs, m_fadeOutBox, m_fadeOutSpin);
    // With the mix point off the spin offers the usual length to switch back to.
    const int mix = Setting::MixPointMs.readInt();
    m_mixBox->setChecked(mix > 0);
    m_mixSpin->setValue(mix > 0 ? mix / 1000.0 : 2.5);
    m_triggerBox->setChecked(Setting::TriggerMixEnabled.read(s));
    m_triggerSpin->setValue(Setting::TriggerMixDb.read());
    m_fadeOnMixBox->setChecked(Setting::FadeOutOnMix.read(s));
    m_minLengthSpin->setValue(Setting::MinCrossfadeMs.readInt() / 1000.0);
    m_currentType = m_typeCombo->currentText();
    loadTypeSettings(m_currentType);
    syncMusicRows();
}

void CrossfadesDialog::saveSettings()
{
    QSettings s;
    Setting::CrossfadeEnabled.write(s, m_enableBox->isChecked());
    Setting::FadeInMs.write(s, m_fadeInBox->isChecked() ? spinMs(m_fadeInSpin) : 0);
    Setting::FadeOutMs.write(s, m_fadeOutBox->isChecked() ? spinMs(m_fadeOutSpin) : 0);
    Setting::MixPointMs.write(s, m_mixBox->isChecked() ? spinMs(m_mixSpin) : 0);
    Setting::TriggerMixEnabled.write(s, m_triggerBox->isChecked());
    Setting::TriggerMixDb.write(s, m_triggerSpin->value());
    Setting::FadeOutOnMix.write(s, m_fadeOnMixBox->isChecked());
    Setting::MinCrossfadeMs.write(s, spinMs(m_minLengthSpin));
    saveTypeSettings(m_currentType);
    s.sync();
    emit settingsChanged();
}

void CrossfadesDialog::loadTypeSettings(const QString& type)
{
    QSettings s;
    auto stored = [&s, &type](const char* field, const QVariant& fallback) {
        return s.value(Setting::typeCrossfade(type, QLatin1String(field)), fallback);
    };
    m_typeOverrideBox->setChecked(stored("override", Setting::TypeOverrideDefault).toBool());
    m_typeMixSpin->setValue(stored("mixPointMs", Setting::TypeMsDefault).toInt() / 1000.0);
    m_typeFadeSpin->setValue(stored("fadeOutMs", Setting::TypeMsDefault).toInt() / 1000.0);
    m_typePreviousBox->setChecked(stored("overridePrev", Setting::TypeOverrideDefault).toBool());
    syncTypeRow();
}

void CrossfadesDialog::saveTypeSettings(const QString& type)
{
    QSettings s;
    s.setValue(Setting::typeCrossfade(type, QStringLiteral("override")), m_typeOverrideBox->isChecked());
    s.setValue(Setting::typeCrossfade(type, QStringLiteral("mixPointMs")), spinMs(m_typeMixSpin));
    s.setValue(Setting::typeCrossfade(type, QStringLiteral("fadeOutMs")), spinMs(m_typeFadeSpin));
    s.setValue(Setting::typeCrossfade(type, QStringLiteral("overridePrev")), m_typePreviousBox->isChecked());
}

void CrossfadesDialog::syncTypeRow()
{
    const bool on = m_typeOverrideBox->isChecked();
    m_typeMixSpin->setEnabled(on);
    m_typeFadeSpin->setEnabled(on);
    m_typePreviousBox->setEnabled(true);
}

void CrossfadesDialog::syncMusicRows()
{
    const bool on = m_enableBox->isChecked();
    m_fadeInSpin->setEnabled(on && m_fadeInBox->isChecked());
    m_fadeOutSpin->setEnabled(on && m_fadeOutBox->isChecked());
    m_mixSpin->setEnabled(on && m_mixBox->isChecked());
    m_triggerSpin->setEnabled(on && m_triggerBox->isChecked());
}
