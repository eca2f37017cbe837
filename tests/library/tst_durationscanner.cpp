#include "audiofixtures.h"
#include "library/durationscanner.h"
#include "olmain.h"

#include <QFile>
#include <QMediaPlayer>
#include <QPointer>
#include <QSignalSpy>
#include <QUrl>

namespace {

constexpr int kWaitMs = 30000;

// When the scanner takes its next player, makes the previous file's player
// report a length late, as a slow backend may still do.
class LateReport : public QObject
{
public:
    QPointer<QMediaPlayer> previous;
    bool fired = false;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ChildAdded && previous && !fired) {
            fired = true;
            emit previous->durationChanged(987654);
            emit previous->mediaStatusChanged(QMediaPlayer::LoadedMedia);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class TestDurationScanner : public QObject
{
    Q_OBJECT

    QString m_dir;
    QStringList m_files;          // lengths 1 to 4 s
    QList<qint64> m_lengths;
    QStringList m_playerOnly;     // a format TagLib cannot read, 2 and 3 s

    // The length a bare player reports for a file.
    static qint64 playerLength(const QString& path)
    {
        QMediaPlayer player;
        player.setSource(QUrl::fromLocalFile(path));
        if (!QTest::qWaitFor([&] { return player.duration() > 0; }, kWaitMs))
            return -1;
        return player.duration();
    }

private slots:
    void initTestCase()
    {
        m_dir = testHome().scratch(QStringLiteral("durations"));
        const QStringList suffixes{"wav", "mp3", "flac", "ogg"};
        for (int i = 0; i < 4; ++i) {
            const QString path = m_dir + QStringLiteral("/len%1.%2").arg(i + 1).arg(suffixes[i]);
            QVERIFY(AudioFixtures::tone(path, 440, -20, i + 1.0));
            m_files << path;
            m_lengths << qint64(AudioFixtures::probe(path, QStringLiteral("format=duration")).toDouble() * 1000);
        }
        for (int i = 0; i < 2; ++i) {
            const QString path = m_dir + QStringLiteral("/sun%1.au").arg(i + 2);
            QVERIFY(AudioFixtures::ffmpeg({"-f", "lavfi", "-i", QStringLiteral("sine=frequency=440:duration=%1").arg(i + 2),
                                           "-c:a", "pcm_s16be", path}));
            m_playerOnly << path;
        }
    }

    // Lengths read by TagLib agree with what the player would measure; a
    // format TagLib cannot read is still measured, by the player.
    void lengthsAgreeWithThePlayer()
    {
        DurationScanner scanner;
        QSignalSpy resolved(&scanner, &DurationScanner::resolved);
        QSignalSpy finished(&scanner, &DurationScanner::finished);
        const QStringList all = m_files + m_playerOnly;
        scanner.scan(all);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs * 2);
        QCOMPARE(resolved.size(), all.size());
        for (int i = 0; i < all.size(); ++i) {
            QCOMPARE(resolved[i][0].toString(), all[i]);
            const qint64 ms = resolved[i][1].toLongLong();
            const qint64 expected = playerLength(all[i]);
            QVERIFY2(qAbs(ms - expected) <= 50,
                     qPrintable(QStringLiteral("%1: %2 ms, the player %3").arg(all[i]).arg(ms).arg(expected)));
        }
    }

    void emptyScanWhileIdle()
    {
        DurationScanner scanner;
        QSignalSpy finished(&scanner, &DurationScanner::finished);
        QSignalSpy resolved(&scanner, &DurationScanner::resolved);
        scanner.scan({});
        QCOMPARE(finished.size(), 1);
        scanner.scan({QString(), QString()});
        QCOMPARE(finished.size(), 2);
        QCOMPARE(resolved.size(), 0);
    }

    // Several files of different lengths in a row: each result carries
    // its own file's length, once, in queue order; an empty entry is
    // skipped and a repeated path is measured again.
    void lengthsInOrder()
    {
        DurationScanner scanner;
        QSignalSpy resolved(&scanner, &DurationScanner::resolved);
        QSignalSpy finished(&scanner, &DurationScanner::finished);
        QStringList queue;
        for (int round = 0; round < 4; ++round) {
            for (int i = 0; i < m_files.size(); ++i)
                queue << m_files[(i + round) % m_files.size()];
            queue << QString();
        }
        queue << m_files[0];
        scanner.scan(queue);
        // More while busy are appended; an empty list changes nothing.
        scanner.scan({});
        QCOMPARE(finished.size(), 0);
        queue.removeAll(QString());

        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs * 4);
        QCOMPARE(resolved.size(), queue.size());
        for (int i = 0; i < queue.size(); ++i) {
            const QString path = resolved[i][0].toString();
            const qint64 ms = resolved[i][1].toLongLong();
            QCOMPARE(path, queue[i]);
            const qint64 expected = m_lengths[m_files.indexOf(path)];
            QVERIFY2(qAbs(ms - expected) < 150,
                     qPrintable(QStringLiteral("%1: %2 ms, expected %3").arg(path).arg(ms).arg(expected)));
        }
        // Nothing arrives late from an earlier file's player.
        QTest::qWait(500);
        QCOMPARE(resolved.size(), queue.size());
        QCOMPARE(finished.size(), 1);
    }

