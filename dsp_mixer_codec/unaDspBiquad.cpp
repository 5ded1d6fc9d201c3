#include "dsp_mixer_codec/unaDspBiquad.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace una {

namespace {

// The defaults put the two bands at 500 Hz and 2000 Hz of a 44100 Hz stream.
constexpr float kDefaultFrequency[2] = {0.0113378685f, 0.0453514755f};

// A curve shorter than the chunk holds its last value.
float curveAt(const unaDspParamEntry* curve, float scalar, int32_t i) {
    if (!curve || curve->count <= 0 || !curve->value.data)
        return scalar;
    return curve->value.data[std::min(i, curve->count - 1)];
}

}  // namespace

bool designBiquad(int32_t type, double q, double frequency, double gain, unaDspBiquadCoeffs& out) {
    if (type < kBiquadPeaking || type > kBiquadHighShelf) {
        out = unaDspBiquadCoeffs{};
        return true;
    }
    const double w = 2.0 * std::numbers::pi * frequency;
    const double cosW = std::cos(w);
    const double A = std::sqrt(gain);
    const double alpha = std::sin(w) / (2.0 * q);
    double a0, a1, a2, b0, b1, b2;
    switch (type) {
        case kBiquadLowPass:
            b0 = b2 = (1.0 - cosW) / 2.0;
            b1 = 1.0 - cosW;
            a0 = 1.0 + alpha;
            a1 = -2.0 * cosW;
            a2 = 1.0 - alpha;
            break;
        case kBiquadHighPass:
            b0 = b2 = (1.0 + cosW) / 2.0;
            b1 = -(1.0 + cosW);
            a0 = 1.0 + alpha;
            a1 = -2.0 * cosW;
            a2 = 1.0 - alpha;
            break;
        case kBiquadPeaking:
            b0 = 1.0 + alpha * A;
            b1 = -2.0 * cosW;
            b2 = 1.0 - alpha * A;
            a0 = 1.0 + alpha / A;
            a1 = -2.0 * cosW;
            a2 = 1.0 - alpha / A;
            break;
        case kBiquadLowShelf: {
            const double beta = 2.0 * std::sqrt(A) * alpha;
            b0 = A * ((A + 1.0) - (A - 1.0) * cosW + beta);
            b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * cosW);
            b2 = A * ((A + 1.0) - (A - 1.0) * cosW - beta);
            a0 = (A + 1.0) + (A - 1.0) * cosW + beta;
            a1 = -2.0 * ((A - 1.0) + (A + 1.0) * cosW);
            a2 = (A + 1.0) + (A - 1.0) * cosW - beta;
            break;
        }
        default: {  // high shelf
            const double beta = 2.0 * std::sqrt(A) * alpha;
            b0 = A * ((A + 1.0) + (A - 1.0) * cosW + beta);
            b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * cosW);
            b2 = A * ((A + 1.0) + (A - 1.0) * cosW - beta);
            a0 = (A + 1.0) - (A - 1.0) * cosW + beta;
            a1 = 2.0 * ((A - 1.0) - (A + 1.0) * cosW);
            a2 = (A + 1.0) - (A - 1.0) * cosW - beta;
            break;
        }
    }
    unaDspBiquadCoeffs c{1.0, -a1 / a0, -a2 / a0, b0 / a0, b1 / a0, b2 / a0};
    const bool finite = a0 != 0.0 && std::isfinite(c.a1) && std::isfinite(c.a2) &&
                        std::isfinite(c.b0) && std::isfinite(c.b1) && std::isfinite(c.b2);
    if (!finite) {
        // Silent rather than a stale part of an older design.
        out = unaDspBiquadCoeffs{1.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        return false;
    }
    out = c;
    return true;
}

