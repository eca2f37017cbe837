#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QTextStream;

// Reading of playlist files (M3U and PLS).
class PlaylistFile
{
public:
    // One entry of a playlist file: a path or stream address, or a command
    // row (STOP, PAUSE ...) that only our own M3U files carry.
    struct Item
    {
        QString path;
        bool marker = false;
        QString label;            // a command row's command
        qint64 streamLimitMs = 0; // 0 = none given
        // Dropped: a file that is no audio file by its name makes no row.
        bool audioOnly = false;
    };

    // Comment lines that other players skip: a command row, and the play
    // time limit of the stream on the line after it.
    static QString markerLine(const QString& label);
    static QString limitLine(qint64 ms);

    // The entries in file order, as written in it. A PLS file gives the
    // values of its FileN keys; any other file its lines that are neither
    // blank nor comments, with the command rows and limits of our comments.
    static QList<Item> items(QTextStream& in, bool pls);
    // The paths of items(), without command rows.
    static QStringList entries(QTextStream& in, bool pls);

    // A whole file read: its items, relative paths made absolute against
    // the file's folder; or, when the gate refuses the file, it cannot be
    // read or it names no entry, no items and the line that says so. Lines
    // too long to be an entry are left out, with a note. `answered` is
    // called each time the file's system answers (the open, each read):
    // a caller on another thread sees whether the read goes on.
    struct Contents
    {
        QList<Item> items;
        QString problem;
        QStringList notes;
    };
    static Contents read(const QString& path, const std::function<void()>& answered = {});
};
