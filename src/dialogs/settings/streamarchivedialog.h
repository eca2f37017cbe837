#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;
class StreamArchive;

// Drives the main window's recorder: edits its configuration, starts and
// stops it and mirrors its state. A recording outlives the dialog; the
// edits are applied and stored only when a recording is started here.
class StreamArchiveDialog : public QDialog
{
    Q_OBJECT

public:
    StreamArchiveDialog(StreamArchive* recorder, QWidget* parent = nullptr);
    ~StreamArchiveDialog() override;

private:
    void chooseFolder();
    void updateExample();
    void startStop();
    void applyConfig();
    void updateState();

    StreamArchive* m_recorder;
    QLineEdit* m_folder = nullptr;
    QLineEdit* m_pattern = nullptr;
    QLabel* m_example = nullptr;
    QComboBox* m_bitrate = nullptr;
    QSpinBox* m_split = nullptr;
    QCheckBox* m_ownMix = nullptr;
    QComboBox* m_captureDevice = nullptr;
    QPushButton* m_startStop = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_statusTimer = nullptr;
};
