#include "audiofixtures.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cmath>
#include <cstring>

namespace {

QStringList codecArgs(const QString& suffix)
{
    if (suffix == QLatin1String("mp3"))
        return {QStringLiteral("-c:a"), QStringLiteral("libmp3lame"), QStringLiteral("-b:a"), QStringLiteral("128k")};
    if (suffix == QLatin1String("flac"))
        return {QStringLiteral("-c:a"), QStringLiteral("flac")};
    if (suffix == QLatin1String("ogg"))
        return {QStringLiteral("-c:a"), QStringLiteral("libvorbis")};
    if (suffix == QLatin1String("opus"))
        return {QStringLiteral("-c:a"), QStringLiteral("libopus")};
    if (suffix == QLatin1String("m4a"))
        return {QStringLiteral("-c:a"), QStringLiteral("aac")};
    return {QStringLiteral("-c:a"), QStringLiteral("pcm_s16le")};
}

QString channelLayout(int channels)
{
    switch (channels) {
    case 1: return QStringLiteral("mono");
    case 2: return QStringLiteral("stereo");
    default: return QString::number(channels) + QStringLiteral("c");
    }
}

} // namespace

bool AudioFixtures::run(const QString& program, const QStringList& args, QByteArray* standardOutput,
                        QString* errorOutput, int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000)) {
        if (errorOutput)
            *errorOutput = program + QStringLiteral(": did not start");
        return false;
    }
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        if (errorOutput)
            *errorOutput = program + QStringLiteral(": timed out");
        return false;
    }
    if (standardOutput)
        *standardOutput = p.readAllStandardOutput();
    if (errorOutput)
        *errorOutput = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool AudioFixtures::ffmpeg(const QStringList& args, QString* errorOutput)
{
    QStringList all{QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"),
                    QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y")};
    all += args;
    QString err;
    const bool ok = run(QStringLiteral("ffmpeg"), all, nullptr, &err);
    if (!ok)
        qWarning("ffmpeg failed: %s", qPrintable(err));
    if (errorOutput)
        *errorOutput = err;
    return ok;
}

QString AudioFixtures::sineExpression(double frequencyHz, const QString& dbfsExpression)
{
    return QStringLiteral("pow(10,(%1)/20)*sin(2*PI*%2*t)").arg(dbfsExpression).arg(frequencyHz, 0, 'g', 12);
}

bool AudioFixtures::make(const QString& path, const Signal& signal)
{
    QStringList exprs;
    for (int c = 0; c < signal.channels; ++c)
        exprs << signal.expression;
    const QString src = QStringLiteral("aevalsrc=exprs='%1':s=%2:d=%3:c=%4")
                            .arg(exprs.join(QLatin1Char('|')))
                            .arg(signal.sampleRate)
                            .arg(signal.seconds, 0, 'g', 12)
                            .arg(channelLayout(signal.channels));
    QStringList args{QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), src};
    args += codecArgs(QFileInfo(path).suffix().toLower());
    for (auto it = signal.tags.cbegin(); it != signal.tags.cend(); ++it)
        args << QStringLiteral("-metadata") << it.key() + QLatin1Char('=') + it.value();
    args << path;
    return ffmpeg(args);
}

bool AudioFixtures::tone(const QString& path, double frequencyHz, double dbfs, double seconds,
                         int sampleRate, int channels, const QMap<QString, QString>& tags)
{
    Signal s;
    s.expression = sineExpression(frequencyHz, QString::number(dbfs, 'g', 12));
    s.seconds = seconds;
    s.sampleRate = sampleRate;
    s.channels = channels;
    s.tags = tags;
    return make(path, s);
}

bool AudioFixtures::silence(const QString& path, double seconds, int sampleRate, int channels)
{
    Signal s;
    s.seconds = seconds;
    s.sampleRate = sampleRate;
    s.channels = channels;
    return make(path, s);
}

QString AudioFixtures::probe(const QString& path, const QString& entry)
{
    const QString kind = entry.section(QLatin1Char('='), 0, 0);
    QStringList args{QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"), entry,
                     QStringLiteral("-of"), QStringLiteral("default=noprint_wrappers=1:nokey=1")};
    if (kind == QLatin1String("stream"))
        args << QStringLiteral("-select_streams") << QStringLiteral("a:0");
    args << path;
    QByteArray out;
    if (!run(QStringLiteral("ffprobe"), args, &out))
        return {};
    return QString::fromUtf8(out).section(QLatin1Char('\n'), 0, 0).trimmed();
}

QList<float> AudioFixtures::decodeMono(const QString& path, int sampleRate)
{
    QByteArray out;
    if (!run(QStringLiteral("ffmpeg"),
             {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
              QStringLiteral("error"), QStringLiteral("-i"), path, QStringLiteral("-ac"), QStringLiteral("1"),
              QStringLiteral("-ar"), QString::number(sampleRate), QStringLiteral("-f"), QStringLiteral("f32le"),
              QStringLiteral("-")},
             &out))
        return {};
    QList<float> samples(out.size() / qsizetype(sizeof(float)));
    std::memcpy(samples.data(), out.constData(), samples.size() * sizeof(float));
    return samples;
}

double AudioFixtures::integratedLoudness(const QString& path, const QString& filters)
{
    const QString log = path + QStringLiteral(".r128.txt");
    QFile::remove(log);
    QString chain = QStringLiteral("ebur128=metadata=1,ametadata=mode=print:key=lavfi.r128.I:file=%1").arg(log);
    if (!filters.isEmpty())
        chain = filters + QLatin1Char(',') + chain;
    if (!ffmpeg({QStringLiteral("-nostats"), QStringLiteral("-i"), path, QStringLiteral("-af"), chain,
                 QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")}))
        return NAN;
    QFile f(log);
    if (!f.open(QIODevice::ReadOnly))
        return NAN;
    double last = NAN;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("lavfi.r128.I="))
            last = line.mid(13).toDouble();
    }
    return last;
}
