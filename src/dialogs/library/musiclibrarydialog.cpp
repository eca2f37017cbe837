#include "musiclibrarydialog.h"

#include "dialogs/prompts.h"
#include "library/audiofiles.h"
#include "library/durationscanner.h"
#include "tracktablewidget.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QThreadPool>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {

enum Column { Artist, Title, Album, Year, Genre, Comment, Duration, Plays, LastPlayed, Added, FileName, Path };

constexpr int kBatchSize = 50;

const QString kDefaultLibrary = QStringLiteral("Default");

// The cells of a library row; only a file's row carries its path for a drag.
QVariant libraryCell(const Track& t, int column, int role)
{
    if (role == Qt::UserRole)
        return column == Artist && !t.isStream ? QVariant(t.filePath) : QVariant();
    if (role != Qt::DisplayRole)
        return {};
    switch (column) {
    case Artist:
        return t.isStream ? QStringLiteral("◉ ") + t.artist : t.artist;
    case Title:
        return t.title;
    case Album:
        return t.album;
    case Year:
        return t.year > 0 ? QString::number(t.year) : QString();
    case Genre:
        return t.genre;
    case Comment:
        return t.comment;
    case Duration:
        return t.isStream ? QStringLiteral("STREAM") : Track::formatDuration(t.durationMs);
    case Plays:
        return t.playCount > 0 ? QString::number(t.playCount) : QStringLiteral("-");
    case LastPlayed:
        return t.lastPlayed.isValid() ? t.lastPlayed.toString(QStringLiteral("d MMM yyyy HH:mm"))
                                      : QStringLiteral("never");
    case Added:
        return t.dateAdded.isValid() ? t.dateAdded.toString(QStringLiteral("d MMM yyyy")) : QString();
    case FileName:
        return t.isStream ? QStringLiteral("(online)") : MusicLibrary::fileNamePart(t.filePath);
    case Path:
        return t.filePath;
    default:
        return {};
    }
}

int countAudioFiles(const QStringList& paths)
{
    return int(std::count_if(paths.cbegin(), paths.cend(), &MusicLibrary::isAudioFile));
}

QPushButton* plainButton(const QString& text, QWidget* parent)
{
    // No button of this window answers Enter typed in the search box or
    // the table.
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    return button;
}

} // namespace

MusicLibraryDialog::MusicLibraryDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Music Library"));
    setMinimumSize(880, 560);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildMenus());
    layout->addWidget(buildToolRow());
    buildTable();
    layout->addWidget(m_table, 1);
    layout->addLayout(buildFilterRow());
    m_status = new QLabel(QStringLiteral("Tracks: 0"), this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setContentsMargins(6, 2, 6, 2);
    layout->addWidget(m_status);

    m_scanner = new DurationScanner(this);
    connect(m_scanner, &DurationScanner::resolved, this, &MusicLibraryDialog::onDurationResolved);
    // A path still pending here after the queue ran dry is not coming back.
    connect(m_scanner, &DurationScanner::finished, this, [this] { m_pendingDurations.clear(); });

    m_writer = LibraryWriter::instanceOr(this);
    connect(m_writer, &LibraryWriter::databaseMoved, this, &MusicLibraryDialog::onDatabaseMoved);
    reloadLibraryList();
}

MusicLibraryDialog::~MusicLibraryDialog() = default;

QMenuBar* MusicLibraryDialog::buildMenus()
{
    auto* bar = new QMenuBar(this);
    QMenu* library = bar->addMenu(QStringLiteral("Library"));
    library->addAction(QStringLiteral("New library..."), this, &MusicLibraryDialog::newLibrary);
    library->addAction(QStringLiteral("Delete library..."), this, &MusicLibraryDialog::deleteLibrary);
    library->addSeparator();
    library->addAction(QStringLiteral("Close"), this, &QDialog::accept);
    QMenu* add = bar->addMenu(QStringLiteral("Add"));
    add->addAction(QStringLiteral("Files..."), this, &MusicLibraryDialog::addFiles);
    add->addAction(QStringLiteral("Folder..."), this, &MusicLibraryDialog::addFolder);
    add->addAction(QStringLiteral("Online stream..."), this, &MusicLibraryDialog::addStream);
    QMenu* tools = bar->addMenu(QStringLiteral("Tools"));
    tools->addAction(QStringLiteral("Verify (remove missing files)"), this, &MusicLibraryDialog::verifyLibrary);
    bar->addMenu(QStringLiteral("Help"));
    return bar;
}

