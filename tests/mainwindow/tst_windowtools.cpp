// The window's tool glue: the lock over Settings and the Event Scheduler,
// the scheduler box, an update offer from an untrusted answer, normalising
// the playlist's files, printing and the about box.
#include "audiofixtures.h"
#include "automation/eventscheduler.h"
#include "dialogs/settings/schedulerwindow.h"
#include "engine/playlistmodel.h"
#include "library/musiclibrary.h"
#include "library/security.h"
#include "library/trackparams.h"
#include "olmain.h"
#include "webstandin.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>
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

QString sha256sum(const QByteArray& bytes)
{
    const QString path = testHome().scratch(QStringLiteral("lock")) + QStringLiteral("/bytes");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return {};
    f.close();
    QByteArray out;
    AudioFixtures::run(QStringLiteral("sha256sum"), {path}, &out);
    return QString::fromLatin1(out.left(64));
}

QStringList titlesAsked(const PromptScript& prompts, Prompts::Kind kind)
{
    QStringList out;
    for (const PromptScript::Asked& a : prompts.asked())
        if (a.kind == kind)
            out << a.title;
    return out;
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
        auto* lock = f.find<QToolButton>(QStringLiteral("lock"));
        QCOMPARE(lock->text(), QStringLiteral("No password set"));
        lock->click();
        QVERIFY(prompts.messages().last().startsWith(QStringLiteral("No areas are password-protected yet.\n")));
        f.menuAction(QStringLiteral("&Settings"), QStringLiteral("Settings..."))->trigger();
        QCOMPARE(prompts.count(Prompts::Kind::Text), 0);
        QCOMPARE(prompts.count(Prompts::Kind::Dialog), 1);

        // The passwords as the settings page stores them, in a new run.
        Security::setPassword(Security::Settings, QStringLiteral("alpha"));
        Security::setPassword(Security::Scheduler, QStringLiteral("bëta"));
        QCOMPARE(QSettings().value(QStringLiteral("security/schedulerHash")).toString(),
                 sha256sum(QByteArray("qw$ptz:v1:") + QStringLiteral("bëta").toUtf8()));
        Security::s_unlocked[0] = Security::s_unlocked[1] = false;
        f.restart();
        lock = f.find<QToolButton>(QStringLiteral("lock"));
        QCOMPARE(lock->text(), QStringLiteral("Locked — click to unlock"));

        // One click asks for both, Settings first; cancelling the first still asks the second.
        prompts.answer(Prompts::Kind::Text, {});
        prompts.answerText(QStringLiteral("bëta"));
        lock->click();
        QCOMPARE(titlesAsked(prompts, Prompts::Kind::Text),
                 (QStringList{"Settings locked", "Event Scheduler locked"}));
        QCOMPARE(f.log().first(), QStringLiteral("Event Scheduler unlocked"));
        QCOMPARE(lock->text(), QStringLiteral("Locked — click to unlock"));

        // Wrong and empty entries open nothing.
        const int dialogs = prompts.count(Prompts::Kind::Dialog);
        for (const QString& entry : {QStringLiteral("alpha "), QString()}) {
            prompts.answerText(entry);
            f.menuAction(QStringLiteral("&Settings"), QStringLiteral("Settings..."))->trigger();
            QCOMPARE(prompts.messages().last(), QStringLiteral("Incorrect password."));
        }
        QCOMPARE(prompts.count(Prompts::Kind::Dialog), dialogs);

        // The unlocked scheduler's windows open without asking.
        const int asked = prompts.count(Prompts::Kind::Text);
        f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Ads Scheduler..."))->trigger();
        f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Scheduled Event..."))->trigger();
        for (QPushButton* b : f->findChildren<QPushButton*>())
            if (b->text() == QStringLiteral("Open Scheduler…"))
                b->click();
        QCOMPARE(prompts.count(Prompts::Kind::Text), asked);
        QCOMPARE(prompts.count(Prompts::Kind::Dialog), dialogs + 1);
        QCOMPARE(f->findChildren<SchedulerWindow*>().size(), 1);
        QVERIFY(f.find<SchedulerWindow>()->isVisible());

        prompts.answerText(QStringLiteral("alpha"));
        f.menuAction(QStringLiteral("&Settings"), QStringLiteral("Settings..."))->trigger();
        QCOMPARE(prompts.count(Prompts::Kind::Dialog), dialogs + 2);
        QCOMPARE(lock->text(), QStringLiteral("Unlocked — click to lock"));

        // Locking again: the scheduler asks once more, and only it.
        lock->click();
        QCOMPARE(f.log().first(), QStringLiteral("Protected areas locked"));
        Security::setPassword(Security::Settings, QString());
        Security::s_unlocked[Security::Scheduler] = false;
        lock->click();
        QCOMPARE(titlesAsked(prompts, Prompts::Kind::Text).last(), QStringLiteral("Event Scheduler locked"));
        f.menuAction(QStringLiteral("&Tools"), QStringLiteral("Ads Scheduler..."))->trigger();
        QCOMPARE(prompts.count(Prompts::Kind::Dialog), dialogs + 2);
        Security::setPassword(Security::Scheduler, QString());
    }

    void schedulerBoxShowsTheNextEvent()
    {
        WindowFixture f;
        auto* scheduler = f.find<EventScheduler>();
        scheduler->setClock([] { return QDateTime(QDate(2026, 3, 4), QTime(10, 0)); }); // a Wednesday
        auto* label = f.find<QLabel>(QStringLiteral("nextEvent"));
        QCOMPARE(label->text(), QStringLiteral("No events scheduled"));
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

        auto box = [&f](const QString& text) {
            for (QCheckBox* c : f->findChildren<QCheckBox*>())
                if (c->text() == text)
                    return c;
            return static_cast<QCheckBox*>(nullptr);
        };
        box(QStringLiteral("On"))->click();
        box(QStringLiteral("Manual"))->click();
        QVERIFY(!scheduler->isActive() && scheduler->isManual());
        QCOMPARE(f.log().mid(0, 2), (QStringList{"Scheduler: Manual mode", "Scheduler: Off"}));
        QStringList status;
        for (const QLabel* l : f.find<QStatusBar>()->findChildren<QLabel*>())
            status << l->text();
        QVERIFY(status.contains(QStringLiteral("Scheduler: Off")));
    }

    // The answer of the update service is not trusted: its texts are shown
    // as text and only its web addresses are opened.
    void updateOfferOpensOnlyWebAddresses()
    {
        WebStandIn web;
        QVERIFY2(web.start(), qPrintable(web.errorText()));
        Browser browser;
        PromptScript prompts;
        WindowFixture f({{QStringLiteral("updates/url"), web.baseUrl() + QStringLiteral("/latest.json")}});
        auto offer = [&](const QString& download, const QString& notes) {
            web.setRules({WebStandIn::answer(QStringLiteral("/latest.json"),
                                             QJsonObject{{"latest_version", "9.<img src=x>"},
                                                         {"release_date", "<b>soon</b>"},
                                                         {"download_url", download},
                                                         {"notes_url", notes}})});
            QStringList shown;
            prompts.answerDialog([&shown](QDialog& d) {
                for (QLabel* l : d.findChildren<QLabel*>()) {
                    shown << l->text();
                    if (l->text().contains(QStringLiteral("Full release notes")))
                        emit l->linkActivated(QString());
                }
                for (QPushButton* b : d.findChildren<QPushButton*>())
                    if (b->text() == QStringLiteral("Download…"))
                        b->click();
                return d.result();
            });
            f.find<QStatusBar>()->findChild<QToolButton*>()->click();
            if (!f.waitForLog(QStringLiteral("Update available: 9.<img src=x>")))
                return QStringList();
            f->findChild<QListWidget*>(QStringLiteral("log"))->clear();
            return shown;
        };
        const QStringList shown = offer(QStringLiteral("file:///etc/passwd"), QStringLiteral("javascript:alert(1)"));
        QVERIFY(shown.contains(QStringLiteral("<b>Orchidlantern 9.&lt;img src=x&gt; is available</b>")));
        QVERIFY(shown.contains(QStringLiteral("Released <b>soon</b>")));
        QCOMPARE(browser.opened, QList<QUrl>());
        offer(QStringLiteral("https://example.org/get"), QStringLiteral("http://example.org/notes"));
        QCOMPARE(browser.opened, (QList<QUrl>{QUrl("http://example.org/notes"), QUrl("https://example.org/get")}));
    }

    void normaliseBringsEachFileToTarget()
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

        auto* model = qobject_cast<PlaylistModel*>(f.find<QTableView>(QStringLiteral("playlist"))->model());
        f->addPaths({quiet, QStringLiteral("http://127.0.0.1:9/stream"), loud});
        Track stop;
        stop.marker = true;
        stop.label = QStringLiteral("stop");
        model->insertTrack(1, stop);
        f->addPaths({quiet});
        normalise->trigger();
        QCOMPARE(f.log().first(), QStringLiteral("Normalize: processed 3 track(s)"));
        QCOMPARE(f.log().filter(QStringLiteral("Normalize: quiet.wav")).size(), 2);
        for (const QString& path : {quiet, loud}) {
            const double gain = TrackParams::load(path).level;
            const double lufs = AudioFixtures::integratedLoudness(path, QStringLiteral("volume=%1").arg(gain, 0, 'f', 6));
            QVERIFY2(qAbs(lufs + 18.0) <= 0.5, qPrintable(QStringLiteral("%1 at %2 LUFS").arg(path).arg(lufs)));
        }

        // Cancel after the first file: nothing further is measured.
        QMetaObject::Connection cancel = connect(
            f->findChild<QListWidget*>(QStringLiteral("log"))->model(), &QAbstractItemModel::rowsInserted, this, [&f] {
                if (auto* progress = f.find<QProgressDialog>())
                    progress->cancel();
            });
        normalise->trigger();
        disconnect(cancel);
        QCOMPARE(f.log().first(), QStringLiteral("Normalize: processed 1 track(s)"));
    }

    void printsAndShowsAbout()
    {
        WindowFixture f;
        PromptScript prompts;
        const QString pdf = testHome().scratch(QStringLiteral("print")) + QStringLiteral("/page.pdf");
        QString title;
        prompts.answerDialog([](QDialog&) { return int(QDialog::Rejected); });
        prompts.answerDialog([&title, pdf](QDialog& d) {
            title = d.windowTitle();
            qobject_cast<QPrintDialog*>(&d)->printer()->setOutputFileName(pdf);
            return int(QDialog::Accepted);
        });
        f->printDocument(QStringLiteral("playlist"), QStringLiteral("<h1>Cancelled</h1>"));
        QVERIFY(!f.log().contains(QStringLiteral("Printed: playlist")));
        f->printDocument(QStringLiteral("playlist"), QStringLiteral("<h1>Morning show</h1><p>Delta &amp; Echo</p>"));
        QCOMPARE(title, QStringLiteral("Print playlist"));
        QCOMPARE(f.log().first(), QStringLiteral("Printed: playlist"));
        QByteArray text;
        QVERIFY(AudioFixtures::run(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")}, &text));
        QVERIFY2(text.contains("Morning show") && text.contains("Delta & Echo"), text.constData());

        QStringList texts;
        int result = -1;
        prompts.answerDialog([&texts, &result](QDialog& d) {
            for (QLabel* l : d.findChildren<QLabel*>())
                texts << (l->pixmap().isNull() ? l->text() : QStringLiteral("logo %1").arg(l->pixmap().width()));
            for (QPushButton* b : d.findChildren<QPushButton*>())
                if (b->text() == QStringLiteral("OK"))
                    b->click();
            return result = d.result();
        });
        f.menuAction(QStringLiteral("&Help"), QStringLiteral("About Orchidlantern"))->trigger();
        QCOMPARE(prompts.asked().last().title, QStringLiteral("About Orchidlantern"));
        QVERIFY(texts.contains(QStringLiteral("<b>Version 1.0.0</b>")) && texts.contains(QStringLiteral("logo 360")));
        QCOMPARE(result, int(QDialog::Accepted));
    }
};

OL_TEST_MAIN(TestWindowTools)
#include "tst_windowtools.moc"
