#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;

// The station's segue defaults ("Music"), which the engine reads, and a set
// of override values per file type. OK writes everything shown and emits
// settingsChanged; switching the file type writes the type left at once.
class CrossfadesDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CrossfadesDialog(QWidget* parent = nullptr);

    void loadSettings();
    void saveSettings();
    void loadTypeSettings(const QString& type);
    void saveTypeSettings(const QString& type);
    void syncTypeRow();

signals:
    void settingsChanged();

private:
    void syncMusicRows();

    QCheckBox* m_enableBox = nullptr;
    QCheckBox* m_fadeInBox = nullptr;
    QDoubleSpinBox* m_fadeInSpin = nullptr;
    QCheckBox* m_fadeOutBox = nullptr;
    QDoubleSpinBox* m_fadeOutSpin = nullptr;
    QDoubleSpinBox* m_triggerSpin = nullptr;
    QCheckBox* m_mixBox = nullptr;
    QDoubleSpinBox* m_mixSpin = nullptr;
    QCheckBox* m_triggerBox = nullptr;
    QCheckBox* m_fadeOnMixBox = nullptr;
    QDoubleSpinBox* m_minLengthSpin = nullptr;
    QComboBox* m_typeCombo = nullptr;
    QCheckBox* m_typeOverrideBox = nullptr;
    QDoubleSpinBox* m_typeMixSpin = nullptr;
    QDoubleSpinBox* m_typeFadeSpin = nullptr;
    QCheckBox* m_typePreviousBox = nullptr;
    QString m_currentType;
};
