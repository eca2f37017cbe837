#include "dialogs/library/voicetrackdialog.h"

#include "dialogs/library/waveformview.h"
#include "dialogs/prompts.h"
#include "engine/audiorender.h"
#include "engine/waveformdata.h"
#include "library/appsettings.h"
#include "outputs/streamarchive.h"

#include <QAudioOutput>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTime>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <filesystem>
#include <system_error>

namespace {

const QString kNamePattern = QStringLiteral("'VT_'yyyy-MM-dd_HH-mm-ss");
const QString kTitle = QStringLiteral("Voice track");
const QString kBold = QStringLiteral("font-weight:bold;");
constexpr int kWaveformBuckets = 1200;
constexpr int kBitrate = 192;

QPushButton* button(const QString& text, const QString& name)
{
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    return b;
}

bool removeIfPresent(const QString& path)
{
    return !QFileInfo::exists(path) || QFile::remove(path);
}

// One rename that replaces the target, so the take is never missing.
bool replaceWith(const QString& from, const QString& to)
{
    std::error_code error;
    std::filesystem::rename(QFileInfo(from).filesystemAbsoluteFilePath(),
                            QFileInfo(to).filesystemAbsoluteFilePath(), error);
    return !error;
}

// Written beside the target under another name and renamed over it, so a
// failed copy leaves an earlier file of that name as it was.
bool copyReplacing(const QString& from, const QString& to)
{
    QFile source(from);
    QSaveFile target(to);
    if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly))
        return false;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(1 << 16);
        if (chunk.isEmpty() || target.write(chunk) != chunk.size()) {
            target.cancelWriting();
            return false;
        }
    }
    return target.commit();
}

} // namespace

