#pragma once

#include <QDate>
#include <QList>
#include <QByteArrayView>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>

class QFile;

// What the scheduler has run on the newest days, so that a restart does not
// run it again. Each firing is one line appended to a small file, so noting
// one costs the same however many came before it that day. The file holds
// one day: when another begins, later or earlier (a clock set back), the
// file is set aside whole (a rename) and a new one started, or the one set
// aside for that day is taken back. The start reads both, within bounds,
// and leaves out a last line a crash cut; a file with lines that are no
// firings is set aside and said to be.
class FiringRecord
{
public:
    // An empty path keeps the record in memory only.
    explicit FiringRecord(QString path = {});
    ~FiringRecord();

    // Reads what the files hold, and takes in the firings an older version
    // kept in its settings (the day, then its keys). Empty when all went
    // well, else why the record could not be read or written. A file found
    // damaged is set aside, what could be read of it kept; keptAside then
    // says so.
    QString load(const QStringList& olderList = {}, QString* keptAside = nullptr);

    // False when the key was already noted for that day. `error` gets why
    // the firing could not be written down (it is still held in memory).
    bool insert(const QDate& day, const QString& key, QString* error = nullptr);
    // Whether the key is noted for that day.
    bool contains(const QDate& day, const QString& key) const;

    QString previousPath() const { return m_path + QStringLiteral(".old"); }

private:
    // Days held in memory, the most recently noted ones: a window for tones
    // may reach into the day before or after its event's, and a clock set
    // ahead by days and back again leaves one more.
    static constexpr int kDaysKept = 4;

    // One of the two files: the day it holds, and whether its last line
    // was cut by a crash (the next one must not join it).
    struct File
    {
        QDate day;
        bool cutShort = false;
    };

    QSet<QString>& keysOf(const QDate& day);
    // Lines that are no firing (and no piece a crash cut) are counted in bad.
    QString read(const QString& path, File& file, qsizetype& bad);
    bool take(QByteArrayView line, File& file);
    QString append(const QDate& day, const QString& key);
    QString turnTo(const QDate& day);
    QString keepDamagedAside(const QString& path, File& file, qsizetype bad);

    QString m_path;
    std::unique_ptr<QFile> m_file;
    // Oldest noted first.
    QList<std::pair<QDate, QSet<QString>>> m_days;
    File m_current;
    File m_previous;
};
