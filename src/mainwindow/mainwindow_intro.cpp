// Automatic intros in front of the coming track, their rule editor, and
// teasers of the upcoming tracks.
#include "mainwindow.h"

#include "automation/autointro.h"
#include "automation/teaser.h"
#include "dialogs/library/autointrodialog.h"
#include "dialogs/library/voicetrackdialog.h"
#include "dialogs/prompts.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"

#include <QDateTime>
#include <QDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSpinBox>
#include <QVBoxLayout>

void MainWindow::maybeInsertAutoIntro(int row)
{
    if (!m_autoIntro || !m_onAir)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    AutoIntro::Intro intro = m_autoIntro->introFor(*m_onAir, row, nowPlayingCategory, now, *QRandomGenerator::global());
    if (intro.rule < 0)
        return;
    loadTrackMetadata(intro.jingle);
    m_onAir->insertTrack(row, intro.jingle);
    if (intro.mixPointMs > 0)
        m_onAir->setSegueOverrides(row, {TrackParams::SegueOverride{intro.mixPointMs, -1}});
    m_autoIntro->markUsed(intro.rule, now);
    appendLog(QStringLiteral("Auto Intro (%1): %2")
                  .arg(m_autoIntro->rules.at(intro.rule).name, QFileInfo(intro.jingle.filePath).fileName()));
}

void MainWindow::openAutoIntro()
{
    AutoIntroDialog dialog(this);
    if (Prompts::exec(dialog) != QDialog::Accepted || !m_autoIntro)
        return;
    m_autoIntro->load();
    appendLog(m_autoIntro->enabled ? QStringLiteral("Auto Intro: enabled") : QStringLiteral("Auto Intro: disabled"));
}

void MainWindow::addTeaser()
{
    // The teaser announces what comes next on air, whichever playlist is shown.
    if (!m_onAir)
        return;
    if (m_engine && m_engine->isShuffle()) {
        Prompts::information(this, QStringLiteral("Add teaser"),
                             QStringLiteral("Teasers of upcoming tracks need Shuffle turned off, because the "
                                            "running order would not be known."));
        return;
    }
    TeaserConfig config = Teaser::configFromSettings();
    auto currentRow = [this] { return m_engine ? m_engine->currentRow() : -1; };

    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Add teaser"));
    dialog.setMinimumWidth(480);
    auto* layout = new QVBoxLayout(&dialog);
    auto* about = new QLabel(QStringLiteral("Builds a teaser from the tracks coming up next: an optional start "
                                            "jingle, a hook from each track separated by an optional transition, "
                                            "and an optional ending jingle."));
    about->setWordWrap(true);
    layout->addWidget(about);

    auto* grid = new QGridLayout;
    QLineEdit* jingles[3] = {};
    const QString jingleLabels[3] = {QStringLiteral("Start jingle:"), QStringLiteral("Transition:"),
                                     QStringLiteral("Ending jingle:")};
    const QString jingleTexts[3] = {config.startJingle, config.transitionJingle, config.endJingle};
    for (int i = 0; i < 3; ++i) {
        grid->addWidget(new QLabel(jingleLabels[i]), i, 0);
        jingles[i] = new QLineEdit(jingleTexts[i]);
        jingles[i]->setPlaceholderText(QStringLiteral("(none)"));
        grid->addWidget(jingles[i], i, 1);
        auto* browse = new QPushButton(QStringLiteral("..."));
        browse->setMaximumWidth(32);
        grid->addWidget(browse, i, 2);
        QLineEdit* edit = jingles[i];
        connect(browse, &QPushButton::clicked, &dialog, [&dialog, edit] {
            const QString file = Prompts::openFileName(&dialog, QStringLiteral("Jingle"), QString(),
                                                       QStringLiteral("Audio (*.mp3 *.wav *.flac *.ogg *.m4a)"));
            if (!file.isEmpty())
                edit->setText(file);
        });
    }
    grid->addWidget(new QLabel(QStringLiteral("Tracks to feature:")), 3, 0);
    auto* tracks = new QSpinBox;
    tracks->setRange(1, 10);
    tracks->setValue(config.maxTracks);
    grid->addWidget(tracks, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("AutoHook length:")), 4, 0);
    auto* hookSecs = new QSpinBox;
    hookSecs->setRange(1, 20);
    hookSecs->setSuffix(QStringLiteral(" sec"));
    hookSecs->setValue(config.autoHookMs / 1000);
    hookSecs->setToolTip(QStringLiteral("Used when a track has no Hook In/Out marks. The manual limits hooks to "
                                        "under 21 seconds."));
    grid->addWidget(hookSecs, 4, 1);
    layout->addLayout(grid);

    layout->addWidget(new QLabel(QStringLiteral("Teaser contents:")));
    auto* preview = new QListWidget;
    preview->setObjectName(QStringLiteral("teaserPreview"));
    preview->setMaximumHeight(140);
    layout->addWidget(preview);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* build = new QPushButton(QStringLiteral("Build and insert"));
    build->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    buttons->addWidget(build);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    auto refresh = [&] {
        config.startJingle = jingles[0]->text().trimmed();
        config.transitionJingle = jingles[1]->text().trimmed();
        config.endJingle = jingles[2]->text().trimmed();
        config.maxTracks = tracks->value();
        config.autoHookMs = hookSecs->value() * 1000;
        preview->clear();
        for (const TeaserPiece& piece : Teaser::plan(Teaser::upcoming(*m_onAir, currentRow()), config))
            preview->addItem((piece.kind == TeaserPiece::Hook ? QStringLiteral("[hook] ") : QStringLiteral("[jingle] "))
                             + piece.label);
        if (preview->count() == 0)
            preview->addItem(QStringLiteral("(no eligible upcoming tracks)"));
    };
    for (QLineEdit* edit : jingles)
        connect(edit, &QLineEdit::textChanged, &dialog, refresh);
    connect(tracks, &QSpinBox::valueChanged, &dialog, refresh);
    connect(hookSecs, &QSpinBox::valueChanged, &dialog, refresh);
    connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    connect(build, &QPushButton::clicked, &dialog, [&] {
        const QList<TeaserPiece> pieces = Teaser::plan(Teaser::upcoming(*m_onAir, currentRow()), config);
        if (pieces.isEmpty()) {
            Prompts::information(&dialog, QStringLiteral("Add teaser"),
                                 QStringLiteral("There are no eligible upcoming tracks."));
            return;
        }
        const QString file = Prompts::saveFileName(&dialog, QStringLiteral("Save teaser as"),
                                                   VoiceTrackDialog::voiceTrackFolder() + QStringLiteral("/teaser.mp3"),
                                                   QStringLiteral("MP3 (*.mp3);;WAV (*.wav)"));
        if (file.isEmpty())
            return;
        Teaser::saveConfig(config);
        build->setEnabled(false);
        bool built = false;
        {
            Teaser teaser;
            connect(&teaser, &Teaser::logMessage, this, &MainWindow::appendLog);
            built = teaser.build(pieces, file, config.crossfadeMs);
        }
        build->setEnabled(true);
        if (!built) {
            Prompts::warning(&dialog, QStringLiteral("Add teaser"), QStringLiteral("Could not build the teaser."));
            return;
        }
        Track row;
        row.filePath = file;
        row.artist = QStringLiteral("Teaser");
        row.title = QFileInfo(file).completeBaseName();
        m_onAir->insertTrack(qMax(currentRow() + 1, 0), row);
        appendLog(QStringLiteral("Teaser added: ") + QFileInfo(file).fileName());
        dialog.accept();
    });

    refresh();
    Prompts::exec(dialog);
}
