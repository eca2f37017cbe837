#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include "outputs/onairencoders.h"

class LiveMp3Encoder;

// One output's share of an on-air encoder: the MP3 bytes from the moment it
// joined, and word when the encoder was let go. Seen from the output it is
// an encoder of its own, opened, finished and closed as such.
class Mp3Tap : public QObject
{
    Q_OBJECT

public:
    explicit Mp3Tap(QObject* parent = nullptr);
    ~Mp3Tap() override;

    // Joins the encoder of that format, starting it when none runs; false
    // when it cannot be started.
    bool open(OnAirEncoders* encoders, int sampleRate, int channels, int kbps);
    bool isOpen() const;
    // Why the last open() failed.
    QString error() const { return m_error; }
    // Silence fills the encoder's input while no audio comes, until the
    // tap is closed.
    void fillGaps();
    // PCM of the output's own at the opened format (a capture device); only
    // for an encoder no other output shares.
    void encode(const QByteArray& pcm);
    // Leaves the encoder; the last bytes follow, then finished(). Bytes the
    // encoder still holds come only when nobody else takes from it.
    void finish();
    // The same, waiting for the child.
    void finishNow();
    // Leaves at once.
    void close();

signals:
    void encoded(const QByteArray& mp3);
    // Audio or silence of this many PCM bytes went to the encoder.
    void fed(qint64 pcmBytes);
    // The encoder was let go: nothing more comes until the tap is opened again.
    void failed();
    void finished();

private:
    friend class OnAirEncoders;
    void leave();

    QPointer<QObject> m_stream; // the encoder it takes from
    LiveMp3Encoder* m_finishing = nullptr; // taken along to finish alone
    bool m_fillGaps = false;
    QString m_error;
};
