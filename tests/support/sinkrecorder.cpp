#include "sinkrecorder.h"

#include <QDeadlineTimer>
#include <QtEndian>

#include <cmath>

SinkRecorder::~SinkRecorder()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool SinkRecorder::start(const QString& source, int timeoutMs)
{
    m_data.clear();
    m_process.start(QStringLiteral("parecord"),
                    {QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                     QStringLiteral("--rate=%1").arg(kRate), QStringLiteral("--channels=1"),
                     QStringLiteral("--latency-msec=10"), QStringLiteral("-d"), source});
    if (!m_process.waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(timeoutMs);
    while (m_data.isEmpty() && !deadline.hasExpired()) {
        if (!m_process.waitForReadyRead(100) && m_process.state() == QProcess::NotRunning)
            return false;
        drain();
    }
    return !m_data.isEmpty();
}

void SinkRecorder::drain()
{
    m_data += m_process.readAllStandardOutput();
}

qsizetype SinkRecorder::sampleCount()
{
    drain();
    return m_data.size() / 2;
}

QList<float> SinkRecorder::stop()
{
    drain();
    m_process.terminate();
    m_process.waitForFinished(3000);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    drain();
    QList<float> out(m_data.size() / 2);
    for (qsizetype i = 0; i < out.size(); ++i)
        out[i] = qFromLittleEndian<qint16>(m_data.constData() + 2 * i) / 32768.0f;
    return out;
}

QList<double> SinkRecorder::toneEnvelope(const QList<float>& samples, double frequencyHz, int windowMs, int hopMs,
                                         int rate)
{
    const qsizetype window = qsizetype(rate) * windowMs / 1000;
    const qsizetype hop = qMax<qsizetype>(1, qsizetype(rate) * hopMs / 1000);
    QList<double> w(window);
    double wsum = 0;
    for (qsizetype i = 0; i < window; ++i) {
        w[i] = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(window - 1));
        wsum += w[i];
    }
    const double coeff = 2 * std::cos(2 * M_PI * frequencyHz / rate);
    QList<double> env;
    for (qsizetype start = 0; start + window <= samples.size(); start += hop) {
        double s1 = 0, s2 = 0;
        for (qsizetype i = 0; i < window; ++i) {
            const double s0 = samples[start + i] * w[i] + coeff * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
        env.append(2.0 * std::sqrt(qMax(0.0, power)) / wsum);
    }
    return env;
}

qsizetype SinkRecorder::firstSustained(const QList<double>& envelope, double threshold, qsizetype from, int run)
{
    qsizetype count = 0;
    for (qsizetype i = qMax<qsizetype>(from, 0); i < envelope.size(); ++i) {
        count = envelope.at(i) >= threshold ? count + 1 : 0;
        if (count == run)
            return i - run + 1;
    }
    return -1;
}
