#pragma once

#include <QSqlDatabase>
#include <QString>

// A connection of its own to the library file, so that a worker's reads and
// writes run beside the window's connection; removed when it goes. Its
// queries and copies of database() must go before it.
//
// The other program may set the file aside (it found it damaged) and start
// a new one under the same name while this connection is open: every open()
// looks whether the file at the path is still the one open, and moves to
// the new one when it is not.
class OwnConnection
{
public:
    // name: not used by any other connection of the program.
    OwnConnection(const QString& file, const QString& name, int busyTimeoutMs = 5000);
    ~OwnConnection();
    OwnConnection(const OwnConnection&) = delete;
    OwnConnection& operator=(const OwnConnection&) = delete;

    const QString& name() const { return m_name; }
    const QString& file() const { return m_file; }
    // Opens it unless open already on the file now at the path; false when
    // the file cannot be opened, or another program kept it locked (see
    // LibraryLock) for longer than the lock wait.
    bool open();
    // How long open() waits for that lock; the busy time-out unless set.
    void setLockWait(int ms) { m_lockWaitMs = ms; }
    // Whether the last open() found the lock held by another program.
    bool lockBusy() const { return m_lockBusy; }
    // Whether the last open() that succeeded left a file that was set aside
    // or replaced (since the one before it).
    bool moved() const { return m_moved; }
    QSqlDatabase database() const;

private:
    struct Identity
    {
        quint64 device = 0;
        quint64 inode = 0;
        bool known = false;
        bool operator==(const Identity&) const = default;
    };
    static Identity identityOf(const QString& file);

    QString m_name;
    QString m_file;
    int m_lockWaitMs;
    bool m_lockBusy = false;
    Identity m_opened;
    bool m_moved = false;
};
