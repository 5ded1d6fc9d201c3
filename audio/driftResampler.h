#pragma once
// A resampler whose ratio stays within a few hundred ppm of 1 and may change at every call:
// it lets audio recorded on one card's clock play on another's without the held audio
// growing or shrinking. libsoxr's variable-rate mode does the filtering (interleaved float).
// Its output is aligned to its input: output frame n stands for input position
// ratio_0 + ratio_1 + ... + ratio_(n-1), whatever the ratios were, so the caller can follow
// the position exactly.
//
// Not thread-safe: one owner.

#include <cstdint>
#include <span>

struct soxr;

namespace una {

class DriftResampler {
  public:
    explicit DriftResampler(uint32_t channels);
    ~DriftResampler();
    DriftResampler(const DriftResampler&) = delete;
    DriftResampler& operator=(const DriftResampler&) = delete;

    // False when the library could not be set up; process then passes nothing.
    bool ready() const { return state_ != nullptr; }

    // Input frames consumed per output frame: above 1 plays the input faster. Clamped to
    // 1 +- 1000 ppm; takes effect with the next output frame.
    void setRatio(double ratio);
    double ratio() const { return ratio_; }

    // Takes what it can of input (interleaved floats, whole frames) and writes up to output's
    // room. It makes only what its filter has seen enough input for, and takes only what fits
    // its buffer: the rest is the caller's to offer again.
    struct Result {
        uint32_t used = 0;
        uint32_t made = 0;
    };
    Result process(std::span<const float> input, std::span<float> output);

    // Input position (frames since the first taken) of the next output frame.
    double position() const { return position_; }
    // Input frames taken so far.
    uint64_t fed() const { return fed_; }

  private:
    soxr* state_ = nullptr;
    const uint32_t channels_;
    double ratio_ = 1.0;
    double position_ = 0;
    uint64_t fed_ = 0;
};

}  // namespace una
