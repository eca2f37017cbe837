#pragma once

#include <QDialog>
#include <QPointer>

class PlaylistModel;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

// Renders a playlist to one audio file with its crossfades and stored
// levels. The work runs off the window's thread, so playout and the window
// carry on while it renders.
class RenderPlaylistDialog : public QDialog
{
    Q_OBJECT

public:
    explicit RenderPlaylistDialog(PlaylistModel* playlist, QWidget* parent = nullptr);

    // Closing waits for a render under way to end.
    void reject() override;

signals:
    void logMessage(const QString& text);

private:
    void render();

    bool m_rendering = false;
    QPointer<PlaylistModel> m_playlist;
    QComboBox* m_format = nullptr;
    QComboBox* m_bitrate = nullptr;
    QSpinBox* m_crossfade = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_render = nullptr;
    QPushButton* m_close = nullptr;
};
