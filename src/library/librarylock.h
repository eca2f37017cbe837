#pragma once

#include <QString>

// The lock both programs take on a file beside library.db: exclusive while
// one looks at library.db and sets it aside, shared while one opens it or
// writes to it. So no program opens the file half moved, or writes to one
// already set aside. Advisory and held by an open file: it goes with the
// process holding it, so a crash never leaves it behind.
//
// One waiting for it exclusively is not kept out by a stream of shared
// holders (an import writing batch after batch): from then on only those
// already in go on.
//
// A thread that holds it already is never made to wait for itself: a lock
// taken inside another of the same thread is held at once.
class LibraryLock
{
public:
    enum class Mode { Shared, Exclusive };

    // Waits up to waitMs for the lock.
    LibraryLock(const QString& databaseFile, Mode mode, int waitMs);
    ~LibraryLock();
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;

    // False when another program held it past the wait. A lock file that
    // only opens read-only (another account's, or a read-only one) still
    // takes a shared lock; exclusively it is not held, and problem() says
    // why: nothing is set aside without exclusion. A folder where no lock
    // file can be made counts as held for sharing: nothing can be set
    // aside there.
    bool held() const { return m_held; }
    // Why an exclusive lock was not had though nobody held it; empty else.
    const QString& problem() const { return m_problem; }

    static QString fileFor(const QString& databaseFile);

private:
    int m_fd = -1;
    bool m_held = false;
    QString m_problem;
    bool m_outer = false;
};
