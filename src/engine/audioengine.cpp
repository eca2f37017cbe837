#include "audioengine.h"


#include "engine/audiodevices.h"
#include "engine/audiolevels.h"
#include "engine/holdwatch.h"
#include "engine/playlistmodel.h"
#include "engine/soundserver.h"
#include "engine/voiceovers.h"
#include "library/trackparams.h"
#include "library/appsettings.h"
#include "library/heldreads.h"

#include <QAudioBuffer>
#include <QAudioBufferOutput>
#include <QAudioOutput>
#include <QDate>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMediaDevices>
#include <QMediaMetaData>
#include <QRandomGenerator>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

constexpr int kFadeTickMs = 40;
constexpr qint64 kBatchUs = 75000; // decoded audio handed over at once, at most
constexpr int kAimAtMixMs = 500; // how far ahead a segue is timed to its mix point
// A report this far behind the one before it is a jump (a seek), not jitter.
constexpr qint64 kClockSlackMs = 250;
// Reports this far apart say nothing of each other's lag.
constexpr qint64 kClockGapMs = 1000;
// How far ahead of its mix point the next row is loaded on the idle deck.
constexpr int kPreloadMs = 4000;
constexpr double kSilentGain = 0.0001;
constexpr double kDuckFactor = 0.2;
constexpr int kReconnectMs = 5000;
// How long a row may take to sound before it is given up.
constexpr int kFileStartMs = 6000;
constexpr int kStreamStartMs = 20000;
constexpr int kStartTickMs = 250;

const QString kNoOutput = QStringLiteral("No audio output device available - cannot play");

} // namespace

AudioEngine::AudioEngine(QObject* parent)
    : QObject(parent)
{
    for (int index = 0; index < 2; ++index) {
        QTimer* fade = m_decks[index].fadeTimer = new QTimer(this);
        fade->setInterval(kFadeTickMs);
        connect(fade, &QTimer::timeout, this, [this, index] { fadeTick(index); });
    }
    readSettings();
    m_streamLimitTimer = new QTimer(this);
    m_streamLimitTimer->setSingleShot(true);
    connect(m_streamLimitTimer, &QTimer::timeout, this, &AudioEngine::onStreamLimit);
    m_mixTimer = new QTimer(this);
    m_mixTimer->setSingleShot(true);
    m_mixTimer->setTimerType(Qt::PreciseTimer);
    connect(m_mixTimer, &QTimer::timeout, this, &AudioEngine::onMixTimer);
    m_clock.start();
    m_startTimer = new QTimer(this);
    connect(m_startTimer, &QTimer::timeout, this, &AudioEngine::checkStart);
    m_holdWatch = new HoldWatch(this);
    connect(m_holdWatch, &HoldWatch::logMessage, this, &AudioEngine::logMessage);
    connect(m_holdWatch, &HoldWatch::resumed, this,
            [this](qint64, const QList<QMediaPlayer*>& players) { onHoldResumed(players); });
    connect(m_holdWatch, &HoldWatch::notInStep, this, &AudioEngine::onNotInStep);
}

void AudioEngine::armStartCheck(int limitMs)
{
    m_startLimitMs = limitMs;
    m_startWaitedMs = 0;
    m_startTickAt = m_clock.elapsed();
    m_startTimer->start(kStartTickMs);
}

void AudioEngine::checkStart()
{
    // A tick late by more than its own length found this thread held.
    const qint64 at = m_clock.elapsed();
    m_startWaitedMs += qMin<qint64>(at - std::exchange(m_startTickAt, at), 2 * kStartTickMs);
    if (m_startWaitedMs < m_startLimitMs)
        return;
    m_startTimer->stop();
    if (m_onAir.stage != OnAir::Starting || m_onAir.deck < 0)
        return;
    // A deck whose file has not even opened (a share that hung) fails as
    // any row that does not sound; one the operator paused while it was
    // loading does not.
    const QMediaPlayer* player = deck(m_onAir.deck).player;
    if (player->playbackState() != QMediaPlayer::PlayingState) {
        if (player->mediaStatus() == QMediaPlayer::LoadingMedia && m_hold != Hold::Held)
            startFailed(QStringLiteral("not opened in %1 s").arg(m_startLimitMs / 1000));
        return;
    }
    // Audio the decoder made while this thread was busy has not been taken yet.
    takeDeckBuffers(m_onAir.deck);
    if (m_onAir.stage == OnAir::Starting)
        startFailed(QStringLiteral("no audio after %1 s").arg(m_startLimitMs / 1000));
}

AudioEngine::~AudioEngine()
{
    // The decoders call in from their own threads: they stop before the
    // batches they fill go.
    for (Deck& d : m_decks) {
        if (!d.player)
            continue;
        d.player->disconnect(this);
        d.bufferOut->disconnect(this);
        // One still opening its file is let go, not waited for: the open
        // may never return.
        if (HeldReads::letGoOpening(d.player, false, {d.out, d.bufferOut}))
            d.player = nullptr;
        else
            delete std::exchange(d.player, nullptr);
    }
}

void AudioEngine::replaceIfOpening(int index, bool hung)
{
    Deck& d = m_decks[index];
    if (!d.player || d.player->mediaStatus() != QMediaPlayer::LoadingMedia)
        return;
    // Its next source would wait on this thread for an open that may never
    // return (a share that hung): a new player takes the deck.
    d.player->disconnect(this);
    d.bufferOut->disconnect(this);
    HeldReads::letGoOpening(d.player, hung, {d.out, d.bufferOut});
    setUpDeck(index);
    if (m_hasOutput)
        d.out->setDevice(chosenOutputDevice());
    applyDeckVolume(d);
}

