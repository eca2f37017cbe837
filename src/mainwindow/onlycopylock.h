#pragma once

#include <QString>

// The one-copy guard of the playout program: an advisory lock on an open
// descriptor of the lock file. The kernel lets go of it however the holder
// ends (a crash, SIGKILL, the OOM killer, a power cut), so nothing left
// behind can keep the next start off the air. What the file holds only
// names the holder for a refusal. Where something else is at the lock
// file's place (a FIFO, a folder), a file beside it guards instead: every
// copy comes to the same one.
class OnlyCopyLock
{
public:
    enum class State {
        Held,          // this copy holds it while the object lives
        HeldElsewhere, // another copy holds it
        Unguarded      // it could not be had: problem() says why
    };

    explicit OnlyCopyLock(const QString& path);
    ~OnlyCopyLock();
    OnlyCopyLock(const OnlyCopyLock&) = delete;
    OnlyCopyLock& operator=(const OnlyCopyLock&) = delete;

    State state() const { return m_state; }
    // The file that guards: the one given, or the one beside it.
    const QString& path() const { return m_path; }
    // The file given when another guards in its place, and why it could not.
    const QString& unusedPath() const { return m_unusedPath; }
    const QString& unusedProblem() const { return m_unusedProblem; }
    // Why the guard could not be had, for a log line ("is a FIFO").
    const QString& problem() const { return m_problem; }
    // With HeldElsewhere: the holder's process number as whoever reads the
    // refusal can act on it (in this copy's own PID namespace where the
    // holder is seen there, else on the host), or 0 when it cannot be known.
    qint64 holder() const { return m_holder; }

    // The file that guards when the one given cannot.
    static QString besideOf(const QString& path) { return path + QStringLiteral(".alt"); }

private:
    // False when the place cannot hold a lock (problem() says why); true
    // once it is held here or elsewhere, or refused for another reason.
    bool lockAt(const QString& path);
    void giveUp(const QString& problem);

    QString m_path;
    QString m_problem;
    QString m_unusedPath;
    QString m_unusedProblem;
    State m_state = State::Unguarded;
    qint64 m_holder = 0;
    int m_fd = -1;
};
