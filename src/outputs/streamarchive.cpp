#include "outputs/streamarchive.h"

#include "engine/mp3encoder.h"
#include "outputs/mp3tap.h"
#include "library/appsettings.h"
#include "library/pathgate.h"

#include <QAudioBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

const QString kDefaultPattern = QStringLiteral("'Orchidlantern_'yyyy-MM-dd_HH-mm-ss");

// The path itself when nothing is there yet, else the first free
// "NAME-2.mp3", "NAME-3.mp3", ...: a name that repeats (a split shorter
// than the pattern tells apart, a literal name, a restart within the same
// second) must not erase the earlier recording.
QString unusedPath(const QString& path)
{
    if (!QFileInfo::exists(path))
        return path;
    const QString stem = path.chopped(4); // ".mp3"
    for (int n = 2;; ++n) {
        const QString candidate = stem + QStringLiteral("-%1.mp3").arg(n);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

} // namespace

StreamArchive::StreamArchive(QObject* parent)
    : QObject(parent)
    , m_roomTimer(new QTimer(this))
{
    m_roomTimer->setSingleShot(true);
    connect(m_roomTimer, &QTimer::timeout, this, &StreamArchive::checkRoom);
    connect(&m_capture, &AudioCapture::captured, this, &StreamArchive::onCaptured);
    connect(&m_capture, &AudioCapture::logMessage, this,
            [this](const QString& text) { emit logMessage(QStringLiteral("Stream Archive: ") + text); });
    connect(&m_capture, &AudioCapture::deviceChanged, this, &StreamArchive::captureChanged);
}

StreamArchive::~StreamArchive()
{
    // Released silently: whoever listened may be going away too.
    const QSignalBlocker silent(this);
    stop();
    // The last file is finished before the recorder goes.
    finishClosingNow();
}

ArchiveConfig StreamArchive::configFromSettings()
{
    const ArchiveConfig d;
    QSettings s;
    ArchiveConfig c;
    c.folder = Setting::ArchiveFolder.read(s);
    c.namePattern = Setting::ArchiveNamePattern.read(s);
    c.bitrate = Setting::ArchiveBitrate.readInt();
    c.sampleRate = Setting::ArchiveSampleRate.readInt();
    c.channels = Setting::ArchiveChannels.readInt();
    c.splitMinutes = Setting::ArchiveSplitMinutes.readInt();
    c.stopAfterMs = 0;
    c.internalMix = Setting::ArchiveInternalMix.read(s);
    c.inputDevice = Setting::ArchiveInputDevice.read(s);
    return c;
}

void StreamArchive::saveConfig(const ArchiveConfig& c)
{
    QSettings s;
    Setting::ArchiveFolder.write(s, c.folder);
    Setting::ArchiveNamePattern.write(s, c.namePattern);
    Setting::ArchiveBitrate.write(s, c.bitrate);
    Setting::ArchiveSampleRate.write(s, c.sampleRate);
    Setting::ArchiveChannels.write(s, c.channels);
    Setting::ArchiveSplitMinutes.write(s, c.splitMinutes);
    Setting::ArchiveInternalMix.write(s, c.internalMix);
    Setting::ArchiveInputDevice.write(s, c.inputDevice);
}

QString StreamArchive::buildFileName(const ArchiveConfig& config, const QDateTime& when)
{
    const QString folder = config.folder.isEmpty()
        ? QStandardPaths::writableLocation(QStandardPaths::MusicLocation)
        : config.folder;
    QString pattern = config.namePattern.trimmed();
    if (pattern.isEmpty())
        pattern = kDefaultPattern;
    const QString name = when.toString(pattern) + QStringLiteral(".mp3");
    return QFileInfo(QDir(folder), name).absoluteFilePath();
}

bool StreamArchive::shouldSplit(const ArchiveConfig& config, qint64 fileAgeMs)
{
    return config.splitMinutes >= 1 && fileAgeMs >= qint64(config.splitMinutes) * 60000;
}

bool StreamArchive::encoderAvailable()
{
    return Mp3Encoder::available();
}

void StreamArchive::setConfig(const ArchiveConfig& config)
{
    m_config = config;
}

QVariantMap StreamArchive::takeRecord() const
{
    if (!m_recording)
        return {};
    QVariantMap take{{QStringLiteral("folder"), m_config.folder},
                     {QStringLiteral("namePattern"), m_config.namePattern},
                     {QStringLiteral("file"), m_currentPath}};
    if (m_config.stopAfterMs > 0)
        take.insert(QStringLiteral("endsAt"),
                    m_recordingStart.addMSecs(m_config.stopAfterMs).toUTC().toString(Qt::ISODateWithMs));
    return take;
}

bool StreamArchive::resumeTake(const QVariantMap& take)
{
    ArchiveConfig config = configFromSettings();
    config.folder = take.value(QStringLiteral("folder"), config.folder).toString();
    config.namePattern = take.value(QStringLiteral("namePattern"), config.namePattern).toString();
    if (take.contains(QStringLiteral("endsAt"))) {
        const QDateTime end = QDateTime::fromString(take.value(QStringLiteral("endsAt")).toString(), Qt::ISODateWithMs);
        const qint64 left = end.isValid() ? m_clock().msecsTo(end) : 0;
        if (left <= 0) {
            emit logMessage(QStringLiteral("Stream Archive: the timed recording %1 was to end at %2, "
                                           "while the program was not running; not resumed")
                                .arg(QFileInfo(take.value(QStringLiteral("file")).toString()).fileName(),
                                     end.toLocalTime().toString(QStringLiteral("h:mm:ss AP"))));
            return false;
        }
        // It ends when it was to end, not a whole take after the restart.
        config.stopAfterMs = left;
    }
    setConfig(config);
    start();
    return m_recording;
}

qint64 StreamArchive::recordedMs() const
{
    return m_recordingStart.isValid() ? m_recordingStart.msecsTo(m_clock()) : 0;
}

bool StreamArchive::openFile()
{
    if (!Mp3Encoder::available()) {
        emit logMessage(QStringLiteral("Stream Archive: MP3 encoder (FFmpeg) not available"));
        return false;
    }
    m_fileStart = m_clock();
    m_currentPath = buildFileName(m_config, m_fileStart);
    QDir().mkpath(QFileInfo(m_currentPath).absolutePath());
    m_currentPath = unusedPath(m_currentPath);
    if (const QString refusal = PathGate::writeRefusal(m_currentPath); !refusal.isEmpty()) {
        emit logMessage(QStringLiteral("Stream Archive: cannot write %1 (%2)").arg(m_currentPath, refusal));
        return false;
    }

    m_file = new QFile(m_currentPath, this);
    // Unbuffered, so that a full disk shows at the write that hits it; new
    // only, so that a file made meanwhile by someone else is not replaced.
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        emit logMessage(
            QStringLiteral("Stream Archive: cannot write %1 (%2)").arg(m_currentPath, m_file->errorString()));
        delete m_file;
        m_file = nullptr;
        return false;
    }
    m_encoder = new Mp3Tap(this);
    connect(m_encoder, &Mp3Tap::encoded, this, &StreamArchive::writeEncoded);
    connect(m_encoder, &Mp3Tap::failed, this, &StreamArchive::encoderFailed);
    // Audio and silence alike move the clock that splits and ends the take.
    connect(m_encoder, &Mp3Tap::fed, this, &StreamArchive::checkClock);
    if (!openEncoder()) {
        emit logMessage(QStringLiteral("Stream Archive: failed to initialise the MP3 encoder: ") + m_encoder->error());
        closeFile();
        return false;
    }
    // A pause of the on-air mix is recorded as the silence it was, at its
    // length; a capture device delivers all the time by itself.
    if (m_config.internalMix)
        m_encoder->fillGaps();
    emit fileStarted(m_currentPath);
    emit logMessage(QStringLiteral("Stream Archive: recording to ") + QFileInfo(m_currentPath).fileName());
    return true;
}