VoiceTrackDialog::VoiceTrackDialog(QWidget* parent)
    : QDialog(parent)
    , m_takeFolder(QDir::tempPath() + QStringLiteral("/orchidlantern-voicetrack-XXXXXX"))
{
    // Another program or account can neither remove nor block this take.
    if (m_takeFolder.isValid())
        m_tempPath = m_takeFolder.filePath(QStringLiteral("ol_voicetrack.mp3"));
    setWindowTitle(QStringLiteral("Record voice track"));
    setMinimumWidth(430);

    m_recorder = new StreamArchive(this);
    m_player = new QMediaPlayer(this);
    m_audioOutput = new QAudioOutput(this);
    m_player->setAudioOutput(m_audioOutput);

    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Records from the same input device as the MIC button. Voice tracks "
                                            "play over the outro of the previous track and the intro of the next."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    m_statusLabel = new QLabel(QStringLiteral("Ready."));
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setStyleSheet(kBold);
    layout->addWidget(m_statusLabel);

    m_waveform = new WaveformView;
    m_waveform->setObjectName(QStringLiteral("waveform"));
    layout->addWidget(m_waveform);

    m_hintLabel = new QLabel(QStringLiteral("Drag on the waveform to select a range, then Trim."));
    m_hintLabel->setObjectName(QStringLiteral("hintLabel"));
    m_hintLabel->setStyleSheet(QStringLiteral("color:#666;"));
    layout->addWidget(m_hintLabel);

    auto* actions = new QHBoxLayout;
    m_recordButton = button(QStringLiteral("Record"), QStringLiteral("recordButton"));
    m_playButton = button(QStringLiteral("Play"), QStringLiteral("playButton"));
    m_trimButton = button(QStringLiteral("Trim to selection"), QStringLiteral("trimButton"));
    m_deleteButton = button(QStringLiteral("Delete selection"), QStringLiteral("deleteButton"));
    actions->addWidget(m_recordButton);
    actions->addWidget(m_playButton);
    actions->addWidget(m_trimButton);
    actions->addWidget(m_deleteButton);
    actions->addStretch(1);
    layout->addLayout(actions);

    auto* nameRow = new QHBoxLayout;
    m_nameEdit = new QLineEdit(QDateTime::currentDateTime().toString(kNamePattern));
    m_nameEdit->setObjectName(QStringLiteral("nameEdit"));
    nameRow->addWidget(new QLabel(QStringLiteral("Save as:")));
    nameRow->addWidget(m_nameEdit, 1);
    layout->addLayout(nameRow);

    auto* buttons = new QHBoxLayout;
    m_saveButton = button(QStringLiteral("Save"), QStringLiteral("saveButton"));
    m_saveButton->setDefault(true);
    auto* cancel = button(QStringLiteral("Cancel"), QStringLiteral("cancelButton"));
    buttons->addStretch(1);
    buttons->addWidget(m_saveButton);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    m_stateTimer = new QTimer(this);
    m_stateTimer->setInterval(500);

    connect(m_recordButton, &QPushButton::clicked, this, [this] { toggleRecord(); });
    connect(m_recorder, &StreamArchive::recordingChanged, this, [this](bool recording) {
        if (!recording)
            loadWaveform();
        updateState();
    });
    connect(m_playButton, &QPushButton::clicked, this, [this] { togglePlay(); });
    connect(m_saveButton, &QPushButton::clicked, this, [this] { save(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_waveform, &WaveformView::selectionChanged, this, [this] { updateState(); });
    connect(m_trimButton, &QPushButton::clicked, this, [this] { applyTrim(true); });
    connect(m_deleteButton, &QPushButton::clicked, this, [this] { applyTrim(false); });
    connect(m_stateTimer, &QTimer::timeout, this, [this] { updateState(); });

    m_stateTimer->start();
    updateState();
}

VoiceTrackDialog::~VoiceTrackDialog()
{
    // The recorder's stop would otherwise load the waveform here, in a local
    // event loop inside the destructor.
    disconnect(m_recorder, nullptr, this, nullptr);
    m_stateTimer->stop();
    // The take is finished and let go of before its folder goes.
    releaseTake();
    delete m_recorder;
}

QString VoiceTrackDialog::voiceTrackFolder()
{
    const QString stored = Setting::VoiceTrackFolder.read();
    if (!stored.isEmpty())
        return stored;
    return QStandardPaths::writableLocation(QStandardPaths::MusicLocation)
           + QStringLiteral("/Orchidlantern/VoiceTracks");
}

void VoiceTrackDialog::setVoiceTrackFolder(const QString& folder)
{
    Setting::VoiceTrackFolder.write(folder);
}

void VoiceTrackDialog::releaseTake()
{
    m_player->stop();
    m_player->setSource(QUrl());
}

void VoiceTrackDialog::toggleRecord()
{
    if (m_busy)
        return;
    if (m_recorder->isRecording()) {
        m_recorder->stop();
    } else {
        releaseTake();
        if (m_tempPath.isEmpty()) {
            m_hintLabel->setText(QStringLiteral("Could not make a temporary folder for the recording."));
        } else if (!removeIfPresent(m_tempPath)) {
            m_hintLabel->setText(QStringLiteral("Could not delete the previous recording."));
        } else {
            m_waveform->clear();
            ArchiveConfig config;
            config.folder = QFileInfo(m_tempPath).absolutePath();
            // A quoted literal only: the file is exactly the temporary path.
            config.namePattern = QStringLiteral("'ol_voicetrack'");
            config.bitrate = kBitrate;
            config.sampleRate = 44100;
            config.channels = 2;
            config.splitMinutes = 0;
            config.stopAfterMs = 0;
            config.internalMix = false;
            config.inputDevice = Setting::MicDevice.read();
            m_recorder->setConfig(config);
            m_recorder->start();
        }
    }
    updateState();
}

void VoiceTrackDialog::togglePlay()
{
    if (m_player->playbackState() == QMediaPlayer::PlayingState) {
        m_player->stop();
    } else if (QFileInfo(m_tempPath).isFile()) {
        m_player->setSource(QUrl::fromLocalFile(m_tempPath));
        m_player->play();
    }
    updateState();
}

void VoiceTrackDialog::loadWaveform()
{
    const QPointer<VoiceTrackDialog> alive(this);
    WaveformData data;
    m_busy = true;
    const bool loaded = data.load(m_tempPath, kWaveformBuckets);
    if (!alive)
        return;
    m_busy = false;
    if (loaded)
        m_waveform->setData(data);
    else
        m_waveform->clear();
}

void VoiceTrackDialog::updateState()
{
    const bool recording = m_recorder->isRecording();
    const bool take = QFileInfo(m_tempPath).isFile();
    const bool playing = m_player->playbackState() == QMediaPlayer::PlayingState;
    const bool ready = !recording && take;
    const bool selected = m_waveform->selectionEnd() > m_waveform->selectionStart();

    m_recordButton->setText(recording ? QStringLiteral("Stop") : QStringLiteral("Record"));
    m_recordButton->setEnabled(true);
    m_playButton->setText(playing ? QStringLiteral("Stop") : QStringLiteral("Play"));
    m_playButton->setEnabled(ready);
    m_saveButton->setEnabled(ready);
    m_nameEdit->setEnabled(!recording);
    m_trimButton->setEnabled(ready && selected && !m_busy);
    m_deleteButton->setEnabled(ready && selected && !m_busy);

    if (ready) {
        m_statusLabel->setText(QStringLiteral("Recorded. Press Play to listen, or Save to keep it."));
        m_statusLabel->setStyleSheet(kBold);
    } else if (recording) {
        // Minutes within the hour, as a clock shows them.
        const QTime clock = QTime(0, 0).addMSecs(int(m_recorder->recordedMs() % 86400000));
        m_statusLabel->setText(QStringLiteral("Recording  ") + clock.toString(QStringLiteral("mm:ss")));
        m_statusLabel->setStyleSheet(QStringLiteral("font-weight:bold; color:#c0392b;"));
    } else {
        m_statusLabel->setText(StreamArchive::encoderAvailable()
                                   ? QStringLiteral("Ready.")
                                   : QStringLiteral("No MP3 encoder in this build - recording unavailable."));
    }
}

void VoiceTrackDialog::applyTrim(bool keepSelection)
{
    const qint64 s = m_waveform->selectionStart();
    const qint64 e = m_waveform->selectionEnd();
    if (s >= e || m_busy)
        return;
    QList<AudioRender::Clip> clips;
    if (keepSelection) {
        clips.append({m_tempPath, s, e - s});
    } else {
        if (s > 0)
            clips.append({m_tempPath, 0, s});
        clips.append({m_tempPath, e, 0});
    }

    releaseTake();
    const QString output = m_tempPath + QStringLiteral(".trim.mp3");
    bool done = removeIfPresent(output);
    if (done) {
        const QPointer<VoiceTrackDialog> alive(this);
        m_busy = true;
        AudioRender render;
        done = render.renderClips(clips, output, 0, kBitrate);
        if (!alive)
            return;
        m_busy = false;
        done = done && replaceWith(output, m_tempPath);
        if (!done)
            QFile::remove(output);
    }
    if (!done) {
        m_hintLabel->setText(QStringLiteral("Could not trim the recording."));
        updateState();
        return;
    }
    m_waveform->clearSelection();
    loadWaveform();
    m_hintLabel->setText(keepSelection ? QStringLiteral("Trimmed to the selection.")
                                       : QStringLiteral("Selection deleted."));
    updateState();
}

void VoiceTrackDialog::save()
{
    if (m_recorder->isRecording())
        m_recorder->stop();
    if (!QFileInfo(m_tempPath).isFile()) {
        Prompts::information(this, kTitle, QStringLiteral("Record something first."));
        return;
    }
    QString name = m_nameEdit->text().trimmed();
    if (name.isEmpty())
        name = QDateTime::currentDateTime().toString(kNamePattern);
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))) {
        Prompts::warning(this, kTitle, QStringLiteral("A name cannot contain / or \\."));
        return;
    }
    const QString folder = voiceTrackFolder();
    QDir().mkpath(folder);
    const QString target = QDir(folder).absoluteFilePath(name + QStringLiteral(".mp3"));
    if (!copyReplacing(m_tempPath, target)) {
        Prompts::warning(this, kTitle, QStringLiteral("Could not save to ") + target);
        return;
    }
    m_savedPath = target;
    accept();
}
