#include "dialogs/settings/settingsdialog.h"

#include "dialogs/prompts.h"
#include "library/appsettings.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

// Letters and digits that cannot be mistaken for one another when read out.
const QString& passwordAlphabet()
{
    static const QString alphabet = QStringLiteral("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789");
    return alphabet;
}

QString generatePassword()
{
    const QString& alphabet = passwordAlphabet();
    QString out;
    while (out.size() < 12) {
        // Six bits cover the alphabet; drawing again keeps the choice uniform.
        const quint64 draw = QRandomGenerator::global()->generate64() & 0x3f;
        if (draw < quint64(alphabet.size()))
            out += alphabet.at(qsizetype(draw));
    }
    return out;
}

QLineEdit* fileField(QWidget* parent, QGridLayout* grid, int row, const QString& label, const QString& placeholder,
                     const QString& caption, const QString& filter)
{
    auto* field = new QLineEdit;
    field->setPlaceholderText(placeholder);
    auto* browse = new QPushButton(QStringLiteral("Browse..."));
    QObject::connect(browse, &QPushButton::clicked, field, [=] {
        const QString file = Prompts::openFileName(parent, caption, QString(), filter);
        if (!file.isEmpty())
            field->setText(file);
    });
    grid->addWidget(new QLabel(label), row, 0);
    grid->addWidget(field, row, 1);
    grid->addWidget(browse, row, 2);
    return field;
}

} // namespace

QWidget* SettingsDialog::makeApiPage()
{
    const QSettings s;
    Api& a = m_api;
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Remote Control API</b>")));
    layout->addWidget(wrapped(QStringLiteral("Control Orchidlantern over HTTP using the same commands as the scheduler.")));
    a.enabled = named(new QCheckBox(QStringLiteral("Enable Remote Control")), "api/enabled");
    a.enabled->setChecked(Setting::ApiEnabled.read(s));
    layout->addWidget(a.enabled);

    auto* grid = new QGridLayout;
    a.port = named(new QSpinBox, "api/port");
    a.port->setRange(1, 65535);
    a.port->setValue(Setting::ApiPort.read(s));
    grid->addWidget(new QLabel(QStringLiteral("Listen on port:")), 0, 0);
    grid->addWidget(a.port, 0, 1);
    a.localhostOnly = named(new QCheckBox(QStringLiteral("Allow connections from this computer only")),
                            "api/localhostOnly");
    a.localhostOnly->setChecked(Setting::ApiLocalhostOnly.read(s));
    grid->addWidget(a.localhostOnly, 1, 0, 1, 2);

    a.password = named(new QLineEdit(Setting::ApiPassword.read(s)), "api/password");
    a.password->setPlaceholderText(QStringLiteral("required for remote requests"));
    auto* generate = new QPushButton(QStringLiteral("Generate"));
    connect(generate, &QPushButton::clicked, this, [this] { m_api.password->setText(generatePassword()); });
    grid->addWidget(new QLabel(QStringLiteral("Password:")), 2, 0);
    grid->addWidget(a.password, 2, 1);
    grid->addWidget(generate, 2, 2);
    a.username = named(new QLineEdit(Setting::ApiUsername.read(s)), "api/username");
    a.username->setPlaceholderText(QStringLiteral("optional; when set, requests need user="));
    grid->addWidget(new QLabel(QStringLiteral("User name:")), 3, 0);
    grid->addWidget(a.username, 3, 1, 1, 2);

    a.https = named(new QCheckBox(QStringLiteral("Serve over HTTPS (TLS)")), "api/https");
    a.https->setChecked(Setting::ApiHttps.read(s));
    grid->addWidget(a.https, 4, 0, 1, 3);
    a.certFile = named(fileField(this, grid, 5, QStringLiteral("Certificate (PEM):"),
                                 QStringLiteral("path to certificate .pem"), QStringLiteral("TLS certificate"),
                                 QStringLiteral("PEM (*.pem *.crt *.cer)")),
                       "api/certFile");
    a.keyFile = named(fileField(this, grid, 6, QStringLiteral("Private key (PEM):"),
                                QStringLiteral("path to RSA private key .pem"), QStringLiteral("TLS private key"),
                                QStringLiteral("PEM (*.pem *.key)")),
                      "api/keyFile");
    a.certFile->setText(Setting::ApiCertFile.read(s));
    a.keyFile->setText(Setting::ApiKeyFile.read(s));
    layout->addLayout(grid);

    a.example = named(new QLabel, "api/example");
    a.example->setTextFormat(Qt::RichText);
    a.example->setTextInteractionFlags(Qt::TextSelectableByMouse);
    a.example->setWordWrap(true);
    a.example->setStyleSheet(QStringLiteral("color:#555;"));
    layout->addWidget(a.example);
    layout->addWidget(wrapped(QStringLiteral("<i>Commands are the same as the scheduler's. Requests must be "
                                                "URL-encoded and sent in UTF-8.</i>")));
    layout->addStretch();

    const auto applyHttps = [this](bool on) {
        m_api.certFile->setEnabled(on);
        m_api.keyFile->setEnabled(on);
    };
    applyHttps(a.https->isChecked());
    connect(a.https, &QCheckBox::toggled, this, applyHttps);
    connect(a.https, &QCheckBox::toggled, this, &SettingsDialog::updateApiExample);
    connect(a.localhostOnly, &QCheckBox::toggled, this, &SettingsDialog::updateApiExample);
    connect(a.port, &QSpinBox::valueChanged, this, &SettingsDialog::updateApiExample);
    connect(a.password, &QLineEdit::textChanged, this, &SettingsDialog::updateApiExample);
    connect(a.username, &QLineEdit::textChanged, this, &SettingsDialog::updateApiExample);
    updateApiExample();
    return page;
}

