// The library manager: the music library window on its own, on the same
// settings and library.db as the playout program.
#include "dialogs/library/musiclibrarydialog.h"
#include "library/musiclibrary.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    app.setWindowIcon(QIcon(QStringLiteral(":/appicon.png")));
    MusicLibrary::initDatabase();

    MusicLibraryDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Orchidlantern — Library Manager"));
    dialog.makeTopLevelWindow();
    dialog.resize(960, 620);
    dialog.show();
    return app.exec();
}
