#pragma once

#include <QDialog>
#include <QString>
#include <QTemporaryDir>

class QAudioOutput;
class QLabel;
class QLineEdit;
class QMediaPlayer;
class QPushButton;
class QTimer;
class StreamArchive;
class WaveformView;

// The voice-track recorder: records a take from the microphone into a
// temporary MP3, plays it, trims it to a selection of its waveform or cuts
// the selection out, and saves it into the voice-track folder. Owns the
// setting of that folder, which the settings dialog, the main window and the
// teaser builder share.
class VoiceTrackDialog : public QDialog
{
    Q_OBJECT

public:
    explicit VoiceTrackDialog(QWidget* parent = nullptr);
    ~VoiceTrackDialog() override;

    // The stored folder as it is, or the default folder when none is stored;
    // not created here.
    static QString voiceTrackFolder();
    // An empty folder brings the default back.
    static void setVoiceTrackFolder(const QString& folder);

    // The saved file after Accepted; empty otherwise.
    QString savedPath() const { return m_savedPath; }
    // Where this dialog keeps its take: in a folder of its own that only
    // this user can enter, removed with the dialog. Empty when no such
    // folder could be made.
    QString takePath() const { return m_tempPath; }

    void loadWaveform();
    void updateState();
    // true keeps the selection, false cuts it out.
    void applyTrim(bool keepSelection);

private:
    void toggleRecord();
    void togglePlay();
    void save();
    // Lets go of the take, so that it can be deleted or replaced.
    void releaseTake();

    StreamArchive* m_recorder = nullptr;
    QMediaPlayer* m_player = nullptr;
    QAudioOutput* m_audioOutput = nullptr;
    QPushButton* m_recordButton = nullptr;
    QPushButton* m_playButton = nullptr;
    QPushButton* m_saveButton = nullptr;
    QLabel* m_statusLabel = nullptr;
    QLineEdit* m_nameEdit = nullptr;
    QTimer* m_stateTimer = nullptr;
    QTemporaryDir m_takeFolder;
    QString m_tempPath;
    QString m_savedPath;
    WaveformView* m_waveform = nullptr;
    QLabel* m_hintLabel = nullptr;
    QPushButton* m_trimButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    // A decode or render is running in a local event loop.
    bool m_busy = false;
};
