#include "dsp_mixer_codec/unaDspLevel.h"

#include <algorithm>
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

int32_t peakWindowLength(float attack, bool windowGiven, float window) {
    const double wanted = windowGiven && window > 0.0f ? std::ceil(window * 0.5)
                                                       : std::ceil(attack * 0.5);
    return sampleLength(wanted, kMaxPeakWindow);
}

uint64_t unaDspDL_LD::stateBytes() {
    if (getIntParam(kDspMode) != 1)
        return 0;
    return sizeof(double) * static_cast<uint64_t>(peakWindowLength(
                                getFloatParam(kDspAttack), hasFloatParam(kDspWindow),
                                getFloatParam(kDspWindow)));
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
            const int32_t length = peakWindowLength(
                getFloatParam(kDspAttack), hasFloatParam(kDspWindow), getFloatParam(kDspWindow));
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
    // The smoothing is one serial chain per sample: kept free of branches, and checked for a
    // value gone bad (from unusable lengths) once per call instead of per sample.
    const double attack = attackCoeff;
    const double release = releaseCoeff;
    const double rmsGain = kRmsGain;
    double level = smoothed;
    float* const output = out.data();
    const float* const input = in.data();
    // Both candidates are computed and one is picked, so the choice adds no wait of its own;
    // equal attack and release (the noise detector's) need no choice at all.
    const auto next = [attack, release](double previous, double d) {
        const double rising = previous * attack + d * (1.0 - attack);
        const double falling = previous * release + d * (1.0 - release);
        return d > previous ? rising : falling;
    };
    if (peakMode) {
        for (int32_t i = 0; i < n; ++i) {
            const double d = peakOf(std::fabs(static_cast<double>(finiteSample(input[i]))));
            level = next(level, d);
            output[i] = static_cast<float>(level);
        }
    } else if (attack == release) {
        // A fixed coefficient lets the chain step two samples at a time:
        // level[i + 1] = k^2 level[i - 1] + k u[i] + u[i + 1].
        const double keep = attack, keep2 = attack * attack, take = (1.0 - attack) * rmsGain;
        int32_t i = 0;
        for (; i + 1 < n; i += 2) {
            const double x0 = finiteSample(input[i]);
            const double x1 = finiteSample(input[i + 1]);
            const double u0 = x0 * x0 * take;
            const double u1 = x1 * x1 * take;
            const double first = level * keep + u0;
            level = level * keep2 + (u0 * keep + u1);
            output[i] = std::sqrt(static_cast<float>(first));
            output[i + 1] = std::sqrt(static_cast<float>(level));
        }
        for (; i < n; ++i) {
            const double x = finiteSample(input[i]);
            level = level * keep + x * x * take;
            output[i] = std::sqrt(static_cast<float>(level));
        }
    } else {
        for (int32_t i = 0; i < n; ++i) {
            const double x = finiteSample(input[i]);
            level = next(level, rmsGain * x * x);
            output[i] = std::sqrt(static_cast<float>(level));
        }
    }
    if (!(level >= 0.0) || !std::isfinite(level)) {
        level = 0.0;
        std::fill_n(output, n, 0.0f);
    }
    smoothed = flushTiny(level);
    changed = false;
    return true;
}

}  // namespace una
