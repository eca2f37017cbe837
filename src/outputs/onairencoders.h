#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

class QAudioBuffer;
class LiveMp3Encoder;
class Mp3Tap;

// The on-air mix encoded to MP3, once for each format in use: outputs that
// send the same format out take their bytes from one conversion and one
// ffmpeg child. An output that joins a running encoder gets its bytes from
// the next block on; one that leaves it alone takes it along to finish.
class OnAirEncoders : public QObject
{
    Q_OBJECT

public:
    explicit OnAirEncoders(QObject* parent = nullptr);
    ~OnAirEncoders() override;

    // A decoded on-air buffer, for every encoder that runs.
    void push(const QAudioBuffer& buffer);
    int encoderCount() const { return int(m_streams.size()); }

private:
    class Stream;
    friend class Mp3Tap;
    // Null, and why in error, when the encoder cannot be started.
    QObject* join(Mp3Tap* tap, int sampleRate, int channels, int kbps, QString* error);
    void remove(Stream* stream);
    // For a tap, whose stream is a QObject pointer that its end clears.
    static bool isOpen(const QObject* stream);
    static void fillGaps(QObject* stream);
    static void write(QObject* stream, const QByteArray& pcm);
    // The encoder when the tap was the last and takeAlong is set.
    static LiveMp3Encoder* leave(QObject* stream, Mp3Tap* tap, bool takeAlong);

    QList<Stream*> m_streams;
};
