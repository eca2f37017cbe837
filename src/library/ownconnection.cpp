#include "ownconnection.h"

OwnConnection::OwnConnection(const QString& file, const QString& name, int busyTimeoutMs)
    : m_name(name)
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
    return db.isOpen() || db.open();
}

QSqlDatabase OwnConnection::database() const
{
    return QSqlDatabase::database(m_name, false);
}
