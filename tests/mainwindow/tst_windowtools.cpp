// ctest: serial
// ctest: timeout 600
// The window's tool glue: the lock over Settings and the Event Scheduler, the
// scheduler box, an update offer from an untrusted answer, normalising and
// printing the playlist, and the relay dialog putting another station on air
// with the indicators that follow it.
#include "audiofixtures.h"
#include "automation/eventscheduler.h"
#include "dialogs/settings/schedulerwindow.h"
#include "engine/audioengine.h"
#include "engine/audioinput.h"
#include "engine/playlistmodel.h"
#include "engine/silencedetector.h"
#include "findwidget.h"
#include "icecastserver.h"
#include "library/musiclibrary.h"
#include "library/security.h"
#include "library/trackparams.h"
#include "olmain.h"
#include "pipemic.h"
#include "webstandin.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QDoubleSpinBox>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QStatusBar>
#include <QTableView>
#include <QToolButton>

namespace {

// Stands in for the system browser.
class Browser : public QObject
{
    Q_OBJECT
public:
    Browser()
    {
        for (const char* scheme : {"http", "https", "file", "javascript"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "open");
    }
    ~Browser() override
    {
        for (const char* scheme : {"http", "https", "file", "javascript"})
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    }
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

QStringList texts(const QWidget* parent)
{
    QStringList out;
    for (const QLabel* l : parent->findChildren<QLabel*>())
        out << l->text();
    return out;
}

QString lastTitleAsked(const PromptScript& prompts)
{
    return prompts.asked().isEmpty() ? QString() : prompts.asked().last().title;
}

} // namespace

class TestWindowTools : public QObject
{
    Q_OBJECT

private slots:
    void lockGuardsSettingsAndTheScheduler()
    {
        WindowFixture f;
        PromptScript prompts;
        QCOMPARE(f.find<QToolButton>(QStringLiteral("lock"))->text(), QStringLiteral("No password set"));
        // The passwords as the settings page stores them, in a new run.
        Security::setPassword(Security::Settings, QStringLiteral("alpha"));
        Security::setPassword(Security::Scheduler, QStringLiteral("bëta"));
        const QString salted = testHome().scratch(QStringLiteral("lock")) + QStringLiteral("/salted");
        QFile file(salted);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray("qw$ptz:v1:") + QStringLiteral("bëta").toUtf8()) == 15);
        file.close();
        QByteArray sum;
        QVERIFY(AudioFixtures::run(QStringLiteral("sha256sum"), {salted}, &sum));
        QCOMPARE(QSettings().value(QStringLiteral("security/schedulerHash")).toByteArray(), sum.left(64));
        Security::s_unlocked[0] = Security::s_unlocked[1] = false;
        f.restart();
        auto* lock = f.find<QToolButton>(QStringLiteral("lock"));
        QCOMPARE(lock->text(), QStringLiteral("Locked — click to unlock"));

        // One click asks for both, Settings first; a cancelled first still asks the second.
        prompts.answer(Prompts::Kind::Text, {});
        prompts.answerText(QStringLiteral("bëta"));
        lock->click();
        QCOMPARE(prompts.asked().at(prompts.asked().size() - 2).title, QStringLiteral("Settings locked"));
        QCOMPARE(lastTitleAsked(prompts), QStringLiteral("Event Scheduler locked"));
        QCOMPARE(f.log().first(), QStringLiteral("Event Scheduler unlocked"));

        // Wrong and empty entries open nothing; the unlocked scheduler's windows open unasked.
        for (const QString& entry : {QStringLiteral("alpha "), QString()}) {
            prompts.answerText(entry);
            f.menuAction(QStringLiteral("&Settings"), QStringLiteral("Settings..."))->trigger();
            QCOMPARE(prompts.messages().last(), QStringLiteral("Incorrect password."));
        }
        const int passwordsAsked = prompts.count(Prompts::Kind::Text);
        f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Ads Scheduler..."))->trigger();
        QVERIFY(prompts.count(Prompts::Kind::Text) == passwordsAsked && prompts.asked().last().kind == Prompts::Kind::Dialog);
        f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Scheduled Event..."))->trigger();
        clickButton(f.window(), QStringLiteral("Open Scheduler…"));
        QVERIFY(f->findChildren<SchedulerWindow*>().size() == 1 && f.find<SchedulerWindow>()->isVisible());
        prompts.answerText(QStringLiteral("alpha"));
        f.menuAction(QStringLiteral("&Settings"), QStringLiteral("Settings..."))->trigger();
        QCOMPARE(lock->text(), QStringLiteral("Unlocked — click to lock"));

