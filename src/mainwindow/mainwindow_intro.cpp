// Automatic intros in front of the coming track, their rule editor, and
// teasers of the upcoming tracks.
#include "mainwindow.h"

#include "automation/autointro.h"
#include "dialogs/library/autointrodialog.h"
#include "dialogs/prompts.h"
#include "dialogs/teaserdialog.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/pathgate.h"

#include <QDateTime>
#include <QDialog>
#include <QFileInfo>
#include <QRandomGenerator>

void MainWindow::maybeInsertAutoIntro(int row)
{
    if (!m_autoIntro || !m_onAir)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    AutoIntro::Intro intro = m_autoIntro->introFor(*m_onAir, row, nowPlayingCategory, now, *QRandomGenerator::global());
    if (intro.rule < 0)
        return;
    const QString& file = intro.jingle.filePath;
    if (const QString refusal = PathGate::refusal(file, PathGate::Kind::Audio); !refusal.isEmpty()) {
        appendLog(QStringLiteral("Auto Intro (%1): not inserted: %2 %3")
                      .arg(m_autoIntro->rules.at(intro.rule).name, file, refusal));
        return;
    }
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
    TeaserDialog dialog(m_onAir, [this] { return m_engine ? m_engine->currentRow() : -1; }, this);
    connect(&dialog, &TeaserDialog::logMessage, this, &MainWindow::appendLog);
    Prompts::exec(dialog);
}
