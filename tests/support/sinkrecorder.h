#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>

// Records what a listener would hear: the monitor of the PulseAudio null
// sink, through parecord, as mono float samples at 48 kHz. Sample index is
// time on the sink's own clock, so gaps and overlaps can be measured from the
// recording alone.
class SinkRecorder
{
public:
    static constexpr int kRate = 48000;

    ~SinkRecorder();

    // Starts recording and waits until the first samples arrive.
    bool start(const QString& source = QStringLiteral("ol_null.monitor"), int timeoutMs = 10000);
    // Samples recorded so far (the event loop must run for them to arrive).
    qsizetype sampleCount();
    // Ends the recording and returns it, full scale ±1.0.
    QList<float> stop();

    // Amplitude of one frequency over time: a Hann-windowed Goertzel filter
    // of windowMs length every hopMs. Entry i covers the window centred on
    // sample i × hop + window / 2. A full-scale sine gives 1.0.
    static QList<double> toneEnvelope(const QList<float>& samples, double frequencyHz, int windowMs = 20,
                                      int hopMs = 5, int rate = kRate);
    // The first envelope index at or after from from which the envelope
    // stays at or above threshold for run entries, so that a click is not
    // taken for the onset of a tone; -1 when there is none.
    static qsizetype firstSustained(const QList<double>& envelope, double threshold, qsizetype from = 0,
                                    int run = 10);

private:
    void drain();

    QProcess m_process;
    QByteArray m_data;
};
