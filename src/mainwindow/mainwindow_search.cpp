// The search panel over one music library or folder, and rebuilding a
// library from its folders.
#include "mainwindow.h"

#include "dialogs/library/tracktablewidget.h"
#include "dialogs/prompts.h"
#include "library/librarysearcher.h"
#include "library/librarywriter.h"
#include "library/musiclibrary.h"
#include "library/ownconnection.h"

#include <QColor>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <QVBoxLayout>

namespace {

enum SearchColumn { Artist, Title, Album, Year, Genre, Comment, Duration, FileName };

const QString kFolderSource = QStringLiteral("@folder");

QVariant searchCell(const Track& t, int column, int role)
{
    switch (role) {
    case Qt::UserRole:
        return column == Artist ? QVariant(t.filePath) : QVariant();
    case Qt::ForegroundRole:
        return t.isStream && (column == Artist || column == Title) ? QVariant(QColor(0, 128, 128)) : QVariant();
    case Qt::TextAlignmentRole:
        return column == Duration ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter)) : QVariant();
    case Qt::DisplayRole:
        break;
    default:
        return {};
    }
    switch (column) {
    case Artist:
        return t.artist.isEmpty() ? QStringLiteral("-") : t.artist;
    case Title:
        return t.title.isEmpty() ? t.displayName() : t.title;
    case Album:
        return t.album;
    case Year:
        return t.year > 0 ? QString::number(t.year) : QString();
    case Genre:
        return t.genre;
    case Comment:
        return t.comment;
    case Duration:
        return t.isStream ? QStringLiteral("LIVE") : Track::formatDuration(t.durationMs);
    case FileName:
        return t.isStream ? QString() : MusicLibrary::fileNamePart(t.filePath);
    default:
        return {};
    }
}


struct RebuildScan
{
    bool readable = false;
    QList<Track> fresh; // files not stored yet, their tags read
    qsizetype folders = 0;
};

// Files already stored are not added again, so that every scheduled rebuild
// does not double the library. Runs on a worker with a connection of its own.
RebuildScan scanForRebuild(const QString& databaseFile, const QString& libraryName, const QString& folder)
{
    RebuildScan out;
    QSet<QString> stored;
    QSet<QString> folders;
    {
        OwnConnection connection(databaseFile,
                                 QStringLiteral("ol_rebuild_%1").arg(quintptr(QThread::currentThreadId())));
        MusicLibrary library;
        library.name = libraryName;
        library.connectionName = connection.name();
        const std::optional<QStringList> files =
            connection.open() ? library.storedFiles() : std::optional<QStringList>();
        if (files) {
            out.readable = true;
            for (const QString& path : *files) {
                stored.insert(path);
                if (!path.isEmpty())
                    folders.insert(QFileInfo(path).absolutePath());
            }
        }
    }
    // Without the stored list every file would be added a second time.
    if (!out.readable)
        return out;
    const auto addNew = [&](const QString& dir, bool recursive) {
        for (const QString& path : MusicLibrary::listAudioFiles(dir, recursive)) {
            if (!stored.contains(path))
                out.fresh << MusicLibrary::scanFile(path);
        }
    };
    if (!folder.isEmpty()) {
        addNew(folder, true);
    } else {
        for (const QString& dir : std::as_const(folders))
            addNew(dir, false);
        out.folders = folders.size();
    }
    return out;
}

} // namespace

