#include "finder/delayFinder.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "finder/resampler.h"

namespace una::finder {
namespace {

// The band the correlation listens to: below it sits hum and handling rumble, above it the
// analysis rate's own filter slope.
constexpr double kBandLowHz = 150.0;
constexpr double kBandHighHz = 1750.0;
// Weight exponent of the phase transform: 1 whitens fully; a little less keeps bins that
// only carry noise from counting as much as those carrying the stadium.
constexpr double kPhatExponent = 0.8;
// Lags this close to the peak belong to it (reverberation, a codec's smearing).
constexpr double kPeakNeighbourhoodSeconds = 0.1;
// Around the program's own playback: its direct sound and the room's first reflections.
constexpr double kOwnPlaybackBeforeSeconds = 0.05;
constexpr double kOwnPlaybackAfterSeconds = 0.25;
// Digital silence and a dead input sit far below this; a quiet room's microphone does not.
constexpr double kSilentRms = 3e-4;
constexpr float kClipLevel = 0.999f;
constexpr double kClippedShare = 0.01;
// A correlation this clear needs no clock correction tried.
constexpr double kSureEnough = 0.7;
// Lags are searched this far beyond the range, so a TV just out of reach is told as such.
constexpr double kBeyondMarginSeconds = 30.0;

// FFTW's planner is not thread-safe; executing a plan is.
std::mutex& plannerMutex() {
    static std::mutex m;
    return m;
}

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
using FftwBuffer = std::unique_ptr<float[], FftwFree>;

FftwBuffer allocate(size_t floats) {
    return FftwBuffer(static_cast<float*>(fftwf_malloc(floats * sizeof(float))));
}

struct Plan {
    fftwf_plan plan = nullptr;
    ~Plan() {
        if (plan) {
            std::lock_guard lock(plannerMutex());
            fftwf_destroy_plan(plan);
        }
    }
};

// The smallest size >= n made of 2, 3 and 5 only, even: FFTW is fast there.
size_t transformSize(size_t n) {
    size_t best = SIZE_MAX;
    for (size_t p2 = 2; p2 < 2 * n + 2; p2 *= 2)
        for (size_t p3 = p2; p3 < 2 * n + 2; p3 *= 3)
            for (size_t p5 = p3; p5 < 2 * n + 2; p5 *= 5)
                if (p5 >= n && p5 < best) best = p5;
    return best;
}

}  // namespace

Problem checkSignal(Signal s) {
    if (s.samples.empty() || s.sampleRate < 1000 || s.sampleRate > 384000) return Problem::BadInput;
    double energy = 0;
    size_t clipped = 0;
    for (float v : s.samples) {
        if (!std::isfinite(v)) return Problem::BadInput;
        energy += static_cast<double>(v) * v;
        if (std::abs(v) >= kClipLevel) ++clipped;
    }
    const double seconds = static_cast<double>(s.samples.size()) / s.sampleRate;
    if (seconds < kMinOverlapSeconds) return Problem::TooShort;
    if (std::sqrt(energy / static_cast<double>(s.samples.size())) < kSilentRms)
        return Problem::Silent;
    if (static_cast<double>(clipped) > kClippedShare * static_cast<double>(s.samples.size()))
        return Problem::Clipped;
    return Problem::None;
}

namespace {

// The side at the analysis rate: as it is, or resampled into `own`.
std::span<const float> atAnalysisRate(const Signal& s, std::vector<float>& own) {
    if (s.sampleRate == kAnalysisRate) return s.samples;
    own = resample(s.samples, s.sampleRate, kAnalysisRate);
    return own;
}

// The TV side as its input would have recorded it with a clock ppm faster, about its middle.
std::vector<float> stretched(std::span<const float> y, double ppm) {
    std::vector<float> out(y.size());
    const double centre = static_cast<double>(y.size()) / 2, step = 1 + ppm * 1e-6;
    const auto at = [&](int64_t k) {
        return k >= 0 && k < static_cast<int64_t>(y.size()) ? y[static_cast<size_t>(k)] : 0.0f;
    };
    for (size_t j = 0; j < out.size(); ++j) {
        const double pos = centre + (static_cast<double>(j) - centre) * step;
        const auto i = static_cast<int64_t>(std::floor(pos));
        const auto f = static_cast<float>(pos - static_cast<double>(i));
        const float p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
        out[j] = p1 + 0.5f * f * (p2 - p0 + f * (2 * p0 - 5 * p1 + 4 * p2 - p3 + f * (3 * (p1 - p2) + p3 - p0)));
    }
    return out;
}

struct Peak {
    double shift = 0;  // in analysis samples, between samples
    float score = 0;
    float second = 0;  // the best score away from the peak
    double confidence() const { return score > 0 ? std::clamp(1.0 - second / score, 0.0, 1.0) : 0.0; }
};

}  // namespace

DelayEstimate findDelay(Signal radio, Signal tv, const SearchRange& range) {
    DelayEstimate result;
    if (!(range.minLagSeconds < range.maxLagSeconds) || !std::isfinite(range.minLagSeconds) ||
        !std::isfinite(range.maxLagSeconds) || !std::isfinite(radio.startSeconds) ||
        !std::isfinite(tv.startSeconds) ||
        (range.ownPlaybackLagSeconds && !std::isfinite(*range.ownPlaybackLagSeconds))) {
        result.problem = Problem::BadInput;
        return result;
    }
    for (const Signal* s : {&radio, &tv}) {
        result.problem = checkSignal(*s);
        if (result.problem != Problem::None) return result;
    }

    std::vector<float> ownX, ownY;
    const std::span<const float> x = atAnalysisRate(radio, ownX);
    const std::span<const float> y = atAnalysisRate(tv, ownY);
    const auto nx = static_cast<int64_t>(x.size());
    const auto ny = static_cast<int64_t>(y.size());
    const double fs = kAnalysisRate;
    // c[d] = sum_j y[j] x[j + d]; TV sample j is radio sample j + d, at lag offset - d / fs.
    const double offset = tv.startSeconds - radio.startSeconds;
    const auto minOverlap = static_cast<int64_t>(kMinOverlapSeconds * fs);
    const auto lagToShift = [&](double lag) { return (offset - lag) * fs; };
    // Shifts with enough overlap, and not far beyond the range.
    const int64_t dLow = std::max<int64_t>(
        -(ny - minOverlap),
        static_cast<int64_t>(std::ceil(lagToShift(range.maxLagSeconds + kBeyondMarginSeconds))));
    const int64_t dHigh = std::min<int64_t>(
        nx - minOverlap,
        static_cast<int64_t>(std::floor(lagToShift(range.minLagSeconds - kBeyondMarginSeconds))));
    if (dLow > dHigh) {
        result.problem = Problem::TooShort;
        return result;
    }

    const size_t n = transformSize(static_cast<size_t>(nx + ny));
    const size_t bins = n / 2 + 1;
    FftwBuffer bx = allocate(2 * bins);
    FftwBuffer by = allocate(2 * bins);
    if (!bx || !by) {
        result.problem = Problem::BadInput;
        return result;
    }
    auto* cx = reinterpret_cast<fftwf_complex*>(bx.get());
    auto* cy = reinterpret_cast<fftwf_complex*>(by.get());
    Plan forward, inverse;
    {
        std::lock_guard lock(plannerMutex());
        forward.plan = fftwf_plan_dft_r2c_1d(static_cast<int>(n), bx.get(), cx, FFTW_ESTIMATE);
        inverse.plan = fftwf_plan_dft_c2r_1d(static_cast<int>(n), cy, by.get(), FFTW_ESTIMATE);
    }
    std::fill(bx.get(), bx.get() + 2 * bins, 0.0f);
    std::copy(x.begin(), x.end(), bx.get());
    fftwf_execute_dft_r2c(forward.plan, bx.get(), cx);

    const auto lowBin = static_cast<size_t>(std::ceil(kBandLowHz * static_cast<double>(n) / fs));
    const auto highBin =
        std::min(bins - 1, static_cast<size_t>(kBandHighHz * static_cast<double>(n) / fs));
    const auto masked = [&](int64_t d) {
        if (!range.ownPlaybackLagSeconds) return false;
        const double lag = offset - static_cast<double>(d) / fs;
        return lag > *range.ownPlaybackLagSeconds - kOwnPlaybackBeforeSeconds &&
               lag < *range.ownPlaybackLagSeconds + kOwnPlaybackAfterSeconds;
    };
    const auto neighbourhood = static_cast<int64_t>(kPeakNeighbourhoodSeconds * fs);

    // One correlation of the TV side (as given, or with its clock corrected) with the radio.
    const auto correlate = [&](std::span<const float> tvSide) {
        std::fill(by.get(), by.get() + 2 * bins, 0.0f);
        std::copy(tvSide.begin(), tvSide.end(), by.get());
        fftwf_execute_dft_r2c(forward.plan, by.get(), cy);
        // Generalised cross-correlation with the phase transform, limited to the band.
        for (size_t k = 0; k < bins; ++k) {
            if (k < lowBin || k > highBin) {
                cy[k][0] = cy[k][1] = 0;
                continue;
            }
            const std::complex<float> cross =
                std::complex<float>(cx[k][0], cx[k][1]) * std::conj(std::complex<float>(cy[k][0], cy[k][1]));
            const float mag = std::abs(cross);
            const float w = mag > 1e-30f ? std::pow(mag, -static_cast<float>(kPhatExponent)) : 0.0f;
            cy[k][0] = cross.real() * w;
            cy[k][1] = cross.imag() * w;
        }
        fftwf_execute_dft_c2r(inverse.plan, cy, by.get());
        const float* c = by.get();
        const auto at = [&](int64_t d) {
            return c[static_cast<size_t>(d < 0 ? d + static_cast<int64_t>(n) : d)];
        };
        // Equal noise at every shift: the sum's noise grows with the square root of the overlap.
        const auto score = [&](int64_t d) {
            const int64_t overlap = std::min(ny, nx - d) - std::max<int64_t>(0, -d);
            return std::abs(at(d)) / std::sqrt(static_cast<float>(overlap));
        };
        Peak peak;
        int64_t best = dLow;
        for (int64_t d = dLow; d <= dHigh; ++d) {
            if (masked(d)) continue;
            const float s = score(d);
            if (s > peak.score) {
                peak.score = s;
                best = d;
            }
        }
        for (int64_t d = dLow; d <= dHigh; ++d)
            if ((d <= best - neighbourhood || d >= best + neighbourhood) && !masked(d))
                peak.second = std::max(peak.second, score(d));
        // Between samples: the parabola through the peak and its neighbours.
        peak.shift = static_cast<double>(best);
        if (best > dLow && best < dHigh) {
            const double l = std::abs(at(best - 1)), m = std::abs(at(best)), r = std::abs(at(best + 1));
            const double denom = l - 2 * m + r;
            if (denom < 0) peak.shift += std::clamp(0.5 * (l - r) / denom, -0.5, 0.5);
        }
        return peak;
    };

    // Two inputs' clocks differ by up to 100 ppm, which smears a 30 s correlation over 3 ms
    // and can flatten its peak into the noise: try the TV's clock corrected in steps small
    // enough to leave under half a millisecond of smear.
    Peak found = correlate(y);
    for (double ppm : {30.0, -30.0, 60.0, -60.0, 90.0, -90.0}) {
        if (found.confidence() >= kSureEnough) break;
        const Peak p = correlate(stretched(y, ppm));
        if (p.confidence() > found.confidence()) found = p;
    }
    result.lagSeconds = offset - found.shift / fs;
    result.confidence = found.confidence();
    if (result.confidence < kConfidenceThreshold) {
        result.problem = Problem::NotClear;
    } else if (result.lagSeconds < range.minLagSeconds || result.lagSeconds > range.maxLagSeconds) {
        result.problem = Problem::BeyondRange;
    } else {
        result.confident = true;
    }
    return result;
}

}  // namespace una::finder
