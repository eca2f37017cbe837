#include "dialogs/aboutdialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Orchidlantern"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 22, 28, 18);
    layout->setSpacing(6);
    auto centred = [layout](QLabel* label) {
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label);
        return label;
    };
    auto* logo = centred(new QLabel);
    logo->setPixmap(QPixmap(QStringLiteral(":/logo.png")).scaledToWidth(360, Qt::SmoothTransformation));
    layout->addSpacing(8);
    centred(new QLabel(QStringLiteral("<b>Version %1</b>").arg(QStringLiteral("1.0.0"))));
    centred(new QLabel(QStringLiteral("Radio automation and playout: two decks, cart walls, a scheduler, remote "
                                      "control and streaming for a station run live or on its own.")))
        ->setWordWrap(true);
    layout->addSpacing(10);
    centred(new QLabel(QStringLiteral("© 2026 The Orchidlantern developers. All rights reserved.")));
    layout->addSpacing(8);
    QLabel* links = centred(new QLabel(QStringLiteral("<a href=\"https://orchidlantern.example.org/\">Website</a>"
                                                      " &nbsp;·&nbsp; "
                                                      "<a href=\"https://orchidlantern.example.org/help\">Help</a>")));
    links->setTextFormat(Qt::RichText);
    links->setOpenExternalLinks(true);
    layout->addSpacing(12);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);
    ok->setMinimumWidth(80);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(ok);
    layout->addLayout(row);
}
