#include "olmain.h"
#include "outputs/updatechecker.h"
#include "webstandin.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QSettings>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTcpServer>

namespace {

const QString kPath = QStringLiteral("/api/latest.json");

QJsonObject release(const QString& version, bool critical = false)
{
    return {{QStringLiteral("latest_version"), version},
            {QStringLiteral("notes"), QStringLiteral("Fixes")},
            {QStringLiteral("download_url"), QStringLiteral("https://example.invalid/ol.exe")},
            {QStringLiteral("release_date"), QStringLiteral("2026-12-01")},
            {QStringLiteral("notes_url"), QStringLiteral("https://example.invalid/notes")},
            {QStringLiteral("min_supported_version"), QStringLiteral("0.9")},
            {QStringLiteral("critical"), critical}};
}

// A checker with its outcomes as "signal:argument", in order of arrival.
struct Probe
{
    UpdateChecker checker;
    QStringList outcomes;
    UpdateInfo lastInfo;

    Probe()
    {
        QObject::connect(&checker, &UpdateChecker::updateAvailable, &checker, [this](const UpdateInfo& info) {
            outcomes << QStringLiteral("available:") + info.latestVersion;
            lastInfo = info;
        });
        const auto record = [this](const char* name) {
            return [this, name](const QString& text) { outcomes << QLatin1String(name) + text; };
        };
        QObject::connect(&checker, &UpdateChecker::upToDate, &checker, record("upToDate:"));
        QObject::connect(&checker, &UpdateChecker::checkFailed, &checker, record("failed:"));
        QObject::connect(&checker, &UpdateChecker::updateSkipped, &checker, record("skipped:"));
    }

    // Runs one check to its end, every reply answered and let go.
    QStringList check(bool silent)
    {
        const qsizetype before = outcomes.size();
        checker.checkForUpdates(silent);
        if (!QTest::qWaitFor([this] { return checker.findChildren<QNetworkReply*>().isEmpty(); }, 30000))
            return {QStringLiteral("(no answer)")};
        return outcomes.mid(before);
    }
};

} // namespace

class TestUpdateChecker : public QObject
{
    Q_OBJECT

    WebStandIn m_server;

    void serve(const QJsonValue& body, const QJsonObject& extra = {})
    {
        m_server.setRules({WebStandIn::answer(kPath, body, extra)});
    }

