#include "platform/cyclePosition.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace platform {

namespace {

// Steps between answers are whole cycles within this; a resampled stream's are whole frames.
constexpr double kSlackFrames = 3;
// A first count shorter than this is no cycle a server runs (256 frames at 48 kHz).
constexpr int64_t kShortestFirstNs = 5'000'000;

}  // namespace

double CyclePosition::add(int64_t ns, int64_t frames, double rate) {
    if (!recent_.empty() && recent_.back().ns > ns)
        reset();
    while (!recent_.empty() && recent_.front().ns < ns - kWindowNs)
        recent_.pop_front();
    if (const double fit = fittedCycle(); fit > 0)
        known_ = fit;
    // A new stream counts from zero, so its first count is the cycle it ran (two show as such
    // at the first step). With it, a playback position is counted back by the real cycle from
    // the first answer, not by a guess that a cycle found later corrects with a jump, and a
    // stream whose second cycle found no audio yet shows as a step back at once.
    if (recent_.empty() && known_ <= 0 && frames >= kShortestFirstNs * rate / 1e9 &&
        frames <= kStepBackNs * rate / 1e9)
        firstCount_ = static_cast<double>(frames);
    if (firstCount_ > 0 && !recent_.empty() && frames > recent_.back().frames) {
        // The first count may carry a little of the sink's latency; a step is whole cycles.
        // One that is no whole number of it says the first count was more than one cycle.
        const double step = static_cast<double>(frames - recent_.back().frames);
        const double cycles = std::round(step / firstCount_);
        if (cycles >= 1 && std::abs(step / cycles - firstCount_) <= firstCount_ / 10)
            firstCount_ = step / cycles;
        else
            firstCount_ = -1;
    }
    const double cycle = cycleFrames(static_cast<double>(kStepBackNs) * rate / 1e9);
    // The highest line that an answer of a second cycle comes close to: one cycle's answers
    // alone ahead of all the others by a quarter cycle are the server running ahead for a
    // moment, or a stream that ran one cycle and then waited for its audio, not the line.
    auto highest = [&] {
        double first = static_cast<double>(frames), second = -1e300;
        int64_t firstFrames = frames;
        for (const Answer& a : recent_) {
            const double at = static_cast<double>(a.frames) +
                              static_cast<double>(ns - a.ns) * rate / 1e9;
            if (a.frames == firstFrames) {
                first = std::max(first, at);
            } else if (at > first) {
                second = first;
                first = at;
                firstFrames = a.frames;
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
    return fit > 0 ? fit : known_ > 0 ? known_ : firstCount_ > 0 ? firstCount_ : guess;
}

double CyclePosition::fittedCycle() const {
    std::vector<double> steps;
    for (size_t i = 1; i < recent_.size(); ++i)
        if (recent_[i].frames > recent_[i - 1].frames)
            steps.push_back(static_cast<double>(recent_[i].frames - recent_[i - 1].frames));
    if (steps.size() < 3)
        return -1;
    const double shortest = *std::min_element(steps.begin(), steps.end());
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
