#pragma once

#include "engine/levelpeaks.h"
#include "library/mixconfig.h"
#include "library/track.h"
#include "library/trackparams.h"

#include <QAudioBuffer>
#include <QAudioDevice>
#include <QElapsedTimer>
#include <QList>
#include <QMediaPlayer>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class HoldWatch;
class PlaylistModel;
class QAudioBufferOutput;
class QAudioOutput;
class QTimer;

// The two-deck playout engine: plays the rows of one playlist through two
// alternating players so that one track can fade out while the next fades
// in, relays a live stream in place of the playlist, fires voice-overs and
// hands the on-air audio to the station outputs.
class AudioEngine : public QObject
{
    Q_OBJECT

public:
    using MixConfig = ::MixConfig;

    // One player chain with its own fade.
    struct Deck
    {
        QMediaPlayer* player = nullptr;
        QAudioOutput* out = nullptr;
        QAudioBufferOutput* bufferOut = nullptr;
        QTimer* fadeTimer = nullptr;
        double gain = 1.0;
        double target = 1.0;
        double step = 0.0;            // gain change per tick
        bool stopWhenFaded = false;
        double level = 1.0;           // stored level of the row playing on this deck
        QUrl preloaded;               // loaded and paused for the coming segue
    };

    explicit AudioEngine(QObject* parent = nullptr);
    ~AudioEngine() override;

    void setPlaylist(PlaylistModel* model);
    void applySettings();
    // Makes the players now rather than at their first use: the first one
    // loads the media backend, which takes a while.
    void prepareDecks();
    bool isPlaying() const;
    qint64 position() const;
    qint64 duration() const;
    // The on-air playlist's row that is playing, -1 for none (also when the
    // track on air is no longer a row of it).
    int currentRow() const { return m_onAir.row; }
    // The row of the on-air playlist that comes next in order.
    int followingRow() const { return m_onAir.nextRow(); }
    // The row that follows the track on air: the queue's head, else the
    // shuffle's draw (made once per start), else the next row in order;
    // -1 when the list ends there.
    int upcomingRow() { return upcoming().row; }
    // The track on air as it started, wherever its row went since.
    const Track& currentTrack() const { return m_onAir.track; }
    // A row has been started: its track is on air, or was the last one.
    bool hasTrack() const { return m_onAir.start > 0; }
    // Quiet on purpose: the operator's Stop or Pause, a STOP or PAUSE row, or
    // a track's end with automatic advance off. Cleared by anything that plays.
    bool isHeld() const { return m_hold == Hold::Held; }
    // Nothing playable followed: the playlist ran out, or none of it plays.
    bool hasRunOut() const { return m_hold == Hold::RunOut; }
    // The loudest deck (or the live relay) before master volume and ducking:
    // what goes on air, whatever the local monitor is set to.
    double airLevel() const;
    // Fade of the outgoing deck at the next transition.
    int fadeOutMs() const { return m_fadeOutMs; }

    static MixConfig mixConfigFromSettings();
    static bool shouldStartMix(const MixConfig& mix, qint64 durationMs, qint64 remainingMs, double levelDb,
                               bool levelValid);

