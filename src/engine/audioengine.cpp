#include "audioengine.h"


#include "engine/audiodevices.h"
#include "engine/audiolevels.h"
#include "engine/playlistmodel.h"
#include "engine/voiceovers.h"
#include "library/trackparams.h"
#include "library/appsettings.h"

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

#include <utility>

namespace {

constexpr int kFadeTickMs = 40;
constexpr qint64 kBatchUs = 75000; // decoded audio handed over at once, at most
constexpr int kAimAtMixMs = 500; // how far ahead a segue is timed to its mix point
// How far ahead of its mix point the next row is loaded on the idle deck.
constexpr int kPreloadMs = 4000;
constexpr double kSilentGain = 0.0001;
constexpr double kDuckFactor = 0.2;
constexpr int kReconnectMs = 5000;
constexpr int kShuffleDraws = 8;
// How long a row may take to sound before it is given up.
constexpr int kFileStartMs = 6000;
constexpr int kStreamStartMs = 20000;

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
    m_startTimer = new QTimer(this);
    m_startTimer->setSingleShot(true);
    connect(m_startTimer, &QTimer::timeout, this, [this] {
        // A deck the operator paused while it was loading is not a failure.
        if (m_startPending && m_startDeck >= 0
            && deck(m_startDeck).player->playbackState() == QMediaPlayer::PlayingState)
            startFailed(QStringLiteral("no audio after %1 s").arg(m_startTimer->interval() / 1000));
    });
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
        delete std::exchange(d.player, nullptr);
    }
}

void AudioEngine::setUpDeck(int index)
{
    Deck& d = m_decks[index];
    d.player = new QMediaPlayer(this);
    d.out = new QAudioOutput(this);
    d.player->setAudioOutput(d.out);
    d.bufferOut = new QAudioBufferOutput(this);
    d.player->setAudioBufferOutput(d.bufferOut);

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
        else if (s == QMediaPlayer::InvalidMedia && m_startPending && index == m_startDeck)
            startFailed(QStringLiteral("cannot be decoded"));
    });
    connect(d.player, &QMediaPlayer::playbackStateChanged, this, [this, index](QMediaPlayer::PlaybackState state) {
        // A deck waiting for its segue changes nothing on air.
        if (state == QMediaPlayer::PausedState && !deck(index).preloaded.isEmpty())
            return;
        if (state != QMediaPlayer::PlayingState)
            takeDeckBuffers(index);
        // A paused or stopped deck sends no more buffers: its last level
        // must not stay on the meter.
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
        if (m_startPending && index == m_startDeck)
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
    m_shuffle = on;
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
    deck(m_active).player->pause();
}

void AudioEngine::togglePause()
{
    QMediaPlayer* p = deck(m_active).player;
    if (p->playbackState() == QMediaPlayer::PlayingState)
        p->pause();
    else
        p->play();
}

void AudioEngine::setPosition(qint64 ms)
{
    deck(m_active).player->setPosition(ms);
}

void AudioEngine::stop()
{
    if (m_voPlayer)
        m_voPlayer->stop();
    m_voArmed = false;
    m_voFile.clear();
    haltDecks();
    emit logMessage(QStringLiteral("Stop"));
}

void AudioEngine::haltDecks()
{
    m_streamLimitTimer->stop();
    m_startTimer->stop();
    m_startPending = false;
    m_skipPending = false;
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
    if (ready)
        deck.level = storedLevel(t, source);
    else
        loadDeck(deck, t, source);
    dropQueuedBuffers(int(&deck - m_decks));

    if (!fadeIn) {
        deck.gain = 1.0;
        applyDeckVolume(deck);
        deck.player->play();
    } else {
        deck.gain = 0.0;
        deck.out->setVolume(0.0f);
        deck.player->play();
        beginFade(deck, 1.0, m_fadeInMs, false);
    }
}

// ---------------------------------------------------------------------------
// Advancing through the playlist

void AudioEngine::setPlaylist(PlaylistModel* model)
{
    if (model == m_playlist)
        return;
    const bool hadRow = m_playlist && m_currentRow >= 0;
    if (m_playlist)
        disconnect(m_playlist, nullptr, this, nullptr);
    m_playlist = model;
    m_entryRow = -1;
    if (!model)
        return;
    // The row number belongs to the old list. The track on air plays on;
    // the new list takes over at its own current row, unless that row is
    // the very track on air.
    if (hadRow) {
        const int own = model->currentRow();
        const bool same = own >= 0 && own < model->rowCount() && model->tracks().at(own).filePath == m_currentTrack.filePath
                          && model->tracks().at(own).marker == m_currentTrack.marker
                          && model->tracks().at(own).title == m_currentTrack.title;
        m_currentRow = same ? own : -1;
        if (!same)
            m_entryRow = qMax(own, 0);
    }
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { onRowsInserted(first, last); });
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) { onRowsAboutToBeRemoved(first, last); });
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, &AudioEngine::onModelAboutToBeReset);
    connect(model, &QAbstractItemModel::modelReset, this, &AudioEngine::onModelReset);
}