QWidget* MainWindow::buildSearchPanel()
{
    m_searchSource = std::make_shared<MusicLibrary>();
    m_searcher = new LibrarySearcher(this);
    auto* box = new QGroupBox(QStringLiteral("Search"));
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(6, 4, 6, 6);

    auto labelled = [layout](const QString& text, QWidget* field) {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(text));
        row->addWidget(field, 1);
        layout->addLayout(row);
    };
    m_sourceCombo = new QComboBox;
    m_sourceCombo->setObjectName(QStringLiteral("searchSource"));
    labelled(QStringLiteral("Source:"), m_sourceCombo);
    m_fieldCombo = new QComboBox;
    m_fieldCombo->setObjectName(QStringLiteral("searchField"));
    const QList<std::pair<QString, QString>> fields = {
        {QStringLiteral("All fields"), QStringLiteral("all")}, {QStringLiteral("Artist"), QStringLiteral("artist")},
        {QStringLiteral("Title"), QStringLiteral("title")},    {QStringLiteral("Album"), QStringLiteral("album")},
        {QStringLiteral("Year"), QStringLiteral("year")},      {QStringLiteral("Genre"), QStringLiteral("genre")},
        {QStringLiteral("Comment"), QStringLiteral("comment")}, {QStringLiteral("Filename"), QStringLiteral("filename")},
        {QStringLiteral("Duration"), QStringLiteral("duration")}};
    for (const auto& [text, data] : fields)
        m_fieldCombo->addItem(text, data);
    labelled(QStringLiteral("Search in:"), m_fieldCombo);

    m_searchBox = new QLineEdit;
    m_searchBox->setObjectName(QStringLiteral("searchBox"));
    m_searchBox->setPlaceholderText(QStringLiteral("Find…"));
    m_searchBox->setClearButtonEnabled(true);
    layout->addWidget(m_searchBox);

    const QStringList titles = {QStringLiteral("Artist"), QStringLiteral("Title"),   QStringLiteral("Album"),
                                QStringLiteral("Year"),   QStringLiteral("Genre"),   QStringLiteral("Comment"),
                                QStringLiteral("Dur."),   QStringLiteral("Filename")};
    m_searchTable = new TrackTableWidget(titles, &searchCell);
    m_searchTable->setObjectName(QStringLiteral("searchResults"));
    m_searchTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_searchTable->setToolTip(QStringLiteral(
        "Double-click to add to the playlist, or drag onto the playlist. Right-click the header to choose columns."));
    QHeaderView* header = m_searchTable->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionsMovable(true);
    header->setStretchLastSection(false);
    const int widths[] = {120, 150, 110, 46, 80, 100, 54, 130};
    for (int c = 0; c < int(std::size(widths)); ++c)
        header->resizeSection(c, widths[c]);
    for (int c : {Album, Year, Genre, Comment, FileName})
        m_searchTable->setColumnHidden(c, true);
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this,
            [this, titles](const QPoint& pos) { showSearchHeaderMenu(pos, titles); });
    layout->addWidget(m_searchTable, 1);

    m_resultLabel = new QLabel;
    m_resultLabel->setObjectName(QStringLiteral("searchCount"));
    m_resultLabel->setStyleSheet(QStringLiteral("color:#777; font-size:10px;"));
    layout->addWidget(m_resultLabel);

    connect(m_sourceCombo, &QComboBox::currentTextChanged, this, &MainWindow::reloadSearchSource);
    connect(m_sourceCombo, &QComboBox::activated, this, &MainWindow::chooseSearchFolder);
    connect(m_fieldCombo, &QComboBox::currentIndexChanged, this, &MainWindow::runSearch);
    connect(m_searchBox, &QLineEdit::textChanged, this, &MainWindow::runSearch);
    connect(m_searchTable, &QAbstractItemView::activated, this, &MainWindow::onSearchActivated);
    connect(m_searcher, &LibrarySearcher::found, this,
            [this](quint64, const QList<Track>& tracks, int total) { showSearchResults(tracks, total); });
    connect(m_searcher, &LibrarySearcher::pageFound, this, [this](quint64, const QList<Track>& tracks) {
        TrackTableModel* model = m_searchTable->trackModel();
        model->appendTracks(tracks);
        model->setMoreAvailable(model->rowCount() < m_resultCount);
    });
    connect(m_searchTable->trackModel(), &TrackTableModel::moreWanted, m_searcher, &LibrarySearcher::fetchPage);

    refreshSearchSources();
    return box;
}

void MainWindow::refreshSearchSources()
{
    if (!m_sourceCombo)
        return;
    const QString chosen = m_sourceCombo->currentText();
    {
        const QSignalBlocker block(m_sourceCombo);
        m_sourceCombo->clear();
        for (const QString& name : MusicLibrary::availableLibraries())
            m_sourceCombo->addItem(QStringLiteral("Library: ") + name, name);
        m_sourceCombo->addItem(QStringLiteral("Folder..."), kFolderSource);
        m_sourceCombo->setCurrentIndex(std::max(0, m_sourceCombo->findText(chosen, Qt::MatchExactly | Qt::MatchCaseSensitive)));
    }
    reloadSearchSource();
}

void MainWindow::reloadSearchSource()
{
    if (!m_sourceCombo || !m_searchSource)
        return;
    const QString data = m_sourceCombo->currentData().toString();
    if (data == kFolderSource) {
        // The folder is asked for only when the operator picks this entry
        // (chooseSearchFolder): a start without libraries must not wait on
        // a question. Until then the source is an empty folder.
        if (!m_searchSource->folderMode) {
            m_searchSource->folderMode = true;
            m_searchSource->name.clear();
            m_searchSource->tracks.clear();
        }
    } else if (!data.isEmpty()) {
        m_searchSource->load(data);
    }
    runSearch();
}

void MainWindow::chooseSearchFolder(int index)
{
    if (!m_sourceCombo || m_sourceCombo->itemData(index).toString() != kFolderSource)
        return;
    const QString folder = Prompts::existingDirectory(this, QStringLiteral("Search in folder"));
    if (folder.isEmpty()) {
        m_sourceCombo->setCurrentIndex(0);
        return;
    }
    m_searchSource->loadFolder(folder);
    appendLog(QStringLiteral("Search source: folder (%1 files)").arg(m_searchSource->count()));
    runSearch();
}

