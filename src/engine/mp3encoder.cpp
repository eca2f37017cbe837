#include "engine/mp3encoder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 kChunkBytes = 65536;
// Input written ahead of what the child has taken: beyond this a caller
// faster than the encoder waits, so that its input never piles up in memory.
constexpr qint64 kMaxPendingBytes = 4 * kChunkBytes;
constexpr int kStartTimeoutMs = 3000;
constexpr int kChunkWaitMs = 200;
constexpr int kStopWaitMs = 300;
// A flush or an encode gives up on a child that neither writes output nor
// takes input for this long; an ffmpeg still working keeps producing bytes.
constexpr int kFlushIdleMs = 5000;

// Package folders of the Windows package manager hold one folder per package
// ("Gyan.FFmpeg_<source>") and inside it the unpacked build ("ffmpeg-<version>-...").
const QString kPackagePattern = QStringLiteral("Gyan.FFmpeg*");

QString findInWingetPackages(const QString& folder)
{
    const QDir root(folder);
    if (!root.exists())
        return {};
    const QStringList packages =
        root.entryList({kPackagePattern}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& package : packages) {
        const QDir packageDir(root.filePath(package));
        const QStringList builds = packageDir.entryList({QStringLiteral("ffmpeg-*")},
                                                        QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
        for (const QString& build : builds) {
            const QString candidate = packageDir.filePath(build) + QStringLiteral("/bin/ffmpeg.exe");
            if (QFileInfo::exists(candidate))
                return QDir::toNativeSeparators(candidate);
        }
    }
    return {};
}

} // namespace

Mp3Encoder::~Mp3Encoder()
{
    stopProcess();
}

bool Mp3Encoder::open(int sampleRate, int channelCount, int kbps, InputFormat format)
{
    close();
    failure.clear();
    const QString path = ffmpegPath();
    if (path.isEmpty()) {
        failure = notStarted(path, nullptr);
        return false;
    }
    channels = std::max(channelCount, 1);
    // Anything but 16-bit input is taken as float.
    if (format != S16le)
        format = F32le;
    bytesPerSample = format == S16le ? 2 : 4;

    process = new QProcess;
    process->setProcessChannelMode(QProcess::SeparateChannels);
    // Nothing reads ffmpeg's messages; a pipe that nobody drains would fill
    // up and stall a long-running encoder.
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(path, arguments(sampleRate, channels, kbps, format), QIODevice::ReadWrite);
    if (!process->waitForStarted(kStartTimeoutMs)) {
        failure = notStarted(path, process);
        delete process;
        process = nullptr;
        return false;
    }
    lastProgress.start();
    return true;
}

QByteArray Mp3Encoder::encode(const char* data, int frames)
{
    if (!process || !data || frames < 1)
        return {};
    QByteArray out;
    const qint64 total = qint64(channels) * qint64(frames) * qint64(bytesPerSample);
    for (qint64 offset = 0; offset < total;) {
        const qint64 n = std::min(kChunkBytes, total - offset);
        if (process->write(data + offset, n) != n)
            break;
        offset += n;
        const qint64 pending = process->bytesToWrite();
        process->waitForBytesWritten(kChunkWaitMs);
        // While the child takes input, a caller faster than it waits.
        for (qint64 was = pending, left = process->bytesToWrite(); left > kMaxPendingBytes && left < was;
             was = left, left = process->bytesToWrite()) {
            process->waitForBytesWritten(kChunkWaitMs);
            out += process->readAllStandardOutput();
        }
        const QByteArray chunk = process->readAllStandardOutput();
        if (!chunk.isEmpty() || process->bytesToWrite() < pending) {
            lastProgress.restart();
        } else if (lastProgress.elapsed() > kFlushIdleMs) {
            // A child that takes nothing for this long has hung: without
            // this every further chunk would wait its full time, and a long
            // render would block for many minutes.
            process->kill();
            process->waitForFinished(kStopWaitMs);
            delete process;
            process = nullptr;
            return out;
        }
        out += chunk;
    }
    for (int i = 0; i < 4; ++i) {
        if (!process->waitForReadyRead(3))
            break;
        out += process->readAllStandardOutput();
    }
    out += process->readAllStandardOutput();
    return out;
}

QByteArray Mp3Encoder::encode(const QByteArray& pcm)
{
    const qint64 frameBytes = qint64(channels) * bytesPerSample;
    const qint64 frames = frameBytes > 0 ? pcm.size() / frameBytes : 0;
    if (frames < 1)
        return {};
    return encode(pcm.constData(), int(std::min<qint64>(frames, std::numeric_limits<int>::max())));
}

QByteArray Mp3Encoder::drainOutput()
{
    if (!process)
        return {};
    QByteArray out = process->readAllStandardOutput();
    // Pick up what is already waiting in the pipe, without blocking.
    for (int i = 0; i < 16 && process->waitForReadyRead(0); ++i)
        out += process->readAllStandardOutput();
    return out;
}

