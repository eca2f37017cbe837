// Every window at its default size under a real X server (Xvfb) with the
// fonts the environment ships: the widgets an operator reads are not cut.
// Screenshots go under the build folder for a person to look at.
// ctest: timeout 300
#include "dialogs/library/musiclibrarydialog.h"
#include "dialogs/library/playlistgeneratordialog.h"
#include "dialogs/library/tracktooldialog.h"
#include "dialogs/settings/reportgeneratordialog.h"
#include "library/musiclibrary.h"
#include "olmain.h"
#include "windowfixture.h"

#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QTreeWidget>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString shoot(QWidget* w, const QString& name)
{
    const QString dir = qEnvironmentVariable("ORCHIDLANTERN_BINARY_DIR", QDir::tempPath()) + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    w->grab().save(path);
    return path;
}

void showAndWait(QWidget* w)
{
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QCoreApplication::processEvents();
}

// The widgets narrower than their size hint or reaching out of the window.
QStringList clipped(QWidget* window, const QList<QWidget*>& widgets)
{
    QStringList out;
    for (QWidget* w : widgets) {
        const QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
        const QString name = w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(' ')
                                                              + w->property("text").toString()
                                                        : w->objectName();
        if (w->width() < w->sizeHint().width() || !window->rect().contains(r))
            out << QStringLiteral("%1 (%2 of %3 wide at %4)").arg(name).arg(w->width()).arg(w->sizeHint().width()).arg(r.x());
    }
    return out;
}

template<class T>
QList<QWidget*> childrenOf(QWidget* parent)
{
    QList<QWidget*> out;
    for (T* w : parent->findChildren<T*>())
        if (w->isVisibleTo(parent->window()))
            out << w;
    return out;
}

pid_t s_xvfb = 0;

// A private X server for this process; without one the test runs on the
// offscreen platform, which lays out with the same fonts.
void startXvfb()
{
    if (access("/usr/bin/Xvfb", X_OK) != 0)
        return;
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int display = 100 + (int(getpid()) + attempt * 37) % 800;
        const QByteArray socket = "/tmp/.X11-unix/X" + QByteArray::number(display);
        const QByteArray lock = "/tmp/.X" + QByteArray::number(display) + "-lock";
        if (access(socket.constData(), F_OK) == 0 || access(lock.constData(), F_OK) == 0)
            continue;
        const QByteArray name = ":" + QByteArray::number(display);
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/usr/bin/Xvfb", "Xvfb", name.constData(), "-screen", "0", "1600x1000x24", "-nolisten", "tcp",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
            if (access(socket.constData(), F_OK) == 0) {
                s_xvfb = pid;
                qputenv("DISPLAY", name);
                qputenv("QT_QPA_PLATFORM", "xcb");
                return;
            }
            usleep(50000);
        }
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

} // namespace

class TestWindowFit : public QObject
{
    Q_OBJECT

private slots:
    void mainWindowLeftColumnAndAuxDeck()
    {
        WindowFixture f;
        f.addPaths({WindowFixture::toneFile(QStringLiteral("\u5C71\u7530 - \u6D77\u306E\u58F0.wav"), 1)});
        f->resize(1180, 720);
        showAndWait(&f.window());
        QCOMPARE(f->size(), QSize(1180, 720));
        auto* source = f.find<QComboBox>(QStringLiteral("searchSource"));
        auto* field = f.find<QComboBox>(QStringLiteral("searchField"));
        QList<QWidget*> named{source, field, source->parentWidget()->findChild<QLabel*>()};
        for (QLabel* l : source->parentWidget()->findChildren<QLabel*>())
            if (l->text() == QLatin1String("Source:") || l->text() == QLatin1String("Search in:"))
                named << l;
        const QStringList cut = clipped(&f.window(), named);
        const QString shot = shoot(&f.window(), QStringLiteral("mainwindow"));
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; ")) + QStringLiteral(" - see ") + shot));

        // The search table shows more than one column, the log a whole line.
        auto* table = f.find<QTableView>(QStringLiteral("searchResults"));
        QVERIFY2(table->horizontalHeader()->sectionViewportPosition(1) + 20 < table->viewport()->width(),
                 qPrintable(QString::number(table->viewport()->width())));
        auto* log = f.find<QListWidget>(QStringLiteral("log"));
        QVERIFY(log->count() > 0);
        const QString line = log->item(log->count() - 1)->text();
        QVERIFY2(log->viewport()->width() >= log->fontMetrics().horizontalAdvance(line),
                 qPrintable(line + QStringLiteral(" in %1 px").arg(log->viewport()->width())));

        // The aux deck's title takes the room the number and duration leave.
        auto* aux = f.find<QTreeWidget>(QStringLiteral("auxList"));
        if (aux->isVisibleTo(&f.window()))
            QVERIFY2(aux->columnWidth(1) > aux->columnWidth(2), qPrintable(QString::number(aux->columnWidth(1))));
        else
            QVERIFY(aux->header()->sectionResizeMode(1) == QHeaderView::Stretch);
    }