void AudioEngine::setUpDeck(int index)
{
    Deck& d = m_decks[index];
    d.player = new QMediaPlayer(this);
    d.out = new QAudioOutput(this);
    // Named for whoever looks for them: a deck may get a new player.
    d.player->setObjectName(QStringLiteral("deck%1").arg(index));
    d.out->setObjectName(d.player->objectName());
    d.player->setAudioOutput(d.out);
    d.bufferOut = new QAudioBufferOutput(this);
    d.player->setAudioBufferOutput(d.bufferOut);
    m_holdWatch->watch(d.player);

    connect(d.player, &QMediaPlayer::metaDataChanged, this, [this, index] { onDeckMetaData(index); });
    // Called on the decoder's thread.
    connect(d.bufferOut, &QAudioBufferOutput::audioBufferReceived, this,
            [this, index](const QAudioBuffer& b) { gatherDeckBuffer(index, b); }, Qt::DirectConnection);
    connect(d.player, &QMediaPlayer::positionChanged, this,
            [this, index](qint64 pos) { onDeckPosition(index, pos); });
    connect(d.player, &QMediaPlayer::durationChanged, this, [this, index](qint64 ms) {
        if (index == m_active)
            emit durationChanged(ms);
    });
    connect(d.player, &QMediaPlayer::mediaStatusChanged, this, [this, index](QMediaPlayer::MediaStatus s) {
        if (s == QMediaPlayer::EndOfMedia) {
            takeDeckBuffers(index);
            onEndOfTrack(index);
        }
        else if (s == QMediaPlayer::InvalidMedia && m_onAir.stage == OnAir::Starting && index == m_onAir.deck)
            startFailed(QStringLiteral("cannot be decoded"));
    });
    connect(d.player, &QMediaPlayer::playbackStateChanged, this, [this, index](QMediaPlayer::PlaybackState state) {
        // A deck waiting for its segue changes nothing on air.
        if (state == QMediaPlayer::PausedState && !deck(index).preloaded.isEmpty())
            return;
        if (state != QMediaPlayer::PlayingState)
            takeDeckBuffers(index);
        // A paused or stopped deck sends no more buffers: its last level
        // must not stay on the meter, nor count as sound on air.
        if (state != QMediaPlayer::PlayingState)
            m_trackLevels[index] = LevelPeaks();
        if (state != QMediaPlayer::PlayingState && m_deckLevels[index].valid) {
            m_deckLevels[index] = LevelPeaks();
            emit levels(qMax(m_deckLevels[0].left, m_deckLevels[1].left),
                        qMax(m_deckLevels[0].right, m_deckLevels[1].right));
        }
        emit playingChanged(isPlaying());
    });
    connect(d.player, &QMediaPlayer::errorOccurred, this, [this, index](QMediaPlayer::Error, const QString& text) {
        if (!text.isEmpty())
            emit logMessage(QStringLiteral("Playback error: ") + text);
        if (m_onAir.stage == OnAir::Starting && index == m_onAir.deck)
            startFailed(text.isEmpty() ? QStringLiteral("playback error") : text);
    });
}

// ---------------------------------------------------------------------------
// Settings, volume and fades

QAudioDevice AudioEngine::chosenOutputDevice() const
{
    return AudioDevices::output(Setting::OutputDevice.read());
}

AudioEngine::Deck (&AudioEngine::decks() const)[2]
{
    if (!m_decks[0].player) {
        SoundServer::holdQtAudioHere();
        auto* self = const_cast<AudioEngine*>(this);
        self->setUpDeck(0);
        self->setUpDeck(1);
        self->applyOutputDevice();
    }
    return m_decks;
}

void AudioEngine::prepareDecks()
{
    decks();
}

AudioEngine::Deck& AudioEngine::deck(int index) const
{
    return decks()[index];
}

bool AudioEngine::hasOutput() const
{
    decks();
    return m_hasOutput;
}

void AudioEngine::applySettings()
{
    readSettings();
    applyOutputDevice();
}

void AudioEngine::applyOutputDevice()
{
    m_hasOutput = !QMediaDevices::audioOutputs().isEmpty();
    if (m_hasOutput) {
        const QAudioDevice dev = chosenOutputDevice();
        for (Deck& d : decks())
            d.out->setDevice(dev);
    }
    applyVolumes();
}

void AudioEngine::readSettings()
{
    QSettings s;
    m_masterVolume = AppSettings::defaultVolume() / 100.0;
    m_crossfadeEnabled = Setting::CrossfadeEnabled.read(s);
    m_fadeInMs = Setting::FadeInMs.readInt();
    m_fadeOutMs = Setting::FadeOutMs.readInt();
    m_autoPlayNext = Setting::AutoPlayNext.read(s);
    m_mix = mixConfigFromSettings();
    applyVolumes();
}

void AudioEngine::applyVolumes()
{
    // Decks not made yet take the volume when they are.
    for (Deck& d : m_decks) {
        if (d.out)
            applyDeckVolume(d);
    }
}

void AudioEngine::applyDeckVolume(Deck& deck)
{
    const double v = deck.gain * deck.level * m_masterVolume * (m_ducked ? kDuckFactor : 1.0);
    deck.out->setVolume(float(qBound(0.0, v, 1.0)));
}

void AudioEngine::beginFade(Deck& deck, double target, int ms, bool stopWhenFaded)
{
    deck.target = qBound(0.0, target, 1.0);
    deck.stopWhenFaded = stopWhenFaded;
    if (ms < 1) {
        deck.fadeTimer->stop();
        deck.gain = deck.target;
        applyDeckVolume(deck);
        if (stopWhenFaded && deck.gain <= kSilentGain) {
            deck.stopWhenFaded = false;
            stopDeck(deck);
        }
        return;
    }
    const int ticks = ms < 2 * kFadeTickMs ? 1 : ms / kFadeTickMs;
    deck.step = (deck.target - deck.gain) / ticks;
    if (qAbs(deck.step) <= 1e-12) {
        deck.fadeTimer->stop();
        deck.gain = deck.target;
        applyDeckVolume(deck);
        return;
    }
    deck.fadeTimer->start(kFadeTickMs);
}

void AudioEngine::fadeTick(int index)
{
    Deck& d = m_decks[index];
    d.gain += d.step;
    if ((d.step > 0 && d.gain >= d.target) || (d.step <= 0 && d.gain <= d.target)) {
        d.gain = d.target;
        d.fadeTimer->stop();
        // The level measured during a fade-in is not the track's own; wait
        // for a buffer at full gain before the level trigger may use it.
        if (d.step > 0)
            m_trackLevels[index].valid = false;
        if (d.stopWhenFaded && d.gain <= kSilentGain) {
            d.stopWhenFaded = false;
            d.player->stop();
        }
    }
    applyDeckVolume(d);
}

void AudioEngine::stopDeck(Deck& deck)
{
    deck.preloaded.clear();
    deck.fadeTimer->stop();
    deck.player->stop();
}

void AudioEngine::setVolume(int percent)
{
    m_masterVolume = qBound(0, percent, 100) / 100.0;
    applyVolumes();
}

void AudioEngine::setDucked(bool ducked)
{
    if (ducked == m_ducked)
        return;
    m_ducked = ducked;
    applyVolumes();
}

void AudioEngine::setFadeOutMs(int ms)
{
    m_fadeOutMs = qMax(0, ms);
    m_mix.fadeOutMs = m_fadeOutMs;
}

void AudioEngine::setShuffle(bool on)
{
    if (on == m_shuffle)
        return;
    m_shuffle = on;
    // Switched on again, it draws afresh.
    m_onAir.drawn = -1;
    emit shuffleChanged(on);
}

void AudioEngine::setVoiceoverEnabled(bool on)
{
    m_voEnabled = on;
}

// ---------------------------------------------------------------------------
// Transport

bool AudioEngine::isPlaying() const
{
    // Nothing has played before the decks are made.
    const QMediaPlayer* p = m_decks[m_active].player;
    return p && p->playbackState() == QMediaPlayer::PlayingState;
}

