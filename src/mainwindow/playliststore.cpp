#include "playliststore.h"

#include "engine/playlistmodel.h"
#include "library/pathgate.h"
#include "mainwindow/playoutstartup.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <utility>
#include <cctype>
#include <charconv>
#include <memory>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kFormat = 1;
constexpr int kRowsPerRead = 2048;
constexpr int kMaxDepth = 512;

// The stored text read straight into what it holds, with no tree of values
// in between (a tree of 100 000 rows weighs several times the text). A value
// of another type than expected, or a number the field cannot take, reads as
// the field's fallback and is noted by its name, so that the file is kept
// before the fallback is saved over it. Text that is not JSON stops the
// reader with an error.
class JsonReader
{
public:
    // The values read as their fallback: how many, and the first by name.
    struct Unread
    {
        int count = 0;
        QString first;
    };

    explicit JsonReader(const QByteArray& text, qsizetype from = 0)
        : m_begin(text.constData())
        , m_end(text.constData() + text.size())
        , m_at(m_begin + from)
    {
    }

    bool ok() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }
    const Unread& unread() const { return m_unread; }
    qsizetype offset() const { return m_at - m_begin; }

    // The first character of the next value, after white space; 0 at the end.
    char peek()
    {
        while (m_at < m_end && (*m_at == ' ' || *m_at == '\n' || *m_at == '\r' || *m_at == '\t'))
            ++m_at;
        return m_at < m_end ? *m_at : 0;
    }

    // Calls member(key) for each member of the object here; it must read or
    // skip the value. Anything else here is skipped as an empty object.
    template <typename Member>
    void members(Member&& member)
    {
        const QByteArrayView outer = m_key;
        sequence('{', '}', "unterminated object", [this, &member] {
            if (peek() != '"')
                return fail("object is missing name");
            const QByteArrayView key = name();
            if (!ok())
                return;
            if (peek() != ':')
                return fail("missing name separator");
            ++m_at;
            m_key = key;
            member(key);
        });
        m_key = outer;
    }

    // Calls element() for each element of the array here; it must read or
    // skip it. Anything else here is skipped as an empty array.
    template <typename Element>
    void elements(Element&& element)
    {
        sequence('[', ']', "unterminated array", element);
    }

    // Notes where each element of the array here starts and moves past it,
    // without reading them: strings and brackets only. Whoever reads an
    // element later checks it, and that it ends where the next one starts.
    void elementStarts(QList<qsizetype>& starts)
    {
        if (peek() != '[') {
            notRead();
            return;
        }
        ++m_at;
        if (peek() == ']') {
            ++m_at;
            return;
        }
        starts << offset();
        int depth = 0;
        while (m_at < m_end) {
            switch (*m_at++) {
            case '"':
                if (const char* quote = closingQuote())
                    m_at = quote + 1;
                break;
            case '{':
            case '[':
                ++depth;
                break;
            case '}':
                --depth;
                break;
            case ']':
                if (depth-- == 0)
                    return;
                break;
            case ',':
                if (depth == 0) {
                    peek();
                    starts << offset();
                }
                break;
            default:
                break;
            }
            if (depth < 0)
                return fail("unbalanced brackets");
        }
        fail("unterminated array");
    }

    QString string(const QString& fallback = {})
    {
        if (peek() != '"') {
            notRead();
            return fallback;
        }
        const char* at = ++m_at;
        const char* quote = closingQuote();
        if (!quote)
            return fallback;
        m_at = quote + 1;
        QString text;
        while (at < quote) {
            const char* backslash = static_cast<const char*>(std::memchr(at, '\\', size_t(quote - at)));
            const char* stop = backslash ? backslash : quote;
            if (text.isEmpty() && !backslash)
                return QString::fromUtf8(at, stop - at);
            text += QString::fromUtf8(at, stop - at);
            if (!backslash)
                break;
            at = backslash + 1;
            text += escape(at);
        }
        return text;
    }

    // Any JSON number; the fallback, noted, for any other value.
    double number(double fallback)
    {
        // The token starts after the white space before it.
        const char c = peek();
        const char* from = m_at;
        if (c != '-' && (c < '0' || c > '9')) {
            notRead();
            return fallback;
        }
        if (!numberToken())
            return fallback;
        double value = fallback;
        if (std::from_chars(from, m_at, value).ec != std::errc()) {
            noteUnread(from);
            return fallback;
        }
        return value;
    }

    // A whole number in any JSON form (3, 3.0, 3e0), or a number in the
    // range given; else the fallback, noted.
    double numberWithin(double fallback, double low, double high)
    {
        peek();
        const char* from = m_at;
        const double value = number(std::nan(""));
        if (std::isnan(value))
            return fallback;
        if (value < low || value > high) {
            noteUnread(from);
            return fallback;
        }
        return value;
    }

    int integer(int fallback)
    {
        peek();
        const char* from = m_at;
        const double value = numberWithin(std::nan(""), INT_MIN, INT_MAX);
        if (std::isnan(value))
            return fallback;
        if (value != std::trunc(value)) {
            noteUnread(from);
            return fallback;
        }
        return int(value);
    }

    bool boolean()
    {
        const char c = peek();
        if (c == 't' && literal("true"))
            return true;
        if (c == 'f' && literal("false"))
            return false;
        notRead();
        return false;
    }

    // Any one value, checked.
    void skip()
    {
        switch (peek()) {
        case '"':
            ++m_at;
            if (const char* quote = closingQuote())
                m_at = quote + 1;
            return;
        case '{':
            if (nest())
                members([this](QByteArrayView) { skip(); });
            --m_depth;
            return;
        case '[':
            if (nest())
                elements([this] { skip(); });
            --m_depth;
            return;
        case 't':
            if (!literal("true"))
                fail("illegal value");
            return;
        case 'f':
            if (!literal("false"))
                fail("illegal value");
            return;
        case 'n':
            if (!literal("null"))
                fail("illegal value");
            return;
        case 0:
            fail("unterminated value");
            return;
        default:
            numberToken();
        }
    }

    void fail(const char* what)
    {
        if (ok())
            m_error = QStringLiteral("%1 at offset %2").arg(QLatin1String(what)).arg(offset());
        m_at = m_end;
    }

