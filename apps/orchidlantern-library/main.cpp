// The library manager: the music library window on its own, on the same
// settings and library.db as the playout program.
#include "dialogs/library/musiclibrarydialog.h"
#include "dialogs/prompts.h"
#include "engine/mediabackend.h"
#include "library/librarywriter.h"
#include "library/musiclibrary.h"
#include "mainwindow/stderrlog.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

int main(int argc, char** argv)
{
    // Its previews and imports decode audio as the playout does.
    StderrLog::takeOver();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    app.setWindowIcon(QIcon(QStringLiteral(":/appicon.png")));
    MediaBackend::preferFixedPlugin();
    MusicLibrary::initDatabase();
    // Every write of the window goes through it, off the window's thread.
    LibraryWriter writer;

    MusicLibraryDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Orchidlantern — Library Manager"));
    dialog.makeTopLevelWindow();
    dialog.resize(960, 620);
    dialog.show();
    if (const QString problem = MusicLibrary::databaseProblem(); !problem.isEmpty())
        QTimer::singleShot(0, &dialog, [&dialog, problem] {
            Prompts::warning(&dialog, QStringLiteral("Library database"), problem);
        });
    return app.exec();
}
