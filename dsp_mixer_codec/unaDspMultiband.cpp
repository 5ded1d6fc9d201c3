#include "dsp_mixer_codec/unaDspMultiband.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace una {

namespace {

const float kButterworthQ = static_cast<float>(1.0 / std::sqrt(2.0));

void copyFinite(const float* in, float* out, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        out[i] = finiteSample(in[i]);
}

}  // namespace

// -- unaDspDL_EQMB --

unaDspDL_EQMB::unaDspDL_EQMB() : unaDspDProcessor(6) {
    setIntParam(kDspWindow, 0);
}

bool unaDspDL_EQMB::process(int32_t n) {
    const std::span<float> in = boundArray(kDspInput);
    const std::span<float> out = boundArray(kDspOutput);
    if (n < 0 || in.size() < static_cast<size_t>(n))
        return false;
    if (changed) {
        if (in.size() != out.size())
            return false;
        const int32_t count = getIntParam(kDspWindow);
        if (count != bandCount) {
            if (count < 1 || count > kMaxEqualiserBands)
                return false;
            coeffs.assign(static_cast<size_t>(count), unaDspBiquadCoeffs{});
            memory.assign(static_cast<size_t>(count), unaDspBiquadMemory{});
            bandCount = count;
        }
        const unaDspParamEntry* frequencies = getArrayParam(kDspFrequency);
        const unaDspParamEntry* gains = getArrayParam(kDspGain);
        if (bandCount > 0) {
            if (!frequencies || !gains || frequencies->count < bandCount ||
                gains->count < bandCount)
                return false;
            const float* f = frequencies->value.data;
            // At half the rate and above the band's width formula breaks down (sin w <= 0) and
            // the band would go silent.
            for (int32_t i = 0; i < bandCount; ++i)
                if (!(f[i] >= 1e-10f && f[i] < 0.5f))
                    return false;
            for (int32_t i = 0; i < bandCount; ++i) {
                // Each band is as wide as the gap to its neighbours (the wider gap inside);
                // a lone band spans an octave.
                double ratio = 2.0;
                if (bandCount > 1) {
                    const double up = i + 1 < bandCount ? f[i + 1] / f[i] : 0.0;
                    const double down = i > 0 ? f[i] / f[i - 1] : 0.0;
                    ratio = std::max(up, down);
                }
                const double w = 2.0 * std::numbers::pi * f[i];
                const double q = 0.5 / std::sinh(std::log2(ratio) / 2.0 * w / std::sin(w));
                designBiquad(kBiquadPeaking, q, f[i], gains->value.data[i],
                             coeffs[static_cast<size_t>(i)]);
            }
        }
    }
    if (out.size() < static_cast<size_t>(n))
        return false;
    if (workLength != static_cast<int32_t>(in.size())) {
        workLength = static_cast<int32_t>(in.size());
        work1.assign(in.size(), 0.0f);
        work2.assign(in.size(), 0.0f);
    }
    if (bandCount == 0) {
        copyFinite(in.data(), out.data(), n);
    } else {
        const float* source = in.data();
        for (int32_t i = 0; i < bandCount; ++i) {
            float* target = i == bandCount - 1 ? out.data() : (i % 2 == 0 ? work1 : work2).data();
            runBiquad(coeffs[static_cast<size_t>(i)], memory[static_cast<size_t>(i)], source,
                      target, n);
            source = target;
        }
    }
    changed = false;
    return true;
}

// -- unaDspDL_MbSp --

unaDspDL_MbSp::unaDspDL_MbSp() : unaDspDProcessor(7) {
    setIntParam(kDspWindow, 0);
    setFloatParam(kDspQ, kButterworthQ);
    for (uint32_t k = 0; k < static_cast<uint32_t>(kMaxSplitterBands); ++k)
        setArrayParam(kDspOutput + k, nullptr, 0);
}

bool unaDspDL_MbSp::process(int32_t n) {
    const std::span<float> in = boundArray(kDspInput);
    if (n < 0 || in.size() < static_cast<size_t>(n))
        return false;
    if (changed) {
        const int32_t bands = getIntParam(kDspWindow);
        if (bands < 2 || bands > kMaxSplitterBands)
            return false;
        if (bands - 1 != crossoverCount) {
            crossoverCount = bands - 1;
            coeffs.assign(static_cast<size_t>(crossoverCount), unaDspBiquadCoeffs{});
            firstPass.assign(static_cast<size_t>(crossoverCount), unaDspBiquadMemory{});
            secondPassMemory.assign(static_cast<size_t>(crossoverCount), unaDspBiquadMemory{});
        }
        const unaDspParamEntry* frequencies = getArrayParam(kDspFrequency);
        if (!frequencies || frequencies->count != crossoverCount)
            return false;
        const float q = getFloatParam(kDspQ);
        // A steeper crossover is two gentler filters in series.
        filterTwice = q > kButterworthQ;
        const double passQ = filterTwice ? q / 2.0 : q;
        for (int32_t k = 0; k < crossoverCount; ++k)
            designBiquad(kBiquadLowPass, passQ, frequencies->value.data[k], 1.0,
                         coeffs[static_cast<size_t>(k)]);
        bandOutputs.assign(static_cast<size_t>(bands), nullptr);
        for (int32_t k = 0; k < bands; ++k) {
            const unaDspParamEntry* band = getArrayParam(kDspOutput + static_cast<uint32_t>(k));
            if (!band || !band->value.data || band->count != static_cast<int32_t>(in.size()))
                return false;
            bandOutputs[static_cast<size_t>(k)] = band->value.data;
        }
        if (bufferLength != static_cast<int32_t>(in.size())) {
            bufferLength = static_cast<int32_t>(in.size());
            accumulator.assign(in.size(), 0.0f);
            secondPass.assign(in.size(), 0.0f);
        }
    }
    for (int32_t k = 0; k < crossoverCount; ++k) {
        const auto at = static_cast<size_t>(k);
        float* band = bandOutputs[at];
        if (filterTwice) {
            runBiquad(coeffs[at], secondPassMemory[at], in.data(), secondPass.data(), n);
            runBiquad(coeffs[at], firstPass[at], secondPass.data(), band, n);
        } else {
            runBiquad(coeffs[at], firstPass[at], in.data(), band, n);
        }
        if (k == 0) {
            std::copy_n(band, n, accumulator.data());
        } else {
            for (int32_t i = 0; i < n; ++i) {
                const float lowPass = band[i];
                band[i] = lowPass - accumulator[static_cast<size_t>(i)];
                accumulator[static_cast<size_t>(i)] = lowPass;
            }
        }
    }
    float* top = bandOutputs.empty() ? nullptr : bandOutputs.back();
    if (top)
        for (int32_t i = 0; i < n; ++i)
            top[i] = finiteSample(in[static_cast<size_t>(i)]) - accumulator[static_cast<size_t>(i)];
    changed = false;
    return true;
}

}  // namespace una
