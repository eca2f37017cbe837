#pragma once

#include <QObject>
#include <QString>

// Watches the on-air level for dead air. Fed at a fixed rate, it counts how
// long the level has stayed at or below the threshold and reports each time
// that reaches another time-out, until sound returns or a reset.
class SilenceDetector : public QObject
{
    Q_OBJECT

public:
    enum Action {
        PlayNext = 0,
        RepeatPlaylist = 1,
        LoadPlaylist = 2,
    };
    Q_ENUM(Action)

    explicit SilenceDetector(QObject* parent = nullptr);

    static SilenceDetector* fromSettings(QObject* parent = nullptr);

    void loadFromSettings();
    void saveToSettings() const;

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int timeoutSecs() const { return m_timeoutSecs; }
    void setTimeoutSecs(int seconds);
    double threshold() const { return m_threshold; }
    void setThreshold(double level);
    Action action() const { return m_action; }
    void setAction(Action action) { m_action = actionFromInt(action); }
    QString playlist() const { return m_playlist; }
    void setPlaylist(const QString& path) { m_playlist = path; }
    qint64 silentMs() const { return m_silentMs; }
    bool hasFired() const { return m_fired; }

    void reset();
    // Nothing is left that an action could bring: quiet until sound
    // returns or a reset, however long the silence lasts.
    void standDown() { m_standingDown = true; }

    // One level reading covering ms milliseconds; true on the call that
    // reports the silence.
    bool feed(double level, int ms);

    QString statusText() const;

    static QString actionName(Action action);
    static Action actionFromInt(int value);

signals:
    void silenceDetected(int action);

private:
    bool m_enabled = false;
    int m_timeoutSecs = 10;
    double m_threshold = 0.02;
    Action m_action = PlayNext;
    QString m_playlist;
    qint64 m_silentMs = 0;
    bool m_fired = false;
    qint64 m_firedAtMs = 0;     // silent time at the last report
    bool m_standingDown = false;
};
