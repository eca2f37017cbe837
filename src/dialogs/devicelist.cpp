#include "dialogs/devicelist.h"

#include <QAudioDevice>
#include <QComboBox>

QComboBox* DeviceList::create(const QList<QAudioDevice>& devices)
{
    auto* list = new QComboBox;
    list->addItem(QStringLiteral("System default"), QString());
    for (const QAudioDevice& device : devices)
        list->addItem(device.description(), device.description());
    return list;
}

void DeviceList::select(QComboBox* list, const QString& stored)
{
    int index = -1;
    for (int i = 0; i < list->count() && index < 0; ++i) {
        if (list->itemData(i).toString() == stored)
            index = i;
    }
    if (index < 0) {
        list->addItem(QStringLiteral("%1 (not connected)").arg(stored), stored);
        index = list->count() - 1;
    }
    list->setCurrentIndex(index);
}
