#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// A PulseAudio pipe source fed from an audio file in real time: a
// microphone whose sound the test chooses.
class PipeMic
{
public:
    PipeMic(QString name, QString description, int rate, int channels);
    ~PipeMic();
    PipeMic(const PipeMic&) = delete;
    PipeMic& operator=(const PipeMic&) = delete;

    QString name() const { return m_name; }
    QString description() const { return m_description; }

    // Loads the source with its fifo in the folder.
    bool load(const QString& folder);
    // Writes the file into the fifo at its own pace, as a live device would.
    bool feed(const QString& audioFile);
    // load, feed, then wait until the media framework lists the source.
    bool open(const QString& folder, const QString& audioFile);
    void unload();

    // pactl's output, trimmed; a failure is warned about.
    static QString pactl(const QStringList& args, bool* ok = nullptr);

private:
    QString m_name;
    QString m_description;
    int m_rate;
    int m_channels;
    QString m_fifo;
    QString m_module;
    std::unique_ptr<QProcess> m_feeder;
};