int AudioEngine::nextRowInOrder() const
{
    return m_currentRow < 0 && m_entryRow >= 0 ? m_entryRow : m_currentRow + 1;
}

QString AudioEngine::cannotPlayReason(const Track& t)
{
    if (t.isStream)
        return t.filePath.trimmed().isEmpty() ? QStringLiteral("no stream address") : QString();
    if (t.filePath.isEmpty())
        return QStringLiteral("no file");
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
    if (!m_playlist || row < 0 || row >= m_playlist->rowCount())
        return;

    ++m_rowStarts;
    m_startTimer->stop();
    m_startPending = false;
    m_skipPending = false;
    m_entryRow = -1;
    if (!m_skipping)
        m_failedStarts = 0;
    m_currentRow = row;
    m_currentTrack = m_playlist->tracks().at(row);
    // Receivers of the signals below may insert or remove rows, so the
    // row number is not looked at again: this is the track that starts.
    const Track track = m_currentTrack;
    m_playlist->setCurrentRow(row);
    m_mixing = false;
    m_streamLimitTimer->stop();
    emit currentRowChanged(row);
    m_lastStreamTitle.clear();
    armVoiceover();

    if (track.marker) {
        emit nowPlaying(track);
        const QString label = track.label.toLower();
        if (label == QLatin1String("stop")) {
            stopDeck(deck(0));
            stopDeck(deck(1));
            emit playingChanged(false);
            emit logMessage(QStringLiteral("STOP command - playback halted (press Play or Next to continue)"));
        } else if (label == QLatin1String("pause")) {
            deck(m_active).player->pause();
            emit logMessage(QStringLiteral("PAUSE command"));
        } else {
            emit logMessage(QStringLiteral("Command: ") + label);
        }
        return;
    }

    emit logMessage(rowLabel(track));
    m_lastEndedRow = -1;

    if (!hasOutput()) {
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
        m_startDeck = -1;
        m_startSegueFadeOutMs = m_segueFadeOutMs;
        m_startPending = true;
        startFailed(reason);
        return;
    }

    m_startSegueFadeOutMs = m_segueFadeOutMs;
    if (crossfade) {
        if (m_segueFadeOutMs != kLeavePlaying)
            beginFade(deck(m_active), 0.0, m_segueFadeOutMs == kEngineFadeOut ? m_fadeOutMs : m_segueFadeOutMs,
                      true);
        // What the outgoing deck played up to now still goes on air.
        takeDeckBuffers(m_active);
        m_active = 1 - m_active;
    } else {
        stopDeck(deck(0));
        stopDeck(deck(1));
    }
    // Set before the start: the player may report a failure at once.
    m_startDeck = m_active;
    m_startPending = true;
    startOnDeck(deck(m_active), track, m_crossfadeEnabled);
    if (m_skipPending)
        return;
    m_startGeneration = m_deckGeneration[m_active];
    m_startTimer->start(track.isStream ? kStreamStartMs : kFileStartMs);
    emit nowPlaying(track);

    if (track.isStream && track.streamLimitMs > 0)
        m_streamLimitTimer->start(int(qMin<qint64>(track.streamLimitMs, std::numeric_limits<int>::max())));
}

