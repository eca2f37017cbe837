#include "audiofixtures.h"
#include "library/musiclibrary.h"
#include "olmain.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

using Tags = QMap<QString, QString>;

// One stored row, read back with plain SQL by path.
QVariantMap storedRow(const QString& library, const QString& path)
{
    QSqlQuery q(MusicLibrary::database());
    q.prepare(QStringLiteral("SELECT * FROM tracks WHERE library=? AND filepath=?"));
    q.addBindValue(library);
    q.addBindValue(path);
    QVariantMap row;
    if (q.exec() && q.next()) {
        const QSqlRecord rec = q.record();
        for (int i = 0; i < rec.count(); ++i)
            row.insert(rec.fieldName(i), q.value(i));
    }
    return row;
}

int rowsOf(const QString& library)
{
    QSqlQuery q(MusicLibrary::database());
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM tracks WHERE library=?"));
    q.addBindValue(library);
    return q.exec() && q.next() ? q.value(0).toInt() : -1;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The other program, holding the write lock on the library file for a
// while after running `sql` in its transaction; true once it holds it.
bool holdWriteLock(QProcess& holder, double seconds, const QString& sql)
{
    holder.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sqlite3, sys, time\n"
                                 "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                 "c.execute('BEGIN IMMEDIATE')\n"
                                 "if sys.argv[3]: c.execute(sys.argv[3])\n"
                                 "print('locked', flush=True)\n"
                                 "time.sleep(float(sys.argv[2]))\n"
                                 "c.execute('COMMIT')\n"),
                  MusicLibrary::database().databaseName(), QString::number(seconds), sql});
    if (!holder.waitForStarted(10000))
        return false;
    QDeadlineTimer deadline(20000);
    while (!holder.canReadLine() && holder.state() == QProcess::Running && !deadline.hasExpired())
        QTest::qWait(20);
    return holder.readLine().trimmed() == "locked";
}

} // namespace

class TestLibraryImport : public QObject
{
    Q_OBJECT

