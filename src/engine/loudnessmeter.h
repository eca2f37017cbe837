#pragma once

#include <QList>
#include <QtGlobal>

class QAudioBuffer;

// Result of measuring one file.
struct LoudnessAnalysis
{
    double integratedLufs = -70.0; // -70.0 when nothing passed the gates
    double peak = 0.0;             // sample peak, linear
    qint64 durationMs = 0;
    bool ok = false;               // the file decoded
};

// Integrated loudness after ITU-R BS.1770: K-weighting, 400 ms blocks every
// 100 ms, an absolute gate at -70 LUFS and a relative gate 10 LU below the
// ungated level.
class LoudnessMeter
{
public:
    // One direct-form-I second-order section with state per channel.
    struct Biquad
    {
        double b0 = 1.0;
        double b1 = 0.0;
        double b2 = 0.0;
        double a1 = 0.0;
        double a2 = 0.0;
        QList<double> x1;
        QList<double> x2;
        QList<double> y1;
        QList<double> y2;

        void resize(int channels);
        double process(int channel, double x)
        {
            const double y = b0 * x + b1 * x1[channel] + b2 * x2[channel] - a1 * y1[channel] - a2 * y2[channel];
            x2[channel] = x1[channel];
            x1[channel] = x;
            y2[channel] = y1[channel];
            y1[channel] = y;
            return y;
        }
    };

    void reset();
    void configure(int channels, int sampleRate);
    void addSamples(const QList<double>& samples, int channels, int sampleRate);
    void addBuffer(const QAudioBuffer& buffer);
    double integratedLufs() const;

    static double gainForTarget(double measuredLufs, double targetLufs, double maxDb);
    static double limitForPeak(double gain, double peak);

    int channels = 0;
    int sampleRate = 0;
    Biquad shelf;
    Biquad highPass;
    QList<double> channelEnergy;
    qint64 hopFrames = 0;
    qint64 hopFill = 0;
    QList<double> hopEnergy;
    QList<double> blockLoudness;
    double peak = 0.0;

private:
    void addFrame(const double* frame);
    // addFrame's arithmetic over many frames, for up to 8 channels; C is
    // the channel count, or 0 for the configured one.
    template <int C>
    void addFrames(const double* p, qsizetype frames);
    void completeHop();

    QList<double> channelWeight;
};
