#include "outputs/nowplayingfile.h"
#include "outputs/nowplayingwriter.h"
#include "olmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>

#include <sys/stat.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestNowPlayingFile : public QObject
{
    Q_OBJECT

private slots:
    void settingsRoundTrip()
    {
        const NowPlayingFile::Config d = NowPlayingFile::configFromSettings();
        QCOMPARE(d.enabled, false);
        QCOMPARE(d.format, QStringLiteral("%artist% - %title%"));
        QCOMPARE(d.maxLength, 64);
        QCOMPARE(d.padForRds, false);

        NowPlayingFile::Config c;
        c.enabled = true;
        c.path = QStringLiteral("/x/np.txt");
        c.format = QStringLiteral("%title%");
        c.maxLength = 0;
        c.padForRds = true;
        c.whenStopped = QStringLiteral("Off air");
        NowPlayingFile::saveConfig(c);
        QCOMPARE(QSettings().value(QStringLiteral("nowplaying/maxLength")).toInt(), 0);
        const NowPlayingFile::Config r = NowPlayingFile::configFromSettings();
        QCOMPARE(r.enabled, true);
        QCOMPARE(r.path, c.path);
        QCOMPARE(r.format, c.format);
        QCOMPARE(r.maxLength, 0);
        QCOMPARE(r.padForRds, true);
        QCOMPARE(r.whenStopped, c.whenStopped);
        QSettings().remove(QStringLiteral("nowplaying"));
    }

    void render_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("artist");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("overrideText");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<bool>("pad");
        QTest::addColumn<QString>("expected");

        const QString def = QStringLiteral("%artist% - %title%");
        QTest::newRow("track") << def << "Abba" << "Waterloo" << "" << 64 << false << "Abba - Waterloo";
        QTest::newRow("override split") << def << "A" << "B" << "Stream Band - Live Song" << 64 << false
                                        << "Stream Band - Live Song";
        QTest::newRow("override without separator") << def << "A" << "B" << "Jingle" << 64 << false << "Jingle";
        QTest::newRow("override begins with hyphen") << def << "A" << "B" << "- Title" << 64 << false << "Title";
        QTest::newRow("blank override ignored") << def << "A" << "B" << "   " << 64 << false << "A - B";
        QTest::newRow("empty artist") << def << "" << "Only Title" << "" << 64 << false << "Only Title";
        QTest::newRow("empty title") << def << "Only Artist" << "" << "" << 64 << false << "Only Artist";
        QTest::newRow("both empty") << def << "" << "" << "" << 64 << false << "-";
        QTest::newRow("title twice") << "%title% / %title%" << "A" << "T" << "" << 64 << false << "T / T";
        QTest::newRow("no placeholders") << "  Station  ID  " << "A" << "T" << "" << 64 << false << "Station ID";
        QTest::newRow("three blanks become two") << "a   b    c" << "" << "" << "" << 0 << false << "a  b  c";
        QTest::newRow("later placeholder in a value") << def << "%album%" << "T" << "" << 64 << false
                                                      << "The Album - T";
        QTest::newRow("earlier placeholder in a value") << "%title%" << "A" << "%artist%" << "" << 64 << false
                                                        << "%artist%";
        QTest::newRow("cut") << def << "Artist" << "Title" << "" << 8 << false << "Artist -";
        QTest::newRow("pad") << def << "A" << "B" << "" << 10 << true << "A - B     ";
        QTest::newRow("no limit, no pad") << def << "A" << "B" << "" << 0 << true << "A - B";
        QTest::newRow("unicode cut in code units") << "%title%" << "" << "Ñandú Ünïcødé" << "" << 5 << true
                                                   << "Ñandú";
        QTest::newRow("emoji at the limit kept whole or not at all") << "%title%" << "" << "abcd\U0001F600e" << "" << 5
                                                                    << true << "abcd ";
    }

    void render()
    {
        QFETCH(QString, format);
        QFETCH(QString, artist);
        QFETCH(QString, title);
        QFETCH(QString, overrideText);
        QFETCH(int, maxLength);
        QFETCH(bool, pad);
        QFETCH(QString, expected);
        NowPlayingFile::Config c;
        c.format = format;
        c.maxLength = maxLength;
        c.padForRds = pad;
        Track t;
        t.artist = artist;
        t.title = title;
        t.album = QStringLiteral("The Album");
        QCOMPARE(NowPlayingFile::render(c, t, overrideText), expected);
    }

    void renderTrackFields()
    {
        NowPlayingFile::Config c;
        c.maxLength = 0;
        c.format = QStringLiteral("%album%|%genre%|%year%|%comment%|%filename%|%duration%");
        Track t;
        t.album = QStringLiteral("Al");
        t.genre = QStringLiteral("Pop");
        t.year = 1999;
        t.comment = QStringLiteral("c");
        t.filePath = QStringLiteral("/music/sub/Song.mp3");
        t.durationMs = 3725000;
        // Track fields stay even when an override replaces artist and title.
        QCOMPARE(NowPlayingFile::render(c, t, QStringLiteral("X - Y")), QStringLiteral("Al|Pop|1999|c|Song.mp3|62:05"));
        t.year = 0;
        t.durationMs = 0;
        t.filePath = QStringLiteral("C:\\Music\\Win.mp3");
        QCOMPARE(NowPlayingFile::render(c, t, QString()), QStringLiteral("Al|Pop||c|Win.mp3|--:--"));

        c.format = QStringLiteral("%date% %time%");
        const QString line = NowPlayingFile::render(c, t, QString());
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}$")).match(line).hasMatch(),
                 qPrintable(line));
    }

    void rdsPaddingAlwaysExact()
    {
        NowPlayingFile::Config c;
        c.padForRds = true;
        c.enabled = true;
        c.path = testHome().scratch(QStringLiteral("rds")) + QStringLiteral("/np.txt");
        for (const QString& title : {QStringLiteral("x"), QString(70, QLatin1Char('y')), QStringLiteral("Café Ñ")}) {
            Track t;
            t.title = title;
            QVERIFY(NowPlayingFile::update(c, t, QString()));
            const QString written = QString::fromUtf8(readAll(c.path));
            QCOMPARE(written.size(), 64);
            QVERIFY(written.startsWith(title.left(64)));
        }
    }

    void writeRefusesWithoutTarget()
    {
        const QString dir = testHome().scratch(QStringLiteral("refuse"));
        NowPlayingFile::Config c;
        c.path = dir + QStringLiteral("/off.txt");
        QVERIFY(!NowPlayingFile::write(c, QStringLiteral("x")));   // disabled
        QVERIFY(!QFileInfo::exists(c.path));
        c.enabled = true;
        c.path = QStringLiteral("   ");
        QVERIFY(!NowPlayingFile::write(c, QStringLiteral("x")));
        c.path = dir;                                              // a folder cannot be replaced
        QVERIFY(!NowPlayingFile::write(c, QStringLiteral("x")));
        QVERIFY(QFileInfo(dir).isDir());
    }

    void writeCreatesFolderAndReplacesAtomically()
    {
        const QString dir = testHome().scratch(QStringLiteral("atomic")) + QStringLiteral("/new/deeper");
        NowPlayingFile::Config c;
        c.enabled = true;
        c.path = dir + QStringLiteral("/nowplaying.txt");
        QVERIFY(NowPlayingFile::write(c, QStringLiteral("First Artist - First Song")));
        QCOMPARE(readAll(c.path), QByteArray("First Artist - First Song"));

        // A reader that has the file open keeps the whole old line, and the
        // new line arrives as a new file, not as bytes written over the old.
        QFile reader(c.path);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        struct stat before{};
        QCOMPARE(::stat(QFile::encodeName(c.path).constData(), &before), 0);
        QVERIFY(NowPlayingFile::write(c, QStringLiteral("Ünïcode — Second")));
        struct stat after{};
        QCOMPARE(::stat(QFile::encodeName(c.path).constData(), &after), 0);
        QVERIFY(before.st_ino != after.st_ino);
        QCOMPARE(reader.readAll(), QByteArray("First Artist - First Song"));
        QCOMPARE(readAll(c.path), QStringLiteral("Ünïcode — Second").toUtf8()); // UTF-8, no BOM, no line end
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{QStringLiteral("nowplaying.txt")});
    }

    void clearWritesWhenStoppedVerbatim()
    {
        NowPlayingFile::Config c;
        c.enabled = true;
        c.padForRds = true;
        c.path = testHome().scratch(QStringLiteral("clear")) + QStringLiteral("/np.txt");
        c.whenStopped = QStringLiteral("%title% off air");
        QVERIFY(NowPlayingFile::clear(c));
        QCOMPARE(readAll(c.path), QByteArray("%title% off air"));
        c.whenStopped.clear();
        QVERIFY(NowPlayingFile::clear(c));
        QCOMPARE(readAll(c.path), QByteArray());
    }

    // A file that cannot be written is told once, not at every track, and
    // so is its recovery.
    void writeFailureLoggedOnceAndRecovery()
    {
        const QString dir = testHome().scratch(QStringLiteral("blocked"));
        const QString blocker = dir + QStringLiteral("/folder");
        {
            QFile f(blocker); // a file where the folder should be
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        NowPlayingFile::Config c;
        c.enabled = true;
        c.path = blocker + QStringLiteral("/np.txt");
        NowPlayingFile::saveConfig(c);
        NowPlayingWriter writer;
        QSignalSpy log(&writer, &NowPlayingWriter::logMessage);
        Track t;
        t.artist = QStringLiteral("A");
        t.title = QStringLiteral("B");
        QVERIFY(!writer.update(t, QString()));
        QVERIFY(!writer.update(t, QStringLiteral("C - D")));
        QCOMPARE(log.count(), 1);
        QVERIFY2(log.at(0).at(0).toString().startsWith(QStringLiteral("Now-playing file: cannot write ") + c.path + QStringLiteral(" (")),
                 qPrintable(log.at(0).at(0).toString()));

        QVERIFY(QFile::remove(blocker));
        QVERIFY(writer.update(t, QString()));
        QVERIFY(writer.update(t, QString()));
        QCOMPARE(log.count(), 2);
        QCOMPARE(log.at(1).at(0).toString(), QStringLiteral("Now-playing file: written again - ") + c.path);
        QCOMPARE(readAll(c.path), QByteArray("A - B"));

        // Switched off, nothing is written and nothing is logged.
        c.enabled = false;
        NowPlayingFile::saveConfig(c);
        QVERIFY(!writer.update(t, QString()));
        QCOMPARE(log.count(), 2);
        QSettings().remove(QStringLiteral("nowplaying"));
    }
};

OL_TEST_MAIN(TestNowPlayingFile)
#include "tst_nowplayingfile.moc"
