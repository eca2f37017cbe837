#include "playoutstartup.h"

#include "library/musiclibrary.h"
#include "mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QIcon>

#ifdef __GLIBC__
#include <malloc.h>
#endif

void PlayoutStartup::prepareEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
#ifdef __GLIBC__
    // Decoder threads come and go with every track; by default each new one
    // may get a malloc arena of its own, and the memory they leave behind
    // makes the program grow through a night. A setting in the environment
    // is left to rule.
    if (qEnvironmentVariableIsEmpty("MALLOC_ARENA_MAX"))
        mallopt(M_ARENA_MAX, 2);
#endif
}

void PlayoutStartup::configureApplication(QApplication& app)
{
    QApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    app.setWindowIcon(QIcon(QStringLiteral(":/appicon.png")));
}

bool PlayoutStartup::applyStyleSheet(QApplication& app)
{
    QFile f(QStringLiteral(":/style.qss"));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    app.setStyleSheet(QString::fromUtf8(f.readAll()));
    return true;
}

int PlayoutStartup::run(int argc, char** argv)
{
    prepareEnvironment();
    QApplication app(argc, argv);
    return start(app, QApplication::arguments().mid(1));
}

int PlayoutStartup::start(QApplication& app, const QStringList& paths)
{
    configureApplication(app);
    MusicLibrary::initDatabase();
    applyStyleSheet(app);

    MainWindow window;
    if (!paths.isEmpty())
        window.addPaths(paths);
    window.show();
    window.maybeResumePlayback();
    return app.exec();
}
