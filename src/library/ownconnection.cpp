#include "ownconnection.h"

#include <QFile>
#include <QSqlQuery>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

OwnConnection::OwnConnection(const QString& file, const QString& name, int busyTimeoutMs)
    : m_name(name)
    , m_file(file)
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
    m_moved = false;
    if (db.isOpen()) {
        if (identityOf(m_file) == m_opened)
            return true;
        // SQLite neither checkpoints nor removes the journal of a file that
        // was moved away, so closing it leaves the new file's journal alone.
        db.close();
        m_moved = true;
    }
    if (!db.open())
        return false;
    m_opened = identityOf(m_file);
    // In WAL mode this loses no consistency: a commit no longer waits for
    // the disk to flush.
    QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
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
