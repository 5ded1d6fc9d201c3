#pragma once
// The dynamics processor (kind 3): a level detector drives a gain that follows one slope above
// a threshold and another below it, so one processor is a compressor, expander, gate or
// limiter depending on its ratios. A key input, when bound, is measured instead of the input.
// Threading: as every processor (see unaDspProcessor.h).

#include <cstdint>
#include <vector>

#include "dsp_mixer_codec/unaDspLevel.h"

namespace una {

// Numbers of the detector's own settings inside a dynamics processor.
inline constexpr uint32_t kDspKeyInput = kDspInput + 1;
inline constexpr uint32_t kDspDetectorMode = kDspMode + 2;
inline constexpr uint32_t kDspDetectorAttack = kDspAttack + 2;
inline constexpr uint32_t kDspDetectorRelease = kDspRelease + 2;
inline constexpr uint32_t kDspDetectorWindow = kDspWindow + 2;

class unaDspDL_DynProc : public unaDspDProcessor {
  public:
    unaDspDL_DynProc();
    // False when the counts do not match (key = input = output >= n), when a gain attack or
    // release is negative, or when a ratio is below 0.02. The int parameter 0x1FF00 then
    // holds how many samples of the call had their smoothed level above the threshold.
    bool process(int32_t n) override;
    // Its detector's peak window.
    uint64_t stateBytes() override;

    unaPtr<unaDspDL_LD> detector;
    std::vector<float> levels;
    int32_t levelCapacity = 0;
    double attackCoeff = 0.0;
    double releaseCoeff = 0.0;
    float threshold = 0.0f;
    double slopeAbove = 1.0;
    double slopeBelow = 1.0;
    double factorAbove = 1.0;
    double factorBelow = 1.0;
    double smoothedLevel = 0.0;
    double smoothedGain = 1.0;
    int32_t aboveCount = 0;
};

}  // namespace una
