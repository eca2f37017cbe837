#pragma once

// Peak levels of one audio buffer, 0..1 per channel; right equals left for
// mono. Not valid when the buffer could not be measured.
struct LevelPeaks
{
    double left = 0.0;
    double right = 0.0;
    bool valid = false;
};
