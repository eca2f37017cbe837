#include "audiodevices.h"

#include <QMediaDevices>

namespace {

QAudioDevice byDescription(const QList<QAudioDevice>& devices, const QString& description,
                           const QAudioDevice& fallback)
{
    if (description.isEmpty())
        return fallback;
    for (const QAudioDevice& d : devices) {
        if (d.description() == description)
            return d;
    }
    return fallback;
}

} // namespace

QAudioDevice AudioDevices::input(const QString& description)
{
    return byDescription(QMediaDevices::audioInputs(), description, QMediaDevices::defaultAudioInput());
}

QAudioDevice AudioDevices::output(const QString& description)
{
    return byDescription(QMediaDevices::audioOutputs(), description, QMediaDevices::defaultAudioOutput());
}
