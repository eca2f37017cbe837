#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// Audio files made at test time with the real ffmpeg; nothing binary is
// kept in the repository. The container and codec follow the file suffix
// (mp3, flac, ogg, wav, m4a, opus). Levels are peak dBFS per channel: the
// signals come from aevalsrc, whose amplitude is exact.
class AudioFixtures
{
public:
    struct Signal
    {
        QString expression = QStringLiteral("0"); // aevalsrc expression, per channel
        double seconds = 1.0;
        int sampleRate = 44100;
        int channels = 2;
        QMap<QString, QString> tags;              // -metadata key=value
    };

    static bool make(const QString& path, const Signal& signal);
    static bool tone(const QString& path, double frequencyHz, double dbfs, double seconds,
                     int sampleRate = 44100, int channels = 2,
                     const QMap<QString, QString>& tags = {});
    static bool silence(const QString& path, double seconds, int sampleRate = 44100,
                        int channels = 2);

    // The sine expression for a level, for building piecewise signals.
    static QString sineExpression(double frequencyHz, const QString& dbfsExpression);

    // Runs ffmpeg (quiet, overwriting) or another program; true on exit code 0.
    static bool ffmpeg(const QStringList& args, QString* errorOutput = nullptr);
    static bool run(const QString& program, const QStringList& args,
                    QByteArray* standardOutput = nullptr, QString* errorOutput = nullptr,
                    int timeoutMs = 120000);

    // ffprobe's value for one entry, such as "format=duration" or
    // "stream=sample_rate"; empty when it cannot be read.
    static QString probe(const QString& path, const QString& entry);

    // The file decoded by ffmpeg to mono float samples at the rate; empty
    // when it cannot be decoded.
    static QList<float> decodeMono(const QString& path, int sampleRate = 48000);

    // ffmpeg's ebur128 integrated loudness of the file at its end, in LUFS,
    // after the filters given (such as "volume=0.5"); NaN when unreadable.
    static double integratedLoudness(const QString& path, const QString& filters = {});
};
