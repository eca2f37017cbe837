#pragma once

#include "library/track.h"
#include "library/trackparams.h"

#include <QDialog>

#include <array>
#include <memory>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QMediaPlayer;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QThread;
class AudioRender;
struct LoudnessAnalysis;
class WaveformView;

// The editor of one file's playout parameters: cue marks placed on its
// waveform, crossfade overrides, level, voice-over and when the playlist
// generator may pick it. OK stores them under the track's file path; the
// caller only learns whether the dialog was accepted, which it is only once
// they are stored.
class TrackToolDialog : public QDialog
{
    Q_OBJECT

public:
    explicit TrackToolDialog(const Track& track, QWidget* parent = nullptr);
    ~TrackToolDialog() override;

    void load();
    // Stores the parameters shown; false (the operator told) when the
    // database refused them.
    bool save();
    void setDaypartAll(bool on);

    void loadWaveform();
    void refreshWaveMarks();
    void placeMark(qint64 ms);

    void editVoiceover();
    void refreshVoiceoverSummary();
    void prelistenVoiceover();

    const TrackParams& params() const { return m_params; }

private:
    void buildDaypartGrid(QWidget* group);
    void showParams();
    void applyEnabling();
    void resetToDefaults();
    void checkHook();
    void measureLoudness();
    void showLoudness(const LoudnessAnalysis& a);
    // Ends a measurement still running; its result is dropped.
    void stopMeasuring();
    void takeSelection(qint64 startMs, qint64 endMs);
    bool hasAudioFile() const;
    // The spins of the seven marks, in the order of the mark chooser.
    std::array<QDoubleSpinBox*, 7> markSpins() const;

    Track m_track;
    TrackParams m_params;
    QDoubleSpinBox* m_startSpin = nullptr;
    QDoubleSpinBox* m_endSpin = nullptr;
    QDoubleSpinBox* m_introSpin = nullptr;
    QDoubleSpinBox* m_outroSpin = nullptr;
    QDoubleSpinBox* m_hookInSpin = nullptr;
    QDoubleSpinBox* m_hookOutSpin = nullptr;
    QLabel* m_hookStatus = nullptr;
    QDoubleSpinBox* m_voiceInsSpin = nullptr;
    WaveformView* m_waveform = nullptr;
    QLabel* m_waveformHint = nullptr;
    QComboBox* m_markChooser = nullptr;
    QPushButton* m_voiceoverButton = nullptr;
    QLabel* m_voiceoverSummary = nullptr;
    QMediaPlayer* m_previewPlayer = nullptr;
    QDoubleSpinBox* m_fadeInSpin = nullptr;
    QDoubleSpinBox* m_mixSpin = nullptr;
    QDoubleSpinBox* m_fadeOutSpin = nullptr;
    QDoubleSpinBox* m_mixStartSpin = nullptr;
    QSpinBox* m_levelSpin = nullptr;
    QPushButton* m_autoButton = nullptr;
    QLabel* m_loudnessStatus = nullptr;
    QThread* m_measuring = nullptr;
    std::shared_ptr<AudioRender> m_render;
    QLineEdit* m_tagsEdit = nullptr;
    QCheckBox* m_disableCheck = nullptr;
    QCheckBox* m_dateRangeCheck = nullptr;
    QDateEdit* m_fromDate = nullptr;
    QDateEdit* m_toDate = nullptr;
    QCheckBox* m_daypartCheck = nullptr;
    QTableWidget* m_daypartGrid = nullptr;
    QLabel* m_stateLabel = nullptr;
};