void AudioEngine::next()
{
    if (!m_playlist)
        return;
    int row = m_playlist->takeNextQueued();
    if (row >= 0) {
        const Track& t = m_playlist->tracks().at(row);
        const QString label = t.marker ? QStringLiteral(">> ") + t.label.toUpper() + QStringLiteral(" <<")
                                       : rowLabel(t);
        emit logMessage(QStringLiteral("Playback queue: playing ") + label);
    } else {
        const int count = m_playlist->rowCount();
        if (m_shuffle && count > 1) {
            for (int draw = 0; draw < kShuffleDraws; ++draw) {
                row = int((quint64(QRandomGenerator::global()->generate()) * quint64(count)) >> 32);
                if (row != m_currentRow)
                    break;
            }
        } else {
            row = nextRowInOrder();
            if (row >= count) {
                stop();
                return;
            }
        }
    }
    playRow(row);
}

void AudioEngine::previous()
{
    if (m_playlist && m_currentRow - 1 >= 0)
        playRow(m_currentRow - 1);
}

void AudioEngine::play()
{
    if (isCommandRow(m_currentRow)) {
        next();
        return;
    }
    if (!hasOutput()) {
        emit logMessage(kNoOutput);
        return;
    }
    Deck& d = deck(m_active);
    // The on-air list changed while stopped: its own current row comes.
    const bool entry = m_entryRow >= 0 && d.player->playbackState() == QMediaPlayer::StoppedState;
    if ((entry || d.player->source().isEmpty()) && m_playlist && m_playlist->rowCount() > 0) {
        playRow(entry ? qMin(m_entryRow, m_playlist->rowCount() - 1) : qMax(m_currentRow, 0));
        return;
    }
    d.player->play();
}

void AudioEngine::onEndOfTrack(int index)
{
    if (index != m_active) {
        stopDeck(deck(index));
        return;
    }
    if (m_currentTrack.marker || m_lastEndedRow == m_currentRow || m_skipPending)
        return;
    m_lastEndedRow = m_currentRow;
    emit logMessage(QStringLiteral("End of track: ") + rowLabel(m_currentTrack));
    if (m_autoPlayNext)
        next();
    else
        stop();
}

void AudioEngine::confirmStart()
{
    m_startPending = false;
    m_startTimer->stop();
    m_failedStarts = 0;
    if (m_playlist && m_currentRow >= 0 && m_currentRow < m_playlist->rowCount())
        m_playlist->setUnplayable(m_currentRow, QString());
    emit playStarted(m_currentTrack);
}

void AudioEngine::startFailed(const QString& reason)
{
    if (!m_startPending)
        return;
    m_startPending = false;
    m_startTimer->stop();
    m_streamLimitTimer->stop();
    emit logMessage(rowLabel(m_currentTrack) + QStringLiteral(": cannot be played (") + reason + QLatin1Char(')'));
    if (m_playlist && m_currentRow >= 0 && m_currentRow < m_playlist->rowCount())
        m_playlist->setUnplayable(m_currentRow, reason);
    ++m_failedStarts;
    // The player may be in the middle of reporting; move on from the event loop.
    m_skipPending = true;
    const quint32 start = m_rowStarts;
    QMetaObject::invokeMethod(this, [this, start] { skipUnplayable(start); }, Qt::QueuedConnection);
}