qint64 AudioEngine::position() const
{
    const QMediaPlayer* p = m_decks[m_active].player;
    return p ? p->position() : 0;
}

qint64 AudioEngine::duration() const
{
    const QMediaPlayer* p = m_decks[m_active].player;
    return p ? p->duration() : 0;
}

void AudioEngine::pause()
{
    m_hold = Hold::Held;
    deck(m_active).player->pause();
}

void AudioEngine::togglePause()
{
    QMediaPlayer* p = deck(m_active).player;
    if (p->playbackState() == QMediaPlayer::PlayingState) {
        pause();
        return;
    }
    resume(*p);
}

void AudioEngine::resume(QMediaPlayer& player)
{
    m_hold = Hold::None;
    // Played again from its start, the track is followed again at its end.
    if (player.playbackState() == QMediaPlayer::StoppedState && m_onAir.stage == OnAir::Ended)
        m_onAir.stage = OnAir::Sounding;
    player.play();
}

void AudioEngine::setPosition(qint64 ms)
{
    deck(m_active).player->setPosition(ms);
}

void AudioEngine::stop()
{
    stopAll(false);
}

void AudioEngine::stopAll(bool ranOut)
{
    if (m_voPlayer)
        m_voPlayer->stop();
    m_voArmed = false;
    m_voFile.clear();
    haltDecks();
    m_hold = ranOut ? Hold::RunOut : Hold::Held;
    emit logMessage(QStringLiteral("Stop"));
    // The decks may have stopped already (a row that could not play).
    if (ranOut)
        emit playingChanged(false);
}

void AudioEngine::haltDecks()
{
    m_streamLimitTimer->stop();
    m_startTimer->stop();
    m_mixTimer->stop();
    // A start is no longer checked, and a skip past a failed row is off.
    if (m_onAir.stage == OnAir::Starting)
        m_onAir.stage = OnAir::Sounding;
    else if (m_onAir.stage == OnAir::Failed)
        m_onAir.stage = OnAir::Ended;
    // Decks not made yet have nothing to stop.
    if (!m_decks[0].player)
        return;
    stopDeck(m_decks[0]);
    stopDeck(m_decks[1]);
}

QUrl AudioEngine::sourceFor(const Track& t)
{
    if (t.isStream && !t.filePath.isEmpty())
        return QUrl::fromUserInput(t.filePath);
    if (!t.isStream && !t.filePath.isEmpty() && QFileInfo(t.filePath).isFile())
        return QUrl::fromLocalFile(t.filePath);
    return {};
}

void AudioEngine::loadDeck(Deck& deck, const Track& t, const QUrl& source)
{
    // A stale level from the previous row on this deck must not decide the
    // new row's level-triggered segue.
    m_deckLevels[int(&deck - m_decks)] = LevelPeaks();
    m_trackLevels[int(&deck - m_decks)] = LevelPeaks();
    deck.level = storedLevel(t, source);
    replaceIfOpening(int(&deck - m_decks), false);
    deck.player->setSource(source);
}

double AudioEngine::storedLevel(const Track& t, const QUrl& source)
{
    const double level = (!t.isStream && !source.isEmpty()) ? TrackParams::load(t.filePath).level : 1.0;
    return level >= 0.0 ? level : 1.0;
}

void AudioEngine::dropQueuedBuffers(int index)
{
    // Buffers of the deck's previous source may still wait in the event
    // queue; they are dropped until everything posted before now is through.
    const quint32 generation = ++m_deckGeneration[index];
    m_deckOpen[index] = false;
    {
        BufferBatch& batch = m_batches[index];
        const QMutexLocker lock(&batch.mutex);
        batch.buffers.clear();
        batch.us = 0;
        batch.prompt = true;
    }
    QMetaObject::invokeMethod(
        this,
        [this, index, generation] {
            if (m_deckGeneration[index] == generation)
                m_deckOpen[index] = true;
        },
        Qt::QueuedConnection);
}

void AudioEngine::startOnDeck(Deck& deck, const Track& t, bool fadeIn)
{
    deck.fadeTimer->stop();
    deck.stopWhenFaded = false;

    const QUrl source = sourceFor(t);
    // Loaded and paused ahead of its mix point: it only has to play. Any
    // other row than the one loaded is loaded afresh.
    const bool ready = !source.isEmpty() && deck.preloaded == source && deck.player->source() == source
                       && deck.player->playbackState() == QMediaPlayer::PausedState;
    deck.preloaded.clear();
    if (ready) {
        deck.level = storedLevel(t, source);
        // While paused the deck may have played its first frames, unheard:
        // the track starts from its very beginning.
        deck.player->setPosition(0);
    } else {
        loadDeck(deck, t, source);
    }
    dropQueuedBuffers(int(&deck - m_decks));

    if (fadeIn) {
        deck.gain = 0.0;
        deck.out->setVolume(0.0f);
    }
    // The player's own thread takes the volume up when it starts: a fade of
    // no length is at full volume before, or the first frames go out silent.
    if (!fadeIn || m_fadeInMs < 1) {
        deck.gain = 1.0;
        applyDeckVolume(deck);
        deck.player->play();
        return;
    }
    deck.player->play();
    beginFade(deck, 1.0, m_fadeInMs, false);
}

// ---------------------------------------------------------------------------
// Advancing through the playlist

void AudioEngine::setPlaylist(PlaylistModel* model)
{
    if (model == m_playlist)
        return;
    if (m_playlist)
        disconnect(m_playlist, nullptr, this, nullptr);
    m_playlist = model;
    m_onAir.row = -1;
    m_onAir.following = 0;
    m_onAir.drawn = -1;
    if (!model)
        return;
    // The row number belongs to the old list. The track on air plays on;
    // once something has played, the new list follows it at its own current
    // row, or takes it as its own when that row holds the very track.
    const int own = model->currentRow();
    if (m_onAir.start > 0 && own >= 0 && own < model->rowCount() && sameRow(model->tracks().at(own), m_onAir.track))
        m_onAir.row = own;
    else if (m_onAir.start > 0)
        m_onAir.following = qMax(own, 0);
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { onRowsInserted(first, last); });
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) { onRowsAboutToBeRemoved(first, last); });
    connect(model, &PlaylistModel::rowsReordered, this, &AudioEngine::onRowsReordered);
    connect(model, &QAbstractItemModel::modelReset, this, &AudioEngine::onModelReset);
}

bool AudioEngine::sameRow(const Track& a, const Track& b)
{
    return a.filePath == b.filePath && a.marker == b.marker && a.label == b.label && a.title == b.title;
}

