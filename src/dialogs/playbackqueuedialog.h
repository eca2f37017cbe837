#pragma once

#include <QDialog>

class PlaylistModel;
class QListWidget;

// Shows a playlist's playback queue and lets the operator reorder it,
// remove entries or clear it; the playlist itself is left as it is.
class PlaybackQueueDialog : public QDialog
{
    Q_OBJECT

public:
    explicit PlaybackQueueDialog(PlaylistModel* playlist, QWidget* parent = nullptr);

private:
    void refill(int currentQueueIndex = -1);
    int currentQueueIndex() const;
    void move(int by);

    PlaylistModel* m_playlist;
    QListWidget* m_list = nullptr;
};
