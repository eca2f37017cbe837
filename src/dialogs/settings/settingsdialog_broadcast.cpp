#include "dialogs/settings/settingsdialog.h"

#include "dialogs/devicelist.h"

#include "library/appsettings.h"
#include "outputs/broadcastservice.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMediaDevices>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

const QStringList kBitrates{QStringLiteral("64"),  QStringLiteral("96"),  QStringLiteral("128"),
                            QStringLiteral("192"), QStringLiteral("256"), QStringLiteral("320")};

QComboBox* numberList(const QStringList& items, int value)
{
    auto* list = new QComboBox;
    list->addItems(items);
    // A number the list does not offer leaves the first item.
    const int at = list->findText(QString::number(value), Qt::MatchExactly);
    if (at >= 0)
        list->setCurrentIndex(at);
    return list;
}

QGridLayout* groupGrid(QVBoxLayout* layout, QGroupBox* box)
{
    layout->addWidget(box);
    return new QGridLayout(box);
}

// A label and its field in two neighbouring columns of a grid row.
void addField(QGridLayout* grid, int row, int column, const QString& label, QWidget* field, int span = 1)
{
    grid->addWidget(new QLabel(label), row, column);
    grid->addWidget(field, row, column + 1, 1, span);
}

} // namespace

QWidget* SettingsDialog::makeBroadcastPage()
{
    const BroadcastConfig c = BroadcastService::configFromSettings();
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<b>Broadcast (Icecast / compatible)</b>")));
    layout->addWidget(wrapped(
        BroadcastService::encoderAvailable()
            ? QStringLiteral("Stream your output to an Icecast server. Start/stop from Broadcast → Start Broadcasting.")
            : QStringLiteral("<i>ffmpeg was not found; install it (e.g. winget install ffmpeg) - broadcasting is "
                             "disabled.</i>")));

    Broadcast& b = m_broadcast;
    QGridLayout* server = groupGrid(layout, new QGroupBox(QStringLiteral("Server")));
    b.host = named(new QLineEdit(c.host), "broadcast/host");
    b.port = named(new QLineEdit(QString::number(c.port)), "broadcast/port");
    b.mount = named(new QLineEdit(c.mount), "broadcast/mount");
    b.username = named(new QLineEdit(c.username), "broadcast/username");
    b.password = named(new QLineEdit(c.password), "broadcast/password");
    b.password->setEchoMode(QLineEdit::Password);
    addField(server, 0, 0, QStringLiteral("Address:"), b.host);
    addField(server, 0, 2, QStringLiteral("Port:"), b.port);
    addField(server, 1, 0, QStringLiteral("Mount:"), b.mount);
    addField(server, 2, 0, QStringLiteral("Username:"), b.username);
    addField(server, 2, 2, QStringLiteral("Password:"), b.password);

    QGridLayout* format = groupGrid(layout, new QGroupBox(QStringLiteral("Format")));
    b.sampleRate = named(numberList({QStringLiteral("22050"), QStringLiteral("44100"), QStringLiteral("48000")},
                                    c.sampleRate),
                         "broadcast/sampleRate");
    b.bitrate = named(numberList(kBitrates, c.bitrate), "broadcast/bitrate");
    b.channels = named(new QComboBox, "broadcast/channels");
    b.channels->addItem(QStringLiteral("Stereo"), 2);
    b.channels->addItem(QStringLiteral("Mono"), 1);
    b.channels->setCurrentIndex(c.channels == 1 ? 1 : 0);
    b.inputDevice = named(DeviceList::create(QMediaDevices::audioInputs()), "broadcast/inputDevice");
    DeviceList::select(b.inputDevice, c.inputDevice);
    b.internalMix = named(
        new QCheckBox(QStringLiteral("Broadcast this application's own on-air mix (no soundcard loopback needed)")),
        "broadcast/internalMix");
    b.internalMix->setChecked(c.internalMix);
    b.inputDevice->setEnabled(!c.internalMix);
    connect(b.internalMix, &QCheckBox::toggled, b.inputDevice, [this](bool on) {
        m_broadcast.inputDevice->setEnabled(!on);
    });
    addField(format, 0, 0, QStringLiteral("Sample rate:"), b.sampleRate);
    addField(format, 0, 2, QStringLiteral("Bitrate (kbps):"), b.bitrate);
    addField(format, 1, 0, QStringLiteral("Channels:"), b.channels);
    addField(format, 1, 2, QStringLiteral("Encoder:"), new QLabel(QStringLiteral("MP3 (FFmpeg)")));
    addField(format, 2, 0, QStringLiteral("Source device:"), b.inputDevice, 3);
    format->addWidget(b.internalMix, 3, 0, 1, 4);

    QGridLayout* info = groupGrid(layout, new QGroupBox(QStringLiteral("Station info")));
    b.name = named(new QLineEdit(c.name), "broadcast/name");
    b.genre = named(new QLineEdit(c.genre), "broadcast/genre");
    b.url = named(new QLineEdit(c.url), "broadcast/url");
    b.description = named(new QLineEdit(c.description), "broadcast/description");
    b.isPublic = named(new QCheckBox(QStringLiteral("List on public directory (Ice-Public)")), "broadcast/public");
    b.isPublic->setChecked(c.isPublic);
    addField(info, 0, 0, QStringLiteral("Name:"), b.name, 3);
    addField(info, 1, 0, QStringLiteral("Genre:"), b.genre);
    addField(info, 1, 2, QStringLiteral("URL:"), b.url);
    addField(info, 2, 0, QStringLiteral("Description:"), b.description, 3);
    info->addWidget(b.isPublic, 3, 0, 1, 4);

    const QSettings s;
    b.server = named(new QGroupBox(QStringLiteral("Built-in server (listeners connect directly)")), "server/enabled");
    b.server->setCheckable(true);
    b.server->setChecked(Setting::ServerEnabled.read(s));
    auto* serverLayout = new QVBoxLayout(b.server);
    serverLayout->addWidget(wrapped(QStringLiteral(
        "Serves the on-air mix as MP3 to listeners at <code>http://&lt;this-pc&gt;:port/</code>. Intended for a "
        "LAN or relaying between affiliate stations, not public internet radio.")));
    auto* serverGrid = new QGridLayout;
    serverLayout->addLayout(serverGrid);
    b.serverPort = named(new QSpinBox, "server/port");
    b.serverPort->setRange(1, 65535);
    b.serverPort->setValue(Setting::ServerPort.read(s));
    b.serverMaxListeners = named(new QSpinBox, "server/maxListeners");
    b.serverMaxListeners->setRange(1, 1000);
    b.serverMaxListeners->setValue(Setting::ServerMaxListeners.readInt());
    b.serverBitrate = named(numberList(kBitrates, Setting::ServerBitrate.readInt()),
                            "server/bitrate");
    addField(serverGrid, 0, 0, QStringLiteral("Port:"), b.serverPort);
    addField(serverGrid, 0, 2, QStringLiteral("Max listeners:"), b.serverMaxListeners);
    addField(serverGrid, 1, 0, QStringLiteral("Bitrate (kbps):"), b.serverBitrate);
    layout->addWidget(b.server);
    layout->addStretch();
    return page;
}