void AudioEngine::skipUnplayable(quint32 start)
{
    if (start != m_rowStarts || !m_skipPending)
        return;
    m_skipPending = false;
    if (m_startDeck >= 0) {
        const int failed = m_startDeck;
        stopDeck(deck(failed));
        deck(failed).player->setSource(QUrl());
        // Back to the deck still fading out, so that the next row takes
        // over from it as this one would have.
        if (deck(1 - failed).player->playbackState() == QMediaPlayer::PlayingState)
            m_active = 1 - failed;
        m_startDeck = -1;
    }
    if (!m_playlist)
        return;
    bool anyLeft = false;
    for (int r = 0; r < m_playlist->rowCount() && !anyLeft; ++r)
        anyLeft = !m_playlist->tracks().at(r).marker && m_playlist->unplayableReason(r).isEmpty();
    if (!anyLeft || m_failedStarts > 2 * m_playlist->rowCount()) {
        haltDecks();
        emit logMessage(QStringLiteral("No row of the playlist can be played - playback stopped"));
        return;
    }
    m_segueFadeOutMs = m_startSegueFadeOutMs;
    m_skipping = true;
    next();
    m_skipping = false;
    m_segueFadeOutMs = kEngineFadeOut;
}

void AudioEngine::onStreamLimit()
{
    emit logMessage(QStringLiteral("Stream time limit reached"));
    next();
}

void AudioEngine::onRowsInserted(int first, int last)
{
    if (m_currentRow >= qMax(first, 0))
        m_currentRow += last - first + 1;
    if (m_entryRow >= qMax(first, 0))
        m_entryRow += last - first + 1;
}

void AudioEngine::onRowsAboutToBeRemoved(int first, int last)
{
    if (m_entryRow > last)
        m_entryRow -= last - first + 1;
    else if (m_entryRow >= first)
        m_entryRow = first;
    if (m_currentRow < 0)
        return;
    if (last < m_currentRow)
        m_currentRow -= last - first + 1;
    else if (first <= m_currentRow)
        m_currentRow = qMax(first - 1, 0);
}

void AudioEngine::onModelAboutToBeReset()
{
    m_rowAgreedBeforeReset = m_playlist && m_playlist->currentRow() == m_currentRow;
}

void AudioEngine::onModelReset()
{
    if (!m_playlist)
        return;
    // Reorders keep the model's current row on its track; trust it when it
    // named the same row as ours before the reset.
    if (m_rowAgreedBeforeReset) {
        m_currentRow = m_playlist->currentRow();
        return;
    }
    if (m_currentRow < 0)
        return;
    const QList<Track>& rows = m_playlist->tracks();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const Track& t = rows.at(i);
        if (t.filePath == m_currentTrack.filePath && t.marker == m_currentTrack.marker
            && t.label == m_currentTrack.label && t.title == m_currentTrack.title) {
            m_currentRow = int(i);
            return;
        }
    }
    m_currentRow = -1;
}

// ---------------------------------------------------------------------------
// Segues

