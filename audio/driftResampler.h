#pragma once
// A resampler whose ratio stays within a tenth of a percent of 1 and may change at every
// output frame: it lets audio recorded on one card's clock play on another's without the held
// audio growing or shrinking. A Kaiser-windowed sinc interpolator (32 taps, 512 phases, linear
// between phases): its output frame n stands exactly for input position
// ratio_0 + ratio_1 + ... + ratio_(n-1), so the caller always knows what it is playing, and a
// ratio that wanders across 1 is no event at all.
//
// Not thread-safe: one owner.

#include <cstdint>
#include <span>
#include <vector>

namespace una {

class DriftResampler {
  public:
    explicit DriftResampler(uint32_t channels);
    DriftResampler(const DriftResampler&) = delete;
    DriftResampler& operator=(const DriftResampler&) = delete;

    bool ready() const { return channels_ > 0; }

    // Input frames consumed per output frame: above 1 plays the input faster. Clamped to
    // 1 +- 1000 ppm; takes effect with the next output frame.
    void setRatio(double ratio);
    double ratio() const { return ratio_; }

    // Takes all of input (interleaved floats, whole frames) and writes up to output's room,
    // as far as the input reaches (the filter looks 16 frames ahead of the frame it makes).
    struct Result {
        uint32_t used = 0;
        uint32_t made = 0;
    };
    Result process(std::span<const float> input, std::span<float> output);

    // Input position (frames since the first taken; before it counts as silence) of the next
    // output frame.
    double position() const { return position_; }
    // Input frames taken so far.
    uint64_t fed() const { return fed_; }

  private:
    const uint32_t channels_;
    double ratio_ = 1.0;
    double position_ = 0;
    uint64_t fed_ = 0;
    // Input frames from `bufferStart_` on, interleaved.
    std::vector<float> buffer_;
    int64_t bufferStart_ = 0;
    std::vector<float> kernel_;
};

}  // namespace una
