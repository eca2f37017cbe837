#include "voiceovers.h"

#include "library/appsettings.h"
#include "library/musiclibrary.h"

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

QString Voiceovers::pickFile(const TrackParams::Voiceover& vo, int random)
{
    if (vo.source.isEmpty())
        return {};
    const QFileInfo info(vo.source);
    if (info.isFile())
        return vo.source;
    if (!info.isDir())
        return {};
    QStringList files;
    const QFileInfoList entries =
        QDir(vo.source).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& f : entries) {
        if (MusicLibrary::isAudioFile(f.absoluteFilePath()))
            files.append(f.absoluteFilePath());
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
