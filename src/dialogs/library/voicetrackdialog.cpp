#include "dialogs/library/voicetrackdialog.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

const QString kFolderKey = QStringLiteral("voicetrack/folder");

} // namespace

QString VoiceTrackDialog::voiceTrackFolder()
{
    const QString stored = QSettings().value(kFolderKey).toString();
    if (!stored.isEmpty())
        return stored;
    return QStandardPaths::writableLocation(QStandardPaths::MusicLocation)
           + QStringLiteral("/Orchidlantern/VoiceTracks");
}

void VoiceTrackDialog::setVoiceTrackFolder(const QString& folder)
{
    QSettings().setValue(kFolderKey, folder);
}
