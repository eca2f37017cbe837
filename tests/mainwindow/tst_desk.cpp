// The playlist desk with two playlists of different rows: drops, clicks,
// menus and the queue window act on the viewed one, playing puts it on air.
#include "audiofixtures.h"
#include "dialogs/library/voicetrackdialog.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/playhistory.h"
#include "findwidget.h"
#include "library/musiclibrary.h"
#include "library/playhistory.h"
#include "olmain.h"
#include "windowfixture.h"

#include <QDir>
#include <QFile>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTabBar>
#include <QTableView>
#include <QToolBar>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

#include <sys/stat.h>

namespace {

QStringList titles(const PlaylistModel* model)
{
    QStringList out;
    for (const Track& t : model->tracks())
        out << t.displayName();
    return out;
}

QStringList tabTexts(const QTabBar* bar)
{
    QStringList out;
    for (int i = 0; i < bar->count(); ++i)
        out << bar->tabText(i);
    return out;
}

// The entries of the next popup menu, which is then closed.
QStringList nextMenuEntries(const std::function<void()>& open)
{
    QStringList entries;
    QTimer::singleShot(50, [&entries] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        for (QAction* a : menu ? menu->actions() : QList<QAction*>())
            if (!a->isSeparator())
                entries << a->text();
        if (menu)
            menu->close();
    });
    open();
    return entries;
}

bool drop(QWidget* target, const QList<QUrl>& urls)
{
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    return WindowFixture::drop(target, mime);
}

} // namespace

class TestDesk : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowFixture> f;
    QTabBar* tabs = nullptr;
    QTableView* table = nullptr;
    PlaylistModel* onAir = nullptr;
    PlaylistModel* viewed = nullptr;

    QPoint cell(int row, int column) { return table->visualRect(table->model()->index(row, column)).center(); }
    // As a hand does it: the press before the double-click picks the cell.
    void doubleClick(int row, int column)
    {
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell(row, column));
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell(row, column));
    }

