#pragma once

#include <QDate>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class QFile;

// What the scheduler has run on the newest days, so that a restart does not
// run it again. Each firing is one line appended to a small file, so noting
// one costs the same however many came before it that day. When a later day
// begins, the file is set aside whole (a rename) and a new one started; the
// start reads both, within bounds, and leaves out a last line a crash cut.
class FiringRecord
{
public:
    // An empty path keeps the record in memory only.
    explicit FiringRecord(QString path = {});
    ~FiringRecord();

    // Reads what the files hold, and takes in the firings an older version
    // kept in its settings (the day, then its keys). Empty when all went
    // well, else why the record could not be read or written.
    QString load(const QStringList& olderList = {});

    // False when the key was already noted for that day. `error` gets why
    // the firing could not be written down (it is still held in memory).
    bool insert(const QDate& day, const QString& key, QString* error = nullptr);

    QString previousPath() const { return m_path + QStringLiteral(".old"); }

private:
    // A window for tones may reach into the day before or after its event's.
    static constexpr int kDaysKept = 3;

    QSet<QString>* keysOf(const QDate& day);
    QString read(const QString& path, bool current);
    void take(QByteArrayView line, bool current);
    QString append(const QDate& day, const QString& key);

    QString m_path;
    std::unique_ptr<QFile> m_file;
    QMap<QDate, QSet<QString>> m_days;
    // The newest day written to the file: a later one sets the file aside.
    QDate m_fileDay;
    // A crash may leave the last line cut short; the next one must not join it.
    bool m_cutShort = false;
};
