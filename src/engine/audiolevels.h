#pragma once

#include "engine/levelpeaks.h"

#include <QByteArray>

class QAudioBuffer;

// Level measurement and sample conversion for decoded buffers. Handles
// unsigned 8-bit, signed 16-bit, signed 32-bit and float samples,
// interleaved; other formats are refused.
class AudioLevels
{
public:
    // Largest absolute sample of channels 0 and 1, normalised to full scale
    // and clamped to 1.0. Allocates nothing.
    static LevelPeaks peakLevels(const QAudioBuffer& buffer);

    // 20·log10(x), floored at -100 (also for x <= 0).
    static double toDbfs(double x);

    // Interleaved signed 16-bit little-endian samples; empty when the buffer
    // is invalid, empty or of an unsupported format.
    static QByteArray toPcm16(const QAudioBuffer& buffer);
};