private:
    char peekAt(const char* at) const { return at < m_end ? *at : 0; }

    template <typename Item>
    void sequence(char open, char close, const char* unterminated, Item&& item)
    {
        if (peek() != open) {
            notRead();
            return;
        }
        ++m_at;
        if (peek() == close) {
            ++m_at;
            return;
        }
        for (;;) {
            item();
            if (!ok())
                return;
            const char next = peek();
            if (!next)
                return fail(unterminated);
            ++m_at;
            if (next == close)
                return;
            if (next != ',')
                return fail("missing value separator");
        }
    }

    // The value here is of another type than the field takes: skipped, noted.
    void notRead()
    {
        const char* from = m_at;
        const QByteArrayView key = m_key;
        skip();
        m_key = key;
        if (ok())
            noteUnread(from);
    }

    void noteUnread(const char* at)
    {
        if (m_unread.count++ > 0)
            return;
        // An escaped name lives in a buffer that the next one reuses.
        const bool named = !m_key.isEmpty() && m_key.data() >= m_begin && m_key.data() < m_end;
        m_unread.first = QStringLiteral("%1 at offset %2")
                             .arg(named ? QString::fromUtf8(m_key) : QStringLiteral("a value"))
                             .arg(at - m_begin);
    }

    bool nest()
    {
        if (++m_depth <= kMaxDepth)
            return true;
        fail("too deeply nested");
        return false;
    }

    bool literal(const char* word)
    {
        const size_t n = std::strlen(word);
        if (size_t(m_end - m_at) < n || std::memcmp(m_at, word, n) != 0)
            return false;
        m_at += n;
        return true;
    }

    // A JSON number here, checked; false (skipping the value) for any other value.
    bool numberToken()
    {
        const char c = peek();
        if (c != '-' && (c < '0' || c > '9')) {
            if (c == '"' || c == '{' || c == '[' || c == 't' || c == 'f' || c == 'n')
                skip();
            else
                fail(c ? "illegal value" : "unterminated value");
            return false;
        }
        const auto digits = [this] {
            const char* from = m_at;
            while (m_at < m_end && *m_at >= '0' && *m_at <= '9')
                ++m_at;
            return m_at > from;
        };
        if (*m_at == '-')
            ++m_at;
        bool sound = peekAt(m_at) == '0' ? (++m_at, true) : digits();
        if (sound && peekAt(m_at) == '.') {
            ++m_at;
            sound = digits();
        }
        if (sound && (peekAt(m_at) == 'e' || peekAt(m_at) == 'E')) {
            ++m_at;
            if (peekAt(m_at) == '+' || peekAt(m_at) == '-')
                ++m_at;
            sound = digits();
        }
        if (!sound)
            fail("illegal number");
        return sound;
    }

    // The end of the string that starts here, its escapes checked on the way.
    const char* closingQuote()
    {
        const char* at = m_at;
        for (;;) {
            const char* quote = static_cast<const char*>(std::memchr(at, '"', size_t(m_end - at)));
            if (!quote) {
                fail("unterminated string");
                return nullptr;
            }
            const char* backslash = static_cast<const char*>(std::memchr(at, '\\', size_t(quote - at)));
            if (!backslash)
                return quote;
            // Only the escape's validity matters here; a quote it escapes is skipped.
            const char kind = peekAt(backslash + 1);
            if (kind == 'u') {
                for (int i = 2; i < 6; ++i) {
                    if (!std::isxdigit(static_cast<unsigned char>(peekAt(backslash + i)))) {
                        fail("illegal escape sequence");
                        return nullptr;
                    }
                }
                at = backslash + 6;
            } else if (kind && std::strchr("\"\\/bfnrt", kind)) {
                at = backslash + 2;
            } else {
                fail("illegal escape sequence");
                return nullptr;
            }
        }
    }

    // The escape after a backslash, checked by closingQuote() already.
    static QChar escape(const char*& at)
    {
        const char kind = *at++;
        switch (kind) {
        case 'b':
            return u'\b';
        case 'f':
            return u'\f';
        case 'n':
            return u'\n';
        case 'r':
            return u'\r';
        case 't':
            return u'\t';
        case 'u': {
            unsigned unit = 0;
            std::from_chars(at, at + 4, unit, 16);
            at += 4;
            return QChar(char16_t(unit));
        }
        default:
            return QLatin1Char(kind);
        }
    }

    // A member's name, as its bytes; decoded into a buffer only when escaped.
    QByteArrayView name()
    {
        const char* from = ++m_at;
        const char* quote = closingQuote();
        if (!quote)
            return {};
        if (!std::memchr(from, '\\', size_t(quote - from))) {
            m_at = quote + 1;
            return QByteArrayView(from, quote - from);
        }
        m_at = from - 1;
        m_name = string().toUtf8();
        return m_name;
    }

    const char* m_begin;
    const char* m_end;
    const char* m_at;
    int m_depth = 0;
    QString m_error;
    QByteArray m_name;
    QByteArrayView m_key; // the member whose value is being read
    Unread m_unread;
};

