#include "playoutstartup.h"

#include "dialogs/prompts.h"
#include "library/musiclibrary.h"
#include "mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QTimer>

void PlayoutStartup::prepareEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
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
    // Told once the window is up, without holding up the air.
    if (const QString problem = MusicLibrary::databaseProblem(); !problem.isEmpty()) {
        window.appendLog(problem);
        QTimer::singleShot(0, &window, [&window, problem] {
            Prompts::warning(&window, QStringLiteral("Library database"), problem);
        });
    }
    return app.exec();
}
