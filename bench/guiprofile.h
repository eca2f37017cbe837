#pragma once

// Where the GUI thread's time goes, event by event.
#include <QApplication>
#include <QEvent>
#include <QHash>
#include <QMetaEnum>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

// Times (in CPU time) every event the GUI thread delivers, exclusive of nested
// deliveries, keyed by receiver class and event type.
class ProfilingApp : public QApplication {
public:
    using QApplication::QApplication;
    bool profiling = false;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (!profiling || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        // The receiver may be gone once delivered (deferred deletes).
        Key key{receiver->metaObject(), int(event->type()), -1, nullptr};
        if (auto* timer = qobject_cast<QTimer*>(receiver))
            key.interval = timer->isSingleShot() ? -timer->interval() - 2 : timer->interval();
        // A bare QWidget is a viewport or a panel: named by what holds it.
        const bool paint = event->type() == QEvent::Paint && receiver->metaObject() == &QWidget::staticMetaObject;
        if (key.interval != -1 || paint || qobject_cast<QSocketNotifier*>(receiver))
            key.owner = receiver->parent() ? receiver->parent()->metaObject() : nullptr;
        const qint64 start = threadCpuNs();
        m_stack.push_back(0);
        const bool result = QApplication::notify(receiver, event);
        const qint64 total = threadCpuNs() - start;
        const qint64 nested = m_stack.back();
        m_stack.pop_back();
        if (!m_stack.empty())
            m_stack.back() += total;
        Entry& e = m_entries[key];
        e.self += total - nested;
        e.count += 1;
        return result;
    }

    void report(double minutes, FILE* out = stdout) const
    {
        static const QMetaEnum types = QMetaEnum::fromType<QEvent::Type>();
        QList<QPair<QString, Entry>> rows;
        qint64 sum = 0;
        for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
            const Key& k = it.key();
            const char* typeName = types.valueToKey(k.type);
            QString name = QString::fromLatin1(k.receiver->className()) + QLatin1Char(' ')
                           + (typeName ? QString::fromLatin1(typeName) : QString::number(k.type));
            if (k.interval >= 0)
                name += QStringLiteral(" %1 ms").arg(k.interval);
            else if (k.interval < -1)
                name += QStringLiteral(" single %1 ms").arg(-k.interval - 2);
            if (k.owner)
                name += QStringLiteral(" owner %1").arg(QString::fromLatin1(k.owner->className()));
            rows << qMakePair(name, it.value());
            sum += it.value().self;
        }
        std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second.self > b.second.self; });
        std::fprintf(out, "GUI thread events, %.2f s per minute in all (self time per minute, deliveries per second):\n",
                    sum / 1e9 / minutes);
        for (int i = 0; i < qMin<qsizetype>(40, rows.size()); ++i)
            std::fprintf(out, "  %7.3f s  %8.1f/s  %s\n", rows[i].second.self / 1e9 / minutes,
                        rows[i].second.count / minutes / 60.0, qPrintable(rows[i].first));
    }

private:
    // CPU time, not wall time: on a busy machine the thread is preempted.
    static qint64 threadCpuNs()
    {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }

    struct Key {
        const QMetaObject* receiver;
        int type;
        int interval;
        const QMetaObject* owner;
        bool operator==(const Key& o) const
        {
            return receiver == o.receiver && type == o.type && interval == o.interval && owner == o.owner;
        }
    };
    friend size_t qHash(const Key& k, size_t seed) { return qHashMulti(seed, k.receiver, k.type, k.interval, k.owner); }
    struct Entry {
        qint64 self = 0;
        qint64 count = 0;
    };

    QHash<Key, Entry> m_entries;
    std::vector<qint64> m_stack;
};
