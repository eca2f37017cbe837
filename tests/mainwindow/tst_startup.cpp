#include "automation/eventscheduler.h"
#include "engine/audioengine.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playoutstartup.h"
#include "olmain.h"
#include "windowfixture.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QListWidget>
#include <QMediaPlayer>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString programPath()
{
    return qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR") + QStringLiteral("/apps/orchidlantern/orchidlantern");
}

// The real program, started as a user would, in a home of its own.
bool startProgram(QProcess& p, const QString& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(programPath(), {});
    return p.waitForStarted(10000);
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void mediaBackendIsChosenOnlyWhenUnset()
    {
        qunsetenv("QT_MEDIA_BACKEND");
        PlayoutStartup::prepareEnvironment();
        QCOMPARE(qgetenv("QT_MEDIA_BACKEND"), QByteArray("ffmpeg"));
        qputenv("QT_MEDIA_BACKEND", "gstreamer");
        PlayoutStartup::prepareEnvironment();
        QCOMPARE(qgetenv("QT_MEDIA_BACKEND"), QByteArray("gstreamer"));
        qputenv("QT_MEDIA_BACKEND", "");
        PlayoutStartup::prepareEnvironment();
        QCOMPARE(qgetenv("QT_MEDIA_BACKEND"), QByteArray("ffmpeg"));
    }

    void applicationIsNamedAndStyled()
    {
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        QVERIFY(app);
        PlayoutStartup::configureApplication(*app);
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Orchidlantern"));
        QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Orchidlantern"));
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("1.0.0"));
        QVERIFY(!QApplication::windowIcon().isNull());
        QVERIFY(PlayoutStartup::applyStyleSheet(*app));
        QVERIFY(app->styleSheet().contains(QStringLiteral("QHeaderView::section")));
        QVERIFY(!QIcon(QStringLiteral(":/logo.png")).isNull());
    }

    void windowTitleSizeAndDrops()
    {
        MainWindow w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Orchidlantern (1.0.0)"));
        QCOMPARE(w.size(), QSize(1180, 720));
        QVERIFY(w.acceptDrops());
    }

    // An events file that is a FIFO holds up nothing: the window comes up
    // with no events, and the FIFO is set aside as a damaged file is.
    void eventsFileThatIsAFifo()
    {
        const QString path = EventScheduler::storagePath();
        QFile::remove(path);
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // A start that opened it anyway would wait for a writer: it gets an
        // empty list, so that this test fails rather than hangs.
        std::atomic_bool built{false};
        std::thread writer([&built, name = QFile::encodeName(path)] {
            while (!built) {
                if (const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK); fd >= 0) {
                    (void)!::write(fd, "[]", 2);
                    ::close(fd);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        MainWindow w;
        built = true;
        writer.join();
        QStringList log;
        const auto* lines = w.findChild<QListWidget*>(QStringLiteral("log"));
        for (int i = 0; i < lines->count(); ++i)
            log << lines->item(i)->text().section(QStringLiteral("  "), 1);
        QVERIFY2(log.contains(QStringLiteral("Scheduler: the events file %1 does not hold a list of events (is not a "
                                             "regular file); starting with an empty list").arg(path)),
                 qPrintable(log.join(QLatin1Char('\n'))));
        auto* scheduler = w.findChild<EventScheduler*>();
        QVERIFY(scheduler->events().isEmpty());
        // Set aside at the start, not met again at the next one. Only
        // special files are listed: the FIFO itself was kept.
        const QStringList aside = QDir(QFileInfo(path).absolutePath()).entryList({QStringLiteral("events.json.broken-*")}, QDir::System);
        QCOMPARE(aside.size(), 1);
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(log.contains(QStringLiteral("Scheduler: kept the unreadable events file as %1/%2").arg(QFileInfo(path).absolutePath(), aside.first())));

        ScheduledEvent news;
        news.name = QStringLiteral("News");
        scheduler->addEvent(news);
        QVERIFY(QFileInfo(path).isFile());
    }

    // The style sheet is applied after the window is built: the shown
    // window must still wear it, panels and tables alike.
    void startedWindowWearsTheStyleSheet()
    {
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        QVERIFY(app);
        app->setStyleSheet(QString());
        const auto unstyle = qScopeGuard([app] { app->setStyleSheet(QString()); });
        bool bold = false, wasStyledWhenShown = false;
        QColor alternate;
        QTimer::singleShot(0, [&] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                auto* window = qobject_cast<MainWindow*>(top);
                if (!window || !window->isVisible())
                    continue;
                wasStyledWhenShown = !app->styleSheet().isEmpty();
                if (auto* log = window->findChild<QListWidget*>(QStringLiteral("log"))) {
                    if (auto* box = qobject_cast<QGroupBox*>(log->parentWidget()))
                        bold = box->font().bold();
                    alternate = log->palette().color(QPalette::AlternateBase);
                }
                window->close();
            }
            QCoreApplication::exit(0);
        });
        QCOMPARE(PlayoutStartup::start(*app, {}), 0);
        QVERIFY(wasStyledWhenShown);
        QVERIFY(bold);
        QCOMPARE(alternate, QColor(QStringLiteral("#f0f3f8")));
    }

    // The players are not made while the window is built, but once it is
    // up, without waiting for a first play.
    void playersAreMadeOnceTheWindowIsUp()
    {
        MainWindow w;
        auto* engine = w.findChild<AudioEngine*>();
        QVERIFY(engine);
        QVERIFY(w.findChildren<QMediaPlayer*>().isEmpty());
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(w.findChild<QMediaPlayer*>(QStringLiteral("auxPlayer")), 15000);
        QCOMPARE(engine->findChildren<QMediaPlayer*>(Qt::FindDirectChildrenOnly).size(), 2);
    }

    // The real program, started as a user would: it must come up and leave
    // a current library database behind.
    void programStartsAndCreatesTheDatabase()
    {
        if (!QFile::exists(programPath()))
            QSKIP("the program was not built beside the tests");

        const QString home = testHome().scratch(QStringLiteral("program-home"));
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QVERIFY(startProgram(p, home));

        const QString db = home + QStringLiteral("/.config/Orchidlantern/Orchidlantern/library.db");
        auto version = [&]() {
            if (!QFile::exists(db))
                return -1;
            int v = -1;
            {
                QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("probe"));
                c.setDatabaseName(db);
                c.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
                if (c.open()) {
                    QSqlQuery q(c);
                    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name='track_params'"))
                        && q.next() && q.value(0).toInt() == 1 && q.exec(QStringLiteral("PRAGMA user_version"))
                        && q.next())
                        v = q.value(0).toInt();
                    c.close();
                }
            }
            QSqlDatabase::removeDatabase(QStringLiteral("probe"));
            return v;
        };
        QTRY_COMPARE_WITH_TIMEOUT(version(), 3, 20000);
        QCOMPARE(p.state(), QProcess::Running);
        p.terminate();
        QVERIFY(p.waitForFinished(10000));
    }

    // A playlists.json that would hold the start in open() or swamp it is
    // set aside as a damaged one is: the real program comes up, says so
    // and answers its remote API.
    void storedPlaylistsThatCannotBeReadAreSetAside_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << QStringLiteral("fifo");
        QTest::newRow("link to /dev/zero") << QStringLiteral("zero");
    }

    void storedPlaylistsThatCannotBeReadAreSetAside()
    {
        QFETCH(QString, kind);
        const QString home = testHome().scratch(QStringLiteral("stored-") + kind);
        const QString folder = home + QStringLiteral("/.config/Orchidlantern/Orchidlantern");
        QVERIFY(QDir().mkpath(folder));
        const QString stored = folder + QStringLiteral("/playlists.json");
        if (kind == QStringLiteral("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(stored).constData(), 0600), 0);
        else
            QVERIFY(QFile::link(QStringLiteral("/dev/zero"), stored));
        const quint16 port = WindowFixture::freePort();
        {
            QSettings settings(home + QStringLiteral("/.config/Orchidlantern/Orchidlantern.conf"), QSettings::IniFormat);
            settings.setValue(QStringLiteral("api/enabled"), true);
            settings.setValue(QStringLiteral("api/port"), port);
        }
        QProcess p;
        QVERIFY(startProgram(p, home));
        const auto stop = qScopeGuard([&p] {
            p.kill();
            p.waitForFinished(10000);
        });

        QTRY_VERIFY_WITH_TIMEOUT(WindowFixture::get(port, QStringLiteral("/?action=playbackinfo")).contains("<State>stopped</State>"),
                                 30000);
        const QFileInfoList aside =
            QDir(folder).entryInfoList({QStringLiteral("playlists.json.broken-*")}, QDir::AllEntries | QDir::System);
        QCOMPARE(aside.size(), 1);
        QVERIFY(kind == QStringLiteral("fifo") ? !aside.first().isFile() : aside.first().isSymLink());
        p.terminate();
        QVERIFY(p.waitForFinished(10000));
        QVERIFY(QString::fromUtf8(p.readAllStandardError())
                    .contains(QStringLiteral("The saved playlists could not be read (is not a regular file). It was kept as ")
                              + aside.first().filePath()));
        // Written afresh at exit.
        QVERIFY(QFileInfo(stored).isFile());
    }

    // Something else at the lock file's place: the station starts and says
    // so, and a second copy is still refused, by the file beside it.
    void aSecondCopyWithSomethingElseAtTheLock_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << QStringLiteral("FIFO");
        QTest::newRow("folder") << QStringLiteral("folder");
    }

    void aSecondCopyWithSomethingElseAtTheLock()
    {
        QFETCH(QString, kind);
        const QString home = testHome().scratch(QStringLiteral("lock-") + kind);
        const QString folder = home + QStringLiteral("/.config/Orchidlantern/Orchidlantern");
        QVERIFY(QDir().mkpath(folder));
        const QString lock = folder + QStringLiteral("/playout.lock");
        if (kind == QStringLiteral("FIFO"))
            QCOMPARE(::mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
        else
            QVERIFY(QDir().mkdir(lock));
        QProcess first;
        QVERIFY(startProgram(first, home));
        const auto stop = qScopeGuard([&first] {
            first.kill();
            first.waitForFinished(10000);
        });
        QString said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += QString::fromUtf8(first.readAllStandardError()))
                                      .contains(QStringLiteral("Could not use the lock file %1 (is a %2); %1.alt keeps a "
                                                               "second copy of the program off the air instead")
                                                    .arg(lock, kind)),
                                  qPrintable(said), 60000);
        QProcess second;
        QVERIFY(startProgram(second, home));
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitCode(), PlayoutStartup::kAlreadyRunning);
        QVERIFY(second.readAllStandardError().contains(
            QStringLiteral("Orchidlantern is already running for this user (process %1)").arg(first.processId()).toUtf8()));
        first.terminate();
        QVERIFY(first.waitForFinished(30000));
    }

    // What a program writes just before it ends reaches its standard error,
    // a last line without its end too; a write refused for want of room is
    // tried again once there is room.
    void standardErrorToTheEnd()
    {
        const QString probe = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR") + QStringLiteral("/tests/ol_stderrprobe");
        QProcess atExit;
        atExit.start(probe, {QStringLiteral("exit")});
        QVERIFY(atExit.waitForFinished(30000));
        const QByteArray last = atExit.readAllStandardError();
        for (int i = 0; i < 50; ++i)
            QVERIFY2(last.contains("descriptor line " + QByteArray::number(i) + '\n'), last.constData());
        QVERIFY2(last.contains("message line\n") && last.contains("  log line\n")
                     && last.endsWith("\nlast words without an end\n"),
                 last.constData());

        const QString file = testHome().scratch(QStringLiteral("stderr")) + QStringLiteral("/full.log");
        QProcess full;
        full.setStandardErrorFile(file, QIODevice::Append);
        full.start(probe, {QStringLiteral("fill")});
        QVERIFY(full.waitForStarted(10000));
        const auto size = [&file] { return QFileInfo(file).size(); };
        QTRY_COMPARE_WITH_TIMEOUT(size(), 64 * 1024, 30000);
        // Refused for a while, then room is made.
        QTest::qWait(1500);
        QCOMPARE(size(), 64 * 1024);
        QVERIFY(QFile::resize(file, 0));
        QTRY_VERIFY_WITH_TIMEOUT(size() > 1000, 30000);
        full.closeWriteChannel();
        QVERIFY(full.waitForFinished(30000));
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll().endsWith("  last tick\n"));
    }
};

OL_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
