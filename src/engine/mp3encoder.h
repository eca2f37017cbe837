#pragma once

#include <functional>

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

class QProcess;

// MP3 encoding through an ffmpeg child process: interleaved PCM goes into its
// standard input, MP3 comes back on its standard output. Every call is
// synchronous and returns the MP3 bytes produced so far (often none).
class Mp3Encoder
{
public:
    enum InputFormat {
        S16le = 0, // 16-bit signed, little-endian
        F32le = 1, // 32-bit float, little-endian, full scale +-1.0
    };

    Mp3Encoder() = default;
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder&) = delete;
    Mp3Encoder& operator=(const Mp3Encoder&) = delete;

    bool open(int sampleRate, int channels, int kbps, InputFormat format);
    QByteArray encode(const char* data, int frames);
    QByteArray encode(const QByteArray& pcm);
    QByteArray drainOutput();
    QByteArray flush();
    void close();
    bool isOpen() const;
    // Why the last open() failed.
    QString error() const { return failure; }

    static QString ffmpegPath();
    static bool available();
    // Why the ffmpeg at path (empty: none was found) did not start.
    static QString notStarted(const QString& path, const QProcess* child);

    // The ffmpeg command line for these settings: a channel count below 1
    // counts as 1, any format but S16le as float.
    static QStringList arguments(int sampleRate, int channels, int kbps, InputFormat format);
    // Ends the child's input and collects its output until it exits; a
    // child that takes and gives nothing for 5 s is killed.
    // readOutput: where the child's output is read when it does not go
    // through the process's own channel.
    static QByteArray finishProcess(QProcess& process, const std::function<QByteArray()>& readOutput = {});

    // The search behind ffmpegPath() over explicit places, in order: the
    // override (a file path), the executable search folders, the package
    // folders, then the fixed file paths.
    static QString findFfmpeg(const QString& overridePath, const QStringList& searchFolders,
                              const QStringList& packageFolders, const QStringList& fixedPaths);

private:
    void stopProcess();

    QProcess* process = nullptr;
    QElapsedTimer lastProgress; // last time the child took input or gave output
    int channels = 2;
    int bytesPerSample = 2;
    QString failure;
};
