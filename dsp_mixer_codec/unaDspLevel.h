#pragma once
// The level detector (kind 2): follows the level of its input with separate attack and release
// smoothing, either as a running RMS or as the peak over a sliding window.
// Threading: as every processor (see unaDspProcessor.h).

#include <cstdint>
#include <vector>

#include "dsp_mixer_codec/unaDspProcessor.h"

namespace una {

// The longest peak window, in samples: 23 s at 44100 Hz. Longer requests are cut to it.
inline constexpr int32_t kMaxPeakWindow = 1 << 20;

// The peak window's length in samples: half the window parameter when it is given and above
// 0, else half the attack; within 1..kMaxPeakWindow.
int32_t peakWindowLength(float attack, bool windowGiven, float window);

class unaDspDL_LD : public unaDspDProcessor {
  public:
    unaDspDL_LD();
    // False unless input and output are bound, non-empty, of equal count and at least n.
    bool process(int32_t n) override;
    // The peak window in peak mode.
    uint64_t stateBytes() override;

    std::vector<double> peakWindow;
    double windowMax = 0.0;
    double attackCoeff = 0.0;
    double releaseCoeff = 0.0;
    double smoothed = 0.0;
    int32_t maxIndex = -1;
    int32_t writePos = 0;
    int32_t windowLength = 0;
    bool peakMode = false;

  private:
    double peakOf(double v);
};

}  // namespace una