void MainWindow::runSearch()
{
    if (!m_searchTable || !m_searchSource)
        return;
    const QString field = m_fieldCombo ? m_fieldCombo->currentData().toString() : QStringLiteral("all");
    const QString text = m_searchBox ? m_searchBox->text() : QString();
    MusicLibrary::Query query;
    QString* member = field == QLatin1String("artist")     ? &query.artist
                      : field == QLatin1String("title")    ? &query.title
                      : field == QLatin1String("album")    ? &query.album
                      : field == QLatin1String("year")     ? &query.year
                      : field == QLatin1String("genre")    ? &query.genre
                      : field == QLatin1String("comment")  ? &query.comment
                      : field == QLatin1String("filename") ? &query.filename
                      : field == QLatin1String("duration") ? &query.duration
                                                           : &query.any;
    *member = text;
    // The answer comes back to showSearchResults; the box stays live meanwhile.
    m_searcher->search(*m_searchSource, query);
}

void MainWindow::showSearchResults(const QList<Track>& tracks, int total)
{
    // The rows shown so far are let go off this thread.
    QList<Track> previous = m_searchTable->tracks();
    m_resultCount = total;
    m_searchTable->setTracks(tracks);
    m_searchTable->trackModel()->setMoreAvailable(tracks.size() < total);
    m_searcher->discard(std::move(previous));
    m_resultLabel->setText(QStringLiteral("%1 track%2").arg(total).arg(total == 1 ? "" : "s"));
}

void MainWindow::onSearchActivated(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    const QModelIndex first = index.siblingAtColumn(Artist);
    const QString path = first.data(Qt::UserRole).toString();
    if (path.isEmpty())
        return;
    addPaths({path});
    appendLog(QStringLiteral("Added from search: ") + first.data().toString());
}

void MainWindow::rebuildMusicLibrary(const QString& folder)
{
    if (m_rebuild.running) {
        appendLog(QStringLiteral("makelibrary: a rebuild is already running"));
        return;
    }
    // The library chosen in the search panel, else the first one, else a
    // new library under the name the library window gives its first.
    const QStringList libraries = MusicLibrary::availableLibraries();
    QString name = m_sourceCombo ? m_sourceCombo->currentData().toString() : QString();
    if (name.isEmpty() || name == kFolderSource)
        name = libraries.isEmpty() ? QStringLiteral("Default") : libraries.first();

    m_rebuild.running = true;
    m_rebuild.name = name;
    m_rebuild.known = libraries.contains(name);
    // Listing a large library and reading new files' tags take seconds: the
    // window and the segues it times must not wait for them.
    const QString file = MusicLibrary::database().databaseName();
    QtConcurrent::run([file, name, folder] { return scanForRebuild(file, name, folder); })
        .then(this, [this, folder](const RebuildScan& scan) {
            if (!scan.readable) {
                m_rebuild.running = false;
                appendLog(QStringLiteral("makelibrary: the library could not be read; nothing was added"));
                return;
            }
            storeRebuiltTracks(scan.fresh, folder, scan.folders);
        });
}

void MainWindow::storeRebuiltTracks(const QList<Track>& tracks, const QString& folder, qsizetype folders)
{
    if (!m_rebuild.known) {
        m_libraryWriter->write(m_rebuild.name, m_rebuild.name, [](MusicLibrary& library) {
            return MusicLibrary::createLibrary(library.name, library.connectionName) ? 1 : -1;
        });
    }
    // The end is told when the last batch is stored or given up; only then
    // may another rebuild start.
    m_libraryWriter->addTracks(m_rebuild.name, tracks)
        .then(this, [this, folder, folders, offered = tracks.size()](const LibraryWriter::Outcome& outcome) {
            m_rebuild.running = false;
            if (outcome.ok() && !folder.isEmpty())
                appendLog(QStringLiteral("makelibrary: scanned %1 (%2 tracks)").arg(folder).arg(outcome.written));
            else if (outcome.ok())
                appendLog(QStringLiteral("makelibrary: refreshed %1 folder(s), %2 tracks").arg(folders).arg(outcome.written));
            if (!outcome.ok()) {
                constexpr qsizetype kNamed = 20;
                QString named = outcome.lost.mid(0, kNamed).join(QStringLiteral("; "));
                if (outcome.lost.size() > kNamed)
                    named += QStringLiteral("; and %1 more").arg(outcome.lost.size() - kNamed);
                reportLibraryTrouble(QStringLiteral("makelibrary: %1 files could not be stored (%2)")
                                         .arg(outcome.lost.size())
                                         .arg(outcome.reason));
                appendLog(QStringLiteral("makelibrary: not stored: ") + named);
                if (outcome.written > 0)
                    appendLog(QStringLiteral("makelibrary: %1 of %2 new files were stored").arg(outcome.written).arg(offered));
            }
            if (!m_rebuild.known)
                refreshSearchSources();
            else if (m_searchSource && !m_searchSource->folderMode && m_searchSource->name == m_rebuild.name)
                runSearch();
        });
}