        // Locked again, the scheduler asks once more; a wrong entry opens nothing.
        lock->click();
        QCOMPARE(f.log().first(), QStringLiteral("Protected areas locked"));
        const int asked = int(prompts.asked().size());
        prompts.answerText(QStringLiteral("alpha"));
        f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Ads Scheduler..."))->trigger();
        QCOMPARE(prompts.asked().size(), asked + 2);
        QCOMPARE(prompts.messages().last(), QStringLiteral("Incorrect password."));
        Security::setPassword(Security::Settings, QString());
        Security::setPassword(Security::Scheduler, QString());
    }

    // Settings that cannot be written (a folder stands where the file goes,
    // which stops even the super-user) are reported, not called updated.
    void unwritableSettingsAreReported()
    {
        WindowFixture f;
        PromptScript prompts;
        const QString file = QSettings().fileName();
        QVERIFY(QFile::remove(file) && QDir().mkdir(file));
        const auto restore = qScopeGuard([&file] { QDir().rmdir(file); });
        prompts.answerDialog([](QDialog& d) {
            clickButton(d, QStringLiteral("OK"));
            return d.result();
        });
        f.menuAction(QStringLiteral("&Settings"), QStringLiteral("Settings..."))->trigger();
        QVERIFY2(!prompts.messages().isEmpty()
                     && prompts.messages().last().startsWith(QStringLiteral("The settings could not be saved to ")),
                 qPrintable(prompts.messages().join('|')));
        QVERIFY(!f.log().contains(QStringLiteral("Settings updated")));
        QVERIFY(f.log().first().startsWith(QStringLiteral("Could not save the settings: ")));
    }

    void schedulerBoxShowsTheNextEvent()
    {
        WindowFixture f;
        auto* scheduler = f.find<EventScheduler>();
        scheduler->setClock([] { return QDateTime(QDate(2026, 3, 4), QTime(10, 0)); }); // a Wednesday
        auto* label = f.find<QLabel>(QStringLiteral("nextEvent"));
        ScheduledEvent e;
        e.action = QStringLiteral("next");
        e.time = QTime(7, 30);
        e.days = {1, 2, 3, 4, 5, 6, 7};
        scheduler->addEvent(e);
        QCOMPARE(label->text(), QStringLiteral("Next: next\nThu 07:30  •  1 event"));
        e.name = QStringLiteral("News");
        e.time = QTime(12, 0);
        scheduler->addEvent(e);
        QCOMPARE(label->text(), QStringLiteral("Next: News\ntoday 12:00  •  2 events"));
        e.enabled = false;
        scheduler->setEvents({e, e});
        QCOMPARE(label->text(), QStringLiteral("2 events (none upcoming)"));

        clickButton(f.window(), QStringLiteral("On"));
        clickButton(f.window(), QStringLiteral("Manual"));
        QVERIFY(!scheduler->isActive() && scheduler->isManual());
        QVERIFY(texts(f.find<QStatusBar>()).contains(QStringLiteral("Scheduler: Off")));
    }