    void brokenFiles()
    {
        const QString missing = m_dir + QStringLiteral("/no such file.mp3");
        const QString noise = m_dir + QStringLiteral("/noise.flac");
        QFile f(noise);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(32 * 1024, '\x5a'));
        f.close();

        DurationScanner scanner;
        QSignalSpy resolved(&scanner, &DurationScanner::resolved);
        QSignalSpy finished(&scanner, &DurationScanner::finished);
        scanner.scan({missing, noise, m_files[1]});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QCOMPARE(resolved.size(), 3);
        QCOMPARE(resolved[0][0].toString(), missing);
        QCOMPARE(resolved[0][1].toLongLong(), 0);
        QCOMPARE(resolved[1][0].toString(), noise);
        QCOMPARE(resolved[1][1].toLongLong(), 0);
        QCOMPARE(resolved[2][0].toString(), m_files[1]);
        QVERIFY(qAbs(resolved[2][1].toLongLong() - m_lengths[1]) < 150);
    }

    // A report that the previous file's player sends after the next file
    // has started is not taken for the next file.
    void previousPlayerCannotReport()
    {
        DurationScanner scanner;
        LateReport late;
        QSignalSpy resolved(&scanner, &DurationScanner::resolved);
        QSignalSpy finished(&scanner, &DurationScanner::finished);
        connect(&scanner, &DurationScanner::resolved, this, [&](const QString& path) {
            if (path == m_playerOnly[0]) {
                late.previous = scanner.findChild<QMediaPlayer*>();
                scanner.installEventFilter(&late);
            }
        });
        scanner.scan(m_playerOnly);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QVERIFY(late.fired);
        QCOMPARE(resolved.size(), 2);
        QCOMPARE(resolved[1][0].toString(), m_playerOnly[1]);
        QVERIFY2(qAbs(resolved[1][1].toLongLong() - 3000) < 150,
                 qPrintable(QString::number(resolved[1][1].toLongLong())));
    }

    // A pipe nobody writes to would block the player's open for good, and
    // the player could not even be deleted: it is reported with 0 without
    // being opened, and the queue goes on.
    void pipesAreNotOpened()
    {
        const QString pipe = m_dir + QStringLiteral("/stalled.mp3");
        QVERIFY(AudioFixtures::run(QStringLiteral("mkfifo"), {pipe}));
        DurationScanner scanner;
        QSignalSpy resolved(&scanner, &DurationScanner::resolved);
        QSignalSpy finished(&scanner, &DurationScanner::finished);
        scanner.scan({pipe, m_files[3]});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QCOMPARE(resolved.size(), 2);
        QCOMPARE(resolved[0][0].toString(), pipe);
        QCOMPARE(resolved[0][1].toLongLong(), 0);
        QCOMPARE(resolved[1][0].toString(), m_files[3]);
        QVERIFY(qAbs(resolved[1][1].toLongLong() - m_lengths[3]) < 150);
    }

    // Receivers that queue more from resolved (a window filling in rows
    // and finding new ones): every file is reported, finished comes last.
    void scanFromResolved()
    {
        DurationScanner scanner;
        QSignalSpy resolved(&scanner, &DurationScanner::resolved);
        QSignalSpy finished(&scanner, &DurationScanner::finished);
        QStringList more{m_files[1], m_files[2], m_files[3]};
        connect(&scanner, &DurationScanner::resolved, this, [&] {
            if (!more.isEmpty())
                scanner.scan({more.takeFirst()});
        });
        scanner.scan({m_files[0]});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs * 4);
        QTest::qWait(500);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(resolved.size(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(resolved[i][0].toString(), m_files[i]);
            QVERIFY(qAbs(resolved[i][1].toLongLong() - m_lengths[i]) < 150);
        }
    }

    void clearQueueKeepsCurrent()
    {
        DurationScanner scanner;
        QSignalSpy resolved(&scanner, &DurationScanner::resolved);
        QSignalSpy finished(&scanner, &DurationScanner::finished);
        scanner.scan(m_files);
        scanner.clearQueue();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QCOMPARE(resolved.size(), 1);
        QCOMPARE(resolved[0][0].toString(), m_files[0]);
        QVERIFY(resolved[0][1].toLongLong() > 0);

        // Idle again: a new scan starts at once.
        scanner.scan({m_files[2]});
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, kWaitMs);
        QCOMPARE(resolved.size(), 2);
        QCOMPARE(resolved[1][0].toString(), m_files[2]);
    }
};

OL_TEST_MAIN(TestDurationScanner)
#include "tst_durationscanner.moc"
