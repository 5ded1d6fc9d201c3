#include "dsp_mixer_codec/unaDspDynamics.h"

#include <cmath>

namespace una {

namespace {

const double kGainFloor = dbToLinear(-127.0);
const double kGainCeiling = dbToLinear(127.0);
const double kGainCap = dbToLinear(120.0);
const double kFaultFactor = dbToLinear(60.0);

// A ratio of 1000 or more is a hard limit: its slope is taken as flat.
double slopeOf(double ratio) {
    const double slope = 1.0 / ratio;
    return slope <= 0.001 ? 0.0 : slope;
}

double factorOf(double gain, double threshold, double slope) {
    const double factor = gain * std::pow(threshold, 1.0 - slope);
    return std::isfinite(factor) ? factor : kFaultFactor;
}

}  // namespace

unaDspDL_DynProc::unaDspDL_DynProc() : unaDspDProcessor(3), detector(make<unaDspDL_LD>()) {
    setIntParam(kDspDetectorMode, 0);
    setFloatParam(kDspDetectorAttack, 44.0f);
    setFloatParam(kDspDetectorRelease, 44.0f);
    setFloatParam(kDspDetectorWindow, 0.0f);
    setFloatParam(kDspAttack, 220.5f);
    setFloatParam(kDspRelease, 2205.0f);
    setFloatParam(kDspThreshold, static_cast<float>(dbToLinear(-12.0)));
    setFloatParam(kDspRatio, 4.0f);
    setFloatParam(kDspRatio + 1, 1.0f);
    setFloatParam(kDspGain, 1.0f);
    setFloatParam(kDspGain + 1, 1.0f);
    setIntParam(kDspWindow, 0);
}

uint64_t unaDspDL_DynProc::stateBytes() {
    if (getIntParam(kDspDetectorMode) != 1)
        return 0;
    // The detector is always given the window parameter.
    return sizeof(double) * static_cast<uint64_t>(peakWindowLength(
                                getFloatParam(kDspDetectorAttack), true,
                                getFloatParam(kDspDetectorWindow)));
}

bool unaDspDL_DynProc::process(int32_t n) {
    const std::span<float> in = boundArray(kDspInput);
    const std::span<float> out = boundArray(kDspOutput);
    const std::span<float> key = boundArray(kDspKeyInput);
    const bool keyed = hasArrayParam(kDspKeyInput) && !key.empty();
    if (n < 0 || (keyed && key.size() != in.size()) || in.size() != out.size() ||
        in.size() < static_cast<size_t>(n))
        return false;
    if (changed) {
        if (levelCapacity < static_cast<int32_t>(out.size())) {
            levelCapacity = static_cast<int32_t>(out.size());
            levels.assign(out.size(), 0.0f);
        }
        detector->setFloatParam(kDspAttack, getFloatParam(kDspDetectorAttack));
        detector->setFloatParam(kDspRelease, getFloatParam(kDspDetectorRelease));
        detector->setFloatParam(kDspWindow, getFloatParam(kDspDetectorWindow));
        detector->setIntParam(kDspMode, getIntParam(kDspDetectorMode));
        const std::span<float> measured = keyed ? key : in;
        detector->setArrayParam(kDspInput, measured.data(), static_cast<int32_t>(measured.size()));
        detector->setArrayParam(kDspOutput, levels.data(), static_cast<int32_t>(out.size()));

        const double h = getFloatParam(kDspAttack) / 2.0;
        const double r = getFloatParam(kDspRelease) / 2.0;
        if (!(h >= 0.0) || !(r >= 0.0))
            return false;
        attackCoeff = h / (h + 2.0);
        releaseCoeff = std::exp(-1.0 / (r + 1.0));
        const double ratioAbove = getFloatParam(kDspRatio);
        const double ratioBelow = getFloatParam(kDspRatio + 1);
        if (!(ratioAbove >= 0.02) || !(ratioBelow >= 0.02))
            return false;
        slopeAbove = slopeOf(ratioAbove);
        slopeBelow = slopeOf(ratioBelow);
        threshold = getFloatParam(kDspThreshold);
        factorAbove = factorOf(getFloatParam(kDspGain), threshold, slopeAbove);
        factorBelow = factorOf(getFloatParam(kDspGain + 1), threshold, slopeBelow);
    }
    if (n > 0)
        detector->process(n);
    aboveCount = 0;
    for (int32_t i = 0; i < n; ++i) {
        const auto at = static_cast<size_t>(i);
        const double c = levels[at];
        const bool below = !(c >= threshold);
        const double slope = below ? slopeBelow : slopeAbove;
        const double factor = below ? factorBelow : factorAbove;
        // c^(slope - 1) is c^slope / c; the common slopes 0 and 1 need no power at all.
        double target, gain;
        if (slope == 1.0) {
            target = factor * c;
            gain = factor;
        } else if (c > 0.0) {
            target = slope == 0.0 ? factor : factor * std::pow(c, slope);
            gain = target / c;
        } else {
            target = factor * std::pow(c, slope);
            gain = factor * std::pow(c, slope - 1.0);
        }
        if (gain < kGainFloor)
            gain = 0.0;
        else if (gain > kGainCeiling)
            gain = kGainCap;
        if (smoothedLevel > threshold)
            ++aboveCount;
        const double k = target > smoothedLevel ? attackCoeff : releaseCoeff;
        smoothedLevel = flushTiny(smoothedLevel * k + (1.0 - k) * target);
        smoothedGain = flushTiny(smoothedGain * k + (1.0 - k) * gain);
        if (!std::isfinite(smoothedLevel) || !std::isfinite(smoothedGain)) {
            smoothedLevel = 0.0;
            smoothedGain = 1.0;
        }
        out[at] = static_cast<float>(smoothedGain * finiteSample(in[at]));
    }
    setIntParam(kDspWindow, aboveCount);
    changed = false;
    return true;
}

}  // namespace una
