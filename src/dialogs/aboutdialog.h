#pragma once

#include <QDialog>

// The program's logo, version, purpose, copyright and web links.
class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