bool StreamArchive::writeToFile(const QByteArray& bytes)
{
    if (!m_file || bytes.isEmpty())
        return true;
    // A write cut short reports no error; the next one tells why.
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = m_file->write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// The file is finished in the background: the encoder's last bytes go to
// it, then it is closed.
void StreamArchive::closeFile()
{
    QFile* file = std::exchange(m_file, nullptr);
    Mp3Tap* encoder = std::exchange(m_encoder, nullptr);
    if (encoder && encoder->isOpen() && file) {
        encoder->disconnect(this);
        connect(encoder, &Mp3Tap::encoded, file, [file](const QByteArray& mp3) { file->write(mp3); });
        connect(encoder, &Mp3Tap::finished, this, [this, file, encoder] {
            file->close();
            file->deleteLater();
            encoder->deleteLater();
            if (--m_closing == 0 && m_stopping)
                endStop();
        });
        ++m_closing;
        encoder->finish();
        return;
    }
    if (encoder) {
        encoder->close();
        encoder->deleteLater();
    }
    if (file) {
        file->close();
        file->deleteLater();
    }
}

void StreamArchive::finishClosingNow()
{
    const QList<Mp3Tap*> encoders = findChildren<Mp3Tap*>(Qt::FindDirectChildrenOnly);
    for (Mp3Tap* e : encoders) {
        if (e != m_encoder)
            e->finishNow();
    }
}

void StreamArchive::start()
{
    // Files still finishing end first, so that a stop's signal comes before
    // this start's.
    if (m_closing > 0)
        finishClosingNow();
    if (m_recording)
        return;
    if (!Mp3Encoder::available()) {
        emit logMessage(QStringLiteral("Stream Archive: ffmpeg not found (install ffmpeg or set ORCHIDLANTERN_FFMPEG)"));
        return;
    }
    if (!openFile())
        return;
    if (!m_config.internalMix) {
        if (!m_capture.open(m_config.inputDevice, m_config.sampleRate, m_config.channels)) {
            emit logMessage(QStringLiteral("Stream Archive: no capture device"));
            closeFile();
            return;
        }
        m_capture.start();
    }
    // From the first file's start, not after the encoder and capture came up:
    // counted from later, a limit on a split boundary fell after the split.
    m_recordingStart = m_fileStart;
    m_recording = true;
    emit recordingChanged(true);
}

void StreamArchive::pushAudio(const QAudioBuffer& buffer)
{
    if (!m_recording || !m_config.internalMix)
        return;
    m_ownEncoders.push(buffer);
    // While the recording waits for room only the time limit is looked at.
    if (!m_encoder)
        checkClock();
}

void StreamArchive::onCaptured(const QByteArray& pcm)
{
    if (m_encoder)
        m_encoder->encode(pcm);
    else
        checkClock();
}

bool StreamArchive::openEncoder()
{
    OnAirEncoders* encoders = m_config.internalMix && m_shared ? m_shared : &m_ownEncoders;
    return m_encoder->open(encoders, m_config.sampleRate, m_config.channels, m_config.bitrate);
}

void StreamArchive::checkClock()
{
    if (!m_recording)
        return;
    // The limit first, and both on one reading of the clock: a recording that
    // ends on a split boundary must not leave an empty part behind.
    const QDateTime now = m_clock();
    if (m_config.stopAfterMs > 0 && m_recordingStart.msecsTo(now) >= m_config.stopAfterMs) {
        stop();
        return;
    }
    // The file closed here finishes on its own; the next never shares its name.
    if (m_file && m_fileStart.isValid() && shouldSplit(m_config, m_fileStart.msecsTo(now))) {
        closeFile();
        if (!openFile())
            stop(); // nothing could be recorded until somebody noticed
    }
}

void StreamArchive::writeEncoded(const QByteArray& mp3)
{
    if (!m_file)
        return;
    // A full disk, or a file whose folder went away, would leave REC lit
    // while nothing reaches the disk.
    const bool written = writeToFile(mp3);
    if (written && QFileInfo::exists(m_currentPath))
        return;
    if (!written && QFileInfo::exists(m_currentPath)) {
        const bool full = m_file->error() == QFileDevice::ResourceError;
        waitForRoom(full ? QStringLiteral("disk full") : m_file->errorString());
        return;
    }
    emit logMessage(QStringLiteral("Stream Archive: write error on %1 (file was removed) - recording ended")
                        .arg(QFileInfo(m_currentPath).fileName()));
    if (m_encoder)
        m_encoder->close();
    stop();
}

// The file so far stays as it is; the recording goes on in a new file once
// the disk has room again.
void StreamArchive::waitForRoom(const QString& cause)
{
    emit logMessage(QStringLiteral("Stream Archive: write error on %1 (%2) - recording paused until there is room")
                        .arg(QFileInfo(m_currentPath).fileName(), cause));
    if (Mp3Tap* encoder = std::exchange(m_encoder, nullptr)) {
        encoder->disconnect(this);
        encoder->close();
        encoder->deleteLater();
    }
    if (QFile* file = std::exchange(m_file, nullptr)) {
        file->close();
        if (file->size() == 0)
            file->remove();
        file->deleteLater();
    }
    m_roomCheckMs = kFirstRoomCheckMs;
    m_roomTimer->start(m_roomCheckMs);
}

void StreamArchive::checkRoom()
{
    if (!m_recording || m_file)
        return;
    const QStorageInfo disk(QFileInfo(m_currentPath).absolutePath());
    const bool room = !disk.isValid() || disk.bytesAvailable() >= kMinFreeBytes;
    if (room && openFile()) {
        emit logMessage(QStringLiteral("Stream Archive: recording resumed"));
        return;
    }
    m_roomCheckMs = std::min(m_roomCheckMs * 2, kLastRoomCheckMs);
    m_roomTimer->start(m_roomCheckMs);
}

// The encoder hung and was let go: the file goes on with a fresh one.
void StreamArchive::encoderFailed()
{
    if (!m_recording || !m_file || !m_encoder)
        return;
    // One that fails again at once would only spin.
    const bool again = m_encoderRestarted.isValid() && m_encoderRestarted.elapsed() < 10000;
    m_encoderRestarted.start();
    if (!again) {
        emit logMessage(QStringLiteral("Stream Archive: encoder stopped responding, restarting it"));
        if (openEncoder())
            return;
    }
    emit logMessage(QStringLiteral("Stream Archive: the MP3 encoder keeps failing - recording ended"));
    stop();
}

// Whoever opens the take at recordingChanged(false) finds it whole.
void StreamArchive::stop()
{
    if (!m_recording && !m_file && !m_capture.isOpen())
        return;
    m_capture.close();
    m_roomTimer->stop();
    m_stopping = std::exchange(m_recording, false);
    if (m_stopping)
        emit logMessage(QStringLiteral("Stream Archive: stopped - ") + QFileInfo(m_currentPath).fileName());
    closeFile();
    if (m_closing == 0)
        endStop();
}

void StreamArchive::endStop()
{
    if (std::exchange(m_stopping, false))
        emit recordingChanged(false);
}
