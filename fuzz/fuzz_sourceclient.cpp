// What a streaming server sends the source client: its answer to the source
// request and the listener statistics of its status page.
#include "fuzzsupport.h"
#include "outputs/broadcastservice.h"

#include <QJsonDocument>

#include <cstdlib>

QList<QByteArray> olFuzzSeeds()
{
    return {"\x00HTTP/1.0 200 OK\r\n\r\n",
            "\x00HTTP/1.0 401 Authentication Required\r\nWWW-Authenticate: Basic realm=\"Icecast2 Server\"\r\n\r\n",
            "\x00HTTP/1.0 403 Forbidden\r\n\r\nMountpoint in use",
            "\x01{\"icestats\":{\"source\":{\"listeners\":3,\"listenurl\":\"http://h:8000/live.mp3\"}}}",
            "\x01{\"icestats\":{\"source\":[{\"mount\":\"/other\",\"listeners\":9},"
            "{\"listenurl\":\"http://h:8000/live.mp3\",\"listeners\":\"4\"}]}}",
            "\x01{\"icestats\":{\"source\":[{\"listeners\":1e300}]}}"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const quint8 kind = in.byte();
    const QByteArray body = in.rest();
    if (kind & 1) {
        const QJsonDocument doc = QJsonDocument::fromJson(body);
        if (BroadcastService::listenersForMount(doc.object(), QStringLiteral("/live.mp3")) < 0)
            std::abort();
        return 0;
    }
    QString status;
    const bool accepted = BroadcastService::sourceAccepted(body, &status);
    // The status line shown in the log is the answer's first line, whole.
    if (status.contains(QLatin1String("\r\n")) || !QString::fromLatin1(body).startsWith(status))
        std::abort();
    if (accepted && !status.contains(QLatin1String(" 200")))
        std::abort();
    return 0;
}