QList<int> readInts(JsonReader& in)
{
    QList<int> out;
    in.elements([&in, &out] { out << in.integer(-1); });
    return out;
}

QStringList strings(JsonReader& in)
{
    QStringList out;
    in.elements([&in, &out] { out << in.string(); });
    return out;
}

// A stored length in ms; a damaged file's figure beyond any length (or not
// a number) reads as none rather than overflowing the conversion.
qint64 storedMs(JsonReader& in)
{
    return qint64(in.numberWithin(0, 0, 1e15));
}

// As written: "2024-05-01T18:04:05.123", local time. The usual form is
// taken apart here, anything else by QDateTime.
QDateTime storedTime(const QString& text)
{
    if (text.isEmpty())
        return {};
    const auto at = [&text](int from, int length) {
        int value = 0;
        for (int i = from; i < from + length; ++i) {
            const char16_t c = text.at(i).unicode();
            if (c < u'0' || c > u'9')
                return -1;
            value = value * 10 + (c - u'0');
        }
        return value;
    };
    if (text.size() == 23 && text.at(4) == u'-' && text.at(7) == u'-' && text.at(10) == u'T' && text.at(13) == u':'
        && text.at(16) == u':' && text.at(19) == u'.') {
        const QDate date(at(0, 4), at(5, 2), at(8, 2));
        const QTime time(at(11, 2), at(14, 2), at(17, 2), at(20, 3));
        if (date.isValid() && time.isValid())
            return QDateTime(date, time);
    }
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

Track readTrack(JsonReader& in)
{
    static constexpr std::pair<const char*, QString Track::*> kTexts[] = {
        {"artist", &Track::artist}, {"title", &Track::title}, {"album", &Track::album}, {"genre", &Track::genre},
        {"comment", &Track::comment}, {"path", &Track::filePath}, {"label", &Track::label}};
    static constexpr std::pair<const char*, bool Track::*> kFlags[] = {
        {"marker", &Track::marker}, {"stream", &Track::isStream}, {"voiceTrack", &Track::voiceTrack}};
    Track t;
    in.members([&in, &t](QByteArrayView key) {
        for (const auto& [name, text] : kTexts) {
            if (key == name)
                return void(t.*text = in.string());
        }
        for (const auto& [name, flag] : kFlags) {
            if (key == name)
                return void(t.*flag = in.boolean());
        }
        if (key == "year")
            t.year = in.integer(0);
        else if (key == "playCount")
            t.playCount = in.integer(0);
        else if (key == "durationMs")
            t.durationMs = storedMs(in);
        else if (key == "streamLimitMs")
            t.streamLimitMs = storedMs(in);
        else if (key == "category")
            t.category = in.string(t.category);
        else if (key == "lastPlayed")
            t.lastPlayed = storedTime(in.string());
        else if (key == "dateAdded")
            t.dateAdded = storedTime(in.string());
        else if (key == "extras")
            t.extras = strings(in);
        else
            in.skip();
    });
    return t;
}

// Runs on a pool thread. Each row must end where the first pass saw the
// next one start.
PlaylistStore::RowRead readRows(const QByteArray& text, const QList<qsizetype>& starts)
{
    PlaylistStore::RowRead read;
    read.rows.reserve(starts.size());
    for (qsizetype start : starts) {
        JsonReader in(text, start);
        read.rows.append(readTrack(in));
        const char next = in.peek();
        if (in.ok() && next != ',' && next != ']')
            in.fail("missing value separator");
        if (!in.ok()) {
            read.problem = in.error();
            break;
        }
        if (const JsonReader::Unread& unread = in.unread(); unread.count > 0) {
            if (read.unread == 0)
                read.firstUnread = unread.first;
            read.unread += unread.count;
        }
    }
    return read;
}


// The first pass: the whole text checked, the playlists read but for their
// rows, of which only the offsets are kept. Empty when sound, else why not.
QString readLayout(const QByteArray& text, PlaylistStore::Session& session, QList<QList<qsizetype>>& rowStarts,
                   JsonReader::Unread& unread)
{
    JsonReader in(text);
    bool listed = false;
    const char first = in.peek();
    if (first != '{' && first != '[')
        in.fail(first ? "illegal value" : "empty document");
    in.members([&](QByteArrayView key) {
        if (key == "playlists") {
            listed = in.peek() == '[';
            session.playlists.clear();
            rowStarts.clear();
            in.elements([&] {
                PlaylistStore::Playlist p;
                QList<qsizetype> starts;
                in.members([&](QByteArrayView field) {
                    if (field == "name") {
                        p.name = in.string();
                    } else if (field == "rows") {
                        starts.clear();
                        in.elementStarts(starts);
                    } else if (field == "currentRow") {
                        p.currentRow = in.integer(-1);
                    } else if (field == "queue") {
                        p.queue = readInts(in);
                    } else if (field == "played") {
                        const QList<int> played = readInts(in);
                        p.played = QSet<int>(played.cbegin(), played.cend());
                    } else if (field == "segues") {
                        p.segues.clear();
                        in.elements([&] {
                            int row = -1;
                            TrackParams::SegueOverride s;
                            in.members([&](QByteArrayView name) {
                                if (name == "row")
                                    row = in.integer(-1);
                                else if (name == "mixPointMs")
                                    s.mixPointMs = in.integer(-1);
                                else if (name == "fadeOutMs")
                                    s.fadeOutMs = in.integer(-1);
                                else
                                    in.skip();
                            });
                            p.segues.insert(row, s);
                        });
                    } else {
                        in.skip();
                    }
                });
                session.playlists << p;
                rowStarts << starts;
            });
        } else if (key == "onAir") {
            session.onAir = in.integer(0);
        } else if (key == "viewed") {
            session.viewed = in.integer(0);
        } else if (key == "playing") {
            session.playing = in.boolean();
        } else if (key == "aux") {
            session.aux = strings(in);
            session.aux.removeAll(QString());
        } else {
            in.skip();
        }
    });
    if (in.ok() && in.peek())
        in.fail("garbage at the end of the document");
    if (!in.ok())
        return in.error();
    unread = in.unread();
    return listed ? QString() : QStringLiteral("no stored playlists in it");
}

// The session as JSON text, written by hand: a tree of 100 000 rows built
// for the purpose would cost far more time and memory than the text.
class JsonWriter
{
public:
    QByteArray out;

    JsonWriter& key(const char* name)
    {
        const char last = out.isEmpty() ? 0 : out.back();
        if (last != '{' && last != '[' && last != 0)
            out += ',';
        out += '"';
        out += name;
        out += "\":";
        return *this;
    }

    void element()
    {
        if (out.back() != '[')
            out += ',';
    }

    void string(const QString& text)
    {
        out += '"';
        const QByteArray utf8 = text.toUtf8();
        qsizetype from = 0;
        for (qsizetype i = 0; i < utf8.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(utf8.at(i));
            if (c >= 0x20 && c != '"' && c != '\\')
                continue;
            out.append(utf8.constData() + from, i - from);
            from = i + 1;
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default: {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            }
            }
        }
        out.append(utf8.constData() + from, utf8.size() - from);
        out += '"';
    }

    void number(qint64 value) { out += QByteArray::number(value); }
    void boolean(bool value) { out += value ? "true" : "false"; }

    void ints(QList<int> values)
    {
        std::sort(values.begin(), values.end());
        out += '[';
        for (int v : std::as_const(values)) {
            element();
            number(v);
        }
        out += ']';
    }

    void track(const Track& t)
    {
        out += '{';
        key("album").string(t.album);
        key("artist").string(t.artist);
        key("category").string(t.category);
        key("comment").string(t.comment);
        key("dateAdded").string(dateText(t.dateAdded));
        key("durationMs").number(t.durationMs);
        key("extras");
        out += '[';
        for (const QString& extra : t.extras) {
            element();
            string(extra);
        }
        out += ']';
        key("genre").string(t.genre);
        key("label").string(t.label);
        key("lastPlayed").string(dateText(t.lastPlayed));
        key("marker").boolean(t.marker);
        key("path").string(t.filePath);
        key("playCount").number(t.playCount);
        key("stream").boolean(t.isStream);
        key("streamLimitMs").number(t.streamLimitMs);
        key("title").string(t.title);
        key("voiceTrack").boolean(t.voiceTrack);
        key("year").number(t.year);
        out += '}';
    }

    void playlist(const PlaylistStore::Playlist& p)
    {
        out += '{';
        key("currentRow").number(p.currentRow);
        key("name").string(p.name);
        key("played").ints(p.played.values());
        key("queue");
        out += '[';
        for (int row : p.queue) {
            element();
            number(row);
        }
        out += ']';
        key("rows");
        out += '[';
        for (const Track& t : p.rows) {
            element();
            track(t);
        }
        out += ']';
        key("segues");
        out += '[';
        QList<int> rows = p.segues.keys();
        std::sort(rows.begin(), rows.end());
        for (int row : std::as_const(rows)) {
            element();
            const TrackParams::SegueOverride s = p.segues.value(row);
            out += '{';
            key("fadeOutMs").number(s.fadeOutMs);
            key("mixPointMs").number(s.mixPointMs);
            key("row").number(row);
            out += '}';
        }
        out += ']';
        out += '}';
    }

private:
    static QString dateText(const QDateTime& t) { return t.isValid() ? t.toString(Qt::ISODateWithMs) : QString(); }
};