QString AudioEngine::cannotPlayReason(const Track& t)
{
    if (t.isStream)
        return t.filePath.trimmed().isEmpty() ? QStringLiteral("no stream address") : QString();
    if (t.filePath.isEmpty())
        return QStringLiteral("no file");
    // Not even looked at: the look could wait as long as the read.
    if (!HeldReads::hangingFolder(t.filePath).isEmpty())
        return QStringLiteral("its folder does not answer");
    const QFileInfo info(t.filePath);
    if (!info.exists())
        return QStringLiteral("file not found");
    // A FIFO or device could block the decoder's open for good.
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    if (!info.isReadable())
        return QStringLiteral("file cannot be read");
    return QString();
}

bool AudioEngine::isCommandRow(int row) const
{
    return m_playlist && row >= 0 && row < m_playlist->rowCount() && m_playlist->tracks().at(row).marker;
}

QString AudioEngine::rowLabel(const Track& t) const
{
    if (!t.artist.isEmpty() && !t.title.isEmpty())
        return t.artist + QStringLiteral(" - ") + t.title;
    if (!t.title.isEmpty())
        return t.title;
    return t.filePath;
}

void AudioEngine::playRow(int row)
{
    startRow(row, kEngineFadeOut, 0);
}

void AudioEngine::startRow(int row, int outgoingFadeMs, int failedBefore)
{
    if (!m_playlist || row < 0 || row >= m_playlist->rowCount())
        return;

    m_startTimer->stop();
    m_streamLimitTimer->stop();
    m_mixTimer->stop();
    const quint32 start = m_onAir.start + 1;
    m_onAir = OnAir{};
    m_onAir.start = start;
    m_onAir.track = m_playlist->tracks().at(row);
    m_onAir.row = row;
    m_onAir.stage = OnAir::Starting;
    m_onAir.failedBefore = failedBefore;
    m_onAir.outgoingFadeMs = outgoingFadeMs;
    m_hold = Hold::None;
    // Receivers of the signals below may insert or remove rows, so the
    // row number is not looked at again: this is the track that starts.
    const Track track = m_onAir.track;
    // However it was started, a queued row has had its turn.
    m_playlist->removeFromQueue(row);
    m_playlist->setCurrentRow(row);
    emit currentRowChanged(row);
    m_lastStreamTitle.clear();
    armVoiceover();

    if (track.marker) {
        // What was playing before plays on, unless the row halts it; its
        // end is followed by the row after this one.
        m_onAir.stage = OnAir::Sounding;
        m_onAir.deck = m_active;
        emit nowPlaying(track);
        const QString label = track.label.toLower();
        if (label == QLatin1String("stop")) {
            m_hold = Hold::Held;
            stopDeck(deck(0));
            stopDeck(deck(1));
            emit playingChanged(false);
            emit logMessage(QStringLiteral("STOP command - playback halted (press Play or Next to continue)"));
        } else if (label == QLatin1String("pause")) {
            m_hold = Hold::Held;
            deck(m_active).player->pause();
            emit logMessage(QStringLiteral("PAUSE command"));
        } else {
            emit logMessage(QStringLiteral("Command: ") + label);
        }
        return;
    }

    emit logMessage(rowLabel(track));

    if (!hasOutput()) {
        m_onAir.stage = OnAir::Sounding;
        emit nowPlaying(track);
        emit logMessage(kNoOutput);
        return;
    }

    const bool crossfade = m_crossfadeEnabled && isPlaying();
    const QString reason = cannotPlayReason(track);
    if (!reason.isEmpty()) {
        // The outgoing track plays on for the row that takes over from
        // this one; without a crossfade it would have stopped here.
        if (!crossfade) {
            stopDeck(deck(0));
            stopDeck(deck(1));
        }
        startFailed(reason);
        return;
    }

    if (crossfade) {
        if (outgoingFadeMs != kLeavePlaying)
            beginFade(deck(m_active), 0.0, outgoingFadeMs == kEngineFadeOut ? m_fadeOutMs : outgoingFadeMs, true);
        // What the outgoing deck played up to now still goes on air.
        takeDeckBuffers(m_active);
        m_active = 1 - m_active;
    } else {
        stopDeck(deck(0));
        stopDeck(deck(1));
    }
    // Set before the start: the player may report a failure at once.
    m_onAir.deck = m_active;
    startOnDeck(deck(m_active), track, m_crossfadeEnabled);
    if (m_onAir.start != start || m_onAir.stage != OnAir::Starting)
        return;
    armStartCheck(track.isStream ? kStreamStartMs : kFileStartMs);
    emit nowPlaying(track);

    if (m_onAir.start == start && track.isStream && track.streamLimitMs > 0)
        m_streamLimitTimer->start(int(qMin<qint64>(track.streamLimitMs, std::numeric_limits<int>::max())));
}

void AudioEngine::next()
{
    advance(kEngineFadeOut, 0);
}

void AudioEngine::advance(int outgoingFadeMs, int failedBefore)
{
    if (!m_playlist)
        return;
    const Upcoming next = upcoming();
    if (next.row < 0) {
        stopAll(true);
        return;
    }
    startUpcoming(next, outgoingFadeMs, failedBefore);
}

AudioEngine::Upcoming AudioEngine::upcoming()
{
    if (!m_playlist)
        return {};
    const int count = m_playlist->rowCount();
    for (const int queued : m_playlist->queue()) {
        if (queued >= 0 && queued < count)
            return {queued, true};
    }
    if (m_shuffle) {
        if (m_onAir.drawn < 0)
            m_onAir.drawn = drawRow();
        if (m_onAir.drawn >= 0)
            return {m_onAir.drawn, false};
    }
    const int row = m_onAir.nextRow();
    return {row < count ? row : -1, false};
}

int AudioEngine::drawRow() const
{
    // A shuffled show must not halt at a command row, replay the track on
    // air or wait on a row that could not be played; with nothing else to
    // draw it goes on in order.
    QList<int> rows;
    const QList<Track>& tracks = m_playlist->tracks();
    for (int r = 0; r < tracks.size(); ++r) {
        if (r != m_onAir.row && !tracks.at(r).marker && m_playlist->unplayableReason(r).isEmpty())
            rows << r;
    }
    if (rows.isEmpty())
        return -1;
    return rows.at(int(QRandomGenerator::global()->bounded(int(rows.size()))));
}

void AudioEngine::startUpcoming(const Upcoming& next, int outgoingFadeMs, int failedBefore)
{
    if (next.fromQueue) {
        const Track& t = m_playlist->tracks().at(next.row);
        const QString label = t.marker ? QStringLiteral(">> ") + t.label.toUpper() + QStringLiteral(" <<")
                                       : rowLabel(t);
        emit logMessage(QStringLiteral("Playback queue: playing ") + label);
    }
    startRow(next.row, outgoingFadeMs, failedBefore);
}

void AudioEngine::previous()
{
    if (m_playlist && m_onAir.row - 1 >= 0)
        playRow(m_onAir.row - 1);
}

