#include "tonesource.h"

#include "audiofixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QtMath>

ToneSource::ToneSource(int sampleRate, int channels, QAudioFormat::SampleFormat format, double frequencyHz,
                       double amplitude)
    : m_frequency(frequencyHz)
    , m_amplitude(amplitude)
{
    m_format.setSampleRate(sampleRate);
    m_format.setChannelCount(channels);
    m_format.setSampleFormat(format);
}

QByteArray ToneSource::nextBytes(int frames)
{
    const int channels = m_format.channelCount();
    QByteArray data(qsizetype(frames) * m_format.bytesPerFrame(), Qt::Uninitialized);
    char* p = data.data();
    for (int i = 0; i < frames; ++i, ++m_frame) {
        const double v = m_amplitude * qSin(2.0 * M_PI * m_frequency * double(m_frame) / m_format.sampleRate());
        for (int c = 0; c < channels; ++c) {
            switch (m_format.sampleFormat()) {
            case QAudioFormat::UInt8:
                *reinterpret_cast<quint8*>(p) = quint8(qRound(v * 127.0) + 128);
                break;
            case QAudioFormat::Int16:
                *reinterpret_cast<qint16*>(p) = qint16(qRound(v * 32767.0));
                break;
            case QAudioFormat::Int32:
                *reinterpret_cast<qint32*>(p) = qint32(qRound64(v * 2147483647.0));
                break;
            default:
                *reinterpret_cast<float*>(p) = float(v);
                break;
            }
            p += m_format.bytesPerSample();
        }
    }
    return data;
}

QAudioBuffer ToneSource::next(int frames)
{
    return QAudioBuffer(nextBytes(frames), m_format);
}

TonePump::TonePump(ToneSource* source, int bufferMs, double speed, QObject* parent)
    : QObject(parent)
    , m_source(source)
    , m_frames(source->format().sampleRate() * bufferMs / 1000)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(std::max(1, int(bufferMs / speed)));
    connect(&m_timer, &QTimer::timeout, this, [this] {
        ++m_sent;
        emit buffer(m_source->next(m_frames));
    });
}

double ToneSource::frequencyIn(const QString& path, int sampleRate)
{
    QByteArray raw;
    if (!AudioFixtures::run(QStringLiteral("ffmpeg"),
                            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                             QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-ar"),
                             QString::number(sampleRate), QStringLiteral("-f"), QStringLiteral("s16le"),
                             QStringLiteral("-")},
                            &raw))
        return 0;
    const auto* s = reinterpret_cast<const qint16*>(raw.constData());
    const qsizetype n = raw.size() / 2;
    // A crossing counts only after the signal went well below zero, and only
    // periods of the tone are timed: silence an output filled in while its
    // source ran late (a loaded machine) has no pitch and adds no time.
    const qsizetype longestPeriod = sampleRate / 50;
    qsizetype previous = -1;
    qsizetype timed = 0;
    int periods = 0;
    bool armed = false;
    for (qsizetype i = std::min<qsizetype>(n, sampleRate / 2); i < n; ++i) {
        if (s[i] < -2000)
            armed = true;
        if (armed && s[i - 1] < 0 && s[i] >= 0) {
            armed = false;
            if (previous >= 0 && i - previous <= longestPeriod) {
                timed += i - previous;
                ++periods;
            }
            previous = i;
        }
    }
    return timed > 0 ? periods * double(sampleRate) / double(timed) : 0;
}

QList<qint64> ffmpegChildren()
{
    QList<qint64> pids;
    const QString self = QString::number(QCoreApplication::applicationPid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& e : entries) {
        QFile stat(QStringLiteral("/proc/") + e + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ..."
        const QString line = QString::fromLatin1(stat.readAll());
        const qsizetype close = line.lastIndexOf(QLatin1Char(')'));
        const QString comm = line.mid(line.indexOf(QLatin1Char('(')) + 1, close - line.indexOf(QLatin1Char('(')) - 1);
        const QStringList rest = line.mid(close + 2).split(QLatin1Char(' '));
        if (comm == QLatin1String("ffmpeg") && rest.size() > 1 && rest.at(1) == self)
            pids << e.toLongLong();
    }
    return pids;
}
