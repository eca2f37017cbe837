#include "autointrodialog.h"

#include "dialogs/prompts.h"
#include "library/audiofiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

const QString kNewRulePrefix = QStringLiteral("Rule ");

QPushButton* makeButton(const QString& text, const char* name)
{
    auto* b = new QPushButton(text);
    b->setObjectName(QLatin1String(name));
    return b;
}

QLineEdit* makeEdit(const QString& text, const char* name, const QString& placeholder,
                    const QString& toolTip = {})
{
    auto* e = new QLineEdit(text);
    e->setObjectName(QLatin1String(name));
    e->setPlaceholderText(placeholder);
    e->setToolTip(toolTip);
    return e;
}

QComboBox* makeCombo(const char* name, const QList<std::pair<QString, QVariant>>& items)
{
    auto* c = new QComboBox;
    c->setObjectName(QLatin1String(name));
    for (const auto& [text, data] : items)
        c->addItem(text, data);
    return c;
}

QSpinBox* makeSpin(const char* name, int maximum, const QString& suffix, int value, const QString& toolTip)
{
    auto* s = new QSpinBox;
    s->setObjectName(QLatin1String(name));
    s->setRange(0, maximum);
    s->setSuffix(suffix);
    s->setValue(value);
    s->setToolTip(toolTip);
    return s;
}

// Comma-separated parts, trimmed; a part of blanks only stays as an empty
// entry unless dropBlank.
QStringList splitList(const QString& text, bool dropBlank)
{
    QStringList out;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString t = part.trimmed();
        if (!t.isEmpty() || !dropBlank)
            out.append(t);
    }
    return out;
}

QString ruleText(const AutoIntroRule& r)
{
    QString text = r.name;
    if (!r.condField.isEmpty() && !r.condValue.isEmpty())
        text += QStringLiteral("  [%1 = %2]").arg(r.condField, r.condValue);
    if (r.probability <= 99)
        text += QStringLiteral("  %1%").arg(r.probability);
    if (!r.enabled)
        text += QStringLiteral("  (off)");
    return text;
}

} // namespace

