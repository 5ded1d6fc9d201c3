#include "stream/liveEdge.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace una::stream {

LiveEdge::LiveEdge(double nominalRate) : LiveEdge(nominalRate, Tuning{}) {}

LiveEdge::LiveEdge(double nominalRate, const Tuning& tuning)
    : nominal_(nominalRate), tuning_(tuning), rate_(nominalRate) {}

void LiveEdge::reset() {
    valid_ = false;
    binsSinceStart_ = 0;
    haveOpen_ = false;
    bins_.clear();
    aheadRun_ = 0;
    rate_ = nominal_;
    havePrevious_ = false;
    rateApart_ = false;
    freshes_.clear();
    stamped_ = 0;
}

void LiveEdge::setStampedRate(double rate) {
    if (!segmented_ || !(rate > 0))
        return;
    stamped_ = rate;
    // Bent where the line is now, so it does not jump.
    if (valid_) {
        anchorFrames_ = edgeAt(lastNs_);
        anchorNs_ = lastNs_;
    }
    rate_ = rate;
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
        startNs_ = anchorNs_ = lastNearNs_ = ns;
        anchorFrames_ = frames;
    }
    lastNs_ = ns;
    const double ahead = frames - edgeAt(ns);
    // While settling the line takes every arrival that comes ahead of it: the earliest ones
    // tell where the sender is.
    if (settling() && ahead > 0)
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

bool LiveEdge::settling() const {
    return binsSinceStart_ < tuning_.settleBins ||
           lastNs_ - startNs_ < tuning_.settleNs;
}

void LiveEdge::closeBin() {
    haveOpen_ = false;
    ++binsSinceStart_;
    bins_.push_back(open_);
    const int64_t window = segmented_ ? tuning_.rateWindowNs : tuning_.lineWindowNs;
    while (!bins_.empty() && open_.ns - bins_.front().ns > window)
        bins_.pop_front();
    const double ahead = open_.frames - edgeAt(open_.ns);
    const double aheadLimit =
        rate_ * static_cast<double>(segmented_ ? tuning_.segmentAheadNs : tuning_.aheadNs) * 1e-9;
    const double behindLimit = rate_ * static_cast<double>(tuning_.behindNs) * 1e-9;
    if (!settling()) {
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
        // The line is fitted on the slower path's arrivals only from now on.
        while (open_.ns - bins_.front().ns > tuning_.behindWindowNs)
            bins_.pop_front();
    }
    if (!segmented_) {
        if (bins_.size() >= 3)
            fitLine();
    } else if (!settling()) {
        // A bin that came far less late than the one before brought a fresh segment.
        if (havePrevious_ && (open_.frames - previous_.frames) / nominal_ -
                                     static_cast<double>(open_.ns - previous_.ns) * 1e-9 >
                                 static_cast<double>(tuning_.freshNs) * 1e-9) {
            freshes_.push_back(open_);
            while (open_.ns - freshes_.front().ns > tuning_.rateWindowNs)
                freshes_.pop_front();
            fitRate();
        }
    }
    previous_ = open_;
    havePrevious_ = true;
}

double LiveEdge::hullSlope() const {
    // The upper hull's edge that spans the bins' mean time: the line above all of them that
    // leaves the least room under it. Its slope is the rate's departure from nominal.
    const int64_t t0 = bins_.front().ns;
    std::vector<Point> hull;
    double meanT = 0;
    for (const Bin& b : bins_) {
        const double t = static_cast<double>(b.ns - t0) * 1e-9;
        const Point p{t, b.frames - nominal_ * t};
        meanT += t / static_cast<double>(bins_.size());
        while (hull.size() >= 2) {
            const Point& a = hull[hull.size() - 2];
            const Point& m = hull.back();
            if ((m.t - a.t) * (p.y - a.y) - (m.y - a.y) * (p.t - a.t) < 0)
                break;
            hull.pop_back();
        }
        hull.push_back(p);
    }
    hull_ = std::move(hull);
    for (size_t i = 0; i + 1 < hull_.size(); ++i)
        if (hull_[i + 1].t >= meanT)
            return (hull_[i + 1].y - hull_[i].y) / std::max(1e-9, hull_[i + 1].t - hull_[i].t);
    return 0;
}