    Q_INVOKABLE bool voiceoverPlaying() const;
    Q_INVOKABLE bool isShuffle() const { return m_shuffle; }
    Q_INVOKABLE void startRelay(const QString& url);
    Q_INVOKABLE void stopRelay();
    Q_INVOKABLE bool isRelaying() const { return m_relayActive; }
    // Relaying, and the stream's own audio is what goes on air.
    bool isRelayLive() const { return m_relayLive; }
    Q_INVOKABLE QString relaySource() const { return m_relaySource; }
    // Puts the players it watches back in step after the program was held;
    // the other players of the program are watched there too.
    HoldWatch* holdWatch() const { return m_holdWatch; }

signals:
    void positionChanged(qint64 ms);
    void durationChanged(qint64 ms);
    void playingChanged(bool playing);
    void currentRowChanged(int row);
    void nowPlaying(const Track& track);
    // The row's audio has started: the moment a play counts.
    void playStarted(const Track& track);
    void logMessage(const QString& text);
    void relayStateChanged(bool active, const QString& source, bool live);
    void levels(double left, double right);
    void audioBufferReady(const QAudioBuffer& buffer);
    void streamMetadata(const QString& title);
    // What follows may be another row now.
    void shuffleChanged(bool on);

public slots:
    void playRow(int row);
    void play();
    void pause();
    void togglePause();
    void stop();
    void next();
    void previous();
    void setVolume(int percent);
    void setPosition(qint64 ms);
    void setDucked(bool ducked);
    void setFadeOutMs(int ms);
    void setShuffle(bool on);
    void setVoiceoverEnabled(bool on);

private:
    void beginFade(Deck& deck, double target, int ms, bool stopWhenFaded);
    void startOnDeck(Deck& deck, const Track& track, bool fadeIn);
    static QUrl sourceFor(const Track& track);
    static double storedLevel(const Track& track, const QUrl& source);
    void loadDeck(Deck& deck, const Track& track, const QUrl& source);
    void dropQueuedBuffers(int index);
    void preloadNext(int activeIndex);
    struct Upcoming
    {
        int row = -1;
        bool fromQueue = false;
    };
    // What follows now; the plain advance, the segue, the preload and the
    // display all ask here.
    Upcoming upcoming();
    int drawRow() const;
    void startUpcoming(const Upcoming& next, int outgoingFadeMs, int failedBefore);
    const TrackParams& currentParams();
    void applyDeckVolume(Deck& deck);
    void stopDeck(Deck& deck);

    void setUpDeck(int index);
    // Lets go of a player still opening its file for a new one; hung: its
    // row failed because it did not open.
    void replaceIfOpening(int index, bool hung);
    // The two decks, made on first use or by prepareDecks().
    Deck (&decks() const)[2];
    Deck& deck(int index) const;
    bool hasOutput() const;
    void readSettings();
    void applyOutputDevice();
    void applyVolumes();
    void fadeTick(int index);
    void onDeckBuffer(int index, const QAudioBuffer& buffer);
    void gatherDeckBuffer(int index, const QAudioBuffer& buffer);
    void takeDeckBuffers(int index);
    void onDeckPosition(int index, qint64 position);
    void noteReport(int index, qint64 position);
    qint64 clockPosition() const;
    void onMixTimer();
    void considerSegue(int index, qint64 reported);
    void onDeckMetaData(int index);
    void onEndOfTrack(int index);
    void onStreamLimit();
    void onRowsInserted(int first, int last);
    void onRowsAboutToBeRemoved(int first, int last);
    void onRowsReordered(const QList<int>& newRowOf);
    void onModelReset();

    bool isCommandRow(int row) const;
    static bool sameRow(const Track& a, const Track& b);
    void startRow(int row, int outgoingFadeMs, int failedBefore);
    void advance(int outgoingFadeMs, int failedBefore);
    void confirmStart();
    void startFailed(const QString& reason);
    void skipUnplayable(quint32 start);
    void haltDecks();
    void stopAll(bool ranOut);
    void resume(QMediaPlayer& player);
    static QString cannotPlayReason(const Track& track);
    QString rowLabel(const Track& track) const;
    QAudioDevice chosenOutputDevice() const;

    void armVoiceover();
    void onVoiceoverDuration(qint64 ms);
    void checkVoiceover(qint64 position);

    void onRelayBuffer(const QAudioBuffer& buffer);
    void onRelayStatus(QMediaPlayer::MediaStatus status);
    void onRelayError(QMediaPlayer::Error error, const QString& text);
    void relayGoLive();
    void relayFallBack();
    void relayReconnect();

    // Fade of the outgoing deck when the next row starts during a segue.
    static constexpr int kEngineFadeOut = -1;
    static constexpr int kLeavePlaying = -2;

