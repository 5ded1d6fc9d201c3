#include "audio/clockModel.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace una {

namespace {

constexpr int64_t kBinNs = 250'000'000;
constexpr double kNsPerSecond = 1e9;

}  // namespace

ClockModel::ClockModel(double nominalRate) : ClockModel(nominalRate, Tuning{}) {}

ClockModel::ClockModel(double nominalRate, const Tuning& tuning)
    : nominal_(nominalRate > 0 ? nominalRate : 1.0), tuning_(tuning) {}

void ClockModel::reset() {
    hasAnchor_ = false;
    rateError_ = 0;
    rateSettled_ = false;
    rateLearnt_ = false;
    offset_ = 0;
    bins_.clear();
    open_ = {};
    recent_.clear();
    offCount_ = 0;
    lastNs_ = 0;
}

double ClockModel::nominalLine(int64_t ns) const {
    return nominal_ * static_cast<double>(ns - anchorNs_) / kNsPerSecond;
}

void ClockModel::restart(int64_t ns, uint64_t frames) {
    hasAnchor_ = true;
    anchorNs_ = ns;
    anchorFrames_ = frames;
    offset_ = 0;
    bins_.clear();
    open_ = {};
    openStartNs_ = ns;
    recent_.clear();
    recent_.push_back({ns, 0.0});
    offCount_ = 0;
    // A break says nothing against the rate learnt before it.
    rateSettled_ = rateLearnt_;
    if (!rateLearnt_)
        rateError_ = 0;
}

bool ClockModel::add(int64_t ns, uint64_t frames) {
    lastNs_ = ns;
    if (!hasAnchor_) {
        restart(ns, frames);
        return false;
    }
    const double t = static_cast<double>(ns - anchorNs_) / kNsPerSecond;
    const double y = static_cast<double>(frames) - static_cast<double>(anchorFrames_) -
                     nominalLine(ns);
    const double expected = offset_ + rateError_ * nominal_ * t;
    const double offNs = std::abs(y - expected) / nominal_ * kNsPerSecond;
    if (offNs > static_cast<double>(tuning_.breakNs)) {
        // One stray reading (a thread that was preempted between the two clocks) is ignored;
        // several in a row mean the card's count really jumped.
        if (++offCount_ >= tuning_.breakReadings) {
            ++breaks_;
            restart(ns, frames);
            return true;
        }
        return false;
    }
    offCount_ = 0;

    recent_.push_back({ns, y});
    while (!recent_.empty() && ns - recent_.front().ns > tuning_.offsetWindowNs)
        recent_.pop_front();
    if (ns - openStartNs_ >= kBinNs && open_.n > 0)
        closeBin();
    if (open_.n == 0)
        openStartNs_ = ns;
    open_.t += (t - open_.t) / (open_.n + 1);
    open_.y += (y - open_.y) / (open_.n + 1);
    ++open_.n;
    fitOffset();
    return false;
}

void ClockModel::closeBin() {
    bins_.push_back(open_);
    open_ = {};
    const double window = static_cast<double>(tuning_.rateWindowNs) / kNsPerSecond;
    while (bins_.size() > 2 && bins_.back().t - bins_.front().t > window)
        bins_.pop_front();
    fitRate();
}

void ClockModel::fitRate() {
    if (bins_.size() < 3)
        return;
    const double span = bins_.back().t - bins_.front().t;
    if (span < static_cast<double>(tuning_.rateFitNs) / kNsPerSecond)
        return;
    double mt = 0, my = 0;
    for (const Bin& b : bins_) {
        mt += b.t;
        my += b.y;
    }
    mt /= static_cast<double>(bins_.size());
    my /= static_cast<double>(bins_.size());
    double sxx = 0, sxy = 0;
    for (const Bin& b : bins_) {
        sxx += (b.t - mt) * (b.t - mt);
        sxy += (b.t - mt) * (b.y - my);
    }
    if (sxx <= 0)
        return;
    const double limit = tuning_.maxPpm * 1e-6;
    const double fitted = std::clamp(sxy / sxx / nominal_, -limit, limit);
    // A short span only keeps the position from lagging; a rate learnt before a break stays
    // until the new span is as long as the one it came from.
    if (span >= static_cast<double>(tuning_.rateSpanNs) / kNsPerSecond) {
        rateError_ = fitted;
        rateSettled_ = true;
        rateLearnt_ = true;
    } else if (!rateLearnt_) {
        rateError_ = fitted;
    }
    fitOffset();
}

void ClockModel::fitOffset() {
    if (recent_.empty())
        return;
    scratch_.clear();
    for (const Recent& r : recent_)
        scratch_.push_back(r.y - rateError_ * nominal_ *
                                     static_cast<double>(r.ns - anchorNs_) / kNsPerSecond);
    const size_t mid = scratch_.size() / 2;
    std::nth_element(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(mid),
                     scratch_.end());
    double median = scratch_[mid];
    if (scratch_.size() % 2 == 0) {
        const double below = *std::max_element(scratch_.begin(),
                                                scratch_.begin() + static_cast<std::ptrdiff_t>(mid));
        median = 0.5 * (median + below);
    }
    offset_ = median;
}

double ClockModel::frameAt(int64_t ns) const {
    if (!hasAnchor_)
        return 0;
    return static_cast<double>(anchorFrames_) + offset_ +
           rate() * static_cast<double>(ns - anchorNs_) / kNsPerSecond;
}

int64_t ClockModel::timeOfFrame(double frame) const {
    if (!hasAnchor_)
        return 0;
    const double seconds = (frame - static_cast<double>(anchorFrames_) - offset_) / rate();
    return anchorNs_ + static_cast<int64_t>(std::llround(seconds * kNsPerSecond));
}

}  // namespace una