void AudioEngine::play()
{
    if (m_onAir.row >= 0 && m_onAir.track.marker) {
        next();
        return;
    }
    if (!hasOutput()) {
        emit logMessage(kNoOutput);
        return;
    }
    Deck& d = deck(m_active);
    const bool stopped = d.player->playbackState() == QMediaPlayer::StoppedState;
    // After the list ran out, the rows put in since come, not the last
    // track again.
    if (stopped && hasRunOut() && m_playlist) {
        if (const Upcoming next = upcoming(); next.row >= 0) {
            startUpcoming(next, kEngineFadeOut, 0);
            return;
        }
    }
    // The track on air is no row of the list now: what follows it comes.
    const bool elsewhere = m_onAir.row < 0 && stopped;
    if ((elsewhere || d.player->source().isEmpty()) && m_playlist && m_playlist->rowCount() > 0) {
        playRow(elsewhere ? qMin(m_onAir.following, m_playlist->rowCount() - 1) : qMax(m_onAir.row, 0));
        return;
    }
    resume(*d.player);
}

void AudioEngine::onEndOfTrack(int index)
{
    if (index != m_active) {
        stopDeck(deck(index));
        return;
    }
    // Once per start: a failed row is skipped from elsewhere.
    if (m_onAir.stage != OnAir::Starting && m_onAir.stage != OnAir::Sounding)
        return;
    m_onAir.stage = OnAir::Ended;
    // After a command row, the track that played on under it has ended.
    if (!m_onAir.track.marker)
        emit logMessage(QStringLiteral("End of track: ") + rowLabel(m_onAir.track));
    if (m_autoPlayNext)
        next();
    else
        stop();
}

void AudioEngine::confirmStart()
{
    m_onAir.stage = OnAir::Sounding;
    m_startTimer->stop();
    if (m_playlist && m_onAir.row >= 0 && m_onAir.row < m_playlist->rowCount())
        m_playlist->setUnplayable(m_onAir.row, QString());
    emit playStarted(m_onAir.track);
}

void AudioEngine::startFailed(const QString& reason)
{
    if (m_onAir.stage != OnAir::Starting)
        return;
    m_onAir.stage = OnAir::Failed;
    m_startTimer->stop();
    m_streamLimitTimer->stop();
    emit logMessage(rowLabel(m_onAir.track) + QStringLiteral(": cannot be played (") + reason + QLatin1Char(')'));
    if (m_playlist && m_onAir.row >= 0 && m_onAir.row < m_playlist->rowCount())
        m_playlist->setUnplayable(m_onAir.row, reason);
    // The player may be in the middle of reporting; move on from the event loop.
    const quint32 start = m_onAir.start;
    QMetaObject::invokeMethod(this, [this, start] { skipUnplayable(start); }, Qt::QueuedConnection);
}

void AudioEngine::skipUnplayable(quint32 start)
{
    if (start != m_onAir.start || m_onAir.stage != OnAir::Failed)
        return;
    m_onAir.stage = OnAir::Ended;
    if (m_onAir.deck >= 0) {
        const int failed = m_onAir.deck;
        stopDeck(deck(failed));
        // Still opening, its row was failed for that.
        replaceIfOpening(failed, true);
        deck(failed).player->setSource(QUrl());
        // Back to the deck still fading out, so that the next row takes
        // over from it as this one would have.
        if (deck(1 - failed).player->playbackState() == QMediaPlayer::PlayingState)
            m_active = 1 - failed;
        m_onAir.deck = -1;
    }
    if (!m_playlist)
        return;
    const int failures = m_onAir.failedBefore + 1;
    bool anyLeft = false;
    for (int r = 0; r < m_playlist->rowCount() && !anyLeft; ++r)
        anyLeft = !m_playlist->tracks().at(r).marker && m_playlist->unplayableReason(r).isEmpty();
    if (!anyLeft || failures > 2 * m_playlist->rowCount()) {
        haltDecks();
        m_hold = Hold::RunOut;
        emit logMessage(QStringLiteral("No row of the playlist can be played - playback stopped"));
        emit playingChanged(false);
        return;
    }
    advance(m_onAir.outgoingFadeMs, failures);
}

void AudioEngine::onStreamLimit()
{
    emit logMessage(QStringLiteral("Stream time limit reached"));
    next();
}

void AudioEngine::onRowsInserted(int first, int last)
{
    const int count = last - first + 1;
    if (m_onAir.row >= first)
        m_onAir.row += count;
    // Rows put where the list goes on come next.
    else if (m_onAir.row < 0 && m_onAir.following > first)
        m_onAir.following += count;
    if (m_onAir.drawn >= first)
        m_onAir.drawn += count;
}

void AudioEngine::onRowsAboutToBeRemoved(int first, int last)
{
    const int count = last - first + 1;
    if (m_onAir.row > last) {
        m_onAir.row -= count;
    } else if (m_onAir.row >= first) {
        // The track plays on without its row; the row that stood after the
        // rows removed comes next.
        m_onAir.row = -1;
        m_onAir.following = first;
    } else if (m_onAir.row < 0) {
        if (m_onAir.following > last)
            m_onAir.following -= count;
        else if (m_onAir.following > first)
            m_onAir.following = first;
    }
    // A draw removed is drawn again when asked.
    if (m_onAir.drawn > last)
        m_onAir.drawn -= count;
    else if (m_onAir.drawn >= first)
        m_onAir.drawn = -1;
}

void AudioEngine::onRowsReordered(const QList<int>& newRowOf)
{
    // Each row that counts keeps its track; the end of the list stays the end.
    const auto moved = [&newRowOf](int row) {
        return row >= 0 && row < newRowOf.size() ? newRowOf.at(row) : row;
    };
    m_onAir.row = moved(m_onAir.row);
    if (m_onAir.row < 0)
        m_onAir.following = moved(m_onAir.following);
    m_onAir.drawn = moved(m_onAir.drawn);
    m_reordered = true;
}

void AudioEngine::onModelReset()
{
    // A reorder has been followed already; any other reset replaced the
    // rows, and the new ones go on at the first.
    if (std::exchange(m_reordered, false))
        return;
    m_onAir.row = -1;
    m_onAir.following = 0;
    m_onAir.drawn = -1;
}

// ---------------------------------------------------------------------------
// Segues

void AudioEngine::onDeckPosition(int index, qint64 position)
{
    if (index != m_active)
        return;
    noteReport(index, position);
    emit positionChanged(position);
    checkVoiceover(position);
    considerSegue(index, position);
}

