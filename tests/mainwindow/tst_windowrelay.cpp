// ctest: serial
// ctest: timeout 600
// The relay dialog relays another station served by a real icecast2 on
// loopback; meanwhile the status bar says so, the silence detector hears the
// relayed audio, and the listener badge counts real listeners of the
// built-in server.
#include "engine/audioengine.h"
#include "engine/silencedetector.h"
#include "findwidget.h"
#include "icecastserver.h"
#include "olmain.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QStatusBar>

namespace {

QLabel* statusLabel(WindowFixture& f, const QString& prefix)
{
    for (QLabel* l : f.find<QStatusBar>()->findChildren<QLabel*>())
        if (l->text().startsWith(prefix))
            return l;
    return nullptr;
}

QLabel* relayStatus(QDialog& d)
{
    for (QLabel* l : d.findChildren<QLabel*>())
        if (l->styleSheet() == QStringLiteral("color:#555;"))
            return l;
    return nullptr;
}

} // namespace

class TestWindowRelay : public QObject
{
    Q_OBJECT

private slots:
    void relayDialogPutsAStationOnAir()
    {
        IcecastServer ice;
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        const QString tone = WindowFixture::toneFile(QStringLiteral("other station.mp3"), 120, 500);
        QProcess other;
        const auto endOther = qScopeGuard([&other] {
            other.kill();
            other.waitForFinished();
        });
        other.start(QStringLiteral("ffmpeg"),
                    {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-re"), QStringLiteral("-i"), tone,
                     QStringLiteral("-c:a"), QStringLiteral("copy"), QStringLiteral("-content_type"),
                     QStringLiteral("audio/mpeg"), QStringLiteral("-f"), QStringLiteral("mp3"),
                     QStringLiteral("icecast://source:%1@127.0.0.1:%2/other.mp3")
                         .arg(QLatin1String(IcecastServer::kSourcePassword))
                         .arg(ice.port())});
        QTRY_VERIFY_WITH_TIMEOUT(!ice.mountStatus(QStringLiteral("/other.mp3")).isEmpty(), 15000);
        const QString address = ice.baseUrl() + QStringLiteral("/other.mp3");

        const quint16 port = WindowFixture::freePort();
        WindowFixture f({{QStringLiteral("server/enabled"), true},
                         {QStringLiteral("server/port"), port},
                         {QStringLiteral("silence/enabled"), true},
                         {QStringLiteral("silence/timeout"), 2}});
        PromptScript prompts;
        auto* engine = f.find<AudioEngine>();
        auto* silence = f.find<SilenceDetector>();
        auto* badge = f.find<QLabel>(QStringLiteral("listeners"));

        auto whileOpen = [&](QDialog& d) {
            QLabel* status = relayStatus(d);
            QCOMPARE(status->text(), QStringLiteral("Not relaying."));
            QVERIFY(!findByText(d, QStringLiteral("Stop relay"))->isEnabled());
            d.findChild<QLineEdit*>()->setText(QStringLiteral("   "));
            clickButton(d, QStringLiteral("Relay stream"));
            QVERIFY2(f.log().filter(QStringLiteral("Command:")).isEmpty(), "a blank address ran a command");
            QVERIFY(!QSettings().contains(QStringLiteral("relay/lastUrl")));
            d.findChild<QLineEdit*>()->setText(QStringLiteral("  ") + address + QStringLiteral(" "));
            clickButton(d, QStringLiteral("Relay stream"));
            QCOMPARE(QSettings().value(QStringLiteral("relay/lastUrl")).toString(), address);
            QCOMPARE(status->text(), QStringLiteral("Relaying: ") + address);
            QVERIFY(f.waitForLog(QStringLiteral("Relay: live"), 30000));
            QCOMPARE(statusLabel(f, QStringLiteral("Relay: "))->text(), QStringLiteral("Relay: LIVE"));

            // Only real silence counts: the relayed tone is heard for twice the time-out.
            QTest::qWait(4500);
            QVERIFY2(!silence->hasFired(), qPrintable(f.log().join(QLatin1Char('\n'))));
            QCOMPARE(engine->isPlaying(), false);

            QProcess listeners[2];
            for (QProcess& curl : listeners)
                curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                                    QStringLiteral("http://127.0.0.1:%1/").arg(port)});
            QTRY_COMPARE_WITH_TIMEOUT(badge->text(), QStringLiteral("♫ 2"), 15000);
            QCOMPARE(badge->toolTip(), QStringLiteral("2 listeners (Icecast + built-in server)"));
            listeners[1].kill();
            listeners[1].waitForFinished();
            QTRY_COMPARE_WITH_TIMEOUT(badge->text(), QStringLiteral("♫ 1"), 15000);
            QCOMPARE(badge->toolTip(), QStringLiteral("1 listener (Icecast + built-in server)"));
            listeners[0].kill();
            listeners[0].waitForFinished();

            findByText<QCheckBox>(d, QStringLiteral("Start next song in the playlist when relay stops"))->click();
            QCOMPARE(QSettings().value(QStringLiteral("relay/startNextOnStop")).toBool(), true);
        };
        prompts.answerDialog([&](QDialog& d) {
            whileOpen(d);
            d.reject();
            return d.result();
        });
        QAction* relay = f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Relay..."));
        relay->trigger();
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(engine->isRelaying(), "closing the dialog ended the relay");

        // Opened again it shows the relay on air, and stops it.
        QString shown;
        prompts.answerDialog([&shown](QDialog& d) {
            shown = relayStatus(d)->text();
            clickButton(d, QStringLiteral("Stop relay"));
            shown += QLatin1Char('|') + relayStatus(d)->text();
            return int(QDialog::Rejected);
        });
        relay->trigger();
        QCOMPARE(shown, QStringLiteral("Relaying: %1|Not relaying.").arg(address));
        QVERIFY(f.log().contains(QStringLiteral("Command: relaystop")));
        QVERIFY(!engine->isRelaying());
        QVERIFY(statusLabel(f, QStringLiteral("Scheduler: Enabled")));
    }
};

OL_TEST_MAIN(TestWindowRelay)
#include "tst_windowrelay.moc"
