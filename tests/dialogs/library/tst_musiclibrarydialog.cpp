// ctest: timeout 400
#include "audiofixtures.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "dialogs/library/tracktablewidget.h"
#include "library/durationscanner.h"
#include "olmain.h"

#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QThreadPool>

namespace {

constexpr int kWaitMs = 30000;

Track track(const QString& artist, const QString& title, const QString& path, qint64 ms = 200000)
{
    Track t;
    t.artist = artist;
    t.title = title;
    t.filePath = path;
    t.durationMs = ms;
    return t;
}

// The one library this test case works on, emptied first.
MusicLibrary freshLibrary(const QString& name)
{
    MusicLibrary::deleteLibrary(name);
    MusicLibrary lib;
    lib.load(name);
    return lib;
}

// The dialog opened on one library, as the operator would select it.
struct Window
{
    MusicLibraryDialog dialog;
    TrackTableWidget* table;
    QLabel* status;
    QLineEdit* search;

    explicit Window(const QString& library = QString())
        : table(dialog.findChild<TrackTableWidget*>())
        , status(dialog.findChild<QLabel*>(QStringLiteral("status")))
        , search(dialog.findChild<QLineEdit*>(QStringLiteral("searchBox")))
    {
        if (!library.isEmpty())
            libraryList()->setCurrentText(library);
    }
    QComboBox* libraryList() { return dialog.findChild<QComboBox*>(QStringLiteral("libraryList")); }
    QLineEdit* filter(const QString& caption)
    {
        for (QLineEdit* e : dialog.findChildren<QLineEdit*>()) {
            if (e->placeholderText() == caption)
                return e;
        }
        return nullptr;
    }
    QPushButton* button(const QString& text)
    {
        for (QPushButton* b : dialog.findChildren<QPushButton*>()) {
            if (b->text() == text)
                return b;
        }
        return nullptr;
    }
    QVariant data(int row, int column, int role = Qt::DisplayRole) const
    {
        return table->model()->index(row, column).data(role);
    }
    QString cell(int row, int column) const { return data(row, column).toString(); }
    QStringList column(int c) const
    {
        QStringList out;
        for (int r = 0; r < table->rowCount(); ++r)
            out << cell(r, c);
        return out;
    }
    // The events a double-click delivers: press, release, double-click, release.
    void doubleClick(int row, int column)
    {
        const QPointF pos = table->visualRect(table->model()->index(row, column)).center();
        QWidget* viewport = table->viewport();
        const QPointF global = viewport->mapToGlobal(pos);
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                                  QEvent::MouseButtonRelease}) {
            const bool down = type != QEvent::MouseButtonRelease;
            QMouseEvent event(type, pos, global, Qt::LeftButton, down ? Qt::LeftButton : Qt::NoButton, {});
            QApplication::sendEvent(viewport, &event);
        }
    }
    // Opens the table's context menu on a row, takes the entries it offers,
    // and chooses one (or dismisses the menu when choice is empty).
    QStringList contextMenu(int row, const QString& choice)
    {
        table->setCurrentIndex(table->model()->index(row, 0));
        QStringList offered;
        bool seen = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu || seen)
                return;
            seen = true;
            QAction* pick = nullptr;
            for (QAction* a : menu->actions()) {
                offered << a->text();
                if (a->text() == choice)
                    pick = a;
            }
            if (pick) {
                menu->setActiveAction(pick);
                QTest::keyClick(menu, Qt::Key_Return);
            } else {
                menu->close();
            }
        });
        poll.start(10);
        const QPoint pos = table->visualRect(table->model()->index(row, 0)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, table->viewport()->mapToGlobal(pos));
        QApplication::sendEvent(table->viewport(), &event);
        return offered;
    }
};

// What the operator's Cancel does to a progress dialog.
void pressCancel(QProgressDialog* progress)
{
    if (auto* button = progress->findChild<QPushButton*>())
        button->click();
}

