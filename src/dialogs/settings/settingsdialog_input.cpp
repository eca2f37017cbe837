#include "dialogs/settings/settingsdialog.h"

#include "dialogs/devicelist.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaDevices>
#include <QVBoxLayout>

QWidget* SettingsDialog::makeInputPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Input (external sources)</b>")));
    layout->addWidget(wrapped(QStringLiteral("Microphone and line-in are independent sources; both can be "
                                                "live at once (MIC / LINE buttons on the transport).")));

    const auto group = [layout](const QString& title, QComboBox* list) {
        auto* box = new QGroupBox(title);
        auto* row = new QHBoxLayout(box);
        row->addWidget(list, 1);
        layout->addWidget(box);
        return list;
    };
    m_micDevice = group(QStringLiteral("Microphone device"),
                        named(DeviceList::create(QMediaDevices::audioInputs()), "audio/micDevice"));
    m_lineInDevice = group(QStringLiteral("Line-in device"),
                           named(DeviceList::create(QMediaDevices::audioInputs()), "audio/lineInDevice"));
    layout->addStretch();
    return page;
}
