#pragma once
// Second-order (biquad) filters: the designer that turns a filter type, Q, frequency and
// gain into coefficients, and the two-band equaliser (kind 1) built on it.
// Threading: as every processor (see unaDspProcessor.h).

#include <array>
#include <cstdint>
#include <vector>

#include "dsp_mixer_codec/unaDspProcessor.h"

namespace una {

// Filter types of an equaliser band.
inline constexpr int32_t kBiquadOff = 0;
inline constexpr int32_t kBiquadPeaking = 1;
inline constexpr int32_t kBiquadLowPass = 2;
inline constexpr int32_t kBiquadHighPass = 3;
inline constexpr int32_t kBiquadLowShelf = 4;
inline constexpr int32_t kBiquadHighShelf = 5;

// Normalised coefficients: a0 is 1 and a1, a2 carry the feedback sign, so
// y = b0 x + b1 x1 + b2 x2 + a1 y1 + a2 y2.
struct unaDspBiquadCoeffs {
    double a0 = 1.0, a1 = 0.0, a2 = 0.0, b0 = 1.0, b1 = 0.0, b2 = 0.0;
};

// The last two inputs and outputs of one filter.
struct unaDspBiquadMemory {
    float x1 = 0.0f, x2 = 0.0f, y1 = 0.0f, y2 = 0.0f;
};

// Coefficients of the cookbook filters for a frequency given as a fraction of the sample rate
// and a linear gain. A design that faults (Q of 0, a gain the type cannot take, any result that
// is not finite) gives a silent record and false. Types outside 1..5 pass the signal unchanged.
bool designBiquad(int32_t type, double q, double frequency, double gain, unaDspBiquadCoeffs& out);

// Filters count samples from in to out (which may be the same buffer). A sample that is not
// finite reads as silence; a filter that blows up gives a silent block and starts from rest.
void runBiquad(const unaDspBiquadCoeffs& c, unaDspBiquadMemory& m, const float* in, float* out,
               int32_t count);

// Two bands in series, each a biquad of its own type, gain, frequency and Q; gain, frequency
// and Q may also be per-sample curves (arrays), which recompute the band on every call.
class unaDspDL_EQ2B : public unaDspDProcessor {
  public:
    unaDspDL_EQ2B();
    // False when input and output are not bound with equal positive counts.
    bool process(int32_t n) override;

    struct Band {
        unaDspBiquadMemory memory;
        std::vector<unaDspBiquadCoeffs> coeffs;  // one record, or one per sample with curves
    };
    std::array<Band, 2> bands;
};

}  // namespace una