void LiveEdge::fitLine() {
    // The sender's line lies on or above every arrival, and the least delayed arrivals touch
    // it. Placed afresh after every bin, it follows the sender's clock closely instead of
    // drifting until a late fit or a move corrects it.
    if (bins_.size() < 2)
        return;
    const double limit = nominal_ * tuning_.maxPpm * 1e-6;
    double slope = std::clamp(hullSlope(), -limit, limit);
    const int64_t t0 = bins_.front().ns;
    const double t = static_cast<double>(bins_.back().ns - t0) * 1e-9;
    // The least late arrivals of a few seconds still scatter by milliseconds (a connection's
    // burst, a stream read in chunks), enough to fit a rate 1000 ppm off: a slope is believed
    // only over half a minute of bins and once the drift it makes over them stands clear of
    // that scatter. Until then the line keeps the nominal rate.
    double offset = -1e300;
    if (bins_.back().ns - t0 < tuning_.slopeSpanNs ||
        std::fabs(slope) * t < nominal_ * static_cast<double>(tuning_.slopeEvidenceNs) * 1e-9) {
        // On the least late arrival of the last restNs: a sender a little slow then costs a
        // steady few milliseconds, not ones that grow over the whole window. Bins that scatter
        // little below their hull need fewer seconds to find their least late, and fewer
        // seconds cost a slow sender less (100 ppm over 45 s is 4.5 ms).
        double hullOffset = -1e300, depth = 0;
        for (const Point& p : hull_)
            hullOffset = std::max(hullOffset, p.y - slope * p.t);
        for (const Bin& b : bins_) {
            const double bt = static_cast<double>(b.ns - t0) * 1e-9;
            depth += hullOffset + slope * bt - (b.frames - nominal_ * bt);
        }
        const double depthMs = depth / static_cast<double>(bins_.size()) / nominal_ * 1e3;
        const int64_t rest = std::clamp(static_cast<int64_t>(depthMs * tuning_.restPerMsNs),
                                        tuning_.restMinNs, tuning_.restNs);
        slope = 0;
        for (auto b = bins_.rbegin();
             b != bins_.rend() && bins_.back().ns - b->ns <= rest; ++b)
            offset =
                std::max(offset, b->frames - nominal_ * static_cast<double>(b->ns - t0) * 1e-9);
    } else {
        for (const Point& p : hull_)
            offset = std::max(offset, p.y - slope * p.t);
    }
    anchorFrames_ = offset + (nominal_ + slope) * t;
    anchorNs_ = bins_.back().ns;
    rate_ = nominal_ + slope;
}

void LiveEdge::fitRate() {
    // Segments: how late each is fetched grows by a little every poll, until a poll brings two
    // segments at once and the newest is fresh again. A line through the fresh arrivals tells
    // whether the sender's rate stands clearly apart from nominal; if so, the rate is the
    // slope of the upper hull of all bins, which the least late of them pin. The line keeps
    // its place and bends.
    const double n = static_cast<double>(freshes_.size());
    if (freshes_.size() < tuning_.rateFreshes ||
        freshes_.back().ns - freshes_.front().ns < tuning_.rateSpanNs)
        return;
    const int64_t t0 = freshes_.front().ns;
    const auto y = [&](const Bin& b) {
        return b.frames - nominal_ * static_cast<double>(b.ns - t0) * 1e-9;
    };
    double mt = 0, my = 0;
    for (const Bin& b : freshes_) {
        mt += static_cast<double>(b.ns - t0) * 1e-9 / n;
        my += y(b) / n;
    }
    double sxx = 0, sxy = 0;
    for (const Bin& b : freshes_) {
        const double t = static_cast<double>(b.ns - t0) * 1e-9 - mt;
        sxx += t * t;
        sxy += t * (y(b) - my);
    }
    if (sxx <= 0)
        return;
    const double trend = sxy / sxx;
    double ssr = 0;
    for (const Bin& b : freshes_) {
        const double r = y(b) - my - trend * (static_cast<double>(b.ns - t0) * 1e-9 - mt);
        ssr += r * r;
    }
    const double error = std::sqrt(ssr / std::max(1.0, n - 2) / sxx);
    // Once clearly apart, the sender stays off nominal: a while of noisier arrivals (a slower
    // path for a minute) does not send the rate back.
    rateApart_ = rateApart_ || std::fabs(trend) > tuning_.rateSignificance * error;
    if (!rateApart_ || stamped_ > 0)
        return;
    const double limit = nominal_ * tuning_.maxPpm * 1e-6;
    const double wanted = nominal_ + std::clamp(hullSlope(), -limit, limit);
    // Re-anchored at the newest bin so the line bends there instead of jumping.
    const int64_t at = bins_.back().ns;
    anchorFrames_ = edgeAt(at);
    anchorNs_ = at;
    rate_ = wanted;
}

}  // namespace una::stream
