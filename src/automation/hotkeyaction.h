#pragma once

#include <QKeySequence>
#include <QString>

// One operator action that can be given a keyboard shortcut. A record with
// every field empty stands for an action that does not exist.
struct HotKeyAction
{
    QString id;              // stable; also the last part of its settings key
    QString label;
    QString category;        // the heading it is listed under
    QKeySequence defaultKey; // in force while the operator has stored none

    bool isEmpty() const
    {
        return id.isEmpty() && label.isEmpty() && category.isEmpty() && defaultKey.isEmpty();
    }
};
