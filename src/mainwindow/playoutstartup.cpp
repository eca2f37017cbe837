#include "playoutstartup.h"

#include "dialogs/prompts.h"
#include "engine/mediabackend.h"
#include "library/heldreads.h"
#include "library/musiclibrary.h"
#include "library/track.h"
#include "mainwindow.h"
#include "mainwindow/onlycopylock.h"
#include "mainwindow/stderrlog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QPluginLoader>
#include <QPointer>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThreadPool>

#include <csignal>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kSettleMs = 2000;

const int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the signal handler, read in the event loop: a handler may do
// nothing but write.
int s_quitPipe[2] = {-1, -1};

extern "C" void onQuitSignal(int signal)
{
    const char byte = char(signal);
    const ssize_t written = ::write(s_quitPipe[1], &byte, 1);
    (void)written;
}

// While it lives, a termination signal closes the window as the operator
// would, so that everything is saved, and then ends the event loop.
class QuitOnSignals
{
public:
    explicit QuitOnSignals(MainWindow& window)
    {
        // Non-blocking, so that a burst of signals never stalls the handler;
        // closed on exec, so that no helper program holds it.
        if (s_quitPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, s_quitPipe) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(s_quitPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, &window, [&window] {
            char byte = 0;
            if (::read(s_quitPipe[0], &byte, 1) == 1)
                window.appendLog(QStringLiteral("Quitting on signal %1").arg(int(byte)));
            window.close();
            // Also ends the loops of dialogs that are open.
            QCoreApplication::exit(0);
        });
        struct sigaction action = {};
        action.sa_handler = onQuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int i = 0; i < int(std::size(kQuitSignals)); ++i)
            sigaction(kQuitSignals[i], &action, &m_previous[i]);
        m_installed = true;
    }

    ~QuitOnSignals()
    {
        if (!m_installed)
            return;
        for (int i = 0; i < int(std::size(kQuitSignals)); ++i)
            sigaction(kQuitSignals[i], &m_previous[i], nullptr);
    }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_previous[std::size(kQuitSignals)] = {};
    bool m_installed = false;
};

} // namespace
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// How long the exit waits for the threads that open files, at most.
constexpr int kExitWaitMs = 2000;

// Told once the window is up, without holding up the air.
void reportLibraryProblem(MainWindow& window)
{
    const QString problem = MusicLibrary::databaseProblem();
    if (problem.isEmpty())
        return;
    window.appendLog(problem);
    QTimer::singleShot(0, &window, [&window, problem] {
        Prompts::warning(&window, QStringLiteral("Library database"), problem);
    });
}

} // namespace

void PlayoutStartup::prepareEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
#ifdef __GLIBC__
    // Decoder threads come and go with every track; by default each new one
    // may get a malloc arena of its own, and the memory they leave behind
    // makes the program grow through a night. A setting in the environment
    // is left to rule.
    if (qEnvironmentVariableIsEmpty("MALLOC_ARENA_MAX"))
        mallopt(M_ARENA_MAX, 2);
#endif
}