QByteArray sessionText(const PlaylistStore::Session& session)
{
    qsizetype rows = 0;
    for (const PlaylistStore::Playlist& p : session.playlists)
        rows += p.rows.size();
    JsonWriter w;
    w.out.reserve(4096 + rows * 400);
    w.out += '{';
    w.key("aux");
    w.out += '[';
    for (const QString& file : session.aux) {
        w.element();
        w.string(file);
    }
    w.out += ']';
    w.key("format").number(kFormat);
    w.key("onAir").number(session.onAir);
    w.key("playing").boolean(session.playing);
    w.key("playlists");
    w.out += '[';
    for (const PlaylistStore::Playlist& p : session.playlists) {
        w.element();
        w.playlist(p);
    }
    w.out += ']';
    w.key("viewed").number(session.viewed);
    w.out += '}';
    return w.out;
}

} // namespace

PlaylistStore::PlaylistStore(QObject* parent)
    : QObject(parent)
{
    // One write at a time, in the order asked for.
    m_writer.setMaxThreadCount(1);
    // Rows are read while the window takes its first steps: half the cores
    // leave room for the window and the media stack.
    m_readers.setMaxThreadCount(std::max(1, QThread::idealThreadCount() / 2));
    m_readers.setObjectName(QStringLiteral("playlist rows"));
    m_gatherer.setMaxThreadCount(1);
    m_gatherer.setObjectName(QStringLiteral("playlist rows read"));
    m_writer.setObjectName(QStringLiteral("playlist store"));
}

