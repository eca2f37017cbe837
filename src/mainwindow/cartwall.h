#pragma once

#include "mainwindow/cart.h"

#include <QJsonArray>
#include <QList>
#include <QWidget>

class QAudioOutput;
class QMediaPlayer;
class QPushButton;

// A grid of instant-play buttons for jingles, beds and effects. The wall
// has a player of its own, beside the engine's decks and never metered or
// sent out: one cart per wall sounds at a time, and a click always starts
// its cart from the top.
class CartWall : public QWidget
{
    Q_OBJECT

public:
    explicit CartWall(int columns = 5, int rows = 4, QWidget* parent = nullptr);

    // The carts with a file, as stored in the settings.
    QJsonArray saveState() const;
    // Applies stored carts over the current ones; elements naming no cart
    // of this wall are ignored.
    void restoreState(const QJsonArray& carts);

signals:
    void logMessage(const QString& text);
    // A cart was assigned, renamed, recoloured or cleared from its menu.
    void changed();
    // The wall's player, made at the first cart fired.
    void playerMade(QMediaPlayer* player);

public slots:
    void onCartClicked(int index);
    // The menu of the cart whose menu was last asked for, at a screen position.
    void showContextMenu(const QPoint& globalPos);

private:
    QString slotLabel(int index) const;
    void rebuildButton(int index);
    void resetCart(int index);
    void assignFile(int index);
    void renameCart(int index);
    void chooseColour(int index);

    int m_columns;
    int m_rows;
    QList<Cart> m_carts;
    QList<QPushButton*> m_buttons;
    QMediaPlayer* m_player = nullptr;
    QAudioOutput* m_output = nullptr;
    int m_menuSlot = -1;
};
