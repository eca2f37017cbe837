#include "library/heldreads.h"

#include <QHash>
#include <QMediaPlayer>
#include <QMutex>
#include <QThreadPool>
#include <QUrl>

namespace {

QMutex s_lock;
// Folders of held reads, with how many reads are held in each.
QHash<QString, int> s_folders;
int s_count = 0;

// Threads lent to the pool that opens the players' sources, for those held
// by players let go, at most.
constexpr int kOpenersLent = 16;
int s_openersLent = 0;

void lendOpener(int change)
{
    s_openersLent += change;
    QThreadPool* opens = QThreadPool::globalInstance();
    opens->setMaxThreadCount(opens->maxThreadCount() + change);
}

QString folderOf(const QString& path)
{
    QString folder = path;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const qsizetype slash = folder.lastIndexOf(QLatin1Char('/'));
    // A relative path names no folder that could be told apart.
    if (slash < 0)
        return {};
    return slash == 0 ? QStringLiteral("/") : folder.left(slash);
}

} // namespace

void HeldReads::hold(const QString& path)
{
    const QMutexLocker lock(&s_lock);
    ++s_folders[folderOf(path)];
    ++s_count;
}

void HeldReads::release(const QString& path)
{
    const QMutexLocker lock(&s_lock);
    const auto it = s_folders.find(folderOf(path));
    if (it == s_folders.end())
        return;
    if (--it.value() <= 0)
        s_folders.erase(it);
    --s_count;
}

int HeldReads::count()
{
    const QMutexLocker lock(&s_lock);
    return s_count;
}

QString HeldReads::hangingFolder(const QString& path)
{
    const QMutexLocker lock(&s_lock);
    for (auto it = s_folders.cbegin(); it != s_folders.cend(); ++it) {
        const QString& folder = it.key();
        if (folder.isEmpty())
            continue;
        if (folder == QLatin1String("/") || path == folder
            || (path.startsWith(folder) && path.at(folder.size()) == QLatin1Char('/')))
            return folder;
    }
    return {};
}

bool HeldReads::letGoOpening(QMediaPlayer* player, bool hung, const QList<QObject*>& parts)
{
    if (!player || player->mediaStatus() != QMediaPlayer::LoadingMedia)
        return false;
    auto* left = new QObject;
    player->stop();
    player->setParent(left);
    for (QObject* part : parts)
        part->setParent(left);
    // Only an open known to have hung holds its folder: one let go as a
    // precaution is most likely done a moment later.
    const QString file = hung ? player->source().toLocalFile() : QString();
    if (hung)
        hold(file);
    // The open holds a thread of the pool that opens all players' sources.
    const bool lent = s_openersLent < kOpenersLent;
    if (lent)
        lendOpener(1);
    QObject::connect(player, &QMediaPlayer::mediaStatusChanged, left,
                     [left, file, lent, hung](QMediaPlayer::MediaStatus status) {
                         if (status == QMediaPlayer::LoadingMedia)
                             return;
                         if (hung)
                             release(file);
                         if (lent)
                             lendOpener(-1);
                         left->deleteLater();
                     });
    return true;
}
