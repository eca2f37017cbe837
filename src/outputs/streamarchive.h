#pragma once

#include "engine/mp3encoder.h"
#include "outputs/archiveconfig.h"
#include "outputs/pcmconverter.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>

#include <functional>

class QAudioBuffer;
class QAudioSource;
class QFile;
class QIODevice;

// Records the on-air audio or an input device to MP3 files named from a
// date-time pattern, split at a set interval, optionally stopping by itself.
class StreamArchive : public QObject
{
    Q_OBJECT

public:
    explicit StreamArchive(QObject* parent = nullptr);
    ~StreamArchive() override;

    static ArchiveConfig configFromSettings();
    static void saveConfig(const ArchiveConfig& config);
    static QString buildFileName(const ArchiveConfig& config, const QDateTime& when);
    static bool shouldSplit(const ArchiveConfig& config, qint64 fileAgeMs);
    static bool encoderAvailable();

    void setConfig(const ArchiveConfig& config);
    ArchiveConfig config() const { return m_config; }
    bool isRecording() const { return m_recording; }
    QString currentFile() const { return m_currentPath; }
    qint64 recordedMs() const;
    // The clock that names, splits and times the files; the system's own
    // unless replaced.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

signals:
    void recordingChanged(bool recording);
    void logMessage(const QString& text);
    void fileStarted(const QString& path);

public slots:
    void start();
    void stop();
    void pushAudio(const QAudioBuffer& buffer);

private slots:
    void onAudioReady();

private:
    bool openFile();
    void closeFile();
    void encodePcm(const QByteArray& pcm);
    bool writeToFile(const QByteArray& bytes);

    ArchiveConfig m_config;
    QAudioSource* m_capture = nullptr;
    QPointer<QIODevice> m_captureDevice;
    QFile* m_file = nullptr;
    Mp3Encoder m_encoder;
    PcmConverter m_converter;
    bool m_recording = false;
    QDateTime m_recordingStart;
    QDateTime m_fileStart;
    QString m_currentPath;
    std::function<QDateTime()> m_clock = [] { return QDateTime::currentDateTime(); };
};
