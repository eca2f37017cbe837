#include "dialogs/updateavailabledialog.h"
#include "library/appsettings.h"

#include "outputs/updateinfo.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

UpdateAvailableDialog::UpdateAvailableDialog(const UpdateInfo& info, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Update available"));
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(info.critical
                                   ? QStringLiteral("<b style='color:#c0392b;'>Important update available: Orchidlantern %1</b>")
                                         .arg(info.latestVersion.toHtmlEscaped())
                                   : QStringLiteral("<b>Orchidlantern %1 is available</b>").arg(info.latestVersion.toHtmlEscaped()));
    heading->setTextFormat(Qt::RichText);
    layout->addWidget(heading);
    auto* running = new QLabel(QStringLiteral("You are running ") + QApplication::applicationVersion() + QLatin1Char('.'));
    running->setTextFormat(Qt::PlainText);
    layout->addWidget(running);
    if (!info.releaseDate.isEmpty()) {
        auto* released = new QLabel(QStringLiteral("Released ") + info.releaseDate);
        released->setTextFormat(Qt::PlainText);
        layout->addWidget(released);
    }
    if (!info.notes.isEmpty()) {
        auto* notes = new QPlainTextEdit(info.notes);
        notes->setReadOnly(true);
        notes->setMaximumHeight(140);
        layout->addWidget(notes);
    }
    if (!info.notesUrl.isEmpty()) {
        auto* link = new QLabel(QStringLiteral("<a href=\"%1\">Full release notes</a>").arg(info.notesUrl.toHtmlEscaped()));
        link->setTextFormat(Qt::RichText);
        connect(link, &QLabel::linkActivated, this, [this, url = info.notesUrl] { emit openAddress(url); });
        layout->addWidget(link);
    }
    auto* buttons = new QHBoxLayout;
    if (!info.critical) {
        auto* skip = new QPushButton(QStringLiteral("Skip This Version"));
        connect(skip, &QPushButton::clicked, this, [this, version = info.latestVersion] {
            Setting::UpdatesSkippedVersion.write(version);
            emit logMessage(QStringLiteral("Skipped update ") + version);
            reject();
        });
        buttons->addWidget(skip);
    }
    buttons->addStretch();
    auto* later = new QPushButton(QStringLiteral("Later"));
    connect(later, &QPushButton::clicked, this, &QDialog::reject);
    auto* download = new QPushButton(QStringLiteral("Download…"));
    download->setDefault(true);
    connect(download, &QPushButton::clicked, this, [this, url = info.downloadUrl] {
        if (!url.isEmpty())
            emit openAddress(url);
        accept();
    });
    buttons->addWidget(later);
    buttons->addWidget(download);
    layout->addLayout(buttons);
}
