#pragma once

#include <QAbstractButton>
#include <QLineEdit>
#include <QWidget>

// Dialog tests reach the controls as an operator does: by what they say.
template <class W = QAbstractButton>
W* findByText(const QWidget& parent, const QString& text)
{
    for (W* w : parent.findChildren<W*>()) {
        if (w->text() == text)
            return w;
    }
    return nullptr;
}

inline QLineEdit* findByPlaceholder(const QWidget& parent, const QString& placeholder)
{
    for (QLineEdit* e : parent.findChildren<QLineEdit*>()) {
        if (e->placeholderText() == placeholder)
            return e;
    }
    return nullptr;
}

inline bool clickButton(const QWidget& parent, const QString& text)
{
    QAbstractButton* b = findByText(parent, text);
    if (b)
        b->click();
    return b;
}