    void libraryManagerToolRow()
    {
        MusicLibraryDialog dialog;
        dialog.setWindowFlag(Qt::Window);
        dialog.resize(960, 620);
        showAndWait(&dialog);
        QCOMPARE(dialog.size(), QSize(960, 620));
        QWidget* row = dialog.findChild<QComboBox*>(QStringLiteral("libraryList"))->parentWidget();
        QList<QWidget*> named = childrenOf<QPushButton>(row) + childrenOf<QLabel>(row) + childrenOf<QComboBox>(row)
                                + childrenOf<QLineEdit>(row);
        QVERIFY(named.size() >= 10);
        const QStringList cut = clipped(&dialog, named);
        const QString shot = shoot(&dialog, QStringLiteral("librarymanager"));
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; ")) + QStringLiteral(" - see ") + shot));
    }

    void trackToolDaypartGrid()
    {
        Track t;
        t.artist = QStringLiteral("Artist");
        t.title = QStringLiteral("\u6D77\u306E\u58F0"); // a CJK title
        t.filePath = WindowFixture::toneFile(QStringLiteral("tool.wav"), 2);
        TrackToolDialog dialog(t);
        showAndWait(&dialog);
        auto* grid = dialog.findChild<QTableWidget*>(QStringLiteral("daypartGrid"));
        const QString shot = shoot(&dialog, QStringLiteral("tracktool"));
        const int lastRow = grid->rowViewportPosition(6) + grid->rowHeight(6);
        const int lastColumn = grid->columnViewportPosition(23) + grid->columnWidth(23);
        QVERIFY2(lastRow <= grid->viewport()->height() && lastColumn <= grid->viewport()->width(),
                 qPrintable(QStringLiteral("%1x%2 in %3x%4 - see %5")
                                .arg(lastColumn).arg(lastRow).arg(grid->viewport()->width())
                                .arg(grid->viewport()->height()).arg(shot)));
        for (int h = 0; h < 24; ++h)
            QVERIFY(grid->columnWidth(h) >= grid->horizontalHeader()->sectionSizeHint(h));
        auto* below = dialog.findChild<QPushButton*>(QStringLiteral("selectAllButton"));
        QVERIFY2(grid->mapTo(&dialog, QPoint(0, grid->height())).y() <= below->mapTo(&dialog, QPoint(0, 0)).y(),
                 qPrintable(shot));
        const QStringList cut = clipped(&dialog, {grid, below, dialog.findChild<QPushButton*>(QStringLiteral("okButton"))});
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
    }

    void generatorCannotFollowBox()
    {
        PlaylistGeneratorDialog dialog;
        showAndWait(&dialog);
        auto* box = dialog.findChild<QPlainTextEdit*>(QStringLiteral("cannotFollow"));
        const QString shot = shoot(&dialog, QStringLiteral("generator"));
        QVERIFY2(box->viewport()->height() >= 3 * box->fontMetrics().lineSpacing(),
                 qPrintable(QString::number(box->height()) + QStringLiteral(" - see ") + shot));
        const QStringList cut = clipped(&dialog, {box});
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; ")) + QStringLiteral(" - see ") + shot));
    }

    void reportTitleColumn()
    {
        ReportGeneratorDialog dialog;
        showAndWait(&dialog);
        auto* table = dialog.findChild<QTableView*>();
        const QString shot = shoot(&dialog, QStringLiteral("report"));
        QHeaderView* h = table->horizontalHeader();
        int title = -1, duration = -1;
        for (int c = 0; c < h->count(); ++c) {
            const QString text = table->model()->headerData(c, Qt::Horizontal).toString();
            if (text == QLatin1String("Title"))
                title = c;
            if (text == QLatin1String("Duration"))
                duration = c;
        }
        QVERIFY(title >= 0 && duration >= 0);
        // The report is read in the background; the columns settle when it ends.
        QTRY_VERIFY_WITH_TIMEOUT(h->sectionSize(title) > h->sectionSize(duration), 10000);
        QVERIFY2(h->sectionSize(title) > h->sectionSize(duration),
                 qPrintable(QStringLiteral("title %1, duration %2 - see %3")
                                .arg(h->sectionSize(title)).arg(h->sectionSize(duration)).arg(shot)));
        QVERIFY(h->sectionSize(duration) >= h->sectionSizeHint(duration));
    }

    void cleanupTestCase()
    {
        if (s_xvfb > 0) {
            kill(s_xvfb, SIGTERM);
            s_xvfb = 0;
        }
    }
};

static TestHome* s_olTestHome = nullptr;
TestHome& testHome() { return *s_olTestHome; }

int main(int argc, char** argv)
{
    TestHome home;
    s_olTestHome = &home;
    startXvfb();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    PromptScript::installDefault();
    MusicLibrary::initDatabase();
    TestWindowFit tc;
    const int rc = QTest::qExec(&tc, argc, argv);
    if (s_xvfb > 0)
        kill(s_xvfb, SIGTERM);
    return rc;
}

#include "tst_windowfit.moc"
