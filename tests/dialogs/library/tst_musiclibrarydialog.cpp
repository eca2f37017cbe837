#include "audiofixtures.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "dialogs/library/tracktablewidget.h"
#include "engine/playlistmodel.h"
#include "library/durationscanner.h"
#include "olmain.h"
#include "writelock.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QThreadPool>

namespace {

constexpr int kWaitMs = 30000;

Track track(const QString& artist, const QString& path, qint64 ms = 200000)
{
    Track t;
    t.artist = artist;
    t.title = artist.left(1);
    t.filePath = path;
    t.durationMs = ms;
    return t;
}

MusicLibrary emptyLibrary(const QString& name)
{
    MusicLibrary lib;
    lib.load(name);
    lib.clear();
    return lib;
}

int rowsIn(const QString& library)
{
    MusicLibrary lib;
    lib.name = library;
    return lib.count();
}

// The window on one library, driven by its widgets.
struct Window
{
    MusicLibraryDialog dialog;
    TrackTableWidget* table = dialog.findChild<TrackTableWidget*>();
    QLabel* status = dialog.findChild<QLabel*>(QStringLiteral("status"));
    QLineEdit* search = dialog.findChild<QLineEdit*>(QStringLiteral("searchBox"));
    QComboBox* libraries = dialog.findChild<QComboBox*>(QStringLiteral("libraryList"));

    explicit Window(const QString& library = QString())
    {
        if (!library.isEmpty())
            libraries->setCurrentText(library);
    }
    QLineEdit* filter(const QString& caption)
    {
        for (QLineEdit* e : dialog.findChildren<QLineEdit*>()) {
            if (e->placeholderText() == caption)
                return e;
        }
        return nullptr;
    }
    QVariant data(int row, int column, int role = Qt::DisplayRole) const
    {
        return table->model()->index(row, column).data(role);
    }
    QStringList column(int c) const
    {
        QStringList out;
        for (int r = 0; r < table->rowCount(); ++r)
            out << data(r, c).toString();
        return out;
    }
    // Press, release, double-click, release, as a double-click delivers them.
    void doubleClick(int row, int column)
    {
        const QPointF pos = table->visualRect(table->model()->index(row, column)).center();
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                                  QEvent::MouseButtonRelease}) {
            QMouseEvent e(type, pos, table->viewport()->mapToGlobal(pos), Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, {});
            QApplication::sendEvent(table->viewport(), &e);
        }
    }
    void click(const QString& text)
    {
        for (QPushButton* b : dialog.findChildren<QPushButton*>()) {
            if (b->text() == text)
                b->click();
        }
    }
    // Opens the context menu on a row; returns its entries after choosing
    // one (or dismissing it when choice is empty).
    QStringList contextMenu(int row, const QString& choice)
    {
        table->setCurrentIndex(table->model()->index(row, 0));
        QStringList offered;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu || !offered.isEmpty())
                return;
            for (QAction* a : menu->actions()) {
                offered << a->text();
                if (a->text() == choice)
                    menu->setActiveAction(a);
            }
            if (choice.isEmpty())
                menu->close();
            else
                QTest::keyClick(menu, Qt::Key_Return);
        });
        poll.start(10);
        const QPoint pos = table->visualRect(table->model()->index(row, 0)).center();
        QContextMenuEvent e(QContextMenuEvent::Mouse, pos, table->viewport()->mapToGlobal(pos));
        QApplication::sendEvent(table->viewport(), &e);
        return offered;
    }
};

void pressCancel(QProgressDialog* progress)
{
    progress->findChild<QPushButton*>()->click();
}

// n copies of one short WAV file in a folder.
QStringList makeCopies(const QString& folder, int n)
{
    const QString seed = testHome().scratch(QStringLiteral("seed")) + QStringLiteral("/seed.wav");
    if (!QFile::exists(seed) && !AudioFixtures::silence(seed, 0.1))
        return {};
    QStringList out;
    for (int i = 0; i < n; ++i) {
        out << folder + QStringLiteral("/copy %1.wav").arg(i, 3, 10, QLatin1Char('0'));
        if (!QFile::exists(out.last()) && !QFile::copy(seed, out.last()))
            return {};
    }
    return out;
}