// n copies of one short WAV file in a folder.
QStringList makeCopies(const QString& folder, int n)
{
    const QString seed = testHome().scratch(QStringLiteral("seed")) + QStringLiteral("/seed.wav");
    if (!QFile::exists(seed) && !AudioFixtures::silence(seed, 0.1))
        return {};
    QStringList out;
    for (int i = 0; i < n; ++i) {
        const QString p = folder + QStringLiteral("/copy %1.wav").arg(i, 3, 10, QLatin1Char('0'));
        if (!QFile::exists(p) && !QFile::copy(seed, p))
            return {};
        out << p;
    }
    return out;
}

int rowsIn(const QString& library)
{
    QSqlQuery q(MusicLibrary::database());
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE library=?"));
    q.addBindValue(library);
    return q.exec() && q.next() ? q.value(0).toInt() : -1;
}

} // namespace

class TestMusicLibraryDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }

    // Runs first, on a database without libraries.
    void firstOpenCreatesDefault()
    {
        QVERIFY(MusicLibrary::availableLibraries().isEmpty());
        Window w;
        QCOMPARE(w.dialog.windowTitle(), QStringLiteral("Music Library"));
        QCOMPARE(w.dialog.minimumSize(), QSize(880, 560));
        QCOMPARE(MusicLibrary::availableLibraries(), QStringList{QStringLiteral("Default")});
        QCOMPARE(w.libraryList()->currentText(), QStringLiteral("Default"));
        QCOMPARE(w.status->text(), QStringLiteral("Library \"Default\"  -  Tracks: 0"));
        QStringList headers;
        for (int c = 0; c < w.table->model()->columnCount(); ++c)
            headers << w.table->model()->headerData(c, Qt::Horizontal).toString();
        QCOMPARE(headers, (QStringList{"Artist", "Title", "Album", "Year", "Genre", "Comment", "Duration", "Plays",
                                       "Last played", "Added", "Filename", "Path"}));
        QCOMPARE(w.table->dragDropMode(), QAbstractItemView::DragOnly);
        QVERIFY(w.table->verticalHeader()->isHidden());
    }

    void createAndDeleteLibraries()
    {
        Window w;
        QSignalSpy changed(&w.dialog, &MusicLibraryDialog::librariesChanged);
        {
            PromptScript script;
            script.answerText(QStringLiteral("  Jazz  "));
            w.button(QStringLiteral("New..."))->click();
            script.answerText(QStringLiteral("   "));
            w.dialog.newLibrary();
            w.dialog.newLibrary(); // cancelled
            QCOMPARE(script.count(Prompts::Kind::Warning), 0);
        }
        QCOMPARE(changed.size(), 1);
        QCOMPARE(MusicLibrary::availableLibraries(), (QStringList{"Default", "Jazz"}));
        QCOMPARE(w.libraryList()->currentText(), QStringLiteral("Jazz"));

        // An existing name: no warning, and it becomes current.
        w.libraryList()->setCurrentText(QStringLiteral("Default"));
        {
            PromptScript script;
            script.answerText(QStringLiteral("Jazz"));
            w.dialog.newLibrary();
            QCOMPARE(script.count(Prompts::Kind::Warning), 0);
        }
        QCOMPARE(w.libraryList()->currentText(), QStringLiteral("Jazz"));
        QCOMPARE(changed.size(), 2);

        // No to the question keeps it; deleting every library leaves "Default".
        {
            PromptScript script;
            script.answerButton(QMessageBox::No);
            w.dialog.deleteLibrary();
            QCOMPARE(script.messages(),
                     QStringList{"Delete library \"Jazz\"? The audio files are not affected."});
            script.answerButton(QMessageBox::Yes);
            w.dialog.deleteLibrary();
            script.answerButton(QMessageBox::Yes);
            w.dialog.deleteLibrary();
        }
        QCOMPARE(changed.size(), 4);
        QCOMPARE(MusicLibrary::availableLibraries(), QStringList{QStringLiteral("Default")});
        QCOMPARE(w.libraryList()->currentText(), QStringLiteral("Default"));
        QCOMPARE(w.status->text(), QStringLiteral("Library \"Default\"  -  Tracks: 0"));
    }

    void rowsShowTheirTracks()
    {
        MusicLibrary lib = freshLibrary(QStringLiteral("Cells"));
        Track full = track(QStringLiteral("Abbé"), QStringLiteral("Long One"), QStringLiteral("/m/a/long.mp3"),
                           3725000);
        full.album = QStringLiteral("Album");
        full.genre = QStringLiteral("Rock");
        full.comment = QStringLiteral("note");
        full.year = 1999;
        lib.addTrack(full);
        lib.addTrack(track(QStringLiteral("Brief"), QStringLiteral("Short"), QStringLiteral("/m/b/short.mp3"), 59999));
        lib.addTrack(track(QStringLiteral("Cold"), QStringLiteral("Unmeasured"), QStringLiteral("/m/c/none.mp3"), 0));
        lib.addStream(QStringLiteral("Radio"), QStringLiteral("http://radio.example/live"));
        MusicLibrary::recordPlay(QStringLiteral("/m/a/long.mp3"), QDateTime(QDate(2024, 3, 5), QTime(21, 7)));

        Window w(QStringLiteral("Cells"));
        QCOMPARE(w.table->rowCount(), 4);
        QCOMPARE(w.column(0), (QStringList{"Abbé", "Brief", "Cold", "◉ Online stream"}));
        QCOMPARE(w.column(6), (QStringList{"62:05", "00:59", "--:--", "STREAM"}));
        QCOMPARE(w.column(7), (QStringList{"1", "-", "-", "-"}));
        QCOMPARE(w.column(8), (QStringList{"5 Mar 2024 21:07", "never", "never", "never"}));
        QCOMPARE(w.column(10), (QStringList{"long.mp3", "short.mp3", "none.mp3", "(online)"}));
        QCOMPARE(w.column(11).last(), QStringLiteral("http://radio.example/live"));
        QCOMPARE(w.cell(0, 3), QStringLiteral("1999"));
        QCOMPARE(w.cell(1, 3), QString());
        QCOMPARE(w.cell(0, 4) + w.cell(0, 5) + w.cell(0, 2), QStringLiteral("RocknoteAlbum"));
        QCOMPARE(w.cell(0, 9), QDate::currentDate().toString(QStringLiteral("d MMM yyyy")));
        QCOMPARE(w.data(1, 0, Qt::UserRole).toString(), QStringLiteral("/m/b/short.mp3"));
        QVERIFY(!w.data(3, 0, Qt::UserRole).isValid());
    }

    void searchAndFiltersMakeTheQuery()
    {
        MusicLibrary lib = freshLibrary(QStringLiteral("Query"));
        lib.addTrack(track(QStringLiteral("Abc Band"), QStringLiteral("One"), QStringLiteral("/q/1.mp3")));
        lib.addTrack(track(QStringLiteral("Xyz Band"), QStringLiteral("Two"), QStringLiteral("/q/2.mp3")));
        lib.addTrack(track(QStringLiteral("Abc Band"), QStringLiteral("Three"), QStringLiteral("/q/3.flac")));
        Window w(QStringLiteral("Query"));
        QLineEdit* all = w.filter(QStringLiteral("Filter (all)"));
        QVERIFY(all);

        w.search->setText(QStringLiteral("   "));
        all->setText(QStringLiteral("abc"));
        QCOMPARE(w.dialog.currentQuery().any, QStringLiteral("abc"));
        QCOMPARE(w.column(1), (QStringList{"One", "Three"}));
        w.search->setText(QStringLiteral("xyz"));
        QCOMPARE(w.dialog.currentQuery().any, QStringLiteral("xyz"));
        QCOMPARE(w.column(1), QStringList{"Two"});

        w.search->clear();
        w.filter(QStringLiteral("File name"))->setText(QStringLiteral("flac"));
        QCOMPARE(w.dialog.currentQuery().filename, QStringLiteral("flac"));
        QCOMPARE(w.status->text(), QStringLiteral("Library \"Query\"  -  Tracks: 1"));

        w.button(QStringLiteral("Reset"))->click();
        QVERIFY(w.dialog.currentQuery().isEmpty());
        QCOMPARE(w.table->rowCount(), 3);
    }

    // A row acts on the track it shows, even after the database changed
    // beneath the table (the other program added a track that sorts first).
    void rowsActOnTheTracksShown()
    {
        MusicLibrary lib = freshLibrary(QStringLiteral("Shown"));
        lib.addTrack(track(QStringLiteral("Bravo"), QStringLiteral("B"), QStringLiteral("/s/b.mp3")));
        lib.addTrack(track(QStringLiteral("Charlie"), QStringLiteral("C"), QStringLiteral("/s/c.mp3")));
        lib.addStream(QStringLiteral("Zeta FM"), QStringLiteral("http://zeta.example/live"));
        Window w(QStringLiteral("Shown"));
        w.dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.dialog));
        QSignalSpy sent(&w.dialog, &MusicLibraryDialog::sendToPlaylist);
        lib.addTrack(track(QStringLiteral("Alpha"), QStringLiteral("A"), QStringLiteral("/s/a.mp3")));

        w.doubleClick(0, 7);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.at(0).at(0).value<Track>().artist, QStringLiteral("Bravo"));

        QCOMPARE(w.contextMenu(1, QStringLiteral("Add to playlist")), QStringList{"Add to playlist"});
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent.at(1).at(0).value<Track>().filePath, QStringLiteral("/s/c.mp3"));

        // A stream row also offers its editor; dismissing the menu does nothing.
        QCOMPARE(w.contextMenu(2, QString()), (QStringList{"Add to playlist", "Edit stream…"}));
        QCOMPARE(sent.size(), 2);

        PromptScript script;
        QStringList prefilled;
        script.answerDialog([&](QDialog& d) {
            prefilled << d.windowTitle() << d.findChild<QLineEdit*>(QStringLiteral("streamName"))->text()
                      << d.findChild<QLineEdit*>(QStringLiteral("streamUrl"))->text();
            d.findChild<QLineEdit*>(QStringLiteral("streamName"))->clear();
            d.findChild<QLineEdit*>(QStringLiteral("streamUrl"))->setText(QStringLiteral(" http://zeta.example/hd "));
            return int(QDialog::Accepted);
        });
        w.contextMenu(2, QStringLiteral("Edit stream…"));
        QCOMPARE(prefilled, (QStringList{"Edit online stream", "Zeta FM", "http://zeta.example/live"}));
        QCOMPARE(w.status->text(), QStringLiteral("Stream updated"));
        // The table was rebuilt: Alpha now shows, and the stream's title is its new address.
        QCOMPARE(w.column(1), (QStringList{"A", "B", "C", "http://zeta.example/hd"}));
    }

    void addFilesStreamsAndVerify()
    {
        freshLibrary(QStringLiteral("Fill"));
        const QString dir = testHome().scratch(QStringLiteral("fill"));
        const QStringList files = makeCopies(dir, 3);
        QVERIFY(!files.isEmpty());
        QFile notes(dir + QStringLiteral("/notes.txt"));
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.close();
        Window w(QStringLiteral("Fill"));
        QSignalSpy changed(&w.dialog, &MusicLibraryDialog::librariesChanged);

        PromptScript script;
        script.answerFiles(files + QStringList{notes.fileName()});
        w.button(QStringLiteral("Add files..."))->click();
        QCOMPARE(w.status->text(), QStringLiteral("Added 3 file(s)"));
        QCOMPARE(w.table->rowCount(), 3);
        w.dialog.addFiles(); // cancelled: nothing
        QCOMPARE(changed.size(), 1);

        auto streamAnswer = [&](const QString& name, const QString& url, QDialog::DialogCode code) {
            script.answerDialog([=](QDialog& d) {
                d.findChild<QLineEdit*>(QStringLiteral("streamName"))->setText(name);
                d.findChild<QLineEdit*>(QStringLiteral("streamUrl"))->setText(url);
                return int(code);
            });
        };
        streamAnswer(QStringLiteral("  Lantern FM "), QStringLiteral("  https://lantern.example/a.aac "),
                     QDialog::Accepted);
        w.dialog.addStream();
        QCOMPARE(w.status->text(), QStringLiteral("Added online stream"));
        streamAnswer(QStringLiteral("Blank"), QStringLiteral("   "), QDialog::Accepted);
        w.dialog.addStream();
        streamAnswer(QStringLiteral("Rejected"), QStringLiteral("http://x.example"), QDialog::Rejected);
        w.dialog.addStream();
        QCOMPARE(changed.size(), 2);
        QCOMPARE(w.table->rowCount(), 4);
        const int stream = w.column(0).indexOf(QStringLiteral("◉ Online stream"));
        QCOMPARE(w.cell(stream, 1), QStringLiteral("Lantern FM"));
        QCOMPARE(w.cell(stream, 11), QStringLiteral("https://lantern.example/a.aac"));

        QVERIFY(QFile::remove(files[1]));
        w.dialog.verifyLibrary();
        w.dialog.verifyLibrary();
        QCOMPARE(script.messages(),
                 (QStringList{"Removed 1 missing file(s).", "All files present. Nothing removed."}));
        QCOMPARE(changed.size(), 4);
        QCOMPARE(w.table->rowCount(), 3);
    }

    // 120 files go in as batches of 50, 50 and 20 behind a progress label;
    // a cancel after the first batch keeps those 50.
    void addFolderInBatches()
    {
        const QString dir = testHome().scratch(QStringLiteral("batches"));
        QCOMPARE(makeCopies(dir, 120).size(), 120);
        const QString empty = testHome().scratch(QStringLiteral("no-audio"));
        freshLibrary(QStringLiteral("Batches"));
        Window w(QStringLiteral("Batches"));
        QSignalSpy changed(&w.dialog, &MusicLibraryDialog::librariesChanged);
        PromptScript script;

        script.answerFolder(empty);
        w.dialog.addFolder();
        QCOMPARE(w.status->text(), QStringLiteral("No audio files found in folder"));
        QCOMPARE(changed.size(), 0);

        QStringList labels;
        bool cancelAtFifty = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            for (QProgressDialog* p : w.dialog.findChildren<QProgressDialog*>()) {
                if (!labels.contains(p->labelText()))
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
            QVERIFY2(labels.contains(QStringLiteral("Adding files to library…  ") + QLatin1String(count)),
                     qPrintable(labels.join('|')));
        QCOMPARE(rowsIn(QStringLiteral("Batches")), 120);
        QCOMPARE(changed.size(), 1);

        MusicLibrary batches;
        batches.load(QStringLiteral("Batches"));
        batches.clear();
        cancelAtFifty = true;
        script.answerFolder(dir);
        w.dialog.addFolder();
        QCOMPARE(w.status->text(), QStringLiteral("Added 50 file(s) from folder"));
        QCOMPARE(rowsIn(QStringLiteral("Batches")), 50);
        QCOMPARE(w.table->rowCount(), 50);
        QCOMPARE(changed.size(), 2);
        QVERIFY(w.dialog.findChildren<QProgressDialog*>().isEmpty());
    }

    // Cancel while the folder is still listed: the listing is waited for
    // and thrown away. The pool's only thread is kept busy so that the
    // listing cannot finish before the cancel.
    void cancelWhileListing()
    {
        const QString dir = testHome().scratch(QStringLiteral("batches"));
        freshLibrary(QStringLiteral("Listing"));
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
        script.answerFolder(dir);
        w.dialog.addFolder();
        release.release();
        pool->waitForDone();
        pool->setMaxThreadCount(threads);
        QCOMPARE(labels, QStringList{QStringLiteral("Scanning folder…")});
        QCOMPARE(w.status->text(), QStringLiteral("Folder scan cancelled"));
        QCOMPARE(rowsIn(QStringLiteral("Listing")), 0);
        QCOMPARE(changed.size(), 0);
    }

    // Missing durations are measured in the background: the cell and the
    // stored row follow; a hidden track changes only in the database; a
    // file that cannot be measured keeps "--:--" and is asked for again at
    // the next rebuild; a file still waiting is not queued twice however
    // often the operator types.
    void durationsAreMeasuredOnce()
    {
        const QString dir = testHome().scratch(QStringLiteral("durations"));
        const QString shown = dir + QStringLiteral("/shown.flac");
        const QString hidden = dir + QStringLiteral("/hidden.ogg");
        const QString broken = dir + QStringLiteral("/broken.mp3");
        QVERIFY(AudioFixtures::tone(shown, 440, -20, 2.5));
        QVERIFY(AudioFixtures::tone(hidden, 440, -20, 1.5));
        QFile junk(broken);
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4000, '\x5a'));
        junk.close();
        // Only this library, so that nothing else is waiting for the scanner.
        for (const QString& name : MusicLibrary::availableLibraries())
            MusicLibrary::deleteLibrary(name);
        MusicLibrary lib = freshLibrary(QStringLiteral("Durations"));
        lib.addTrack(track(QStringLiteral("Shown"), QStringLiteral("S"), shown, 0));
        lib.addTrack(track(QStringLiteral("Hidden"), QStringLiteral("H"), hidden, 0));
        lib.addTrack(track(QStringLiteral("Broken"), QStringLiteral("X"), broken, 0));

        Window w;
        auto* scanner = w.dialog.findChild<DurationScanner*>();
        QSignalSpy resolved(scanner, &DurationScanner::resolved);
        QSignalSpy finished(scanner, &DurationScanner::finished);
        w.search->setText(QStringLiteral("shown broken"));
        for (const char* typed : {"s", "sh", "sho", "show", "shown"})
            w.search->setText(QLatin1String(typed));
        QCOMPARE(w.table->rowCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QCOMPARE(resolved.size(), 3);

        auto stored = [](const QString& path) {
            QSqlQuery q(MusicLibrary::database());
            q.prepare(QStringLiteral("SELECT duration_ms, duration_str FROM tracks WHERE filepath=?"));
            q.addBindValue(path);
            return q.exec() && q.next() ? QPair<qint64, QString>(q.value(0).toLongLong(), q.value(1).toString())
                                        : QPair<qint64, QString>(-1, QString());
        };
        for (const QString& path : {shown, hidden}) {
            const qint64 probe = qint64(AudioFixtures::probe(path, QStringLiteral("format=duration")).toDouble() * 1000);
            QVERIFY2(qAbs(stored(path).first - probe) < 100, qPrintable(path));
        }
        QCOMPARE(stored(shown).second, QStringLiteral("00:02"));
        QCOMPARE(w.cell(0, 6), QStringLiteral("00:02"));
        QCOMPARE(stored(broken).first, 0);

        // The rebuild asks again for the one file still unmeasured.
        w.search->setText(QStringLiteral("broken"));
        QCOMPARE(w.cell(0, 6), QStringLiteral("--:--"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, kWaitMs);
        QCOMPARE(resolved.size(), 4);
        QCOMPARE(resolved.last().at(0).toString(), broken);
        w.search->setText(QStringLiteral("hidden"));
        QCOMPARE(w.cell(0, 6), QStringLiteral("00:01"));
    }

    // Another program holds the write lock longer than the busy time-out:
    // nothing is stored, the count says so, and the operator is told.
    void lockedDatabaseIsReported()
    {
        const QString dir = testHome().scratch(QStringLiteral("fill"));
        const QStringList files = makeCopies(dir, 2);
        freshLibrary(QStringLiteral("Locked"));
        Window w(QStringLiteral("Locked"));
        QProcess holder;
        holder.start(QStringLiteral("python3"),
                     {QStringLiteral("-c"),
                      QStringLiteral("import sqlite3, sys, time\n"
                                     "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                     "c.execute('BEGIN IMMEDIATE')\n"
                                     "print('locked', flush=True)\n"
                                     "sys.stdin.read()\n"
                                     "c.execute('COMMIT')\n"),
                      MusicLibrary::database().databaseName()});
        QVERIFY(holder.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine() || holder.state() == QProcess::NotRunning, kWaitMs);
        QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));

        PromptScript script;
        script.answerFiles(files);
        w.dialog.addFiles();
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(kWaitMs));
        QCOMPARE(w.status->text(), QStringLiteral("Added 0 file(s)"));
        QCOMPARE(script.count(Prompts::Kind::Warning), 1);
        QVERIFY(script.messages().value(0).startsWith(QStringLiteral("Only 0 of 2 file(s) were added")));
        QCOMPARE(rowsIn(QStringLiteral("Locked")), 0);

        script.answerFiles(files);
        w.dialog.addFiles();
        QCOMPARE(w.status->text(), QStringLiteral("Added 2 file(s)"));
        QCOMPARE(script.count(Prompts::Kind::Warning), 1);
    }
};

OL_TEST_MAIN(TestMusicLibraryDialog)
#include "tst_musiclibrarydialog.moc"
