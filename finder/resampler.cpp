#include "finder/resampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace una::finder {
namespace {
constexpr int kZeroCrossings = 5;    // each side: enough stop band for a correlator
constexpr int kTableSteps = 2048;    // table entries per zero crossing
}  // namespace

Resampler::Resampler(int inRate, int outRate) : inRate_(inRate), outRate_(outRate) {
    // Cut a little below the lower Nyquist so what folds back is already attenuated.
    const double band = 0.45 * std::min(inRate, outRate);
    cutoff_ = band / inRate;
    halfWidth_ = kZeroCrossings / (2.0 * cutoff_);
    table_.resize(static_cast<size_t>(kZeroCrossings) * kTableSteps + 2);
    for (size_t i = 0; i < table_.size(); ++i) {
        const double u = static_cast<double>(i) / kTableSteps;  // in zero crossings
        if (u >= kZeroCrossings) { table_[i] = 0; continue; }
        const double x = std::numbers::pi * u;
        const double sinc = u == 0 ? 1.0 : std::sin(x) / x;
        const double w = u / kZeroCrossings;  // Blackman over [-1, 1]
        const double window = 0.42 + 0.5 * std::cos(std::numbers::pi * w) +
                              0.08 * std::cos(2 * std::numbers::pi * w);
        table_[i] = static_cast<float>(2 * cutoff_ * sinc * window);
    }
}

float Resampler::tap(double distance) const {
    const double pos = std::abs(distance) * 2 * cutoff_ * kTableSteps;
    const auto i = static_cast<size_t>(pos);
    if (i + 1 >= table_.size()) return 0;
    const float frac = static_cast<float>(pos - static_cast<double>(i));
    return table_[i] + frac * (table_[i + 1] - table_[i]);
}

void Resampler::produce(std::vector<float>& out, int64_t inputEnd, int64_t outputLimit) {
    const auto reach = static_cast<int64_t>(std::ceil(halfWidth_));
    while (nextOut_ < outputLimit) {
        // Exact rational position, so long runs do not drift.
        const int64_t whole = nextOut_ * inRate_ / outRate_;
        const double centre = static_cast<double>(whole) +
                              static_cast<double>(nextOut_ * inRate_ % outRate_) / outRate_;
        const int64_t last = whole + reach;
        if (last >= inputEnd) break;
        const int64_t first = std::max<int64_t>(whole - reach, historyStart_);
        const int64_t end = std::min<int64_t>(last + 1, historyStart_ + static_cast<int64_t>(history_.size()));
        float sum = 0;
        for (int64_t k = first; k < end; ++k)
            sum += history_[static_cast<size_t>(k - historyStart_)] *
                   tap(centre - static_cast<double>(k));
        out.push_back(sum);
        ++nextOut_;
    }
    // Keep only what the next output still reaches back to.
    const int64_t keepFrom = nextOut_ * inRate_ / outRate_ - reach;
    if (keepFrom > historyStart_) {
        const auto drop = static_cast<size_t>(std::min<int64_t>(keepFrom - historyStart_,
                                                                static_cast<int64_t>(history_.size())));
        history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(drop));
        historyStart_ += static_cast<int64_t>(drop);
    }
}

void Resampler::push(std::span<const float> in, std::vector<float>& out) {
    history_.insert(history_.end(), in.begin(), in.end());
    inputCount_ += static_cast<int64_t>(in.size());
    produce(out, inputCount_, INT64_MAX);
}

void Resampler::flush(std::vector<float>& out) {
    // Outputs whose centre lies within the input, with zeros beyond its end.
    produce(out, INT64_MAX, (inputCount_ * outRate_ + inRate_ - 1) / inRate_);
}

std::vector<float> resample(std::span<const float> in, int inRate, int outRate) {
    std::vector<float> out;
    if (inRate == outRate) return {in.begin(), in.end()};
    out.reserve(static_cast<size_t>(static_cast<double>(in.size()) * outRate / inRate) + 2);
    Resampler r(inRate, outRate);
    r.push(in, out);
    r.flush(out);
    return out;
}

}  // namespace una::finder