QByteArray Mp3Encoder::flush()
{
    if (!process)
        return {};
    const QByteArray out = finishProcess(*process);
    delete process;
    process = nullptr;
    return out;
}

QByteArray Mp3Encoder::finishProcess(QProcess& child, const std::function<QByteArray()>& readOutput)
{
    const auto read = [&] { return readOutput ? readOutput() : child.readAllStandardOutput(); };
    QByteArray out;
    child.closeWriteChannel();
    QElapsedTimer idle;
    idle.start();
    qint64 pending = child.bytesToWrite();
    while (child.state() != QProcess::NotRunning) {
        if (!readOutput)
            child.waitForReadyRead(kChunkWaitMs);
        const QByteArray chunk = read();
        const qint64 nowPending = child.bytesToWrite();
        if (!chunk.isEmpty() || nowPending < pending)
            idle.restart();
        pending = nowPending;
        out += chunk;
        if (child.waitForFinished(50))
            break;
        if (idle.elapsed() > kFlushIdleMs) {
            child.kill();
            child.waitForFinished(kStopWaitMs);
            break;
        }
    }
    out += read();
    return out;
}

QString Mp3Encoder::notStarted(const QString& path, const QProcess* child)
{
    if (path.isEmpty())
        return QStringLiteral("ffmpeg was not found (install ffmpeg or set ORCHIDLANTERN_FFMPEG)");
    return QStringLiteral("%1 did not start (%2)")
        .arg(path, child ? child->errorString() : QStringLiteral("no pipe for its output"));
}

void Mp3Encoder::close()
{
    stopProcess();
    process = nullptr;
}

bool Mp3Encoder::isOpen() const
{
    return process != nullptr;
}

void Mp3Encoder::stopProcess()
{
    if (!process)
        return;
    process->closeWriteChannel();
    if (process->state() != QProcess::NotRunning && !process->waitForFinished(kStopWaitMs)) {
        process->kill();
        process->waitForFinished(kStopWaitMs);
    }
    delete process;
}

QStringList Mp3Encoder::arguments(int sampleRate, int channels, int kbps, InputFormat format)
{
    // The input is described in full, so ffmpeg has nothing to probe: a
    // probe would wait for seconds of input before the first byte comes out.
    return {QStringLiteral("-hide_banner"),
            QStringLiteral("-loglevel"),
            QStringLiteral("error"),
            QStringLiteral("-probesize"),
            QStringLiteral("32"),
            QStringLiteral("-analyzeduration"),
            QStringLiteral("0"),
            QStringLiteral("-f"),
            format == S16le ? QStringLiteral("s16le") : QStringLiteral("f32le"),
            QStringLiteral("-ar"),
            QString::number(sampleRate),
            QStringLiteral("-ac"),
            QString::number(std::max(channels, 1)),
            QStringLiteral("-i"),
            QStringLiteral("pipe:0"),
            QStringLiteral("-c:a"),
            QStringLiteral("libmp3lame"),
            QStringLiteral("-b:a"),
            QString::number(kbps) + QLatin1Char('k'),
            QStringLiteral("-f"),
            QStringLiteral("mp3"),
            QStringLiteral("-flush_packets"),
            QStringLiteral("1"),
            QStringLiteral("pipe:1")};
}

QString Mp3Encoder::findFfmpeg(const QString& overridePath, const QStringList& searchFolders,
                               const QStringList& packageFolders, const QStringList& fixedPaths)
{
    if (!overridePath.isEmpty() && QFileInfo(overridePath).isFile())
        return overridePath;
    if (!searchFolders.isEmpty()) {
        const QString found = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"), searchFolders);
        if (!found.isEmpty())
            return found;
    }
    for (const QString& folder : packageFolders) {
        const QString found = findInWingetPackages(folder);
        if (!found.isEmpty())
            return found;
    }
    for (const QString& path : fixedPaths) {
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

QString Mp3Encoder::ffmpegPath()
{
    const QStringList searchFolders =
        qEnvironmentVariable("PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    QStringList packageFolders;
    const QString localAppData = qEnvironmentVariable("LOCALAPPDATA");
    if (!localAppData.isEmpty())
        packageFolders << localAppData + QStringLiteral("/Microsoft/WinGet/Packages");
    packageFolders << QStringLiteral("C:/Program Files/WinGet/Packages")
                   << QStringLiteral("C:/ProgramData/Microsoft/WinGet/Packages");
    const QStringList fixedPaths{QStringLiteral("C:/ffmpeg/bin/ffmpeg.exe"),
                                 QStringLiteral("C:/Program Files/ffmpeg/bin/ffmpeg.exe"),
                                 QStringLiteral("/usr/bin/ffmpeg"), QStringLiteral("/usr/local/bin/ffmpeg"),
                                 QStringLiteral("/opt/homebrew/bin/ffmpeg")};
    return findFfmpeg(qEnvironmentVariable("ORCHIDLANTERN_FFMPEG"), searchFolders, packageFolders, fixedPaths);
}

bool Mp3Encoder::available()
{
    return !ffmpegPath().isEmpty();
}
