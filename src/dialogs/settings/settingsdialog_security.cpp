#include "dialogs/settings/settingsdialog.h"

#include "library/security.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

void addAreaGroup(QVBoxLayout* layout, const QString& title, Security::Area area, QLineEdit*& field,
                  QCheckBox*& remove)
{
    auto* box = new QGroupBox(title);
    auto* grid = new QGridLayout(box);
    grid->addWidget(new QLabel(Security::isProtected(area) ? QStringLiteral("Status: protected")
                                                           : QStringLiteral("Status: not protected")),
                    0, 0, 1, 2);
    field = new QLineEdit;
    field->setEchoMode(QLineEdit::Password);
    field->setPlaceholderText(QStringLiteral("leave blank to keep current"));
    grid->addWidget(new QLabel(QStringLiteral("New password:")), 1, 0);
    grid->addWidget(field, 1, 1);
    remove = new QCheckBox(QStringLiteral("Remove password (no protection)"));
    grid->addWidget(remove, 2, 0, 1, 2);
    layout->addWidget(box);
}

void savePassword(Security::Area area, const QLineEdit* field, const QCheckBox* remove)
{
    if (remove->isChecked())
        Security::setPassword(area, QString());
    else if (!field->text().isEmpty())
        Security::setPassword(area, field->text());
}

} // namespace

QWidget* SettingsDialog::makeSecurityPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Security / User access</b>")));
    layout->addWidget(wrapped(QStringLiteral(
        "Independently password-protect the Settings and Event Scheduler. Anyone can run the station, but "
        "opening a protected area asks for its\npassword — so some operators can edit events while others "
        "manage settings. Leave a field blank to keep the current password.")));
    addAreaGroup(layout, QStringLiteral("Settings"), Security::Settings, m_passwords.settingsPassword,
                 m_passwords.settingsRemove);
    addAreaGroup(layout, QStringLiteral("Event Scheduler"), Security::Scheduler, m_passwords.schedulerPassword,
                 m_passwords.schedulerRemove);
    named(m_passwords.settingsPassword, "security/settingsPassword");
    named(m_passwords.settingsRemove, "security/settingsRemove");
    named(m_passwords.schedulerPassword, "security/schedulerPassword");
    named(m_passwords.schedulerRemove, "security/schedulerRemove");
    layout->addStretch();
    return page;
}

void SettingsDialog::saveSecurity() const
{
    savePassword(Security::Settings, m_passwords.settingsPassword, m_passwords.settingsRemove);
    savePassword(Security::Scheduler, m_passwords.schedulerPassword, m_passwords.schedulerRemove);
}
