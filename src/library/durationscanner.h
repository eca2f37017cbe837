#pragma once

#include <QHash>
#include <QObject>
#include <QStringList>

class QAudioOutput;
class QMediaPlayer;
class QTimer;

// Measures the length of audio files, reporting them one at a time in queue
// order. TagLib reads the lengths off the GUI thread, a chunk of the queue
// ahead; a file TagLib cannot read is loaded into a silent player that is
// never started.
class DurationScanner : public QObject
{
    Q_OBJECT

public:
    explicit DurationScanner(QObject* parent = nullptr);
    // A player still opening its file is let go, not waited for.
    ~DurationScanner() override;

    void scan(const QStringList& paths);
    void clearQueue();

signals:
    // ms is 0 when no length was found.
    void resolved(const QString& path, qint64 ms);
    void finished();

private:
    void processNext();
    void complete(qint64 ms);
    void releasePlayer();
    void measureCurrent();
    void measureWithPlayer();
    void readAhead();
    void takeRead(const QList<QPair<QString, qint64>>& lengths);

    QMediaPlayer* m_player = nullptr;
    QAudioOutput* m_output = nullptr;
    QTimer* m_timer = nullptr;
    QStringList m_queue;
    QString m_current;
    bool m_busy = false;
    bool m_stepQueued = false; // the next step is on its way
    // Lengths TagLib read, by path; -1 where only the player can tell.
    QHash<QString, qint64> m_read;
    int m_queueSubmitted = 0;  // queue entries from the front handed to a read
    bool m_currentSubmitted = false;
    int m_reading = 0;         // reads under way
    bool m_waitingForRead = false;
};
