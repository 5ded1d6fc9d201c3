#include "stream/liveEdge.h"

#include <algorithm>
#include <cmath>

namespace una::stream {

LiveEdge::LiveEdge(double nominalRate) : LiveEdge(nominalRate, Tuning{}) {}

LiveEdge::LiveEdge(double nominalRate, const Tuning& tuning)
    : nominal_(nominalRate), tuning_(tuning), rate_(nominalRate) {}

void LiveEdge::reset() {
    valid_ = false;
    haveOpen_ = false;
    bins_.clear();
    aheadRun_ = 0;
    rate_ = nominal_;
}

double LiveEdge::edgeAt(int64_t ns) const {
    if (!valid_)
        return 0;
    return anchorFrames_ + rate_ * static_cast<double>(ns - anchorNs_) * 1e-9;
}

void LiveEdge::moveBy(double frames) {
    anchorFrames_ += frames;
}

void LiveEdge::arrived(int64_t ns, double frames) {
    if (!valid_) {
        valid_ = true;
        startNs_ = anchorNs_ = lastNearNs_ = lastFitNs_ = ns;
        anchorFrames_ = frames;
    }
    const double ahead = frames - edgeAt(ns);
    // While settling the line takes every arrival that comes ahead of it: the earliest ones
    // tell where the sender is.
    if (ns - startNs_ < tuning_.settleNs && ahead > 0)
        moveBy(ahead);
    if (haveOpen_ && ns - openStartNs_ >= tuning_.binNs)
        closeBin();
    if (!haveOpen_ || ahead > openAhead_) {
        if (!haveOpen_)
            openStartNs_ = ns;
        haveOpen_ = true;
        open_ = {ns, frames};
        openAhead_ = ahead;
    }
}

void LiveEdge::closeBin() {
    haveOpen_ = false;
    bins_.push_back(open_);
    while (!bins_.empty() && open_.ns - bins_.front().ns > tuning_.rateWindowNs)
        bins_.pop_front();
    const double ahead = open_.frames - edgeAt(open_.ns);
    const double aheadLimit = rate_ * static_cast<double>(tuning_.aheadNs) * 1e-9;
    const double behindLimit = rate_ * static_cast<double>(tuning_.behindNs) * 1e-9;
    if (open_.ns - startNs_ >= tuning_.settleNs) {
        // Arrivals ahead of the edge are impossible for the line that is right: the sender
        // came closer (a faster path, a new server).
        if (ahead > aheadLimit) {
            aheadLeast_ = aheadRun_ == 0 ? ahead : std::min(aheadLeast_, ahead);
            if (++aheadRun_ >= tuning_.aheadBins) {
                moveBy(aheadLeast_);
                aheadRun_ = 0;
                ++moves_;
            }
        } else {
            aheadRun_ = 0;
        }
    }
    if (ahead > -behindLimit) {
        lastNearNs_ = open_.ns;
    } else if (open_.ns - lastNearNs_ > tuning_.behindWindowNs) {
        // Everything has come late for minutes: the path got slower for good.
        double best = -1e300;
        for (const Bin& b : bins_)
            if (open_.ns - b.ns <= tuning_.behindWindowNs)
                best = std::max(best, b.frames - edgeAt(b.ns));
        moveBy(best);
        lastNearNs_ = open_.ns;
        ++moves_;
    }
    if (open_.ns - lastFitNs_ >= 10 * tuning_.binNs) {
        lastFitNs_ = open_.ns;
        fitRate();
    }
}

void LiveEdge::fitRate() {
    if (bins_.size() < 8 || bins_.back().ns - bins_.front().ns < tuning_.rateSpanNs)
        return;
    // Least squares of the bins' best arrivals against time, about their means.
    const double n = static_cast<double>(bins_.size());
    const int64_t t0 = bins_.front().ns;
    double st = 0, sy = 0;
    for (const Bin& b : bins_) {
        st += static_cast<double>(b.ns - t0) * 1e-9;
        sy += b.frames - nominal_ * static_cast<double>(b.ns - t0) * 1e-9;
    }
    const double mt = st / n, my = sy / n;
    double sxx = 0, sxy = 0;
    for (const Bin& b : bins_) {
        const double t = static_cast<double>(b.ns - t0) * 1e-9 - mt;
        const double y = b.frames - nominal_ * static_cast<double>(b.ns - t0) * 1e-9 - my;
        sxx += t * t;
        sxy += t * y;
    }
    if (sxx <= 0)
        return;
    const double slope = sxy / sxx;
    double ssr = 0;
    for (const Bin& b : bins_) {
        const double t = static_cast<double>(b.ns - t0) * 1e-9 - mt;
        const double y = b.frames - nominal_ * static_cast<double>(b.ns - t0) * 1e-9 - my;
        ssr += (y - slope * t) * (y - slope * t);
    }
    const double stderr = std::sqrt(ssr / std::max(1.0, n - 2) / sxx);
    const double limit = nominal_ * tuning_.maxPpm * 1e-6;
    double wanted = nominal_;
    if (std::fabs(slope) > tuning_.rateSignificance * stderr)
        wanted = nominal_ + std::clamp(slope, -limit, limit);
    if (wanted == rate_)
        return;
    // Re-anchored at the newest bin so the line bends there instead of jumping.
    const int64_t at = bins_.back().ns;
    anchorFrames_ = edgeAt(at);
    anchorNs_ = at;
    rate_ = wanted;
}

}  // namespace una::stream
