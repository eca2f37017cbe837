// A second program on the test's library.db, doing what the playout program
// does beside a running library manager: it searches one library and logs
// plays, until its standard input closes. One line per round on standard
// output: "rows N" (the whole library by search) or "error TEXT" when the
// database refused a statement; at the end "plays N", the plays it logged.
#include "library/musiclibrary.h"
#include "library/playhistory.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    if (argc < 2 || !MusicLibrary::initDatabase())
        return 2;
    MusicLibrary library;
    library.name = QString::fromLocal8Bit(argv[1]);

    int plays = 0;
    auto round = [&] {
        const QList<Track> all = library.search(QString());
        QString error;
        {
            QSqlQuery q(MusicLibrary::database());
            q.prepare(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE library=?"));
            q.addBindValue(library.name);
            if (!q.exec() || !q.next())
                error = q.lastError().text();
        }
        if (!error.isEmpty()) {
            std::printf("error %s\n", qPrintable(error));
        } else {
            std::printf("rows %lld\n", qlonglong(all.size()));
            if (!all.isEmpty()) {
                PlayHistory::logPlay(all.at(plays % all.size()));
                ++plays;
            }
        }
        std::fflush(stdout);
    };

    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &app, round);
    timer.start(0);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            timer.stop();
            round();
            std::printf("plays %d\n", plays);
            std::fflush(stdout);
            app.quit();
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
