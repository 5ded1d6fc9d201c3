#pragma once
// The speech processor (kind 4): a chain for voice built from equalisers and dynamics
// processors: automatic gain, presence boost with a low cut, a compressed high band, a noise
// gate keyed on the dry input, a compressor and a limiter behind a 5 ms look-ahead.
// Threading: as every processor (see unaDspProcessor.h).

#include <cstdint>
#include <vector>

#include "dsp_mixer_codec/unaDspBiquad.h"
#include "dsp_mixer_codec/unaDspDynamics.h"

namespace una {

// The longest look-ahead line, in samples (5 ms at a bit over 200 kHz).
inline constexpr int32_t kMaxLookAhead = 1024;

class unaDspDL_SpeechProc : public unaDspDProcessor {
  public:
    unaDspDL_SpeechProc();
    // False unless input and output are bound with equal counts of at least n, or when an
    // inner processor's settings are unusable. The int parameter 0x1FF00 then holds the
    // gate's count of samples above its threshold.
    bool process(int32_t n) override;
    // The peak windows of its AGC, gate and limiter and its look-ahead, at its sample rate.
    uint64_t stateBytes() override;

    unaPtr<unaDspDL_EQ2B> splitFilter;
    unaPtr<unaDspDL_EQ2B> presenceFilter;
    unaPtr<unaDspDL_DynProc> agc;
    unaPtr<unaDspDL_DynProc> compressor;
    unaPtr<unaDspDL_DynProc> gate;
    unaPtr<unaDspDL_DynProc> limiter;
    unaPtr<unaDspDL_DynProc> highBandCompressor;
    std::vector<float> bufferA, bufferB, bufferC, delayed;
    int32_t bufferCapacity = 0;
    std::vector<float> lookAhead;
    int32_t lookAheadLength = 0;
    int32_t lookAheadPos = 0;

  private:
    void configure(float sr, int32_t count);
    void applyThreshold();
};

}  // namespace una
