#pragma once

#include <QAudioDevice>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// Brings a capture back after its sound server went away: tries again
// after a pause that grows from kFirstTryMs to kLastTryMs, says once that
// the capture went and once that it is back. Qt reconnects to a server that
// came back only a few seconds after it went; where the server answers
// again and the tries still fail long after that, it says so, once.
class CaptureRecovery : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFirstTryMs = 500;
    static constexpr int kLastTryMs = 4000;
    // A server that has answered this long while the tries still fail will
    // not be reached again by this process.
    static constexpr int kStuckMs = 8000;

    explicit CaptureRecovery(QObject* parent = nullptr);

    bool isRecovering() const { return m_timer.isActive() || m_lost; }
    // The capture from that device stopped; the first try follows.
    void lost(const QString& device);
    // A try on that device failed.
    void failed(const QAudioDevice& tried);
    // The capture runs again, from that device.
    void back(const QString& device);
    // The capture is no longer wanted.
    void cancel();

signals:
    void tryNow();
    void logMessage(const QString& text);

private:
    void schedule();

    QTimer m_timer;
    int m_pauseMs = kFirstTryMs;
    bool m_lost = false;
    bool m_saidStuck = false;
    QElapsedTimer m_lostFor;
    QElapsedTimer m_answering;
};
