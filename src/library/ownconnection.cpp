#include "ownconnection.h"

#include "librarylock.h"

#include <QFile>
#include <QSqlQuery>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

OwnConnection::OwnConnection(const QString& file, const QString& name, int busyTimeoutMs)
    : m_name(name)
    , m_file(file)
    , m_lockWaitMs(busyTimeoutMs)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(file);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
}

OwnConnection::~OwnConnection()
{
    QSqlDatabase::removeDatabase(m_name);
}

bool OwnConnection::open()
{
    QSqlDatabase db = database();
    m_lockBusy = false;
    if (db.isOpen() && identityOf(m_file) == m_opened) {
        m_moved = false;
        return true;
    }
    // Never while another program sets library.db aside: the file found
    // could be a new, empty one beside the old journal, which SQLite would
    // then delete.
    const LibraryLock lock(m_file, LibraryLock::Mode::Shared, m_lockWaitMs);
    m_lockBusy = !lock.held();
    if (db.isOpen()) {
        // SQLite neither checkpoints nor removes the journal of a file that
        // was moved away, so closing it leaves the new file's journal alone.
        db.close();
        m_moved = true;
    }
    // A move found by an open that then failed is still told by the next
    // one that succeeds.
    if (!lock.held() || !db.open())
        return false;
    m_opened = identityOf(m_file);
    QSqlQuery q(db);
    // In WAL mode this loses no consistency: a commit no longer waits for
    // the disk to flush.
    q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // The first read opens the journal and its index: from here on the
    // connection keeps to these files, wherever they are moved.
    q.exec(QStringLiteral("PRAGMA schema_version"));
    return true;
}

QSqlDatabase OwnConnection::database() const
{
    return QSqlDatabase::database(m_name, false);
}

OwnConnection::Identity OwnConnection::identityOf(const QString& file)
{
    Identity id;
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(file).constData(), &st) == 0) {
        id.device = quint64(st.st_dev);
        id.inode = quint64(st.st_ino);
        id.known = true;
    }
#else
    // Elsewhere an open file cannot be renamed: it is always the one at the path.
    Q_UNUSED(file);
    id.known = true;
#endif
    return id;
}
