#include "olmain.h"

#include "library/localtimereader.h"

#include <ctime>

// The stored local times must read as the same instants and wall times as
// Qt's own ISO reading gives, in a zone with summer time, across its
// changes, and for text of other forms.
class TestLocalTimeReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void readsAsQtDoes()
    {
        const QStringList texts{
            QStringLiteral("2025-01-15T08:30:00"), QStringLiteral("2025-07-15T23:59:59"),
            // The spring change: 02:00 jumps to 03:00; the autumn one repeats 02:xx.
            QStringLiteral("2025-03-30T01:59:59"), QStringLiteral("2025-03-30T02:30:00"),
            QStringLiteral("2025-03-30T03:00:00"), QStringLiteral("2025-10-26T02:30:00"),
            QStringLiteral("2025-10-26T23:00:00"), QStringLiteral("2025-10-27T00:00:00"),
            QStringLiteral("2024-05-01T14:03:09.123"), QStringLiteral("2024-05-01T14:03"),
            QStringLiteral("2024-02-30T10:00:00"), QStringLiteral("2024-05-01T24:00:00"),
            QStringLiteral("2024-05-01X14:03:09"), QStringLiteral("never"), QString()};
        LocalTimeReader reader;
        for (int pass = 0; pass < 2; ++pass) { // the second from the day cache
            for (const QString& text : texts) {
                const QDateTime got = reader.read(text);
                const QDateTime want = QDateTime::fromString(text, Qt::ISODate);
                QVERIFY2(got.isValid() == want.isValid(), qPrintable(text));
                if (!want.isValid())
                    continue;
                QVERIFY2(got.toMSecsSinceEpoch() == want.toMSecsSinceEpoch(), qPrintable(text));
                QCOMPARE(got.date(), want.date());
                QCOMPARE(got.time(), want.time());
                QCOMPARE(got.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                         want.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            }
        }
    }
};

OL_TEST_MAIN(TestLocalTimeReader)
#include "tst_localtimereader.moc"