void AudioEngine::noteReport(int index, qint64 position)
{
    DeckClock& c = m_deckClock;
    const qint64 at = m_clock.elapsed();
    // A new start, another deck, a jump back (a seek) or reports that
    // stopped for a while (the program was held) begin afresh.
    if (c.start != m_onAir.start || c.deck != index || position < c.lastPosition - kClockSlackMs
        || at - c.lastAt > kClockGapMs) {
        c = DeckClock{};
        c.start = m_onAir.start;
        c.deck = index;
    }
    c.lastPosition = position;
    c.lastAt = at;
    c.lags[c.next] = at - position;
    c.next = (c.next + 1) % kClockReports;
    c.count = qMin(c.count + 1, kClockReports);
}

qint64 AudioEngine::clockPosition() const
{
    // Positions lag the clock in a sawtooth, and now and then one jumps
    // ahead of what is heard for a few reports: the heard track keeps to
    // the least lag that several of the recent reports share.
    const DeckClock& c = m_deckClock;
    if (c.count == 0)
        return 0;
    qint64 lags[kClockReports];
    std::copy(c.lags, c.lags + c.count, lags);
    qint64* rank = lags + c.count / 6;
    std::nth_element(lags, rank, lags + c.count);
    return qMax(c.lastPosition, m_clock.elapsed() - *rank);
}

void AudioEngine::onMixTimer()
{
    const Deck& d = deck(m_active);
    if (m_deckClock.start != m_onAir.start || m_deckClock.deck != m_active
        || d.player->playbackState() != QMediaPlayer::PlayingState)
        return;
    considerSegue(m_active, m_deckClock.lastPosition);
}

void AudioEngine::considerSegue(int index, qint64 reported)
{
    // Without crossfading no segue can start, whatever a file overrides.
    if (!m_autoPlayNext || !m_mix.crossfadeEnabled
        || (m_onAir.stage != OnAir::Starting && m_onAir.stage != OnAir::Sounding))
        return;

    Deck& d = deck(index);
    const qint64 dur = d.player->duration();
    const qint64 position = clockPosition();
    const int row = m_onAir.row;
    const MixConfig mix = TrackParams::resolveMix(
        m_mix, m_mix, false, currentParams(),
        m_playlist && row >= 0 && row < m_playlist->rowCount() ? m_playlist->segueAt(row) : TrackParams::SegueOverride{},
        false, 0);

    // A presenter's ducking or a low master volume must not pass for the
    // track's own ending.
    const LevelPeaks& lv = m_trackLevels[index];
    // A deck still fading in reports a level far below the track's own.
    const bool fadingIn = d.fadeTimer->isActive() && d.step > 0;
    const bool levelValid = lv.valid && !fadingIn;
    const double levelDb = levelValid ? AudioLevels::toDbfs(qMax(lv.left, lv.right)) : 0.0;
    if (!shouldStartMix(mix, dur, dur - position, levelDb, levelValid)) {
        // Reports come tens of milliseconds apart and late by as much: a
        // timer aimed at the mix point by the clock starts the segue on
        // time, not at the next report.
        const qint64 untilMix = dur - position - mix.mixPointMs;
        const bool playing = d.player->playbackState() == QMediaPlayer::PlayingState;
        if (untilMix > 0 && untilMix <= kPreloadMs && playing && dur >= mix.minCrossfadeMs)
            preloadNext(index);
        if (untilMix > 0 && untilMix <= kAimAtMixMs && playing
            && shouldStartMix(mix, dur, mix.mixPointMs, levelDb, levelValid))
            m_mixTimer->start(int(untilMix));
        return;
    }

    if (!m_playlist)
        return;
    const Upcoming next = upcoming();
    if (next.row < 0 || isCommandRow(next.row))
        return;

    // Where the outgoing deck is when the next row starts.
    if (position != reported)
        emit positionChanged(position);
    // The transition's own fade-out governs the outgoing deck; without fade
    // on mix the outgoing track plays out under the new one.
    startUpcoming(next, mix.fadeOutOnMix ? qMax(0, mix.fadeOutMs) : kLeavePlaying, 0);
}

const TrackParams& AudioEngine::currentParams()
{
    // Read again only when the stored parameters may have changed: position
    // reports come many times a second.
    const quint64 stamp = TrackParams::changeStamp();
    if (m_params.path != m_onAir.track.filePath || m_params.stamp != stamp) {
        m_params.path = m_onAir.track.filePath;
        m_params.stamp = stamp;
        m_params.params = TrackParams::load(m_onAir.track.filePath);
    }
    return m_params.params;
}

// Loads the row that the segue will start on the idle deck, paused and
// silent, and loads again whenever that row changes before the mix point.
void AudioEngine::preloadNext(int activeIndex)
{
    Deck& d = deck(1 - activeIndex);
    // Still fading out the row before: it is not idle yet.
    if (!m_playlist || d.player->playbackState() == QMediaPlayer::PlayingState)
        return;
    const int row = upcoming().row;
    if (row < 0)
        return;
    const Track& t = m_playlist->tracks().at(row);
    if (t.marker || t.isStream)
        return;
    // Asked at every position report near the end: the file is looked at
    // only when the deck does not hold it already.
    const QUrl held = QUrl::fromLocalFile(t.filePath);
    if (t.filePath.isEmpty() || (d.preloaded == held && d.player->source() == held))
        return;
    const QUrl source = sourceFor(t);
    if (source.isEmpty() || !cannotPlayReason(t).isEmpty())
        return;
    d.fadeTimer->stop();
    d.stopWhenFaded = false;
    d.gain = 0.0;
    d.out->setVolume(0.0f);
    d.preloaded = source;
    loadDeck(d, t, source);
    dropQueuedBuffers(1 - activeIndex);
    d.player->pause();
}

AudioEngine::MixConfig AudioEngine::mixConfigFromSettings()
{
    QSettings s;
    MixConfig m;
    m.crossfadeEnabled = Setting::CrossfadeEnabled.read(s);
    m.mixPointMs = Setting::MixPointMs.readInt();
    m.fadeOutMs = Setting::FadeOutMs.readInt();
    m.triggerMixEnabled = Setting::TriggerMixEnabled.read(s);
    m.triggerMixDb = Setting::TriggerMixDb.read();
    m.fadeOutOnMix = Setting::FadeOutOnMix.read(s);
    m.minCrossfadeMs = Setting::MinCrossfadeMs.readInt();
    return m;
}

bool AudioEngine::shouldStartMix(const MixConfig& mix, qint64 durationMs, qint64 remainingMs, double levelDb,
                                 bool levelValid)
{
    if (!mix.crossfadeEnabled || durationMs < 1)
        return false;
    if (durationMs < mix.minCrossfadeMs)
        return false;
    if (remainingMs < 0)
        return false;
    return remainingMs <= mix.mixPointMs || (mix.triggerMixEnabled && levelValid && levelDb <= mix.triggerMixDb);
}

// ---------------------------------------------------------------------------
// Levels and the on-air tap

