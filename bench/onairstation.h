#pragma once

// The station on air with every output from the on-air mix: a source
// stream to a real Icecast server on loopback, the built-in server and a
// recording, crossfading track after track.
#include "icecastserver.h"

#include <QAction>
#include <QEventLoop>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QTcpServer>
#include <QTimer>

inline void benchWait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

inline quint16 benchFreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline QAction* benchMenuAction(QMainWindow& w, const QString& text)
{
    for (QAction* top : w.menuBar()->actions())
        for (QAction* a : top->menu() ? top->menu()->actions() : QList<QAction*>())
            if (a->text() == text)
                return a;
    return nullptr;
}

// Crossfades at 3 s before each end; the source stream to the Icecast
// server, the built-in server on serverPort and the archive in a folder,
// all taking the on-air mix.
inline void setEveryOutput(QSettings& s, const IcecastServer& ice, quint16 serverPort, const QString& archiveFolder)
{
    s.setValue(QStringLiteral("playback/crossfadeEnabled"), true);
    s.setValue(QStringLiteral("playback/mixPointMs"), 3000);
    s.setValue(QStringLiteral("playback/fadeOutMs"), 3000);
    s.setValue(QStringLiteral("playback/minCrossfadeMs"), 5000);
    s.setValue(QStringLiteral("server/enabled"), true);
    s.setValue(QStringLiteral("server/port"), serverPort);
    s.setValue(QStringLiteral("broadcast/host"), QStringLiteral("127.0.0.1"));
    s.setValue(QStringLiteral("broadcast/port"), ice.port());
    s.setValue(QStringLiteral("broadcast/mount"), QString::fromLatin1(IcecastServer::kMount));
    s.setValue(QStringLiteral("broadcast/password"), QString::fromLatin1(IcecastServer::kSourcePassword));
    s.setValue(QStringLiteral("broadcast/internalMix"), true);
    s.setValue(QStringLiteral("archive/folder"), archiveFolder);
    s.setValue(QStringLiteral("archive/internalMix"), true);
    s.sync();
}

inline void setEveryOutput(const IcecastServer& ice, quint16 serverPort, const QString& archiveFolder)
{
    QSettings s;
    setEveryOutput(s, ice, serverPort, archiveFolder);
}
