#include "support/echoRuler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace una::sound {

namespace {

constexpr double kBurstSeconds = 0.01;
constexpr int kTones = 48;

// The burst as a function of time, so every rate gets the same sound: a Hann-windowed sum of
// tones at scattered frequencies between 300 Hz and 8 kHz with scattered phases. Below the
// Nyquist frequency of every rate a sound server may convert to, its correlation peak stays
// sharp after resampling.
std::vector<double> burstShape(uint32_t rate) {
    const size_t frames = static_cast<size_t>(std::lround(kBurstSeconds * rate));
    std::vector<double> shape(frames, 0.0);
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<double>(seed >> 8) / static_cast<double>(1u << 24);
    };
    for (int k = 0; k < kTones; ++k) {
        const double hz = 300.0 + 7700.0 * next();
        const double phase = 2 * std::numbers::pi * next();
        for (size_t i = 0; i < frames; ++i)
            shape[i] += std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate + phase);
    }
    double peak = 0;
    for (size_t i = 0; i < frames; ++i) {
        shape[i] *= 0.5 - 0.5 * std::cos(2 * std::numbers::pi * (i + 0.5) / frames);
        peak = std::max(peak, std::abs(shape[i]));
    }
    for (double& v : shape)
        v /= peak > 0 ? peak : 1.0;
    return shape;
}

}  // namespace

std::vector<int16_t> echoBurst(uint32_t rate) {
    const std::vector<double> shape = burstShape(rate);
    std::vector<int16_t> stereo;
    stereo.reserve(shape.size() * 2);
    for (double v : shape) {
        const auto s = static_cast<int16_t>(std::lround(v * 16000));
        stereo.push_back(s);
        stereo.push_back(static_cast<int16_t>(-s));
    }
    return stereo;
}

std::vector<Echo> findEchoes(const std::vector<int16_t>& stereo, uint32_t rate, double minMatch) {
    std::vector<Echo> echoes;
    const std::vector<double> shape = burstShape(rate);
    const size_t length = shape.size();
    const size_t frames = stereo.size() / 2;
    if (length == 0 || frames < length)
        return echoes;
    double shapeEnergy = 0;
    for (double v : shape)
        shapeEnergy += v * v * 16000.0 * 16000.0;

    // Energy of every window of the burst's length, from running sums.
    std::vector<double> sums(frames + 1, 0.0);
    for (size_t i = 0; i < frames; ++i) {
        const double x = stereo[2 * i];
        sums[i + 1] = sums[i] + x * x;
    }
    const size_t starts = frames - length + 1;
    auto energy = [&](size_t i) { return sums[i + length] - sums[i]; };
    auto match = [&](size_t i) {
        const double e = energy(i);
        if (e <= 0)
            return 0.0;
        double dot = 0;
        for (size_t j = 0; j < length; ++j)
            dot += stereo[2 * (i + j)] * shape[j] * 16000.0;
        return dot / std::sqrt(e * shapeEnergy);
    };

    // Only where the sound is loud enough to hold a copy is the correlation worth computing.
    const double loud = 0.05 * shapeEnergy;
    size_t i = 0;
    while (i < starts) {
        if (energy(i) < loud) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < starts && energy(end) >= loud)
            ++end;
        size_t best = i;
        double bestMatch = -1;
        for (size_t k = i; k < end; ++k) {
            const double m = match(k);
            if (m > bestMatch) {
                bestMatch = m;
                best = k;
            }
        }
        if (bestMatch >= minMatch) {
            double offset = 0;
            if (best > 0 && best + 1 < starts) {
                const double before = match(best - 1), after = match(best + 1);
                const double curve = before - 2 * bestMatch + after;
                if (curve < 0)
                    offset = std::clamp(0.5 * (before - after) / curve, -0.5, 0.5);
            }
            echoes.push_back({static_cast<double>(best) + offset, bestMatch});
        }
        i = end;
    }
    return echoes;
}

std::vector<double> echoIntervals(const std::vector<Echo>& echoes, uint32_t rate) {
    std::vector<double> intervals;
    for (size_t i = 1; i < echoes.size(); ++i)
        intervals.push_back((echoes[i].frame - echoes[i - 1].frame) / rate);
    return intervals;
}

}  // namespace una::sound
