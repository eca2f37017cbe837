// ctest: timeout 500
#include "audiofixtures.h"
#include "dialogs/library/musiclibrarydialog.h"
#include "olmain.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>

namespace {

constexpr int kWaitMs = 60000;

QString binary(const QString& relative)
{
    return qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR") + QLatin1Char('/') + relative;
}

// One value per line from the sqlite3 program, reading the file as
// another program would.
QStringList sqlite(const QString& db, const QString& sql)
{
    QByteArray out;
    if (!AudioFixtures::run(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), db, sql}, &out))
        return {QStringLiteral("<sqlite3 failed>")};
    return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A folder tree as operators keep one: nested folders with non-ASCII
// names, files of every kind made by ffmpeg and sox, broken files, files
// that are not audio, and a link back up the tree. Returns the audio files.
QStringList makeTree(const QString& top, int copies, QMap<QString, QString>* seeds)
{
    const QString seedDir = top + QStringLiteral("/.seeds");
    QDir().mkpath(seedDir);
    const QMap<QString, QString> tags{{QStringLiteral("artist"), QStringLiteral("Sängerin")},
                                      {QStringLiteral("title"), QStringLiteral("Lied für dich")}};
    const QString mp3 = seedDir + QStringLiteral("/s.mp3"), flac = seedDir + QStringLiteral("/s.flac"),
                  ogg = seedDir + QStringLiteral("/s.ogg"), wav = seedDir + QStringLiteral("/s.wav");
    if (!AudioFixtures::tone(mp3, 440, -12, 2.0, 44100, 2, tags) || !AudioFixtures::tone(flac, 330, -12, 1.0)
        || !AudioFixtures::tone(ogg, 550, -12, 3.0)
        || !AudioFixtures::run(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("22050"),
                                                       QStringLiteral("-c"), QStringLiteral("1"), wav, QStringLiteral("synth"),
                                                       QStringLiteral("1.5"), QStringLiteral("sine"), QStringLiteral("440")}))
        return {};
    *seeds = {{QStringLiteral("mp3"), mp3}, {QStringLiteral("flac"), flac}, {QStringLiteral("ogg"), ogg},
              {QStringLiteral("wav"), wav}};

    const QStringList folders{QStringLiteral("Ünïcödé 日本/Disc 1"), QStringLiteral("Ünïcödé 日本/Disc 2"),
                              QStringLiteral("a/b/c"), QStringLiteral("a"), QString()};
    QStringList files;
    for (int i = 0; i < copies; ++i) {
        const QString ext = seeds->keys().at(i % 4);
        const QString folder = QDir::cleanPath(top + QLatin1Char('/') + folders.at(i % folders.size()));
        QDir().mkpath(folder);
        const QString path = folder + QStringLiteral("/%1 Café – Déjà vu.%2").arg(i, 4, 10, QLatin1Char('0')).arg(ext);
        if (!QFile::copy(seeds->value(ext), path))
            return {};
        files << path;
    }
    QDir().mkpath(top + QStringLiteral("/broken"));
    auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile f(top + QLatin1Char('/') + name);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    QFile seedMp3(mp3);
    if (!seedMp3.open(QIODevice::ReadOnly) || !write(QStringLiteral("broken/truncated.mp3"), seedMp3.read(700))
        || !write(QStringLiteral("broken/noise.flac"), QByteArray(5000, '\x33'))
        || !write(QStringLiteral("broken/empty.ogg"), {}) || !write(QStringLiteral("a/cover.jpg"), "jpeg")
        || !write(QStringLiteral("a/notes.txt"), "notes")
        || !QFile::link(top + QStringLiteral("/a"), top + QStringLiteral("/a/b/c/back to a")))
        return {};
    files << top + QStringLiteral("/broken/truncated.mp3") << top + QStringLiteral("/broken/noise.flac")
          << top + QStringLiteral("/broken/empty.ogg");
    return files;
}

} // namespace

class TestLibraryManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(MusicLibrary::initDatabase()); }

    // The program as a user starts it, on a display of its own: its one
    // window has its title and size, the first start leaves the library
    // "Default" behind, and Escape ends the program with status 0.
    void programOpensItsWindowAndEndsWithIt()
    {
        const QString program = binary(QStringLiteral("apps/orchidlantern-library/orchidlantern-library"));
        if (!QFile::exists(program))
            QSKIP("the program was not built beside the tests");
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
            "xdotool windowfocus --sync \"$win\"\n"
            "xdotool key Escape\n"
            "wait $pid\n"
            "echo \"exit=$?\"\n");
        QProcess x;
        x.setProcessEnvironment(env);
        x.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        x.start(QStringLiteral("xvfb-run"), {QStringLiteral("-a"), QStringLiteral("-s"),
                                            QStringLiteral("-screen 0 1280x1024x24"), QStringLiteral("bash"),
                                            QStringLiteral("-c"), script, QStringLiteral("manager"), program});
        QVERIFY(x.waitForFinished(120000));
        const QStringList lines = QString::fromUtf8(x.readAllStandardOutput()).split(QLatin1Char('\n'));
        QVERIFY2(lines.contains(QStringLiteral("name=Orchidlantern — Library Manager")), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains(QStringLiteral("WIDTH=960")), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains(QStringLiteral("HEIGHT=620")), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains(QStringLiteral("exit=0")), qPrintable(lines.join('|')));
        QCOMPARE(sqlite(home + QStringLiteral("/.config/Orchidlantern/Orchidlantern/library.db"),
                        QStringLiteral("SELECT name FROM libraries")),
                 QStringList{QStringLiteral("Default")});
    }

    // The manager imports a large folder tree while a second program on
    // the same library.db searches it and logs plays: every file arrives
    // once, the other program's every search and play succeeds, and no
    // one is told of a locked database.
    void twoProgramsShareTheDatabase()
    {
        const QString peer = binary(QStringLiteral("tests/ol_librarypeer"));
        QVERIFY2(QFile::exists(peer), qPrintable(peer));
        const QString top = testHome().scratch(QStringLiteral("tree"));
        QMap<QString, QString> seeds;
        QStringList files = makeTree(top, 2000, &seeds);
        QVERIFY(!files.isEmpty());
        const QString db = MusicLibrary::database().databaseName();

        MusicLibraryDialog dialog;
        QProcess other;
        other.start(peer, {QStringLiteral("Default")});
        QVERIFY(other.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(other.canReadLine(), kWaitMs);
        QCOMPARE(other.readLine().trimmed(), QByteArray("ready"));

        PromptScript script;
        script.answerFolder(top);
        dialog.addFolder();
        other.closeWriteChannel();
        QVERIFY(other.waitForFinished(kWaitMs));
        QCOMPARE(other.exitCode(), 0);

        QCOMPARE(script.count(Prompts::Kind::Warning), 0);
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("status"))->text(),
                 QStringLiteral("Added %1 file(s) from folder").arg(files.size()));
        QStringList stored = sqlite(db, QStringLiteral("SELECT filepath FROM tracks WHERE library='Default'"));
        stored.sort();
        files.sort();
        QCOMPARE(stored, files);

        const QStringList report = QString::fromUtf8(other.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(report.last().startsWith(QStringLiteral("plays ")), qPrintable(report.mid(report.size() - 3).join(QLatin1Char('|'))));
        int previous = 0;
        bool between = false;
        for (const QString& line : report.mid(0, report.size() - 1)) {
            QVERIFY2(line.startsWith(QStringLiteral("rows ")), qPrintable(line));
            const int rows = line.mid(5).toInt();
            QVERIFY2(rows >= previous, qPrintable(line));
            between = between || (rows > 0 && rows < files.size());
            previous = rows;
        }
        QCOMPARE(previous, int(files.size()));
        QVERIFY2(between, "the other program never saw the import under way");
        QCOMPARE(sqlite(db, QStringLiteral("SELECT COUNT(*) FROM play_history")),
                 QStringList{report.last().mid(6)});

        // Durations read at import match ffprobe's.
        for (const QString& ext : seeds.keys()) {
            QString first = files.filter(QStringLiteral(".") + ext).first();
            const QStringList ms = sqlite(
                db, QStringLiteral("SELECT duration_ms FROM tracks WHERE filepath='%1'").arg(first.replace('\'', "''")));
            const double probe = AudioFixtures::probe(seeds.value(ext), QStringLiteral("format=duration")).toDouble();
            QVERIFY2(qAbs(ms.value(0).toLongLong() - qint64(probe * 1000)) < 100, qPrintable(ext));
        }
    }
};

OL_TEST_MAIN(TestLibraryManager)
#include "tst_librarymanager.moc"