void SettingsDialog::updateApiExample()
{
    // Everything that goes into the rich text is escaped, so that a host in
    // angle brackets, or a "<" or "&" in a password, shows as typed.
    const QString scheme = m_api.https->isChecked() ? QStringLiteral("https") : QStringLiteral("http");
    const QString host = m_api.localhostOnly->isChecked() ? QStringLiteral("127.0.0.1")
                                                          : QStringLiteral("<this-pc>").toHtmlEscaped();
    const QString password = m_api.password->text().isEmpty() ? QStringLiteral("PASSWORD")
                                                              : m_api.password->text().toHtmlEscaped();
    const QString user = m_api.username->text().isEmpty()
                             ? QString()
                             : QStringLiteral("user=") + m_api.username->text().toHtmlEscaped() + QStringLiteral("&amp;");
    const QString text =
        QStringLiteral("<b>Examples</b><br>Next track: <code>%1://%2:%3/?%4pass=%5&amp;cmd=next</code><br>"
                       "Play track 1: <code>%1://%2:%3/?%4pass=%5&amp;cmd=play%201</code><br>"
                       "Playback info: <code>%1://%2:%3/?%4pass=%5&amp;action=playbackinfo</code>")
            .arg(scheme, host)
            .arg(m_api.port->value())
            .arg(user, password);
    m_api.example->setText(text);
}

void SettingsDialog::saveApi(QSettings& settings) const
{
    Setting::ApiEnabled.write(settings, m_api.enabled->isChecked());
    Setting::ApiPort.write(settings, m_api.port->value());
    Setting::ApiLocalhostOnly.write(settings, m_api.localhostOnly->isChecked());
    Setting::ApiPassword.write(settings, m_api.password->text());
    Setting::ApiUsername.write(settings, m_api.username->text());
    Setting::ApiHttps.write(settings, m_api.https->isChecked());
    Setting::ApiCertFile.write(settings, m_api.certFile->text());
    Setting::ApiKeyFile.write(settings, m_api.keyFile->text());
}
