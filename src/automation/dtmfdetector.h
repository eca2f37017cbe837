#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QAudioBuffer;

// Turns mono audio into DTMF digits, block by block (about 1/43 s each),
// with one Goertzel filter per keypad frequency, and keeps the digits heard.
class DtmfDetector : public QObject
{
    Q_OBJECT

public:
    explicit DtmfDetector(QObject* parent = nullptr);

    // Minimum peak of a block (full scale 1.0) for it to be analysed; set by
    // the monitor before it listens.
    double minLevel = 0.02;
    // The digits heard, oldest first, at most the last 64. Readers may empty
    // it after acting on it.
    QString sequence;

    int sampleRate() const;
    void setSampleRate(int rate);
    void reset();

    void addSamples(const QList<double>& samples);
    void addBuffer(const QAudioBuffer& buffer);

    static char analyseBlock(const QList<double>& block, int sampleRate, double minLevel);
    static int blockSize(int sampleRate);
    static QString keypad();
    static QList<double> generateTone(char digit, int sampleRate, int durationMs, double amplitude);
    static QStringList parseSequences(const QString& text);
    static bool matches(const QString& received, const QString& sequences);

signals:
    void digitDetected(char digit);
    void sequenceReceived(const QString& sequence);

private:
    int m_sampleRate = 44100;
    QList<double> m_pending;
    char m_lastDigit = 0;
    int m_silentBlocks = 0;
    quint64 m_generation = 0; // counts discards of the pending samples
};
