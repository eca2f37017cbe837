// Playlist files, the printed playlist and rendering it to one audio file.
#include "mainwindow.h"

#include "dialogs/prompts.h"
#include "dialogs/renderplaylistdialog.h"
#include "engine/audiorender.h"
#include "engine/playlistmodel.h"
#include "library/pathgate.h"
#include "library/playlistfile.h"
#include "library/playlistrows.h"
#include "mainwindow/rowmaker.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPointer>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTabBar>
#include <QTextStream>

namespace {

// Tags may hold line breaks; inside an EXTINF line they would end it.
QString oneLine(QString text)
{
    static const QRegularExpression breaks(QStringLiteral("\\r\\n|[\\r\\n\\x{0085}\\x{2028}\\x{2029}]"));
    return text.replace(breaks, QStringLiteral(" "));
}

QString extinfText(const Track& t)
{
    if (!t.artist.isEmpty() && !t.title.isEmpty())
        return t.artist + QStringLiteral(" - ") + t.title;
    return t.title.isEmpty() ? QFileInfo(t.filePath).fileName() : t.title;
}

QString lengthCell(const Track& t)
{
    return t.isStream ? QStringLiteral("LIVE") : Track::formatDuration(t.durationMs);
}

constexpr int kCommandBitrateKbps = 192;

} // namespace

bool MainWindow::writePlaylistFile(const QString& path)
{
    // Only a committed file replaces the old one, so a failed write leaves
    // that whole.
    QSaveFile file(path);
    int written = 0;
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Text);
    if (ok) {
        QTextStream out(&file);
        out << "#EXTM3U\n";
        if (m_viewed) {
            for (const Track& t : m_viewed->tracks()) {
                if (t.marker) {
                    out << PlaylistFile::markerLine(oneLine(t.label)) << '\n';
                    continue;
                }
                out << "#EXTINF:" << t.durationMs / 1000 << ',' << oneLine(extinfText(t)) << '\n';
                if (t.isStream && t.streamLimitMs > 0)
                    out << PlaylistFile::limitLine(t.streamLimitMs) << '\n';
                out << t.filePath << '\n';
                ++written;
            }
        }
        out.flush();
        ok = out.status() == QTextStream::Ok && file.commit();
    }
    if (!ok) {
        appendLog(QStringLiteral("Could not write playlist: ") + path);
        return false;
    }
    appendLog(QStringLiteral("Saved playlist %1 (%2 tracks)").arg(QFileInfo(path).fileName()).arg(written));
    return true;
}

void MainWindow::savePlaylistAs()
{
    if (!m_viewed || m_viewed->rowCount() == 0) {
        Prompts::information(this, QStringLiteral("Save playlist"),
                             QStringLiteral("The playlist is empty - nothing to save."));
        return;
    }
    QString name = Prompts::saveFileName(this, QStringLiteral("Save playlist"),
                                         playlistFile.isEmpty() ? QStringLiteral("playlist.m3u") : playlistFile,
                                         QStringLiteral("M3U playlist (*.m3u *.m3u8)"));
    if (name.isEmpty())
        return;
    if (!name.endsWith(QLatin1String(".m3u"), Qt::CaseInsensitive)
        && !name.endsWith(QLatin1String(".m3u8"), Qt::CaseInsensitive))
        name += QStringLiteral(".m3u");
    if (writePlaylistFile(name))
        playlistFile = name;
}

void MainWindow::savePlaylist()
{
    if (!m_viewed || m_viewed->rowCount() == 0) {
        Prompts::information(this, QStringLiteral("Save playlist"),
                             QStringLiteral("The playlist is empty - nothing to save."));
        return;
    }
    if (playlistFile.isEmpty())
        savePlaylistAs();
    else
        writePlaylistFile(playlistFile);
}

bool MainWindow::loadPlaylistFile(const QString& path, PlaylistModel* into, std::function<void(bool)> loaded)
{
    // The roads without an operator read playlists only: a remote client
    // must not turn the station's other files into rows it can read back.
    if (!PathGate::hasPlaylistSuffix(path)) {
        appendLog(QStringLiteral("Could not open playlist: %1 (not an .m3u, .m3u8 or .pls file)").arg(PathGate::excerpt(path)));
        return false;
    }
    return startPlaylistLoad(path, into ? into : m_viewed, std::move(loaded));
}

bool MainWindow::startPlaylistLoad(const QString& path, PlaylistModel* into, std::function<void(bool)> loaded)
{
    // The stored rows first: the list loaded replaces them, not the reverse.
    restoreRows();
    // Not even a look at the path here: a share that hangs would hold the
    // window. The file is opened, checked and read, and its rows made, off
    // this thread.
    auto use = [this, path, target = QPointer<PlaylistModel>(into), loaded = std::move(loaded),
                next = qsizetype(0)](PlaylistRows::Made& made) mutable {
        if (next == 0) {
            for (const QString& note : std::as_const(made.notes))
                appendLog(note);
        }
        // Nothing to load leaves the playlist as it is.
        const bool ok = target && (next > 0 || PlaylistRows::trackCount(made.rows) > 0);
        if (ok) {
            if (next == 0)
                target->clearAll();
            if (!insertRowSlice(*target, made.rows, next))
                return false;
            appendLog(QStringLiteral("Loaded playlist %1 (%2 tracks)").arg(QFileInfo(path).fileName()).arg(made.entries));
        }
        if (loaded)
            loaded(ok);
        return true;
    };
    m_rowMaker->loadRows(path, std::move(use));
    return true;
}

