#pragma once

#include "engine/mp3encoder.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QProcess;

// The station outputs' MP3 encoder: the ffmpeg child of Mp3Encoder, driven
// by the event loop so that its owner never waits for it. PCM is queued for
// the child in order, from the moment it is opened, 200 ms at a time; MP3
// is handed on after each of those writes, from a pipe of its own (read as
// the child writes it, every frame would wake the event loop); only until
// the child's first bytes is input passed on at once. A child that
// stops taking and giving is let go after 5 s, as the blocking encoder does,
// and so is one that falls 10 s behind.
class LiveMp3Encoder : public QObject
{
    Q_OBJECT

public:
    explicit LiveMp3Encoder(QObject* parent = nullptr);
    ~LiveMp3Encoder() override;

    bool open(int sampleRate, int channels, int kbps, Mp3Encoder::InputFormat format);
    // Queues whole frames; a trailing partial frame is dropped.
    void encode(const QByteArray& pcm);
    // Ends the input: the last MP3 bytes follow, then finished().
    void finish();
    // The same, waiting for the child; for the last file at shutdown.
    void finishNow();
    // Drops the child and whatever it still holds.
    void close();
    bool isOpen() const { return m_process != nullptr; }
    // Why the last open() failed.
    QString error() const { return m_error; }
    qint64 queuedBytes() const;

signals:
    void encoded(const QByteArray& mp3);
    // The child was let go, or ended by itself: nothing more will come.
    void failed();
    void finished();

private:
    void readOutput();
    QByteArray drain();
    void closeOutput();
    void writePending();
    void checkProgress();
    void onExit();
    void letGo();
    QProcess* release();
    void end(const QByteArray& rest, bool asked);
    void retire(QProcess* process, bool kill);

    QProcess* m_process = nullptr;
    QTimer m_watchdog;
    // Input goes to the child in batches: every write, and the output it
    // prompts, wakes the event loop.
    QByteArray m_pending;
    qint64 m_batchBytes = 0;
    int m_output = -1; // read end of the child's standard output
    QTimer m_readTimer;
    QElapsedTimer m_lastProgress; // last time the child took input or gave output
    qint64 m_frameBytes = 4;
    qint64 m_queueLimit = 0;
    bool m_finishing = false;
    bool m_flowing = false; // the child has given its first bytes
    QString m_error;
};
