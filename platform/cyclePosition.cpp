#include "platform/cyclePosition.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace platform {

double CyclePosition::add(int64_t ns, int64_t frames, double rate) {
    if (!recent_.empty() && recent_.back().ns > ns)
        reset();
    while (!recent_.empty() && recent_.front().ns < ns - kWindowNs)
        recent_.pop_front();
    if (const double fit = fittedCycle(); fit > 0)
        known_ = fit;
    const double cycle = cycleFrames(static_cast<double>(kStepBackNs) * rate / 1e9);
    // The highest line that a second answer comes close to: one answer alone ahead of all the
    // others by a quarter cycle is the server running ahead for a moment, not the line.
    auto highest = [&] {
        double first = static_cast<double>(frames), second = -1e300;
        for (const Answer& a : recent_) {
            const double at = static_cast<double>(a.frames) +
                              static_cast<double>(ns - a.ns) * rate / 1e9;
            if (at > first) {
                second = first;
                first = at;
            } else {
                second = std::max(second, at);
            }
        }
        return first - second > cycle / 4 && second > -1e300 ? second : first;
    };
    double line = highest();
    // An answer is late by less than a cycle; later than that (and a millisecond) means the
    // position stepped back, once a few in a row say so.
    if (line - static_cast<double>(frames) > cycle + rate / 1000) {
        if (++below_ >= kBelowAnswers) {
            while (recent_.size() > kBelowAnswers - 1)
                recent_.pop_front();
            below_ = 0;
            line = highest();
        }
    } else {
        below_ = 0;
    }
    recent_.push_back({ns, frames});
    return line;
}

double CyclePosition::cycleFrames(double guess) const {
    const double fit = fittedCycle();
    return fit > 0 ? fit : known_ > 0 ? known_ : guess;
}

double CyclePosition::fittedCycle() const {
    std::vector<double> steps;
    for (size_t i = 1; i < recent_.size(); ++i)
        if (recent_[i].frames > recent_[i - 1].frames)
            steps.push_back(static_cast<double>(recent_[i].frames - recent_[i - 1].frames));
    if (steps.size() < 3)
        return -1;
    const double shortest = *std::min_element(steps.begin(), steps.end());
    constexpr double kSlackFrames = 3;
    for (int parts = 1; shortest / parts >= 8 * kSlackFrames; ++parts) {
        // The shortest step in whole cycles; the cycle then from all the steps together, since
        // one step of a resampled stream is whole frames.
        double frames = 0, cycles = 0;
        for (double step : steps) {
            frames += step;
            cycles += std::round(step * parts / shortest);
        }
        const double cycle = frames / cycles;
        const bool fits = std::all_of(steps.begin(), steps.end(), [&](double step) {
            return std::abs(step - std::round(step / cycle) * cycle) <= kSlackFrames;
        });
        if (fits)
            return cycle;
    }
    return -1;
}

}  // namespace platform
