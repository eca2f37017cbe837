// The search panel from a start without libraries to a library of 100 000
// tracks, and rebuilding a library from its folders.
// ctest: timeout 600
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "olmain.h"
#include "windowfixture.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QSqlDatabase>
#include <QTabBar>
#include <QTableView>

namespace {

QStringList items(const QComboBox* combo)
{
    QStringList out;
    for (int i = 0; i < combo->count(); ++i)
        out << combo->itemText(i);
    return out;
}

void fillLibrary(const QString& name, int rows)
{
    MusicLibrary library;
    library.load(name);
    QSqlDatabase db = MusicLibrary::database();
    db.transaction();
    for (int i = 0; i < rows; ++i) {
        Track t;
        t.artist = i == 5 ? QString() : QStringLiteral("Artist a%1").arg(i % 3000);
        t.title = QStringLiteral("Song n%1%2").arg(i).arg(i == 5 ? " Lonely" : i % 40000 == 7 ? " Quixotry" : "");
        t.album = i % 5000 == 3 ? QStringLiteral("1999 Sessions") : QStringLiteral("Album");
        t.year = i % 1000 == 0 ? 1999 : 2001;
        t.durationMs = 200000;
        t.filePath = QStringLiteral("/music/%1/%2.mp3").arg(i % 500).arg(i);
        library.addTrack(t);
    }
    db.commit();
    library.addStream(QStringLiteral("Jazz Radio"), QStringLiteral("http://jazz.invalid/live"));
}

bool scrolledToEnd(QTableView* table, int rows)
{
    table->scrollToBottom();
    return table->model()->rowCount() == rows;
}

} // namespace

