// The main window as built: its bars and panels, the playlist wiring with the
// duration scanner, the footer, the log and the left column's menus.
#include "audiofixtures.h"
#include "automation/eventscheduler.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "dialogs/library/playlistgeneratordialog.h"
#include "dialogs/settings/schedulerwindow.h"
#include "engine/audioengine.h"
#include "engine/playlistmodel.h"
#include "findwidget.h"
#include "mainwindow/playliststore.h"
#include "outputs/streamarchive.h"
#include "library/musiclibrary.h"
#include "library/security.h"
#include "olmain.h"
#include "webstandin.h"
#include "windowfixture.h"

#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QScopeGuard>
#include <QStatusBar>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

#include <algorithm>
#include <numeric>

#include <unistd.h>

namespace {

// Every entry of the menu and its submenus, in menu order.
QList<QAction*> entries(const QMenu* menu)
{
    QList<QAction*> out;
    for (QAction* a : menu->actions()) {
        if (a->menu())
            out += entries(a->menu());
        else if (!a->isSeparator())
            out << a;
    }
    return out;
}

QStringList tabTexts(const QTabBar* bar, bool toolTips = false)
{
    QStringList out;
    for (int i = 0; i < bar->count(); ++i)
        out << (toolTips ? bar->tabToolTip(i) : bar->tabText(i));
    return out;
}

QStringList labelTexts(const QWidget* parent)
{
    QStringList out;
    for (const QLabel* l : parent->findChildren<QLabel*>())
        out << l->text();
    return out;
}

PlaylistModel* viewed(WindowFixture& f)
{
    return qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model());
}

