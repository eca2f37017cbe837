#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QVector>

#include <memory>

class QAudioBuffer;
struct SwrContext;

// Brings audio of any sample format, rate and channel count to the 16-bit
// interleaved PCM an encoder was opened with. Every output holds one: the
// resampler's filter state and an incomplete trailing frame of raw input
// carry over from one block to the next, so blocks of any size join into the
// same stream. Rates are changed with a band-limited filter; the output runs
// a few frames behind its input, the same delay from the first block on, so
// each block still gives about its own length at the output rate.
class PcmConverter
{
public:
    PcmConverter(int sampleRate = 44100, int channels = 2);
    ~PcmConverter();
    PcmConverter(const PcmConverter&) = delete;
    PcmConverter& operator=(const PcmConverter&) = delete;

    // Sets the output format and forgets everything carried over.
    void setTarget(int sampleRate, int channels);
    void reset();
    int sampleRate() const { return m_rate; }
    int channels() const { return m_channels; }

    // A decoded buffer in its own format.
    QByteArray convert(const QAudioBuffer& buffer);
    // Bytes read from a capture device delivering the given format; they may
    // end inside a frame.
    QByteArray convertRaw(const QByteArray& bytes, const QAudioFormat& format);
    // Interleaved signed 16-bit PCM at the given rate and channel count,
    // whole frames only.
    QByteArray convertPcm16(const QByteArray& pcm, int sampleRate, int channels);

private:
    struct SwrFree
    {
        void operator()(SwrContext* s) const;
    };

    void startStretch(int sampleRate, QByteArray& out);
    QByteArray resample(const qint16* in, qsizetype frames);
    void dropSkipped(QByteArray& out);

    int m_rate;
    int m_channels;

    QAudioFormat m_rawFormat;
    QByteArray m_carry;          // incomplete trailing frame of raw input

    int m_srcRate = 0;           // rate of the stretch being converted, 0 before the first
    std::unique_ptr<SwrContext, SwrFree> m_swr; // set while the stretch is resampled
    qint64 m_skip = 0;           // output frames still to drop, making up for a flushed tail
    QVector<qint16> m_scratch;   // input frames at the output channel count
};