AutoIntroDialog::AutoIntroDialog(QWidget* parent) : QDialog(parent)
{
    m_store.load();
    setWindowTitle(QStringLiteral("Auto Intro"));
    setMinimumSize(560, 420);

    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Automatically inserts jingles before music tracks. Rules are checked "
                                            "from the top down and the first matching rule is used."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    m_enableBox = new QCheckBox(QStringLiteral("Enable Auto Intro"));
    m_enableBox->setObjectName(QStringLiteral("enableBox"));
    m_enableBox->setChecked(m_store.enabled);
    layout->addWidget(m_enableBox);

    auto* row = new QHBoxLayout;
    m_list = new QListWidget;
    m_list->setObjectName(QStringLiteral("ruleList"));
    row->addWidget(m_list, 1);
    auto* column = new QVBoxLayout;
    auto* add = makeButton(QStringLiteral("Add..."), "addButton");
    auto* edit = makeButton(QStringLiteral("Edit..."), "editButton");
    auto* remove = makeButton(QStringLiteral("Delete"), "deleteButton");
    auto* up = makeButton(QStringLiteral("Up"), "upButton");
    auto* down = makeButton(QStringLiteral("Down"), "downButton");
    for (QPushButton* b : {add, edit, remove, up, down})
        column->addWidget(b);
    column->addStretch();
    row->addLayout(column);
    layout->addLayout(row, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    layout->addWidget(buttons);

    const auto editCurrent = [this] {
        if (m_list->currentRow() >= 0)
            editRule(m_list->currentRow());
    };
    connect(add, &QPushButton::clicked, this, [this] { addRule(); });
    connect(edit, &QPushButton::clicked, this, editCurrent);
    connect(m_list, &QListWidget::itemDoubleClicked, this, editCurrent);
    connect(remove, &QPushButton::clicked, this, [this] { removeRule(); });
    connect(up, &QPushButton::clicked, this, [this] { moveRule(-1); });
    connect(down, &QPushButton::clicked, this, [this] { moveRule(1); });
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        m_store.enabled = m_enableBox->isChecked();
        m_store.save();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    refresh();
}

void AutoIntroDialog::refresh()
{
    m_list->clear();
    for (const AutoIntroRule& r : m_store.rules)
        m_list->addItem(ruleText(r));
    if (m_store.rules.isEmpty())
        m_list->addItem(QStringLiteral("(no rules - click Add)"));
}

void AutoIntroDialog::addRule()
{
    AutoIntroRule rule;
    rule.name = kNewRulePrefix + QString::number(m_store.rules.size() + 1);
    m_store.rules.append(rule);
    editRule(int(m_store.rules.size()) - 1);
}

void AutoIntroDialog::removeRule()
{
    const int r = m_list->currentRow();
    if (r < 0 || r >= m_store.rules.size())
        return;
    m_store.rules.removeAt(r);
    refresh();
}

void AutoIntroDialog::moveRule(int offset)
{
    const int r = m_list->currentRow();
    const int target = r + offset;
    if (r < 0 || r >= m_store.rules.size() || target < 0 || target >= m_store.rules.size())
        return;
    m_store.rules.swapItemsAt(r, target);
    refresh();
    m_list->setCurrentRow(target);
}

void AutoIntroDialog::editRule(int index)
{
    if (index < 0 || index >= m_store.rules.size())
        return;
    const AutoIntroRule rule = m_store.rules.at(index);

    QDialog editor(this);
    editor.setWindowTitle(QStringLiteral("Auto Intro rule"));
    editor.setMinimumWidth(500);
    auto* layout = new QVBoxLayout(&editor);
    auto* grid = new QGridLayout;
    int row = 0;
    const auto addRow = [&](const QString& label, QWidget* wide, QWidget* third = nullptr) {
        grid->addWidget(new QLabel(label), row, 0);
        if (wide)
            grid->addWidget(wide, row, 1, 1, third ? 1 : 2);
        if (third)
            grid->addWidget(third, row, 2);
        ++row;
    };

    auto* name = makeEdit(rule.name, "nameEdit", {});
    addRow(QStringLiteral("Name:"), name);
    auto* enabled = new QCheckBox(QStringLiteral("Rule enabled"));
    enabled->setObjectName(QStringLiteral("enabledBox"));
    enabled->setChecked(rule.enabled);
    addRow({}, enabled);
    auto* probability = makeSpin("probabilitySpin", 100, QStringLiteral(" %"), rule.probability,
                                 QStringLiteral("100% inserts a jingle every time; 33% roughly one track in three."));
    addRow(QStringLiteral("Probability:"), probability);
    auto* cooldown = makeSpin("cooldownSpin", 86400, QStringLiteral(" sec"), rule.cooldownSecs,
                              QStringLiteral("After the rule fires it is not used again until this passes."));
    addRow(QStringLiteral("Cooldown:"), cooldown);

    QList<std::pair<QString, QVariant>> fields{{QStringLiteral("(any track)"), QString()}};
    for (const char* f : {"artist", "title", "album", "genre", "year", "duration"})
        fields.append({QLatin1String(f), QLatin1String(f)});
    auto* condField = makeCombo("conditionCombo", fields);
    condField->setCurrentIndex(qMax(condField->findData(rule.condField), 0));
    auto* condValue = makeEdit(rule.condValue, "conditionEdit", QStringLiteral("value, or a range such as 1990-1999"));
    addRow(QStringLiteral("Condition:"), condField, condValue);

    auto* skipAfter = makeEdit(rule.skipAfterTypes.join(QStringLiteral(", ")), "skipAfterEdit",
                               QStringLiteral("e.g. Commercial, Jingle"),
                               QStringLiteral("Do not apply if the previous track was one of these types."));
    addRow(QStringLiteral("Skip after types:"), skipAfter);
    auto* skipFile = makeEdit(rule.skipFileTypes.join(QStringLiteral(", ")), "skipFileEdit",
                              QStringLiteral("e.g. Jingle, Commercial"),
                              QStringLiteral("Do not apply to a music track that is itself one of these file types."));
    addRow(QStringLiteral("Skip file types:"), skipFile);

    auto* tags = makeEdit(rule.mustTags.join(QStringLiteral(", ")), "tagsEdit",
                          QStringLiteral("comma-separated tags; blank = no requirement"));
    auto* tagsMode = makeCombo("tagsCombo", {{QStringLiteral("any"), false}, {QStringLiteral("all"), true}});
    tagsMode->setToolTip(QStringLiteral("Match tracks having ANY of the tags, or ALL of them."));
    tagsMode->setCurrentIndex(rule.tagsMatchAll ? 1 : 0);
    addRow(QStringLiteral("Must contain tags:"), tags, tagsMode);

    auto* position = makeCombo("positionCombo", {{QStringLiteral("Start at"), 0}, {QStringLiteral("End at"), 1}});
    auto* valueType = makeCombo("valueTypeCombo", {{QStringLiteral("seconds"), 0},
                                                   {QStringLiteral("Intro"), 1},
                                                   {QStringLiteral("Fade In"), 2}});
    // A stored value outside a combo's items leaves it without a current item.
    position->setCurrentIndex(rule.position);
    valueType->setCurrentIndex(rule.posValue);
    addRow(QStringLiteral("Position:"), position, valueType);

    auto* seconds = new QDoubleSpinBox;
    seconds->setObjectName(QStringLiteral("secondsSpin"));
    seconds->setRange(0.0, 60.0);
    seconds->setDecimals(1);
    seconds->setSuffix(QStringLiteral(" sec"));
    seconds->setToolTip(QStringLiteral("Used when the value type above is 'seconds'."));
    seconds->setValue(rule.positionSecs);
    seconds->setEnabled(rule.posValue == 0);
    grid->addWidget(new QLabel, row, 0);
    grid->addWidget(seconds, row, 2);
    layout->addLayout(grid);

    auto* group = new QGroupBox(QStringLiteral("Intro tracks (files, folders or playlists)"));
    auto* groupLayout = new QVBoxLayout(group);
    auto* sources = new QPlainTextEdit(rule.sources.join(QLatin1Char('\n')));
    sources->setObjectName(QStringLiteral("sourcesEdit"));
    sources->setPlaceholderText(QStringLiteral("One path per line. A folder or playlist picks one jingle at random."));
    sources->setMaximumHeight(90);
    groupLayout->addWidget(sources);
    auto* sourceButtons = new QHBoxLayout;
    auto* addFile = makeButton(QStringLiteral("Add file..."), "addFileButton");
    auto* addFolder = makeButton(QStringLiteral("Add folder..."), "addFolderButton");
    sourceButtons->addWidget(addFile);
    sourceButtons->addWidget(addFolder);
    sourceButtons->addStretch();
    groupLayout->addLayout(sourceButtons);
    layout->addWidget(group);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    layout->addWidget(buttons);

    connect(valueType, &QComboBox::currentIndexChanged, &editor,
            [valueType, seconds] { seconds->setEnabled(valueType->currentData() == QVariant(0)); });
    connect(addFile, &QPushButton::clicked, &editor, [&editor, sources] {
        const QStringList files = Prompts::openFileNames(
            &editor, QStringLiteral("Intro tracks"), {},
            AudioFiles::dialogFilter(QStringLiteral("Audio/playlists"),
                                     {QStringLiteral("*.m3u"), QStringLiteral("*.m3u8")}));
        for (const QString& f : files)
            sources->appendPlainText(f);
    });
    connect(addFolder, &QPushButton::clicked, &editor, [&editor, sources] {
        const QString folder = Prompts::existingDirectory(&editor, QStringLiteral("Jingle folder"));
        if (!folder.isEmpty())
            sources->appendPlainText(folder);
    });
    connect(buttons, &QDialogButtonBox::accepted, &editor, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &editor, &QDialog::reject);

    if (Prompts::exec(editor) != QDialog::Accepted) {
        // A rule that was added and never given a source is dropped.
        if (rule.name.startsWith(kNewRulePrefix) && rule.sources.isEmpty())
            m_store.rules.removeAt(index);
        refresh();
        return;
    }

    AutoIntroRule& r = m_store.rules[index];
    r.name = name->text().trimmed();
    r.enabled = enabled->isChecked();
    r.probability = probability->value();
    r.cooldownSecs = cooldown->value();
    r.condField = condField->currentData().toString();
    r.condValue = condValue->text().trimmed();
    r.skipAfterTypes = splitList(skipAfter->text(), false);
    r.skipFileTypes = splitList(skipFile->text(), false);
    r.mustTags = splitList(tags->text(), true);
    r.tagsMatchAll = tagsMode->currentData().toBool();
    r.position = position->currentData().toInt();
    r.posValue = valueType->currentData().toInt();
    r.positionSecs = seconds->value();
    r.sources.clear();
    for (const QString& line : sources->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.trimmed().isEmpty())
            r.sources.append(line.trimmed());
    }
    refresh();
}
