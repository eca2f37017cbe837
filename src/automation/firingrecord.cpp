#include "firingrecord.h"

#include "library/pathgate.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>

namespace {

// A day of the busiest schedule takes a few MB: no more than the newest
// this many bytes of a file are read.
constexpr qint64 kMaxBytes = qint64(32) * 1024 * 1024;
// A line: the day, a bar and the key.
constexpr qsizetype kMaxLine = 4096;
constexpr qsizetype kDayChars = 10;

// A key holds an event's name and action, which may hold line breaks.
QByteArray escaped(const QString& key)
{
    QByteArray text = key.toUtf8();
    text.replace('\\', "\\\\").replace('\n', "\\n").replace('\r', "\\r");
    return text;
}

QString unescaped(QByteArrayView text)
{
    if (!text.contains('\\'))
        return QString::fromUtf8(text);
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            c = text[++i];
            c = c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        }
        out.append(c);
    }
    return QString::fromUtf8(out);
}

// A key too long for a line is kept as its digest: it still tells one
// firing from another, and no line is beyond what a read takes.
QString recorded(const QString& key)
{
    if (escaped(key).size() <= kMaxLine - kDayChars - 1)
        return key;
    return QLatin1Char('#') + QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex());
}

} // namespace

FiringRecord::FiringRecord(QString path)
    : m_path(std::move(path))
{
}

FiringRecord::~FiringRecord() = default;

QString FiringRecord::load(const QStringList& olderList, QString* keptAside)
{
    if (m_path.isEmpty())
        return {};
    QStringList problems;
    QStringList aside;
    // The file set aside first: the current one holds what was noted last.
    for (const auto& [path, file] : {std::pair{previousPath(), &m_previous}, std::pair{m_path, &m_current}}) {
        qsizetype bad = 0;
        problems << read(path, *file, bad);
        if (bad > 0)
            aside << keepDamagedAside(path, *file, bad);
    }
    const QDate olderDay = QDate::fromString(olderList.value(0), Qt::ISODate);
    if (olderDay.isValid() && (!m_current.day.isValid() || qAbs(olderDay.daysTo(m_current.day)) < kDaysKept)) {
        QString problem;
        for (qsizetype i = 1; i < olderList.size() && problem.isEmpty(); ++i)
            insert(olderDay, olderList.at(i), &problem);
        problems << problem;
    }
    problems.removeAll(QString());
    if (keptAside)
        *keptAside = aside.join(QStringLiteral("; "));
    return problems.join(QStringLiteral("; "));
}

QString FiringRecord::read(const QString& path, File& file, qsizetype& bad)
{
    if (!QFileInfo::exists(path))
        return {};
    // Through the gate: a FIFO or a device put in its place would hold the
    // start in open() or read without end.
    QString refusal;
    const std::unique_ptr<QFile> in = PathGate::openForReading(path, PathGate::Kind::StoredData, refusal);
    if (!in)
        return QStringLiteral("%1 (%2)").arg(path, refusal);
    const qint64 size = in->size();
    // A firing is written as one line with its end: a last line without one
    // was cut by a crash, is not taken, and the next one must not join it.
    char last = '\n';
    if (size > 0 && (!in->seek(size - 1) || !in->getChar(&last)))
        return QStringLiteral("%1: %2").arg(path, in->errorString());
    const bool cut = last != '\n';
    file.cutShort = cut;
    // Of a file grown past the bound, only the newest lines; the first is
    // then a piece of one.
    const bool tail = size > kMaxBytes;
    if (!in->seek(tail ? size - kMaxBytes : 0))
        return QStringLiteral("%1: %2").arg(path, in->errorString());
    // Each line is taken once the next has begun: the last is left out when cut.
    bool skip = tail;
    QByteArray held;
    bool holding = false;
    const PathGate::LineRead done = PathGate::readLines(*in, kMaxBytes, kMaxLine, [&](QByteArrayView line) {
        if (std::exchange(skip, false))
            return;
        if (holding && !take(held, file))
            ++bad;
        held = line.toByteArray();
        holding = true;
    });
    if (holding && !cut && !take(held, file))
        ++bad;
    bad += done.longLines;
    return done.error.isEmpty() ? QString() : QStringLiteral("%1: %2").arg(path, done.error);
}

