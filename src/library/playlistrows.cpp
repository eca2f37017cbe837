#include "library/playlistrows.h"

#include "library/audiofiles.h"
#include "library/heldreads.h"
#include "library/musiclibrary.h"
#include "library/ownconnection.h"
#include "library/pathgate.h"
#include "library/readwatch.h"

#include <QFileInfo>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <atomic>

namespace {

QString notAdded(const QString& path, const QString& why)
{
    return QStringLiteral("Not added: %1 %2").arg(PathGate::excerpt(path), why);
}

Track streamRow(const PlaylistFile::Item& item)
{
    Track row;
    row.artist = QStringLiteral("Online stream");
    row.title = row.filePath = item.path.trimmed();
    row.isStream = true;
    row.streamLimitMs = item.streamLimitMs;
    return row;
}

// How long the rows wait for library.db's lock, held by another program.
constexpr int kLibraryWaitMs = 500;

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

void PlaylistRows::make(const QList<PlaylistFile::Item>& items, const std::shared_ptr<ReadWatch>& watch,
                        const QString& libraryFile, const QStringList& notes, const QString& none)
{
    watch->looking(items);
    Made made;
    made.notes = notes;
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
    // Files in folders where a read hangs are not looked at: their rows come
    // from their names.
    QMap<QString, qsizetype> hanging;
    QSet<qsizetype> unlooked;
    for (const PlaylistFile::Item& item : items) {
        // Given up, its rows were taken as they stood.
        if (watch->givenUp())
            return;
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
            slot.row = streamRow(item);
            addresses << slot.row.filePath;
            plan << slot;
            continue;
        }
        ++made.entries;
        if (const QString folder = HeldReads::hangingFolder(item.path); !folder.isEmpty()) {
            if (!AudioFiles::hasAudioSuffix(item.path) || PathGate::beyondPathLimit(item.path)) {
                made.notes << notAdded(item.path, QStringLiteral("is in a folder that does not answer"));
                continue;
            }
            ++hanging[folder];
            unlooked.insert(files.size());
            slot.file = files.size();
            files << item.path;
            plan << slot;
            continue;
        }
        QStringList paths{item.path};
        {
            const ReadWatch::Read read(watch.get(), item.path);
            if (QFileInfo(item.path).isDir()) {
                // As "Add folder" takes them.
                paths = AudioFiles::inFolder(QFileInfo(item.path).absoluteFilePath());
                if (paths.isEmpty())
                    made.notes << QStringLiteral("No audio files in folder: ") + item.path;
            } else if (item.audioOnly && !AudioFiles::hasAudioSuffix(item.path)) {
                continue;
            }
        }
        for (const QString& path : std::as_const(paths)) {
            QString note;
            {
                const ReadWatch::Read read(watch.get(), path);
                note = refusal(path);
            }
            if (!note.isEmpty()) {
                made.notes << note;
                continue;
            }
            slot.file = files.size();
            files << path;
            plan << slot;
        }
    }

    QHash<QString, Track> streams;
    QHash<QString, Track> known;
    if (!libraryFile.isEmpty() && !watch->givenUp()) {
        static std::atomic<int> connections{0};
        const QString name = QStringLiteral("ol_rows_%1").arg(++connections);
        OwnConnection connection(libraryFile, name);
        // While another program holds the library, the rows do not wait for
        // it long: the files' tags serve.
        connection.setLockWait(kLibraryWaitMs);
        if (connection.open()) {
            streams = MusicLibrary::firstRecords(addresses, true, name);
            known = MusicLibrary::firstRecords(files, false, name);
        }
    }
    // The rest from their names, until their tags are read.
    QStringList untagged;
    QList<qsizetype> untaggedRows;
    made.rows.reserve(plan.size());
    for (Slot& slot : plan) {
        if (slot.file >= 0) {
            const QString& path = files.at(slot.file);
            if (const auto record = known.constFind(path); record != known.cend()) {
                made.rows.append(*record);
                continue;
            }
            if (!unlooked.contains(slot.file)) {
                untagged << path;
                untaggedRows << made.rows.size();
            }
            made.rows.append(Track::fromFile(path));
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
    if (!none.isEmpty() && trackCount(made.rows) == 0)
        made.notes << none;
    for (auto it = hanging.cbegin(); it != hanging.cend(); ++it)
        made.notes << QStringLiteral("Tags not read: %1 file(s) in %2, where a read does not answer; their rows are "
                                     "made from their file names")
                          .arg(it.value())
                          .arg(PathGate::excerpt(it.key()));
    watch->tagging(std::move(made), untagged.size());
    MusicLibrary::readRowTags(untagged, untaggedRows, watch);
}

PlaylistRows::Made PlaylistRows::named(const QList<PlaylistFile::Item>& items)
{
    Made made;
    for (const PlaylistFile::Item& item : items) {
        Track row;
        if (item.marker) {
            row.marker = true;
            row.label = item.label;
        } else if (Track::isStreamUrl(item.path)) {
            ++made.entries;
            if (PathGate::beyondPathLimit(item.path))
                continue;
            row = streamRow(item);
        } else {
            ++made.entries;
            // A folder's files are not known without a look at it.
            if (!AudioFiles::hasAudioSuffix(item.path) || PathGate::beyondPathLimit(item.path))
                continue;
            row = Track::fromFile(item.path);
        }
        made.rows.append(row);
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