void MainWindow::openPlaylist()
{
    const QString name = Prompts::openFileName(this, QStringLiteral("Open playlist"), QString(),
                                               QStringLiteral("Playlists (*.m3u *.m3u8 *.pls);;All files (*)"));
    if (!name.isEmpty())
        startPlaylistLoad(name, m_viewed, [this, name](bool ok) {
            if (ok)
                playlistFile = name;
        });
}

QString MainWindow::playlistHtml() const
{
    const int tab = m_playlistTabs ? m_playlistTabs->currentIndex() : -1;
    const QString name = tab >= 0 && tab < m_playlistNames.size() ? m_playlistNames.at(tab) : QStringLiteral("Playlist");
    QString html = QStringLiteral("<h2>") + name.toHtmlEscaped() + QStringLiteral("</h2>");
    html += QStringLiteral("<p style='color:#555;'>Orchidlantern &mdash; ")
            + QLocale(QLocale::English).toString(QDateTime::currentDateTime(), QStringLiteral("dddd d MMMM yyyy, HH:mm"))
            + QStringLiteral("</p>");
    html += QStringLiteral("<table width='100%' cellspacing='0' cellpadding='4' border='0'>"
                           "<tr style='background:#eee;'><th align='right'>#</th><th align='left'>Start</th>"
                           "<th align='left'>Track</th><th align='right'>Duration</th></tr>");
    const QList<Track> rows = m_viewed ? m_viewed->tracks() : QList<Track>();
    for (int i = 0; i < rows.size(); ++i) {
        const Track& t = rows.at(i);
        html += QStringLiteral("<tr%1><td align='right'>%2</td><td>%3</td><td>%4</td><td align='right'>%5</td></tr>")
                    .arg(i % 2 ? QStringLiteral(" style='background:#f7f7f7;'") : QString())
                    .arg(i + 1)
                    .arg(t.startTime.isValid() ? t.startTime.toString(QStringLiteral("HH:mm:ss")) : QStringLiteral("-"),
                         t.displayName().toHtmlEscaped(), lengthCell(t));
    }
    html += QStringLiteral("</table>");
    html += QStringLiteral("<p style='color:#555;'>%1 tracks, total %2</p>")
                .arg(rows.size())
                .arg(Track::formatDuration(m_viewed ? m_viewed->totalDurationMs() : 0));
    return html;
}

void MainWindow::openRenderPlaylist()
{
    if (!m_viewed || m_viewed->rowCount() == 0) {
        Prompts::information(this, QStringLiteral("Render playlist"), QStringLiteral("The playlist is empty."));
        return;
    }
    RenderPlaylistDialog dialog(m_viewed, this);
    connect(&dialog, &RenderPlaylistDialog::logMessage, this, &MainWindow::appendLog);
    Prompts::exec(dialog);
}

// True when the render has started: it goes on on a thread of its own, its
// progress and its end told in the log, so that whoever asked (a remote
// client, an event) is answered at once and may go. Closing the program
// cancels it.
bool MainWindow::renderPlaylistTo(const QString& path)
{
    static const QString kRenderName = QStringLiteral("commandRender");
    if (!m_viewed || m_viewed->rowCount() == 0) {
        appendLog(QStringLiteral("renderplaylist: the playlist is empty"));
        return false;
    }
    if (findChild<AudioRender*>(kRenderName, Qt::FindDirectChildrenOnly)) {
        appendLog(QStringLiteral("renderplaylist: a render is still running; %1 was not started").arg(path));
        return false;
    }
    // A copy: the playlist may change while the render runs.
    const QList<Track> rows = m_viewed->tracks();
    auto* renderer = new AudioRender(this);
    renderer->setObjectName(kRenderName);
    connect(renderer, &AudioRender::logMessage, this, &MainWindow::appendLog);
    // A line for each tenth of the way at most.
    connect(renderer, &AudioRender::progress, this, [this, shown = -1](int percent, const QString& text) mutable {
        if (percent >= 100 || percent / 10 <= shown)
            return;
        shown = percent / 10;
        appendLog(QStringLiteral("renderplaylist: %1% - %2").arg(percent).arg(text));
    });
    connect(renderer, &AudioRender::finished, this, [this, renderer, path](bool ok, bool cancelled) {
        renderer->setObjectName(QString());
        renderer->deleteLater();
        appendLog(ok ? QStringLiteral("renderplaylist: wrote ") + path
                     : cancelled ? QStringLiteral("renderplaylist: cancelled")
                                 : QStringLiteral("renderplaylist: render failed: ") + renderer->failure());
    });
    // The event loop has ended by the time the window goes, so the end is
    // told here; the window's end then waits only for the cancel.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, renderer, [this, renderer] {
        renderer->cancel();
        appendLog(QStringLiteral("renderplaylist: cancelled (the program is closing)"));
    });
    appendLog(QStringLiteral("renderplaylist: rendering %1 rows to %2").arg(rows.size()).arg(path));
    renderer->startRender(rows, path, 0, kCommandBitrateKbps);
    return true;
}