    static void forgetLastCheck() { QSettings().remove(QStringLiteral("updates/lastCheck")); }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
        QSettings().setValue(QStringLiteral("updates/url"), m_server.baseUrl() + kPath + QStringLiteral("?old=1"));
    }

    void versionsCompareByNumericParts()
    {
        QCOMPARE(UpdateChecker::compareVersions(QStringLiteral("1.2"), QStringLiteral("1.2.0")), 0);
        QCOMPARE(UpdateChecker::compareVersions(QStringLiteral("1.10"), QStringLiteral("1.9")), 1);
        QCOMPARE(UpdateChecker::compareVersions(QStringLiteral("2"), QStringLiteral("1.9.9")), 1);
        QCOMPARE(UpdateChecker::compareVersions(QStringLiteral("1.2.3-beta"), QStringLiteral("1.2.3")), -1);
        QCOMPARE(UpdateChecker::compareVersions(QStringLiteral("1..99999999999"), QStringLiteral("1.0")), 0);
        QCOMPARE(UpdateChecker::compareVersions(QString(), QStringLiteral("..")), 0);
    }

    void requestCarriesTheRunningVersion()
    {
        Probe c;
        serve(release(QStringLiteral("1.1.0"), true));
        const qsizetype before = m_server.requests().size();
        QCOMPARE(c.check(false), QStringList{QStringLiteral("available:1.1.0")});

        // The old query is replaced; the whole record reaches the window.
        const QList<QJsonObject> requests = m_server.requests().mid(before);
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].value(QStringLiteral("target")).toString(),
                 kPath + QStringLiteral("?app=Orchidlantern&current=1.0.0&platform=%1&arch=%2")
                             .arg(QSysInfo::productType(), QSysInfo::currentCpuArchitecture()));
        QCOMPARE(requests[0].value(QStringLiteral("headers")).toObject().value(QStringLiteral("user-agent")).toString(),
                 QStringLiteral("Orchidlantern/1.0.0"));
        const UpdateInfo info = c.lastInfo;
        QCOMPARE(info.notes, QStringLiteral("Fixes"));
        QCOMPARE(info.downloadUrl, QStringLiteral("https://example.invalid/ol.exe"));
        QCOMPARE(info.releaseDate, QStringLiteral("2026-12-01"));
        QCOMPARE(info.notesUrl, QStringLiteral("https://example.invalid/notes"));
        QCOMPARE(info.minSupportedVersion, QStringLiteral("0.9"));
        QVERIFY(info.critical);

        // Equal (slowly answered) and older versions are both "up to date",
        // for silent checks too.
        serve(release(QStringLiteral("1.0")), {{QStringLiteral("delay"), 2000}});
        QCOMPARE(c.check(false), QStringList{QStringLiteral("upToDate:1.0.0")});
        serve(release(QStringLiteral("0.9.9")));
        forgetLastCheck();
        QCOMPARE(c.check(true), QStringList{QStringLiteral("upToDate:1.0.0")});

        // A redirect to another HTTPS address is followed.
        const QJsonObject moved{{QStringLiteral("status"), 301},
                                {QStringLiteral("headers"),
                                 QJsonObject{{QStringLiteral("Location"), m_server.baseUrl() + QStringLiteral("/moved")}}}};
        m_server.setRules({WebStandIn::answer(kPath, QString(), moved),
                           WebStandIn::answer(QStringLiteral("/moved"), release(QStringLiteral("2.0")))});
        QCOMPARE(c.check(false), QStringList{QStringLiteral("available:2.0")});
    }

    void silentChecksAreRationedAndRespectTheSkippedVersion()
    {
        Probe c;
        QSettings s;
        s.setValue(QStringLiteral("updates/skippedVersion"), QStringLiteral("1.5"));
        serve(release(QStringLiteral("1.5")));
        forgetLastCheck();

        qsizetype sent = m_server.requests().size();
        QCOMPARE(c.check(true), QStringList{QStringLiteral("skipped:1.5")});
        const QDateTime stamped = s.value(QStringLiteral("updates/lastCheck")).toDateTime();
        QVERIFY(qAbs(stamped.secsTo(QDateTime::currentDateTime())) < 60);

        // A manual check in between sends its own request and offers the
        // skipped version; the stamp stays.
        QCOMPARE(c.check(false), QStringList{QStringLiteral("available:1.5")});
        QCOMPARE(s.value(QStringLiteral("updates/lastCheck")).toDateTime(), stamped);
        // The second silent check within 20 hours sends nothing.
        QCOMPARE(c.check(true), QStringList());
        QCOMPARE(m_server.requests().size(), sent + 2);
        // Nor does one after a stamp in the future; an old stamp lets it through.
        s.setValue(QStringLiteral("updates/lastCheck"), QDateTime::currentDateTime().addDays(3));
        QCOMPARE(c.check(true), QStringList());
        QCOMPARE(m_server.requests().size(), sent + 2);
        s.setValue(QStringLiteral("updates/lastCheck"), QDateTime::currentDateTime().addSecs(-72001));

        // Skipping never hides a critical update; letter case counts.
        serve(release(QStringLiteral("1.5"), true));
        QCOMPARE(c.check(true), QStringList{QStringLiteral("available:1.5")});
        s.setValue(QStringLiteral("updates/skippedVersion"), QStringLiteral("2.0-RC"));
        serve(release(QStringLiteral("2.0-rc")));
        forgetLastCheck();
        QCOMPARE(c.check(true), QStringList{QStringLiteral("available:2.0-rc")});
    }

    void failuresAreReportedOnlyToManualChecks()
    {
        QTcpServer plain;
        QVERIFY(plain.listen(QHostAddress::LocalHost));
        const QJsonObject toPlain{{QStringLiteral("status"), 302},
                                  {QStringLiteral("headers"),
                                   QJsonObject{{QStringLiteral("Location"),
                                                QStringLiteral("http://127.0.0.1:%1%2").arg(plain.serverPort()).arg(kPath)}}}};
        const QString unreachable = QStringLiteral("failed:Could not reach the update server.");
        const QString noVersion = QStringLiteral("failed:The update server returned no version.");
        const QList<std::tuple<QJsonValue, QJsonObject, QString>> cases{
            {release(QStringLiteral("9.0")), {{QStringLiteral("status"), 503}}, unreachable},
            {release(QStringLiteral("9.0")), {{QStringLiteral("mode"), QStringLiteral("cut")}}, unreachable},
            {QString(), toPlain, unreachable},
            {QString(), {}, noVersion},
            {QStringLiteral("{\"latest_version\": "), {}, noVersion},
            {QJsonObject{{QStringLiteral("latest_version"), 2}}, {}, noVersion},
            {QJsonArray{release(QStringLiteral("9.0"))}, {}, noVersion},
        };
        Probe c;
        for (const auto& [body, extra, expected] : cases) {
            serve(body, extra);
            QCOMPARE(c.check(false), QStringList{expected});
            forgetLastCheck();
            QCOMPARE(c.check(true), QStringList());
        }
        QVERIFY(!plain.hasPendingConnections());
    }

    void aServerThatNeverAnswersTimesOut()
    {
        serve(QString(), {{QStringLiteral("mode"), QStringLiteral("hang")}});
        Probe c;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(c.check(false), QStringList{QStringLiteral("failed:Could not reach the update server.")});
        QVERIFY2(clock.elapsed() >= 14000, qPrintable(QString::number(clock.elapsed())));
    }
};

OL_TEST_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
