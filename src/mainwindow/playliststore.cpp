#include "playliststore.h"

#include "engine/playlistmodel.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr int kFormat = 1;

QString dateText(const QDateTime& t)
{
    return t.isValid() ? t.toString(Qt::ISODateWithMs) : QString();
}

QJsonObject trackToJson(const Track& t)
{
    QJsonObject o{{QStringLiteral("artist"), t.artist},
                  {QStringLiteral("title"), t.title},
                  {QStringLiteral("album"), t.album},
                  {QStringLiteral("genre"), t.genre},
                  {QStringLiteral("comment"), t.comment},
                  {QStringLiteral("path"), t.filePath},
                  {QStringLiteral("year"), t.year},
                  {QStringLiteral("durationMs"), double(t.durationMs)},
                  {QStringLiteral("category"), t.category},
                  {QStringLiteral("extras"), QJsonArray::fromStringList(t.extras)},
                  {QStringLiteral("marker"), t.marker},
                  {QStringLiteral("label"), t.label},
                  {QStringLiteral("stream"), t.isStream},
                  {QStringLiteral("voiceTrack"), t.voiceTrack},
                  {QStringLiteral("playCount"), t.playCount},
                  {QStringLiteral("lastPlayed"), dateText(t.lastPlayed)},
                  {QStringLiteral("dateAdded"), dateText(t.dateAdded)},
                  {QStringLiteral("streamLimitMs"), double(t.streamLimitMs)}};
    return o;
}

// A stored length in ms; a damaged file's figure beyond any length (or not
// a number) reads as none rather than overflowing the conversion.
qint64 storedMs(const QJsonValue& value)
{
    const double ms = value.toDouble();
    return ms >= 0 && ms < 1e15 ? qint64(ms) : 0;
}

Track trackFromJson(const QJsonObject& o)
{
    Track t;
    t.artist = o.value(QStringLiteral("artist")).toString();
    t.title = o.value(QStringLiteral("title")).toString();
    t.album = o.value(QStringLiteral("album")).toString();
    t.genre = o.value(QStringLiteral("genre")).toString();
    t.comment = o.value(QStringLiteral("comment")).toString();
    t.filePath = o.value(QStringLiteral("path")).toString();
    t.year = o.value(QStringLiteral("year")).toInt();
    t.durationMs = storedMs(o.value(QStringLiteral("durationMs")));
    t.category = o.value(QStringLiteral("category")).toString(t.category);
    for (const QJsonValue& v : o.value(QStringLiteral("extras")).toArray())
        t.extras << v.toString();
    t.marker = o.value(QStringLiteral("marker")).toBool();
    t.label = o.value(QStringLiteral("label")).toString();
    t.isStream = o.value(QStringLiteral("stream")).toBool();
    t.voiceTrack = o.value(QStringLiteral("voiceTrack")).toBool();
    t.playCount = o.value(QStringLiteral("playCount")).toInt();
    t.lastPlayed = QDateTime::fromString(o.value(QStringLiteral("lastPlayed")).toString(), Qt::ISODateWithMs);
    t.dateAdded = QDateTime::fromString(o.value(QStringLiteral("dateAdded")).toString(), Qt::ISODateWithMs);
    t.streamLimitMs = storedMs(o.value(QStringLiteral("streamLimitMs")));
    return t;
}

QJsonArray intsToJson(const QList<int>& values)
{
    QJsonArray a;
    for (int v : values)
        a.append(v);
    return a;
}

QList<int> intsFromJson(const QJsonValue& value)
{
    QList<int> out;
    for (const QJsonValue& v : value.toArray())
        out << v.toInt(-1);
    return out;
}

QJsonObject playlistToJson(const PlaylistStore::Playlist& p)
{
    QJsonArray rows;
    for (const Track& t : p.rows)
        rows.append(trackToJson(t));
    QJsonArray segues;
    for (auto it = p.segues.cbegin(); it != p.segues.cend(); ++it)
        segues.append(QJsonObject{{QStringLiteral("row"), it.key()},
                                  {QStringLiteral("mixPointMs"), it.value().mixPointMs},
                                  {QStringLiteral("fadeOutMs"), it.value().fadeOutMs}});
    return {{QStringLiteral("name"), p.name},
            {QStringLiteral("rows"), rows},
            {QStringLiteral("currentRow"), p.currentRow},
            {QStringLiteral("queue"), intsToJson(p.queue)},
            {QStringLiteral("played"), intsToJson(p.played)},
            {QStringLiteral("segues"), segues}};
}

