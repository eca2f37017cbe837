// Random and mutated requests through the remote API's request handling,
// without sockets: the bytes arrive in random pieces as they would from a
// client, the line is cut as the server cuts it, and every answer must be
// one the API knows, with a command run exactly when it answered OK.
// Usage: bench_remoteapi_fuzz [count] [seed]
#include "automation/remoteapi.h"
#include "automation/schedulercommand.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QXmlStreamReader>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

namespace {

std::mt19937_64 rng;

int below(int n)
{
    return int(std::uniform_int_distribution<int>(0, n - 1)(rng));
}

const QList<QByteArray> kSeeds{
    "GET /?cmd=next HTTP/1.1\r\nHost: x\r\n\r\n",
    "GET /?pass=pw&cmd=volume%2050%20 HTTP/1.1\r\n",
    "GET /?PASS=pw&USER=studio&CMD=play%203 HTTP/1.0\r\n",
    "GET /?pass=pw&action=playbackinfo HTTP/1.1\r\n",
    "get /any/path?Action=PlaybackInfo\n",
    "GET /?cmd=%22getrandomplaylist%22%09X HTTP/1.1\r\n",
    "GET /?cmd=streamarchive%2060%20%22/tmp/a%20b.mp3%22\r\n",
    "GET /?cmd=run%20xterm&pass=pw\r\n",
    "GET /?cmd=renderplaylist+/tmp/x.wav\r\n",
    "GET http://host:9001/x?cmd=weather%20Oslo,%20NO#frag HTTP/1.1\r\n",
    "POST /?cmd=next HTTP/1.1\r\n",
    "GET\r\n",
    "GET /?cmd=%C3%A4%E2%82%AC%F0%9F%8E%B5&cmd=stop\r\n",
};

const QList<QByteArray> kTokens{"%", "%0", "%00", "%09", "%0D%0A", "%22", "%20", "%2", "%zz", "+", "&", "=", "?",
                                "#", "\"", " ", "\t", "\r", "\n", "\r\n", "cmd=", "pass=", "action=", "user=",
                                "\xff", "\xc3", "\xe2\x82", "GET ", "//", "..", "%25", "[", "]", "@", ":"};

QByteArray mutate(QByteArray s)
{
    const int edits = 1 + below(8);
    for (int e = 0; e < edits; ++e) {
        const int at = s.isEmpty() ? 0 : below(int(s.size()) + 1);
        switch (below(7)) {
        case 0: // flip a byte
            if (!s.isEmpty())
                s[at % s.size()] = char(below(256));
            break;
        case 1:
            s.insert(at, kTokens.at(below(int(kTokens.size()))));
            break;
        case 2: // delete a run
            s.remove(at, below(16));
            break;
        case 3: // repeat a run, sometimes far past the line limit
            s.insert(at, s.mid(at, 1 + below(32)).repeated(below(8) == 0 ? 1 + below(600) : 1 + below(4)));
            break;
        case 4: // splice with another seed
            s = s.left(at) + kSeeds.at(below(int(kSeeds.size()))).mid(below(20));
            break;
        case 5:
            s.insert(at, char(below(256)));
            break;
        default: // cut
            s.truncate(at);
            break;
        }
    }
    return s;
}

QByteArray randomBytes()
{
    QByteArray s;
    const int n = below(4) == 0 ? below(10000) : below(120);
    for (int i = 0; i < n; ++i)
        s.append(below(3) == 0 ? char(32 + below(95)) : char(below(256)));
    return s;
}

QByteArray plain(const char* status, const QByteArray& body)
{
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QString randomText()
{
    QString t;
    const int n = below(12);
    for (int i = 0; i < n; ++i)
        t.append(QChar(char16_t(below(4) == 0 ? below(0x10000) : below(128))));
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? std::atoll(argv[1]) : 1000000;
    rng.seed(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20260314);

    const QByteArray ok = plain("200 OK", "OK");
    const QByteArray usage = plain("400 Bad Request", "Use ?pass=...&cmd=... or ?pass=...&action=playbackinfo");
    const QByteArray unknown = plain("400 Bad Request", "Unknown command or action");
    const QByteArray forbidden = plain("403 Forbidden", "Invalid password");
    const QByteArray needsPassword = plain("403 Forbidden", "This command needs an API password");
    const QByteArray xmlHead = "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: ";

    RemoteApi api;
    QStringList commands;
    PlaybackInfo fill;
    QObject::connect(&api, &RemoteApi::commandRequested, [&](const QString& c) { commands << c; });
    QObject::connect(&api, &RemoteApi::playbackInfoRequested, [&](PlaybackInfo* info) { *info = fill; });

    // A request that never returns stops the run with a message.
    std::atomic<qint64> done{0};
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        qint64 last = -1;
        while (!finished) {
            for (int i = 0; i < 100 && !finished; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!finished && done == last) {
                std::fprintf(stderr, "no progress for 10 s at request %lld\n", last);
                std::abort();
            }
            last = done;
        }
    });

