#include "dialogs/relaydialog.h"
#include "library/appsettings.h"

#include "engine/audioengine.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

RelayDialog::RelayDialog(AudioEngine* engine, std::function<bool()> lineInRelay,
                         std::function<void(const QString&)> runCommand, QWidget* parent)
    : QDialog(parent)
    , m_engine(engine)
    , m_lineInRelay(std::move(lineInRelay))
    , m_runCommand(std::move(runCommand))
{
    setWindowTitle(QStringLiteral("Relay"));
    setMinimumWidth(460);
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Relay a network stream as the on-air source, overriding the playlist. "
                                            "If the stream drops, playback falls back to the playlist and the relay "
                                            "reconnects automatically."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    const QSettings settings;
    auto* urlRow = new QHBoxLayout;
    urlRow->addWidget(new QLabel(QStringLiteral("Stream URL:")));
    auto* url = new QLineEdit(Setting::RelayLastUrl.read(settings));
    url->setPlaceholderText(QStringLiteral("http://stream.example.org:8000/stream"));
    urlRow->addWidget(url, 1);
    layout->addLayout(urlRow);

    auto* startNext = new QCheckBox(QStringLiteral("Start next song in the playlist when relay stops"));
    startNext->setChecked(Setting::RelayStartNextOnStop.read(settings));
    layout->addWidget(startNext);

    m_status = new QLabel;
    m_status->setStyleSheet(QStringLiteral("color:#555;"));
    layout->addWidget(m_status);

    auto* buttons = new QHBoxLayout;
    auto* relayStream = new QPushButton(QStringLiteral("Relay stream"));
    auto* relayLine = new QPushButton(QStringLiteral("Relay line input 1"));
    m_stop = new QPushButton(QStringLiteral("Stop relay"));
    buttons->addWidget(relayStream);
    buttons->addWidget(relayLine);
    buttons->addStretch();
    buttons->addWidget(m_stop);
    layout->addLayout(buttons);
    auto* box = new QDialogButtonBox(QDialogButtonBox::Close);
    layout->addWidget(box);
    refresh();

    connect(startNext, &QCheckBox::toggled, this,
            [](bool on) { Setting::RelayStartNextOnStop.write(on); });
    connect(relayStream, &QPushButton::clicked, this, [this, url] {
        const QString address = url->text().trimmed();
        if (address.isEmpty())
            return;
        Setting::RelayLastUrl.write(address);
        run(QStringLiteral("relaystart ") + address);
    });
    connect(relayLine, &QPushButton::clicked, this, [this] { run(QStringLiteral("relaystart 1")); });
    connect(m_stop, &QPushButton::clicked, this, [this] { run(QStringLiteral("relaystop")); });
    connect(m_engine, &AudioEngine::relayStateChanged, this, &RelayDialog::refresh);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void RelayDialog::run(const QString& command)
{
    m_runCommand(command);
    refresh();
}

void RelayDialog::refresh()
{
    const bool line = m_lineInRelay();
    const bool relaying = line || m_engine->isRelaying();
    m_status->setText(!relaying ? QStringLiteral("Not relaying.")
                                : QStringLiteral("Relaying: %1")
                                      .arg(line ? QStringLiteral("line input 1") : m_engine->relaySource()));
    m_stop->setEnabled(relaying);
}
