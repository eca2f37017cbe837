#include "dialogs/renderplaylistdialog.h"

#include "dialogs/prompts.h"
#include "engine/audiorender.h"
#include "engine/playlistmodel.h"
#include "library/appsettings.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

RenderPlaylistDialog::RenderPlaylistDialog(PlaylistModel* playlist, QWidget* parent)
    : QDialog(parent), m_playlist(playlist)
{
    setWindowTitle(QStringLiteral("Render playlist"));
    setMinimumWidth(420);
    auto* layout = new QVBoxLayout(this);
    auto* note = new QLabel(QStringLiteral("Renders the playlist to a single audio file, applying crossfades and per-track levels."));
    note->setWordWrap(true);
    layout->addWidget(note);

    auto* grid = new QGridLayout;
    m_format = new QComboBox;
    m_format->setObjectName(QStringLiteral("format"));
    if (AudioRender::mp3Available())
        m_format->addItem(QStringLiteral("MP3"), QStringLiteral("mp3"));
    m_format->addItem(QStringLiteral("WAV (16-bit PCM)"), QStringLiteral("wav"));
    m_bitrate = new QComboBox;
    m_bitrate->setObjectName(QStringLiteral("bitrate"));
    m_bitrate->addItems({QStringLiteral("128"), QStringLiteral("192"), QStringLiteral("256"), QStringLiteral("320")});
    m_bitrate->setCurrentText(QStringLiteral("192"));
    m_crossfade = new QSpinBox;
    m_crossfade->setObjectName(QStringLiteral("crossfade"));
    m_crossfade->setRange(0, 20000);
    m_crossfade->setSingleStep(250);
    m_crossfade->setSuffix(QStringLiteral(" ms"));
    m_crossfade->setValue(Setting::CrossfadeEnabled.read() ? Setting::MixPointMs.readInt() : 0);
    grid->addWidget(new QLabel(QStringLiteral("Format:")), 0, 0);
    grid->addWidget(m_format, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Bitrate:")), 1, 0);
    grid->addWidget(m_bitrate, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Crossfade:")), 2, 0);
    grid->addWidget(m_crossfade, 2, 1);
    layout->addLayout(grid);

    m_progress = new QProgressBar;
    m_progress->setRange(0, 100);
    layout->addWidget(m_progress);
    m_status = new QLabel;
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setStyleSheet(QStringLiteral("color:#666;"));
    layout->addWidget(m_status);

    auto* buttons = new QHBoxLayout;
    m_render = new QPushButton(QStringLiteral("Render..."));
    m_render->setDefault(true);
    m_close = new QPushButton(QStringLiteral("Close"));
    buttons->addStretch();
    buttons->addWidget(m_render);
    buttons->addWidget(m_close);
    layout->addLayout(buttons);

    const auto mp3Chosen = [this] {
        m_bitrate->setEnabled(m_format->currentData().toString() == QLatin1String("mp3"));
    };
    mp3Chosen();
    connect(m_format, &QComboBox::currentTextChanged, this, mp3Chosen);
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_render, &QPushButton::clicked, this, &RenderPlaylistDialog::render);
}

void RenderPlaylistDialog::reject()
{
    if (!m_rendering)
        QDialog::reject();
}

void RenderPlaylistDialog::render()
{
    if (!m_playlist)
        return;
    const QString extension = m_format->currentData().toString();
    QString path = Prompts::saveFileName(this, QStringLiteral("Render playlist to"), QString(),
                                         extension == QLatin1String("mp3") ? QStringLiteral("MP3 (*.mp3)")
                                                                           : QStringLiteral("WAV (*.wav)"));
    if (path.isEmpty())
        return;
    if (!path.endsWith(QLatin1Char('.') + extension, Qt::CaseInsensitive))
        path += QLatin1Char('.') + extension;
    const QList<Track> rows = m_playlist->tracks();
    AudioRender renderer;
    connect(&renderer, &AudioRender::logMessage, this, &RenderPlaylistDialog::logMessage);
    connect(&renderer, &AudioRender::progress, this, [this](int percent, const QString& text) {
        m_progress->setValue(percent);
        m_status->setText(text);
    });
    // The window stays live while it renders; the dialog stays until done.
    m_rendering = true;
    m_render->setEnabled(false);
    m_close->setEnabled(false);
    const bool ok = renderer.renderInBackground(rows, path, m_crossfade->value(), m_bitrate->currentText().toInt());
    m_rendering = false;
    m_render->setEnabled(true);
    m_close->setEnabled(true);
    m_status->setText(ok ? QStringLiteral("Finished.") : QStringLiteral("Render failed - see the log."));
    if (ok)
        Prompts::information(this, QStringLiteral("Render playlist"), QStringLiteral("Done: ") + QFileInfo(path).fileName());
}
