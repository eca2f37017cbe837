#include "dialogs/teaserdialog.h"
#include "library/audiofiles.h"

#include "automation/teaser.h"
#include "dialogs/library/voicetrackdialog.h"
#include "dialogs/prompts.h"
#include "engine/playlistmodel.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

TeaserDialog::TeaserDialog(PlaylistModel* onAir, std::function<int()> currentRow, QWidget* parent)
    : QDialog(parent)
    , m_onAir(onAir)
    , m_currentRow(std::move(currentRow))
    , m_config(Teaser::configFromSettings())
{
    setWindowTitle(QStringLiteral("Add teaser"));
    setMinimumWidth(480);
    auto* layout = new QVBoxLayout(this);
    auto* about = new QLabel(QStringLiteral("Builds a teaser from the tracks coming up next: an optional start "
                                            "jingle, a hook from each track separated by an optional transition, "
                                            "and an optional ending jingle."));
    about->setWordWrap(true);
    layout->addWidget(about);

    auto* grid = new QGridLayout;
    const QString jingleLabels[3] = {QStringLiteral("Start jingle:"), QStringLiteral("Transition:"),
                                     QStringLiteral("Ending jingle:")};
    const QString jingleTexts[3] = {m_config.startJingle, m_config.transitionJingle, m_config.endJingle};
    for (int i = 0; i < 3; ++i) {
        grid->addWidget(new QLabel(jingleLabels[i]), i, 0);
        m_jingles[i] = new QLineEdit(jingleTexts[i]);
        m_jingles[i]->setPlaceholderText(QStringLiteral("(none)"));
        grid->addWidget(m_jingles[i], i, 1);
        auto* browse = new QPushButton(QStringLiteral("..."));
        browse->setMaximumWidth(32);
        grid->addWidget(browse, i, 2);
        QLineEdit* edit = m_jingles[i];
        connect(browse, &QPushButton::clicked, this, [this, edit] {
            const QString file = Prompts::openFileName(this, QStringLiteral("Jingle"), QString(),
                                                       AudioFiles::dialogFilter(QStringLiteral("Audio")));
            if (!file.isEmpty())
                edit->setText(file);
        });
    }
    grid->addWidget(new QLabel(QStringLiteral("Tracks to feature:")), 3, 0);
    m_tracks = new QSpinBox;
    m_tracks->setRange(1, 10);
    m_tracks->setValue(m_config.maxTracks);
    grid->addWidget(m_tracks, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("AutoHook length:")), 4, 0);
    m_hookSecs = new QSpinBox;
    m_hookSecs->setRange(1, 20);
    m_hookSecs->setSuffix(QStringLiteral(" sec"));
    m_hookSecs->setValue(m_config.autoHookMs / 1000);
    m_hookSecs->setToolTip(QStringLiteral("Used when a track has no Hook In/Out marks. The manual limits hooks to "
                                          "under 21 seconds."));
    grid->addWidget(m_hookSecs, 4, 1);
    layout->addLayout(grid);

    layout->addWidget(new QLabel(QStringLiteral("Teaser contents:")));
    m_preview = new QListWidget;
    m_preview->setObjectName(QStringLiteral("teaserPreview"));
    m_preview->setMaximumHeight(140);
    layout->addWidget(m_preview);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_build = new QPushButton(QStringLiteral("Build and insert"));
    m_build->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    buttons->addWidget(m_build);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    for (QLineEdit* edit : m_jingles)
        connect(edit, &QLineEdit::textChanged, this, &TeaserDialog::refresh);
    connect(m_tracks, &QSpinBox::valueChanged, this, &TeaserDialog::refresh);
    connect(m_hookSecs, &QSpinBox::valueChanged, this, &TeaserDialog::refresh);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_build, &QPushButton::clicked, this, &TeaserDialog::buildAndInsert);
    refresh();
}

void TeaserDialog::refresh()
{
    m_config.startJingle = m_jingles[0]->text().trimmed();
    m_config.transitionJingle = m_jingles[1]->text().trimmed();
    m_config.endJingle = m_jingles[2]->text().trimmed();
    m_config.maxTracks = m_tracks->value();
    m_config.autoHookMs = m_hookSecs->value() * 1000;
    m_preview->clear();
    for (const TeaserPiece& piece : Teaser::plan(Teaser::upcoming(*m_onAir, m_currentRow()), m_config))
        m_preview->addItem((piece.kind == TeaserPiece::Hook ? QStringLiteral("[hook] ") : QStringLiteral("[jingle] "))
                           + piece.label);
    if (m_preview->count() == 0)
        m_preview->addItem(QStringLiteral("(no eligible upcoming tracks)"));
}

void TeaserDialog::buildAndInsert()
{
    const QList<TeaserPiece> pieces = Teaser::plan(Teaser::upcoming(*m_onAir, m_currentRow()), m_config);
    if (pieces.isEmpty()) {
        Prompts::information(this, QStringLiteral("Add teaser"), QStringLiteral("There are no eligible upcoming tracks."));
        return;
    }
    const QString file = Prompts::saveFileName(this, QStringLiteral("Save teaser as"),
                                               VoiceTrackDialog::voiceTrackFolder() + QStringLiteral("/teaser.mp3"),
                                               QStringLiteral("MP3 (*.mp3);;WAV (*.wav)"));
    if (file.isEmpty())
        return;
    Teaser::saveConfig(m_config);
    m_build->setEnabled(false);
    bool built = false;
    {
        Teaser teaser;
        connect(&teaser, &Teaser::logMessage, this, &TeaserDialog::logMessage);
        built = teaser.build(pieces, file, m_config.crossfadeMs);
    }
    m_build->setEnabled(true);
    if (!built) {
        Prompts::warning(this, QStringLiteral("Add teaser"), QStringLiteral("Could not build the teaser."));
        return;
    }
    Track row;
    row.filePath = file;
    row.artist = QStringLiteral("Teaser");
    row.title = QFileInfo(file).completeBaseName();
    m_onAir->insertTrack(qMax(m_currentRow() + 1, 0), row);
    emit logMessage(QStringLiteral("Teaser added: ") + QFileInfo(file).fileName());
    accept();
}
