// ctest: serial
// ctest: timeout 600
// The playout program and the library manager started together, as a
// station starts them, on a damaged library.db.
#include "audiofixtures.h"
#include "library/librarylock.h"
#include "library/musiclibrary.h"
#include "olmain.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <csignal>
#include <unistd.h>

namespace {

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

// A file of ours in WAL mode with rows still in its journal, its first
// page's tree overwritten: damaged where every program looks first.
bool makeDamaged(const QString& folder)
{
    const QString file = folder + QStringLiteral("/made.db");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("made"));
        db.setDatabaseName(file);
        QSqlQuery q(db);
        bool ok = db.open() && q.exec(QStringLiteral("PRAGMA journal_mode=WAL"))
            && q.exec(QStringLiteral("PRAGMA application_id=%1").arg(0x4F4C4442))
            && q.exec(QStringLiteral("CREATE TABLE notes(n INTEGER, t TEXT)"))
            && q.exec(QStringLiteral("WITH RECURSIVE i(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM i WHERE x<400) "
                                     "INSERT INTO notes SELECT x % 100, printf('%0200d', x) FROM i"))
            && q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"))
            && q.exec(QStringLiteral("UPDATE notes SET n = n + 1"));
        ok = ok && QFile::copy(file, folder + QStringLiteral("/damaged.db"))
            && QFile::copy(file + QStringLiteral("-wal"), folder + QStringLiteral("/damaged.db-wal"));
        q.finish();
        db.close();
        if (!ok || bytesOf(folder + QStringLiteral("/damaged.db-wal")).size() < 4096)
            return false;
    }
    QSqlDatabase::removeDatabase(QStringLiteral("made"));
    QFile damaged(folder + QStringLiteral("/damaged.db"));
    return damaged.open(QIODevice::ReadWrite) && damaged.seek(100) && damaged.write(QByteArray(4096 - 100, '\x5a')) > 0;
}

// One value, read as a third program would: under the lock the two honour.
QString value(const QString& db, const QString& sql)
{
    const LibraryLock lock(db, LibraryLock::Mode::Shared, 30000);
    QByteArray out;
    AudioFixtures::run(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), db, sql}, &out);
    return QString::fromUtf8(out).trimmed();
}

} // namespace

