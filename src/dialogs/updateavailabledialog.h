#pragma once

#include <QDialog>
#include <QString>

struct UpdateInfo;

// Tells of a newer version: its notes, and a choice to download it, to be
// reminded later or (unless the update is critical) to skip that version.
class UpdateAvailableDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UpdateAvailableDialog(const UpdateInfo& info, QWidget* parent = nullptr);

signals:
    // A web address the operator chose to open.
    void openAddress(const QString& address);
    void logMessage(const QString& text);
};
