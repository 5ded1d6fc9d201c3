#include "audio/clockModel.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace una {

namespace {

constexpr int64_t kBinNs = 250'000'000;
constexpr double kKnownBlockSeconds = 10;
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
    rateKnown_ = false;
    knownPpm_ = 0;
    longBins_.clear();
    binsSinceKnownFit_ = 0;
    offset_ = 0;
    bins_.clear();
    open_ = {};
    recent_.clear();
    offCount_ = 0;
    lastNs_ = 0;
    breakNs_ = 0;
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
    longBins_.clear();
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
            prior_ = {anchorNs_, anchorFrames_, offset_, rate()};
            breakFrames_ = frames;
            breakNs_ = ns;
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
    longBins_.push_back(bins_.back());
    const double longWindow = static_cast<double>(tuning_.knownWindowNs) / kNsPerSecond;
    while (longBins_.size() > 2 && longBins_.back().t - longBins_.front().t > longWindow)
        longBins_.pop_front();
    // Once a second is often enough for a rate that needs minutes.
    if (++binsSinceKnownFit_ >= 4) {
        binsSinceKnownFit_ = 0;
        fitKnownRate();
    }
}

namespace {

struct Line {
    double slope = 0;
    double slopeError = 0;  // standard error
    bool valid = false;
};

template <typename It>
Line fitLine(It first, It last, double minPoints = 4) {
    Line line;
    double n = 0, mt = 0, my = 0;
    for (It b = first; b != last; ++b) {
        n += 1;
        mt += b->t;
        my += b->y;
    }
    if (n < minPoints)
        return line;
    mt /= n;
    my /= n;
    double sxx = 0, sxy = 0;
    for (It b = first; b != last; ++b) {
        sxx += (b->t - mt) * (b->t - mt);
        sxy += (b->t - mt) * (b->y - my);
    }
    if (sxx <= 0)
        return line;
    line.slope = sxy / sxx;
    double residuals = 0;
    for (It b = first; b != last; ++b) {
        const double r = b->y - my - line.slope * (b->t - mt);
        residuals += r * r;
    }
    line.slopeError = std::sqrt(residuals / (n - 2) / sxx);
    line.valid = true;
    return line;
}

}  // namespace

void ClockModel::fitKnownRate() {
    if (longBins_.size() < 8)
        return;
    const double span = longBins_.back().t - longBins_.front().t;
    if (span < static_cast<double>(tuning_.knownSpanNs) / kNsPerSecond)
        return;
    // Blocks of ten seconds: readings that wander for seconds at a time would otherwise pass
    // for many independent ones and make any slope look significant.
    blocks_.clear();
    for (const Bin& b : longBins_) {
        const auto index = static_cast<size_t>((b.t - longBins_.front().t) / kKnownBlockSeconds);
        if (blocks_.size() <= index)
            blocks_.resize(index + 1);
        Bin& block = blocks_[index];
        ++block.n;
        block.t += (b.t - block.t) / block.n;
        block.y += (b.y - block.y) / block.n;
    }
    std::erase_if(blocks_, [](const Bin& b) { return b.n == 0; });
    const Line all = fitLine(blocks_.begin(), blocks_.end());
    if (!all.valid)
        return;
    const double ppm = all.slope / nominal_ * 1e6;
    if (std::abs(ppm) > tuning_.maxPpm)
        return;
    if (std::abs(all.slope) < tuning_.knownSignificance * all.slopeError) {
        // Not told apart from nominal: nominal is what is known.
        rateKnown_ = true;
        knownPpm_ = 0;
        return;
    }
    // A slope that only a stretch of the span carries is not a rate; a crystal's is the same
    // throughout.
    const auto split = blocks_.begin() + static_cast<std::ptrdiff_t>(blocks_.size() / 2);
    const Line early = fitLine(blocks_.begin(), split);
    const Line late = fitLine(split, blocks_.end());
    if (!early.valid || !late.valid)
        return;
    const double apart = std::abs(early.slope - late.slope) / nominal_ * 1e6;
    if (apart > std::max(tuning_.knownHalvesPpm, 0.25 * std::abs(ppm)))
        return;
    rateKnown_ = true;
    knownPpm_ = ppm;
}

void ClockModel::fitRate() {
    if (bins_.size() < 3)
        return;
    const double span = bins_.back().t - bins_.front().t;
    if (span < static_cast<double>(tuning_.rateFitNs) / kNsPerSecond)
        return;
    const Line line = fitLine(bins_.begin(), bins_.end(), 3);
    if (!line.valid)
        return;
    const double limit = tuning_.maxPpm * 1e-6;
    const double fitted = std::clamp(line.slope / nominal_, -limit, limit);
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

int64_t ClockModel::breakShiftNs() const {
    if (breakNs_ == 0 || !hasAnchor_)
        return 0;
    const double frame = static_cast<double>(breakFrames_);
    const double before =
        static_cast<double>(prior_.anchorNs) +
        (frame - static_cast<double>(prior_.anchorFrames) - prior_.offset) / prior_.rate *
            kNsPerSecond;
    return timeOfFrame(frame) - static_cast<int64_t>(std::llround(before));
}

}  // namespace una
