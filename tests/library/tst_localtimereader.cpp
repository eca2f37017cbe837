#include "olmain.h"

#include "library/localtimereader.h"

#include <ctime>

class TestLocalTimeReader : public QObject
{
    Q_OBJECT

private slots:
    // The same instants and wall times as Qt's own reading, in a zone with
    // summer time, across both changes, and for text of other forms.
    void readsAsQtDoes()
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
        LocalTimeReader reader;
        for (int pass = 0; pass < 2; ++pass) { // the second from the day cache
            for (const char* text : {"2025-01-15T08:30:00", "2025-07-15T23:59:59", "2025-03-30T01:59:59",
                                     "2025-03-30T02:30:00", "2025-03-30T03:00:00", "2025-10-26T02:30:00",
                                     "2025-10-26T23:00:00", "2024-05-01T14:03:09.123", "2024-05-01T14:03",
                                     "2024-02-30T10:00:00", "2024-05-01T24:00:00", "2024-05-01X14:03:09", ""}) {
                const QDateTime got = reader.read(QString::fromLatin1(text));
                const QDateTime want = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate);
                QVERIFY2(got.isValid() == want.isValid() && got.toMSecsSinceEpoch() == want.toMSecsSinceEpoch()
                             && got.toString(u"yyyy-MM-dd HH:mm:ss.zzz") == want.toString(u"yyyy-MM-dd HH:mm:ss.zzz"),
                         text);
            }
        }
    }
};

OL_TEST_MAIN(TestLocalTimeReader)
#include "tst_localtimereader.moc"
