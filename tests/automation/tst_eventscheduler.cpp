#include "automation/eventscheduler.h"
#include "audiofixtures.h"
#include "olmain.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

ScheduledEvent makeEvent(const QString& name, const QString& action, QTime time)
{
    ScheduledEvent e;
    e.name = name;
    e.action = action;
    e.time = time;
    return e;
}

QList<ScheduledEvent> sampleList()
{
    ScheduledEvent news = makeEvent(QStringLiteral("News"), QStringLiteral("play 1"), QTime(7, 0));
    news.days = {1, 2, 3, 4, 5};
    ScheduledEvent show = makeEvent(QStringLiteral("Café \"Late\""), QStringLiteral("D:/Shows/late.m3u"),
                                QTime(22, 30, 15));
    show.date = QDate(2026, 3, 5);
    show.insertMode = 2;
    show.startPlayback = true;
    show.dtmfStart = QStringLiteral("123#");
    show.dtmfEnd = QStringLiteral("#0");
    show.dtmfOnly = true;
    ScheduledEvent off = makeEvent(QStringLiteral("Off"), QStringLiteral("stop"), QTime(3, 4, 5));
    off.enabled = false;
    return {news, show, off};
}

// The events of a file as an independent reader sees them: python's json
// module prints, per event, its member names in file order and its values.
QString readWithPython(const QString& path)
{
    const QString script = QStringLiteral(
        "import json,sys\n"
        "raw=open(sys.argv[1],encoding='utf-8').read()\n"
        "data=json.loads(raw)\n"
        "assert isinstance(data,list)\n"
        "for e in data:\n"
        "  print('|'.join(e.keys()))\n"
        "  print(json.dumps([e[k] if k!='days' else sorted(e[k]) for k in sorted(e)],ensure_ascii=False))\n"
        "lines=raw.splitlines()\n"
        "print('lines', len(lines), 'indented', all(l.startswith(' ') for l in lines[1:-1]))\n");
    QByteArray out;
    QString err;
    if (!AudioFixtures::run(QStringLiteral("python3"), {QStringLiteral("-c"), script, path}, &out, &err))
        return QStringLiteral("python3 failed: ") + err;
    return QString::fromUtf8(out);
}

} // namespace

class TestEventScheduler : public QObject
{
    Q_OBJECT

private:
    QString m_path;

    void removeAllFiles()
    {
        QDir dir(QFileInfo(m_path).absolutePath());
        for (const QString& name : dir.entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFileInfo info(dir.filePath(name));
            if (info.isDir())
                QDir(info.filePath()).removeRecursively();
            else
                QFile::remove(info.filePath());
        }
    }

