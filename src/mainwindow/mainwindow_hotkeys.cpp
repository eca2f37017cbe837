// Hot keys: the operator's keys for the actions of a live show, bound
// application-wide so they also work while a tool window is active.
#include "mainwindow.h"

#include "automation/hotkeys.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "library/librarywriter.h"
#include "outputs/broadcastservice.h"
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
    // Keys that stand for a verb of the command language run it as the
    // scheduler and the remote API do, so that all take one path.
    auto command = [this](const QString& line) { return [this, line] { runSchedulerCommand(line); }; };
    auto volumeBy = [this](int step) {
        if (m_volumeSlider)
            runSchedulerCommand(QStringLiteral("volume %1").arg(qBound(0, m_volumeSlider->value() + step, 100)));
    };

    bind(QStringLiteral("play"), command(QStringLiteral("play")));
    bind(QStringLiteral("pause"), [this] {
        runSchedulerCommand(m_engine->isPlaying() ? QStringLiteral("pause") : QStringLiteral("play"));
    });
    bind(QStringLiteral("stop"), command(QStringLiteral("stop")));
    bind(QStringLiteral("next"), command(QStringLiteral("next")));
    bind(QStringLiteral("previous"), command(QStringLiteral("previous")));
    bind(QStringLiteral("fadeout"), command(QStringLiteral("fadeout 2000")));
    bind(QStringLiteral("shuffle"), [this] {
        runSchedulerCommand(m_engine->isShuffle() ? QStringLiteral("shuffle off") : QStringLiteral("shuffle on"));
        appendLog(m_engine->isShuffle() ? QStringLiteral("Shuffle: on") : QStringLiteral("Shuffle: off"));
    });
    bind(QStringLiteral("seekback"), [this] { m_engine->setPosition(qMax<qint64>(m_engine->position() - 10000, 0)); });
    bind(QStringLiteral("seekforward"), [this] { m_engine->setPosition(m_engine->position() + 10000); });
    bind(QStringLiteral("volup"), [volumeBy] { volumeBy(5); });
    bind(QStringLiteral("voldown"), [volumeBy] { volumeBy(-5); });
    auto toggle = [this](const QString& verb, AudioInput* MainWindow::*input) {
        return [this, verb, input] {
            if (const AudioInput* in = this->*input)
                runSchedulerCommand(verb + (in->isActive() ? QStringLiteral(" off") : QStringLiteral(" on")));
        };
    };
    bind(QStringLiteral("mic"), toggle(QStringLiteral("mic"), &MainWindow::m_mic));
    bind(QStringLiteral("linein"), toggle(QStringLiteral("linein"), &MainWindow::m_lineIn));
    // A stream being retried is on, as the menu shows it: the key stops it.
    bind(QStringLiteral("broadcast"), [this] {
        if (m_broadcast)
            runSchedulerCommand(sourceClientActive() ? QStringLiteral("disconnect") : QStringLiteral("connect"));
    });
    // A plain "streamarchive" records with the stored settings afresh, so a
    // stop-after time left by an earlier command does not carry over.
    bind(QStringLiteral("record"), [this] {
        if (m_archive)
            runSchedulerCommand(m_archive->isRecording() ? QStringLiteral("streamarchive off")
                                                         : QStringLiteral("streamarchive"));
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
    Track track;
    if (!trackOnAir(&track))
        return;
    if (track.marker || track.isStream || track.filePath.isEmpty())
        return;
    // Said when stored: another program may hold library.db meanwhile.
    const int value = qBound(0, rating, 10);
    m_libraryWriter->changeParams(track.filePath, [value](TrackParams& params) { params.rating = value; })
        .then(this, [this, name = track.displayName(), rating](const LibraryWriter::Outcome& outcome) {
            if (!outcome.ok())
                reportLibraryTrouble(QStringLiteral("The rating of %1 could not be stored (%2)").arg(name, outcome.reason));
            else
                appendLog(rating < 1 ? QStringLiteral("Cleared rating: %1").arg(name)
                                     : QStringLiteral("Rated %1: %2/10").arg(name).arg(rating));
        });
}
