#include "windowfixture.h"

#include "library/musiclibrary.h"
#include "mainwindow/playliststore.h"

#include "audiofixtures.h"
#include "olmain.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProcess>
#include <QSaveFile>
#include <QSettings>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>
#include <QXmlStreamReader>

#include <unistd.h>

namespace {

// Offscreen window tests get a screen larger than the window, as the
// operator has; the default one is too small, and a restored geometry would
// be shrunk to it.
const bool s_largeScreen = [] {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && platform != "offscreen")
        return false;
    // One per account: another's in a shared /tmp cannot be replaced.
    const QString config = QDir::tempPath() + QStringLiteral("/ol-offscreen-1920x1080-%1.json").arg(::getuid());
    // Tests running side by side write it too: replaced whole, never seen half-written.
    QSaveFile f(config);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(R"({"screens":[{"name":"OL","x":0,"y":0,"width":1920,"height":1080,)"
            R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})");
    if (!f.commit())
        return false;
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.toUtf8());
    return true;
}();

} // namespace

WindowFixture::WindowFixture(const QVariantMap& settings)
{
    QSettings s;
    s.clear();
    for (auto it = settings.begin(); it != settings.end(); ++it)
        s.setValue(it.key(), it.value());
    s.sync();
    QFile::remove(PlaylistStore::path());
    // As the program's start-up does before it builds the window.
    MusicLibrary::initDatabase();
    restart();
}

WindowFixture::~WindowFixture() = default;

void WindowFixture::restart()
{
    m_window.reset();
    m_window = std::make_unique<MainWindow>();
}

void WindowFixture::addPaths(const QStringList& paths, PlaylistModel* into)
{
    m_window->addPaths(paths, into);
    QVERIFY(rowsMade());
}

bool WindowFixture::rowsMade(int timeoutMs)
{
    return QTest::qWaitFor([this] { return !m_window->rowsBeingMade(); }, timeoutMs);
}

QStringList WindowFixture::log() const
{
    QStringList lines;
    const QListWidget* list = find<QListWidget>(QStringLiteral("log"));
    for (int i = 0; list && i < list->count(); ++i)
        lines << list->item(i)->text().section(QStringLiteral("  "), 1);
    return lines;
}

bool WindowFixture::waitForLog(const QString& text, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!log().contains(text)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

QAction* WindowFixture::menuAction(const QString& menu, const QString& text) const
{
    for (QAction* top : m_window->menuBar()->actions()) {
        if (top->text() != menu || !top->menu())
            continue;
        for (QAction* a : top->menu()->actions()) {
            if (a->text() == text)
                return a;
        }
    }
    return nullptr;
}

QString WindowFixture::screenshot(const QString& name) const
{
    const QString dir = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR", QDir::tempPath()) + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    return m_window->grab().save(path) ? path : QString();
}

QString WindowFixture::toneFile(const QString& name, double seconds, double frequencyHz)
{
    const QString path = testHome().scratch(QStringLiteral("audio")) + QLatin1Char('/') + name;
    if (!QFile::exists(path) && !AudioFixtures::tone(path, frequencyHz, -6, seconds))
        return {};
    return path;
}

QByteArray WindowFixture::get(quint16 port, const QString& target)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("curl"), {"-sS", "-i", "-g", "--max-time", "20",
                                     QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(target)});
    if (!p.waitForStarted(10000) || !QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 90000))
        return "curl did not run";
    return p.readAllStandardOutput();
}

quint16 WindowFixture::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

QVariantMap WindowFixture::apiSettings(quint16 port)
{
    return {{QStringLiteral("api/enabled"), true}, {QStringLiteral("api/port"), port},
            {QStringLiteral("api/localhostOnly"), true}, {QStringLiteral("api/password"), QStringLiteral("s3cret")}};
}

QByteArray WindowFixture::command(quint16 port, const QString& line)
{
    return get(port, QStringLiteral("/?pass=s3cret&cmd=") + QString::fromLatin1(QUrl::toPercentEncoding(line)));
}

QByteArray WindowFixture::playbackInfo(quint16 port)
{
    return get(port, QStringLiteral("/?pass=s3cret&action=playbackinfo"));
}

QString WindowFixture::playbackField(const QByteArray& info, const QString& path)
{
    QXmlStreamReader xml(info.mid(info.indexOf("<?xml")));
    QStringList at;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            at << xml.name().toString();
            if (at.mid(1).join(QLatin1Char('/')) == path)
                return xml.readElementText();
        } else if (token == QXmlStreamReader::EndElement) {
            at.removeLast();
        }
    }
    return QStringLiteral("(no %1)").arg(path);
}

void WindowFixture::choosePopupEntry(const QString& text, int attempts)
{
    QTimer::singleShot(50, [text, attempts] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) {
            if (attempts > 0)
                choosePopupEntry(text, attempts - 1);
            return;
        }
        for (QAction* a : menu->actions()) {
            if (a->text() == text && a->isEnabled())
                a->trigger();
        }
        menu->close();
    });
}

bool WindowFixture::drop(QWidget* target, QMimeData* data)
{
    return drop(target, data, QPoint(target->width() / 2, target->height() - 3));
}

bool WindowFixture::drop(QWidget* target, QMimeData* data, QPoint at)
{
    const std::unique_ptr<QMimeData> owned(data);
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent event(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
    // Dropped files become rows off the window's thread.
    auto* window = qobject_cast<MainWindow*>(target->window());
    const bool made = !window || QTest::qWaitFor([window] { return !window->rowsBeingMade(); }, 60000);
    return event.isAccepted() && made;
}