    QStringList folderEntries() const
    {
        return QDir(QFileInfo(m_path).absolutePath()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

private slots:
    void initTestCase()
    {
        m_path = EventScheduler::storagePath();
    }

    void init()
    {
        removeAllFiles();
    }

    void storagePath()
    {
        QVERIFY(m_path.endsWith(QStringLiteral("/Orchidlantern/events.json")));
        QVERIFY(m_path.startsWith(testHome().path()));
        QDir(QFileInfo(m_path).absolutePath()).removeRecursively();
        QCOMPARE(EventScheduler::storagePath(), m_path);
        QVERIFY(QFileInfo(QFileInfo(m_path).absolutePath()).isDir());
    }

    void loadMissingFile()
    {
        EventScheduler s;
        s.setEvents({makeEvent(QStringLiteral("a"), QStringLiteral("stop"), QTime(1, 0))});
        QFile::remove(m_path);
        QSignalSpy changed(&s, &EventScheduler::changed);
        QSignalSpy logs(&s, &EventScheduler::logMessage);
        s.load();
        QVERIFY(s.events().isEmpty());
        QCOMPARE(changed.count(), 0);
        QCOMPARE(logs.count(), 0);
        QVERIFY(!QFile::exists(m_path));
    }

    void loadEmptyArray()
    {
        QVERIFY(writeAll(m_path, "[]"));
        EventScheduler s;
        QSignalSpy changed(&s, &EventScheduler::changed);
        s.load();
        QVERIFY(s.events().isEmpty());
        QCOMPARE(changed.count(), 1);
        QCOMPARE(readAll(m_path), QByteArray("[]"));
    }

    void loadKeepsOrderAndOddElements()
    {
        QVERIFY(writeAll(m_path, json("[{'name':'b','time':'10:20'},42,{'name':'a','time':'01:02:03',"
                                      "'extra':1},{'name':'a','time':'01:02:03','extra':1}]")));
        EventScheduler s;
        s.load();
        QCOMPARE(s.events().size(), 4);
        QCOMPARE(s.events().at(0).name, QStringLiteral("b"));
        QVERIFY(!s.events().at(0).time.isValid());
        QCOMPARE(s.events().at(1).name, QString()); // not an object: an empty event
        QCOMPARE(s.events().at(2), s.events().at(3)); // duplicates stay
        QCOMPARE(s.events().at(2).time, QTime(1, 2, 3));

        // Times are read as the general parser would read them.
        const QStringList times{"23:59:59", "00:00:00", "24:00:00", "12:60:00", "1:02:03", "01:02:3x",
                                "01-02-03", " 01:02:03", "01:02:03 ", "١٢:00:00"};
        QJsonArray list;
        for (const QString& t : times)
            list.append(QJsonObject{{QStringLiteral("time"), t}});
        QVERIFY(writeAll(m_path, QJsonDocument(list).toJson()));
        s.load();
        QCOMPARE(s.events().size(), times.size());
        for (qsizetype i = 0; i < times.size(); ++i)
            QCOMPARE(s.events().at(i).time, QTime::fromString(times.at(i), QStringLiteral("HH:mm:ss")));
    }

    void savedFileReadByPython()
    {
        EventScheduler s;
        QSignalSpy changed(&s, &EventScheduler::changed);
        s.setEvents(sampleList());
        QCOMPARE(changed.count(), 1);

        const QString seen = readWithPython(m_path);
        const QString expected = QStringLiteral(
            "action|date|days|enabled|insertMode|name|startPlayback|time\n"
            "[\"play 1\", \"\", [1, 2, 3, 4, 5], true, 0, \"News\", false, \"07:00:00\"]\n"
            "action|date|days|dtmfEnd|dtmfOnly|dtmfStart|enabled|insertMode|name|startPlayback|time\n"
            "[\"D:/Shows/late.m3u\", \"2026-03-05\", [], \"#0\", true, \"123#\", true, 2, \"Café \\\"Late\\\"\", "
            "true, \"22:30:15\"]\n"
            "action|date|days|enabled|insertMode|name|startPlayback|time\n"
            "[\"stop\", \"\", [], false, 0, \"Off\", false, \"03:04:05\"]\n");
        QVERIFY2(seen.startsWith(expected), qPrintable(seen));
        // Indented: every member on a line of its own.
        QVERIFY2(seen.contains(QStringLiteral("indented True")), qPrintable(seen));

        EventScheduler other;
        other.load();
        QCOMPARE(other.events(), sampleList());
    }

    void exportMatchesEventsFile()
    {
        EventScheduler s;
        s.setEvents(sampleList());
        const QString target = testHome().scratch("export") + QStringLiteral("/week.olevents");
        QSignalSpy changed(&s, &EventScheduler::changed);
        s.saveToFile(target);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(readAll(target), readAll(m_path));
    }

    void exportIntoMissingFolderFails()
    {
        EventScheduler s;
        s.setEvents(sampleList());
        const QString target = testHome().path() + QStringLiteral("/no/such/folder/x.olevents");
        QSignalSpy logs(&s, &EventScheduler::logMessage);
        s.saveToFile(target);
        QVERIFY(!QFile::exists(target));
        QVERIFY(!QDir(testHome().path() + QStringLiteral("/no")).exists());
        QCOMPARE(logs.count(), 1);
        QVERIFY(logs.at(0).at(0).toString().startsWith(QStringLiteral("Scheduler: could not write ")));
    }

    void importReplacesList()
    {
        EventScheduler s;
        QList<ScheduledEvent> five;
        for (int i = 0; i < 5; ++i)
            five << makeEvent(QString::number(i), QStringLiteral("stop"), QTime(i, 0));
        s.setEvents(five);

        EventScheduler source;
        source.setEvents(sampleList().mid(0, 2));
        const QString file = testHome().scratch("import") + QStringLiteral("/two.olevents");
        source.saveToFile(file);
        s.setEvents(five); // the events file holds the five again

        QSignalSpy changed(&s, &EventScheduler::changed);
        QVERIFY(s.loadFromFile(file));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(s.events(), sampleList().mid(0, 2));
        EventScheduler reread;
        reread.load();
        QCOMPARE(reread.events(), sampleList().mid(0, 2));
    }

    void importRefused_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("exists");
        QTest::newRow("missing file") << QByteArray() << false;
        QTest::newRow("not JSON") << QByteArray("this is no list") << true;
        QTest::newRow("object at the top") << json("{'events':[{'name':'x'}]}") << true;
        QTest::newRow("truncated array") << json("[{'name':'x','time':'10:00:00'},") << true;
        QTest::newRow("empty file") << QByteArray("") << true;
        QTest::newRow("a number") << QByteArray("12") << true;
        QTest::newRow("array of things that are not events") << QByteArray(R"([1,"two",{}])") << true;
    }

    void importRefused()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, exists);
        EventScheduler s;
        s.setEvents(sampleList());
        const QByteArray before = readAll(m_path);
        const QString file = testHome().scratch("import") + QStringLiteral("/bad.olevents");
        QFile::remove(file);
        if (exists)
            QVERIFY(writeAll(file, content));

