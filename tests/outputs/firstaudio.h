#pragma once

#include <QByteArray>
#include <QElapsedTimer>

class QTcpSocket;

// How soon MP3 sound reaches a client on a real socket: the first frame, not
// an HTTP head or a tag.
namespace FirstAudio {

// Where the first MP3 frame begins in bytes that follow an HTTP head: past
// an ID3v2 tag, at a frame sync; -1 while it has not come, -2 for anything
// else.
qsizetype frameStart(const QByteArray& body);
// Milliseconds from the clock's start until a frame has come on the socket,
// after an HTTP head when one is expected; -1 when none came in time.
double msToFrame(QTcpSocket& socket, const QElapsedTimer& clock, bool afterHead, int timeoutMs = 10000);
// A listener of the built-in server on this port, from its connect to its
// first frame; it leaves at once.
double listenerMs(quint16 port);

} // namespace FirstAudio