PlaylistStore::~PlaylistStore()
{
    m_writer.waitForDone();
}

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
    const LoadResult result = loadWithoutRows(session, message);
    if (result != LoadResult::Loaded)
        return result;
    QString rows;
    session.playlists = takePlaylists(rows);
    if (!rows.isEmpty())
        message = message.isEmpty() ? rows : message + QLatin1Char(' ') + rows;
    return m_rowsDamaged ? LoadResult::Damaged : result;
}

PlaylistStore::LoadResult PlaylistStore::loadWithoutRows(Session& session, QString& message)
{
    // Reads of an earlier load still use its mapping.
    m_gatherer.waitForDone();
    m_read = {};
    m_readStarted = false;
    m_pending.clear();
    m_rowStarts.clear();
    m_text.clear();
    m_mapped.reset();
    m_pendingRows = 0;
    m_copy.clear();
    m_rowsDamaged = false;
    const QString file = path();
    if (!QFile::exists(file))
        return LoadResult::NoFile;
    // Opened by the gate: a FIFO would block the start in open(), a link to
    // a device would read without end.
    QString problem;
    const std::shared_ptr<QFile> opened = PathGate::openForReading(file, PathGate::Kind::StoredData, problem);
    // Mapped rather than copied: tens of megabytes of fresh memory cost
    // more than the reading. The file is only ever replaced, never written
    // in place, so the mapping stays whole while the rows are read from it.
    QByteArray text;
    if (opened && opened->size() > 0) {
        if (const uchar* mapped = opened->map(0, opened->size()))
            text = QByteArray::fromRawData(reinterpret_cast<const char*>(mapped), opened->size());
        else
            text = opened->read(opened->size());
    }
    Session read;
    QList<QList<qsizetype>> rowStarts;
    JsonReader::Unread unread;
    if (problem.isEmpty())
        problem = readLayout(text, read, rowStarts, unread);
    if (!problem.isEmpty()) {
        QString aside;
        keepAside(file, aside);
        message = QStringLiteral("The saved playlists could not be read (%1). ").arg(problem) + aside;
        return LoadResult::Damaged;
    }

    session = read;
    m_pending = read.playlists;
    m_rowStarts = rowStarts;
    m_text = text;
    m_mapped = opened;
    for (const QList<qsizetype>& starts : std::as_const(rowStarts))
        m_pendingRows += starts.size();
    if (unread.count > 0)
        message = keepCopy(unread.count, unread.first);
    return LoadResult::Loaded;
}