// A JSON text with a space after each ':' and ',' outside its strings.
QByteArray spacedOut(const QByteArray& compact)
{
    QByteArray out;
    bool inString = false;
    for (qsizetype i = 0; i < compact.size(); ++i) {
        const char c = compact.at(i);
        out += c;
        if (c == '\\' && inString)
            out += compact.at(++i);
        else if (c == '"')
            inString = !inString;
        else if (!inString && (c == ':' || c == ','))
            out += ' ';
    }
    return out;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void builtAsTheOperatorSeesIt()
    {
        WindowFixture f({{QStringLiteral("playback/resumeOnStart"), true},
                         {QStringLiteral("archive/internalMix"), true},
                         {QStringLiteral("archive/folder"), testHome().scratch(QStringLiteral("archive"))}});
        MainWindow& w = f.window();
        QStringList menus;
        for (const QAction* a : w.menuBar()->actions())
            if (a->isVisible())
                menus << a->text();
        QCOMPARE(menus, (QStringList{"&File", "&Edit", "&View", "&Playlist", "&Tools", "&Settings", "&Broadcast", "&Help"}));
        QVERIFY(!f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Built-in server"))->isChecked());
        QCOMPARE(tabTexts(f.find<QTabBar>(QStringLiteral("playlistTabs"))), (QStringList{"▶ Playlist 1", "Playlist 2", "+"}));
        const QTabBar* left = f.find<QTabWidget>(QStringLiteral("leftTabs"))->tabBar();
        QCOMPARE(tabTexts(left), (QStringList{"", "", ""}));
        QCOMPARE(tabTexts(left, true), (QStringList{"Library", "Files", "Scheduler"}));
        // Without a server address and password the ON AIR button asks for them.
        const QToolButton* onAir = f.find<QToolButton>(QStringLiteral("onAir"));
        QVERIFY(!onAir->isEnabled());
        QCOMPARE(onAir->toolTip(), QStringLiteral("Configure the server in Settings → Broadcast first"));

        // Nothing to resume in an empty playlist, and nothing said about it.
        w.maybeResumePlayback();
        QCOMPARE(f.log(), QStringList{"Scheduler: Enabled"});
        for (int i = 1; i <= 201; ++i)
            w.appendLog(QStringLiteral("line %1").arg(i));
        QCOMPARE(f.log().size(), 200);
        QCOMPARE(f.log().first() + '|' + f.log().last(), QStringLiteral("line 201|line 2"));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!f.screenshot(QStringLiteral("window-empty")).isEmpty());
    }

    void rowsGetTheirLengthsAndTheFooterItsTotals()
    {
        const QString a = WindowFixture::toneFile(QStringLiteral("Alpha - One.mp3"), 2);
        const QString b = WindowFixture::toneFile(QStringLiteral("Beta - Two - Live.wav"), 3);
        QVERIFY(!a.isEmpty() && !b.isEmpty());
        WindowFixture f;
        // A stream address takes its library record's name and limit.
        MusicLibrary radio;
        radio.load(QStringLiteral("Radio"));
        Track record;
        record.isStream = true;
        record.filePath = QStringLiteral("http://example.invalid/live");
        record.title = QStringLiteral("Example FM");
        record.streamLimitMs = 60000;
        QVERIFY(radio.addTrack(record));
        f.addPaths({a, QStringLiteral("  http://example.invalid/live  "), b, QStringLiteral("http://other.invalid/")});
        PlaylistModel* first = viewed(f);
        const QList<Track>& rows = first->tracks();
        QStringList names;
        for (const Track& t : rows)
            names << t.artist + '|' + t.title + (t.isStream ? "|stream" : "");
        QCOMPARE(names, (QStringList{"Alpha|One", "Online stream|Example FM|stream", "Beta|Two - Live",
                                     "Online stream|http://other.invalid/|stream"}));
        QCOMPARE(rows.at(1).streamLimitMs, 60000);
        first->removeRow(3);

        // The same file in a second playlist is filled from the same scan.
        auto* tabs = f.find<QTabBar>(QStringLiteral("playlistTabs"));
        tabs->setCurrentIndex(1);
        f.addPaths({a});
        PlaylistModel* second = viewed(f);
        QVERIFY(second != first);
        QTRY_VERIFY_WITH_TIMEOUT(rows[0].durationMs > 1900 && rows[2].durationMs > 2900
                                     && second->tracks()[0].durationMs > 1900, 30000);
        QCOMPARE(rows[1].durationMs, 0);
        // Rows after a newly measured one start later.
        QCOMPARE(rows[2].startTime, rows[0].startTime.addSecs(int(rows[0].durationMs / 1000)));
        QTRY_VERIFY(labelTexts(&f.window()).contains(QStringLiteral("Tracks: 1 [0:00:02]")));

        // The "+" tab opens a third playlist and shows it; the on-air tab keeps its mark.
        tabs->setCurrentIndex(2);
        QCOMPARE(tabTexts(tabs), (QStringList{"▶ Playlist 1", "Playlist 2", "Playlist 3", "+"}));
        QCOMPARE(f.log().first(), QStringLiteral("Added Playlist 3"));
        Track hour;
        hour.filePath = QStringLiteral("/nowhere/long.mp3");
        hour.durationMs = 3725000;
        viewed(f)->addTrack(hour);
        const QStringList labels = labelTexts(&f.window());
        QVERIFY(labels.contains(QStringLiteral("Tracks: 1 [1:02:05]")));
        QVERIFY(labels.contains(QStringLiteral("Playing time left: 62:05")));
    }

    // Thousands of new rows in the shown window all get their lengths, start
    // times and footer total, a batch of measured files at a time: a pass
    // over every row and a repaint for each file took minutes at this size.
    void manyNewRowsGetTheirLengths()
    {
        constexpr int kRows = 40000;
        const QString tone = WindowFixture::toneFile(QStringLiteral("Many - Rows.mp3"), 2);
        QVERIFY(!tone.isEmpty());
        const QString folder = testHome().scratch(QStringLiteral("many"));
        QStringList files;
        for (int i = 0; i < kRows; ++i) {
            files << folder + QStringLiteral("/Many - Row %1.mp3").arg(i);
            QCOMPARE(::link(QFile::encodeName(tone).constData(), QFile::encodeName(files.last()).constData()), 0);
        }
        WindowFixture f;
        f.window().show();
        f.addPaths(files);
        const QList<Track>& rows = viewed(f)->tracks();
        QTRY_COMPARE_WITH_TIMEOUT(rows.size(), kRows, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::all_of(rows, [](const Track& t) { return t.durationMs > 1900; }), 30000);
        QCOMPARE(rows.last().startTime, rows.first().startTime.addSecs(2 * (kRows - 1) % 86400));
        const qint64 s = std::accumulate(rows.cbegin(), rows.cend(), qint64(0),
                                         [](qint64 sum, const Track& t) { return sum + t.durationMs; }) / 1000;
        QTRY_VERIFY(labelTexts(&f.window())
                        .contains(QStringLiteral("Playing time left: %1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'))));
    }

    // Every playlist outlives the program with its rows, command rows and
    // stream limits included, the one on air, its queue and the row playing,
    // from which resume on start plays on, with the recording that ran. A
    // damaged store is kept aside.
    void playlistsComeBackAfterARestart()
    {
        const QString a = WindowFixture::toneFile(QStringLiteral("Alpha - One.mp3"), 30);
        QVERIFY(!a.isEmpty());
        WindowFixture f({{QStringLiteral("playback/resumeOnStart"), true},
                         {QStringLiteral("archive/internalMix"), true},
                         {QStringLiteral("archive/folder"), testHome().scratch(QStringLiteral("archive"))}});
        f.addPaths({QStringLiteral("/gone/Zero.mp3"), a, QStringLiteral("http://example.invalid/live")});
        PlaylistModel* first = viewed(f);
        first->tracks()[2].streamLimitMs = 90000;
        Track stop;
        stop.marker = true;
        stop.label = QStringLiteral("stop");
        first->insertTrack(1, stop);
        first->addToQueue(3);
        auto* tabs = f.find<QTabBar>(QStringLiteral("playlistTabs"));
        tabs->setCurrentIndex(2);
        f.addPaths({a});
        f->runSchedulerCommand(QStringLiteral("play 3"));
        QTRY_VERIFY_WITH_TIMEOUT(f.find<AudioEngine>()->isPlaying(), 20000);
        f->runSchedulerCommand(QStringLiteral("streamarchive on"));
        QTRY_VERIFY_WITH_TIMEOUT(f.find<StreamArchive>()->isRecording(), 20000);

        f.restart();
        tabs = f.find<QTabBar>(QStringLiteral("playlistTabs"));
        QCOMPARE(tabTexts(tabs), (QStringList{"▶ Playlist 1", "Playlist 2", "Playlist 3", "+"}));
        QCOMPARE(tabs->currentIndex(), 2);
        QCOMPARE(viewed(f)->rowCount(), 1);
        tabs->setCurrentIndex(0);
        const QList<Track>& rows = viewed(f)->tracks();
        QStringList got;
        for (const Track& t : rows)
            got << (t.marker ? ">" + t.label : t.filePath) + '|' + QString::number(t.streamLimitMs);
        QCOMPARE(got, (QStringList{"/gone/Zero.mp3|0", ">stop|0", a + "|0", "http://example.invalid/live|90000"}));
        QCOMPARE(viewed(f)->queue(), QList<int>{3});
        QCOMPARE(viewed(f)->currentRow(), 2);
        f->maybeResumePlayback();
        QTRY_VERIFY_WITH_TIMEOUT(f.find<AudioEngine>()->isPlaying(), 20000);
        QCOMPARE(f.find<AudioEngine>()->currentRow(), 2);
        QVERIFY(f.log().contains(QStringLiteral("Resumed playback on startup")));
        // The recording that ran at exit runs again.
        QTRY_VERIFY_WITH_TIMEOUT(f.find<StreamArchive>()->isRecording(), 20000);
        QVERIFY(f.log().contains(QStringLiteral("Resumed recording on startup")));

        f.destroy();
        QFile damaged(PlaylistStore::path());
        QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate) && damaged.write("{\"playlists\": [") > 0);
        damaged.close();
        f.restart();
        QVERIFY(std::ranges::any_of(f.log(), [](const QString& line) {
            return line.startsWith(QStringLiteral("The saved playlists could not be read"));
        }));
        QCOMPARE(tabTexts(f.find<QTabBar>(QStringLiteral("playlistTabs"))), (QStringList{"▶ Playlist 1", "Playlist 2", "+"}));
        const QFileInfoList aside = QFileInfo(PlaylistStore::path()).dir().entryInfoList({"playlists.json.broken-*"});
        QCOMPARE(aside.size(), 1);
        QFile kept(aside.first().filePath());
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("{\"playlists\": ["));

        // A long list comes back too, its rows read beside the window; any
        // text in them as it was.
        const QString odd = QStringLiteral("Say \"hi\" \\ back\tslash\nnext \u00e9\u266a \U0001F3B5 \x01");
        QList<Track> many;
        for (int i = 0; i < 6000; ++i) {
            Track t;
            t.filePath = QStringLiteral("/gone/%1.mp3").arg(i);
            t.title = odd;
            t.durationMs = 1000;
            many << t;
        }
        viewed(f)->insertTracks(0, many);
        f.restart();
        QTRY_COMPARE(viewed(f)->rowCount(), 6000);
        QCOMPARE(viewed(f)->tracks().last().filePath, many.last().filePath);
        QCOMPARE(viewed(f)->tracks().last().title, odd);

        // A save that cannot be written is told once, and so is the next one that can.
        const QString stored = PlaylistStore::path();
        QVERIFY(QFile::remove(stored) && QDir().mkdir(stored));
        const auto told = [&f](const QString& start) {
            return std::ranges::count_if(f.log(), [&start](const QString& line) { return line.startsWith(start); });
        };
        viewed(f)->removeRow(0);
        QTRY_COMPARE(told(QStringLiteral("Could not save the playlists to ") + stored), 1);
        viewed(f)->removeRow(0);
        QTest::qWait(1500);
        QCOMPARE(told(QStringLiteral("Could not save the playlists to ") + stored), 1);
        QVERIFY(QDir().rmdir(stored));
        viewed(f)->removeRow(0);
        QTRY_COMPARE(told(QStringLiteral("The playlists are saved again")), 1);
    }

    // The stored playlists as any JSON writer lays them out (Python's
    // json.dump, jq, an editor), numbers in any of their forms: every value
    // comes back and is saved back as it was. One that cannot be read is
    // named, and the file is copied aside before the fallback is saved.
    void storedPlaylistsInAnyLayout()
    {
        const QByteArray track = R"({"album":"A","artist":"Band","category":"Oldies","comment":"","dateAdded":)"
                                 R"("2024-05-01T18:04:05.123","durationMs":%1,"extras":[],"genre":"Pop","label":"",)"
                                 R"("lastPlayed":"2025-01-02T03:04:05.006","marker":false,"path":"/gone/%2.mp3",)"
                                 R"("playCount":%3,"stream":false,"streamLimitMs":%4,"title":"Song %2",)"
                                 R"("voiceTrack":false,"year":%5})";
        const auto row = [&track](int n, const char* ms, const char* year) {
            return QString::fromLatin1(track).arg(QLatin1String(ms)).arg(n).arg(n + 3).arg(n * 1000).arg(QLatin1String(year)).toLatin1();
        };
        const auto session = [&row](const char* ms, const char* year) {
            return R"({"aux":[],"format":1,"onAir":1,"playing":false,"playlists":[{"currentRow":-1,"name":"Morning",)"
                   R"("played":[],"queue":[],"rows":[)" + row(7, "1000", "2001") + R"(],"segues":[]},)"
                   R"({"currentRow":1,"name":"Evening","played":[0],"queue":[2,0],"rows":[)"
                   + row(1, ms, year) + ',' + row(2, "183000", "1999") + ',' + row(3, "1", "0")
                   + R"(],"segues":[{"fadeOutMs":1500,"mixPointMs":-2500,"row":1}]}],"viewed":1})";
        };
        const QByteArray compact = session("183000", "1987");
        QVERIFY(QJsonDocument::fromJson(compact).isObject());
        const auto written = [] {
            QFile f(PlaylistStore::path());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
        };
        WindowFixture f;
        const auto restarted = [&f](const QByteArray& stored) {
            f.destroy();
            QFile out(PlaylistStore::path());
            if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(stored) != stored.size())
                return false;
            out.close();
            f.restart();
            return true;
        };
        const QList<QByteArray> layouts = {
            compact,
            QJsonDocument::fromJson(compact).toJson(QJsonDocument::Indented),
            spacedOut(session("1.83e5", "19.87E2")) + "\n",
        };
        for (const QByteArray& stored : layouts) {
            QVERIFY(restarted(stored));
            const PlaylistModel* evening = viewed(f);
            QCOMPARE(evening->rowCount(), 3);
            QCOMPARE(evening->tracks().at(0).durationMs, 183000);
            QCOMPARE(evening->tracks().at(0).year, 1987);
            QCOMPARE(evening->currentRow(), 1);
            QCOMPARE(evening->queue(), (QList<int>{2, 0}));
            QVERIFY2(!f.log().join('\n').contains(QStringLiteral("could not be read")), qPrintable(f.log().join('\n')));
            f.destroy();
            QCOMPARE(written(), compact);
        }

        // A word where a number belongs: named, the file kept as it was,
        // and only then the value saved as none.
        const QByteArray unreadable = spacedOut(session("\"long\"", "1987"));
        QVERIFY(restarted(unreadable));
        const QString said = f.log().filter(QStringLiteral("could not be read")).join('\n');
        QVERIFY2(said.startsWith(QStringLiteral("The saved playlists held 1 value(s) that could not be read (the first: "
                                                "durationMs at offset %1); they are taken as none. The file as it was "
                                                "is kept as ")
                                     .arg(unreadable.indexOf("\"long\""))),
                 qPrintable(said));
        QFile copy(said.section(QStringLiteral(" is kept as "), 1).chopped(1));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), unreadable);
        f.destroy();
        QCOMPARE(written(), session("0", "1987"));
    }

    void outputSwitchesFromTheBroadcastMenu()
    {
        const quint16 free = WindowFixture::freePort();
        WindowFixture f({{QStringLiteral("server/port"), free}});
        QAction* server = f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Built-in server"));
        server->trigger();
        QVERIFY(server->isChecked());
        QCOMPARE(f.log().first(), QStringLiteral("Built-in server: listeners can connect to http://<this-pc>:%1/").arg(free));
        server->trigger();
        QVERIFY(!server->isChecked());
        QCOMPARE(QSettings().value(QStringLiteral("server/enabled")).toBool(), false);

        // Without a password the stream is refused with a message, unchecked.
        PromptScript prompts;
        QAction* broadcast = f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Start Broadcasting"));
        broadcast->trigger();
        QVERIFY(!broadcast->isChecked());
        QCOMPARE(prompts.messages(),
                 QStringList{"Set the server address and password first in Settings → Broadcast."});
    }

    void toolWindowsFromTheMenus()
    {
        WindowFixture f;
        Security::setPassword(Security::Settings, QStringLiteral("pw"));
        Security::s_unlocked[Security::Settings] = false;
        PromptScript prompts;
        prompts.answerText(QStringLiteral("wrong"));
        f.menuAction(QStringLiteral("&Settings"), QStringLiteral("Settings..."))->trigger();
        QCOMPARE(prompts.count(Prompts::Kind::Dialog), 0);
        QCOMPARE(prompts.messages(), QStringList{"Incorrect password."});

        prompts.answerText(QStringLiteral("pw"));
        prompts.answerDialog([](QDialog& d) {
            d.findChild<QLineEdit*>(QStringLiteral("broadcast/host"))->setText(QStringLiteral("127.0.0.1"));
            d.findChild<QLineEdit*>(QStringLiteral("broadcast/password"))->setText(QStringLiteral("secret"));
            for (QPushButton* b : d.findChildren<QPushButton*>())
                if (b->text() == QStringLiteral("OK"))
                    b->click();
            return d.result();
        });
        f.menuAction(QStringLiteral("&Broadcast"), QStringLiteral("Broadcast settings..."))->trigger();
        QCOMPARE(f.log().mid(0, 2), (QStringList{"Settings updated", "Settings unlocked"}));
        // Host and password set: the ON AIR button offers to go on air.
        const QToolButton* onAir = f.find<QToolButton>(QStringLiteral("onAir"));
        QVERIFY(onAir->isEnabled());
        QCOMPARE(onAir->toolTip(), QStringLiteral("Click to go on air"));
        Security::setPassword(Security::Settings, QString());

        // A generated playlist is appended to the one on view.
        prompts.answerDialog([](QDialog& d) {
            Track t;
            t.title = QStringLiteral("Made");
            emit qobject_cast<PlaylistGeneratorDialog*>(&d)->playlistGenerated({t, t});
            return int(QDialog::Accepted);
        });
        f.menuAction(QStringLiteral("&Playlist"), QStringLiteral("Playlist Generator..."))->trigger();
        QCOMPARE(viewed(f)->rowCount(), 2);
        QCOMPARE(f.log().first(), QStringLiteral("Generated 2 tracks"));

        // The library window is made once; a stream sent from it asks for its play time.
        QAction* library = f.menuAction(QStringLiteral("&Playlist"), QStringLiteral("Music Library..."));
        library->trigger();
        library->trigger();
        QCOMPARE(f->findChildren<MusicLibraryDialog*>().size(), 1);
        Track stream;
        stream.isStream = true;
        stream.title = QStringLiteral("Radio");
        prompts.answerText(QStringLiteral("1:30"));
        emit f.find<MusicLibraryDialog>()->sendToPlaylist(stream);
        QCOMPARE(viewed(f)->tracks().last().streamLimitMs, 90000);
        QCOMPARE(f.log().first(), QStringLiteral("Added stream (limit 1:30): Radio"));
    }

    // Each menu entry once, the prompts it opens answered no (a print goes
    // to a PDF file): every entry does something the operator can see. Then
    // Run Now in the scheduler window runs its event.
    void everyMenuEntryOnce()
    {
        const QString dir = testHome().scratch(QStringLiteral("menus"));
        const QString pdf = dir + QStringLiteral("/playlist.pdf");
        const QString tone = WindowFixture::toneFile(QStringLiteral("Delta - Echo.wav"), 2);
        const QString lists = testHome().scratch(QStringLiteral("menus/lists"));
        QFile list(lists + QStringLiteral("/pick.m3u"));
        QVERIFY(list.open(QIODevice::WriteOnly) && list.write(tone.toUtf8() + "\n" + tone.toUtf8() + "\n") > 0);
        list.close();
        WindowFixture f({{QStringLiteral("server/port"), WindowFixture::freePort()},
                         {QStringLiteral("updates/url"), QStringLiteral("http://127.0.0.1:%1/latest.json").arg(WindowFixture::freePort())}});
        f->show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window()));
        ScheduledEvent pick;
        pick.name = QStringLiteral("Pick");
        pick.action = QStringLiteral("getrandomplaylist ") + lists;
        pick.time = QTime(3, 0);
        pick.date = QDate(2001, 1, 1);
        f.find<EventScheduler>()->setEvents({pick});

        QStringList asked;
        Prompts::setResponder([&](const Prompts::Request& r) {
            asked << r.title;
            Prompts::Answer a;
            if (r.kind == Prompts::Kind::OpenFiles)
                a = {.accepted = true, .texts = {tone}};
            if (auto* print = qobject_cast<QPrintDialog*>(r.dialog)) {
                print->printer()->setOutputFileName(pdf);
                a = {.accepted = true, .number = QDialog::Accepted};
            }
            return a;
        });
        const auto restore = qScopeGuard([] { PromptScript::installDefault(); });
        auto state = [&] {
            QStringList seen{QString::number(asked.size())};
            seen << f.log();
            for (const QWidget* w : f->findChildren<QWidget*>())
                seen << QString::number(w->isVisible());
            for (const PlaylistModel* m : f->findChildren<PlaylistModel*>())
                seen << QString::number(m->rowCount());
            return seen;
        };
        // Rows for the entries that work on rows, where earlier entries left none.
        const QHash<QString, std::function<void()>> setUp{
            {QStringLiteral("Print playlist..."), [&] { f.addPaths({tone}); }},
            {QStringLiteral("Remove selected"), [&] { f.find<QTableView>(QStringLiteral("playlist"))->selectRow(0); }},
            {QStringLiteral("Normalize playlist tracks..."), [&] { f.addPaths({tone}); }},
        };
        QAction* exit = nullptr;
        for (QAction* top : f->menuBar()->actions()) {
            for (QAction* entry : entries(top->menu())) {
                if (entry->text() == QStringLiteral("Exit")) {
                    exit = entry;
                    continue;
                }
                if (setUp.contains(entry->text()))
                    setUp.value(entry->text())();
                const QStringList before = state();
                entry->trigger();
                QVERIFY2(state() != before, qPrintable(top->text() + QStringLiteral(" > ") + entry->text()));
            }
        }

        QVERIFY(f.log().contains(QStringLiteral("Printed: playlist")));
        QByteArray text;
        QVERIFY(AudioFixtures::run(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")}, &text));
        QVERIFY2(text.contains("Playlist 1") && text.contains("Delta - Echo"), text.constData());
        // The library is a window of its own that can be minimised and maximised.
        auto* library = f.find<MusicLibraryDialog>();
        QVERIFY(library && library->isVisible());
        QCOMPARE(library->windowType(), Qt::Window);
        QVERIFY(library->windowFlags().testFlags(Qt::WindowMinMaxButtonsHint));

        auto* scheduler = f.find<SchedulerWindow>();
        QVERIFY(scheduler && scheduler->isVisible());
        auto* events = scheduler->findChild<QTreeWidget*>();
        events->setCurrentItem(events->topLevelItem(0));
        QVERIFY(clickButton(*scheduler, QStringLiteral("Run Now")));
        QVERIFY(f.log().contains(QStringLiteral("Scheduler fired: Pick")));
        QVERIFY(f.log().contains(QStringLiteral("getrandomplaylist: chose pick.m3u")));
        QTRY_COMPARE(f->findChildren<PlaylistModel*>().first()->rowCount(), 2);

        exit->trigger();
        QVERIFY(!f->isVisible());
    }

    // The web services through a local stand-in: the weather from stored
    // coordinates, the silent update check 2.5 s after start and its dialog,
    // then a manual check that is told in a box.
    void weatherAndUpdatesFromTheirServices()
    {
        WebStandIn web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        auto release = [](const QString& v) { return QJsonObject{{"latest_version", v}, {"download_url", ""}}; };
        web.setRules({WebStandIn::answer(QStringLiteral("/latest.json"), release(QStringLiteral("9.0")))});
        PromptScript prompts;
        prompts.answerDialog([](QDialog& d) {
            for (QPushButton* b : d.findChildren<QPushButton*>())
                if (b->text() == QStringLiteral("Skip This Version"))
                    b->click();
            return d.result();
        });
        WindowFixture f({{QStringLiteral("updates/url"), web.baseUrl() + QStringLiteral("/latest.json")},
                         {QStringLiteral("updates/checkOnStartup"), true},
                         {QStringLiteral("weather/lat"), QStringLiteral("52.5")},
                         {QStringLiteral("weather/lon"), QStringLiteral("13.4")},
                         {QStringLiteral("weather/forecastUrl"), web.baseUrl()}});
        QVERIFY(f.log().contains(QStringLiteral("Weather: using coordinates 52.5, 13.4")));
        QVERIFY(f.waitForLog(QStringLiteral("Skipped update 9.0")));
        QCOMPARE(QSettings().value(QStringLiteral("updates/skippedVersion")).toString(), QStringLiteral("9.0"));
        QVERIFY(web.targets().filter(QStringLiteral("/v1/forecast")).size() >= 1);

        web.setRules({WebStandIn::answer(QStringLiteral("/latest.json"), release(QStringLiteral("1.0.0")))});
        f.find<QStatusBar>()->findChild<QToolButton*>()->click();
        QVERIFY(f.waitForLog(QStringLiteral("Orchidlantern is up to date (1.0.0)")));
        QCOMPARE(prompts.messages().last(), QStringLiteral("You are running the latest version (1.0.0)."));
    }

    void leftPagesAndSearchColumnsFromTheirMenus()
    {
        WindowFixture f;
        QTabBar* left = f.find<QTabWidget>(QStringLiteral("leftTabs"))->tabBar();
        WindowFixture::choosePopupEntry(QStringLiteral("Library"));
        emit left->customContextMenuRequested(QPoint(4, 4));
        QCOMPARE(tabTexts(left, true), (QStringList{"Files", "Scheduler"}));
        WindowFixture::choosePopupEntry(QStringLiteral("Library"));
        emit left->customContextMenuRequested(QPoint(4, 4));
        QCOMPARE(tabTexts(left, true), (QStringList{"Files", "Scheduler", "Library"}));

        auto* search = f.find<QTableView>(QStringLiteral("searchResults"));
        for (const QString& entry : {QStringLiteral("Album"), QStringLiteral("Title")}) {
            WindowFixture::choosePopupEntry(entry);
            emit search->horizontalHeader()->customContextMenuRequested(QPoint(4, 4));
        }
        // The album column starts hidden.
        QVERIFY(!search->isColumnHidden(2));
        QVERIFY2(!search->isColumnHidden(1), "the title column can not be hidden");

        // The Files page adds a file on a double-click, and nothing for a folder.
        const QString tone = WindowFixture::toneFile(QStringLiteral("Gamma - Three.ogg"), 1);
        auto* tree = f.find<QTreeView>(QStringLiteral("fileExplorer"));
        auto* files = qobject_cast<QFileSystemModel*>(tree->model());
        emit tree->doubleClicked(files->index(QFileInfo(tone).absolutePath()));
        emit tree->doubleClicked(files->index(tone));
        QVERIFY(f.rowsMade());
        QCOMPARE(viewed(f)->rowCount(), 1);
        QCOMPARE(f.log().first(), QStringLiteral("Added from files: Gamma - Three.ogg"));
    }
};

OL_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
