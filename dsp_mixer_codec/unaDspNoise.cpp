#include "dsp_mixer_codec/unaDspNoise.h"

#include <cmath>

namespace una {

namespace {

const float kStartLevel = static_cast<float>(dbToLinear(-25.0));
// The short detector reads a sine at its peak, 3 dB above its RMS.
const float kShortScale = static_cast<float>(dbToLinear(-3.0));
const float kButterworthQ = static_cast<float>(1.0 / std::sqrt(2.0));

void configureDetector(unaDspDL_LD& detector, float length, bool withWindow) {
    detector.setIntParam(kDspMode, 0);
    detector.setFloatParam(kDspAttack, length);
    detector.setFloatParam(kDspRelease, length);
    if (withWindow)
        detector.setFloatParam(kDspWindow, length);
}

}  // namespace

unaDspDL_ND::unaDspDL_ND()
    : unaDspDProcessor(5),
      bandFilter(make<unaDspDL_EQ2B>()),
      bandDetector(make<unaDspDL_LD>()),
      fullDetector(make<unaDspDL_LD>()),
      shortDetector(make<unaDspDL_LD>()) {
    setFloatParam(kDspThreshold, 0.7f);
    setFloatParam(kDspSampleRate, 44100.0f);
    setFloatParam(kDspSampleRate + 1, 3000.0f);
    setFloatParam(kDspSampleRate + 2, 300.0f);
    setFloatParam(kDspWindow, 1.0f);
}

bool unaDspDL_ND::process(int32_t n) {
    const std::span<float> in = boundArray(kDspInput);
    if (n < 0 || in.size() < static_cast<size_t>(n))
        return false;
    if (changed) {
        noiseLevel = kStartLevel;
        const float sr = getFloatParam(kDspSampleRate);
        bandFilter->setIntParam(kDspMode + 1, kBiquadHighPass);
        bandFilter->setFloatParam(kDspFrequency + 1, getFloatParam(kDspSampleRate + 2) / sr);
        bandFilter->setFloatParam(kDspQ + 1, kButterworthQ);
        bandFilter->setIntParam(kDspMode + 2, kBiquadLowPass);
        bandFilter->setFloatParam(kDspFrequency + 2, getFloatParam(kDspSampleRate + 1) / sr);
        bandFilter->setFloatParam(kDspQ + 2, kButterworthQ);
        configureDetector(*bandDetector, 0.05f * sr, false);
        configureDetector(*fullDetector, 0.05f * sr, false);
        configureDetector(*shortDetector, 0.01f * sr, true);
        threshold = getFloatParam(kDspThreshold);
        const double span = static_cast<double>(sr) * getFloatParam(kDspWindow);
        k = static_cast<float>((span - 1.0) / (span + 1.0));
    }
    // Grown also without a parameter change, for a caller that hands a longer block.
    if (capacity < n) {
        capacity = n;
        bandLevel.assign(static_cast<size_t>(n), 0.0f);
        fullLevel.assign(static_cast<size_t>(n), 0.0f);
        filtered.assign(static_cast<size_t>(n), 0.0f);
        shortLevel.assign(static_cast<size_t>(n), 0.0f);
    }
    // Every call binds n samples, so the inner processors see equal counts whatever came before.
    shortDetector->setArrayParam(kDspInput, in.data(), n);
    shortDetector->setArrayParam(kDspOutput, shortLevel.data(), n);
    fullDetector->setArrayParam(kDspInput, in.data(), n);
    fullDetector->setArrayParam(kDspOutput, fullLevel.data(), n);
    bandFilter->setArrayParam(kDspInput, in.data(), n);
    bandFilter->setArrayParam(kDspOutput, filtered.data(), n);
    bandDetector->setArrayParam(kDspInput, filtered.data(), n);
    bandDetector->setArrayParam(kDspOutput, bandLevel.data(), n);
    if (n > 0) {
        bandFilter->process(n);
        bandDetector->process(n);
        fullDetector->process(n);
        shortDetector->process(n);
    }

    const std::span<float> out = boundArray(kDspOutput);
    const float follow = 1.0f - k;
    for (int32_t i = 0; i < n; ++i) {
        const auto at = static_cast<size_t>(i);
        // Written as a product so that a silent block (full level 0) never divides by zero.
        if (bandLevel[at] > threshold * fullLevel[at]) {
            noiseLevel = kShortScale * shortLevel[at] * follow + k * noiseLevel;
            if (!std::isfinite(noiseLevel))
                noiseLevel = kStartLevel;
        }
        if (at < out.size())
            out[at] = noiseLevel;
    }
    setFloatParam(kDspOutput, noiseLevel);
    changed = false;
    return true;
}

}  // namespace una
