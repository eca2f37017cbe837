#pragma once

#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWaitCondition>

#include <atomic>
#include <memory>

class QMediaPlayer;
class QThread;
class QTimer;

// Notices that the whole program was held (stopped by a signal, a paused
// container or virtual machine, a stalled or suspended machine) and puts
// each watched player that was playing back where it was when the hold
// began.
//
// The media framework's renderer keeps its time by the monotonic clock: held
// for some seconds, it finds all of them due at once and writes them into
// the sound server in one burst. The server keeps what fits its buffer
// (about 12 s) and drops the rest, and from then on every write lands past
// its end and is dropped in turn: the track is silent while its position
// runs on, and after shorter holds it plays late by the time held. A seek
// gives the player a new renderer and a new stream in step with each other.
// A player that hands its audio to a buffer output is then checked: its
// audio must come again, and at the pace it is played.
class HoldWatch : public QObject
{
    Q_OBJECT

public:
    // The shortest stop of the event loop taken for a hold.
    static constexpr qint64 kHoldMs = 1000;

    explicit HoldWatch(QObject* parent = nullptr);
    ~HoldWatch() override;

    // Watched while it exists; the watch runs only while one of its players
    // plays.
    void watch(QMediaPlayer* player);

    // Milliseconds on a clock that also counts a suspended machine.
    static qint64 nowMs();

signals:
    // The program was held for heldMs; the players listed were playing
    // before the hold and have been put back where they were.
    void resumed(qint64 heldMs, const QList<QMediaPlayer*>& players);
    // Put back twice, the player still gives no audio or not in step.
    void notInStep(QMediaPlayer* player);
    void logMessage(const QString& text);

private:
    struct Watched
    {
        QPointer<QMediaPlayer> player;
        bool playing = false;
        QUrl source;
        qint64 position = 0;
    };

    void updateRunning();
    void tick();
    void note();
    bool processWasHeld(qint64 since);
    void reseat(qint64 heldMs);
    // Returns where it was put.
    static qint64 putBack(QMediaPlayer* player, qint64 position);
    void beat();

    // A player's audio after it was put back: how much came, from when.
    struct Check
    {
        QPointer<QMediaPlayer> player;
        QUrl source;
        qint64 position = 0;
        qint64 since = 0;
        int tries = 0;
        std::shared_ptr<std::atomic<qint64>> deliveredUs;
        QMetaObject::Connection counting;
    };
    void startCheck(QMediaPlayer* player, qint64 position, int tries);
    void endCheck(qsizetype index);
    void check();
    QList<Check> m_checks;
    QTimer* m_checkTimer = nullptr;

    QList<Watched> m_players;
    QTimer* m_timer = nullptr;
    qint64 m_tickAt = 0;

    // A thread of its own tells a held program from a busy event loop: the
    // renderers play on through the latter, and must not be put back.
    QThread* m_beatThread = nullptr;
    QMutex m_beatMutex;
    QWaitCondition m_beatWake;
    bool m_beating = false;
    bool m_quit = false;
    qint64 m_lastBeat = 0;
    qint64 m_beatHeldUntil = 0;
};