PlaylistStore::Playlist playlistFromJson(const QJsonObject& o)
{
    PlaylistStore::Playlist p;
    p.name = o.value(QStringLiteral("name")).toString();
    for (const QJsonValue& v : o.value(QStringLiteral("rows")).toArray())
        p.rows << trackFromJson(v.toObject());
    p.currentRow = o.value(QStringLiteral("currentRow")).toInt(-1);
    p.queue = intsFromJson(o.value(QStringLiteral("queue")));
    p.played = intsFromJson(o.value(QStringLiteral("played")));
    for (const QJsonValue& v : o.value(QStringLiteral("segues")).toArray()) {
        const QJsonObject s = v.toObject();
        p.segues.insert(s.value(QStringLiteral("row")).toInt(-1),
                        {s.value(QStringLiteral("mixPointMs")).toInt(-1), s.value(QStringLiteral("fadeOutMs")).toInt(-1)});
    }
    return p;
}

} // namespace

QString PlaylistStore::path()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (folder.isEmpty())
        folder = QDir::homePath() + QStringLiteral("/.orchidlantern");
    QDir().mkpath(folder);
    return folder + QStringLiteral("/playlists.json");
}

PlaylistStore::LoadResult PlaylistStore::load(Session& session, QString& message)
{
    const QString file = path();
    QFile f(file);
    if (!f.exists())
        return LoadResult::NoFile;
    QJsonParseError error{};
    QJsonDocument doc;
    QString problem;
    if (!f.open(QIODevice::ReadOnly)) {
        problem = f.errorString();
    } else {
        doc = QJsonDocument::fromJson(f.readAll(), &error);
        f.close();
        if (error.error != QJsonParseError::NoError)
            problem = error.errorString();
        else if (!doc.isObject() || !doc.object().value(QStringLiteral("playlists")).isArray())
            problem = QStringLiteral("no stored playlists in it");
    }
    if (!problem.isEmpty()) {
        QString aside;
        keepAside(file, aside);
        message = QStringLiteral("The saved playlists could not be read (%1). ").arg(problem) + aside;
        return LoadResult::Damaged;
    }

    const QJsonObject root = doc.object();
    session = Session{};
    for (const QJsonValue& v : root.value(QStringLiteral("playlists")).toArray())
        session.playlists << playlistFromJson(v.toObject());
    session.onAir = root.value(QStringLiteral("onAir")).toInt();
    session.viewed = root.value(QStringLiteral("viewed")).toInt();
    session.playing = root.value(QStringLiteral("playing")).toBool();
    for (const QJsonValue& v : root.value(QStringLiteral("aux")).toArray()) {
        if (const QString file = v.toString(); !file.isEmpty())
            session.aux << file;
    }
    return LoadResult::Loaded;
}

bool PlaylistStore::save(const Session& session, QString& message)
{
    const QString file = path();
    if (m_blocked && !keepAside(file, message))
        return false;
    QJsonArray playlists;
    for (const Playlist& p : session.playlists)
        playlists.append(playlistToJson(p));
    const QJsonObject root{{QStringLiteral("format"), kFormat},
                           {QStringLiteral("playlists"), playlists},
                           {QStringLiteral("onAir"), session.onAir},
                           {QStringLiteral("viewed"), session.viewed},
                           {QStringLiteral("playing"), session.playing},
                           {QStringLiteral("aux"), QJsonArray::fromStringList(session.aux)}};
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Compact);
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        message = QStringLiteral("Could not save the playlists to %1: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}

bool PlaylistStore::keepAside(const QString& file, QString& message)
{
    m_blocked = true;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = file + QStringLiteral(".broken-") + stamp;
    for (int n = 2; QFile::exists(aside); ++n)
        aside = file + QStringLiteral(".broken-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(file, aside)) {
        message = QStringLiteral("It could not be kept aside, so it is left as it is and the playlists are not "
                                 "saved over it: %1")
                      .arg(file);
        return false;
    }
    m_blocked = false;
    message = QStringLiteral("It was kept as %1.").arg(aside);
    return true;
}

PlaylistStore::Playlist PlaylistStore::capture(const QString& name, const PlaylistModel& model)
{
    Playlist p;
    p.name = name;
    p.rows = model.tracks();
    p.currentRow = model.currentRow();
    p.queue = model.queue();
    for (int r = 0; r < p.rows.size(); ++r) {
        if (model.isPlayed(r))
            p.played << r;
        const TrackParams::SegueOverride s = model.segueAt(r);
        if (s.mixPointMs >= 0 || s.fadeOutMs >= 0)
            p.segues.insert(r, s);
    }
    return p;
}

void PlaylistStore::apply(const Playlist& playlist, PlaylistModel& model)
{
    model.insertTracks(model.rowCount(), playlist.rows);
    const int rows = model.rowCount();
    for (int r : playlist.played)
        model.markPlayed(r);
    for (int r : playlist.queue)
        model.addToQueue(r);
    for (auto it = playlist.segues.cbegin(); it != playlist.segues.cend(); ++it) {
        if (it.key() >= 0 && it.key() < rows)
            model.setSegueOverrides(it.key(), {it.value()});
    }
    if (playlist.currentRow >= 0 && playlist.currentRow < rows)
        model.setCurrentRow(playlist.currentRow);
}
