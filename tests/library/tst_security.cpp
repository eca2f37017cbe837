#include "engine/audioengine.h"
#include "engine/silencedetector.h"
#include "library/appsettings.h"
#include "library/security.h"
#include "olmain.h"
#include "outputs/broadcastserver.h"
#include "outputs/broadcastservice.h"
#include "outputs/nowplayingfile.h"
#include "outputs/streamarchive.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSettings>

namespace {

// SHA-256 of the salt and the password's UTF-8 bytes, by the system tool.
QString sha256sum(const QByteArray& bytes)
{
    QProcess p;
    p.start(QStringLiteral("sha256sum"), {QStringLiteral("-")});
    if (!p.waitForStarted(10000))
        return {};
    p.write(bytes);
    p.closeWriteChannel();
    if (!p.waitForFinished(10000))
        return {};
    return QString::fromLatin1(p.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
}

// Every file of the settings store, as bytes.
QByteArray settingsFiles()
{
    QSettings().sync();
    QByteArray all;
    QDirIterator it(testHome().path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly))
            all += f.readAll();
    }
    return all;
}

} // namespace

class TestSecurity : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QSettings().remove(QStringLiteral("security"));
        Security::s_unlocked[0] = Security::s_unlocked[1] = false;
    }

    void storedHash_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("ascii") << "secret";
        QTest::newRow("blanks kept") << "  two words  ";
        QTest::newRow("non-ascii") << "pässwörd–ключ";
        QTest::newRow("single character") << "x";
    }

    void storedHash()
    {
        QFETCH(QString, password);
        QVERIFY(!Security::isProtected(Security::Settings));
        Security::setPassword(Security::Settings, password);
        QVERIFY(Security::isProtected(Security::Settings));
        QVERIFY(Security::s_unlocked[0]);
        QVERIFY(!Security::s_unlocked[1]);
        QVERIFY(!Security::isProtected(Security::Scheduler));

        const QString stored = QSettings().value(QStringLiteral("security/settingsHash")).toString();
        const QString expected = sha256sum(QByteArrayLiteral("qw$ptz:v1:") + password.toUtf8());
        QCOMPARE(expected.size(), 64);
        QCOMPARE(stored, expected);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(stored).hasMatch());
        QCOMPARE(Security::hashPassword(password), stored);

        // The password itself is nowhere in the settings store.
        const QByteArray files = settingsFiles();
        QVERIFY(files.contains(stored.toLatin1()));
        QVERIFY(!files.contains(password.toUtf8()));
    }

    void areasAreSeparate()
    {
        Security::setPassword(Security::Scheduler, QStringLiteral("sched"));
        Security::setPassword(Security::Settings, QStringLiteral("sett"));
        QSettings s;
        QCOMPARE(s.value(QStringLiteral("security/schedulerHash")).toString(),
                 sha256sum(QByteArrayLiteral("qw$ptz:v1:sched")));
        QVERIFY(s.value(QStringLiteral("security/settingsHash")).toString()
                != s.value(QStringLiteral("security/schedulerHash")).toString());

        Security::s_unlocked[0] = false;
        Security::setPassword(Security::Settings, QString());
        QVERIFY(!QSettings().contains(QStringLiteral("security/settingsHash")));
        QVERIFY(!Security::isProtected(Security::Settings));
        QVERIFY(Security::s_unlocked[0]);
        QVERIFY(Security::isProtected(Security::Scheduler));

        // An empty stored text counts as no protection.
        QSettings().setValue(QStringLiteral("security/schedulerHash"), QString());
        QVERIFY(!Security::isProtected(Security::Scheduler));
        QCOMPARE(Security::hashPassword(QString()), QString());
    }

    void defaultVolume()
    {
        QSettings().remove(QStringLiteral("audio/defaultVolume"));
        QCOMPARE(AppSettings::defaultVolume(), 80);
        QSettings().setValue(QStringLiteral("audio/defaultVolume"), 35);
        QCOMPARE(AppSettings::defaultVolume(), 35);
        QSettings().setValue(QStringLiteral("audio/defaultVolume"), 0);
        QCOMPARE(AppSettings::defaultVolume(), 0);
    }

    // Absurd stored numbers reach their readers as the defaults, each told
    // once in one line naming the key.
    void absurdNumbersTakeTheirDefaults()
    {
        QStringList lines;
        AppSettings::setLogSink([&lines](const QString& line) { lines << line; });
        QSettings s;
        s.setValue(QStringLiteral("audio/defaultVolume"), -50);
        s.setValue(QStringLiteral("silence/timeout"), QStringLiteral("1e300"));
        s.setValue(QStringLiteral("silence/threshold"), QStringLiteral("nan"));
        s.setValue(QStringLiteral("server/maxListeners"), -5);
        s.setValue(QStringLiteral("playback/triggerMixDb"), -6.5);
        s.setValue(QStringLiteral("archive/splitMinutes"), -30);
        s.setValue(QStringLiteral("archive/bitrate"), 96);
        s.setValue(QStringLiteral("broadcast/channels"), 7);
        s.setValue(QStringLiteral("broadcast/sampleRate"), QStringLiteral("fast"));
        s.setValue(QStringLiteral("nowplaying/maxLength"), 100000);
        QCOMPARE(AppSettings::defaultVolume(), 80);
        SilenceDetector silence;
        silence.loadFromSettings();
        QCOMPARE(silence.timeoutSecs(), 10);
        QCOMPARE(silence.threshold(), 0.02);
        QCOMPARE(BroadcastServer::maxListenersFromSettings(), 10);
        QCOMPARE(BroadcastServer::maxListenersFromSettings(), 10);
        QCOMPARE(AudioEngine::mixConfigFromSettings().triggerMixDb, -6.5);
        const ArchiveConfig archive = StreamArchive::configFromSettings();
        QCOMPARE(archive.splitMinutes, 60);
        QCOMPARE(archive.bitrate, 96);
        const BroadcastConfig broadcast = BroadcastService::configFromSettings();
        QCOMPARE(broadcast.channels, 2);
        QCOMPARE(broadcast.sampleRate, 44100);
        QCOMPARE(NowPlayingFile::configFromSettings().maxLength, 64);
        AppSettings::setLogSink({});
        QCOMPARE(lines, (QStringList{
                            QStringLiteral("Setting audio/defaultVolume = \"-50\" is outside 0 to 100; using 80"),
                            QStringLiteral("Setting silence/timeout = \"1e300\" is outside 1 to 300; using 10"),
                            QStringLiteral("Setting silence/threshold = \"nan\" is outside 0 to 1; using 0.02"),
                            QStringLiteral("Setting server/maxListeners = \"-5\" is outside 1 to 1000; using 10"),
                            QStringLiteral("Setting archive/splitMinutes = \"-30\" is outside 0 to 1440; using 60"),
                            QStringLiteral(
                                "Setting broadcast/sampleRate = \"fast\" is outside 22050 to 48000; using 44100"),
                            QStringLiteral("Setting broadcast/channels = \"7\" is outside 1 to 2; using 2"),
                            QStringLiteral(
                                "Setting nowplaying/maxLength = \"100000\" is outside 0 to 256; using 64")}));
    }
};

OL_TEST_MAIN(TestSecurity)
#include "tst_security.moc"
