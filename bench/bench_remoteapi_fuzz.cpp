// A seeded run of random and mutated requests through the remote API's
// request handling, checked by the fuzz target's own check (which stops the
// run on an answer the API does not give), with the speed and the spread of
// the answers. Usage: bench_remoteapi_fuzz [count] [seed]
#include "automation/remoteapi.h"
#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

// In fuzz/fuzz_remoteapi.cpp.
int remoteApiAnswerKind(const QByteArray& request, quint8 variant);

namespace {

std::mt19937_64 rng;

int below(int n)
{
    return int(std::uniform_int_distribution<int>(0, n - 1)(rng));
}

QList<QByteArray> seeds; // the fuzz target's, without their variant byte

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
            s = s.left(at) + seeds.at(below(int(seeds.size()))).mid(below(20));
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? std::atoll(argv[1]) : 1000000;
    rng.seed(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20260314);

    for (const QByteArray& seed : olFuzzSeeds())
        seeds << seed.mid(1);

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
        const QByteArray input = below(3) == 0 ? randomBytes() : mutate(seeds.at(below(int(seeds.size()))));
        QElapsedTimer one;
        one.start();
        const int kind = remoteApiAnswerKind(input, quint8(below(256)));
        slowestNs = std::max(slowestNs, one.nsecsElapsed());
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
