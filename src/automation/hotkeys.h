#pragma once

#include "automation/hotkeyaction.h"

#include <QKeySequence>
#include <QList>
#include <QString>

// The fixed table of actions that can have a hot key, and the operator's
// own keys for them in the settings ("hotkeys/<id>", portable key text; an
// empty text disables the action, an absent key means its default).
class HotKeys
{
public:
    static QList<HotKeyAction> actions();
    // An empty action for an id that is not in the table.
    static HotKeyAction action(const QString& id);
    static QString settingsKey(const QString& id);

    // The key in force; empty for an unknown or disabled action.
    static QKeySequence shortcut(const QString& id);
    // Stored at once; an empty sequence disables the action. Unknown ids
    // are ignored.
    static void setShortcut(const QString& id, const QKeySequence& sequence);
    static void reset(const QString& id);
    static void resetAll();

    // The first other action whose key in force is the sequence; empty when
    // there is none, and always for an empty sequence.
    static QString conflictingAction(const QString& id, const QKeySequence& sequence);
};