void PlaylistStore::startReading()
{
    if (m_readStarted)
        return;
    m_readStarted = true;
    // Read side by side, a part of a list each; the parts are put together,
    // and the mapping let go of, off the caller's thread.
    m_read = QtConcurrent::run(&m_gatherer, [this, rowStarts = std::exchange(m_rowStarts, {}),
                                             text = std::exchange(m_text, {}), mapped = std::exchange(m_mapped, {})] {
        QList<QList<QFuture<RowRead>>> parts;
        for (const QList<qsizetype>& starts : rowStarts) {
            QList<QFuture<RowRead>>& list = parts.emplaceBack();
            for (qsizetype from = 0; from < starts.size(); from += kRowsPerRead)
                list << QtConcurrent::run(&m_readers, readRows, text, starts.mid(from, kRowsPerRead));
        }
        QList<RowRead> lists;
        for (qsizetype i = 0; i < parts.size(); ++i) {
            RowRead& list = lists.emplaceBack();
            list.rows.reserve(rowStarts.at(i).size());
            for (QFuture<RowRead>& part : parts[i]) {
                RowRead read = part.takeResult();
                if (list.problem.isEmpty())
                    list.problem = read.problem;
                if (list.firstUnread.isEmpty())
                    list.firstUnread = read.firstUnread;
                list.unread += read.unread;
                list.rows.append(std::move(read.rows));
            }
        }
        QMetaObject::invokeMethod(this, &PlaylistStore::rowsRead, Qt::QueuedConnection);
        return lists;
    });
}