void AudioEngine::gatherDeckBuffer(int index, const QAudioBuffer& buffer)
{
    BufferBatch& batch = m_batches[index];
    {
        const QMutexLocker lock(&batch.mutex);
        batch.buffers.append(buffer);
        batch.us += buffer.duration();
        if (batch.posted || (batch.us < kBatchUs && !batch.prompt && buffer.isValid()))
            return;
        batch.posted = true;
        batch.prompt = false;
    }
    QMetaObject::invokeMethod(this, [this, index] { takeDeckBuffers(index); }, Qt::QueuedConnection);
}

void AudioEngine::takeDeckBuffers(int index)
{
    QList<QAudioBuffer> buffers;
    {
        BufferBatch& batch = m_batches[index];
        const QMutexLocker lock(&batch.mutex);
        batch.posted = false;
        // A closed deck's batch waits: what it holds already is the new source's.
        if (!m_deckOpen[index])
            return;
        buffers.swap(batch.buffers);
        batch.us = 0;
    }
    // Runs of one format go on as one buffer.
    for (qsizetype i = 0; i < buffers.size();) {
        qsizetype end = i + 1;
        const QAudioFormat format = buffers[i].format();
        if (buffers[i].isValid()) {
            while (end < buffers.size() && buffers[end].isValid() && buffers[end].format() == format)
                ++end;
        }
        if (end - i == 1) {
            onDeckBuffer(index, buffers[i]);
        } else {
            QByteArray bytes;
            qsizetype size = 0;
            for (qsizetype k = i; k < end; ++k)
                size += buffers[k].byteCount();
            bytes.reserve(size);
            for (qsizetype k = i; k < end; ++k)
                bytes.append(buffers[k].constData<char>(), buffers[k].byteCount());
            onDeckBuffer(index, QAudioBuffer(bytes, format, buffers[i].startTime()));
        }
        i = end;
    }
}

void AudioEngine::onDeckBuffer(int index, const QAudioBuffer& buffer)
{
    if (!m_deckOpen[index])
        return;
    if (m_onAir.stage == OnAir::Starting && index == m_onAir.deck)
        confirmStart();
    const LevelPeaks peaks = AudioLevels::peakLevels(buffer);
    if (!peaks.valid)
        return;
    const Deck& d = deck(index);
    const double own = d.gain * d.level;
    m_trackLevels[index] = LevelPeaks{own * peaks.left, own * peaks.right, true};
    const double f = own * m_masterVolume * (m_ducked ? kDuckFactor : 1.0);
    LevelPeaks& rec = m_deckLevels[index];
    rec.valid = true;
    rec.left = f * peaks.left;
    rec.right = f * peaks.right;
    emit levels(qMax(m_deckLevels[0].left, m_deckLevels[1].left), qMax(m_deckLevels[0].right, m_deckLevels[1].right));
    // While a relay is live only its own buffers are on air.
    if (index == m_active && !m_relayLive)
        emit audioBufferReady(buffer);
}

double AudioEngine::airLevel() const
{
    if (m_relayLive)
        return m_relayLevel;
    double level = 0.0;
    for (const LevelPeaks& deckLevel : m_trackLevels) {
        if (deckLevel.valid)
            level = qMax(level, qMax(deckLevel.left, deckLevel.right));
    }
    return level;
}

void AudioEngine::onDeckMetaData(int index)
{
    if (!m_onAir.track.isStream || index != m_active)
        return;
    const QMediaMetaData md = deck(index).player->metaData();
    const QString title = md.value(QMediaMetaData::Title).toString().trimmed();
    const QString artist = md.value(QMediaMetaData::ContributingArtist).toString().trimmed();
    if (title.isEmpty())
        return;
    const QString text = (!artist.isEmpty() && !title.contains(QStringLiteral(" - ")))
                             ? artist + QStringLiteral(" - ") + title
                             : title;
    if (text == m_lastStreamTitle)
        return;
    m_lastStreamTitle = text;
    emit logMessage(QStringLiteral("Stream metadata: ") + text);
    emit streamMetadata(text);
}

// ---------------------------------------------------------------------------
// Voice-overs

bool AudioEngine::voiceoverPlaying() const
{
    return m_voPlayer && m_voPlayer->playbackState() == QMediaPlayer::PlayingState;
}

void AudioEngine::armVoiceover()
{
    m_voArmed = false;
    m_voFile.clear();
    if (m_voPlayer)
        m_voPlayer->stop();
    const Track& t = m_onAir.track;
    if (!m_voEnabled || t.marker || t.isStream || t.filePath.isEmpty())
        return;
    const TrackParams::Voiceover vo = TrackParams::load(t.filePath).voiceover;
    if (vo.ins < 1 || vo.source.isEmpty())
        return;
    const int roll = int(QRandomGenerator::global()->bounded(100));
    if (!Voiceovers::shouldPlay(vo, QDate::currentDate(), roll))
        return;
    QString refusal;
    const QString file = Voiceovers::pickFile(vo, int(QRandomGenerator::global()->generate()), &refusal);
    if (file.isEmpty()) {
        if (!refusal.isEmpty())
            emit logMessage(QStringLiteral("Voiceover not played: ") + refusal);
        return;
    }
    m_voFile = file;
    m_voLevel = vo.level;
    m_voStartMs = Voiceovers::startMsFor(vo, 0);
    m_voArmed = true;
    if (!m_voPlayer) {
        m_voPlayer = new QMediaPlayer(this);
        m_voOutput = new QAudioOutput(this);
        m_voPlayer->setAudioOutput(m_voOutput);
        connect(m_voPlayer, &QMediaPlayer::durationChanged, this, &AudioEngine::onVoiceoverDuration);
        m_holdWatch->watch(m_voPlayer);
    }
    m_voOutput->setVolume(float(qBound(0.0, m_voLevel, 2.0)));
    m_voPlayer->setSource(QUrl::fromLocalFile(file));
    emit logMessage(QStringLiteral("Voiceover armed: ") + QFileInfo(file).fileName());
}

void AudioEngine::onVoiceoverDuration(qint64 ms)
{
    if (!m_voArmed || ms < 1)
        return;
    m_voStartMs = Voiceovers::startMsFor(TrackParams::load(m_onAir.track.filePath).voiceover, ms);
}

void AudioEngine::checkVoiceover(qint64 position)
{
    if (!m_voArmed || m_voFile.isEmpty() || !m_voPlayer || m_voStartMs > position)
        return;
    m_voArmed = false;
    m_voOutput->setVolume(float(qBound(0.0, m_voLevel, 2.0)));
    m_voPlayer->setPosition(0);
    m_voPlayer->play();
    emit logMessage(QStringLiteral("Voiceover: ") + QFileInfo(m_voFile).fileName());
}

// ---------------------------------------------------------------------------
// Stream relay