QWidget* MusicLibraryDialog::buildToolRow()
{
    // Two lines: in one the row would be wider than the window's own size.
    auto* row = new QWidget(this);
    auto* lines = new QVBoxLayout(row);
    lines->setContentsMargins(6, 4, 6, 4);
    lines->setSpacing(4);
    auto* h = new QHBoxLayout;
    auto* second = new QHBoxLayout;
    lines->addLayout(h);
    lines->addLayout(second);
    h->addWidget(new QLabel(QStringLiteral("Library:"), row));
    m_libraryList = new QComboBox(row);
    m_libraryList->setObjectName(QStringLiteral("libraryList"));
    m_libraryList->setMinimumWidth(180);
    h->addWidget(m_libraryList);
    auto addButton = [&](const QString& text, void (MusicLibraryDialog::*slot)()) {
        QPushButton* b = plainButton(text, row);
        connect(b, &QPushButton::clicked, this, slot);
        h->addWidget(b);
    };
    addButton(QStringLiteral("New..."), &MusicLibraryDialog::newLibrary);
    addButton(QStringLiteral("Delete"), &MusicLibraryDialog::deleteLibrary);
    h->addStretch();
    h->addWidget(new QLabel(QStringLiteral("Search:"), row));
    m_searchBox = new QLineEdit(row);
    m_searchBox->setObjectName(QStringLiteral("searchBox"));
    m_searchBox->setFixedWidth(200);
    m_searchBox->setPlaceholderText(QStringLiteral("title, artist, album..."));
    h->addWidget(m_searchBox);
    h = second;
    addButton(QStringLiteral("Add files..."), &MusicLibraryDialog::addFiles);
    addButton(QStringLiteral("Add folder..."), &MusicLibraryDialog::addFolder);
    addButton(QStringLiteral("Add stream..."), &MusicLibraryDialog::addStream);
    addButton(QStringLiteral("Verify"), &MusicLibraryDialog::verifyLibrary);
    h->addStretch();

    connect(m_searchBox, &QLineEdit::textChanged, this, &MusicLibraryDialog::refreshTable);
    connect(m_libraryList, &QComboBox::currentTextChanged, this, &MusicLibraryDialog::openSelectedLibrary);
    return row;
}

void MusicLibraryDialog::buildTable()
{
    m_table = new TrackTableWidget({QStringLiteral("Artist"), QStringLiteral("Title"), QStringLiteral("Album"),
                                    QStringLiteral("Year"), QStringLiteral("Genre"), QStringLiteral("Comment"),
                                    QStringLiteral("Duration"), QStringLiteral("Plays"), QStringLiteral("Last played"),
                                    QStringLiteral("Added"), QStringLiteral("Filename"), QStringLiteral("Path")},
                                   &libraryCell, this);
    m_table->setObjectName(QStringLiteral("tracks"));
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_table, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { onCellActivated(index.row(), index.column()); });
    connect(m_table, &QWidget::customContextMenuRequested, this, &MusicLibraryDialog::showTableMenu);
}

QLayout* MusicLibraryDialog::buildFilterRow()
{
    struct Spec
    {
        const char* caption;
        int width;
    };
    static const Spec specs[FilterCount] = {
        {"Filter (all)", 130}, {"Artist", 110}, {"Title", 110},   {"Album", 100},    {"Year", 46},
        {"Genre", 80},         {"Comment", 90}, {"Duration", 60}, {"File name", 110},
    };
    auto* row = new QHBoxLayout;
    row->setSpacing(4);
    for (int i = 0; i < FilterCount; ++i) {
        auto* column = new QVBoxLayout;
        column->setSpacing(1);
        const QString caption = QString::fromLatin1(specs[i].caption);
        auto* label = new QLabel(caption, this);
        label->setStyleSheet(QStringLiteral("font-size:10px; color:#555;"));
        auto* edit = new QLineEdit(this);
        edit->setPlaceholderText(caption);
        edit->setClearButtonEnabled(true);
        edit->setFixedWidth(specs[i].width);
        connect(edit, &QLineEdit::textChanged, this, &MusicLibraryDialog::refreshTable);
        column->addWidget(label);
        column->addWidget(edit);
        row->addLayout(column);
        m_filters[i] = edit;
    }
    row->addStretch();
    auto* reset = new QVBoxLayout;
    reset->addWidget(new QLabel(QStringLiteral(" "), this));
    QPushButton* button = plainButton(QStringLiteral("Reset"), this);
    connect(button, &QPushButton::clicked, this, [this] {
        for (QLineEdit* edit : m_filters)
            edit->clear();
        m_searchBox->clear();
    });
    reset->addWidget(button);
    row->addLayout(reset);
    return row;
}