QList<PlaylistStore::Playlist> PlaylistStore::takePlaylists(QString& message)
{
    startReading();
    QList<Playlist> playlists = std::exchange(m_pending, {});
    QList<RowRead> lists = std::exchange(m_read, {}).takeResult();
    QString problem;
    int unread = 0;
    QString firstUnread;
    for (qsizetype i = 0; i < playlists.size() && i < lists.size(); ++i) {
        if (problem.isEmpty())
            problem = lists[i].problem;
        if (firstUnread.isEmpty())
            firstUnread = lists[i].firstUnread;
        unread += lists[i].unread;
        playlists[i].rows = std::move(lists[i].rows);
    }
    m_pendingRows = 0;
    m_rowsDamaged = !problem.isEmpty();
    if (problem.isEmpty() && unread > 0)
        message = keepCopy(unread, firstUnread);
    if (!problem.isEmpty()) {
        for (Playlist& p : playlists) {
            Playlist named;
            named.name = p.name;
            p = named;
        }
        QString aside;
        keepAside(path(), aside);
        message = QStringLiteral("The saved playlists could not be read (%1). ").arg(problem) + aside;
    }
    return playlists;
}

void PlaylistStore::saveLater(Session session)
{
    const QMutexLocker lock(&m_waitingLock);
    m_waiting = std::move(session);
    if (m_writing)
        return;
    m_writing = true;
    m_writer.start([this] { writeWaiting(); });
}

void PlaylistStore::writeWaiting()
{
    for (;;) {
        std::optional<Session> session;
        {
            const QMutexLocker lock(&m_waitingLock);
            session.swap(m_waiting);
            if (!session) {
                m_writing = false;
                return;
            }
        }
        // Rows of its own: while the window shares its lists with this
        // write, its next change to one would copy the whole list.
        for (Playlist& p : session->playlists)
            p.rows = QList<Track>(p.rows.cbegin(), p.rows.cend());
        QString message;
        const bool ok = write(*session, message);
        session.reset();
        // The copy written out is gone; so should its pages be.
        PlayoutStartup::returnFreedMemory();
        emit saved(ok, message);
    }
}

bool PlaylistStore::save(const Session& session, QString& message)
{
    {
        // This one is newer than any still waiting.
        const QMutexLocker lock(&m_waitingLock);
        m_waiting.reset();
    }
    m_writer.waitForDone();
    return write(session, message);
}

bool PlaylistStore::write(const Session& session, QString& message)
{
    const QString file = path();
    if (m_blocked && !keepAside(file, message))
        return false;
    const QByteArray text = sessionText(session);
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
    const QString aside = PathGate::asideName(file, QStringLiteral("broken"));
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

QString PlaylistStore::keepCopy(int unread, const QString& first)
{
    const QString told = QStringLiteral("The saved playlists held %1 value(s) that could not be read (the first: %2); "
                                        "they are taken as none. ")
                             .arg(unread)
                             .arg(first);
    if (!m_copy.isEmpty())
        return told + QStringLiteral("The file as it was is kept as %1.").arg(m_copy);
    const QString file = path();
    const QString copy = PathGate::asideName(file, QStringLiteral("as-read"));
    if (QFile::copy(file, copy)) {
        m_copy = copy;
        return told + QStringLiteral("The file as it was is kept as %1.").arg(copy);
    }
    // Not saved over until it is set aside whole.
    m_blocked = true;
    return told + QStringLiteral("It could not be copied aside, so it is set aside before the playlists are saved "
                                 "over it: %1")
                      .arg(file);
}

PlaylistStore::Playlist PlaylistStore::capture(const QString& name, const PlaylistModel& model)
{
    Playlist p;
    p.name = name;
    p.rows = model.tracks();
    p.currentRow = model.currentRow();
    p.queue = model.queue();
    p.played = model.playedRows();
    p.segues = model.segueOverrideRows();
    return p;
}

void PlaylistStore::apply(Playlist playlist, PlaylistModel& model)
{
    model.insertTracks(model.rowCount(), std::move(playlist.rows));
    const int rows = model.rowCount();
    model.markPlayed(playlist.played);
    for (int r : playlist.queue)
        model.addToQueue(r);
    for (auto it = playlist.segues.cbegin(); it != playlist.segues.cend(); ++it) {
        if (it.key() >= 0 && it.key() < rows)
            model.setSegueOverrides(it.key(), {it.value()});
    }
    if (playlist.currentRow >= 0 && playlist.currentRow < rows)
        model.setCurrentRow(playlist.currentRow);
}
