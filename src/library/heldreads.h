#pragma once

#include <QList>
#include <QString>

class QMediaPlayer;
class QObject;

// Reads of station files that were given up while a thread was still inside
// them: a share that hung holds that thread in open() or read() until it
// answers again, and nothing can cancel that. They are counted, so that the
// program's exit does not wait for them, and their folders are kept, so
// that no more threads are lost to a folder while a read there still hangs.
// Any thread may call these.
class HeldReads
{
public:
    // A thread is held in the read of this file (or folder).
    static void hold(const QString& path);
    // That read has returned.
    static void release(const QString& path);
    static int count();
    // The folder of a held read that this path is in or below; empty when
    // there is none. A look at the text only: the file system is not asked.
    static QString hangingFolder(const QString& path);

    // A player still opening its source: its next source, and its
    // deletion, would wait for that open on the caller's thread, and the
    // open may never return. Then it is stopped and left to finish on its
    // own, with the parts given (its outputs), and deleted once it has;
    // hung: the open is known to have hung, and its read is held until
    // then. False, changing nothing, when it is not opening. Receivers of
    // its signals are the caller's to disconnect.
    static bool letGoOpening(QMediaPlayer* player, bool hung, const QList<QObject*>& parts = {});
};
