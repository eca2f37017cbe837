#pragma once

#include "engine/levelpeaks.h"
#include "library/mixconfig.h"
#include "library/track.h"
#include "library/trackparams.h"

#include <QAudioBuffer>
#include <QAudioDevice>
#include <QList>
#include <QMediaPlayer>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

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
    // The on-air playlist's row that is playing, -1 for none.
    int currentRow() const { return m_currentRow; }
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
    int upcomingRow() const;
    const TrackParams& currentParams();
    void applyDeckVolume(Deck& deck);
    void stopDeck(Deck& deck);

    void setUpDeck(int index);
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
    void onDeckMetaData(int index);
    void onEndOfTrack(int index);
    void onStreamLimit();
    void onRowsInserted(int first, int last);
    void onRowsAboutToBeRemoved(int first, int last);
    void onModelAboutToBeReset();
    void onModelReset();

    bool isCommandRow(int row) const;
    int nextRowInOrder() const;
    void confirmStart();
    void startFailed(const QString& reason);
    void skipUnplayable(quint32 start);
    void haltDecks();
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

    QPointer<PlaylistModel> m_playlist;
    mutable Deck m_decks[2];
    int m_active = 0;
    int m_currentRow = -1;
    Track m_currentTrack;
    bool m_hasOutput = true;
    double m_masterVolume = 0.8;
    bool m_crossfadeEnabled = false;
    int m_fadeInMs = 1500;
    int m_fadeOutMs = 2500;
    bool m_autoPlayNext = true;
    bool m_mixing = false;
    int m_lastEndedRow = -1;
    bool m_shuffle = false;
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

    // Fade of the outgoing deck when the next row starts during a segue.
    static constexpr int kEngineFadeOut = -1;
    static constexpr int kLeavePlaying = -2;
    int m_segueFadeOutMs = kEngineFadeOut;

    // A row must sound within a bounded time or it is skipped.
    QTimer* m_startTimer = nullptr;
    bool m_startPending = false;
    int m_startDeck = -1;          // deck the pending row started on
    quint32 m_startGeneration = 0;
    int m_startSegueFadeOutMs = kEngineFadeOut;
    quint32 m_rowStarts = 0;       // counts playRow calls
    int m_failedStarts = 0;        // rows in a row that could not be played
    bool m_skipping = false;
    bool m_skipPending = false;
    // After the on-air playlist changed under a playing track: the row of
    // the new playlist that comes next, -1 for none.
    int m_entryRow = -1;

    // Whether the model's current row named the engine's one before a reset,
    // so that it can be trusted afterwards.
    bool m_rowAgreedBeforeReset = false;
};
