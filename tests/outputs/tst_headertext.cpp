#include "outputs/headertext.h"
#include "olmain.h"

class TestHeaderText : public QObject
{
    Q_OBJECT

private slots:
    void clean_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("plain") << "Artist - Title" << "Artist - Title";
        QTest::newRow("CR LF becomes one blank") << "A\r\nX-Evil: 1" << "A X-Evil: 1";
        QTest::newRow("lone LF") << "A\nB" << "A B";
        QTest::newRow("tab and NUL") << QStringLiteral("A\tB") + QChar(0) + QStringLiteral("C") << "A B C";
        QTest::newRow("DEL and C1 controls") << QStringLiteral("A") + QChar(0x7f) + QChar(0x85) + QStringLiteral("B")
                                             << "A B";
        QTest::newRow("trailing newline") << "Song\r\n" << "Song ";
        QTest::newRow("non-ASCII kept") << "Café — Ñandú 東京" << "Café — Ñandú 東京";
        QTest::newRow("empty") << "" << "";
    }

    void clean()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        const QString cleaned = HeaderText::clean(in);
        QCOMPARE(cleaned, out);
        QVERIFY(!cleaned.contains(QLatin1Char('\r')) && !cleaned.contains(QLatin1Char('\n')));
    }
};

OL_TEST_MAIN(TestHeaderText)
#include "tst_headertext.moc"
