#pragma once

#include "automation/teaserconfig.h"

#include <QDialog>
#include <QString>

#include <functional>

class PlaylistModel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

// Builds a teaser of the tracks coming up after the current row of the
// on-air playlist, saves it as a file and inserts it as the next row.
class TeaserDialog : public QDialog
{
    Q_OBJECT

public:
    // currentRow tells the row on air now (below 0: none).
    TeaserDialog(PlaylistModel* onAir, std::function<int()> currentRow, QWidget* parent = nullptr);

signals:
    void logMessage(const QString& text);

private:
    void refresh();
    void buildAndInsert();

    PlaylistModel* m_onAir;
    std::function<int()> m_currentRow;
    TeaserConfig m_config;
    QLineEdit* m_jingles[3] = {};
    QSpinBox* m_tracks = nullptr;
    QSpinBox* m_hookSecs = nullptr;
    QListWidget* m_preview = nullptr;
    QPushButton* m_build = nullptr;
};