    QString m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(MusicLibrary::initDatabase());
        QVERIFY(MusicLibrary::s_ftsAvailable);
        m_dir = testHome().scratch(QStringLiteral("import"));
    }

    void isAudioFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("audio");
        QTest::newRow("upper-case suffix") << "Song.MP3" << true;
        QTest::newRow("dots in name") << "a.b.flac" << true;
        QTest::newRow("folder with dot") << "/music/v1.0/track.opus" << true;
        QTest::newRow("text after suffix") << "song.mp3.txt" << false;
        QTest::newRow("no suffix") << "noext" << false;
        QTest::newRow("playlist") << "playlist.m3u" << false;
        QTest::newRow("suffix only in folder") << "/music.mp3/readme" << false;
    }

    void isAudioFile()
    {
        QFETCH(QString, path);
        QFETCH(bool, audio);
        QCOMPARE(MusicLibrary::isAudioFile(path), audio);
    }

    // Tags read through TagLib from files ffmpeg wrote, as stored rows.
    void tagsStored_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<Tags>("tags");
        QTest::addColumn<QString>("artist");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("year");

        const Tags full{{"artist", "Sigur Rós"}, {"title", "Hoppípolla — ß"}, {"album", "Takk…"},
                        {"genre", "Post-Rock"}, {"comment", "ünïcode"}, {"date", "2005"}};
        QTest::newRow("mp3 tagged") << "tagged.mp3" << full << "Sigur Rós" << "Hoppípolla — ß" << 2005;
        QTest::newRow("flac tagged") << "tagged.flac" << full << "Sigur Rós" << "Hoppípolla — ß" << 2005;
        QTest::newRow("ogg tagged") << "tagged.ogg" << full << "Sigur Rós" << "Hoppípolla — ß" << 2005;
        QTest::newRow("wav tagged") << "tagged.wav"
                                    << Tags{{"artist", "Wav Band"}, {"title", "Plain"}, {"genre", "Test"}}
                                    << "Wav Band" << "Plain" << 0;
        QTest::newRow("mp3 untagged") << "Name Artist - Name Song.mp3" << Tags{} << "Name Artist"
                                      << "Name Song" << 0;
        QTest::newRow("flac untagged") << "Ölwerk - Straße.flac" << Tags{} << "Ölwerk" << "Straße" << 0;
        QTest::newRow("ogg untagged") << "justatitle.ogg" << Tags{} << "" << "justatitle" << 0;
        QTest::newRow("wav untagged") << "A - B.wav" << Tags{} << "A" << "B" << 0;
        QTest::newRow("title without artist keeps empty artist")
            << "Other - Name.mp3" << Tags{{"title", "Tagged Title"}} << "" << "Tagged Title" << 0;
        QTest::newRow("artist only takes title from name")
            << "Ignored - From Name.flac" << Tags{{"artist", "Tag Artist"}} << "Tag Artist" << "From Name" << 0;
    }

    void tagsStored()
    {
        QFETCH(QString, fileName);
        QFETCH(Tags, tags);
        QFETCH(QString, artist);
        QFETCH(QString, title);
        QFETCH(int, year);

        const QString path = m_dir + QLatin1Char('/') + fileName;
        QVERIFY(AudioFixtures::tone(path, 440, -12, 1.5, 44100, 2, tags));

        MusicLibrary lib;
        lib.load(QStringLiteral("Tags ") + QTest::currentDataTag());
        QCOMPARE(lib.addFiles({path}), 1);

        const QVariantMap row = storedRow(lib.name, path);
        QVERIFY(!row.isEmpty());
        QCOMPARE(row.value("artist").toString(), artist);
        QCOMPARE(row.value("title").toString(), title);
        QCOMPARE(row.value("year").toInt(), year);
        QCOMPARE(row.value("filename").toString(), fileName);
        QCOMPARE(row.value("album").toString(), tags.value("album"));
        QCOMPARE(row.value("genre").toString(), tags.value("genre"));
        // ffmpeg writes an MP3 comment as a user text frame, which is not
        // the comment frame TagLib reads.
        QCOMPARE(row.value("comment").toString(),
                 fileName.endsWith(QLatin1String(".mp3")) ? QString() : tags.value("comment"));
        QCOMPARE(row.value("category").toString(), QStringLiteral("Foreign"));
        QCOMPARE(row.value("is_stream").toInt(), 0);
        QCOMPARE(row.value("play_count").toInt(), 0);
        QVERIFY(QDateTime::fromString(row.value("date_added").toString(), Qt::ISODate).isValid());

        // The length comes from the audio properties, within one frame.
        const qint64 ms = row.value("duration_ms").toLongLong();
        const double probed = AudioFixtures::probe(path, QStringLiteral("format=duration")).toDouble() * 1000;
        QVERIFY2(qAbs(ms - probed) < 60, qPrintable(QStringLiteral("%1 vs %2").arg(ms).arg(probed)));
        QCOMPARE(row.value("duration_str").toString(), Track::formatDuration(ms));
    }

    // Files TagLib cannot make sense of are still added, named after the file.
    void corruptFiles()
    {
        const QString good = m_dir + QStringLiteral("/whole.mp3");
        QVERIFY(AudioFixtures::tone(good, 330, -10, 4.0, 44100, 2, {{"title", "Whole"}}));
        QFile src(good);
        QVERIFY(src.open(QIODevice::ReadOnly));
        const QByteArray bytes = src.readAll();

        const QString truncated = m_dir + QStringLiteral("/Cut Band - Truncated.mp3");
        QVERIFY(writeBytes(truncated, bytes.left(bytes.size() / 3)));
        const QString headerOnly = m_dir + QStringLiteral("/Header - Only.mp3");
        QVERIFY(writeBytes(headerOnly, bytes.left(6)));
        const QString random = m_dir + QStringLiteral("/Noise Maker - Random.flac");
        QByteArray noise(64 * 1024, Qt::Uninitialized);
        QRandomGenerator rng(42);
        for (char& c : noise)
            c = char(rng.bounded(256));
        QVERIFY(writeBytes(random, noise));
        const QString empty = m_dir + QStringLiteral("/Empty - File.ogg");
        QVERIFY(writeBytes(empty, {}));
        const QString missing = m_dir + QStringLiteral("/Gone - Away.wav");
        // A named pipe nobody writes to must not block the import.
        const QString pipe = m_dir + QStringLiteral("/Pipe - Dream.mp3");
        QVERIFY(AudioFixtures::run(QStringLiteral("mkfifo"), {pipe}));

        MusicLibrary lib;
        lib.load(QStringLiteral("Corrupt"));
        QCOMPARE(lib.addFiles({truncated, headerOnly, random, empty, missing, pipe}), 6);
        QCOMPARE(rowsOf(lib.name), 6);

        const QVariantMap cut = storedRow(lib.name, truncated);
        QCOMPARE(cut.value("title").toString(), QStringLiteral("Whole"));
        QVERIFY(cut.value("duration_ms").toLongLong() >= 0);

        const QList<QPair<QString, QStringList>> named = {
            {headerOnly, {"Header", "Only"}},
            {random, {"Noise Maker", "Random"}},
            {empty, {"Empty", "File"}},
            {missing, {"Gone", "Away"}},
            {pipe, {"Pipe", "Dream"}},
        };
        for (const auto& [path, parts] : named) {
            const QVariantMap row = storedRow(lib.name, path);
            QCOMPARE(row.value("artist").toString(), parts[0]);
            QCOMPARE(row.value("title").toString(), parts[1]);
        }
        QCOMPARE(storedRow(lib.name, random).value("duration_ms").toLongLong(), 0);
        QCOMPARE(storedRow(lib.name, random).value("duration_str").toString(), QString());
        QCOMPARE(storedRow(lib.name, missing).value("duration_ms").toLongLong(), 0);
    }

    void addFilesSkipsOtherFiles()
    {
        const QString dir = testHome().scratch(QStringLiteral("mixed"));
        const QString a = dir + QStringLiteral("/a.wav");
        const QString b = dir + QStringLiteral("/b.ogg");
        QVERIFY(AudioFixtures::silence(a, 0.3));
        QVERIFY(AudioFixtures::silence(b, 0.3));
        QVERIFY(writeBytes(dir + QStringLiteral("/notes.txt"), "x"));
        QVERIFY(writeBytes(dir + QStringLiteral("/list.m3u"), a.toUtf8()));

        MusicLibrary lib;
        lib.load(QStringLiteral("Mixed"));
        QCOMPARE(lib.addFiles({a, dir + QStringLiteral("/notes.txt"), b, dir + QStringLiteral("/list.m3u")}), 2);
        QCOMPARE(rowsOf(lib.name), 2);
        // No duplicate check: the same file twice is two rows.
        QCOMPARE(lib.addFiles({a}), 1);
        QCOMPARE(lib.count(), 3);
        QCOMPARE(lib.addFiles({}), 0);
    }

    // A tree with a link back to its top and a link to a sibling: every
    // real folder is read once, and the scan ends.
    void folderTreeWithLinkLoops()
    {
        const QString top = testHome().scratch(QStringLiteral("tree"));
        QVERIFY(QDir().mkpath(top + QStringLiteral("/b/deep")));
        QVERIFY(QDir().mkpath(top + QStringLiteral("/a")));
        QVERIFY(AudioFixtures::silence(top + QStringLiteral("/Top.wav"), 0.2));
        QVERIFY(QFile::copy(top + QStringLiteral("/Top.wav"), top + QStringLiteral("/second.WAV")));
        QVERIFY(QFile::copy(top + QStringLiteral("/Top.wav"), top + QStringLiteral("/a/inA.wav")));
        QVERIFY(QFile::copy(top + QStringLiteral("/Top.wav"), top + QStringLiteral("/b/inB.wav")));
        QVERIFY(QFile::copy(top + QStringLiteral("/Top.wav"), top + QStringLiteral("/b/deep/inDeep.wav")));
        QVERIFY(writeBytes(top + QStringLiteral("/b/cover.jpg"), "jpg"));
        QVERIFY(QFile::link(top, top + QStringLiteral("/b/deep/loop")));
        QVERIFY(QFile::link(top + QStringLiteral("/b/deep"), top + QStringLiteral("/a/toDeep")));
        QVERIFY(QFile::link(top + QStringLiteral("/nowhere"), top + QStringLiteral("/a/dangling")));

        const QStringList listed = MusicLibrary::listAudioFiles(top, true);
        QStringList names;
        for (const QString& p : listed)
            names << QFileInfo(p).fileName();
        // The folder's own files first (case-sensitive name order), then
        // each sub-folder in name order; the deep folder is reached first
        // through the link in "a" and not again under "b".
        QCOMPARE(names, (QStringList{"Top.wav", "second.WAV", "inA.wav", "inDeep.wav", "inB.wav"}));
        for (const QString& p : listed)
            QVERIFY(QFileInfo(p).isAbsolute());

        QCOMPARE(MusicLibrary::listAudioFiles(top, false).size(), 2);
        QVERIFY(MusicLibrary::listAudioFiles(top + QStringLiteral("/nowhere"), true).isEmpty());

        MusicLibrary lib;
        lib.load(QStringLiteral("Tree"));
        QCOMPARE(lib.addFolder(top, true), 5);
        QCOMPARE(rowsOf(lib.name), 5);
        QCOMPARE(lib.addFolder(top, false), 2);
        QCOMPARE(lib.addFolder(top + QStringLiteral("/nowhere"), true), 0);

        // Folder mode holds the same files in memory and writes nothing.
        MusicLibrary folder;
        folder.loadFolder(top);
        QVERIFY(folder.folderMode);
        QCOMPARE(folder.name, top);
        QCOMPARE(folder.count(), 5);
        QCOMPARE(rowsOf(top), 0);
        QVERIFY(folder.totalDurationMs() >= 5 * 150);
        QCOMPARE(folder.setDuration(folder.tracks.first().filePath, 12345), 1);
        QCOMPARE(folder.tracks.first().durationMs, 12345);
        folder.clear();
        QCOMPARE(folder.count(), 0);
    }

    void librariesAndStreams()
    {
        QVERIFY(!MusicLibrary::createLibrary(QStringLiteral("   ")));
        MusicLibrary rock;
        QVERIFY(rock.load(QStringLiteral("  Rock ")));
        QCOMPARE(rock.name, QStringLiteral("Rock"));
        QVERIFY(MusicLibrary::availableLibraries().contains(QStringLiteral("Rock")));
        QVERIFY(MusicLibrary::createLibrary(QStringLiteral("rock zz")));
        QVERIFY(MusicLibrary::createLibrary(QStringLiteral("Rock")));
        const QStringList names = MusicLibrary::availableLibraries();
        QVERIFY(names.indexOf(QStringLiteral("Rock")) < names.indexOf(QStringLiteral("rock zz")));

        rock.addStream(QStringLiteral("  "), QStringLiteral("  http://radio.example/live  "));
        rock.addStream(QStringLiteral(" Jazz FM "), QStringLiteral("https://jazz.example/a.mp3"));
        const QVariantMap live = storedRow(QStringLiteral("Rock"), QStringLiteral("http://radio.example/live"));
        QCOMPARE(live.value("title").toString(), QStringLiteral("http://radio.example/live"));
        QCOMPARE(live.value("artist").toString(), QStringLiteral("Online stream"));
        QCOMPARE(live.value("filename").toString(), QString());
        QCOMPARE(live.value("is_stream").toInt(), 1);
        QCOMPARE(storedRow(QStringLiteral("Rock"), QStringLiteral("https://jazz.example/a.mp3"))
                     .value("title").toString(), QStringLiteral("Jazz FM"));

        rock.updateStream(QStringLiteral("http://radio.example/live"), QString(),
                          QStringLiteral(" http://radio.example/new "));
        QVERIFY(storedRow(QStringLiteral("Rock"), QStringLiteral("http://radio.example/live")).isEmpty());
        QCOMPARE(storedRow(QStringLiteral("Rock"), QStringLiteral("http://radio.example/new"))
                     .value("title").toString(), QStringLiteral("http://radio.example/new"));

        // Durations are set on files only, with their text beside them.
        Track file = Track::fromFile(QStringLiteral("/m/Artist - Song.mp3"));
        rock.addTrack(file);
        Track sameAddressStream;
        sameAddressStream.filePath = file.filePath;
        sameAddressStream.isStream = true;
        rock.addTrack(sameAddressStream);
        QCOMPARE(rock.setDuration(file.filePath, 185000), 1);
        QSqlQuery q(MusicLibrary::database());
        QVERIFY(q.exec(QStringLiteral("SELECT is_stream, duration_ms, duration_str FROM tracks "
                                      "WHERE library='Rock' AND filepath='/m/Artist - Song.mp3' ORDER BY is_stream")));
        QVERIFY(q.next());
        QCOMPARE(q.value(1).toLongLong(), 185000);
        QCOMPARE(q.value(2).toString(), QStringLiteral("03:05"));
        QVERIFY(q.next());
        QCOMPARE(q.value(1).toLongLong(), 0);
        QCOMPARE(rock.setDuration(QStringLiteral("https://jazz.example/a.mp3"), 1000), 0);
        QCOMPARE(rock.count(), 4);
        QCOMPARE(rock.totalDurationMs(), 185000);

        // A play counts in every library that holds the file.
        MusicLibrary pop;
        pop.load(QStringLiteral("Pop"));
        pop.addTrack(file);
        const QDateTime when(QDate(2024, 5, 1), QTime(14, 3, 9));
        MusicLibrary::recordPlay(file.filePath, when);
        MusicLibrary::recordPlay(QString(), when);
        QVERIFY(q.exec(QStringLiteral("SELECT library, play_count, last_played FROM tracks "
                                      "WHERE filepath='/m/Artist - Song.mp3' AND is_stream=0 ORDER BY library")));
        int counted = 0;
        while (q.next()) {
            QCOMPARE(q.value(1).toInt(), 1);
            QCOMPARE(q.value(2).toString(), QStringLiteral("2024-05-01T14:03:09"));
            ++counted;
        }
        QCOMPARE(counted, 2);
        const QList<Track> popTracks = pop.search(QString());
        QCOMPARE(popTracks.size(), 1);
        QCOMPARE(popTracks.first().playCount, 1);
        QCOMPARE(popTracks.first().lastPlayed, when);

        // Deleting takes the rows with it; an unknown name succeeds.
        QVERIFY(MusicLibrary::deleteLibrary(QStringLiteral("Pop")));
        QCOMPARE(rowsOf(QStringLiteral("Pop")), 0);
        QVERIFY(!MusicLibrary::availableLibraries().contains(QStringLiteral("Pop")));
        QVERIFY(MusicLibrary::deleteLibrary(QStringLiteral("No Such Library")));
        rock.clear();
        QCOMPARE(rowsOf(QStringLiteral("Rock")), 0);
        QVERIFY(MusicLibrary::availableLibraries().contains(QStringLiteral("Rock")));
    }

    void removeMissing()
    {
        const QString dir = testHome().scratch(QStringLiteral("missing"));
        const QString keep = dir + QStringLiteral("/keep.wav");
        const QString gone = dir + QStringLiteral("/gone.wav");
        QVERIFY(AudioFixtures::silence(keep, 0.2));
        QVERIFY(QFile::copy(keep, gone));

        MusicLibrary lib;
        lib.load(QStringLiteral("Verify"));
        QCOMPARE(lib.addFiles({keep, gone, gone}), 3);
        lib.addStream(QStringLiteral("Stream"), QStringLiteral("http://radio.example/x"));
        lib.addTrack(Track());   // a row without a path
        MusicLibrary other;
        other.load(QStringLiteral("Verify Other"));
        other.addFiles({gone});

        QVERIFY(QFile::remove(gone));
        QCOMPARE(lib.removeMissing(), 2);
        QCOMPARE(rowsOf(lib.name), 3);
        QVERIFY(storedRow(lib.name, gone).isEmpty());
        QVERIFY(!storedRow(lib.name, keep).isEmpty());
        QCOMPARE(rowsOf(other.name), 1);
        QCOMPARE(lib.removeMissing(), 0);
    }

    // The other program holds the write lock for a moment while files are
    // added: the batch waits for it and loses no row.
    void lockedByAnotherProgram()
    {
        const QString dir = testHome().scratch(QStringLiteral("locked"));
        QStringList files;
        QVERIFY(AudioFixtures::silence(dir + QStringLiteral("/0.wav"), 0.2));
        files << dir + QStringLiteral("/0.wav");
        for (int i = 1; i < 20; ++i) {
            const QString p = dir + QStringLiteral("/%1.wav").arg(i);
            QVERIFY(QFile::copy(files.first(), p));
            files << p;
        }

        QProcess holder;
        QVERIFY(holdWriteLock(holder, 1.5, QStringLiteral("INSERT INTO libraries(name) VALUES('From Other')")));

        MusicLibrary lib;
        lib.name = QStringLiteral("Locked");
        QElapsedTimer waited;
        waited.start();
        QCOMPARE(lib.addFiles(files), 20);
        QVERIFY(holder.waitForFinished(20000));
        QCOMPARE(holder.exitCode(), 0);
        QCOMPARE(rowsOf(QStringLiteral("Locked")), 20);
        QVERIFY(MusicLibrary::availableLibraries().contains(QStringLiteral("From Other")));
        // The search index followed the waited-for inserts.
        QCOMPARE(lib.search(QStringLiteral("19")).size(), 1);
        qInfo("waited %lld ms for the other program", qint64(waited.elapsed()));
    }

    // Library writes are stored whole or not at all, and say so: a batch
    // whose statement fails half-way, a deletion whose second statement
    // fails, and a batch that cannot have the write lock within the busy
    // time-out, which gives up once rather than once per row.
    void writesAreWholeOrNothing()
    {
        const QString dir = testHome().scratch(QStringLiteral("refused"));
        QStringList files;
        for (int i = 0; i < 4; ++i) {
            files << dir + QStringLiteral("/%1.wav").arg(i);
            QVERIFY(AudioFixtures::silence(files.last(), 0.1));
        }
        MusicLibrary lib;
        lib.load(QStringLiteral("Refused"));
        lib.addStream(QStringLiteral("One"), QStringLiteral("http://radio.example/one"));

        QSqlQuery q(MusicLibrary::database());
        QVERIFY(q.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON tracks WHEN new.filename='2.wav' "
                                      "BEGIN SELECT RAISE(ABORT, 'refused'); END")));
        QVERIFY(q.exec(QStringLiteral("CREATE TRIGGER keep BEFORE DELETE ON libraries "
                                      "BEGIN SELECT RAISE(ABORT, 'kept'); END")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refused")));
        QCOMPARE(lib.addFiles(files), 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("kept")));
        QVERIFY(!MusicLibrary::deleteLibrary(lib.name));
        QVERIFY(q.exec(QStringLiteral("DROP TRIGGER refuse")) && q.exec(QStringLiteral("DROP TRIGGER keep")));
        QCOMPARE(rowsOf(lib.name), 1);
        QVERIFY(MusicLibrary::availableLibraries().contains(lib.name));

        QProcess holder;
        QVERIFY(holdWriteLock(holder, 12, QString()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("locked")));
        QCOMPARE(lib.addFiles(files), 0);
        QVERIFY(holder.state() == QProcess::Running);
        QVERIFY(holder.waitForFinished(30000));
        QCOMPARE(rowsOf(lib.name), 1);
        QCOMPARE(lib.addFiles(files), 4);
        QCOMPARE(rowsOf(lib.name), 5);
        QVERIFY(MusicLibrary::deleteLibrary(lib.name));
        QCOMPARE(rowsOf(lib.name), 0);
        QVERIFY(!MusicLibrary::availableLibraries().contains(lib.name));
    }
};

OL_TEST_MAIN(TestLibraryImport)
#include "tst_libraryimport.moc"
