#pragma once

#include "musiclibrary.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QWaitCondition>

#include <atomic>
#include <optional>

class QThread;

// Runs music library searches on a thread of its own with a connection of
// its own, so that a window asking at every keystroke never waits on the
// database. Only the newest request counts: one still waiting is replaced by
// the next, and an answer to anything older is never delivered.
class LibrarySearcher : public QObject
{
    Q_OBJECT

public:
    // Rows per page of a library's answer.
    static constexpr int kPageRows = 1000;

    explicit LibrarySearcher(QObject* parent = nullptr);
    ~LibrarySearcher() override;

    // Searches the source (an empty query lists it): a library's answer by
    // pages (further pages through fetchPage), a folder's whole. Returns the
    // request's generation.
    quint64 search(const MusicLibrary& source, const MusicLibrary::Query& query);
    // The next page of the answer given last.
    void fetchPage();
    // Frees a list on the searcher's thread: a large result let go on the
    // caller's thread would stall it.
    void discard(QList<Track> tracks);

signals:
    // total is the number of rows of the whole answer; for an answer by
    // pages it may exceed the rows delivered so far.
    void found(quint64 generation, const QList<Track>& tracks, int total);
    // Rows that continue the answer of that generation.
    void pageFound(quint64 generation, const QList<Track>& tracks);

private:
    struct Request
    {
        quint64 generation = 0;
        MusicLibrary source;
        MusicLibrary::Query query;
        bool page = false;
        MusicLibrary::PageKey after;
    };

    void run();
    void answer(const Request& request);

    QThread* m_thread = nullptr;
    const QString m_file;
    QMutex m_mutex;
    QWaitCondition m_wake;
    std::optional<Request> m_pending;
    QList<QList<Track>> m_discarded;
    bool m_quit = false;
    std::atomic<quint64> m_generation{0};
    // GUI side: the answer given last and where its next page starts.
    std::optional<Request> m_listing;
    bool m_pageAsked = false;
};