class TestLibraryAside : public QObject
{
    Q_OBJECT

private slots:
    // Many rounds, either program first by a moment: the damaged original
    // and its journal are kept byte for byte under one name, the programs
    // then share one new library.db, and the plays are in it.
    void bothProgramsStartOnADamagedFile()
    {
        const QString bin = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR");
        const QString made = testHome().scratch(QStringLiteral("made"));
        QVERIFY(makeDamaged(made));
        const QString tone = made + QStringLiteral("/Zeta - Six.wav");
        QVERIFY(AudioFixtures::tone(tone, 660, -12, 60));
        const QByteArray original = bytesOf(made + QStringLiteral("/damaged.db"));
        const QByteArray journal = bytesOf(made + QStringLiteral("/damaged.db-wal"));

        for (int round = 0; round < 16; ++round) {
            const QString home = testHome().scratch(QStringLiteral("round-%1").arg(round));
            const QString folder = home + QStringLiteral("/.config/Orchidlantern/Orchidlantern");
            const QString db = folder + QStringLiteral("/library.db");
            QVERIFY(QDir().mkpath(folder));
            QSettings(home + QStringLiteral("/.config/Orchidlantern/Orchidlantern.conf"), QSettings::IniFormat)
                .setValue(QStringLiteral("playback/resumeOnStart"), true);
            QVERIFY(QFile::copy(made + QStringLiteral("/damaged.db"), db));
            QVERIFY(QFile::copy(made + QStringLiteral("/damaged.db-wal"), db + QStringLiteral("-wal")));
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("HOME"), home);
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            QProcess playout;
            QProcess manager;
            for (QProcess* p : {&playout, &manager})
                p->setProcessEnvironment(env);
            const auto startPlayout = [&] { playout.start(bin + QStringLiteral("/apps/orchidlantern/orchidlantern"), {tone}); };
            const auto startManager = [&] {
                manager.start(bin + QStringLiteral("/apps/orchidlantern-library/orchidlantern-library"));
            };
            round % 2 ? startManager() : startPlayout();
            QTest::qWait(round / 2 * 40);
            round % 2 ? startPlayout() : startManager();
            const auto end = qScopeGuard([&] {
                for (QProcess* p : {&playout, &manager}) {
                    p->kill();
                    p->waitForFinished();
                }
            });
            // Each at work on the file now at the path: the manager made its
            // first library, the playout logged its play.
            const auto said = [&] {
                return QStringLiteral("round %1, libraries %2, plays %3, files %4\nplayout: %5\nmanager: %6")
                    .arg(round)
                    .arg(value(db, QStringLiteral("SELECT count(*) FROM libraries WHERE name='Default'")),
                         value(db, QStringLiteral("SELECT count(*) FROM play_history")),
                         QDir(folder).entryList(QDir::Files).join(' '),
                         QString::fromUtf8(playout.readAllStandardError().right(3000)),
                         QString::fromUtf8(manager.readAllStandardError().right(3000)));
            };
            QTRY_VERIFY2_WITH_TIMEOUT(value(db, QStringLiteral("SELECT count(*) FROM libraries WHERE name='Default'")) == "1"
                                          && value(db, QStringLiteral("SELECT count(*) FROM play_history")).toInt() >= 1,
                                      qPrintable(said()), 60000);
            QVERIFY(::kill(pid_t(playout.processId()), SIGTERM) == 0 && playout.waitForFinished(30000));
            QCOMPARE(playout.exitCode(), 0);

            const QStringList aside = QDir(folder).entryList({QStringLiteral("library.db.unusable-*")}, QDir::Files);
            const QStringList kept = aside.filter(QRegularExpression(QStringLiteral("-\\d{6}(-\\d+)?$")));
            QVERIFY2(kept.size() == 1, qPrintable(aside.join(' ')));
            QVERIFY2(bytesOf(folder + '/' + kept.first()) == original, qPrintable(QString::number(round)));
            QVERIFY2(bytesOf(folder + '/' + kept.first() + QStringLiteral("-wal")) == journal,
                     qPrintable(QString::number(round)));
            QVERIFY(value(db, QStringLiteral("SELECT count(*) FROM play_history WHERE filepath='%1'").arg(tone)).toInt() >= 1);
        }
    }

    // A lock file that opens only for reading (another account's, or made
    // read-only) gives no exclusion for setting library.db aside: the
    // damaged file is left where it is, and a line says why.
    void notSetAsideWithoutTheLock()
    {
        const QString made = testHome().scratch(QStringLiteral("made-readonly"));
        QVERIFY(makeDamaged(made));
        const QString home = testHome().scratch(QStringLiteral("readonly-lock"));
        const QString folder = home + QStringLiteral("/.config/Orchidlantern/Orchidlantern");
        const QString db = folder + QStringLiteral("/library.db");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(made + QStringLiteral("/damaged.db"), db));
        QFile lock(LibraryLock::fileFor(db));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.close();
        QVERIFY(lock.setPermissions(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QString program = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR") + QStringLiteral("/apps/orchidlantern/orchidlantern");
        QStringList args;
        if (::geteuid() == 0) {
            // Root opens any file for writing: the program runs as another
            // account, whose home it owns and whose lock file root made.
            constexpr uid_t kNobody = 65534;
            QVERIFY(QFile::setPermissions(testHome().path(), QFile::permissions(testHome().path()) | QFile::ExeOther));
            for (QString at = db; at.size() >= home.size(); at = QFileInfo(at).path())
                QCOMPARE(::chown(QFile::encodeName(at).constData(), kNobody, kNobody), 0);
            args = {QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                    QStringLiteral("--clear-groups"), program};
            program = QStringLiteral("setpriv");
        }
        QProcess playout;
        playout.setProcessEnvironment(env);
        playout.start(program, args);
        const auto end = qScopeGuard([&playout] {
            playout.kill();
            playout.waitForFinished();
        });
        QString said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += QString::fromUtf8(playout.readAllStandardError()))
                                      .contains(QStringLiteral("%1 cannot be locked to set library.db aside (Permission "
                                                               "denied): library.db is used without looking at it")
                                                    .arg(lock.fileName())),
                                  qPrintable(said), 60000);
        QCOMPARE(bytesOf(db), bytesOf(made + QStringLiteral("/damaged.db")));
        QVERIFY(QDir(folder).entryList({QStringLiteral("library.db.unusable-*")}, QDir::Files).isEmpty());
    }
};

OL_TEST_MAIN(TestLibraryAside)
#include "tst_libraryaside.moc"
