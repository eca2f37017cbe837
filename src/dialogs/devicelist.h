#pragma once

#include <QList>
#include <QString>

class QAudioDevice;
class QComboBox;

// A list to choose an audio device by its description, as the settings
// store it, with "System default" (an empty value) first.
class DeviceList
{
public:
    static QComboBox* create(const QList<QAudioDevice>& devices);
    // Selects the stored device. One that is not plugged in now is listed
    // as "<name> (not connected)" and selected, so that keeping the
    // dialog's choice keeps the stored device.
    static void select(QComboBox* list, const QString& stored);
};
