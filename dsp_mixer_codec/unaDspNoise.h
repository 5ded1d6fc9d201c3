#pragma once
// The noise-level detector (kind 5): while the speech band (300..3000 Hz by default) carries
// most of the signal, it moves its noise level slowly towards the signal's short-term level;
// otherwise the level stays. It restarts from -25 dB after every parameter change.
// Threading: as every processor (see unaDspProcessor.h).

#include <cstdint>
#include <vector>

#include "dsp_mixer_codec/unaDspBiquad.h"
#include "dsp_mixer_codec/unaDspLevel.h"

namespace una {

class unaDspDL_ND : public unaDspDProcessor {
  public:
    unaDspDL_ND();
    // False when the input is not bound with at least n samples. The output is optional;
    // the float parameter 0x10200 holds the latest noise level after every call.
    bool process(int32_t n) override;

    unaPtr<unaDspDL_EQ2B> bandFilter;
    unaPtr<unaDspDL_LD> bandDetector;
    unaPtr<unaDspDL_LD> fullDetector;
    unaPtr<unaDspDL_LD> shortDetector;
    std::vector<float> bandLevel;
    std::vector<float> fullLevel;
    std::vector<float> filtered;
    std::vector<float> shortLevel;
    float threshold = 0.0f;
    float noiseLevel = 0.0f;
    int32_t capacity = 0;
    float k = 0.0f;
};

}  // namespace una
