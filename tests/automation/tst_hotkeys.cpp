#include "automation/hotkeys.h"
#include "olmain.h"

#include <QSet>
#include <QSettings>

class TestHotKeys : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().remove(QStringLiteral("hotkeys")); }

    void tableHasDistinctDefaultsInGroups()
    {
        const QList<HotKeyAction> all = HotKeys::actions();
        QCOMPARE(all.size(), 30);
        QSet<QString> ids;
        QSet<QString> keys;
        QStringList categories;
        for (const HotKeyAction& a : all) {
            QVERIFY2(!a.defaultKey.isEmpty(), qPrintable(a.id));
            ids << a.id;
            keys << a.defaultKey.toString(QKeySequence::PortableText);
            if (categories.isEmpty() || categories.last() != a.category) {
                QVERIFY2(!categories.contains(a.category), qPrintable(a.category));
                categories << a.category;
            }
        }
        QCOMPARE(ids.size(), 30);
        QCOMPARE(keys.size(), 30);
        QCOMPARE(categories, QStringList({"Playback", "Volume", "Sources", "Rating", "Windows"}));
        QCOMPARE(HotKeys::shortcut(QStringLiteral("rate10")), QKeySequence(Qt::CTRL | Qt::Key_0));
        QCOMPARE(HotKeys::shortcut(QStringLiteral("rateclear")), QKeySequence(Qt::CTRL | Qt::Key_Minus));
        QCOMPARE(HotKeys::shortcut(QStringLiteral("seekback")), QKeySequence(Qt::CTRL | Qt::Key_Comma));
        QCOMPARE(HotKeys::action(QStringLiteral("addqueue")).label, QStringLiteral("Add selection to the queue"));
    }

    void storedKeysDisableAndConflict()
    {
        QSettings s;
        HotKeys::setShortcut(QStringLiteral("play"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P));
        QCOMPARE(s.value(QStringLiteral("hotkeys/play")).toString(), QStringLiteral("Ctrl+Shift+P"));
        QCOMPARE(HotKeys::shortcut(QStringLiteral("play")), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P));

        // Disabled: an empty stored text, never reported as a conflict.
        HotKeys::setShortcut(QStringLiteral("stop"), QKeySequence());
        HotKeys::setShortcut(QStringLiteral("next"), QKeySequence());
        QVERIFY(s.contains(QStringLiteral("hotkeys/stop")));
        QVERIFY(HotKeys::shortcut(QStringLiteral("stop")).isEmpty());
        QVERIFY(HotKeys::conflictingAction(QStringLiteral("play"), QKeySequence()).isEmpty());

        // The old default of a moved key is free; an action's own key is no conflict.
        QVERIFY(HotKeys::conflictingAction(QStringLiteral("pause"), QKeySequence(Qt::CTRL | Qt::Key_P)).isEmpty());
        QCOMPARE(HotKeys::conflictingAction(QStringLiteral("pause"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P)),
                 QStringLiteral("play"));
        QVERIFY(HotKeys::conflictingAction(QStringLiteral("play"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P))
                    .isEmpty());
        // Two actions given one key: the first in the table is named.
        s.setValue(QStringLiteral("hotkeys/library"), QStringLiteral("F5"));
        s.setValue(QStringLiteral("hotkeys/mic"), QStringLiteral("F5"));
        QCOMPARE(HotKeys::conflictingAction(QStringLiteral("play"), QKeySequence(Qt::Key_F5)), QStringLiteral("mic"));

        // Unknown ids: nothing read or written, but reset still removes the key.
        HotKeys::setShortcut(QStringLiteral("nosuch"), QKeySequence(Qt::Key_F9));
        QVERIFY(!s.contains(QStringLiteral("hotkeys/nosuch")));
        QVERIFY(HotKeys::action(QStringLiteral("nosuch")).isEmpty());
        s.setValue(QStringLiteral("hotkeys/nosuch"), QStringLiteral("F9"));
        QVERIFY(HotKeys::shortcut(QStringLiteral("nosuch")).isEmpty());

        // resetAll brings every default back and leaves foreign keys alone.
        HotKeys::resetAll();
        QCOMPARE(HotKeys::shortcut(QStringLiteral("stop")), QKeySequence(Qt::CTRL | Qt::Key_S));
        QCOMPARE(HotKeys::shortcut(QStringLiteral("play")), QKeySequence(Qt::CTRL | Qt::Key_P));
        s.beginGroup(QStringLiteral("hotkeys"));
        QCOMPARE(s.childKeys(), QStringList{QStringLiteral("nosuch")});
        s.endGroup();
        HotKeys::reset(QStringLiteral("nosuch"));
        QVERIFY(!s.contains(QStringLiteral("hotkeys/nosuch")));
    }
};

OL_TEST_MAIN(TestHotKeys)
#include "tst_hotkeys.moc"
