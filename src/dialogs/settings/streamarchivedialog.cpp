#include "dialogs/settings/streamarchivedialog.h"

#include "dialogs/devicelist.h"
#include "dialogs/prompts.h"
#include "outputs/streamarchive.h"

#include <QAudioDevice>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

StreamArchiveDialog::StreamArchiveDialog(StreamArchive* recorder, QWidget* parent)
    : QDialog(parent)
    , m_recorder(recorder)
{
    setWindowTitle(QStringLiteral("Stream Archive"));
    setMinimumWidth(520);
    const ArchiveConfig config = m_recorder->config();
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(
        QStringLiteral("Record your broadcast to MP3 files, for archiving or to prepare prerecorded shows."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* output = new QGroupBox(QStringLiteral("Output"));
    auto* grid = new QGridLayout(output);
    m_folder = new QLineEdit(config.folder.isEmpty()
                                 ? QStandardPaths::writableLocation(QStandardPaths::MusicLocation)
                                 : config.folder);
    auto* browse = new QPushButton(QStringLiteral("Browse..."));
    m_pattern = new QLineEdit(config.namePattern);
    m_pattern->setToolTip(
        QStringLiteral("Date/time pattern. Literal text must be in 'single quotes', e.g. 'Show_'yyyy-MM-dd_HH-mm"));
    m_example = new QLabel;
    m_example->setStyleSheet(QStringLiteral("color:#666;"));
    m_bitrate = new QComboBox;
    m_bitrate->addItems({QStringLiteral("64"), QStringLiteral("96"), QStringLiteral("128"), QStringLiteral("192"),
                         QStringLiteral("256"), QStringLiteral("320")});
    m_bitrate->setCurrentIndex(qMax(0, m_bitrate->findText(QString::number(config.bitrate))));
    m_split = new QSpinBox;
    m_split->setRange(0, 1440);
    m_split->setSingleStep(1);
    m_split->setSuffix(QStringLiteral(" min"));
    m_split->setSpecialValueText(QStringLiteral("never"));
    m_split->setValue(config.splitMinutes);
    m_split->setToolTip(QStringLiteral("Start a new file at this interval, e.g. 60 for hourly."));
    grid->addWidget(new QLabel(QStringLiteral("Folder:")), 0, 0);
    grid->addWidget(m_folder, 0, 1);
    grid->addWidget(browse, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("File name:")), 1, 0);
    grid->addWidget(m_pattern, 1, 1, 1, 2);
    grid->addWidget(m_example, 2, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Bitrate:")), 3, 0);
    grid->addWidget(m_bitrate, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("Split every:")), 4, 0);
    grid->addWidget(m_split, 4, 1);
    layout->addWidget(output);

    auto* source = new QGroupBox(QStringLiteral("Source"));
    auto* sourceGrid = new QGridLayout(source);
    m_ownMix = new QCheckBox(QStringLiteral("Record this application's own on-air mix"));
    m_ownMix->setChecked(config.internalMix);
    m_captureDevice = DeviceList::create(QMediaDevices::audioInputs());
    DeviceList::select(m_captureDevice, config.inputDevice);
    sourceGrid->addWidget(m_ownMix, 0, 0, 1, 2);
    sourceGrid->addWidget(new QLabel(QStringLiteral("Capture device:")), 1, 0);
    sourceGrid->addWidget(m_captureDevice, 1, 1);
    layout->addWidget(source);

    m_status = new QLabel;
    m_status->setTextFormat(Qt::RichText);
    layout->addWidget(m_status);

    auto* buttons = new QHBoxLayout;
    m_startStop = new QPushButton;
    auto* close = new QPushButton(QStringLiteral("Close"));
    buttons->addWidget(m_startStop);
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);

    m_statusTimer = new QTimer(this);
    connect(browse, &QPushButton::clicked, this, &StreamArchiveDialog::chooseFolder);
    connect(m_pattern, &QLineEdit::textChanged, this, &StreamArchiveDialog::updateExample);
    connect(m_startStop, &QPushButton::clicked, this, &StreamArchiveDialog::startStop);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_recorder, &StreamArchive::recordingChanged, this, &StreamArchiveDialog::updateState);
    connect(m_statusTimer, &QTimer::timeout, this, &StreamArchiveDialog::updateState);
    m_statusTimer->start(1000);

    updateExample();
    updateState();
}

// The recorder belongs to the main window and goes on recording.
StreamArchiveDialog::~StreamArchiveDialog() = default;

void StreamArchiveDialog::chooseFolder()
{
    const QString folder = Prompts::existingDirectory(this, QStringLiteral("Recording folder"), m_folder->text());
    if (!folder.isEmpty())
        m_folder->setText(folder);
}

void StreamArchiveDialog::updateExample()
{
    ArchiveConfig config;
    config.folder = m_folder->text();
    config.namePattern = m_pattern->text();
    const QString path = StreamArchive::buildFileName(config, QDateTime::currentDateTime());
    m_example->setText(QStringLiteral("Example: ") + QFileInfo(path).fileName());
}

void StreamArchiveDialog::startStop()
{
    if (m_recorder->isRecording()) {
        m_recorder->stop();
    } else {
        applyConfig();
        m_recorder->start();
    }
    updateState();
}

void StreamArchiveDialog::applyConfig()
{
    // Sample rate, channels and stop-after have no control: a start from
    // here always records 44.1 kHz stereo until it is stopped.
    ArchiveConfig config;
    config.folder = m_folder->text().trimmed();
    config.namePattern = m_pattern->text().trimmed();
    config.bitrate = m_bitrate->currentText().toInt();
    config.splitMinutes = m_split->value();
    config.internalMix = m_ownMix->isChecked();
    config.inputDevice = m_captureDevice->currentData().toString();
    m_recorder->setConfig(config);
    StreamArchive::saveConfig(config);
}

void StreamArchiveDialog::updateState()
{
    const bool recording = m_recorder->isRecording();
    m_startStop->setText(recording ? QStringLiteral("Stop recording") : QStringLiteral("Start recording"));
    for (QWidget* editor : {static_cast<QWidget*>(m_folder), static_cast<QWidget*>(m_pattern),
                            static_cast<QWidget*>(m_bitrate), static_cast<QWidget*>(m_split),
                            static_cast<QWidget*>(m_ownMix), static_cast<QWidget*>(m_captureDevice)})
        editor->setEnabled(!recording);
    if (recording) {
        // Shown as a clock face from midnight, so it starts over after a day.
        const QString elapsed = QTime(0, 0).addMSecs(m_recorder->recordedMs()).toString(QStringLiteral("HH:mm:ss"));
        m_status->setText(QStringLiteral("<b>Recording</b> %1 &mdash; %2")
                              .arg(QFileInfo(m_recorder->currentFile()).fileName().toHtmlEscaped(), elapsed));
    } else if (StreamArchive::encoderAvailable()) {
        m_status->setText(QStringLiteral("Not recording."));
    } else {
        m_status->setText(QStringLiteral("<i>ffmpeg was not found - recording is unavailable. Install ffmpeg (e.g. "
                                         "winget install ffmpeg).</i>"));
    }
}
