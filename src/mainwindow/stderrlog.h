#pragma once

#include <QByteArray>
#include <QString>

// The log's copy on standard error, written by a thread of its own. A reader
// that stalls (a paused terminal, a log collector that stopped reading) or
// has gone costs log lines, never the caller's time: lines that find the
// queue full are counted, and the count is written in their place once
// there is room again. From any thread.
class StderrLog
{
public:
    static constexpr qsizetype kMaxQueuedBytes = 1024 * 1024;
    // A line written to descriptor 2 without an end is cut here.
    static constexpr qsizetype kMaxForeignLine = 16 * 1024;

    // Queues the text as one line with the date and time in front.
    static void write(const QString& text);
    // Queues the bytes as they are.
    static void writeRaw(const QByteArray& bytes);
    // Waits at most timeoutMs for what is queued to be written.
    static void flush(int timeoutMs);

    // First thing in main: every writer of standard error goes through the
    // queue. Descriptor 2 becomes a pipe that a thread of the log drains
    // line by line (libraries, and children started without a channel of
    // their own, write there); Qt's messages are queued; FFmpeg's become
    // messages of the "orchidlantern.ffmpeg" category, warnings and worse
    // (everything FFmpeg is set to tell with QT_FFMPEG_DEBUG); a write to
    // a reader that has gone fails instead of ending the program.
    static void takeOver();
};
