#pragma once

#include <QObject>
#include <QStringList>

class QAudioOutput;
class QMediaPlayer;
class QTimer;

// Measures the length of audio files one at a time by loading each into a
// silent player that is never started.
class DurationScanner : public QObject
{
    Q_OBJECT

public:
    explicit DurationScanner(QObject* parent = nullptr);

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

    QMediaPlayer* m_player = nullptr;
    QAudioOutput* m_output = nullptr;
    QTimer* m_timer = nullptr;
    QStringList m_queue;
    QString m_current;
    bool m_busy = false;
    bool m_stepQueued = false; // the next step is on its way
};
