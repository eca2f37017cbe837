#pragma once

#include "library/librarywriter.h"
#include "library/musiclibrary.h"
#include "library/track.h"

#include <QDialog>
#include <QSet>

#include <array>

class DurationScanner;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPoint;
class TrackTableWidget;

// The music libraries of library.db: choose one, search and filter its
// tracks, create and delete libraries, fill them from files, folders and
// streams, drop entries whose files are gone, and measure missing
// durations in the background. Tracks leave for the playlist by
// double-click, context menu or drag. Its writes go through the program's
// library writer; while one the operator asked for is stored, the window
// stays live but takes no input.
class MusicLibraryDialog : public QDialog
{
    Q_OBJECT

public:
    explicit MusicLibraryDialog(QWidget* parent = nullptr);
    ~MusicLibraryDialog() override;

    MusicLibrary::Query currentQuery() const;
    // An ordinary window of its own, with minimise and maximise, rather
    // than a dialog over its parent.
    void makeTopLevelWindow();

signals:
    void sendToPlaylist(const Track& track);
    void librariesChanged();

public slots:
    void newLibrary();
    void deleteLibrary();
    void reloadLibraryList();
    void openSelectedLibrary();
    void refreshTable();
    void addFiles();
    void addFolder();
    void addStream();
    void editStream(const Track& track);
    void verifyLibrary();
    void scanDurations();
    void onCellActivated(int row, int column);

private:
    enum Filter { All, Artist, Title, Album, Year, Genre, Comment, Duration, FileName, FilterCount };

    QMenuBar* buildMenus();
    QWidget* buildToolRow();
    void buildTable();
    QLayout* buildFilterRow();
    void updateStatus();
    void streamDialog(const Track& track);
    void showTableMenu(const QPoint& pos);
    void onDurationResolved(const QString& path, qint64 ms);
    // The files that were not stored, each by name, and why; nothing when
    // none is missing.
    void reportRefused(const QString& title, int offered, int stored, const QStringList& missing,
                       const QString& reason);
    // A write the database refused: on the status line and in a warning.
    void reportNotStored(const QString& title, const QString& what);
    LibraryWriter::Outcome store(const QFuture<LibraryWriter::Outcome>& write);
    bool createLibrary(const QString& name);
    // Another program set library.db aside: the window shows the new file.
    void onDatabaseMoved();

    LibraryWriter* m_writer = nullptr;
    // An import under way, and whether the writer moved to a new
    // library.db since it began.
    bool m_importing = false;
    bool m_moved = false;
    MusicLibrary m_library;
    TrackTableWidget* m_table = nullptr;
    QComboBox* m_libraryList = nullptr;
    QLineEdit* m_searchBox = nullptr;
    std::array<QLineEdit*, FilterCount> m_filters{};
    QLabel* m_status = nullptr;
    DurationScanner* m_scanner = nullptr;
    bool m_refilling = false;
    // Paths handed to the scanner and not yet resolved.
    QSet<QString> m_pendingDurations;
};
