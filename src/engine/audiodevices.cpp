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

QAudioFormat AudioDevices::captureFormat(const QAudioDevice& device, int sampleRate, int channels)
{
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Int16);
    format.setSampleRate(sampleRate);
    format.setChannelCount(channels);
    return device.isFormatSupported(format) ? format : device.preferredFormat();
}
