#pragma once

#include <QAudioDevice>
#include <QDialog>
#include <QList>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QKeySequence;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QTableWidget;
class QTreeWidget;

// The one dialog in which the operator edits the station's settings: a tree
// of page names on the left, the chosen page on the right. Every page is
// filled from the settings when the dialog opens and written back on OK,
// except the hot keys, which are stored as they change.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // Selects a top-level page by its name, in any letter case.
    void showPage(const QString& name);

signals:
    void settingsChanged();

private:
    void loadSettings();
    void saveSettings();

    QWidget* makeGeneralPage();
    QWidget* makePlaybackPage();
    QWidget* makeFadingPage();
    QWidget* makeInputPage();
    QWidget* makeBroadcastPage();
    QWidget* makeNowPlayingPage();
    QWidget* makeSilencePage();
    QWidget* makeDtmfPage();
    QWidget* makeHotKeysPage();
    QWidget* makeApiPage();
    QWidget* makeSecurityPage();

    // The pages' own blocks of loadSettings and saveSettings.
    void loadSilence();
    void saveNowPlaying() const;
    void saveApi(QSettings& settings) const;
    void saveDtmf(QSettings& settings) const;
    void saveSecurity() const;
    void saveBroadcast() const;
    void saveSilence() const;

    void updateNowPlayingPreview();
    void updateApiExample();
    QString selectedHotKey() const;
    void assignHotKey();
    void applyHotKey(const QKeySequence& sequence);
    void resetHotKeys();

    // A label for a sentence or two, wrapped to the page's width.
    static QLabel* wrapped(const QString& text);
    // The first item whose data is the text; the first item when none is.
    static void selectByData(QComboBox* list, const QString& value);
    // Edited controls carry their settings key as object name.
    template <class W>
    static W* named(W* widget, const char* name)
    {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    }

    QTreeWidget* m_tree = nullptr;
    QStackedWidget* m_stack = nullptr;

    struct General
    {
        QSlider* volume = nullptr;
        QLabel* volumeLabel = nullptr;
        QCheckBox* resumeOnStart = nullptr;
        QCheckBox* autoPlayNext = nullptr;
        QCheckBox* clock24h = nullptr;
        QCheckBox* checkUpdates = nullptr;
        QLineEdit* updateUrl = nullptr;
        QLineEdit* voiceTrackFolder = nullptr;
        QLineEdit* city = nullptr;
        QLineEdit* latitude = nullptr;
        QLineEdit* longitude = nullptr;
        QLineEdit* placeLabel = nullptr;
        QComboBox* windUnit = nullptr;
        QComboBox* rainUnit = nullptr;
    } m_general;

    struct Dtmf
    {
        QComboBox* source = nullptr;
        QLineEdit* url = nullptr;
        QSpinBox* minLevel = nullptr;
        QSpinBox* beforeMin = nullptr;
        QSpinBox* afterMin = nullptr;
        QSpinBox* delaySec = nullptr;
    } m_dtmf;

    struct Api
    {
        QCheckBox* enabled = nullptr;
        QSpinBox* port = nullptr;
        QCheckBox* localhostOnly = nullptr;
        QLineEdit* password = nullptr;
        QLineEdit* username = nullptr;
        QCheckBox* https = nullptr;
        QLineEdit* certFile = nullptr;
        QLineEdit* keyFile = nullptr;
        QLabel* example = nullptr;
    } m_api;

    struct NowPlaying
    {
        QCheckBox* enabled = nullptr;
        QLineEdit* path = nullptr;
        QLineEdit* format = nullptr;
        QSpinBox* maxLength = nullptr;
        QCheckBox* padForRds = nullptr;
        QLineEdit* whenStopped = nullptr;
        QLabel* preview = nullptr;
    } m_nowPlaying;

    struct Silence
    {
        QCheckBox* enabled = nullptr;
        QSlider* timeout = nullptr;
        QLabel* timeoutLabel = nullptr;
        QComboBox* action = nullptr;
        QLineEdit* playlist = nullptr;
        QPushButton* browse = nullptr;
        QSlider* threshold = nullptr;
        QLabel* thresholdLabel = nullptr;
    } m_silence;

    QTableWidget* m_hotKeys = nullptr;

    struct Passwords
    {
        QLineEdit* settingsPassword = nullptr;
        QLineEdit* schedulerPassword = nullptr;
        QCheckBox* settingsRemove = nullptr;
        QCheckBox* schedulerRemove = nullptr;
    } m_passwords;

    struct Broadcast
    {
        QLineEdit* host = nullptr;
        QLineEdit* port = nullptr;
        QLineEdit* mount = nullptr;
        QLineEdit* username = nullptr;
        QLineEdit* password = nullptr;
        QComboBox* sampleRate = nullptr;
        QComboBox* bitrate = nullptr;
        QComboBox* channels = nullptr;
        QComboBox* inputDevice = nullptr;
        QCheckBox* internalMix = nullptr;
        QLineEdit* name = nullptr;
        QLineEdit* genre = nullptr;
        QLineEdit* url = nullptr;
        QLineEdit* description = nullptr;
        QCheckBox* isPublic = nullptr;
        QGroupBox* server = nullptr;
        QSpinBox* serverPort = nullptr;
        QSpinBox* serverMaxListeners = nullptr;
        QComboBox* serverBitrate = nullptr;
    } m_broadcast;

    QComboBox* m_outputDevice = nullptr;
    QComboBox* m_micDevice = nullptr;
    QComboBox* m_lineInDevice = nullptr;

    struct Fading
    {
        QCheckBox* crossfade = nullptr;
        QSpinBox* fadeIn = nullptr;
        QSpinBox* fadeOut = nullptr;
    } m_fading;
};