bool FiringRecord::take(QByteArrayView line, File& file)
{
    if (line.size() <= kDayChars + 1 || line[kDayChars] != '|') {
        // A piece of a line that a crash cut within its day, ended by the
        // next one written, is no damage.
        static constexpr char kShape[] = "dddd-dd-dd|";
        for (qsizetype i = 0; i < line.size(); ++i) {
            if (i >= kDayChars + 1 || (kShape[i] == 'd' ? !std::isdigit(uchar(line[i])) : line[i] != kShape[i]))
                return false;
        }
        return true;
    }
    const QDate day = QDate::fromString(QString::fromLatin1(line.first(kDayChars)), Qt::ISODate);
    if (!day.isValid())
        return false;
    file.day = day;
    keysOf(day).insert(unescaped(line.sliced(kDayChars + 1)));
    return true;
}

QString FiringRecord::keepDamagedAside(const QString& path, File& file, qsizetype bad)
{
    const QString aside = PathGate::asideName(path, QStringLiteral("broken"));
    if (!QFile::rename(path, aside))
        return QStringLiteral("%1 holds %2 line(s) that are no record of an event run, and it could not be set aside")
            .arg(path)
            .arg(bad);
    file.cutShort = false;
    // What could be read of its day is noted again, in a file of its own.
    QSaveFile out(path);
    if (file.day.isValid() && out.open(QIODevice::WriteOnly)) {
        for (const auto& [day, keys] : std::as_const(m_days)) {
            if (day != file.day)
                continue;
            for (const QString& key : keys)
                out.write(day.toString(Qt::ISODate).toLatin1() + '|' + escaped(key) + '\n');
        }
        if (!out.commit())
            file.day = {};
    } else {
        file.day = {};
    }
    return QStringLiteral("%1 held %2 line(s) that are no record of an event run; it was kept as %3")
        .arg(path)
        .arg(bad)
        .arg(aside);
}

QSet<QString>& FiringRecord::keysOf(const QDate& day)
{
    const auto at = std::find_if(m_days.begin(), m_days.end(), [&day](const auto& d) { return d.first == day; });
    if (at != m_days.end()) {
        // The newest noted last, so that a day a clock passed through is
        // the first to go.
        if (at != m_days.end() - 1)
            m_days.move(at - m_days.begin(), m_days.size() - 1);
    } else {
        m_days.append({day, {}});
        while (m_days.size() > kDaysKept)
            m_days.removeFirst();
    }
    return m_days.last().second;
}

bool FiringRecord::insert(const QDate& day, const QString& firing, QString* error)
{
    const QString key = recorded(firing);
    QSet<QString>& keys = keysOf(day);
    if (keys.contains(key))
        return false;
    keys.insert(key);
    const QString problem = append(day, key);
    if (error)
        *error = problem;
    return true;
}

bool FiringRecord::contains(const QDate& day, const QString& firing) const
{
    const QString key = recorded(firing);
    return std::any_of(m_days.cbegin(), m_days.cend(),
                       [&](const auto& d) { return d.first == day && d.second.contains(key); });
}

QString FiringRecord::turnTo(const QDate& day)
{
    m_file.reset();
    const QByteArray current = QFile::encodeName(m_path);
    const QByteArray previous = QFile::encodeName(previousPath());
    // Back (or ahead again) to the day the other file holds: that one is
    // taken back and this one set aside in its place, in one step.
    if (m_previous.day == day
        && ::renameat2(AT_FDCWD, current.constData(), AT_FDCWD, previous.constData(), RENAME_EXCHANGE) == 0) {
        std::swap(m_current, m_previous);
        return {};
    }
    // A rename, not a rewrite: the first firing of a day costs what every
    // other does.
    if (std::rename(current.constData(), previous.constData()) != 0)
        return QStringLiteral("%1 could not be set aside: %2")
            .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
    m_previous = m_current;
    m_current = {};
    return {};
}

QString FiringRecord::append(const QDate& day, const QString& key)
{
    if (m_path.isEmpty())
        return {};
    QString problem;
    if (m_current.day.isValid() && day != m_current.day)
        problem = turnTo(day);
    if (!m_file) {
        QString refusal;
        m_file = PathGate::openForAppending(m_path, refusal);
        if (!m_file)
            return QStringLiteral("%1 (%2)").arg(m_path, refusal);
    }
    const QByteArray line = (m_current.cutShort ? QByteArray("\n") : QByteArray())
                            + day.toString(Qt::ISODate).toLatin1() + '|' + escaped(key) + '\n';
    // Unbuffered: the line reaches the system at once, so a crash right
    // after the event started does not lose it.
    if (m_file->write(line) != line.size()) {
        problem = QStringLiteral("%1: %2").arg(m_path, m_file->errorString());
        m_file.reset();
        m_current.cutShort = true;
        return problem;
    }
    m_current.cutShort = false;
    m_current.day = day;
    return problem;
}