private slots:
    // Playlist 1 on air with one row, Playlist 2 viewed with four.
    void init()
    {
        f = std::make_unique<WindowFixture>();
        f->window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&f->window()));
        tabs = f->find<QTabBar>(QStringLiteral("playlistTabs"));
        table = f->find<QTableView>(QStringLiteral("playlist"));
        f->addPaths({QStringLiteral("/air/On - Air.mp3")});
        onAir = qobject_cast<PlaylistModel*>(table->model());
        tabs->setCurrentIndex(1);
        f->addPaths({QStringLiteral("/v/A - One.mp3"), QStringLiteral("/v/B - Two.mp3"),
                        QStringLiteral("http://radio.invalid/live"), QStringLiteral("/v/C - Three.mp3")});
        viewed = qobject_cast<PlaylistModel*>(table->model());
        QVERIFY(viewed != onAir);
    }
    void cleanup() { f.reset(); }

    void dropsClicksAndCommandsEditTheViewedPlaylist()
    {
        const QString dir = testHome().scratch(QStringLiteral("drop"));
        for (const char* name : {"b.opus", "a.MP3", "c.txt", "list.m3u"})
            QFile(dir + '/' + name).open(QIODevice::WriteOnly);
        QVERIFY(drop(&f->window(), {QUrl::fromLocalFile(dir), QUrl(QStringLiteral("https://x.invalid/stream")),
                                    QUrl(QStringLiteral("ftp://x.invalid/a.mp3")),
                                    QUrl::fromLocalFile(dir + QStringLiteral("/list.m3u"))}));
        QVERIFY(f->waitForLog(QStringLiteral("Added 3 file(s) via drag & drop")));
        QCOMPARE(titles(viewed).mid(4), (QStringList{"a", "b", "Online stream - https://x.invalid/stream"}));
        QVERIFY(!drop(&f->window(), {QUrl(QStringLiteral("ftp://x.invalid/a.mp3"))}));
        // The search and library tables drag URL lists onto the table itself.
        QVERIFY(drop(table->viewport(), {QUrl::fromLocalFile(QStringLiteral("/lib/D - Four.mp3"))}));
        QCOMPARE(viewed->rowCount(), 8);
        QCOMPARE(titles(onAir), QStringList{"On - Air"});

        // Column 6 puts a STOP after its row, not after a STOP; column 0 removes.
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell(0, PlaylistModel::StopColumn));
        QCOMPARE(f->log().first(), QStringLiteral("Inserted STOP after row 1"));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell(1, PlaylistModel::StopColumn));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell(0, PlaylistModel::RemoveColumn));
        QCOMPARE(titles(viewed).mid(0, 3), (QStringList{">> STOP <<", "B - Two", "Online stream - http://radio.invalid/live"}));

        // The context menu offers the track tool for files only; Remove takes the selected rows.
        auto entriesAt = [this](int row) {
            return nextMenuEntries([this, row] { emit table->customContextMenuRequested(cell(row, 3)); });
        };
        QCOMPARE(entriesAt(1), (QStringList{"Play", "Remove", "Add STOP command after", "Add to playback queue",
                                            "Track Tool…", "Segue Editor…", "Segue Editor 3…", "Clear playlist"}));
        QVERIFY(!entriesAt(0).contains(QStringLiteral("Track Tool…")));
        QVERIFY(!entriesAt(2).contains(QStringLiteral("Track Tool…")));
        QVERIFY(!entriesAt(7).contains(QStringLiteral("Segue Editor…")));

        // The editor's junctions land on the playlist at the row's place.
        PromptScript prompts;
        QStringList junctions;
        prompts.answerDialog([&junctions](QDialog& d) {
            for (QGroupBox* g : d.findChildren<QGroupBox*>())
                junctions << g->title();
            d.findChild<QDoubleSpinBox*>(QStringLiteral("mixSpin1"))->setValue(3.5);
            d.findChild<QPushButton*>(QStringLiteral("okButton"))->click();
            return d.result();
        });
        WindowFixture::choosePopupEntry(QStringLiteral("Segue Editor 3…"));
        emit table->customContextMenuRequested(cell(3, 3));
        QCOMPARE(f->log().first(), QStringLiteral("Segue Editor: updated 2 junction(s)"));
        QCOMPARE(junctions.size(), 2);
        QVERIFY(junctions.first().startsWith(viewed->tracks().at(3).displayName()));
        const auto segues = viewed->segueOverrides(3, 2);
        QCOMPARE(segues.at(0).mixPointMs, -1);
        QCOMPARE(segues.at(1).mixPointMs, 3500);
        WindowFixture::choosePopupEntry(QStringLiteral("Add to playback queue"));
        emit table->customContextMenuRequested(cell(3, 3));
        QCOMPARE(f->log().first(), QStringLiteral("Queued [1]: C - Three"));
        table->clearSelection();
        for (int row : {0, 2, 5})
            table->selectionModel()->select(viewed->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        WindowFixture::choosePopupEntry(QStringLiteral("Remove"));
        emit table->customContextMenuRequested(cell(1, 3));
        QCOMPARE(titles(viewed), (QStringList{"B - Two", "C - Three", "a", "Online stream - https://x.invalid/stream",
                                              "D - Four"}));

        // Without a current row a STOP goes to the end; a voice track after the current row.
        table->setCurrentIndex(QModelIndex());
        f->menuAction(QStringLiteral("&Playlist"), QStringLiteral("Add command"))->menu()->actions().first()->trigger();
        QCOMPARE(f->log().first(), QStringLiteral("Inserted STOP command at position 6"));
        table->setCurrentIndex(viewed->index(0, 3));
        prompts.answerFile(QStringLiteral("/vt/Morning - Intro.mp3"));
        f->menuAction(QStringLiteral("&Playlist"), QStringLiteral("Insert voice track..."))->trigger();
        QVERIFY(QDir(VoiceTrackDialog::voiceTrackFolder()).exists());
        QTRY_COMPARE(viewed->tracks().at(1).displayName(), QStringLiteral("Voice track - Intro"));
        QVERIFY(viewed->tracks().at(1).voiceTrack);
        QCOMPARE(f->log().first(), QStringLiteral("Inserted voice track: Morning - Intro.mp3"));

        // A recorded take is kept in the voice-track folder; only Yes puts it after the current row.
        QAction* record = f->menuAction(QStringLiteral("&Playlist"), QStringLiteral("Record voice track..."));
        QVERIFY(record);
        QStringList entries;
        for (QAction* a : qobject_cast<QWidget*>(record->parent())->actions())
            entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(entries.mid(0, 5), (QStringList{"Playlist Generator...", "Music Library...", "-", "Record voice track...",
                                                 "Insert voice track..."}));
        const QString take = WindowFixture::toneFile(QStringLiteral("take.mp3"), 1.0);
        auto recordAs = [&](const QString& name) {
            prompts.answerDialog([take, name](QDialog& d) {
                auto* recorder = qobject_cast<VoiceTrackDialog*>(&d);
                QFile::copy(take, recorder->takePath());
                recorder->updateState();
                d.findChild<QLineEdit*>(QStringLiteral("nameEdit"))->setText(name);
                d.findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
                return d.result();
            });
        };
        const int rows = viewed->rowCount();
        recordAs(QStringLiteral("Link 7"));
        prompts.answerButton(QMessageBox::No);
        record->trigger();
        QCOMPARE(f->log().first(), QStringLiteral("Voice track saved: Link 7.mp3"));
        QCOMPARE(prompts.asked().last().text, QStringLiteral("Insert this voice track into the playlist?"));
        QCOMPARE(viewed->rowCount(), rows);
        const QString kept = QDir(VoiceTrackDialog::voiceTrackFolder()).absoluteFilePath(QStringLiteral("Link 8.mp3"));
        QVERIFY(QFile::exists(QDir(VoiceTrackDialog::voiceTrackFolder()).absoluteFilePath(QStringLiteral("Link 7.mp3"))));
        table->setCurrentIndex(viewed->index(2, 3));
        recordAs(QStringLiteral("Link 8"));
        prompts.answerButton(QMessageBox::Yes);
        record->trigger();
        QVERIFY(f->rowsMade());
        QCOMPARE(viewed->rowCount(), rows + 1);
        QCOMPARE(viewed->tracks().at(3).filePath, kept);
        QVERIFY(viewed->tracks().at(3).voiceTrack);
        QVERIFY(QFile::exists(kept));
        // A cancelled recorder asks nothing.
        const qsizetype asked = prompts.asked().size();
        prompts.answerDialog([](QDialog&) { return int(QDialog::Rejected); });
        record->trigger();
        QCOMPARE(prompts.asked().size(), asked + 1);
        QCOMPARE(viewed->rowCount(), rows + 1);
        table->setCurrentIndex(viewed->index(0, 3));

        // New playlist asks first; No keeps every row.
        prompts.answerButton(QMessageBox::No);
        f->menuAction(QStringLiteral("&File"), QStringLiteral("New playlist"))->trigger();
        QCOMPARE(viewed->rowCount(), 8);
        prompts.answerButton(QMessageBox::Yes);
        f->menuAction(QStringLiteral("&File"), QStringLiteral("New playlist"))->trigger();
        QCOMPARE(viewed->rowCount(), 0);
        QCOMPARE(f->log().first(), QStringLiteral("New playlist"));
        QCOMPARE(titles(onAir), QStringList{"On - Air"});

        // "Add folder" takes the files a drop of the folder takes.
        prompts.answerFolder(dir);
        f->menuAction(QStringLiteral("&File"), QStringLiteral("Add folder..."))->trigger();
        QTRY_COMPARE(titles(viewed), (QStringList{"a", "b"}));
    }

    // A folder among the paths stands for its audio files, sorted; a FIFO is
    // refused before anything opens it, and the window goes on measuring.
    void foldersExpandAndFifosAreRefused()
    {
        const QString dir = testHome().scratch(QStringLiteral("folder-arg"));
        QVERIFY(QFile::rename(WindowFixture::toneFile(QStringLiteral("fb.mp3"), 2), dir + QStringLiteral("/b.mp3")));
        QVERIFY(QFile::rename(WindowFixture::toneFile(QStringLiteral("fa.wav"), 1), dir + QStringLiteral("/A.wav")));
        QFile(dir + QStringLiteral("/notes.txt")).open(QIODevice::WriteOnly);
        const QString fifo = testHome().scratch(QStringLiteral("fifo")) + QStringLiteral("/live.mp3");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(::mkfifo(QFile::encodeName(dir + QStringLiteral("/pipe.mp3")).constData(), 0600), 0);

        f->addPaths({fifo, dir});
        QTRY_COMPARE(titles(viewed).mid(4), (QStringList{"A", "b"}));
        QVERIFY(f->log().contains(QStringLiteral("Not added: %1 is not a regular file").arg(fifo)));
        QVERIFY(drop(&f->window(), {QUrl::fromLocalFile(fifo)}));
        QCOMPARE(f->log().count(QStringLiteral("Not added: %1 is not a regular file").arg(fifo)), 2);
        QCOMPARE(viewed->rowCount(), 6);
        QTRY_VERIFY_WITH_TIMEOUT(viewed->tracks().at(4).durationMs > 0 && viewed->tracks().at(5).durationMs > 0, 30000);
    }

    // A missing row is passed over with a line and a mark, and leaves no
    // play; the next row starts and is logged while another connection
    // holds the library's write lock, its play written once the lock goes.
    void tracksStartWhileTheLibraryIsLocked()
    {
        const QString tone = WindowFixture::toneFile(QStringLiteral("Locked - Out.wav"), 3);
        f->addPaths({tone});
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        holder.setDatabaseName(MusicLibrary::database().databaseName());
        QVERIFY(holder.open());
        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("BEGIN IMMEDIATE")));

        auto* engine = f->find<AudioEngine>();
        doubleClick(3, PlaylistModel::TitleColumn);
        QVERIFY(f->waitForLog(QStringLiteral("C - Three: cannot be played (file not found)")));
        QCOMPARE(viewed->unplayableReason(3), QStringLiteral("file not found"));
        QTRY_VERIFY_WITH_TIMEOUT(engine->isPlaying() && viewed->currentRow() == 4, 15000);

        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("ROLLBACK")));
        holder.close();
        holder = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        auto plays = [] {
            return PlayHistory::range(QDateTime::currentDateTime().addDays(-1), QDateTime::currentDateTime().addDays(1));
        };
        QTRY_COMPARE_WITH_TIMEOUT(plays().size(), 1, 15000);
        QCOMPARE(plays().first().filepath, tone);
    }

    // The trash icon empties no list without the operator's word, on air
    // or not; an empty one goes without a question. Each clear says how
    // much went.
    void clearingAListAsksFirst()
    {
        auto* bar = f->find<QToolBar>(QStringLiteral("mainToolBar"));
        QAction* clear = nullptr;
        for (QAction* a : bar->actions())
            clear = a->text() == QStringLiteral("Clear") ? a : clear;
        QVERIFY(clear && bar->widgetForAction(clear));
        auto click = [&] { QTest::mouseClick(bar->widgetForAction(clear), Qt::LeftButton); };
        PromptScript prompts;
        prompts.answerButton(QMessageBox::No);
        click();
        QCOMPARE(viewed->rowCount(), 4);
        QCOMPARE(prompts.messages(), QStringList{QStringLiteral("Remove all 4 rows?")});
        prompts.answerButton(QMessageBox::Yes);
        click();
        QCOMPARE(viewed->rowCount(), 0);
        QCOMPARE(f->log().first(), QStringLiteral("Cleared playlist: 4 row(s) removed"));
        click();
        QCOMPARE(prompts.asked().size(), 2);

        tabs->setCurrentIndex(0);
        f->addPaths({WindowFixture::toneFile(QStringLiteral("Clear - Me.wav"), 30)});
        doubleClick(1, PlaylistModel::TitleColumn);
        auto* engine = f->find<AudioEngine>();
        QTRY_VERIFY_WITH_TIMEOUT(engine->isPlaying(), 15000);
        prompts.answerButton(QMessageBox::No);
        click();
        QCOMPARE(onAir->rowCount(), 2);
        QCOMPARE(prompts.asked().size(), 3);
        QCOMPARE(prompts.asked().last().title, QStringLiteral("Clear playlist"));
        QCOMPARE(prompts.asked().last().text, QStringLiteral("This playlist is on air. Remove all 2 rows?"));
        prompts.answerButton(QMessageBox::Yes);
        click();
        QCOMPARE(onAir->rowCount(), 0);
        QCOMPARE(f->log().first(), QStringLiteral("Cleared playlist: 2 row(s) removed"));
        QVERIFY(engine->isPlaying());
    }

    void playingAndTheTabMenuMoveTheAirMark()
    {
        // A double-click on "#".."Duration" plays the row there, on air; on "♫" nothing.
        doubleClick(1, PlaylistModel::ListenersColumn);
        QCOMPARE(tabTexts(tabs), (QStringList{"▶ Playlist 1", "Playlist 2", "+"}));
        doubleClick(3, PlaylistModel::StartTimeColumn);
        QCOMPARE(tabTexts(tabs), (QStringList{"Playlist 1", "▶ Playlist 2", "+"}));
        QCOMPARE(viewed->currentRow(), 3);

        PromptScript prompts;
        auto tabMenu = [this](int tab, const QString& entry) {
            WindowFixture::choosePopupEntry(entry);
            emit tabs->customContextMenuRequested(tabs->tabRect(tab).center());
        };
        prompts.answerText(QStringLiteral("   "));
        tabMenu(0, QStringLiteral("Rename..."));
        prompts.answerText(QStringLiteral("  Morning & More "));
        tabMenu(0, QStringLiteral("Rename..."));
        QCOMPARE(tabTexts(tabs).first(), QStringLiteral("Morning & More"));
        tabMenu(0, QStringLiteral("Set as active (on air)"));
        QCOMPARE(f->log().first(), QStringLiteral("Active playlist: Morning & More"));
        tabMenu(1, QStringLiteral("Show hour separation markers"));
        QVERIFY(viewed->showHourMarkers() && !onAir->showHourMarkers());
        QCOMPARE(QSettings().value(QStringLiteral("playlist/hourMarkers")).toBool(), true);

        // Deleting the on-air playlist puts the first remaining one on air.
        prompts.answerButton(QMessageBox::Yes);
        tabMenu(0, QStringLiteral("Delete playlist"));
        QCOMPARE(prompts.messages().last(), QStringLiteral("Delete \"Morning & More\"?"));
        QCOMPARE(tabTexts(tabs), (QStringList{"▶ Playlist 2", "+"}));
        QCOMPARE(table->model(), viewed);
        // The last playlist stays.
        tabMenu(0, QStringLiteral("Delete playlist"));
        QCOMPARE(prompts.count(Prompts::Kind::Question), 1);
        QVERIFY(QTest::qWaitFor([&] { return f->window().findChildren<PlaylistModel*>().size() == 1; }));
    }

    // Files added from disk show a library's record of the file, else its
    // tags, else its name; what goes on air is logged with the same text.
    void fileRowsTakeTheirRecordOrTags()
    {
        const QString dir = testHome().scratch(QStringLiteral("tagged"));
        const QString tagged = dir + QStringLiteral("/Station ID - Orchid FM.mp3");
        QVERIFY(AudioFixtures::tone(tagged, 440, -12, 2.0, 44100, 2,
                                    {{QStringLiteral("artist"), QStringLiteral("Orchid FM")},
                                     {QStringLiteral("title"), QStringLiteral("Station ID (long)")}}));
        const QString known = dir + QStringLiteral("/Known - File.mp3");
        QVERIFY(QFile::copy(tagged, known));
        const QString plain = dir + QStringLiteral("/Plain - Name.wav");
        QVERIFY(AudioFixtures::silence(plain, 0.5));
        MusicLibrary library;
        library.load(QStringLiteral("Desk"));
        Track record = Track::fromFile(known);
        record.artist = QStringLiteral("Library Artist");
        record.title = QStringLiteral("Library Title");
        QVERIFY(library.addTrack(record));

        PromptScript prompts;
        prompts.answerFiles({tagged, known, plain});
        f->menuAction(QStringLiteral("&File"), QStringLiteral("Add files..."))->trigger();
        QVERIFY(f->rowsMade());
        QCOMPARE(titles(viewed).mid(4), (QStringList{"Orchid FM - Station ID (long)", "Library Artist - Library Title",
                                                     "Plain - Name"}));
        const QDateTime from = QDateTime::currentDateTime().addSecs(-1);
        doubleClick(4, PlaylistModel::StartTimeColumn);
        auto logged = [&] {
            for (const PlayHistory::Record& r : PlayHistory::range(from, QDateTime::currentDateTime().addSecs(1))) {
                if (r.filepath == tagged)
                    return r.artist + QStringLiteral(" / ") + r.title;
            }
            return QString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(logged(), QStringLiteral("Orchid FM / Station ID (long)"), 15000);
    }

    // The queue window edits the viewed playlist's queue by each entry's own
    // place, also when rows it names are gone.
    void queueWindowMovesTheEntryChosen()
    {
        for (int row : {3, 0, 1})
            viewed->addToQueue(row);
        onAir->addToQueue(0);
        PromptScript prompts;
        QList<QStringList> seen;
        prompts.answerDialog([&](QDialog& d) {
            auto* list = d.findChild<QListWidget*>(QStringLiteral("queue"));
            auto texts = [list] {
                QStringList out;
                for (int i = 0; i < list->count(); ++i)
                    out << list->item(i)->text();
                return out;
            };
            list->setCurrentRow(0);
            clickButton(d, QStringLiteral("Move down"));
            seen << texts() << QStringList{QString::number(list->currentRow())};
            // Row 3 taken out behind the model's back leaves a stale entry.
            viewed->tracks().removeLast();
            list->setCurrentRow(0);
            clickButton(d, QStringLiteral("Remove"));
            list->setCurrentRow(0);
            clickButton(d, QStringLiteral("Move up"));
            seen << texts();
            clickButton(d, QStringLiteral("Clear"));
            seen << texts();
            return int(QDialog::Accepted);
        });
        f->menuAction(QStringLiteral("&Tools"), QStringLiteral("Playback queue..."))->trigger();
        QCOMPARE(seen.value(0), (QStringList{"1.  A - One", "2.  C - Three", "3.  B - Two"}));
        QCOMPARE(seen.value(1), QStringList{"1"});
        // Queue 0, 3, 1 with row 3 gone; Remove took row 0, Move up moved row 1 before the stale entry.
        QCOMPARE(seen.value(2), QStringList{"1.  B - Two"});
        QCOMPARE(seen.value(3), QStringList{"(queue is empty)"});
        QCOMPARE(onAir->queue(), QList<int>{0});
    }
};

OL_TEST_MAIN(TestDesk)
#include "tst_desk.moc"
