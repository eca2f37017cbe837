#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A real icecast2 on loopback for one test: its own folder and free port,
// run as an unprivileged user when the test runs as root (icecast2 refuses
// root), stopped when the object goes.
class IcecastServer
{
public:
    static constexpr const char* kSourcePassword = "srcpass";
    static constexpr const char* kMount = "/live.mp3";

    IcecastServer();
    ~IcecastServer();

    // Starts the server and waits until it answers; false with the reason in
    // errorText() when it does not.
    // A restart after stop() or kill() takes the same port again.
    bool start();
    // Seconds a source may send nothing before the server drops it; at the
    // next start.
    void setSourceTimeout(int seconds) { m_sourceTimeout = seconds; }
    void stop();
    void kill();                 // SIGKILL, as a crash would
    void pause();                // SIGSTOP: stops reading, keeps the sockets
    void resume();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString errorText() const { return m_error; }
    QString baseUrl() const;
    QString streamUrl() const;

    // GET on the server, waiting in a local event loop; empty on failure.
    QByteArray get(const QString& path, int timeoutMs = 10000) const;
    QJsonObject status() const;
    // The mount's entry of the status page, empty while no source is on it.
    QJsonObject mountStatus(const QString& mount = QString::fromLatin1(kMount)) const;
    QString errorLog() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    int m_sourceTimeout = 10;
    QString m_error;
};
