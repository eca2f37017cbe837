// Standard error taken over as the playout program takes it, for tests of
// what reaches the real one. "exit": lines written every way a program
// writes them, just before it ends, the last without its end. "fill": a log
// line every few milliseconds, files limited to 64 KB (as a full disk
// refuses writes), until standard input closes; then a last one.
#include "mainwindow/stderrlog.h"

#include <QString>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    StderrLog::takeOver();
    if (argc > 1 && std::strcmp(argv[1], "exit") == 0) {
        for (int i = 0; i < 50; ++i)
            std::fprintf(stderr, "descriptor line %d\n", i);
        qWarning("message line");
        StderrLog::write(QStringLiteral("log line"));
        std::fprintf(stderr, "last words without an end");
        return 0;
    }
    // A write past the limit then fails with EFBIG instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    for (int i = 0;; ++i) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        char byte;
        if (::poll(&input, 1, 5) > 0 && ::read(STDIN_FILENO, &byte, 1) <= 0)
            break;
        StderrLog::write(QStringLiteral("tick %1").arg(i));
    }
    StderrLog::write(QStringLiteral("last tick"));
    return 0;
}