void streamAnswer(PromptScript& script, const QString& name, const QString& url, QStringList* shown = nullptr)
{
    script.answerDialog([=](QDialog& d) {
        auto* nameBox = d.findChild<QLineEdit*>(QStringLiteral("streamName"));
        auto* urlBox = d.findChild<QLineEdit*>(QStringLiteral("streamUrl"));
        if (shown)
            *shown << d.windowTitle() << nameBox->text() << urlBox->text();
        nameBox->setText(name);
        urlBox->setText(url);
        return int(QDialog::Accepted);
    });
}

} // namespace

class TestMusicLibraryDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }

    // First on a database without libraries: "Default" appears, and
    // deleting every library brings it back.
    void librariesAreCreatedAndDeleted()
    {
        Window w;
        QCOMPARE(w.status->text(), QStringLiteral("Library \"Default\"  -  Tracks: 0"));
        QSignalSpy changed(&w.dialog, &MusicLibraryDialog::librariesChanged);
        PromptScript script;
        script.answerText(QStringLiteral("  Jazz  "));
        w.dialog.newLibrary();
        QCOMPARE(w.libraries->currentText(), QStringLiteral("Jazz"));
        w.libraries->setCurrentText(QStringLiteral("Default"));
        script.answerText(QStringLiteral("Jazz")); // an existing name: no warning, it becomes current
        w.dialog.newLibrary();
        script.answerText(QStringLiteral("   "));
        w.dialog.newLibrary();
        QCOMPARE(w.libraries->currentText(), QStringLiteral("Jazz"));
        QCOMPARE(MusicLibrary::availableLibraries(), (QStringList{"Default", "Jazz"}));
        script.answerButton(QMessageBox::No);
        w.dialog.deleteLibrary();
        script.answerButton(QMessageBox::Yes);
        w.dialog.deleteLibrary();
        script.answerButton(QMessageBox::Yes);
        w.dialog.deleteLibrary();
        QCOMPARE(script.messages().first(), QStringLiteral("Delete library \"Jazz\"? The audio files are not affected."));
        QCOMPARE(script.count(Prompts::Kind::Warning), 0);
        QCOMPARE(changed.size(), 4);
        QCOMPARE(MusicLibrary::availableLibraries(), QStringList{QStringLiteral("Default")});
        QCOMPARE(w.libraries->currentText(), QStringLiteral("Default"));
    }

    void rowsAndQuery()
    {
        MusicLibrary lib = emptyLibrary(QStringLiteral("Cells"));
        Track full = track(QStringLiteral("Abbé"), QStringLiteral("/m/a/long.mp3"), 3725000);
        full.year = 1999;
        lib.addTrack(full);
        lib.addTrack(track(QStringLiteral("Brief"), QStringLiteral("/m/b/short.flac"), 59999));
        lib.addTrack(track(QStringLiteral("Cold"), QStringLiteral("/m/c/none.mp3"), 0));
        lib.addStream(QStringLiteral("Radio"), QStringLiteral("http://radio.example/live"));
        MusicLibrary::recordPlay(QStringLiteral("/m/a/long.mp3"), QDateTime(QDate(2024, 3, 5), QTime(21, 7)));

        Window w(QStringLiteral("Cells"));
        QCOMPARE(w.column(0), (QStringList{"Abbé", "Brief", "Cold", "◉ Online stream"}));
        QCOMPARE(w.column(3), (QStringList{"1999", "", "", ""}));
        QCOMPARE(w.column(6), (QStringList{"62:05", "00:59", "--:--", "STREAM"}));
        QCOMPARE(w.column(7), (QStringList{"1", "-", "-", "-"}));
        QCOMPARE(w.column(8), (QStringList{"5 Mar 2024 21:07", "never", "never", "never"}));
        QCOMPARE(w.column(10), (QStringList{"long.mp3", "short.flac", "none.mp3", "(online)"}));
        QCOMPARE(w.data(0, 9).toString(), QDate::currentDate().toString(QStringLiteral("d MMM yyyy")));
        QCOMPARE(w.data(1, 0, Qt::UserRole).toString(), QStringLiteral("/m/b/short.flac"));
        QVERIFY(!w.data(3, 0, Qt::UserRole).isValid());

        // A blank search box gives way to "Filter (all)"; a filled one wins.
        w.search->setText(QStringLiteral("   "));
        w.filter(QStringLiteral("Filter (all)"))->setText(QStringLiteral("brief"));
        QCOMPARE(w.column(0), QStringList{"Brief"});
        w.search->setText(QStringLiteral("cold"));
        QCOMPARE(w.column(0), QStringList{"Cold"});
        w.search->clear();
        w.filter(QStringLiteral("File name"))->setText(QStringLiteral("flac"));
        QCOMPARE(w.status->text(), QStringLiteral("Library \"Cells\"  -  Tracks: 1"));
        w.dialog.findChildren<QPushButton*>().last()->click(); // Reset
        QVERIFY(w.dialog.currentQuery().isEmpty());
        QCOMPARE(w.table->rowCount(), 4);
    }

    // A row acts on the track it shows, even after the other program added
    // a track that sorts first; its drag carries what the playlist takes.
    void rowsActOnTheTracksShown()
    {
        MusicLibrary lib = emptyLibrary(QStringLiteral("Shown"));
        lib.addTrack(track(QStringLiteral("Bravo"), QStringLiteral("/s/Bravo - Bee.mp3")));
        lib.addTrack(track(QStringLiteral("Charlie"), QStringLiteral("/s/c.mp3")));
        lib.addStream(QStringLiteral("Zeta FM"), QStringLiteral("http://zeta.example/live"));
        Window w(QStringLiteral("Shown"));
        w.dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.dialog));
        QSignalSpy sent(&w.dialog, &MusicLibraryDialog::sendToPlaylist);
        lib.addTrack(track(QStringLiteral("Alpha"), QStringLiteral("/s/a.mp3")));

        w.doubleClick(0, 7);
        QCOMPARE(w.contextMenu(1, QStringLiteral("Add to playlist")), QStringList{"Add to playlist"});
        QCOMPARE(w.contextMenu(2, QString()), (QStringList{"Add to playlist", "Edit stream…"}));
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent.at(0).at(0).value<Track>().artist, QStringLiteral("Bravo"));
        QCOMPARE(sent.at(1).at(0).value<Track>().filePath, QStringLiteral("/s/c.mp3"));

        // Several cells of a row give one URL; the stream row gives none.
        QModelIndexList cells;
        for (auto [row, column] : {std::pair{2, 0}, {1, 3}, {0, 5}, {1, 0}, {0, 1}})
            cells << w.table->model()->index(row, column);
        std::unique_ptr<QMimeData> mime(w.table->model()->mimeData(cells));
        PlaylistModel playlist;
        QVERIFY(playlist.dropMimeData(mime.get(), Qt::CopyAction, -1, -1, {}));
        QCOMPARE(playlist.rowCount(), 2);
        QCOMPARE(playlist.tracks().at(0).filePath, QStringLiteral("/s/c.mp3"));
        // The library's record, not the file name's "Bee".
        QCOMPARE(playlist.tracks().at(1).title, QStringLiteral("B"));
        // A table that gives stream rows a path drags them with their own scheme.
        TrackTableModel streams({QStringLiteral("Path")}, [](const Track& t, int, int) { return QVariant(t.filePath); });
        Track upper;
        upper.filePath = QStringLiteral("HTTP://Radio.example/hd");
        streams.setTracks({upper});
        mime.reset(streams.mimeData({streams.index(0, 0)}));
        QCOMPARE(mime->urls(), QList<QUrl>{QUrl(QStringLiteral("http://Radio.example/hd"))});

        PromptScript script;
        QStringList shown;
        streamAnswer(script, QString(), QStringLiteral(" http://zeta.example/hd "), &shown);
        w.contextMenu(2, QStringLiteral("Edit stream…"));
        QCOMPARE(shown, (QStringList{"Edit online stream", "Zeta FM", "http://zeta.example/live"}));
        QCOMPARE(w.status->text(), QStringLiteral("Stream updated"));
        QCOMPARE(w.column(1), (QStringList{"A", "B", "C", "http://zeta.example/hd"}));
    }

    void addFilesStreamsAndVerify()
    {
        emptyLibrary(QStringLiteral("Fill"));
        const QString dir = testHome().scratch(QStringLiteral("fill"));
        const QStringList files = makeCopies(dir, 3);
        QVERIFY(!files.isEmpty());
        Window w(QStringLiteral("Fill"));
        QSignalSpy changed(&w.dialog, &MusicLibraryDialog::librariesChanged);
        PromptScript script;
        script.answerFiles(files + QStringList{dir + QStringLiteral("/notes.txt")});
        w.dialog.addFiles();
        QCOMPARE(w.status->text(), QStringLiteral("Added 3 file(s)"));
        streamAnswer(script, QStringLiteral("  Lantern FM "), QStringLiteral("  https://lantern.example/a.aac "));
        w.dialog.addStream();
        QCOMPARE(w.status->text(), QStringLiteral("Added online stream"));
        streamAnswer(script, QStringLiteral("Blank"), QStringLiteral("   "));
        w.dialog.addStream();
        QCOMPARE(changed.size(), 2);
        QCOMPARE(w.column(1).last() + w.column(11).last(), QStringLiteral("Lantern FMhttps://lantern.example/a.aac"));

        QVERIFY(QFile::remove(files[1]));
        w.dialog.verifyLibrary();
        w.dialog.verifyLibrary();
        QCOMPARE(script.messages(), (QStringList{"Removed 1 missing file(s).", "All files present. Nothing removed."}));
        QCOMPARE(changed.size(), 4);
        QCOMPARE(w.table->rowCount(), 3);
    }

    // 120 files go in as batches of 50, 50 and 20 behind a progress label;
    // a cancel after the first batch keeps those 50.
    void addFolderInBatches()
    {
        const QString dir = testHome().scratch(QStringLiteral("batches"));
        QStringList copies = makeCopies(dir, 120);
        QCOMPARE(copies.size(), 120);
        emptyLibrary(QStringLiteral("Batches"));
        Window w(QStringLiteral("Batches"));
        QSignalSpy changed(&w.dialog, &MusicLibraryDialog::librariesChanged);
        PromptScript script;
        script.answerFolder(testHome().scratch(QStringLiteral("no-audio")));
        w.dialog.addFolder();
        QCOMPARE(w.status->text(), QStringLiteral("No audio files found in folder"));
        QCOMPARE(changed.size(), 0);

        QStringList labels;
        bool cancelAtFifty = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            for (QProgressDialog* p : w.dialog.findChildren<QProgressDialog*>()) {
                labels << p->labelText();
                if (cancelAtFifty && p->labelText().endsWith(QStringLiteral("(50 / 120)")))
                    pressCancel(p);
            }
        });
        watch.start(0);
        script.answerFolder(dir);
        w.dialog.addFolder();
        QCOMPARE(w.status->text(), QStringLiteral("Added 120 file(s) from folder"));
        for (const char* count : {"(50 / 120)", "(100 / 120)", "(120 / 120)"})
            QVERIFY(labels.contains(QStringLiteral("Adding files to library…  ") + QLatin1String(count)));
        // Each batch stores its own files, whose tags were read ahead.
        QStringList stored;
        QSqlQuery q(MusicLibrary::database());
        QVERIFY(q.exec(QStringLiteral("SELECT filepath FROM tracks WHERE library='Batches' ORDER BY filepath")));
        while (q.next())
            stored << q.value(0).toString();
        copies.sort();
        QCOMPARE(stored, copies);

        emptyLibrary(QStringLiteral("Batches"));
        cancelAtFifty = true;
        script.answerFolder(dir);
        w.dialog.addFolder();
        QCOMPARE(w.status->text(), QStringLiteral("Added 50 file(s) from folder"));
        QCOMPARE(rowsIn(QStringLiteral("Batches")), 50);
        QCOMPARE(w.table->rowCount(), 50);
        QCOMPARE(changed.size(), 2);
    }

    // Cancel while the folder is listed: the listing, kept from finishing
    // by a busy pool, is waited for and thrown away.
    void cancelWhileListing()
    {
        emptyLibrary(QStringLiteral("Listing"));
        Window w(QStringLiteral("Listing"));
        QSignalSpy changed(&w.dialog, &MusicLibraryDialog::librariesChanged);
        QThreadPool* pool = QThreadPool::globalInstance();
        const int threads = pool->maxThreadCount();
        pool->setMaxThreadCount(1);
        QSemaphore release;
        pool->start([&release] { release.acquire(); });
        QStringList labels;
        QTimer::singleShot(50, &w.dialog, [&] {
            for (QProgressDialog* p : w.dialog.findChildren<QProgressDialog*>()) {
                labels << p->labelText();
                pressCancel(p);
            }
        });
        PromptScript script;
        script.answerFolder(testHome().scratch(QStringLiteral("batches")));
        w.dialog.addFolder();
        release.release();
        pool->waitForDone();
        pool->setMaxThreadCount(threads);
        QCOMPARE(labels, QStringList{QStringLiteral("Scanning folder…")});
        QCOMPARE(w.status->text(), QStringLiteral("Folder scan cancelled"));
        QCOMPARE(rowsIn(QStringLiteral("Listing")), 0);
        QCOMPARE(changed.size(), 0);
    }

    // Missing durations are measured in the background and stored; a hidden
    // track changes only in the database; a file that cannot be measured is
    // asked for again at the next rebuild; a file still waiting is not
    // queued again however often the operator types.
    void durationsAreMeasuredOnce()
    {
        const QString dir = testHome().scratch(QStringLiteral("durations"));
        const QString shown = dir + QStringLiteral("/shown.flac"), hidden = dir + QStringLiteral("/hidden.ogg"),
                      broken = dir + QStringLiteral("/broken.mp3");
        QVERIFY(AudioFixtures::tone(shown, 440, -20, 2.5));
        QVERIFY(AudioFixtures::tone(hidden, 440, -20, 1.5));
        QFile junk(broken);
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write(QByteArray(4000, 'Z')) == 4000);
        junk.close();
        for (const QString& name : MusicLibrary::availableLibraries())
            MusicLibrary::deleteLibrary(name); // nothing else waits for the scanner
        MusicLibrary lib = emptyLibrary(QStringLiteral("Durations"));
        for (const QString& path : {shown, hidden, broken})
            lib.addTrack(track(QFileInfo(path).baseName(), path, 0));

        Window w;
        auto* scanner = w.dialog.findChild<DurationScanner*>();
        QSignalSpy resolved(scanner, &DurationScanner::resolved);
        QSignalSpy finished(scanner, &DurationScanner::finished);
        for (const char* typed : {"s", "sh", "sho", "show", "shown"})
            w.search->setText(QLatin1String(typed));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QCOMPARE(resolved.size(), 3);
        QCOMPARE(w.column(6), QStringList{"00:02"});
        for (const QString& path : {shown, hidden}) {
            const double probe = AudioFixtures::probe(path, QStringLiteral("format=duration")).toDouble();
            // Stored by the library writer, off the window's thread.
            QTRY_VERIFY2(qAbs(lib.search(QFileInfo(path).baseName()).value(0).durationMs - qint64(probe * 1000)) < 100,
                         qPrintable(path));
        }

        w.search->setText(QStringLiteral("broken"));
        QCOMPARE(w.column(6), QStringList{"--:--"});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, kWaitMs);
        QCOMPARE(resolved.size(), 4);
        QCOMPARE(resolved.last().at(0).toString(), broken);
        w.search->setText(QStringLiteral("hidden"));
        QCOMPARE(w.column(6), QStringList{"00:01"});
    }

    // Another program holds the write lock past the busy time-out: nothing
    // is stored, the count says so, and the operator is told which files
    // were not added.
    void lockedDatabaseIsReported()
    {
        const QStringList files = makeCopies(testHome().scratch(QStringLiteral("fill")), 2);
        emptyLibrary(QStringLiteral("Locked"));
        Window w(QStringLiteral("Locked"));
        WriteLock holder;
        QVERIFY(holder.held());
        PromptScript script;
        script.answerFiles(files);
        QString text, details;
        script.answerDialog([&](QDialog& d) {
            auto* box = qobject_cast<QMessageBox*>(&d);
            text = box ? box->text() : QString();
            details = box ? box->detailedText() : QString();
            return int(QMessageBox::Ok);
        });
        w.dialog.addFiles();
        QVERIFY(holder.release());
        QCOMPARE(w.status->text(), QStringLiteral("Added 0 of 2 file(s)"));
        QVERIFY2(text.startsWith(QStringLiteral("Only 0 of 2 file(s) were added (database locked)")), qPrintable(text));
        QCOMPARE(details.split(QLatin1Char('\n')), files);
        script.answerFiles(files);
        w.dialog.addFiles();
        QCOMPARE(w.status->text(), QStringLiteral("Added 2 file(s)"));
        QCOMPARE(rowsIn(QStringLiteral("Locked")), 2);
        QCOMPARE(script.count(Prompts::Kind::Dialog), 1);
    }

    // Verify, adding and editing a stream and deleting the library, each
    // from its button or menu while another program holds the write lock:
    // each says that nothing was stored, and nothing was.
    void refusedWritesAreReported()
    {
        MusicLibrary lib = emptyLibrary(QStringLiteral("Held"));
        const QStringList files = makeCopies(testHome().scratch(QStringLiteral("held")), 2);
        QCOMPARE(lib.addFiles(files), 2);
        QVERIFY(lib.addStream(QStringLiteral("Old"), QStringLiteral("http://old.invalid/a")));
        QVERIFY(QFile::remove(files[0]));
        Window w(QStringLiteral("Held"));
        QSignalSpy changed(&w.dialog, &MusicLibraryDialog::librariesChanged);
        PromptScript script;
        {
            WriteLock lock;
            QVERIFY(lock.held());
            w.click(QStringLiteral("Verify"));
            QCOMPARE(w.status->text(), QStringLiteral("The missing files were not removed"));
            streamAnswer(script, QStringLiteral("New"), QStringLiteral("http://new.invalid/b"));
            w.click(QStringLiteral("Add stream..."));
            QCOMPARE(w.status->text(), QStringLiteral("The stream was not added"));
            streamAnswer(script, QStringLiteral("Renamed"), QStringLiteral("http://old.invalid/c"));
            w.contextMenu(w.table->rowCount() - 1, QStringLiteral("Edit stream…"));
            QCOMPARE(w.status->text(), QStringLiteral("The stream was not updated"));
            script.answerButton(QMessageBox::Yes);
            w.click(QStringLiteral("Delete"));
            QVERIFY(lock.release());
        }
        const QString refused =
            QStringLiteral(": the library database is in use by another program or cannot be written. Try again later.");
        QCOMPARE(script.messages(), (QStringList{QStringLiteral("The missing files were not removed") + refused,
                                                 QStringLiteral("The stream was not added") + refused,
                                                 QStringLiteral("The stream was not updated") + refused,
                                                 QStringLiteral("Delete library \"Held\"? The audio files are not affected."),
                                                 QStringLiteral("Library \"Held\" was not deleted") + refused}));
        QCOMPARE(changed.size(), 0);
        QCOMPARE(w.libraries->currentText(), QStringLiteral("Held"));
        QCOMPARE(w.column(1), (QStringList{"copy 000", "copy 001", "Old"}));
        QCOMPARE(rowsIn(QStringLiteral("Held")), 3);
    }
};

OL_TEST_MAIN(TestMusicLibraryDialog)
#include "tst_musiclibrarydialog.moc"
