#include "firingrecord.h"

#include "library/pathgate.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

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

QString FiringRecord::load(const QStringList& olderList)
{
    if (m_path.isEmpty())
        return {};
    QStringList problems{read(previousPath(), false), read(m_path, true)};
    const QDate olderDay = QDate::fromString(olderList.value(0), Qt::ISODate);
    if (olderDay.isValid() && (m_days.isEmpty() || olderDay > m_days.lastKey().addDays(-kDaysKept))) {
        QString problem;
        for (qsizetype i = 1; i < olderList.size() && problem.isEmpty(); ++i)
            insert(olderDay, olderList.at(i), &problem);
        problems << problem;
    }
    problems.removeAll(QString());
    return problems.join(QStringLiteral("; "));
}

QString FiringRecord::read(const QString& path, bool current)
{
    if (!QFileInfo::exists(path))
        return {};
    // Through the gate: a FIFO or a device put in its place would hold the
    // start in open() or read without end.
    QString refusal;
    const std::unique_ptr<QFile> file = PathGate::openForReading(path, PathGate::Kind::StoredData, refusal);
    if (!file)
        return QStringLiteral("%1 (%2)").arg(path, refusal);
    const qint64 size = file->size();
    // A firing is written as one line with its end: a last line without one
    // was cut by a crash, is not taken, and the next one must not join it.
    char last = '\n';
    if (size > 0 && (!file->seek(size - 1) || !file->getChar(&last)))
        return QStringLiteral("%1: %2").arg(path, file->errorString());
    const bool cut = last != '\n';
    if (current)
        m_cutShort = cut;
    // Of a file grown past the bound, only the newest lines; the first is
    // then a piece of one.
    const bool tail = size > kMaxBytes;
    if (!file->seek(tail ? size - kMaxBytes : 0))
        return QStringLiteral("%1: %2").arg(path, file->errorString());
    // Each line is taken once the next has begun: the last is left out when cut.
    bool skip = tail;
    QByteArray held;
    bool holding = false;
    const PathGate::LineRead done = PathGate::readLines(*file, kMaxBytes, kMaxLine, [&](QByteArrayView line) {
        if (std::exchange(skip, false))
            return;
        if (holding)
            take(held, current);
        held = line.toByteArray();
        holding = true;
    });
    if (holding && !cut)
        take(held, current);
    return done.error.isEmpty() ? QString() : QStringLiteral("%1: %2").arg(path, done.error);
}

void FiringRecord::take(QByteArrayView line, bool current)
{
    if (line.size() <= kDayChars + 1 || line[kDayChars] != '|')
        return;
    const QDate day = QDate::fromString(QString::fromLatin1(line.first(kDayChars)), Qt::ISODate);
    if (!day.isValid())
        return;
    if (current && (!m_fileDay.isValid() || day > m_fileDay))
        m_fileDay = day;
    if (QSet<QString>* keys = keysOf(day))
        keys->insert(unescaped(line.sliced(kDayChars + 1)));
}

QSet<QString>* FiringRecord::keysOf(const QDate& day)
{
    if (!m_days.isEmpty() && day <= m_days.lastKey().addDays(-kDaysKept))
        return nullptr;
    m_days[day];
    while (m_days.firstKey() <= m_days.lastKey().addDays(-kDaysKept))
        m_days.erase(m_days.begin());
    return &m_days[day];
}

bool FiringRecord::insert(const QDate& day, const QString& firing, QString* error)
{
    const QString key = recorded(firing);
    QSet<QString>* keys = keysOf(day);
    if (!keys) {
        // The clock was set back by days: what ran on later days says
        // nothing about this one.
        m_days.clear();
        keys = keysOf(day);
    }
    if (keys->contains(key))
        return false;
    keys->insert(key);
    const QString problem = append(day, key);
    if (error)
        *error = problem;
    return true;
}

QString FiringRecord::append(const QDate& day, const QString& key)
{
    if (m_path.isEmpty())
        return {};
    QString problem;
    if (m_fileDay.isValid() && day > m_fileDay) {
        // A rename, not a rewrite: the first firing of a day costs what
        // every other does. The file set aside keeps the day before.
        m_file.reset();
        if (std::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(previousPath()).constData()) == 0)
            m_cutShort = false;
        else
            problem = QStringLiteral("%1 could not be set aside: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        m_fileDay = {};
    }
    if (!m_file) {
        QString refusal;
        m_file = PathGate::openForAppending(m_path, refusal);
        if (!m_file)
            return QStringLiteral("%1 (%2)").arg(m_path, refusal);
    }
    const QByteArray line = (m_cutShort ? QByteArray("\n") : QByteArray()) + day.toString(Qt::ISODate).toLatin1()
                            + '|' + escaped(key) + '\n';
    // Unbuffered: the line reaches the system at once, so a crash right
    // after the event started does not lose it.
    if (m_file->write(line) != line.size()) {
        problem = QStringLiteral("%1: %2").arg(m_path, m_file->errorString());
        m_file.reset();
        m_cutShort = true;
        return problem;
    }
    m_cutShort = false;
    if (!m_fileDay.isValid() || day > m_fileDay)
        m_fileDay = day;
    return problem;
}
