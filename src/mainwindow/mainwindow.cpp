#include "mainwindow.h"

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Orchidlantern (1.0.0)"));
    setAcceptDrops(true);
    resize(1180, 720);
}
