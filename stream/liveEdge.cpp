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
    // Waits only ever make an arrival later, so the least late arrivals show the sender's line.
    // With one arrival a second, a hull through them tilts by a hundred ppm on a single lucky
    // arrival; the least late arrival of each block of seconds, fitted by least squares, tells
    // the slope steadily, and the slope counts only as far as it stands clear of its error.
    const int64_t t0 = bins_.front().ns, tn = bins_.back().ns;
    double slope = 0;
    if (tn - t0 >= tuning_.slopeSpanNs) {
        const int64_t block = tuning_.blockNs;
        std::vector<Point>& tops = hull_;
        tops.assign(static_cast<size_t>((tn - t0) / block) + 1, Point{0, -1e300});
        for (const Bin& b : bins_) {
            const double t = static_cast<double>(b.ns - t0) * 1e-9;
            Point& top = tops[static_cast<size_t>((tn - b.ns) / block)];
            top = std::max(top, Point{t, b.frames - nominal_ * t},
                           [](const Point& l, const Point& r) { return l.y < r.y; });
        }
        // The oldest block, when short, has seen too few arrivals to stand beside the others;
        // blocks of a connection's outage have none.
        if ((tn - t0) % block < block / 2)
            tops.pop_back();
        std::erase_if(tops, [](const Point& p) { return p.y == -1e300; });
        const double n = static_cast<double>(tops.size());
        double mt = 0, my = 0;
        for (const Point& p : tops) {
            mt += p.t / n;
            my += p.y / n;
        }
        double sxx = 0, sxy = 0;
        for (const Point& p : tops) {
            sxx += (p.t - mt) * (p.t - mt);
            sxy += (p.t - mt) * (p.y - my);
        }
        if (tops.size() >= 3 && sxx > 0) {
            const double fitted = sxy / sxx;
            double ssr = 0;
            for (const Point& p : tops) {
                const double r = p.y - my - fitted * (p.t - mt);
                ssr += r * r;
            }
            const double variance = ssr / (n - 2) / sxx * tuning_.slopeErrors * tuning_.slopeErrors;
            const double squared = fitted * fitted;
            const double limit = nominal_ * tuning_.maxPpm * 1e-6;
            if (squared > 0)
                slope = std::clamp(fitted * squared / (squared + variance), -limit, limit);
        }
    }
    // Placed on the least late arrival of the last seconds: few enough that a slope a little
    // off costs little. When that arrival leaves them the line would drop by the next one's
    // wait; it sinks slowly instead, and the next arrival that comes early enough holds it,
    // but never stays above the least late arrival of a longer while (a new slope, a sender
    // far off nominal before its slope is fitted).
    const auto restingOn = [&](int64_t span) {
        double offset = -1e300;
        for (auto b = bins_.rbegin(); b != bins_.rend() && tn - b->ns <= span; ++b)
            offset = std::max(
                offset, b->frames - (nominal_ + slope) * static_cast<double>(b->ns - t0) * 1e-9);
        return offset + (nominal_ + slope) * static_cast<double>(tn - t0) * 1e-9;
    };
    const double sink =
        nominal_ * tuning_.sinkPpm * 1e-6 * static_cast<double>(tn - anchorNs_) * 1e-9;
    const double frames = std::max(restingOn(tuning_.placeNs),
                                   std::min(edgeAt(tn) - sink, restingOn(tuning_.holdNs)));
    anchorFrames_ = frames;
    anchorNs_ = tn;
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
