#pragma once

#include "library/musiclibrary.h"

#include <QProcess>
#include <QTest>

// Another program holding the write lock on library.db until released.
class WriteLock
{
public:
    WriteLock()
    {
        m_holder.start(QStringLiteral("python3"),
                       {QStringLiteral("-c"),
                        QStringLiteral("import sqlite3, sys\n"
                                       "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                       "c.execute('BEGIN IMMEDIATE')\n"
                                       "print('locked', flush=True)\n"
                                       "sys.stdin.read()\n"),
                        MusicLibrary::database().databaseName()});
    }
    ~WriteLock() { release(); }
    bool held()
    {
        return QTest::qWaitFor([this] { return m_holder.canReadLine(); }, kWaitMs)
            && m_holder.readLine().trimmed() == "locked";
    }
    bool release()
    {
        m_holder.closeWriteChannel();
        return m_holder.waitForFinished(kWaitMs);
    }

private:
    static constexpr int kWaitMs = 30000;
    QProcess m_holder;
};
