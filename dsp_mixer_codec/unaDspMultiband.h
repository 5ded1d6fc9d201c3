#pragma once
// Multiband processors: the parametric equaliser (kind 6), peaking bands in series whose
// widths follow the spacing of their neighbours, and the splitter (kind 7), which cuts its
// input at ascending crossovers into bands that add up to the input again.
// Threading: as every processor (see unaDspProcessor.h).

#include <cstdint>
#include <vector>

#include "dsp_mixer_codec/unaDspBiquad.h"

namespace una {

inline constexpr int32_t kMaxEqualiserBands = 32;
inline constexpr int32_t kMaxSplitterBands = 255;

class unaDspDL_EQMB : public unaDspDProcessor {
  public:
    unaDspDL_EQMB();
    // False (output untouched) when the input holds fewer than n samples, or after a change
    // when the counts differ, the band count is outside 1..32, the frequency or gain array is
    // short, or a frequency lies outside 1e-10 to just below 0.5 (half the sample rate).
    // Without bands the input is copied.
    bool process(int32_t n) override;

    int32_t bandCount = 0;
    std::vector<unaDspBiquadCoeffs> coeffs;
    std::vector<unaDspBiquadMemory> memory;
    std::vector<float> work1, work2;
    int32_t workLength = 0;
};

class unaDspDL_MbSp : public unaDspDProcessor {
  public:
    unaDspDL_MbSp();
    // False when the input holds fewer than n samples, or after a change when the band count
    // is outside 2..255, the crossover array does not hold exactly bands - 1 values, or a
    // band output is not bound with the input's count.
    bool process(int32_t n) override;

    int32_t crossoverCount = 0;
    std::vector<unaDspBiquadCoeffs> coeffs;
    bool filterTwice = false;
    // Each crossover's memory of its first and, when filtering twice, second pass.
    std::vector<unaDspBiquadMemory> firstPass;
    std::vector<unaDspBiquadMemory> secondPassMemory;
    std::vector<float*> bandOutputs;
    std::vector<float> accumulator;
    std::vector<float> secondPass;
    int32_t bufferLength = 0;
};

}  // namespace una
