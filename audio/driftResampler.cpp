#include "audio/driftResampler.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace una {

namespace {

constexpr double kMaxDeparture = 1e-3;
constexpr int kTaps = 32;
constexpr int kHalf = kTaps / 2;
constexpr int kPhases = 512;
// Passband up to 0.45 of the rate (19.8 kHz at 44.1 kHz); the Kaiser window's beta 9 puts the
// stopband about 90 dB down.
constexpr double kCutoff = 0.9;
constexpr double kBeta = 9.0;

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
        if (term < 1e-12 * sum)
            break;
    }
    return sum;
}

// Filter value at tap k for phase p (p/kPhases of a frame past the tap grid).
using Table = std::array<std::array<float, kTaps>, kPhases + 1>;

const Table& table() {
    static const Table t = [] {
        Table made{};
        const double norm = besselI0(kBeta);
        for (int p = 0; p <= kPhases; ++p) {
            for (int k = 0; k < kTaps; ++k) {
                // Distance from the output position to input frame (k - kHalf + 1).
                const double x = static_cast<double>(k - kHalf + 1) - static_cast<double>(p) / kPhases;
                const double arg = std::numbers::pi * kCutoff * x;
                const double sinc = x == 0 ? 1.0 : std::sin(arg) / arg;
                const double w = x / kHalf;
                const double window = std::abs(w) >= 1 ? 0.0 : besselI0(kBeta * std::sqrt(1 - w * w)) / norm;
                made[p][k] = static_cast<float>(kCutoff * sinc * window);
            }
        }
        return made;
    }();
    return t;
}

}  // namespace

DriftResampler::DriftResampler(uint32_t channels) : channels_(channels), kernel_(kTaps) {
    table();
}

void DriftResampler::setRatio(double ratio) {
    ratio_ = std::clamp(ratio, 1.0 - kMaxDeparture, 1.0 + kMaxDeparture);
}

DriftResampler::Result DriftResampler::process(std::span<const float> input,
                                               std::span<float> output) {
    Result result;
    if (channels_ == 0)
        return result;
    const size_t in = input.size() / channels_;
    buffer_.insert(buffer_.end(), input.begin(), input.begin() + static_cast<ptrdiff_t>(in * channels_));
    fed_ += in;
    result.used = static_cast<uint32_t>(in);

    const Table& t = table();
    const size_t room = output.size() / channels_;
    const auto bufferEnd = static_cast<int64_t>(bufferStart_ + buffer_.size() / channels_);
    while (result.made < room) {
        const auto whole = static_cast<int64_t>(std::floor(position_));
        if (whole + kHalf >= bufferEnd)
            break;
        const double fraction = (position_ - static_cast<double>(whole)) * kPhases;
        const auto p = static_cast<int>(fraction);
        const auto a = static_cast<float>(fraction - p);
        for (int k = 0; k < kTaps; ++k)
            kernel_[k] = t[p][k] + (t[p + 1][k] - t[p][k]) * a;
        float* out = output.data() + static_cast<size_t>(result.made) * channels_;
        for (uint32_t c = 0; c < channels_; ++c) {
            float sum = 0;
            for (int k = 0; k < kTaps; ++k) {
                const int64_t frame = whole - kHalf + 1 + k;
                if (frame >= bufferStart_)
                    sum += kernel_[k] * buffer_[static_cast<size_t>(frame - bufferStart_) * channels_ + c];
            }
            out[c] = sum;
        }
        ++result.made;
        position_ += ratio_;
    }
    // Keep only what the next frames' taps can still reach.
    const int64_t keepFrom = static_cast<int64_t>(std::floor(position_)) - kHalf + 1;
    if (keepFrom > bufferStart_) {
        const auto drop = static_cast<size_t>(std::min<int64_t>(keepFrom - bufferStart_,
                                                                static_cast<int64_t>(buffer_.size() / channels_)));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(drop * channels_));
        bufferStart_ += static_cast<int64_t>(drop);
    }
    return result;
}

}  // namespace una
