#pragma once
// A streaming windowed-sinc resampler for the finder: any rate in, the analysis rate out,
// band-limited below the output's Nyquist. Output sample n lies at exactly n / outRate s from
// the first input sample, so two sides resampled from different rates stay aligned.
// Not thread-safe: one owner feeds it.

#include <cstdint>
#include <span>
#include <vector>

namespace una::finder {

class Resampler {
  public:
    // Rates must be positive.
    Resampler(int inRate, int outRate);
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // Appends to out every output sample the input so far fully determines.
    void push(std::span<const float> in, std::vector<float>& out);
    // Appends the outputs still waiting for input after the end, as if zeros followed.
    void flush(std::vector<float>& out);

    int inRate() const { return inRate_; }
    int outRate() const { return outRate_; }

  private:
    float tap(double distance) const;
    void produce(std::vector<float>& out, int64_t inputEnd, int64_t outputLimit);

    int inRate_;
    int outRate_;
    double cutoff_;     // cycles per input sample
    double halfWidth_;  // input samples each side of the centre
    std::vector<float> table_;
    std::vector<float> history_;
    int64_t historyStart_ = 0;  // index of history_[0] in the whole input
    int64_t nextOut_ = 0;
    int64_t inputCount_ = 0;
};

// Resamples a whole signal in one go.
std::vector<float> resample(std::span<const float> in, int inRate, int outRate);

}  // namespace una::finder
