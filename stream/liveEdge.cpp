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
    } else if (!settling() && open_.ns - lastFitNs_ >= 10 * tuning_.binNs) {
        lastFitNs_ = open_.ns;
        fitRate();
    }
}

void LiveEdge::fitLine() {
    // The sender's line lies on or above every arrival, and the least delayed arrivals touch
    // it: it is the upper hull's edge that spans the bins' mean time (the line above all of
    // them that leaves the least room under it). Placed afresh after every bin, it follows
    // the sender's clock closely instead of drifting until a late fit or a move corrects it.
    struct Point {
        double t, y;
    };
    if (bins_.size() < 2)
        return;
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
    double slope = 0;
    for (size_t i = 0; i + 1 < hull.size(); ++i)
        if (hull[i + 1].t >= meanT) {
            slope = (hull[i + 1].y - hull[i].y) / std::max(1e-9, hull[i + 1].t - hull[i].t);
            break;
        }
    const double limit = nominal_ * tuning_.maxPpm * 1e-6;
    slope = std::clamp(slope, -limit, limit);
    double offset = -1e300;
    for (const Point& p : hull)
        offset = std::max(offset, p.y - slope * p.t);
    const double t = static_cast<double>(bins_.back().ns - t0) * 1e-9;
    anchorFrames_ = offset + (nominal_ + slope) * t;
    anchorNs_ = bins_.back().ns;
    rate_ = nominal_ + slope;
}

void LiveEdge::fitRate() {
    // Segments: how late each is fetched wanders over a whole segment, so a hull of a few
    // minutes would bend with the wander. The best arrival of each group of bins is fitted,
    // and the rate moves only once it stands clearly apart from nominal.
    struct Point {
        double t, y;
    };
    std::vector<Point> points;
    const int64_t t0 = bins_.front().ns;
    for (size_t i = 0; i + tuning_.groupBins <= bins_.size(); i += tuning_.groupBins) {
        Point best{0, -1e300};
        for (size_t j = i; j < i + tuning_.groupBins; ++j) {
            const double t = static_cast<double>(bins_[j].ns - t0) * 1e-9;
            const double y = bins_[j].frames - nominal_ * t;
            if (y > best.y)
                best = {t, y};
        }
        points.push_back(best);
    }
    if (points.size() < 4 || points.back().t - points.front().t < tuning_.rateSpanNs * 1e-9)
        return;
    const double n = static_cast<double>(points.size());
    double mt = 0, my = 0;
    for (const Point& p : points) {
        mt += p.t / n;
        my += p.y / n;
    }
    double sxx = 0, sxy = 0;
    for (const Point& p : points) {
        sxx += (p.t - mt) * (p.t - mt);
        sxy += (p.t - mt) * (p.y - my);
    }
    if (sxx <= 0)
        return;
    const double slope = sxy / sxx;
    double ssr = 0;
    for (const Point& p : points) {
        const double r = p.y - my - slope * (p.t - mt);
        ssr += r * r;
    }
    const double error = std::sqrt(ssr / std::max(1.0, n - 2) / sxx);
    const double limit = nominal_ * tuning_.maxPpm * 1e-6;
    double wanted = nominal_;
    if (std::fabs(slope) > tuning_.rateSignificance * error)
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
