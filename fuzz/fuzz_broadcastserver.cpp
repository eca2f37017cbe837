// The built-in server's reading of a listener's request, arriving in
// pieces: it waits only while the bytes can still become a GET line, and
// its judgement never goes back once made.
#include "fuzzsupport.h"
#include "outputs/broadcastserver.h"

#include <cstdlib>

QList<QByteArray> olFuzzSeeds()
{
    return {"\x03GET / HTTP/1.0\r\nIcy-MetaData: 1\r\n\r\n", "\x01GE", "\x00POST / HTTP/1.1\r\n",
            "\x20GET /" + QByteArray(9000, 'a'), QByteArray("\x00\x00GET\n", 6)};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const qsizetype piece = 1 + in.byte() * 41;
    const QByteArray request = in.rest();
    QByteArray received;
    BroadcastServer::Request state = BroadcastServer::Request::Incomplete;
    for (qsizetype at = 0; at < request.size(); at += piece) {
        received.append(request.mid(at, piece));
        const BroadcastServer::Request now = BroadcastServer::judgeRequest(received);
        if (state != BroadcastServer::Request::Incomplete && now != state)
            std::abort();
        state = now;
    }
    if (state == BroadcastServer::Request::Listener && !request.startsWith("GET"))
        std::abort();
    if (state == BroadcastServer::Request::Incomplete && (request.contains('\n') || request.size() >= 8192))
        std::abort();
    return 0;
}