void SettingsDialog::saveBroadcast() const
{
    const Broadcast& b = m_broadcast;
    BroadcastConfig c;
    c.host = b.host->text().trimmed();
    bool ok = false;
    c.port = b.port->text().toInt(&ok, 10);
    if (!ok)
        c.port = 0;
    c.mount = b.mount->text().trimmed();
    c.username = b.username->text().trimmed();
    c.password = b.password->text();
    c.sampleRate = b.sampleRate->currentText().toInt();
    c.bitrate = b.bitrate->currentText().toInt();
    c.channels = b.channels->currentData().toInt();
    c.name = b.name->text();
    c.genre = b.genre->text();
    c.url = b.url->text();
    c.description = b.description->text();
    c.isPublic = b.isPublic->isChecked();
    c.inputDevice = b.inputDevice->currentData().toString();
    c.internalMix = b.internalMix->isChecked();
    BroadcastService::saveConfig(c);

    if (!b.server)
        return;
    QSettings s;
    Setting::ServerEnabled.write(s, b.server->isChecked());
    Setting::ServerPort.write(s, b.serverPort->value());
    Setting::ServerMaxListeners.write(s, b.serverMaxListeners->value());
    Setting::ServerBitrate.write(s, b.serverBitrate->currentText().toInt());
    Setting::ServerName.write(s, b.name->text());
    Setting::ServerGenre.write(s, b.genre->text());
}
