#pragma once

#include "outputs/archiveconfig.h"
#include "outputs/audiocapture.h"
#include "outputs/onairencoders.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QVariantMap>

#include <functional>

class QAudioBuffer;
class QFile;
class QTimer;
class Mp3Tap;

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

    // After a failed write the recording waits for this much free space,
    // tried at a growing interval, before it goes on in a new file.
    static constexpr qint64 kMinFreeBytes = 4 * 1024 * 1024;
    static constexpr int kFirstRoomCheckMs = 5000;
    static constexpr int kLastRoomCheckMs = 60000;

    void setConfig(const ArchiveConfig& config);
    ArchiveConfig config() const { return m_config; }
    bool isRecording() const { return m_recording; }
    // What a restart needs to carry the running take on: its folder, its
    // file name pattern, its first file and, for a timed take, when it
    // ends. Empty while not recording.
    QVariantMap takeRecord() const;
    // Records again as such a record says, with the stored settings for the
    // rest: a timed take until its end, one whose end has passed not at all
    // (said in the log). Whether it records.
    bool resumeTake(const QVariantMap& take);
    QString currentFile() const { return m_currentPath; }
    qint64 recordedMs() const;
    // The clock that names, splits and times the files; the system's own
    // unless replaced.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    // The on-air mix is then encoded where other outputs take it too.
    void setSharedEncoders(OnAirEncoders* encoders) { m_shared = encoders; }
    // The capture device asked for while it is not present and the default
    // input is recorded in its place; empty otherwise.
    QString missingDevice() const { return m_capture.missingDevice(); }

signals:
    void recordingChanged(bool recording);
    void logMessage(const QString& text);
    void fileStarted(const QString& path);
    // What missingDevice() says has changed.
    void captureChanged();

public slots:
    void start();
    // Ends the recording at once; recordingChanged(false) follows when the
    // last file is complete on disk.
    void stop();
    void pushAudio(const QAudioBuffer& buffer);

private:
    bool openFile();
    void closeFile();
    bool openEncoder();
    void checkClock();
    void onCaptured(const QByteArray& pcm);
    bool writeToFile(const QByteArray& bytes);
    void writeEncoded(const QByteArray& mp3);
    void encoderFailed();
    void waitForRoom(const QString& cause);
    void checkRoom();
    void finishClosingNow();
    void endStop();

    ArchiveConfig m_config;
    QFile* m_file = nullptr;
    OnAirEncoders m_ownEncoders;
    OnAirEncoders* m_shared = nullptr;
    Mp3Tap* m_encoder = nullptr; // the current file's; earlier files finish on their own
    int m_closing = 0;           // files whose encoder is still finishing
    AudioCapture m_capture;
    QTimer* m_roomTimer = nullptr;     // runs while a write error keeps the recording waiting
    int m_roomCheckMs = kFirstRoomCheckMs;
    QElapsedTimer m_encoderRestarted;
    bool m_recording = false;
    bool m_stopping = false;             // stopped; recordingChanged(false) waits for the last file
    QDateTime m_recordingStart;
    QDateTime m_fileStart;
    QString m_currentPath;
    std::function<QDateTime()> m_clock = [] { return QDateTime::currentDateTime(); };
};