    // What plays now and what follows. Each start of a row makes a new one;
    // what a deck or a timer reports counts only for the start it was for.
    struct OnAir
    {
        enum Stage {
            Starting, // waiting for the row's first audio
            Sounding, // its audio came (or the command row was carried out)
            Failed,   // it cannot be played: the row after it is about to start
            Ended,    // played out, or handed on to the row after it
        };
        quint32 start = 0; // counts starts
        Track track;       // as it started: the list may change under it
        int row = -1;      // its row in the on-air list; -1 when it is not there
        int following = 0; // with row -1: the row that comes next
        int drawn = -1;    // the shuffle's draw of the row after it, -1 none yet
        int deck = -1;     // the deck it plays on, -1 for none
        Stage stage = Ended;
        int failedBefore = 0;                // rows before it in a row that could not be played
        int outgoingFadeMs = kEngineFadeOut; // the fade it gave the deck it took over from
        int nextRow() const { return row >= 0 ? row + 1 : following; }
    };

    QPointer<PlaylistModel> m_playlist;
    mutable Deck m_decks[2];
    int m_active = 0;
    OnAir m_onAir;
    enum class Hold { None, Held, RunOut };
    Hold m_hold = Hold::None;
    bool m_hasOutput = true;
    double m_masterVolume = 0.8;
    bool m_crossfadeEnabled = false;
    int m_fadeInMs = 1500;
    int m_fadeOutMs = 2500;
    bool m_autoPlayNext = true;
    bool m_shuffle = false;
    // The list was put in another order, not replaced, by the reset under way.
    bool m_reordered = false;
    QString m_lastStreamTitle;
    bool m_ducked = false;
    LevelPeaks m_deckLevels[2];
    // Per deck, the track's own level (its fade and stored level, without
    // master volume and ducking): what the level trigger judges.
    LevelPeaks m_trackLevels[2];
    MixConfig m_mix;
    // The playing file's stored parameters, as of a change stamp.
    struct
    {
        QString path;
        quint64 stamp = 0;
        TrackParams params;
    } m_params;

    QMediaPlayer* m_voPlayer = nullptr;
    QAudioOutput* m_voOutput = nullptr;
    bool m_voEnabled = true;
    bool m_voArmed = false;
    qint64 m_voStartMs = 0;
    QString m_voFile;
    double m_voLevel = 1.0;

    QTimer* m_streamLimitTimer = nullptr;

    QMediaPlayer* m_relayPlayer = nullptr;
    QAudioOutput* m_relayOutput = nullptr;
    QAudioBufferOutput* m_relayBufferOutput = nullptr;
    QTimer* m_reconnectTimer = nullptr;
    bool m_relayActive = false;
    bool m_relayLive = false;
    bool m_relayResume = false;
    QString m_relaySource;
    double m_relayLevel = 0.0; // the stream's own peak, for airLevel()

    // Per deck: counts row starts, and whether its buffers are taken yet.
    quint32 m_deckGeneration[2] = {0, 0};
    bool m_deckOpen[2] = {true, true};
    // A deck's decoded buffers, gathered on the decoder's thread so that this
    // thread wakes for them a few times a second rather than for each one.
    struct BufferBatch
    {
        QMutex mutex;
        QList<QAudioBuffer> buffers;
        qint64 us = 0;
        bool posted = false;
        bool prompt = true; // the first buffer of a start goes at once
    };
    BufferBatch m_batches[2];

    // A row must sound within a bounded time or it is skipped. The time is
    // counted in ticks of this thread's event loop, so that time it was
    // held (a long layout, a stalled disk) is no time the row had to start.
    void armStartCheck(int limitMs);
    void checkStart();
    QTimer* m_startTimer = nullptr;
    int m_startLimitMs = 0;
    qint64 m_startWaitedMs = 0;
    qint64 m_startTickAt = 0;

    // The deck on air's recent position reports against the clock: each
    // report's clock time less its position. Aimed from them, a precise
    // timer starts a segue at its mix point.
    static constexpr int kClockReports = 48;
    struct DeckClock
    {
        quint32 start = 0;
        int deck = -1;
        qint64 lastPosition = 0;
        qint64 lastAt = 0;
        qint64 lags[kClockReports] = {};
        int count = 0;
        int next = 0;
    };
    DeckClock m_deckClock;
    QElapsedTimer m_clock;
    QTimer* m_mixTimer = nullptr;

    // After the program was held, the decks put back where they were.
    void onHoldResumed(const QList<QMediaPlayer*>& players);
    void onNotInStep(QMediaPlayer* player);
    HoldWatch* m_holdWatch = nullptr;
};
