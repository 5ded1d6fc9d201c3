#include "audio/driftResampler.h"

#include <soxr.h>

#include <algorithm>

namespace una {

namespace {

constexpr double kMaxDeparture = 1e-3;

}  // namespace

DriftResampler::DriftResampler(uint32_t channels) : channels_(channels) {
    if (channels_ == 0)
        return;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
    soxr_error_t error = nullptr;
    state_ = soxr_create(1.0, 1.0, channels_, &error, &io, &quality, nullptr);
    if (error && state_) {
        soxr_delete(state_);
        state_ = nullptr;
    }
    if (state_)
        soxr_set_io_ratio(state_, 1.0, 0);
}

DriftResampler::~DriftResampler() {
    if (state_)
        soxr_delete(state_);
}

void DriftResampler::setRatio(double ratio) {
    ratio = std::clamp(ratio, 1.0 - kMaxDeparture, 1.0 + kMaxDeparture);
    if (ratio == ratio_ || !state_)
        return;
    ratio_ = ratio;
    // No slew: the position below follows the ratio frame by frame.
    soxr_set_io_ratio(state_, ratio_, 0);
}

DriftResampler::Result DriftResampler::process(std::span<const float> input, std::span<float> output) {
    if (!state_)
        return {};
    const size_t in = input.size() / channels_;
    const size_t out = output.size() / channels_;
    size_t used = 0, made = 0;
    // A null input would tell the library the stream has ended.
    static const float none = 0.0f;
    soxr_process(state_, in ? input.data() : &none, in, &used, output.data(), out, &made);
    fed_ += used;
    position_ += static_cast<double>(made) * ratio_;
    return {static_cast<uint32_t>(used), static_cast<uint32_t>(made)};
}

}  // namespace una
