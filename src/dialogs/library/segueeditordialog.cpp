#include "dialogs/library/segueeditordialog.h"

#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QDoubleSpinBox* secondsSpin(const QString& name)
{
    auto* spin = new QDoubleSpinBox;
    spin->setObjectName(name);
    spin->setRange(0.0, 60.0);
    spin->setDecimals(2);
    spin->setSingleStep(0.25);
    spin->setSuffix(QStringLiteral(" sec"));
    spin->setSpecialValueText(QStringLiteral("inherit"));
    return spin;
}

void seed(QDoubleSpinBox* spin, int ms)
{
    spin->setValue(ms >= 0 ? ms / 1000.0 : 0.0);
}

// 0 ("inherit") means no override; seconds become ms truncated.
int overrideMs(const QDoubleSpinBox* spin)
{
    return spin->value() > 0 ? int(spin->value() * 1000.0) : -1;
}

QPushButton* button(const QString& text, const QString& name)
{
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    return b;
}

} // namespace

SegueEditorDialog::SegueEditorDialog(const QList<Track>& tracks,
                                     const QList<TrackParams::SegueOverride>& overrides, QWidget* parent)
    : QDialog(parent)
    , m_tracks(tracks)
{
    setWindowTitle(m_tracks.size() < 3 ? QStringLiteral("Segue Editor") : QStringLiteral("Segue Editor 3"));
    setMinimumWidth(520);
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral(
        "Set the crossfade between these tracks. These values take priority over the Track Tool, file-type "
        "and Music defaults, and are saved with the playlist."));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    for (qsizetype i = 0; i + 1 < m_tracks.size(); ++i) {
        auto* group = new QGroupBox(QStringLiteral("%1  \u2192  %2")
                                        .arg(m_tracks.at(i).displayName(), m_tracks.at(i + 1).displayName()));
        group->setObjectName(QStringLiteral("junction%1").arg(i));
        auto* grid = new QGridLayout(group);
        QDoubleSpinBox* mix = secondsSpin(QStringLiteral("mixSpin%1").arg(i));
        QDoubleSpinBox* fade = secondsSpin(QStringLiteral("fadeSpin%1").arg(i));
        if (i < overrides.size()) {
            seed(mix, overrides.at(i).mixPointMs);
            seed(fade, overrides.at(i).fadeOutMs);
        }
        grid->addWidget(new QLabel(QStringLiteral("Mix point:")), 0, 0);
        grid->addWidget(mix, 0, 1);
        grid->addWidget(new QLabel(QStringLiteral("Fade out:")), 0, 2);
        grid->addWidget(fade, 0, 3);
        layout->addWidget(group);
        m_mixSpins << mix;
        m_fadeSpins << fade;
    }

    auto* buttons = new QHBoxLayout;
    auto* clear = button(QStringLiteral("Clear overrides"), QStringLiteral("clearButton"));
    auto* ok = button(QStringLiteral("OK"), QStringLiteral("okButton"));
    auto* cancel = button(QStringLiteral("Cancel"), QStringLiteral("cancelButton"));
    ok->setDefault(true);
    buttons->addWidget(clear);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    connect(clear, &QPushButton::clicked, this, [this] {
        for (QDoubleSpinBox* spin : m_mixSpins + m_fadeSpins)
            spin->setValue(0.0);
    });
    connect(ok, &QPushButton::clicked, this, [this] {
        collect();
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void SegueEditorDialog::collect()
{
    m_overrides.clear();
    for (qsizetype i = 0; i < m_mixSpins.size(); ++i)
        m_overrides.append({overrideMs(m_mixSpins.at(i)), overrideMs(m_fadeSpins.at(i))});
}
