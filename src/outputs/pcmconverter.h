#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QVector>

class QAudioBuffer;

// Brings audio of any sample format, rate and channel count to the 16-bit
// interleaved PCM an encoder was opened with. Every output holds one: the
// resampler's position, the last input frame and an incomplete trailing
// frame of raw input carry over from one block to the next, so blocks of
// any size join without clicks or lost samples.
class PcmConverter
{
public:
    PcmConverter(int sampleRate = 44100, int channels = 2);

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
    int m_rate;
    int m_channels;

    QAudioFormat m_rawFormat;
    QByteArray m_carry;          // incomplete trailing frame of raw input

    int m_srcRate = 0;           // rate of the stretch being resampled
    qint64 m_pos = 0;            // next output position, in 1/m_rate input frames from m_prev
    QVector<qint32> m_prev;      // last input frame, already at the output channel count
    QVector<qint32> m_scratch;
};