void AudioEngine::onDeckPosition(int index, qint64 position)
{
    if (index != m_active)
        return;
    emit positionChanged(position);
    checkVoiceover(position);
    // Without crossfading no segue can start, whatever a file overrides.
    if (m_mixing || !m_autoPlayNext || !m_mix.crossfadeEnabled)
        return;

    Deck& d = deck(index);
    const qint64 dur = d.player->duration();
    MixConfig mix = m_mix;
    if (m_playlist && m_currentRow >= 0 && m_currentRow < m_playlist->rowCount()) {
        mix = TrackParams::resolveMix(m_mix, m_mix, false, currentParams(), m_playlist->segueAt(m_currentRow), false,
                                      0);
    }

    // A presenter's ducking or a low master volume must not pass for the
    // track's own ending.
    const LevelPeaks& lv = m_trackLevels[index];
    // A deck still fading in reports a level far below the track's own.
    const bool fadingIn = d.fadeTimer->isActive() && d.step > 0;
    const bool levelValid = lv.valid && !fadingIn;
    const double levelDb = levelValid ? AudioLevels::toDbfs(qMax(lv.left, lv.right)) : 0.0;
    if (!shouldStartMix(mix, dur, dur - position, levelDb, levelValid)) {
        // Position reports come tens of milliseconds apart: a timer aimed at
        // the mix point starts the segue on time, not at the next report.
        const qint64 untilMix = dur - position - mix.mixPointMs;
        if (untilMix > 0 && untilMix <= kPreloadMs && d.player->playbackState() == QMediaPlayer::PlayingState
            && dur >= mix.minCrossfadeMs)
            preloadNext(index);
        if (untilMix > 0 && untilMix <= kAimAtMixMs && d.player->playbackState() == QMediaPlayer::PlayingState
            && shouldStartMix(mix, dur, mix.mixPointMs, levelDb, levelValid)) {
            // The player's position moves only with its reports; the
            // check at the timer goes by the clock since this one.
            QMediaPlayer* player = d.player;
            QElapsedTimer since;
            since.start();
            QTimer::singleShot(int(untilMix), Qt::PreciseTimer, this, [this, index, player, position, since] {
                if (deck(index).player == player && player->playbackState() == QMediaPlayer::PlayingState)
                    onDeckPosition(index, std::max(player->position(), position + since.elapsed()));
            });
        }
        return;
    }

    if (!m_playlist)
        return;
    const bool fromQueue = !m_playlist->queue().isEmpty();
    const int nextRow = upcomingRow();
    if (nextRow < 0 || nextRow >= m_playlist->rowCount() || isCommandRow(nextRow))
        return;

    m_mixing = true;
    if (fromQueue)
        m_playlist->takeNextQueued();
    // The transition's own fade-out governs the outgoing deck; without fade
    // on mix the outgoing track plays out under the new one.
    m_segueFadeOutMs = mix.fadeOutOnMix ? qMax(0, mix.fadeOutMs) : kLeavePlaying;
    playRow(nextRow);
    m_segueFadeOutMs = kEngineFadeOut;
}

const TrackParams& AudioEngine::currentParams()
{
    // Read again only when the stored parameters may have changed: position
    // reports come many times a second.
    const quint64 stamp = TrackParams::changeStamp();
    if (m_params.path != m_currentTrack.filePath || m_params.stamp != stamp) {
        m_params.path = m_currentTrack.filePath;
        m_params.stamp = stamp;
        m_params.params = TrackParams::load(m_currentTrack.filePath);
    }
    return m_params.params;
}

int AudioEngine::upcomingRow() const
{
    const QList<int> queue = m_playlist->queue();
    return queue.isEmpty() ? nextRowInOrder() : queue.first();
}

// Loads the row that the segue will start on the idle deck, paused and
// silent, and loads again whenever that row changes before the mix point.
void AudioEngine::preloadNext(int activeIndex)
{
    Deck& d = deck(1 - activeIndex);
    // Still fading out the row before: it is not idle yet.
    if (!m_playlist || d.player->playbackState() == QMediaPlayer::PlayingState)
        return;
    const int row = upcomingRow();
    if (row < 0 || row >= m_playlist->rowCount())
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
    if (m_startPending && index == m_startDeck && m_deckGeneration[index] == m_startGeneration)
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

void AudioEngine::onDeckMetaData(int index)
{
    if (!m_currentTrack.isStream || index != m_active)
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
    if (!m_voEnabled || m_currentTrack.marker || m_currentTrack.isStream || m_currentTrack.filePath.isEmpty())
        return;
    const TrackParams::Voiceover vo = TrackParams::load(m_currentTrack.filePath).voiceover;
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
    }
    m_voOutput->setVolume(float(qBound(0.0, m_voLevel, 2.0)));
    m_voPlayer->setSource(QUrl::fromLocalFile(file));
    emit logMessage(QStringLiteral("Voiceover armed: ") + QFileInfo(file).fileName());
}

void AudioEngine::onVoiceoverDuration(qint64 ms)
{
    if (!m_voArmed || ms < 1)
        return;
    m_voStartMs = Voiceovers::startMsFor(TrackParams::load(m_currentTrack.filePath).voiceover, ms);
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
    if (hasOutput() && m_currentRow >= 0 && p->playbackState() != QMediaPlayer::PlayingState)
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
    if (peaks.valid)
        emit levels(m_masterVolume * peaks.left, m_masterVolume * peaks.right);
    if (m_relayLive)
        emit audioBufferReady(buffer);
}
