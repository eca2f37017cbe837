#pragma once

#include <QMainWindow>

// The playout program's one window; it creates, owns and wires the services.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
};
