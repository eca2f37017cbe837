// The remote API's request handling, without sockets: any bytes from a
// client, arriving in pieces, cut into a request line as the server cuts
// them, and answered. Every answer must be one the API gives, and a command
// must run exactly when the answer is OK.
#include "automation/remoteapi.h"
#include "automation/schedulercommand.h"
#include "fuzzsupport.h"

#include <QXmlStreamReader>

#include <cstdio>
#include <cstdlib>

namespace {

QByteArray plain(const char* status, const QByteArray& body)
{
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

[[noreturn]] void wrong(const QByteArray& request, const QByteArray& answer)
{
    std::fprintf(stderr, "unexpected answer\n--- request ---\n%s\n--- answer ---\n%s\n",
                 request.toPercentEncoding(" /?&=").constData(), answer.constData());
    std::abort();
}

} // namespace

// What one request got: 0 OK with a command run, 1 the playback document,
// 2 usage, 3 unknown, 4 bad password, 5 needs a password, 6 a line that never
// ended, 7 a line too long (answered with the usage). Low bits of variant
// choose the password, the user name and the size of the pieces; the title
// and artist the document carries are the request's own bytes.
int remoteApiAnswerKind(const QByteArray& request, quint8 variant)
{
    static const QByteArray ok = plain("200 OK", "OK");
    static const QList<QByteArray> refusals{
        plain("400 Bad Request", "Use ?pass=...&cmd=... or ?pass=...&action=playbackinfo"),
        plain("400 Bad Request", "Unknown command or action"), plain("403 Forbidden", "Invalid password"),
        plain("403 Forbidden", "This command needs an API password")};
    static const QByteArray xmlHead = "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: ";
    static RemoteApi api;
    static QStringList commands;
    static PlaybackInfo fill;
    static const bool connected = [] {
        QObject::connect(&api, &RemoteApi::commandRequested, [](const QString& c) { commands << c; });
        QObject::connect(&api, &RemoteApi::playbackInfoRequested, [](PlaybackInfo* info) { *info = fill; });
        return true;
    }();
    (void)connected;

    const QString password = variant & 1 ? QStringLiteral("pw") : QString();
    const QString username = variant & 2 ? QStringLiteral("studio") : QString();
    const qsizetype piece = 1 + (variant >> 2) * 97;
    fill.title = QString::fromUtf8(request.left(40));
    fill.artist = QString::fromLatin1(request.right(20));
    commands.clear();

    QByteArray received;
    QByteArray line;
    RemoteApi::LineState state = RemoteApi::LineState::Incomplete;
    for (qsizetype at = 0; at < request.size() && state == RemoteApi::LineState::Incomplete; at += piece) {
        received.append(request.mid(at, piece).left(RemoteApi::kMaxRequestLine + 1 - received.size()));
        state = RemoteApi::requestLine(received, &line);
    }
    if (state == RemoteApi::LineState::Incomplete)
        return 6;
    if (state == RemoteApi::LineState::TooLong)
        return 7;
    const QByteArray answer = api.answer(line, password, username);

    int kind = -1;
    if (answer == ok) {
        kind = 0;
    } else if (answer.startsWith(xmlHead)) {
        const qsizetype split = answer.indexOf("\r\n\r\n");
        const QByteArray body = answer.mid(split + 4);
        QXmlStreamReader xml(body);
        while (!xml.atEnd())
            xml.readNext();
        if (!xml.hasError()
            && answer.mid(xmlHead.size(), split - xmlHead.size())
                == QByteArray::number(body.size()) + "\r\nConnection: close")
            kind = 1;
    } else if (refusals.contains(answer)) {
        kind = 2 + int(refusals.indexOf(answer));
    }
    if (kind < 0 || (kind == 0) != (commands.size() == 1) || commands.size() > 1)
        wrong(request, answer);
    if (kind == 0) {
        const SchedulerCommand c = SchedulerCommand::parse(commands.first());
        const bool guarded = c.verb == QLatin1String("run") || c.verb == QLatin1String("reboot")
            || c.verb == QLatin1String("poweroff");
        if (!c.known || c.raw != commands.first() || c.verb == QLatin1String("getrandomplaylist")
            || commands.first().contains(QChar(0))
            || (password.isEmpty() && guarded))
            wrong(request, answer);
    }
    return kind;
}

QList<QByteArray> olFuzzSeeds()
{
    const QByteArray longLine = "\x01GET /?cmd=next&x=" + QByteArray(8200, 'a') + "\r\n";
    return {QByteArray("\x00", 1) + "GET /?cmd=next HTTP/1.1\r\nHost: x\r\n\r\n",
            "\x01GET /?pass=pw&cmd=volume%2050%20 HTTP/1.1\r\n",
            "\x03GET /?PASS=pw&USER=studio&CMD=play%203 HTTP/1.0\r\n",
            "\x05GET /?pass=pw&action=playbackinfo HTTP/1.1\r\n",
            "\x08get /any/path?Action=PlaybackInfo\n",
            "\x04GET /?cmd=%22getrandomplaylist%22%09X HTTP/1.1\r\n",
            "\x04GET /?cmd=streamarchive%2060%20%22/tmp/a%20b.mp3%22\r\n",
            "\x01GET /?cmd=run%20xterm&pass=pw\r\n",
            "\x04GET /?cmd=renderplaylist+/tmp/x.wav\r\n",
            "\x04GET http://host:9001/x?cmd=weather%20Oslo,%20NO#frag HTTP/1.1\r\n",
            "\x00POST /?cmd=next HTTP/1.1\r\n",
            "\x04GET\r\n",
            "\x04GET /?cmd=load%20/tmp/a.m3u%00.txt\r\n",
            "\x04GET /?cmd=%C3%A4%E2%82%AC%F0%9F%8E%B5&cmd=stop\r\n",
            longLine};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const quint8 variant = in.byte();
    remoteApiAnswerKind(in.rest(), variant);
    return 0;
}