    // Its texts are shown as text and only its web addresses are opened.
    void updateOfferFromAnUntrustedAnswer()
    {
        WebStandIn web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        Browser browser;
        PromptScript prompts;
        WindowFixture f({{QStringLiteral("updates/url"), web.baseUrl() + QStringLiteral("/latest.json")}});
        QStringList shown;
        auto offer = [&](const QString& download, const QString& notes) {
            web.setRules({WebStandIn::answer(QStringLiteral("/latest.json"),
                                             QJsonObject{{"latest_version", "9.<img src=x>"}, {"release_date", "<b>soon</b>"},
                                                         {"download_url", download}, {"notes_url", notes}})});
            prompts.answerDialog([&shown](QDialog& d) {
                shown = texts(&d);
                emit findByText<QLabel>(d, QStringLiteral("<a href=\"%1\">Full release notes</a>")
                                               .arg(shown.filter(QStringLiteral("href")).value(0).section('"', 1, 1)))
                    ->linkActivated(QString());
                clickButton(d, QStringLiteral("Download…"));
                return d.result();
            });
            f.find<QStatusBar>()->findChild<QToolButton*>()->click();
            return f.waitForLog(QStringLiteral("Update available: 9.<img src=x>"));
        };
        QVERIFY(offer(QStringLiteral("file:///etc/passwd"), QStringLiteral("javascript:alert(1)")));
        QVERIFY(shown.contains(QStringLiteral("<b>Orchidlantern 9.&lt;img src=x&gt; is available</b>")));
        QVERIFY(shown.contains(QStringLiteral("Released <b>soon</b>")));
        QCOMPARE(browser.opened, QList<QUrl>());
        f->findChild<QListWidget*>(QStringLiteral("log"))->clear();
        QVERIFY(offer(QStringLiteral("https://example.org/get"), QStringLiteral("http://example.org/notes")));
        QCOMPARE(browser.opened, (QList<QUrl>{QUrl("http://example.org/notes"), QUrl("https://example.org/get")}));
    }

    void normaliseAndPrintThePlaylist()
    {
        const QString dir = testHome().scratch(QStringLiteral("normalise"));
        const QString quiet = dir + QStringLiteral("/quiet.wav");
        const QString loud = dir + QStringLiteral("/loud.flac");
        QVERIFY(AudioFixtures::tone(quiet, 1000, -27, 8) && AudioFixtures::tone(loud, 300, -10, 8));
        QVERIFY(MusicLibrary::initDatabase()); // as the program's start-up does
        WindowFixture f;
        PromptScript prompts;
        QAction* normalise = f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Normalize playlist tracks..."));
        normalise->trigger();
        QCOMPARE(prompts.messages(), QStringList{"The playlist is empty."});

        Track stop;
        stop.marker = true;
        f.addPaths({quiet, QStringLiteral("http://127.0.0.1:9/stream"), loud});
        qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model())->insertTrack(1, stop);
        f.addPaths({quiet});
        normalise->trigger();
        QCOMPARE(f.log().first(), QStringLiteral("Normalize: processed 3 track(s)"));
        QCOMPARE(f.log().filter(QStringLiteral("Normalize: quiet.wav")).size(), 2);
        for (const QString& path : {quiet, loud}) {
            const QString gain = QStringLiteral("volume=%1").arg(TrackParams::load(path).level, 0, 'f', 6);
            const double lufs = AudioFixtures::integratedLoudness(path, gain);
            QVERIFY2(qAbs(lufs + 18.0) <= 0.5, qPrintable(QStringLiteral("%1 at %2 LUFS").arg(path).arg(lufs)));
        }
        // Cancelled after the first file, nothing further is measured.
        const QMetaObject::Connection cancel = connect(f->findChild<QListWidget*>()->model(), &QAbstractItemModel::rowsInserted,
                                                       this, [&f] { f.find<QProgressDialog>()->cancel(); });
        normalise->trigger();
        disconnect(cancel);
        QCOMPARE(f.log().first(), QStringLiteral("Normalize: processed 1 track(s)"));

