#include "library/playlistrows.h"

#include "library/audiofiles.h"
#include "library/musiclibrary.h"
#include "library/pathgate.h"

#include <QFileInfo>

#include <algorithm>

namespace {

QString notAdded(const QString& path, const QString& why)
{
    return QStringLiteral("Not added: %1 %2").arg(PathGate::excerpt(path), why);
}

} // namespace

QList<PlaylistFile::Item> PlaylistRows::itemsFor(const QStringList& paths)
{
    QList<PlaylistFile::Item> items;
    items.reserve(paths.size());
    for (const QString& path : paths) {
        PlaylistFile::Item item;
        item.path = path;
        items << item;
    }
    return items;
}

PlaylistRows::Made PlaylistRows::make(const QList<PlaylistFile::Item>& items, const QString& connectionName)
{
    Made made;
    // Each row in order: made here, or the index of a file described below
    // with all the others in one go.
    struct Slot
    {
        Track row;
        qsizetype file = -1;
    };
    QList<Slot> plan;
    QStringList files;
    QStringList addresses;
    for (const PlaylistFile::Item& item : items) {
        Slot slot;
        if (item.marker) {
            slot.row.marker = true;
            slot.row.label = item.label;
            plan << slot;
            continue;
        }
        if (Track::isStreamUrl(item.path)) {
            ++made.entries;
            if (PathGate::beyondPathLimit(item.path)) {
                made.notes << notAdded(item.path, PathGate::beyondPathLimitText());
                continue;
            }
            slot.row.artist = QStringLiteral("Online stream");
            slot.row.title = slot.row.filePath = item.path.trimmed();
            slot.row.isStream = true;
            slot.row.streamLimitMs = item.streamLimitMs;
            addresses << slot.row.filePath;
            plan << slot;
            continue;
        }
        ++made.entries;
        QStringList paths{item.path};
        if (QFileInfo(item.path).isDir()) {
            // As "Add folder" takes them.
            paths = AudioFiles::inFolder(QFileInfo(item.path).absoluteFilePath());
            if (paths.isEmpty())
                made.notes << QStringLiteral("No audio files in folder: ") + item.path;
        }
        for (const QString& path : std::as_const(paths)) {
            if (const QString note = refusal(path); !note.isEmpty()) {
                made.notes << note;
                continue;
            }
            slot.file = files.size();
            files << path;
            plan << slot;
        }
    }

    const QHash<QString, Track> streams = MusicLibrary::firstRecords(addresses, true, connectionName);
    const QList<Track> described = MusicLibrary::rowsForFiles(files, connectionName);
    made.rows.reserve(plan.size());
    for (Slot& slot : plan) {
        if (slot.file >= 0) {
            made.rows.append(described.at(slot.file));
            continue;
        }
        if (slot.row.isStream) {
            if (const auto record = streams.constFind(slot.row.filePath); record != streams.cend()) {
                slot.row.title = record->title;
                // A limit written beside the entry is the one it was given.
                if (slot.row.streamLimitMs <= 0)
                    slot.row.streamLimitMs = record->streamLimitMs;
            }
        }
        made.rows.append(slot.row);
    }
    return made;
}

QString PlaylistRows::refusal(const QString& path)
{
    // Before the look for the file: no file has such a name, yet it would
    // make a row of unbounded text.
    QString why = PathGate::beyondPathLimit(path) ? PathGate::beyondPathLimitText() : QString();
    if (why.isEmpty() && QFileInfo::exists(path))
        why = PathGate::refusal(path, PathGate::Kind::Audio);
    return why.isEmpty() ? why : notAdded(path, why);
}

qsizetype PlaylistRows::trackCount(const QList<Track>& rows)
{
    return std::count_if(rows.cbegin(), rows.cend(), [](const Track& t) { return !t.marker; });
}