void MusicLibraryDialog::makeTopLevelWindow()
{
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint
                   | Qt::WindowCloseButtonHint);
}

MusicLibrary::Query MusicLibraryDialog::currentQuery() const
{
    MusicLibrary::Query q;
    q.any = m_searchBox->text().trimmed().isEmpty() ? m_filters[All]->text() : m_searchBox->text();
    q.artist = m_filters[Artist]->text();
    q.title = m_filters[Title]->text();
    q.album = m_filters[Album]->text();
    q.genre = m_filters[Genre]->text();
    q.comment = m_filters[Comment]->text();
    q.filename = m_filters[FileName]->text();
    q.year = m_filters[Year]->text();
    q.duration = m_filters[Duration]->text();
    return q;
}

void MusicLibraryDialog::refreshTable()
{
    m_table->setTracks(m_library.search(currentQuery()));
    updateStatus();
    scanDurations();
}

void MusicLibraryDialog::updateStatus()
{
    m_status->setText(QStringLiteral("Library \"%1\"  -  Tracks: %2").arg(m_library.name).arg(m_table->rowCount()));
}

void MusicLibraryDialog::reloadLibraryList()
{
    if (MusicLibrary::availableLibraries().isEmpty())
        createLibrary(kDefaultLibrary);
    const QString remembered = m_library.name;
    m_refilling = true;
    m_libraryList->clear();
    m_libraryList->addItems(MusicLibrary::availableLibraries());
    const int found = m_libraryList->findText(remembered, Qt::MatchExactly | Qt::MatchCaseSensitive);
    m_libraryList->setCurrentIndex(found >= 0 ? found : 0);
    m_refilling = false;
    const QString selected = m_libraryList->currentText();
    if (!selected.isEmpty()) {
        m_library.load(selected);
        refreshTable();
    }
}

void MusicLibraryDialog::openSelectedLibrary()
{
    if (m_refilling)
        return;
    const QString selected = m_libraryList->currentText();
    if (selected.isEmpty())
        return;
    m_library.load(selected);
    refreshTable();
}

void MusicLibraryDialog::newLibrary()
{
    bool ok = false;
    const QString name =
        Prompts::text(this, QStringLiteral("New library"), QStringLiteral("Library name:"), QString(), &ok);
    if (!ok || name.trimmed().isEmpty())
        return;
    if (!createLibrary(name)) {
        Prompts::warning(this, QStringLiteral("New library"),
                         QStringLiteral("Could not create library (name may already exist)."));
        return;
    }
    m_library.load(name);
    reloadLibraryList();
    emit librariesChanged();
}

