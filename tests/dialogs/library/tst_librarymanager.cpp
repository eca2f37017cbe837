#include "audiofixtures.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "olmain.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QTimer>

namespace {

constexpr int kWaitMs = 60000;

QString built(const QString& relative)
{
    return qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR") + QLatin1Char('/') + relative;
}

// Lines from the sqlite3 program, reading the file as another program would.
QStringList sqlite(const QString& db, const QString& sql)
{
    QByteArray out;
    AudioFixtures::run(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), db, sql}, &out);
    return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A tree as operators keep one: nested folders with non-ASCII names, files
// made by ffmpeg and sox, broken files, files that are not audio, and a
// link back up the tree. Returns the audio files; seeds by suffix.
QStringList makeTree(const QString& top, int copies, QMap<QString, QString>& seeds)
{
    const QString s = testHome().scratch(QStringLiteral("seeds"));
    seeds = {{QStringLiteral("mp3"), s + QStringLiteral("/s.mp3")}, {QStringLiteral("ogg"), s + QStringLiteral("/s.ogg")},
             {QStringLiteral("wav"), s + QStringLiteral("/s.wav")}};
    if (!AudioFixtures::tone(seeds[QStringLiteral("mp3")], 440, -12, 2.0, 44100, 2, {{"artist", "Sängerin"}})
        || !AudioFixtures::tone(seeds[QStringLiteral("ogg")], 550, -12, 3.0)
        || !AudioFixtures::run(QStringLiteral("sox"), {"-n", "-r", "22050", "-c", "1", seeds[QStringLiteral("wav")],
                                                       "synth", "1.5", "sine", "440"}))
        return {};
    const QStringList folders{QStringLiteral("Ünïcödé 日本/Disc 1"), QStringLiteral("a/b/c"), QStringLiteral("a"), {}};
    QStringList files;
    for (int i = 0; i < copies; ++i) {
        const QString ext = seeds.keys().at(i % seeds.size());
        const QString folder = QDir::cleanPath(top + QLatin1Char('/') + folders.at(i % folders.size()));
        QDir().mkpath(folder);
        files << folder + QStringLiteral("/%1 Café – Déjà vu.%2").arg(i, 4, 10, QLatin1Char('0')).arg(ext);
        if (!QFile::copy(seeds.value(ext), files.last()))
            return {};
    }
    QFile mp3(seeds[QStringLiteral("mp3")]);
    mp3.open(QIODevice::ReadOnly);
    const QList<QPair<QString, QByteArray>> odd{{QStringLiteral("truncated.mp3"), mp3.read(700)},
                                               {QStringLiteral("noise.flac"), QByteArray(5000, '3')},
                                               {QStringLiteral("empty.ogg"), {}},
                                               {QStringLiteral("notes.txt"), "notes"}};
    for (const auto& [name, bytes] : odd) {
        QFile f(top + QStringLiteral("/a/") + name);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return {};
        if (MusicLibrary::isAudioFile(name))
            files << f.fileName();
    }
    return QFile::link(top + QStringLiteral("/a"), top + QStringLiteral("/a/b/c/back to a")) ? files : QStringList();
}

} // namespace

class TestLibraryManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }

    // Started as a user starts it, on a display of its own: its window has
    // its title and size, the first start leaves "Default" behind, and
    // Escape ends the program with status 0.
    void programOpensItsWindowAndEndsWithIt()
    {
        const QString home = testHome().scratch(QStringLiteral("manager-home"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("QT_MEDIA_BACKEND"));
        const QString script = QStringLiteral(
            "\"$1\" & pid=$!\n"
            "win=$(timeout 60 xdotool search --sync --onlyvisible --name 'Library Manager' | head -n 1)\n"
            "echo \"name=$(xdotool getwindowname \"$win\")\"\n"
            "xdotool getwindowgeometry --shell \"$win\"\n"
            "xdotool windowfocus --sync \"$win\" key Escape\n"
            "wait $pid; echo \"exit=$?\"\n");
        QProcess x;
        x.setProcessEnvironment(env);
        x.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        x.start(QStringLiteral("xvfb-run"),
                {"-a", "-s", "-screen 0 1280x1024x24", "bash", "-c", script, "manager",
                 built(QStringLiteral("apps/orchidlantern-library/orchidlantern-library"))});
        QVERIFY(x.waitForFinished(120000));
        const QStringList lines = QString::fromUtf8(x.readAllStandardOutput()).split(QLatin1Char('\n'));
        for (const char* expected : {"name=Orchidlantern — Library Manager", "WIDTH=960", "HEIGHT=620", "exit=0"})
            QVERIFY2(lines.contains(QString::fromUtf8(expected)), qPrintable(lines.join('|')));
        QCOMPARE(sqlite(home + QStringLiteral("/.config/Orchidlantern/Orchidlantern/library.db"),
                        QStringLiteral("SELECT name FROM libraries")),
                 QStringList{QStringLiteral("Default")});
    }

    // The manager imports a large tree while a second program on the same
    // library.db searches it and logs plays: every file arrives once, the
    // other program sees the import grow and loses no play, and no one is
    // told of a locked database.
    void twoProgramsShareTheDatabase()
    {
        const QString top = testHome().scratch(QStringLiteral("tree"));
        QMap<QString, QString> seeds;
        QStringList files = makeTree(top, 2000, seeds);
        QVERIFY(!files.isEmpty());
        const QString db = MusicLibrary::database().databaseName();
        MusicLibraryDialog dialog;
        QProcess other;
        other.start(built(QStringLiteral("tests/ol_librarypeer")), {QStringLiteral("Default")});
        QTRY_VERIFY_WITH_TIMEOUT(other.canReadLine() || other.state() == QProcess::NotRunning, kWaitMs);
        QCOMPARE(other.readLine().trimmed(), QByteArray("ready"));

        PromptScript script;
        script.answerFolder(top);
        dialog.addFolder();
        other.closeWriteChannel();
        QVERIFY(other.waitForFinished(kWaitMs));
        QCOMPARE(script.count(Prompts::Kind::Warning), 0);
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("status"))->text(),
                 QStringLiteral("Added %1 file(s) from folder").arg(files.size()));
        QStringList stored = sqlite(db, QStringLiteral("SELECT filepath FROM tracks WHERE library='Default'"));
        stored.sort();
        files.sort();
        QCOMPARE(stored, files);

        QStringList report = QString::fromUtf8(other.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        const QString plays = report.takeLast();
        QVERIFY2(plays.startsWith(QStringLiteral("plays ")), qPrintable(plays));
        int previous = 0;
        bool between = false;
        for (const QString& line : std::as_const(report)) {
            QVERIFY2(line.startsWith(QStringLiteral("rows ")) && line.mid(5).toInt() >= previous, qPrintable(line));
            previous = line.mid(5).toInt();
            between = between || (previous > 0 && previous < files.size());
        }
        QCOMPARE(previous, int(files.size()));
        QVERIFY2(between, "the other program never saw the import under way");
        QCOMPARE(sqlite(db, QStringLiteral("SELECT COUNT(*) FROM play_history")), QStringList{plays.mid(6)});

        // Durations read at import agree with ffprobe's.
        for (const QString& ext : seeds.keys()) {
            const QString first = files.filter(QLatin1Char('.') + ext).first();
            const QStringList ms = sqlite(db, QStringLiteral("SELECT duration_ms FROM tracks WHERE filepath='%1'")
                                                  .arg(QString(first).replace('\'', "''")));
            const double probe = AudioFixtures::probe(seeds.value(ext), QStringLiteral("format=duration")).toDouble();
            QVERIFY2(qAbs(ms.value(0).toLongLong() - qint64(probe * 1000)) < 100, qPrintable(ext));
        }
    }

    // While the manager adds a folder, the playout program starts, finds
    // library.db not its own and sets it aside: the manager notices before
    // its next write, says so, and goes on in the new library.db, where
    // every file ends up once, or is named as not added.
    void importFollowsAFileSetAside()
    {
        const QString top = testHome().scratch(QStringLiteral("aside"));
        const QString seed = top + QStringLiteral("/seed.wav");
        QVERIFY(AudioFixtures::silence(seed, 0.1));
        const QString folder = top + QStringLiteral("/music");
        QVERIFY(QDir().mkpath(folder));
        constexpr int kFiles = 1000;
        QStringList files;
        for (int i = 0; i < kFiles; ++i) {
            files << folder + QStringLiteral("/%1.wav").arg(i, 4, 10, QLatin1Char('0'));
            QVERIFY(QFile::copy(seed, files.last()));
        }
        const QString db = MusicLibrary::database().databaseName();
        const auto asideNow = [&db] {
            return QDir(QFileInfo(db).path())
                .entryList({QStringLiteral("library.db.unusable-*")}, QDir::Files)
                .filter(QRegularExpression(QStringLiteral("-\\d{6}(-\\d+)?$")));
        };
        MusicLibraryDialog dialog;
        PromptScript script;
        QString details;
        script.answerDialog([&details](QDialog& d) {
            details = qobject_cast<QMessageBox*>(&d)->detailedText();
            return int(QMessageBox::Ok);
        });
        QProcess playout;
        const auto end = qScopeGuard([&playout] {
            playout.terminate();
            playout.waitForFinished(kWaitMs);
        });
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            const QList<QProgressDialog*> shown = dialog.findChildren<QProgressDialog*>();
            if (shown.isEmpty() || shown.first()->value() < 50)
                return;
            if (playout.state() == QProcess::NotRunning) {
                QVERIFY(AudioFixtures::run(QStringLiteral("sqlite3"), {db, QStringLiteral("PRAGMA application_id=7")}));
                playout.start(built(QStringLiteral("apps/orchidlantern/orchidlantern")));
            }
            // Half way the import waits until the file is set aside.
            if (shown.first()->value() >= kFiles / 2)
                QTRY_VERIFY_WITH_TIMEOUT(!asideNow().isEmpty(), kWaitMs);
        });
        watch.start(0);
        script.answerFolder(folder);
        dialog.addFolder();
        watch.stop();
        QCOMPARE(asideNow().size(), 1);
        QCOMPARE(script.count(Prompts::Kind::Warning), 1);
        QVERIFY(script.messages().first().startsWith(QStringLiteral("Another program set the library database aside")));

        QStringList stored = sqlite(db, QStringLiteral("SELECT filepath FROM tracks WHERE library='Default'"));
        const QStringList named = details.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QString status = dialog.findChild<QLabel*>(QStringLiteral("status"))->text();
        QCOMPARE(status, named.isEmpty() ? QStringLiteral("Added %1 file(s) from folder").arg(kFiles)
                                         : QStringLiteral("Added %1 of %2 file(s) from folder").arg(stored.size()).arg(kFiles));
        stored += named;
        stored.sort();
        QCOMPARE(stored, files);
    }
};

OL_TEST_MAIN(TestLibraryManager)
#include "tst_librarymanager.moc"
