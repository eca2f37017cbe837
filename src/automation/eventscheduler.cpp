#include "eventscheduler.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString kPrefix = QStringLiteral("Scheduler: ");

QList<ScheduledEvent> eventsFromArray(const QJsonArray& array)
{
    QList<ScheduledEvent> list;
    list.reserve(array.size());
    for (const QJsonValue& v : array)
        list.append(ScheduledEvent::fromJson(v.toObject()));
    return list;
}

QByteArray toJsonText(const QList<ScheduledEvent>& list)
{
    QJsonArray array;
    for (const ScheduledEvent& e : list)
        array.append(e.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

} // namespace

EventScheduler::EventScheduler(QObject* parent)
    : QObject(parent)
{
}

const QList<ScheduledEvent>& EventScheduler::events() const
{
    return m_events;
}

QString EventScheduler::storagePath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (folder.isEmpty())
        folder = QDir::homePath() + QStringLiteral("/.orchidlantern");
    QDir().mkpath(folder);
    return folder + QStringLiteral("/events.json");
}

void EventScheduler::load()
{
    m_events.clear();
    const QString path = storagePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // A file that exists but cannot be read must not be written over.
        m_unreadFile = file.exists();
        if (m_unreadFile)
            log(QStringLiteral("could not read the events file %1: %2").arg(path, file.errorString()));
        return;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    m_unreadFile = !doc.isArray();
    if (m_unreadFile) {
        log(QStringLiteral("the events file %1 does not hold a list of events (%2); starting with an empty list")
                .arg(path,
                     error.error != QJsonParseError::NoError ? error.errorString()
                                                              : QStringLiteral("no JSON array")));
    } else {
        m_events = eventsFromArray(doc.array());
    }
    emit changed();
}

void EventScheduler::save() const
{
    const QString path = storagePath();
    if (m_unreadFile) {
        if (!keepUnreadFileAside(path))
            return;
        m_unreadFile = false;
    }
    writeList(path);
}

void EventScheduler::setEvents(const QList<ScheduledEvent>& list)
{
    m_events = list;
    save();
    emit changed();
}

void EventScheduler::saveToFile(const QString& path) const
{
    writeList(path);
}

bool EventScheduler::loadFromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        log(QStringLiteral("could not open %1 for import: %2").arg(path, file.errorString()));
        return false;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (!doc.isArray()) {
        // Importing an empty list from a damaged file would wipe the schedule.
        log(QStringLiteral("import refused: %1 does not hold a list of events").arg(path));
        return false;
    }
    m_events = eventsFromArray(doc.array());
    save();
    emit changed();
    return true;
}

bool EventScheduler::writeList(const QString& path) const
{
    // Written beside the target and renamed over it, so a crash or a full
    // disk leaves the previous file whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        log(QStringLiteral("could not write %1: %2").arg(path, file.errorString()));
        return false;
    }
    const QByteArray text = toJsonText(m_events);
    if (file.write(text) != text.size() || !file.commit()) {
        log(QStringLiteral("could not write %1: %2").arg(path, file.errorString()));
        file.cancelWriting();
        return false;
    }
    return true;
}

bool EventScheduler::keepUnreadFileAside(const QString& path) const
{
    if (!QFile::exists(path))
        return true;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QStringLiteral(".broken-") + stamp;
    for (int n = 2; QFile::exists(aside); ++n)
        aside = path + QStringLiteral(".broken-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(path, aside)) {
        log(QStringLiteral("could not keep the unreadable events file %1 aside; it is left as it is and the "
                           "events are not saved")
                .arg(path));
        return false;
    }
    log(QStringLiteral("kept the unreadable events file as %1").arg(aside));
    return true;
}

void EventScheduler::log(const QString& text) const
{
    // Reporting is not a change of the list, so the const operations may log.
    emit const_cast<EventScheduler*>(this)->logMessage(kPrefix + text);
}