void MusicLibraryDialog::deleteLibrary()
{
    const QString name = m_libraryList->currentText();
    if (name.isEmpty())
        return;
    const auto answer =
        Prompts::question(this, QStringLiteral("Delete library"),
                          QStringLiteral("Delete library \"%1\"? The audio files are not affected.").arg(name),
                          QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    const LibraryWriter::Outcome deleted = store(m_writer->write(
        name, name,
        [](MusicLibrary& on) { return MusicLibrary::deleteLibrary(on.name, on.connectionName) ? 1 : -1; },
        LibraryWriter::kOperatorPatienceMs));
    if (!deleted.ok()) {
        reportNotStored(QStringLiteral("Delete library"),
                        QStringLiteral("Library \"%1\" was not deleted").arg(name));
        return;
    }
    reloadLibraryList();
    emit librariesChanged();
}

void MusicLibraryDialog::onCellActivated(int row, int /*column*/)
{
    // The track this row shows, not the same row of a search run again:
    // the other program may have changed the database since.
    const QList<Track>& shown = m_table->tracks();
    if (row >= 0 && row < shown.size())
        emit sendToPlaylist(shown.at(row));
}

void MusicLibraryDialog::showTableMenu(const QPoint& pos)
{
    const int row = m_table->currentRow();
    if (row < 0)
        return;
    const bool stream = row < m_table->rowCount() && m_table->tracks().at(row).isStream;
    QMenu menu(this);
    QAction* add = menu.addAction(QStringLiteral("Add to playlist"));
    QAction* edit = stream ? menu.addAction(QStringLiteral("Edit stream…")) : nullptr;
    QAction* chosen = menu.exec(m_table->viewport()->mapToGlobal(pos));
    if (!chosen)
        return;
    if (chosen == add)
        onCellActivated(row, 0);
    else if (chosen == edit && row < m_table->rowCount())
        editStream(m_table->tracks().at(row));
}

void MusicLibraryDialog::reportRefused(const QString& title, int offered, int stored, const QStringList& missing,
                                       const QString& reason)
{
    if (missing.isEmpty())
        return;
    // Thousands of names do not fit a message: they are under its details.
    QMessageBox box(QMessageBox::Warning, title,
                    QStringLiteral("Only %1 of %2 file(s) were added (%3). The %4 not added are listed under "
                                   "\"Show Details\"; add them again later.")
                        .arg(stored)
                        .arg(offered)
                        .arg(reason.isEmpty() ? QStringLiteral("the library database cannot be written") : reason)
                        .arg(missing.size()),
                    QMessageBox::Ok, this);
    box.setDetailedText(missing.join(QLatin1Char('\n')));
    Prompts::exec(box);
}

void MusicLibraryDialog::reportNotStored(const QString& title, const QString& what)
{
    m_status->setText(what);
    Prompts::warning(this, title,
                     what + QStringLiteral(": the library database is in use by another program or cannot be "
                                           "written. Try again later."));
}

LibraryWriter::Outcome MusicLibraryDialog::store(const QFuture<LibraryWriter::Outcome>& write)
{
    setEnabled(false);
    const LibraryWriter::Outcome outcome = LibraryWriter::waitFor(write);
    setEnabled(true);
    return outcome;
}

bool MusicLibraryDialog::createLibrary(const QString& name)
{
    return store(m_writer->write(
                     {}, name,
                     [name](MusicLibrary& on) { return MusicLibrary::createLibrary(name, on.connectionName) ? 1 : -1; },
                     LibraryWriter::kOperatorPatienceMs))
        .ok();
}

void MusicLibraryDialog::onDatabaseMoved()
{
    m_moved = true;
    MusicLibrary::followDatabase();
    Prompts::warning(this, QStringLiteral("Library database"),
                     QStringLiteral("Another program set the library database aside and started a new one. This "
                                    "window now works on the new library.db; the libraries of the old file are no "
                                    "longer shown."));
    // An import under way ends on the new file first.
    if (!m_importing)
        reloadLibraryList();
}

void MusicLibraryDialog::addFiles()
{
    const QStringList files = Prompts::openFileNames(
        this, QStringLiteral("Add files to library"), QString(),
        AudioFiles::dialogFilter(QStringLiteral("Audio files")) + QStringLiteral(";;All files (*.*)"));
    if (files.isEmpty())
        return;
    m_importing = true;
    const LibraryWriter::Outcome outcome =
        store(m_writer->addFiles(m_library.name, files, kBatchSize, LibraryWriter::kOperatorPatienceMs));
    m_importing = false;
    reloadLibraryList();
    emit librariesChanged();
    const int offered = countAudioFiles(files);
    m_status->setText(outcome.lost.isEmpty() ? QStringLiteral("Added %1 file(s)").arg(outcome.written)
                                             : QStringLiteral("Added %1 of %2 file(s)").arg(outcome.written).arg(offered));
    reportRefused(QStringLiteral("Add files"), offered, outcome.written, outcome.lost, outcome.reason);
}

void MusicLibraryDialog::addFolder()
{
    const QString folder = Prompts::existingDirectory(this, QStringLiteral("Add folder to library"));
    if (folder.isEmpty())
        return;

    QStringList paths;
    {
        QProgressDialog scanning(QStringLiteral("Scanning folder…"), QStringLiteral("Cancel"), 0, 0, this);
        scanning.setWindowModality(Qt::WindowModal);
        scanning.setMinimumDuration(0);
        scanning.setValue(0);
        QFutureWatcher<QStringList> watcher;
        QEventLoop loop;
        connect(&watcher, &QFutureWatcher<QStringList>::finished, &loop, &QEventLoop::quit);
        connect(&scanning, &QProgressDialog::canceled, &loop, &QEventLoop::quit);
        const QFuture<QStringList> listing =
            QtConcurrent::run(QThreadPool::globalInstance(), &MusicLibrary::listAudioFiles, folder, true);
        watcher.setFuture(listing);
        loop.exec();
        if (scanning.wasCanceled()) {
            watcher.waitForFinished();
            m_status->setText(QStringLiteral("Folder scan cancelled"));
            return;
        }
        scanning.close();
        paths = listing.result();
    }
    if (paths.isEmpty()) {
        m_status->setText(QStringLiteral("No audio files found in folder"));
        return;
    }

    const int n = int(paths.size());
    QProgressDialog adding(QStringLiteral("Adding files to library…"), QStringLiteral("Cancel"), 0, n, this);
    adding.setWindowModality(Qt::WindowModal);
    adding.setMinimumDuration(0);
    int total = 0;
    // The batches in the library.db now at the path, by their first file.
    QSet<int> inFile;
    bool refused = false;
    QString reason;
    m_importing = true;
    m_moved = false;
    // The tags of the next batch are read while this one is stored.
    QFuture<Track> ahead;
    int aheadAt = -1;
    for (int offset = 0; offset < n; offset += kBatchSize) {
        if (adding.wasCanceled())
            break;
        if (inFile.contains(offset))
            continue;
        const QStringList batch = paths.mid(offset, kBatchSize);
        const int audio = countAudioFiles(batch);
        const QFuture<Track> tags = aheadAt == offset ? ahead : MusicLibrary::readTagsOf(batch);
        aheadAt = offset + kBatchSize;
        ahead = aheadAt < n ? MusicLibrary::readTagsOf(paths.mid(aheadAt, kBatchSize)) : QFuture<Track>();
        // The progress dialog keeps the window's input while it waits.
        const LibraryWriter::Outcome outcome =
            LibraryWriter::waitFor(m_writer->addRead(m_library.name, batch, tags, LibraryWriter::kOperatorPatienceMs));
        // The writer says a move before the batch it stored on the new file,
        // but a batch already stored is given without waiting for events.
        QCoreApplication::processEvents();
        // Another program set library.db aside: the batches before this one
        // went into the old file and are added again to the new one.
        const bool restart = m_moved;
        if (restart) {
            m_moved = false;
            inFile.clear();
            total = 0;
        }
        total += outcome.written;
        if (outcome.written == audio)
            inFile.insert(offset);
        const int done = restart ? int(inFile.size()) * kBatchSize : qMin(offset + kBatchSize, n);
        adding.setValue(qMin(done, n));
        adding.setLabelText(QStringLiteral("Adding files to library…  (%1 / %2)").arg(qMin(done, n)).arg(n));
        QCoreApplication::processEvents();
        // The database refused the batch (another program held it past the
        // patience, or it cannot be written): the rest would fare no
        // better, so stop here and name what is not in.
        if (outcome.written < audio) {
            refused = true;
            reason = outcome.reason;
            break;
        }
        if (restart)
            offset = -kBatchSize;
    }
    ahead.cancel();
    m_importing = false;
    QStringList missing;
    if (refused)
        for (int offset = 0; offset < n; offset += kBatchSize)
            if (!inFile.contains(offset))
                for (const QString& path : paths.mid(offset, kBatchSize))
                    if (MusicLibrary::isAudioFile(path))
                        missing << path;
    adding.setValue(n);
    reloadLibraryList();
    emit librariesChanged();
    const int offered = countAudioFiles(paths);
    m_status->setText(missing.isEmpty()
                          ? QStringLiteral("Added %1 file(s) from folder").arg(total)
                          : QStringLiteral("Added %1 of %2 file(s) from folder").arg(total).arg(offered));
    reportRefused(QStringLiteral("Add folder"), offered, total, missing, reason);
}

void MusicLibraryDialog::streamDialog(const Track& track)
{
    const bool edit = track.isStream;
    QDialog dialog(this);
    dialog.setWindowTitle(edit ? QStringLiteral("Edit online stream") : QStringLiteral("Add online stream"));
    dialog.setMinimumWidth(380);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("Stream name:"), &dialog));
    auto* nameBox = new QLineEdit(edit ? track.title : QString(), &dialog);
    nameBox->setObjectName(QStringLiteral("streamName"));
    nameBox->setPlaceholderText(QStringLiteral("e.g. Radio Lantern FM"));
    layout->addWidget(nameBox);
    layout->addWidget(new QLabel(QStringLiteral("Stream URL:"), &dialog));
    auto* urlBox = new QLineEdit(edit ? track.filePath : QString(), &dialog);
    urlBox->setObjectName(QStringLiteral("streamUrl"));
    urlBox->setPlaceholderText(QStringLiteral("http://... .mp3 / .aac / .m3u8"));
    layout->addWidget(urlBox);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton(edit ? QStringLiteral("Save") : QStringLiteral("Add"), &dialog);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), &dialog);
    connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    if (Prompts::exec(dialog) != QDialog::Accepted)
        return;
    const QString url = urlBox->text().trimmed();
    if (url.isEmpty())
        return;
    const QString title = nameBox->text();
    const std::function<int(MusicLibrary&)> change = edit
        ? std::function<int(MusicLibrary&)>([old = track.filePath, title, url](MusicLibrary& on) {
              // false also when no such stream is left: that is no refusal
              return on.updateStream(old, title, url) ? 1 : MusicLibrary::lastWriteError().isValid() ? -1 : 0;
          })
        : [title, url](MusicLibrary& on) { return on.addStream(title, url) ? 1 : -1; };
    const LibraryWriter::Outcome outcome =
        store(m_writer->write(m_library.name, url, change, LibraryWriter::kOperatorPatienceMs));
    if (!outcome.ok() || outcome.written == 0) {
        // An edited entry may have gone meanwhile; the table shows what is there.
        refreshTable();
        reportNotStored(dialog.windowTitle(), edit ? QStringLiteral("The stream was not updated")
                                                   : QStringLiteral("The stream was not added"));
        return;
    }
    refreshTable();
    emit librariesChanged();
    m_status->setText(edit ? QStringLiteral("Stream updated") : QStringLiteral("Added online stream"));
}

