#include "dialogs/settings/settingsdialog.h"

#include "automation/hotkeys.h"
#include "dialogs/prompts.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QString keyText(const QKeySequence& sequence)
{
    return sequence.toString(QKeySequence::PortableText);
}

} // namespace

QWidget* SettingsDialog::makeHotKeysPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Hot keys</b>")));
    layout->addWidget(wrapped(QStringLiteral("Select an action, then press Assign… to type its shortcut or Disable "
                                           "to remove it.")));

    m_hotKeys = named(new QTableWidget(0, 2), "hotkeys");
    m_hotKeys->setHorizontalHeaderLabels({QStringLiteral("Action"), QStringLiteral("Shortcut")});
    m_hotKeys->verticalHeader()->hide();
    m_hotKeys->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_hotKeys->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_hotKeys->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_hotKeys->setSelectionMode(QAbstractItemView::SingleSelection);
    m_hotKeys->setEditTriggers(QAbstractItemView::NoEditTriggers);

    QString category;
    for (const HotKeyAction& action : HotKeys::actions()) {
        if (action.category != category) {
            category = action.category;
            const int row = m_hotKeys->rowCount();
            m_hotKeys->insertRow(row);
            auto* heading = new QTableWidgetItem(category);
            QFont bold = heading->font();
            bold.setWeight(QFont::Bold);
            heading->setFont(bold);
            heading->setFlags(Qt::ItemIsEnabled);
            m_hotKeys->setItem(row, 0, heading);
            auto* empty = new QTableWidgetItem;
            empty->setFlags(Qt::NoItemFlags);
            m_hotKeys->setItem(row, 1, empty);
        }
        const int row = m_hotKeys->rowCount();
        m_hotKeys->insertRow(row);
        auto* label = new QTableWidgetItem(QStringLiteral("   ") + action.label);
        auto* key = new QTableWidgetItem(keyText(HotKeys::shortcut(action.id)));
        label->setData(Qt::UserRole, action.id);
        key->setData(Qt::UserRole, action.id);
        m_hotKeys->setItem(row, 0, label);
        m_hotKeys->setItem(row, 1, key);
    }
    layout->addWidget(m_hotKeys, 1);

    auto* buttons = new QHBoxLayout;
    auto* assign = new QPushButton(QStringLiteral("Assign…"));
    auto* disable = new QPushButton(QStringLiteral("Disable"));
    auto* reset = new QPushButton(QStringLiteral("Reset all to defaults"));
    connect(assign, &QPushButton::clicked, this, &SettingsDialog::assignHotKey);
    connect(disable, &QPushButton::clicked, this, [this] { applyHotKey(QKeySequence()); });
    connect(reset, &QPushButton::clicked, this, &SettingsDialog::resetHotKeys);
    buttons->addWidget(assign);
    buttons->addWidget(disable);
    buttons->addStretch();
    buttons->addWidget(reset);
    layout->addLayout(buttons);
    return page;
}

QString SettingsDialog::selectedHotKey() const
{
    const QTableWidgetItem* item = m_hotKeys->item(m_hotKeys->currentRow(), 1);
    return item ? item->data(Qt::UserRole).toString() : QString();
}

void SettingsDialog::assignHotKey()
{
    const QString id = selectedHotKey();
    if (id.isEmpty()) {
        Prompts::information(this, QStringLiteral("Hot keys"), QStringLiteral("Select an action first."));
        return;
    }
    bool ok = false;
    const QString text = Prompts::text(this, QStringLiteral("Assign shortcut"),
                                       QStringLiteral("Type the shortcut, e.g. Ctrl+Shift+P:"),
                                       m_hotKeys->item(m_hotKeys->currentRow(), 1)->text(), &ok);
    if (!ok)
        return;
    // The same text form the table shows, so that a shown key reads back as itself.
    applyHotKey(QKeySequence::fromString(text.trimmed(), QKeySequence::PortableText));
}

void SettingsDialog::applyHotKey(const QKeySequence& sequence)
{
    const QString id = selectedHotKey();
    if (id.isEmpty())
        return;
    const QString other = HotKeys::conflictingAction(id, sequence);
    if (!other.isEmpty()) {
        Prompts::warning(this, QStringLiteral("Shortcut in use"),
                         QStringLiteral("%1 is already assigned to \"%2\".")
                             .arg(keyText(sequence), HotKeys::action(other).label));
        return;
    }
    HotKeys::setShortcut(id, sequence);
    m_hotKeys->item(m_hotKeys->currentRow(), 1)->setText(keyText(sequence));
}

void SettingsDialog::resetHotKeys()
{
    HotKeys::resetAll();
    for (int row = 0; row < m_hotKeys->rowCount(); ++row) {
        QTableWidgetItem* key = m_hotKeys->item(row, 1);
        const QString id = key ? key->data(Qt::UserRole).toString() : QString();
        if (!id.isEmpty())
            key->setText(keyText(HotKeys::shortcut(id)));
    }
}
