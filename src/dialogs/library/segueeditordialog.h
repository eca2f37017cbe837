#pragma once

#include "library/track.h"
#include "library/trackparams.h"

#include <QDialog>
#include <QList>

class QDoubleSpinBox;

// Mix point and fade-out of the transitions between two or three adjacent
// playlist rows, above every other crossfade setting. The caller reads the
// result after Accepted and stores it on the playlist.
class SegueEditorDialog : public QDialog
{
    Q_OBJECT

public:
    // The overrides seed the junctions by position; missing ones inherit.
    SegueEditorDialog(const QList<Track>& tracks, const QList<TrackParams::SegueOverride>& overrides,
                      QWidget* parent = nullptr);

    void collect();
    // One entry per junction after OK; empty before.
    const QList<TrackParams::SegueOverride>& overrides() const { return m_overrides; }

private:
    QList<Track> m_tracks;
    QList<TrackParams::SegueOverride> m_overrides;
    QList<QDoubleSpinBox*> m_mixSpins;
    QList<QDoubleSpinBox*> m_fadeSpins;
};