        const QString pdf = testHome().scratch(QStringLiteral("print")) + QStringLiteral("/page.pdf");
        prompts.answerDialog([](QDialog&) { return int(QDialog::Rejected); });
        prompts.answerDialog([pdf](QDialog& d) {
            qobject_cast<QPrintDialog*>(&d)->printer()->setOutputFileName(pdf);
            return int(QDialog::Accepted);
        });
        QAction* print = f.menuAction(QStringLiteral("&File"), QStringLiteral("Print playlist..."));
        for (int i = 0; i < 2; ++i)
            print->trigger();
        QCOMPARE(lastTitleAsked(prompts), QStringLiteral("Print playlist"));
        QCOMPARE(f.log().filter(QStringLiteral("Printed: playlist")).size(), 1);
        QByteArray text;
        QVERIFY(AudioFixtures::run(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")}, &text));
        for (const char* part : {"Playlist 1", "quiet", "LIVE", "5 tracks"})
            QVERIFY2(text.contains(part), text.constData());
    }

    void crossfadesReachTheEngine()
    {
        WindowFixture f;
        PromptScript prompts;
        auto* engine = f.find<AudioEngine>();
        QAction* crossfades = f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Crossfades..."));
        QVERIFY(crossfades);
        const QList<QAction*> tools = qobject_cast<QWidget*>(crossfades->parent())->actions();
        QCOMPARE(tools.at(tools.indexOf(crossfades) - 1)->text(), QStringLiteral("Scheduled Event..."));
        QVERIFY(tools.at(tools.indexOf(crossfades) + 1)->isSeparator());

        auto fadeOut = [&](double seconds, const char* button) {
            prompts.answerDialog([seconds, button](QDialog& d) {
                d.findChild<QCheckBox*>(QStringLiteral("fadeOutBox"))->setChecked(true);
                d.findChild<QDoubleSpinBox*>(QStringLiteral("fadeOutSpin"))->setValue(seconds);
                d.findChild<QPushButton*>(QLatin1String(button))->click();
                return d.result();
            });
            crossfades->trigger();
        };
        const int before = engine->fadeOutMs();
        fadeOut(7.5, "cancelButton");
        QCOMPARE(engine->fadeOutMs(), before);
        QVERIFY(!f.log().contains(QStringLiteral("Crossfade settings updated")));
        fadeOut(6.5, "okButton");
        QCOMPARE(QSettings().value(QStringLiteral("playback/fadeOutMs")).toInt(), 6500);
        QCOMPARE(engine->fadeOutMs(), 6500);
        QCOMPARE(f.log().first(), QStringLiteral("Crossfade settings updated"));
    }

    void relayDialogPutsAnotherStationOnAir()
    {
        IcecastServer ice;
        QVERIFY2(ice.start(), qPrintable(ice.errorText()));
        QProcess other;
        const auto endOther = qScopeGuard([&other] {
            other.kill();
            other.waitForFinished();
        });
        other.start(QStringLiteral("ffmpeg"),
                    {"-v", "error", "-re", "-i", WindowFixture::toneFile(QStringLiteral("other.mp3"), 120, 500), "-c:a",
                     "copy", "-content_type", "audio/mpeg", "-f", "mp3",
                     QStringLiteral("icecast://source:%1@127.0.0.1:%2/other.mp3").arg(IcecastServer::kSourcePassword).arg(ice.port())});
        QTRY_VERIFY_WITH_TIMEOUT(!ice.mountStatus(QStringLiteral("/other.mp3")).isEmpty(), 15000);
        const QString address = ice.baseUrl() + QStringLiteral("/other.mp3");
        const quint16 port = WindowFixture::freePort();
        // Line input 1 is a device that appears only later in the test.
        PipeMic lineIn(QStringLiteral("ol_relay_line"), QStringLiteral("Relay-Line-In"), 44100, 2);
        const QString song = WindowFixture::toneFile(QStringLiteral("song.wav"), 60, 330);
        WindowFixture f({{QStringLiteral("audio/lineInDevice"), lineIn.description()},
                         {QStringLiteral("server/enabled"), true},
                         {QStringLiteral("server/port"), port},
                         {QStringLiteral("silence/enabled"), true},
                         {QStringLiteral("silence/timeout"), 2}});
        PromptScript prompts;
        auto* engine = f.find<AudioEngine>();
        auto* badge = f.find<QLabel>(QStringLiteral("listeners"));
        auto status = [](QDialog& d) { return findByText<QLabel>(d, QStringLiteral("Not relaying.")); };

        auto whileOpen = [&](QDialog& d) {
            QVERIFY(status(d) && !findByText(d, QStringLiteral("Stop relay"))->isEnabled());
            d.findChild<QLineEdit*>()->setText(QStringLiteral(" ") + address);
            clickButton(d, QStringLiteral("Relay stream"));
            QCOMPARE(QSettings().value(QStringLiteral("relay/lastUrl")).toString(), address);
            QVERIFY(findByText<QLabel>(d, QStringLiteral("Relaying: ") + address));
            QVERIFY(f.waitForLog(QStringLiteral("Relay: live"), 30000));
            QVERIFY(texts(f.find<QStatusBar>()).contains(QStringLiteral("Relay: LIVE")));
            // Only real silence counts: the relayed tone is heard for twice the time-out.
            QTest::qWait(4500);
            QVERIFY2(!f.find<SilenceDetector>()->hasFired() && !engine->isPlaying(), "silence under a live relay");

            QProcess listeners[2];
            for (QProcess& curl : listeners)
                curl.start(QStringLiteral("curl"), {"-s", "-o", "/dev/null", QStringLiteral("http://127.0.0.1:%1/").arg(port)});
            QTRY_COMPARE_WITH_TIMEOUT(badge->text(), QStringLiteral("♫ 2"), 15000);
            QCOMPARE(badge->toolTip(), QStringLiteral("2 listeners (Icecast + built-in server)"));
            listeners[1].kill();
            QTRY_COMPARE_WITH_TIMEOUT(badge->toolTip(), QStringLiteral("1 listener (Icecast + built-in server)"), 15000);
            listeners[0].kill();
            listeners[0].waitForFinished();
            listeners[1].waitForFinished();
        };
        prompts.answerDialog([&](QDialog& d) {
            whileOpen(d);
            return int(QDialog::Rejected);
        });
        QAction* relay = f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Relay..."));
        relay->trigger();
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(engine->isRelaying(), "closing the dialog ended the relay");

        // Opened again it shows the relay on air and stops it. Then line
        // input 1: refused while its device is missing, the song playing on;
        // relayed once it is there, in place of the song; ended by Stop.
        QStringList shown;
        AudioInput* line = f->findChildren<AudioInput*>().value(1);
        QList<bool> songOn;
        bool lineOnAir = false;
        prompts.answerDialog([&](QDialog& d) {
            auto status = [&d] {
                return texts(&d).filter(QRegularExpression(QStringLiteral("^(Relaying: |Not relaying\\.$)"))).join(QLatin1Char('|'));
            };
            shown << status();
            clickButton(d, QStringLiteral("Stop relay"));
            shown << status();
            f.addPaths({song});
            engine->playRow(engine->currentRow() + 1);
            songOn << QTest::qWaitFor([engine] { return engine->isPlaying(); }, 15000);
            clickButton(d, QStringLiteral("Relay line input 1"));
            shown << status();
            songOn << engine->isPlaying();
            songOn << (lineIn.open(testHome().scratch(), song) && clickButton(d, QStringLiteral("Relay line input 1")));
            shown << status();
            lineOnAir = line->isActive() && findByText(d, QStringLiteral("Stop relay"))->isEnabled();
            songOn << QTest::qWaitFor([engine] { return !engine->isPlaying(); }, 15000);
            clickButton(d, QStringLiteral("Stop relay"));
            shown << status();
            songOn << QTest::qWaitFor([engine] { return engine->isPlaying(); }, 15000);
            return int(QDialog::Rejected);
        });
        relay->trigger();
        QCOMPARE(shown, (QStringList{"Relaying: " + address, "Not relaying.", "Not relaying.", "Relaying: line input 1", "Not relaying."}));
        QCOMPARE(songOn, QList<bool>(5, true));
        QVERIFY(f.log().contains(QStringLiteral("Relay: line input 1 could not be started - the playlist stays on air")));
        QVERIFY(lineOnAir && !line->isActive());
        QVERIFY(f.log().contains(QStringLiteral("Command: relaystop")) && !engine->isRelaying());
        QVERIFY(texts(f.find<QStatusBar>()).contains(QStringLiteral("Scheduler: Enabled")));
    }
};

OL_TEST_MAIN(TestWindowTools)
#include "tst_windowtools.moc"