class TestSearchPanel : public QObject
{
    Q_OBJECT

private slots:
    void fromNoLibraryToALargeOne()
    {
        PromptScript prompts;
        WindowFixture f;
        auto* source = f.find<QComboBox>(QStringLiteral("searchSource"));
        auto* count = f.find<QLabel>(QStringLiteral("searchCount"));
        // Nothing is asked while the window is built.
        QCOMPARE(items(source), QStringList{"Folder..."});
        QVERIFY(prompts.asked().isEmpty());
        QTRY_COMPARE(count->text(), QStringLiteral("0 tracks"));

        // A rebuild fills a library in three folders, once per file.
        const QString root = testHome().scratch(QStringLiteral("tree"));
        const QString tone = WindowFixture::toneFile(QStringLiteral("seed.wav"), 0.2);
        QVERIFY(QDir().mkpath(root + "/b/c") && QDir().mkpath(root + "/a"));
        for (const char* name : {"/x.wav", "/a/y.wav", "/b/z.wav", "/b/c/w.wav", "/b/c/v.wav"})
            QVERIFY(QFile::copy(tone, root + name));
        // It runs off the window's thread: a second one meanwhile is refused.
        f->rebuildMusicLibrary(root);
        f->rebuildMusicLibrary(root);
        QCOMPARE(f.log().first(), QStringLiteral("makelibrary: a rebuild is already running"));
        QTRY_COMPARE(f.log().first(), QStringLiteral("makelibrary: scanned %1 (5 tracks)").arg(root));
        QCOMPARE(items(source), (QStringList{"Library: Default", "Folder..."}));
        QCOMPARE(source->currentText(), QStringLiteral("Folder..."));
        f->rebuildMusicLibrary(root);
        QTRY_COMPARE(f.log().first(), QStringLiteral("makelibrary: scanned %1 (0 tracks)").arg(root));
        QVERIFY(QFile::copy(tone, root + "/a/new.wav"));
        f->rebuildMusicLibrary(QString());
        QTRY_COMPARE(f.log().first(), QStringLiteral("makelibrary: refreshed 4 folder(s), 1 tracks"));
        MusicLibrary stored;
        stored.load(QStringLiteral("Default"));
        QCOMPARE(stored.count(), 6);

        // Picking "Folder..." asks for the folder and lists its files.
        prompts.answerFolder(root);
        emit source->activated(source->currentIndex());
        QCOMPARE(f.log().first(), QStringLiteral("Search source: folder (6 files)"));
        QTRY_COMPARE(count->text(), QStringLiteral("6 tracks"));

        fillLibrary(QStringLiteral("Big"), 100000);
        f->refreshSearchSources();
        QCOMPARE(items(source), (QStringList{"Library: Big", "Library: Default", "Folder..."}));
        QCOMPARE(count->text(), QStringLiteral("6 tracks"));
        QCOMPARE(prompts.count(Prompts::Kind::Folder), 1);
        source->setCurrentIndex(0);
        QTRY_COMPARE(count->text(), QStringLiteral("100001 tracks"));

        // The empty box lists the library page by page: scrolling down
        // reaches its last row, every row once, in search order.
        auto* table = f.find<QTableView>(QStringLiteral("searchResults"));
        const QAbstractItemModel* results = table->model();
        QVERIFY(results->rowCount() < 100001);
        QTRY_VERIFY_WITH_TIMEOUT(scrolledToEnd(table, 100001), 180000);
        MusicLibrary big;
        big.load(QStringLiteral("Big"));
        const QList<Track> whole = big.search(QString());
        for (int row = 0; row < whole.size(); row += 997)
            QCOMPARE(results->index(row, 0).data(Qt::UserRole).toString(), whole[row].filePath);
        QCOMPARE(results->index(100000, 0).data(Qt::UserRole).toString(), whole.last().filePath);

        // Every keystroke searches; the field narrows what the text matches.
        auto* box = f.find<QLineEdit>(QStringLiteral("searchBox"));
        auto* field = f.find<QComboBox>(QStringLiteral("searchField"));
        QTest::keyClicks(box, QStringLiteral("quixo"));
        QTRY_COMPARE(count->text(), QStringLiteral("3 tracks"));
        box->clear();
        QTest::keyClicks(box, QStringLiteral("1999"));
        // 100 years, 20 albums and the files 1999.mp3 and 19990-19999.mp3.
        QTRY_COMPARE(count->text(), QStringLiteral("131 tracks"));
        field->setCurrentText(QStringLiteral("Year"));
        QTRY_COMPARE(count->text(), QStringLiteral("100 tracks"));

        // A large answer comes a page at a time, as the listing does:
        // scrolling down reaches each of its rows once, in search order.
        field->setCurrentIndex(0);
        box->setText(QStringLiteral("n1"));
        QTRY_COMPARE(count->text(), QStringLiteral("11111 tracks"));
        QVERIFY(results->rowCount() < 11111);
        QTRY_VERIFY_WITH_TIMEOUT(scrolledToEnd(table, 11111), 60000);
        MusicLibrary::Query query;
        query.any = QStringLiteral("n1");
        QStringList shown, found;
        for (const Track& t : big.search(query)) {
            shown << results->index(int(found.size()), 0).data(Qt::UserRole).toString();
            found << t.filePath;
        }
        QCOMPARE(shown, found);

        // Typed fast over a listing still loading, only the last text's
        // rows show, never a page of the listing or an earlier text's answer.
        field->setCurrentIndex(0);
        box->clear();
        table->scrollToBottom();
        QTest::keyClicks(box, QStringLiteral("lonel"));
        QTRY_COMPARE(count->text(), QStringLiteral("1 track"));
        QTest::keyClick(box, Qt::Key_Y);
        QTRY_COMPARE(results->index(0, 1).data().toString(), QStringLiteral("Song n5 Lonely"));
        QCOMPARE(results->rowCount(), 1);

        // A stream in teal, live, without a file name.
        box->setText(QStringLiteral("jazz"));
        QTRY_COMPARE(results->index(0, 6).data().toString() + '|' + results->index(0, 7).data().toString(), QStringLiteral("LIVE|"));
        QCOMPARE(count->text(), QStringLiteral("1 track"));
        QCOMPARE(results->index(0, 1).data(Qt::ForegroundRole).value<QColor>(), QColor(0, 128, 128));

        // Enter adds to the viewed playlist, a drag from the table too.
        f.find<QTabBar>(QStringLiteral("playlistTabs"))->setCurrentIndex(1);
        auto* playlist = f.find<QTableView>(QStringLiteral("playlist"));
        auto* viewed = qobject_cast<PlaylistModel*>(playlist->model());
        box->setText(QStringLiteral("lonely"));
        QTRY_COMPARE(results->index(0, 1).data().toString(), QStringLiteral("Song n5 Lonely"));
        table->setCurrentIndex(results->index(0, 1));
        QTest::keyClick(table, Qt::Key_Return);
        QCOMPARE(f.log().first(), QStringLiteral("Added from search: -"));
        box->setText(QStringLiteral("quixotry"));
        QTRY_COMPARE(count->text(), QStringLiteral("3 tracks"));
        table->selectAll();
        QVERIFY(WindowFixture::drop(playlist->viewport(), results->mimeData(table->selectionModel()->selectedRows())));
        QStringList paths;
        for (const Track& t : viewed->tracks())
            paths << t.filePath;
        QCOMPARE(paths, (QStringList{"/music/5/5.mp3", "/music/7/40007.mp3", "/music/7/80007.mp3", "/music/7/7.mp3"}));
        f.find<QTabBar>(QStringLiteral("playlistTabs"))->setCurrentIndex(0);
        QCOMPARE(playlist->model()->rowCount(), 0);
    }
};

OL_TEST_MAIN(TestSearchPanel)
#include "tst_searchpanel.moc"
