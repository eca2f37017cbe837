#pragma once

#include "library/generatorrules.h"
#include "library/track.h"

#include <QDialog>
#include <QList>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QRandomGenerator64;
class QSpinBox;

// Builds a playlist of a target length from a rotation of music libraries,
// under the generator's separation, priority and filter rules.
class PlaylistGeneratorDialog : public QDialog
{
    Q_OBJECT

public:
    // random: the source of the weighted and fallback draws; the global
    // generator when null.
    explicit PlaylistGeneratorDialog(QWidget* parent = nullptr, QRandomGenerator64* random = nullptr);

signals:
    void playlistGenerated(const QList<Track>& tracks);

public slots:
    void addToRotation();
    void removeFromRotation();
    void moveRotationUp();
    void moveRotationDown();
    void generate();
    void updateEstimate();

private:
    GeneratorRules rulesFromControls() const;
    void tell(const QString& text);

    QListWidget* m_libraryList = nullptr;
    QListWidget* m_rotationList = nullptr;
    QSpinBox* m_hours = nullptr;
    QSpinBox* m_minutes = nullptr;
    QCheckBox* m_avoidArtist = nullptr;
    QSpinBox* m_avoidArtistCount = nullptr;
    QSpinBox* m_artistSeparation = nullptr;
    QSpinBox* m_titleSeparation = nullptr;
    QSpinBox* m_albumSeparation = nullptr;
    QCheckBox* m_favourRated = nullptr;
    QSpinBox* m_minRating = nullptr;
    QLineEdit* m_includeTags = nullptr;
    QLineEdit* m_excludeTags = nullptr;
    QLineEdit* m_genres = nullptr;
    QSpinBox* m_yearFrom = nullptr;
    QSpinBox* m_yearTo = nullptr;
    QPlainTextEdit* m_cannotFollow = nullptr;
    QLabel* m_estimate = nullptr;
    QRandomGenerator64* m_random = nullptr;
};
