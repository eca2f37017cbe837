#include "outputs/nowplayingwriter.h"

#include "outputs/nowplayingfile.h"

bool NowPlayingWriter::update(const Track& track, const QString& overrideText)
{
    const NowPlayingFile::Config config = NowPlayingFile::configFromSettings();
    QString error;
    const bool written = NowPlayingFile::update(config, track, overrideText, &error);
    const bool wanted = config.enabled && !config.path.trimmed().isEmpty();
    if (!written && wanted && !m_failing) {
        m_failing = true;
        emit logMessage(QStringLiteral("Now-playing file: cannot write %1 (%2)").arg(config.path, error));
    } else if (written && m_failing) {
        m_failing = false;
        emit logMessage(QStringLiteral("Now-playing file: written again - ") + config.path);
    }
    return written;
}
