// Hot keys: the operator's keys for the actions of a live show, bound
// application-wide so they also work while a tool window is active.
#include "mainwindow.h"

#include "automation/hotkeys.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/trackparams.h"
#include "outputs/streamarchive.h"

#include <QItemSelectionModel>
#include <QLineEdit>
#include <QShortcut>
#include <QSlider>
#include <QTabWidget>
#include <QTableView>

void MainWindow::applyHotKeys()
{
    // Old shortcuts may be the sender of the key press that led here.
    for (QShortcut* s : std::as_const(hotKeyShortcuts))
        s->deleteLater();
    hotKeyShortcuts.clear();

    auto bind = [this](const QString& id, std::function<void()> operation) {
        const QKeySequence key = HotKeys::shortcut(id);
        if (key.isEmpty())
            return;
        auto* shortcut = new QShortcut(key, this);
        shortcut->setContext(Qt::ApplicationShortcut);
        connect(shortcut, &QShortcut::activated, this, std::move(operation));
        hotKeyShortcuts.append(shortcut);
    };
    auto volumeBy = [this](int step) {
        if (m_volumeSlider)
            m_volumeSlider->setValue(qBound(0, m_volumeSlider->value() + step, 100));
    };

    bind(QStringLiteral("play"), [this] { m_engine->play(); });
    bind(QStringLiteral("pause"), [this] { m_engine->togglePause(); });
    bind(QStringLiteral("stop"), [this] { m_engine->stop(); });
    bind(QStringLiteral("next"), [this] { m_engine->next(); });
    bind(QStringLiteral("previous"), [this] { m_engine->previous(); });
    bind(QStringLiteral("fadeout"), [this] { runSchedulerCommand(QStringLiteral("fadeout 2000")); });
    bind(QStringLiteral("shuffle"), [this] {
        m_engine->setShuffle(!m_engine->isShuffle());
        appendLog(m_engine->isShuffle() ? QStringLiteral("Shuffle: on") : QStringLiteral("Shuffle: off"));
    });
    bind(QStringLiteral("seekback"), [this] { m_engine->setPosition(qMax<qint64>(m_engine->position() - 10000, 0)); });
    bind(QStringLiteral("seekforward"), [this] { m_engine->setPosition(m_engine->position() + 10000); });
    bind(QStringLiteral("volup"), [volumeBy] { volumeBy(5); });
    bind(QStringLiteral("voldown"), [volumeBy] { volumeBy(-5); });
    bind(QStringLiteral("mic"), [this] { toggleInput(m_mic); });
    bind(QStringLiteral("linein"), [this] { toggleInput(m_lineIn); });
    bind(QStringLiteral("broadcast"), [this] { toggleBroadcast(); });
    bind(QStringLiteral("record"), [this] {
        if (!m_archive)
            return;
        if (m_archive->isRecording()) {
            m_archive->stop();
            return;
        }
        // A stop-after time left by an earlier command does not carry over.
        m_archive->setConfig(StreamArchive::configFromSettings());
        m_archive->start();
    });
    for (int n = 1; n <= 10; ++n)
        bind(QStringLiteral("rate%1").arg(n), [this, n] { rateOnAirTrack(n); });
    bind(QStringLiteral("rateclear"), [this] { rateOnAirTrack(0); });
    bind(QStringLiteral("search"), [this] {
        if (m_leftTabs && !m_leftPanels.isEmpty())
            m_leftTabs->setCurrentWidget(m_leftPanels.first());
        if (m_searchBox) {
            m_searchBox->setFocus(Qt::OtherFocusReason);
            m_searchBox->selectAll();
        }
    });
    bind(QStringLiteral("queue"), [this] { openPlaybackQueue(); });
    bind(QStringLiteral("library"), [this] { openMusicLibrary(); });
    bind(QStringLiteral("addqueue"), [this] {
        if (!m_playlistTable || !m_viewed || !m_playlistTable->selectionModel())
            return;
        const QModelIndexList rows = m_playlistTable->selectionModel()->selectedRows();
        for (const QModelIndex& index : rows)
            m_viewed->addToQueue(index.row());
        if (!rows.isEmpty())
            appendLog(QStringLiteral("Queued %1 track(s)").arg(rows.size()));
    });
}

void MainWindow::rateOnAirTrack(int rating)
{
    if (!m_onAir || !m_engine)
        return;
    const int row = m_engine->currentRow();
    if (row < 0 || row >= m_onAir->rowCount())
        return;
    const Track track = m_onAir->tracks().at(row);
    if (track.marker || track.isStream || track.filePath.isEmpty())
        return;
    TrackParams::setRating(track.filePath, rating);
    appendLog(rating < 1 ? QStringLiteral("Cleared rating: %1").arg(track.displayName())
                         : QStringLiteral("Rated %1: %2/10").arg(track.displayName()).arg(rating));
}
