#pragma once

#include <QSqlDatabase>
#include <QString>

// A worker's own connection to the library file, so that its reads and
// writes run beside the window's connection; removed when it goes. Its
// queries and copies of database() must go before it.
class OwnConnection
{
public:
    // name: not used by any other connection of the program.
    OwnConnection(const QString& file, const QString& name, int busyTimeoutMs = 5000);
    ~OwnConnection();
    OwnConnection(const OwnConnection&) = delete;
    OwnConnection& operator=(const OwnConnection&) = delete;

    const QString& name() const { return m_name; }
    // Opens it unless open already; false when the file cannot be opened.
    bool open();
    QSqlDatabase database() const;

private:
    QString m_name;
};
