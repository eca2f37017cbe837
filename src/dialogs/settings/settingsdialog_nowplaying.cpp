#include "dialogs/settings/settingsdialog.h"

#include "dialogs/prompts.h"
#include "outputs/nowplayingfile.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

// What the preview shows the format with.
Track sampleTrack()
{
    Track t;
    t.artist = QStringLiteral("Velvet Coastline");
    t.title = QStringLiteral("Morning Tide");
    t.album = QStringLiteral("Salt and Silver");
    t.year = 1984;
    t.durationMs = 231000;
    return t;
}

} // namespace

QWidget* SettingsDialog::makeNowPlayingPage()
{
    const NowPlayingFile::Config c = NowPlayingFile::configFromSettings();
    NowPlaying& n = m_nowPlaying;
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Now playing file</b>")));
    layout->addWidget(wrapped(QStringLiteral("Writes the current track to a text file for RDS encoders, web widgets "
                                            "or overlays. The file is written atomically, so a reader never sees a "
                                            "half-written line.")));
    n.enabled = named(new QCheckBox(QStringLiteral("Write a now-playing file")), "nowplaying/enabled");
    n.enabled->setChecked(c.enabled);
    layout->addWidget(n.enabled);

    auto* grid = new QGridLayout;
    n.path = named(new QLineEdit(c.path), "nowplaying/path");
    n.path->setPlaceholderText(QStringLiteral("e.g. C:/RDS/nowplaying.txt"));
    auto* browse = new QPushButton(QStringLiteral("Browse…"));
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString file = Prompts::saveFileName(this, QStringLiteral("Now playing file"),
                                                   m_nowPlaying.path->text(), QStringLiteral("Text files (*.txt)"));
        if (!file.isEmpty())
            m_nowPlaying.path->setText(file);
    });
    grid->addWidget(new QLabel(QStringLiteral("File:")), 0, 0);
    grid->addWidget(n.path, 0, 1);
    grid->addWidget(browse, 0, 2);

    n.format = named(new QLineEdit(c.format), "nowplaying/format");
    n.format->setToolTip(
        QStringLiteral("%artist% %title% %album% %genre% %year% %comment% %filename% %duration% %time% %date%"));
    grid->addWidget(new QLabel(QStringLiteral("Format:")), 1, 0);
    grid->addWidget(n.format, 1, 1, 1, 2);

    n.maxLength = named(new QSpinBox, "nowplaying/maxLength");
    n.maxLength->setRange(0, 256);
    n.maxLength->setSpecialValueText(QStringLiteral("no limit"));
    n.maxLength->setToolTip(QStringLiteral("RDS RadioText is 64 characters."));
    n.maxLength->setValue(c.maxLength);
    grid->addWidget(new QLabel(QStringLiteral("Maximum length:")), 2, 0);
    grid->addWidget(n.maxLength, 2, 1);

    n.padForRds = named(new QCheckBox(QStringLiteral("Pad to the full length (some RDS encoders expect this)")),
                        "nowplaying/padForRds");
    n.padForRds->setChecked(c.padForRds);
    grid->addWidget(n.padForRds, 3, 0, 1, 3);

    n.whenStopped = named(new QLineEdit(c.whenStopped), "nowplaying/whenStopped");
    n.whenStopped->setPlaceholderText(QStringLiteral("(leave blank to empty the file)"));
    grid->addWidget(new QLabel(QStringLiteral("When stopped, write:")), 4, 0);
    grid->addWidget(n.whenStopped, 4, 1, 1, 2);
    layout->addLayout(grid);

    n.preview = named(new QLabel, "nowplaying/preview");
    n.preview->setStyleSheet(QStringLiteral("color:#555; font-family:monospace;"));
    n.preview->setWordWrap(true);
    // Plain text: the line is the user's format, not markup.
    n.preview->setTextFormat(Qt::PlainText);
    layout->addWidget(n.preview);
    layout->addWidget(wrapped(QStringLiteral("<i>When a live stream supplies its own metadata, that is written "
                                                "instead of the playlist entry.</i>")));
    layout->addStretch();

    connect(n.format, &QLineEdit::textChanged, this, &SettingsDialog::updateNowPlayingPreview);
    connect(n.maxLength, &QSpinBox::valueChanged, this, &SettingsDialog::updateNowPlayingPreview);
    connect(n.padForRds, &QCheckBox::toggled, this, &SettingsDialog::updateNowPlayingPreview);
    updateNowPlayingPreview();
    return page;
}

void SettingsDialog::updateNowPlayingPreview()
{
    NowPlayingFile::Config c;
    c.format = m_nowPlaying.format->text();
    c.maxLength = m_nowPlaying.maxLength->value();
    c.padForRds = m_nowPlaying.padForRds->isChecked();
    m_nowPlaying.preview->setText(QStringLiteral("Preview: [") + NowPlayingFile::render(c, sampleTrack(), QString())
                                  + QLatin1Char(']'));
}

void SettingsDialog::saveNowPlaying() const
{
    NowPlayingFile::Config c;
    c.enabled = m_nowPlaying.enabled->isChecked();
    c.path = m_nowPlaying.path->text().trimmed();
    c.format = m_nowPlaying.format->text();
    c.maxLength = m_nowPlaying.maxLength->value();
    c.padForRds = m_nowPlaying.padForRds->isChecked();
    c.whenStopped = m_nowPlaying.whenStopped->text();
    NowPlayingFile::saveConfig(c);
}
