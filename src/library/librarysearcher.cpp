#include "librarysearcher.h"

#include "ownconnection.h"

#include <QThread>

#include <algorithm>

namespace {

constexpr qsizetype kFreeSlice = 4096;

} // namespace

LibrarySearcher::LibrarySearcher(QObject* parent)
    : QObject(parent)
    , m_file(MusicLibrary::database().databaseName())
{
    m_thread = QThread::create([this] { run(); });
    m_thread->setObjectName(QStringLiteral("LibrarySearcher"));
    m_thread->start();
}

LibrarySearcher::~LibrarySearcher()
{
    {
        const QMutexLocker lock(&m_mutex);
        m_quit = true;
        m_wake.wakeAll();
    }
    m_thread->wait();
    delete m_thread;
}

quint64 LibrarySearcher::search(const MusicLibrary& source, const MusicLibrary::Query& query)
{
    Request request;
    request.generation = ++m_generation;
    request.source = source;
    request.query = query;
    m_listing.reset();
    m_pageAsked = false;
    const QMutexLocker lock(&m_mutex);
    m_pending = request;
    m_wake.wakeAll();
    return request.generation;
}

void LibrarySearcher::fetchPage()
{
    if (!m_listing || m_pageAsked)
        return;
    m_pageAsked = true;
    const QMutexLocker lock(&m_mutex);
    m_pending = *m_listing;
    m_wake.wakeAll();
}

void LibrarySearcher::discard(QList<Track> tracks)
{
    if (!tracks.isDetached())
        return;
    const QMutexLocker lock(&m_mutex);
    m_discarded.append(std::move(tracks));
    m_wake.wakeAll();
}

void LibrarySearcher::run()
{
    OwnConnection connection(m_file, QStringLiteral("ol_search_%1").arg(quintptr(this)));
    // The list being let go, a slice at a time: a request arriving
    // meanwhile waits for one slice at most, not for a whole large list.
    QList<Track> freeing;
    for (;;) {
        std::optional<Request> request;
        {
            QMutexLocker lock(&m_mutex);
            while (!m_pending && m_discarded.isEmpty() && freeing.isEmpty() && !m_quit)
                m_wake.wait(&m_mutex);
            if (m_quit)
                break;
            request.swap(m_pending);
            if (!request && freeing.isEmpty())
                freeing = m_discarded.takeLast();
        }
        if (request) {
            if (request->generation == m_generation) {
                connection.open();
                request->source.connectionName = connection.name();
                // Typing on makes a large answer worthless before it is read whole.
                request->source.abandoned = [this, g = request->generation] { return g != m_generation; };
                answer(*request);
            }
            continue;
        }
        const qsizetype slice = std::min<qsizetype>(freeing.size(), kFreeSlice);
        freeing.remove(freeing.size() - slice, slice);
        if (freeing.isEmpty())
            freeing = QList<Track>();
    }
}

void LibrarySearcher::answer(const Request& request)
{
    const MusicLibrary& source = request.source;
    // A library's answer comes a page at a time, however large: reading it
    // whole took seconds at a million rows, and its hundreds of thousands of
    // allocations kept the window's thread waiting on the allocator.
    const bool byPages = !source.folderMode;
    QList<Track> tracks;
    int total = 0;
    Request next = request;
    if (byPages) {
        tracks = source.searchPage(request.query, next.after, kPageRows);
        if (source.abandoned && source.abandoned())
            return;
        total = request.page ? 0 : source.searchCount(request.query);
    } else {
        tracks = source.search(request.query);
        total = int(tracks.size());
    }
    const bool wasPage = request.page;
    next.page = true;
    next.source.connectionName.clear();
    next.source.abandoned = nullptr;
    // Delivered on the owner's thread, and only while still the newest.
    QMetaObject::invokeMethod(
        this,
        [this, next, tracks = std::move(tracks), total, byPages, wasPage]() mutable {
            if (next.generation != m_generation) {
                discard(std::move(tracks));
                return;
            }
            const bool more = byPages && tracks.size() == kPageRows;
            if (more)
                m_listing = next;
            else
                m_listing.reset();
            m_pageAsked = false;
            if (wasPage)
                emit pageFound(next.generation, tracks);
            else
                emit found(next.generation, tracks, total);
        },
        Qt::QueuedConnection);
}
