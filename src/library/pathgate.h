#pragma once

#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

class QFile;
class QIODevice;

// The one check before the program opens a path it was given: only a regular
// file (or a stream address where one is allowed) of a size that fits what
// it is. A FIFO, a device or a runaway file would block or swamp the thread
// that opens it, and a station's private files are no playlists.
class PathGate
{
public:
    enum class Kind {
        Audio,     // a row, a cart, the aux deck, a voice-over, an intro, a teaser
        Stream,    // as Audio, or a stream address
        Playlist,  // an M3U, M3U8 or PLS file
        StoredData, // the program's own files: playlists.json, events.json
        Record      // a record the program adds to and reads back within a
                    // bound of its own (plays-waiting.jsonl): of any size
    };

    // Empty when the path may be opened; otherwise why not, for a log line
    // ("is not a regular file", "is larger than 16 MB" ...). A look at the
    // path only: for a file another part opens by its name.
    static QString refusal(const QString& path, Kind kind);
    static bool allows(const QString& path, Kind kind) { return refusal(path, kind).isEmpty(); }

    // Opens the path for reading and checks what was opened, as one step:
    // the open does not wait (a FIFO or a leased file answers at once), and
    // what is checked is what was opened, so a link switched after any
    // earlier look leads to nothing unchecked.
    // Null, with refusal set, when the file may not be read.
    static std::unique_ptr<QFile> openForReading(const QString& path, Kind kind, QString& refusal);
    // A record the program adds lines to, opened as above (and not through a
    // link), created when missing, unbuffered: each write reaches the system
    // at once. Refused past the size of stored data.
    static std::unique_ptr<QFile> openForAppending(const QString& path, QString& refusal);

    // Reads lines with the bounds kept while reading: no more than maxBytes
    // in all (a file that grows while it is read stops there) and no line
    // kept beyond maxLine bytes; a longer one is skipped, not handed on.
    // `line` gets each line without its end; `answered` is called after
    // each read the system answers.
    struct LineRead
    {
        bool overran = false;      // more than maxBytes were there
        qsizetype longLines = 0;
        qsizetype firstLongLine = 0; // 1 for the first line of the file
        QByteArray firstLongStart;   // the first characters of that line
        QString error;
    };
    static LineRead readLines(QIODevice& in, qint64 maxBytes, qsizetype maxLine,
                              const std::function<void(QByteArrayView line)>& line,
                              const std::function<void()>& answered = {});

    // A file that is not there, or a regular file that may be written over:
    // what a target the program writes to must be. Empty when it may be.
    static QString writeRefusal(const QString& path);

    // A name beside the path that nothing has yet, for a file kept aside:
    // PATH.WORD-yyyyMMdd-HHmmss, with -2, -3 ... after it where taken.
    static QString asideName(const QString& path, const QString& word);

    // By the name alone: .m3u, .m3u8 or .pls in any case.
    static bool hasPlaylistSuffix(const QString& path);

    static qint64 maxBytes(Kind kind);

    // Longer than the system takes for a path: no file can have it.
    static bool beyondPathLimit(const QString& path);
    static QString beyondPathLimitText();
    // A path or line as a log line may show it: the start of a long one
    // and its length, so that no unbounded text is laid out or logged.
    static QString excerpt(const QString& text);
};
