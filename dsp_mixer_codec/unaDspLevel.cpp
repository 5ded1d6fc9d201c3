#include "dsp_mixer_codec/unaDspLevel.h"

#include <cmath>

namespace una {

namespace {

// RMS mode reads 6 dB hotter, so a full-scale sine reads about 1.0.
const double kRmsGain = dbToLinear(6.0);

}  // namespace

unaDspDL_LD::unaDspDL_LD() : unaDspDProcessor(2) {
    setIntParam(kDspMode, 0);
    setFloatParam(kDspAttack, 44.1f);
    setFloatParam(kDspRelease, 88.2f);
    setFloatParam(kDspWindow, 0.0f);
}

double unaDspDL_LD::peakOf(double v) {
    peakWindow[static_cast<size_t>(writePos)] = v;
    if (writePos == maxIndex) {
        // The maximum is being overwritten: look for the next one; among equals the one found
        // first from the end stays.
        int32_t best = windowLength - 1;
        for (int32_t i = windowLength - 2; i >= 0; --i)
            if (peakWindow[static_cast<size_t>(i)] > peakWindow[static_cast<size_t>(best)])
                best = i;
        maxIndex = best;
        windowMax = peakWindow[static_cast<size_t>(best)];
    } else if (v > windowMax) {
        windowMax = v;
        maxIndex = writePos;
    }
    if (++writePos >= windowLength)
        writePos = 0;
    return windowMax;
}

bool unaDspDL_LD::process(int32_t n) {
    const std::span<float> in = boundArray(kDspInput);
    const std::span<float> out = boundArray(kDspOutput);
    if (n < 0 || in.empty() || out.empty() || in.size() != out.size() ||
        in.size() < static_cast<size_t>(n))
        return false;
    if (changed) {
        const double h = getFloatParam(kDspAttack) * 0.5;
        attackCoeff = h / (h + 2.0);
        const double r = getFloatParam(kDspRelease) * 0.5;
        releaseCoeff = r / (r + 2.0);
        peakMode = getIntParam(kDspMode) == 1;
        if (peakMode) {
            const float window = getFloatParam(kDspWindow);
            const double wanted =
                hasFloatParam(kDspWindow) && window > 0.0f ? std::ceil(window * 0.5) : std::ceil(h);
            const int32_t length = sampleLength(wanted, kMaxPeakWindow);
            if (length != windowLength) {
                // A fresh window holds silence, and so does its maximum.
                peakWindow.assign(static_cast<size_t>(length), 0.0);
                windowLength = length;
                writePos = 0;
                maxIndex = -1;
                windowMax = 0.0;
            }
        }
    }
    for (int32_t i = 0; i < n; ++i) {
        const double x = finiteSample(in[static_cast<size_t>(i)]);
        const double d = peakMode ? peakOf(std::fabs(x)) : kRmsGain * x * x;
        const double c = d > smoothed ? attackCoeff : releaseCoeff;
        smoothed = smoothed * c + d * (1.0 - c);
        if (!(smoothed >= 0.0) || !std::isfinite(smoothed))
            smoothed = 0.0;
        smoothed = flushTiny(smoothed);
        out[static_cast<size_t>(i)] =
            static_cast<float>(peakMode ? smoothed : std::sqrt(smoothed));
    }
    changed = false;
    return true;
}

}  // namespace una