void PlayoutStartup::returnFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void PlayoutStartup::configureApplication(QApplication& app)
{
    QApplication::setApplicationName(QStringLiteral("Orchidlantern"));
    QApplication::setOrganizationName(QStringLiteral("Orchidlantern"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    app.setWindowIcon(QIcon(QStringLiteral(":/appicon.png")));
}

bool PlayoutStartup::applyStyleSheet(QApplication& app)
{
    QFile f(QStringLiteral(":/style.qss"));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    app.setStyleSheet(QString::fromUtf8(f.readAll()));
    return true;
}

void PlayoutStartup::keepStandardErrorOffTheAir()
{
    StderrLog::takeOver();
}

std::unique_ptr<OnlyCopyLock> PlayoutStartup::lockOnlyCopy()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(folder);
    auto lock = std::make_unique<OnlyCopyLock>(folder + QStringLiteral("/playout.lock"));
    if (!lock->unusedPath().isEmpty()) {
        StderrLog::write(QStringLiteral("Could not use the lock file %1 (%2); %3 keeps a second copy of the program "
                                        "off the air instead")
                             .arg(lock->unusedPath(), lock->unusedProblem(), lock->path()));
    }
    if (lock->state() == OnlyCopyLock::State::Unguarded) {
        // The station starts all the same.
        StderrLog::write(QStringLiteral("Could not use the lock file %1 (%2): a second copy of the program would not "
                                        "be noticed")
                             .arg(lock->path(), lock->problem()));
    }
    if (lock->state() != OnlyCopyLock::State::HeldElsewhere)
        return lock;
    const QString process = lock->holder() > 0 ? QStringLiteral("process %1").arg(lock->holder())
                                               : QStringLiteral("its process is not known here");
    const QString message = QStringLiteral("Orchidlantern is already running for this user (%1); this copy "
                                           "does not start. Only one copy can be on air; the library manager may run "
                                           "beside it.")
                                .arg(process);
    StderrLog::write(message);
    if (const QString platform = QGuiApplication::platformName();
        platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        Prompts::warning(nullptr, QStringLiteral("Orchidlantern"), message);
    return nullptr;
}

namespace {

// A relative path as the folder the program was started in has it, so that
// what is stored and reported holds from any folder. A ".." is left to the
// file system (over a link it does not lead where the text says), and the
// file keeps its own name, a link's too.
QString fromFolder(const QString& path, const QDir& folder)
{
    if (path.isEmpty() || Track::isStreamUrl(path) || QDir::isAbsolutePath(path))
        return path;
    const QString absolute = folder.absoluteFilePath(path);
    if (!QDir::fromNativeSeparators(path).split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return QDir::cleanPath(absolute);
    const QFileInfo info(absolute);
    const QString name = info.fileName();
    const QString in = QDir(info.path()).canonicalPath();
    if (in.isEmpty() || name == QLatin1String("..") || name == QLatin1String("."))
        return info.canonicalFilePath().isEmpty() ? absolute : info.canonicalFilePath();
    return in + QLatin1Char('/') + name;
}

} // namespace

int PlayoutStartup::run(int argc, char** argv)
{
    // Before anything can change it.
    const QDir startFolder = QDir::current();
    prepareEnvironment();
    keepStandardErrorOffTheAir();
    QApplication app(argc, argv);
    configureApplication(app);
    const std::unique_ptr<OnlyCopyLock> onlyCopy = lockOnlyCopy();
    if (!onlyCopy)
        return kAlreadyRunning;
    QStringList paths = QApplication::arguments().mid(1);
    for (QString& path : paths)
        path = fromFolder(path, startFolder);
    const int code = start(app, paths);
    // A read held in a file system that hung (a share) may never return,
    // and the application's end waits for the threads of its pool: the
    // exit does not. What is saved at exit is saved by now.
    if (HeldReads::count() > 0 || !QThreadPool::globalInstance()->waitForDone(kExitWaitMs)) {
        StderrLog::write(QStringLiteral("Exit: reads of files that do not answer are not waited for"));
        StderrLog::flush(kExitWaitMs);
        std::fflush(nullptr);
        ::_exit(code);
    }
    return code;
}

namespace {

std::once_flag s_mediaStackOnce;
std::thread s_mediaStackLoader;
std::mutex s_loadedMutex;
bool s_loaded = false;
// Waiting for the loading; run on the application's thread, which outlives
// the loader (start() joins it), never on a context that may die meanwhile.
std::vector<std::function<void()>> s_whenLoaded;

void onApplicationThread(std::function<void()> f)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(f), Qt::QueuedConnection);
}

} // namespace

void PlayoutStartup::loadMediaStackBeside()
{
    std::call_once(s_mediaStackOnce, [] {
        // The one the backend is then made from.
        const QString plugin = MediaBackend::pluginFile();
        s_mediaStackLoader = std::thread([plugin] {
            // Only mapped and initialised here: the backend itself is made
            // on the window's thread, which then finds the libraries in place.
            // The handle stays open for the life of the program.
            QPluginLoader(plugin).load();
            const std::lock_guard lock(s_loadedMutex);
            s_loaded = true;
            for (std::function<void()>& f : s_whenLoaded)
                onApplicationThread(std::move(f));
            s_whenLoaded.clear();
        });
    });
}

void PlayoutStartup::whenMediaStackLoaded(QObject* context, std::function<void()> f)
{
    // Guarded here, on the context's own thread.
    auto guarded = [context = QPointer<QObject>(context), f = std::move(f)] {
        if (context)
            f();
    };
    const std::lock_guard lock(s_loadedMutex);
    if (s_loaded || !s_mediaStackLoader.joinable())
        onApplicationThread(std::move(guarded));
    else
        s_whenLoaded.push_back(std::move(guarded));
}

void PlayoutStartup::waitForMediaStack()
{
    if (s_mediaStackLoader.joinable())
        s_mediaStackLoader.join();
}

int PlayoutStartup::start(QApplication& app, const QStringList& paths)
{
    const QString backendNote = MediaBackend::preferFixedPlugin();
    loadMediaStackBeside();
    configureApplication(app);
    // While another program holds library.db's lock, what needs the library
    // waits for it, not the window and the air.
    auto shown = std::make_shared<QPointer<MainWindow>>();
    const bool claimed = MusicLibrary::initDatabaseSoon(&app, [shown] {
        if (MainWindow* window = *shown) {
            reportLibraryProblem(*window);
            window->refreshSearchSources();
        }
    });
    // The style sheet comes once the window is built: set before, it would
    // restyle every panel again each time a finished panel is put in place,
    // a third of the time to the first paint.
    MainWindow window;
    *shown = &window;
    if (!backendNote.isEmpty())
        window.appendLog(backendNote);
    applyStyleSheet(app);
    // The players start the backend: made once its libraries are in and the
    // window is painted, not before (the first paint would wait for them)
    // nor while they load (the painted window would). A command that needs
    // a deck sooner makes it at once.
    window.holdPlayers();
    whenMediaStackLoaded(&window, [&window] { window.releasePlayers(); });
    const QuitOnSignals quitOnSignals(window);
    if (!paths.isEmpty())
        window.addPaths(paths);
    window.show();
    window.maybeResumePlayback();
    // What building the window and restoring the playlists freed.
    QTimer::singleShot(kSettleMs, Qt::CoarseTimer, &window, &PlayoutStartup::returnFreedMemory);
    if (claimed)
        reportLibraryProblem(window);
    const int code = app.exec();
    waitForMediaStack();
    return code;
}
