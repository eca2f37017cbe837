#include "voiceovers.h"

#include "library/appsettings.h"
#include "library/musiclibrary.h"
#include "library/pathgate.h"

#include <QDir>
#include <QFileInfo>

bool Voiceovers::enabled()
{
    return Setting::VoiceoversEnabled.read();
}

void Voiceovers::setEnabled(bool on)
{
    Setting::VoiceoversEnabled.write(on);
}

bool Voiceovers::shouldPlay(const TrackParams::Voiceover& vo, const QDate& today, int roll)
{
    if (!enabled() || vo.ins < 1 || vo.source.isEmpty())
        return false;
    if (vo.notAfter.isValid() && vo.notAfter < today)
        return false;
    if (vo.probability < 1)
        return false;
    if (vo.probability > 99)
        return true;
    return vo.probability > roll;
}

QString Voiceovers::pickFile(const TrackParams::Voiceover& vo, int random, QString* refusal)
{
    if (vo.source.isEmpty())
        return {};
    const QFileInfo info(vo.source);
    if (!info.isDir()) {
        // A FIFO or a device would hold the player that opens it.
        const QString why = PathGate::refusal(vo.source, PathGate::Kind::Audio);
        if (why.isEmpty())
            return vo.source;
        if (refusal && info.exists())
            *refusal = vo.source + QLatin1Char(' ') + why;
        return {};
    }
    QStringList files;
    const QFileInfoList entries =
        QDir(vo.source).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& f : entries) {
        const QString path = f.absoluteFilePath();
        if (MusicLibrary::isAudioFile(path) && PathGate::allows(path, PathGate::Kind::Audio))
            files.append(path);
    }
    if (files.isEmpty())
        return {};
    // Widened first: the magnitude of INT_MIN does not fit an int.
    const qint64 index = qAbs(qint64(random)) % files.size();
    return files.at(index);
}

qint64 Voiceovers::startMsFor(const TrackParams::Voiceover& vo, qint64 voiceDurationMs)
{
    if (vo.position == 1)
        return qMax<qint64>(vo.ins - voiceDurationMs, 0);
    return qMax<qint64>(vo.ins, 0);
}