void AudioEngine::startRelay(const QString& url)
{
    const QString address = url.trimmed();
    if (address.isEmpty())
        return;
    if (m_relayActive)
        stopRelay();

    m_relayActive = true;
    m_relayLive = false;
    m_relayLevel = 0.0;
    m_relaySource = address;
    QMediaPlayer* deckPlayer = deck(m_active).player;
    m_relayResume = deckPlayer->playbackState() == QMediaPlayer::PlayingState;
    if (m_relayResume)
        deckPlayer->pause();

    m_relayPlayer = new QMediaPlayer(this);
    m_relayOutput = new QAudioOutput(chosenOutputDevice(), this);
    m_relayOutput->setVolume(float(m_masterVolume));
    m_relayPlayer->setAudioOutput(m_relayOutput);
    m_relayBufferOutput = new QAudioBufferOutput(this);
    m_relayPlayer->setAudioBufferOutput(m_relayBufferOutput);
    connect(m_relayBufferOutput, &QAudioBufferOutput::audioBufferReceived, this, &AudioEngine::onRelayBuffer);
    connect(m_relayPlayer, &QMediaPlayer::mediaStatusChanged, this, &AudioEngine::onRelayStatus);
    connect(m_relayPlayer, &QMediaPlayer::errorOccurred, this, &AudioEngine::onRelayError);
    m_holdWatch->watch(m_relayPlayer);

    if (!m_reconnectTimer) {
        m_reconnectTimer = new QTimer(this);
        m_reconnectTimer->setInterval(kReconnectMs);
        connect(m_reconnectTimer, &QTimer::timeout, this, &AudioEngine::relayReconnect);
    }

    m_relayPlayer->setSource(QUrl::fromUserInput(address));
    m_relayPlayer->play();
    emit relayStateChanged(true, m_relaySource, false);
    emit logMessage(QStringLiteral("Relay: starting ") + m_relaySource);
}

void AudioEngine::stopRelay()
{
    if (!m_relayActive)
        return;
    m_relayActive = false;
    m_relayLive = false;
    m_reconnectTimer->stop();

    // Signals still queued from the old player must not reach a relay
    // started right after this one.
    disconnect(m_relayPlayer, nullptr, this, nullptr);
    disconnect(m_relayBufferOutput, nullptr, this, nullptr);
    m_relayPlayer->stop();
    m_relayPlayer->deleteLater();
    m_relayOutput->deleteLater();
    m_relayBufferOutput->deleteLater();
    m_relayPlayer = nullptr;
    m_relayOutput = nullptr;
    m_relayBufferOutput = nullptr;

    const QString source = m_relaySource;
    m_relaySource.clear();
    emit relayStateChanged(false, source, false);
    emit logMessage(QStringLiteral("Relay: stopped"));

    if (Setting::RelayStartNextOnStop.read()) {
        next();
    } else if (m_relayResume) {
        QMediaPlayer* p = deck(m_active).player;
        if (p->playbackState() != QMediaPlayer::PlayingState)
            p->play();
    }
}

void AudioEngine::onRelayStatus(QMediaPlayer::MediaStatus status)
{
    if (!m_relayActive)
        return;
    switch (status) {
    case QMediaPlayer::NoMedia:
    case QMediaPlayer::StalledMedia:
    case QMediaPlayer::EndOfMedia:
    case QMediaPlayer::InvalidMedia:
        relayFallBack();
        break;
    case QMediaPlayer::LoadedMedia:
    case QMediaPlayer::BufferedMedia:
        if (!m_relayLive)
            relayGoLive();
        break;
    default:
        break;
    }
}

void AudioEngine::onRelayError(QMediaPlayer::Error, const QString& text)
{
    if (!m_relayActive)
        return;
    if (!text.isEmpty())
        emit logMessage(QStringLiteral("Relay error: ") + text);
    relayFallBack();
}

void AudioEngine::relayGoLive()
{
    m_relayLive = true;
    m_reconnectTimer->stop();
    for (Deck& d : decks()) {
        if (d.player->playbackState() == QMediaPlayer::PlayingState)
            d.player->pause();
    }
    emit relayStateChanged(true, m_relaySource, true);
    emit logMessage(QStringLiteral("Relay: live"));
}

void AudioEngine::relayFallBack()
{
    if (!m_relayActive)
        return;
    const bool wasLive = m_relayLive;
    m_relayLive = false;
    QMediaPlayer* p = deck(m_active).player;
    if (hasOutput() && m_onAir.start > 0 && p->playbackState() != QMediaPlayer::PlayingState)
        p->play();
    if (!m_reconnectTimer->isActive())
        m_reconnectTimer->start();
    if (wasLive)
        emit logMessage(QStringLiteral("Relay: stream lost - back to playlist"));
    emit relayStateChanged(true, m_relaySource, false);
}

void AudioEngine::relayReconnect()
{
    if (!m_relayActive || m_relayLive || !m_relayPlayer)
        return;
    emit logMessage(QStringLiteral("Relay: reconnecting..."));
    // Setting the same source again is ignored by the player: clear it so
    // that the stream is really opened anew. The clearing itself is no loss
    // of the stream to report.
    {
        const QSignalBlocker quiet(m_relayPlayer);
        m_relayPlayer->setSource(QUrl());
    }
    m_relayPlayer->setSource(QUrl::fromUserInput(m_relaySource));
    m_relayPlayer->play();
}

void AudioEngine::onRelayBuffer(const QAudioBuffer& buffer)
{
    const LevelPeaks peaks = AudioLevels::peakLevels(buffer);
    if (peaks.valid) {
        m_relayLevel = qMax(peaks.left, peaks.right);
        emit levels(m_masterVolume * peaks.left, m_masterVolume * peaks.right);
    }
    if (m_relayLive)
        emit audioBufferReady(buffer);
}

// ---------------------------------------------------------------------------
// After a hold

void AudioEngine::onHoldResumed(const QList<QMediaPlayer*>& players)
{    // The deck on air is timed afresh from its reports after the hold.
    m_mixTimer->stop();
    m_deckClock = DeckClock{};
    // What the renderer raced through before it was put back was never heard:
    // it must not reach the station's outputs either.
    for (int index = 0; index < 2; ++index) {
        if (m_decks[index].player && players.contains(m_decks[index].player))
            dropQueuedBuffers(index);
    }
}

void AudioEngine::onNotInStep(QMediaPlayer* player)
{
    if (player == m_relayPlayer && m_relayLive) {
        emit logMessage(QStringLiteral("Relay: no audio after the program was held"));
        relayFallBack();
        return;
    }
    for (int index = 0; index < 2; ++index) {
        if (m_decks[index].player != player)
            continue;
        if (index == m_onAir.deck && m_onAir.stage == OnAir::Sounding) {
            emit logMessage(rowLabel(m_onAir.track)
                            + QStringLiteral(": no audio after the program was held - playing the next row"));
            next();
        } else {
            stopDeck(m_decks[index]);
        }
    }
}
