#include "firstaudio.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

namespace FirstAudio {

qsizetype frameStart(const QByteArray& body)
{
    qsizetype at = 0;
    if (body.startsWith("ID3")) {
        if (body.size() < 10)
            return -1;
        at = 10 + (qsizetype(body[6] & 0x7f) << 21 | qsizetype(body[7] & 0x7f) << 14 | qsizetype(body[8] & 0x7f) << 7
                   | qsizetype(body[9] & 0x7f));
    }
    if (body.size() < at + 2)
        return -1;
    return quint8(body[at]) == 0xFF && (quint8(body[at + 1]) & 0xE0) == 0xE0 ? at : -2;
}

double msToFrame(QTcpSocket& socket, const QElapsedTimer& clock, bool afterHead, int timeoutMs)
{
    QByteArray got;
    double ms = -1;
    (void)QTest::qWaitFor(
        [&] {
            got += socket.readAll();
            const qsizetype head = afterHead ? got.indexOf("\r\n\r\n") : 0;
            if (head >= 0 && frameStart(got.mid(afterHead ? head + 4 : 0)) >= 0)
                ms = clock.nsecsElapsed() / 1e6;
            return ms >= 0 || socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    return ms;
}

double listenerMs(quint16 port)
{
    QTcpSocket listener;
    QElapsedTimer clock;
    clock.start();
    listener.connectToHost(QHostAddress::LocalHost, port);
    listener.write("GET / HTTP/1.0\r\n\r\n");
    const double ms = msToFrame(listener, clock, true);
    listener.abort();
    return ms;
}

} // namespace FirstAudio