        QSignalSpy changed(&s, &EventScheduler::changed);
        QSignalSpy logs(&s, &EventScheduler::logMessage);
        QVERIFY(!s.loadFromFile(file));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(s.events(), sampleList());
        QCOMPARE(readAll(m_path), before);
        QCOMPARE(logs.count(), 1);
        QVERIFY(logs.at(0).at(0).toString().contains(file));
    }

    void unreadableFileKeptBeforeFirstSave_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("[{\"name\": \"News\", \"time\": \"07:00:00\"");
        QTest::newRow("object at the top") << json("{'name':'News'}");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe garbage", 12);
    }

    void unreadableFileKeptBeforeFirstSave()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeAll(m_path, content));
        EventScheduler s;
        QSignalSpy changed(&s, &EventScheduler::changed);
        QSignalSpy logs(&s, &EventScheduler::logMessage);
        s.load();
        QVERIFY(s.events().isEmpty());
        QCOMPARE(changed.count(), 1);
        QCOMPARE(readAll(m_path), content); // a load never writes
        QCOMPARE(logs.count(), 1);

        s.setEvents(sampleList());
        const QStringList kept = folderEntries().filter(QStringLiteral("events.json.broken-"));
        QCOMPARE(kept.size(), 1);
        const QString keptPath = QFileInfo(m_path).absolutePath() + QLatin1Char('/') + kept.first();
        QCOMPARE(readAll(keptPath), content);
        QCOMPARE(logs.count(), 2);
        QVERIFY2(logs.at(1).at(0).toString().startsWith(QStringLiteral("Scheduler: kept the unreadable events file as "))
                     && logs.at(1).at(0).toString().endsWith(kept.first()),
                 qPrintable(logs.at(1).at(0).toString()));

        // The new list is in place, and later saves keep no further copies.
        EventScheduler reread;
        reread.load();
        QCOMPARE(reread.events(), sampleList());
        s.setEvents(sampleList().mid(1));
        QCOMPARE(folderEntries().filter(QStringLiteral("events.json.broken-")).size(), 1);
        QCOMPARE(folderEntries().size(), 2);
    }

    void importOverUnreadableFileKeepsIt()
    {
        QVERIFY(writeAll(m_path, "not a list"));
        EventScheduler s;
        s.load();
        EventScheduler source;
        const QString file = testHome().scratch("import") + QStringLiteral("/good.olevents");
        // Written without touching the events file: a plain export of a list.
        source.setEvents(sampleList());
        QVERIFY(QFile::exists(m_path));
        source.saveToFile(file);
        QVERIFY(writeAll(m_path, "not a list"));

        QVERIFY(s.loadFromFile(file));
        const QStringList kept = folderEntries().filter(QStringLiteral("events.json.broken-"));
        QCOMPARE(kept.size(), 1);
        QCOMPARE(readAll(QFileInfo(m_path).absolutePath() + QLatin1Char('/') + kept.first()),
                 QByteArray("not a list"));
    }

    void failedWriteLeavesOldFileWhole()
    {
        EventScheduler s;
        s.setEvents(sampleList().mid(0, 1));
        const QByteArray before = readAll(m_path);
        QVERIFY(before.size() > 0);

        QList<ScheduledEvent> big;
        for (int i = 0; i < 200; ++i)
            big << makeEvent(QStringLiteral("Event %1").arg(i), QStringLiteral("play %1").arg(i), QTime(i % 24, 0));

        // A file size limit stands in for a full disk: writes past it fail.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = 4096;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QSignalSpy logs(&s, &EventScheduler::logMessage);
        QSignalSpy changed(&s, &EventScheduler::changed);
        s.setEvents(big);
        setrlimit(RLIMIT_FSIZE, &old);

        QCOMPARE(readAll(m_path), before);
        QCOMPARE(folderEntries(), QStringList{QStringLiteral("events.json")}); // no temporary left
        QCOMPARE(logs.count(), 1);
        QVERIFY2(logs.at(0).at(0).toString().startsWith(QStringLiteral("Scheduler: could not write ") + m_path),
                 qPrintable(logs.at(0).at(0).toString()));
        // The list in memory keeps the change, and the next save succeeds.
        QCOMPARE(changed.count(), 1);
        QCOMPARE(s.events().size(), 200);
        s.save();
        EventScheduler reread;
        reread.load();
        QCOMPARE(reread.events(), big);
    }

    void targetThatCannotBeWritten()
    {
        // A folder in the file's place: nothing can be written there.
        QVERIFY(QDir().mkpath(m_path));
        EventScheduler s;
        QSignalSpy logs(&s, &EventScheduler::logMessage);
        s.setEvents(sampleList());
        QCOMPARE(s.events(), sampleList());
        QVERIFY(QFileInfo(m_path).isDir());
        QCOMPARE(logs.count(), 1);
        QVERIFY(logs.at(0).at(0).toString().startsWith(QStringLiteral("Scheduler: could not write ")));
    }

private:
    static QByteArray json(const char* text) { return QByteArray(text).replace('\'', '"'); }
};

OL_TEST_MAIN(TestEventScheduler)
#include "tst_eventscheduler.moc"