void runBiquad(const unaDspBiquadCoeffs& c, unaDspBiquadMemory& m, const float* in, float* out,
               int32_t count) {
    // The feedback terms are added last, so each sample waits only for one multiply and one
    // add on the previous output; the state stays in doubles within a call.
    const double b0 = c.b0, b1 = c.b1, b2 = c.b2, a1 = c.a1, a2 = c.a2;
    double x1 = m.x1, x2 = m.x2, y1 = m.y1, y2 = m.y2;
    for (int32_t i = 0; i < count; ++i) {
        const double x = finiteSample(in[i]);
        const double y = (b0 * x + b1 * x1 + b2 * x2 + a2 * y2) + a1 * y1;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        out[i] = static_cast<float>(y);
    }
    if (!std::isfinite(y1) || !std::isfinite(y2)) {
        // An unstable design blew up: silence for this block, and start again from rest.
        std::fill_n(out, count, 0.0f);
        x1 = x2 = y1 = y2 = 0.0;
    }
    m = {static_cast<float>(x1), static_cast<float>(x2), flushTiny(static_cast<float>(y1)),
         flushTiny(static_cast<float>(y2))};
}

unaDspDL_EQ2B::unaDspDL_EQ2B() : unaDspDProcessor(1) {
    for (uint32_t band = 1; band <= 2; ++band) {
        setFloatParam(kDspGain + band, 1.0f);
        setFloatParam(kDspFrequency + band, kDefaultFrequency[band - 1]);
        setFloatParam(kDspQ + band, 1.0f);
        setIntParam(kDspMode + band, kBiquadOff);
    }
}

bool unaDspDL_EQ2B::process(int32_t n) {
    const std::span<float> in = boundArray(kDspInput);
    const std::span<float> out = boundArray(kDspOutput);
    if (n < 0 || in.empty() || in.size() != out.size())
        return false;
    n = std::min(n, static_cast<int32_t>(in.size()));
    const float* source = in.data();
    for (uint32_t number = 1; number <= 2; ++number) {
        Band& band = bands[number - 1];
        const int32_t type = getIntParam(kDspMode + number);
        if (type == kBiquadOff) {
            // The memory follows the samples, so switching the band on later starts smoothly.
            for (int32_t i = 0; i < n; ++i)
                out[i] = finiteSample(source[i]);
            if (n >= 2)
                band.memory = {out[n - 1], out[n - 2], out[n - 1], out[n - 2]};
            else if (n == 1)
                band.memory = {out[0], band.memory.x1, out[0], band.memory.y1};
            source = out.data();
            continue;
        }
        const float gain = getFloatParam(kDspGain + number);
        const float frequency = getFloatParam(kDspFrequency + number);
        const float q = getFloatParam(kDspQ + number);
        const unaDspParamEntry* gainCurve = getArrayParam(kDspGain + number);
        const unaDspParamEntry* frequencyCurve = getArrayParam(kDspFrequency + number);
        const unaDspParamEntry* qCurve = getArrayParam(kDspQ + number);
        const auto present = [](const unaDspParamEntry* e) { return e && e->count > 0; };
        if (present(gainCurve) || present(frequencyCurve) || present(qCurve)) {
            if (band.coeffs.size() < static_cast<size_t>(n))
                band.coeffs.resize(static_cast<size_t>(n));
            for (int32_t i = 0; i < n; ++i)
                designBiquad(type, curveAt(qCurve, q, i), curveAt(frequencyCurve, frequency, i),
                             curveAt(gainCurve, gain, i), band.coeffs[static_cast<size_t>(i)]);
            unaDspBiquadMemory& m = band.memory;
            for (int32_t i = 0; i < n; ++i)
                runBiquad(band.coeffs[static_cast<size_t>(i)], m, source + i, out.data() + i, 1);
        } else {
            if (changed || band.coeffs.empty()) {
                band.coeffs.resize(1);
                designBiquad(type, q, frequency, gain, band.coeffs[0]);
            }
            runBiquad(band.coeffs[0], band.memory, source, out.data(), n);
        }
        source = out.data();
    }
    changed = false;
    return true;
}

}  // namespace una
