#include "audiodevices.h"

#include "engine/soundserver.h"

#include <QMediaDevices>

namespace {

QAudioDevice byDescription(const QList<QAudioDevice>& devices, const QString& description,
                           const QAudioDevice& fallback, bool* found)
{
    if (!description.isEmpty()) {
        for (const QAudioDevice& d : devices) {
            if (d.description() == description && !SoundServer::gone(d)) {
                if (found)
                    *found = true;
                return d;
            }
        }
    }
    if (found)
        *found = description.isEmpty();
    if (fallback.isNull() || !SoundServer::gone(fallback))
        return fallback;
    // The listed default is one the server no longer has: the first it
    // does have stands in for it.
    for (const QAudioDevice& d : devices) {
        if (d != fallback && !SoundServer::gone(d))
            return d;
    }
    return {};
}

} // namespace

QAudioDevice AudioDevices::input(const QString& description, bool* found)
{
    return byDescription(QMediaDevices::audioInputs(), description, QMediaDevices::defaultAudioInput(), found);
}

QAudioDevice AudioDevices::output(const QString& description, bool* found)
{
    return byDescription(QMediaDevices::audioOutputs(), description, QMediaDevices::defaultAudioOutput(), found);
}

QAudioFormat AudioDevices::captureFormat(const QAudioDevice& device, int sampleRate, int channels)
{
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Int16);
    format.setSampleRate(sampleRate);
    format.setChannelCount(channels);
    return device.isFormatSupported(format) ? format : device.preferredFormat();
}

QString AudioDevices::inputMissingText(const QString& description, const QAudioDevice& used)
{
    return QStringLiteral("input device \"%1\" is not present; capturing the default input \"%2\" instead")
        .arg(description, used.description());
}
