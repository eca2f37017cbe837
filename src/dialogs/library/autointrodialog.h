#pragma once

#include "automation/autointro.h"

#include <QDialog>

class QCheckBox;
class QListWidget;

// The switch and the ordered rules of the automatic intros. Works on its
// own copy of the store; only OK writes it back.
class AutoIntroDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AutoIntroDialog(QWidget* parent = nullptr);

    void refresh();
    void editRule(int index);

private:
    void addRule();
    void removeRule();
    // Swaps the current rule with the one offset rows away.
    void moveRule(int offset);

    AutoIntro m_store;
    QListWidget* m_list = nullptr;
    QCheckBox* m_enableBox = nullptr;
};
