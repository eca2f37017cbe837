#include "cartwall.h"

#include "dialogs/prompts.h"
#include "library/audiofiles.h"
#include "library/musiclibrary.h"
#include "library/pathgate.h"

#include <QAudioOutput>
#include <QColorDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QJsonObject>
#include <QMediaPlayer>
#include <QMenu>
#include <QPushButton>

namespace {

const QColor kPalette[] = {QColor(198, 236, 255), QColor(255, 214, 214), QColor(210, 245, 210),
                           QColor(255, 244, 200), QColor(224, 224, 224)};

} // namespace

CartWall::CartWall(int columns, int rows, QWidget* parent)
    : QWidget(parent)
    , m_columns(qMax(columns, 1))
    , m_rows(qMax(rows, 1))
{
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(2, 2, 2, 2);
    grid->setSpacing(2);
    const int count = m_columns * m_rows;
    m_carts.resize(count);
    for (int i = 0; i < count; ++i) {
        resetCart(i);
        auto* button = new QPushButton(this);
        button->setMinimumSize(72, 56);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        button->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(button, &QPushButton::clicked, this, [this, i] { onCartClicked(i); });
        connect(button, &QWidget::customContextMenuRequested, this, [this, i, button](const QPoint& pos) {
            m_menuSlot = i;
            showContextMenu(button->mapToGlobal(pos));
        });
        grid->addWidget(button, i / m_columns, i % m_columns);
        m_buttons << button;
        rebuildButton(i);
    }
}

QString CartWall::slotLabel(int index) const
{
    return index < 9 ? QString::number(index + 1) : QString(QChar(index + 56));
}

void CartWall::resetCart(int index)
{
    Cart& c = m_carts[index];
    c = Cart();
    c.label = slotLabel(index);
    c.colour = kPalette[index % std::size(kPalette)];
}

void CartWall::rebuildButton(int index)
{
    const Cart& c = m_carts.at(index);
    QPushButton* b = m_buttons.at(index);
    b->setText(QStringLiteral("%1\n%2\n%3").arg(c.label, c.titleLine(), c.timeLine()));
    b->setStyleSheet(QStringLiteral("QPushButton {  background-color: %1;  border: 1px solid #808080;  "
                                    "text-align: left;  padding: 3px;  font-size: 10px;  color: #202020;}"
                                    "QPushButton:pressed { background-color: #ffd54f; }")
                         .arg(c.colourName()));
}

void CartWall::onCartClicked(int index)
{
    if (index < 0 || index >= m_carts.size())
        return;
    const Cart& c = m_carts.at(index);
    if (c.path.isEmpty() || !QFileInfo::exists(c.path)) {
        emit logMessage(QStringLiteral("Cart %1: no file assigned").arg(c.label));
        return;
    }
    // A FIFO or a device would hold the media player, and the window with it.
    if (const QString refusal = PathGate::refusal(c.path, PathGate::Kind::Audio); !refusal.isEmpty()) {
        emit logMessage(QStringLiteral("Cart %1: not played: %2 %3").arg(c.label, c.path, refusal));
        return;
    }
    // Made at the first cart fired: a player per wall would load the media
    // backend while the window is still being built.
    if (!m_player) {
        m_player = new QMediaPlayer(this);
        m_output = new QAudioOutput(this);
        m_player->setAudioOutput(m_output);
        emit playerMade(m_player);
    }
    // Stopping first makes a second click on the same cart start it over.
    m_player->stop();
    m_player->setSource(QUrl::fromLocalFile(c.path));
    m_player->play();
    emit logMessage(QStringLiteral("Cart %1 fired: %2").arg(c.label, c.title));
}

void CartWall::showContextMenu(const QPoint& globalPos)
{
    if (m_menuSlot < 0 || m_menuSlot >= m_carts.size())
        return;
    const int index = m_menuSlot;
    QMenu menu(this);
    connect(menu.addAction(QStringLiteral("Assign audio file...")), &QAction::triggered, this,
            [this, index] { assignFile(index); });
    connect(menu.addAction(QStringLiteral("Rename...")), &QAction::triggered, this,
            [this, index] { renameCart(index); });
    connect(menu.addAction(QStringLiteral("Set colour...")), &QAction::triggered, this,
            [this, index] { chooseColour(index); });
    menu.addSeparator();
    connect(menu.addAction(QStringLiteral("Clear cart")), &QAction::triggered, this, [this, index] {
        resetCart(index);
        rebuildButton(index);
        emit changed();
    });
    menu.exec(globalPos);
}

void CartWall::assignFile(int index)
{
    Cart& c = m_carts[index];
    const QString path = Prompts::openFileName(this, QStringLiteral("Assign audio to cart ") + c.label, QString(),
                                               AudioFiles::dialogFilter(QStringLiteral("Audio files"))
                                                   + QStringLiteral(";;All files (*.*)"));
    if (path.isEmpty())
        return;
    c.path = path;
    // As a playlist row of the file: the library's record, else its tags,
    // else its name.
    const Track row = MusicLibrary::rowsForFiles({path}).constFirst();
    if (c.title.isEmpty())
        c.title = row.displayName();
    if (row.durationMs > 0)
        c.durationMs = row.durationMs;
    rebuildButton(index);
    emit changed();
}

void CartWall::renameCart(int index)
{
    Cart& c = m_carts[index];
    bool ok = false;
    const QString title = Prompts::text(this, QStringLiteral("Rename cart"), QStringLiteral("Title:"), c.title, &ok);
    if (!ok)
        return;
    c.title = title;
    rebuildButton(index);
    emit changed();
}

void CartWall::chooseColour(int index)
{
    Cart& c = m_carts[index];
    QColorDialog dialog(c.colour, this);
    dialog.setWindowTitle(QStringLiteral("Cart colour"));
    if (Prompts::exec(dialog) != QDialog::Accepted || !dialog.selectedColor().isValid())
        return;
    c.colour = dialog.selectedColor();
    rebuildButton(index);
    emit changed();
}

QJsonArray CartWall::saveState() const
{
    QJsonArray out;
    for (int i = 0; i < m_carts.size(); ++i) {
        const Cart& c = m_carts.at(i);
        if (c.path.isEmpty())
            continue;
        out.append(c.toJson(i));
    }
    return out;
}

void CartWall::restoreState(const QJsonArray& carts)
{
    for (const QJsonValue& v : carts) {
        const QJsonObject o = v.toObject();
        const int slot = o.value(QStringLiteral("slot")).toInt(-1);
        if (slot < 0 || slot >= m_carts.size())
            continue;
        m_carts[slot].restore(o);
        rebuildButton(slot);
    }
}
