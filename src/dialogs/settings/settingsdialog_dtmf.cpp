#include "dialogs/settings/settingsdialog.h"

#include "library/appsettings.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QSpinBox* spin(int minimum, int maximum, const QString& suffix, int value)
{
    auto* box = new QSpinBox;
    box->setRange(minimum, maximum);
    box->setSuffix(suffix);
    box->setValue(value);
    return box;
}

} // namespace

QWidget* SettingsDialog::makeDtmfPage()
{
    const QSettings s;
    Dtmf& d = m_dtmf;
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>DTMF</b>")));
    layout->addWidget(wrapped(QStringLiteral("Scheduled events can be started by a DTMF tone - useful when "
                                            "rebroadcasting another station and inserting local ad breaks.")));

    d.source = named(new QComboBox, "dtmf/source");
    d.source->addItem(QStringLiteral("Off"), QStringLiteral("off"));
    d.source->addItem(QStringLiteral("Microphone input"), QStringLiteral("mic"));
    d.source->addItem(QStringLiteral("Line-in input"), QStringLiteral("line"));
    d.source->addItem(QStringLiteral("Network stream URL"), QStringLiteral("url"));
    selectByData(d.source, Setting::DtmfSource.read(s));
    d.url = named(new QLineEdit(Setting::DtmfUrl.read(s)), "dtmf/url");
    d.url->setPlaceholderText(QStringLiteral("http://..."));
    const auto stored = [](const char* key) { return AppSettings::intValue(QLatin1String(key)); };
    d.minLevel = named(spin(1, 50, QStringLiteral(" %"), stored("dtmf/minLevel")), "dtmf/minLevel");
    d.beforeMin = named(spin(0, 60, QStringLiteral(" min before"), stored("dtmf/beforeMin")), "dtmf/beforeMin");
    d.afterMin = named(spin(0, 60, QStringLiteral(" min after"), stored("dtmf/afterMin")), "dtmf/afterMin");
    d.delaySec = named(spin(0, 300, QStringLiteral(" sec"), stored("dtmf/delaySec")), "dtmf/delaySec");

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Check DTMF on:")), 0, 0);
    grid->addWidget(d.source, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Stream URL:")), 1, 0);
    grid->addWidget(d.url, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Minimum DTMF signal level:")), 2, 0);
    grid->addWidget(d.minLevel, 2, 1);
    auto* window = new QHBoxLayout;
    window->addWidget(d.beforeMin);
    window->addWidget(d.afterMin);
    grid->addWidget(new QLabel(QStringLiteral("Check from:")), 3, 0);
    grid->addLayout(window, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("Delay event startup:")), 4, 0);
    grid->addWidget(d.delaySec, 4, 1);
    layout->addLayout(grid);

    layout->addWidget(wrapped(QStringLiteral("<i>An event with a DTMF sequence starts when that sequence is heard "
                                           "inside the window above. If nothing is heard, it starts at the end of "
                                           "the window unless the event is marked DTMF Only.</i>")));
    layout->addStretch();

    const auto applySource = [this] {
        m_dtmf.url->setEnabled(m_dtmf.source->currentData().toString() == QLatin1String("url"));
    };
    connect(d.source, &QComboBox::currentTextChanged, this, applySource);
    applySource();
    return page;
}

void SettingsDialog::saveDtmf(QSettings& settings) const
{
    Setting::DtmfSource.write(settings, m_dtmf.source->currentData().toString());
    Setting::DtmfUrl.write(settings, m_dtmf.url->text().trimmed());
    Setting::DtmfMinLevel.write(settings, m_dtmf.minLevel->value());
    Setting::DtmfBeforeMin.write(settings, m_dtmf.beforeMin->value());
    Setting::DtmfAfterMin.write(settings, m_dtmf.afterMin->value());
    Setting::DtmfDelaySec.write(settings, m_dtmf.delaySec->value());
}