void MusicLibraryDialog::addStream()
{
    streamDialog(Track());
}

void MusicLibraryDialog::editStream(const Track& track)
{
    streamDialog(track);
}

void MusicLibraryDialog::verifyLibrary()
{
    const LibraryWriter::Outcome outcome = store(m_writer->write(
        m_library.name, m_library.name, [](MusicLibrary& on) { return on.removeMissing(); },
        LibraryWriter::kOperatorPatienceMs));
    const int removed = outcome.ok() ? outcome.written : -1;
    if (removed < 0) {
        reportNotStored(QStringLiteral("Verify library"), QStringLiteral("The missing files were not removed"));
        return;
    }
    refreshTable();
    emit librariesChanged();
    Prompts::information(this, QStringLiteral("Verify library"),
                         removed != 0 ? QStringLiteral("Removed %1 missing file(s).").arg(removed)
                                      : QStringLiteral("All files present. Nothing removed."));
}

void MusicLibraryDialog::scanDurations()
{
    // Every keystroke lands here; a file already waiting for the scanner
    // is not queued a second time.
    QStringList fresh;
    for (const QString& path : m_library.unmeasuredFiles()) {
        if (!m_pendingDurations.contains(path)) {
            m_pendingDurations.insert(path);
            fresh << path;
        }
    }
    if (!fresh.isEmpty())
        m_scanner->scan(fresh);
}

void MusicLibraryDialog::onDurationResolved(const QString& path, qint64 ms)
{
    m_pendingDurations.remove(path);
    if (ms < 1)
        return;
    m_writer
        ->write(m_library.name, path,
                [path, ms](MusicLibrary& on) {
                    const int rows = on.setDuration(path, ms);
                    return rows == 0 && MusicLibrary::lastWriteError().isValid() ? -1 : rows;
                })
        .then(this, [this](const LibraryWriter::Outcome& outcome) {
            if (!outcome.ok())
                m_status->setText(QStringLiteral("A measured length could not be stored (%1)").arg(outcome.reason));
        });
    const QList<Track>& shown = m_table->tracks();
    for (int row = 0; row < shown.size(); ++row) {
        if (shown.at(row).isStream || shown.at(row).filePath != path)
            continue;
        Track measured = shown.at(row);
        measured.durationMs = ms;
        m_table->setTrack(row, measured);
        break;
    }
}