    qint64 counts[8] = {};
    const char* names[8] = {"OK (command)", "playback info", "usage", "unknown", "bad password",
                            "needs a password", "line never ended", "line too long"};
    qint64 slowestNs = 0;
    QElapsedTimer total;
    total.start();
    for (qint64 i = 0; i < count; ++i) {
        const QByteArray input = below(3) == 0 ? randomBytes() : mutate(kSeeds.at(below(int(kSeeds.size()))));
        const QString password = below(2) ? QStringLiteral("pw") : QString();
        const QString username = below(4) == 0 ? QStringLiteral("studio") : QString();
        fill.title = randomText();
        fill.artist = randomText();
        commands.clear();

        QElapsedTimer one;
        one.start();
        // Buffered as the server buffers it, arriving in random pieces.
        QByteArray received;
        QByteArray line;
        RemoteApi::LineState state = RemoteApi::LineState::Incomplete;
        for (qsizetype at = 0; at < input.size() && state == RemoteApi::LineState::Incomplete;) {
            const qsizetype piece = 1 + below(input.size() < 64 ? 64 : 2048);
            received.append(input.mid(at, piece).left(RemoteApi::kMaxRequestLine + 1 - received.size()));
            at += piece;
            state = RemoteApi::requestLine(received, &line);
        }
        QByteArray answer;
        if (state == RemoteApi::LineState::Complete)
            answer = api.answer(line, password, username);
        slowestNs = std::max(slowestNs, one.nsecsElapsed());

        int kind = -1;
        if (state == RemoteApi::LineState::Incomplete)
            kind = 6;
        else if (state == RemoteApi::LineState::TooLong)
            kind = 7;
        else if (answer == ok)
            kind = 0;
        else if (answer.startsWith(xmlHead)) {
            const qsizetype split = answer.indexOf("\r\n\r\n");
            const QByteArray body = answer.mid(split + 4);
            QXmlStreamReader xml(body);
            while (!xml.atEnd())
                xml.readNext();
            if (answer.mid(xmlHead.size(), split - xmlHead.size())
                    == QByteArray::number(body.size()) + "\r\nConnection: close"
                && !xml.hasError())
                kind = 1;

        } else if (answer == usage)
            kind = 2;
        else if (answer == unknown)
            kind = 3;
        else if (answer == forbidden)
            kind = 4;
        else if (answer == needsPassword)
            kind = 5;

        // A command runs exactly when the answer says OK, and only one the
        // API may run.
        bool consistent = kind >= 0 && (kind == 0) == (commands.size() == 1) && commands.size() <= 1;
        if (consistent && kind == 0) {
            const SchedulerCommand c = SchedulerCommand::parse(commands.first());
            consistent = c.known && c.raw == commands.first() && c.verb != QLatin1String("getrandomplaylist")
                && (!password.isEmpty() || (c.verb != QLatin1String("run") && c.verb != QLatin1String("reboot")
                                            && c.verb != QLatin1String("poweroff")));
        }
        if (!consistent) {
            std::fprintf(stderr, "request %lld: unexpected answer\n--- input ---\n%s\n--- answer ---\n%s\n", i,
                         input.toPercentEncoding(" /?&=").constData(), answer.constData());
            finished = true;
            watchdog.join();
            return 1;
        }
        ++counts[kind];
        ++done;
    }
    finished = true;
    watchdog.join();

    const double seconds = total.nsecsElapsed() / 1e9;
    std::printf("%lld requests in %.1f s (%.1f µs each, slowest %.2f ms), all answered as expected:\n", count, seconds,
                seconds * 1e6 / double(count), slowestNs / 1e6);
    for (int k = 0; k < 8; ++k)
        std::printf("  %-18s %lld\n", names[k], counts[k]);

    // The password check takes as long whichever byte is wrong.
    const QString secret = QStringLiteral("correct-horse-battery-staple-0123456789");
    std::printf("password check, %lld characters:\n", qint64(secret.size()));
    for (const auto& [label, guess] : {std::pair{"wrong first byte", QStringLiteral("X") + secret.mid(1)},
                                       std::pair{"wrong last byte", secret.chopped(1) + QStringLiteral("X")},
                                       std::pair{"right", secret}}) {
        RemoteApi::Request request;
        request.valid = true;
        request.query.insert(QStringLiteral("pass"), guess);
        request.query.insert(QStringLiteral("action"), QStringLiteral("playbackinfo"));
        QElapsedTimer timer;
        timer.start();
        int outcome = 0;
        for (int r = 0; r < 1000000; ++r)
            outcome += RemoteApi::classify(request, secret, nullptr, nullptr, QString());
        std::printf("  %-17s %.1f ns (outcome %d)\n", label, timer.nsecsElapsed() / 1e6, outcome / 1000000);
    }
    return 0;
}
