#pragma once
// Where a station's live edge is: the newest audio its sender has made, as a line of frames
// against the monotonic clock. Audio reaches us late and in bursts (a few seconds on connect,
// whole segments with HLS); a frame can never arrive before it was made, so the edge lies on
// or above every arrival. The line is placed on the earliest arrivals and then held still:
// it only moves when arrivals prove it wrong (they come ahead of it, or stay far behind it for
// long), and its slope is the sender's rate once a fit tells it clearly apart from nominal.
// Moves of slope never make it jump: the line is re-anchored where it is.
//
// Not thread-safe: one owner feeds it and asks it.

#include <cstdint>
#include <deque>

namespace una::stream {

class LiveEdge {
  public:
    struct Tuning {
        int64_t binNs = 1'000'000'000;          // arrivals are judged by the best of each bin
        int64_t settleNs = 10'000'000'000;       // after a start, the line may only rise...
        uint32_t settleBins = 8;                 // ...and until this many bins had arrivals
        int64_t aheadNs = 20'000'000;            // arrivals this far ahead of it...
        uint32_t aheadBins = 3;                  // ...in so many bins in a row lift it
        int64_t behindNs = 1'500'000'000;        // every arrival this far behind it...
        int64_t behindWindowNs = 120'000'000'000;  // ...for so long lowers it
        int64_t rateWindowNs = 600'000'000'000;  // bins that count for the sender's rate
        int64_t rateSpanNs = 60'000'000'000;     // span needed before a rate is fitted
        uint32_t groupBins = 8;                  // the rate is fitted to the best bin of groups
        double rateSignificance = 5;             // departure from nominal, in standard errors
        double maxPpm = 1000;                    // a rate beyond this is not believed
    };

    explicit LiveEdge(double nominalRate);
    LiveEdge(double nominalRate, const Tuning& tuning);

    // Forgets everything: the next arrival starts a new line.
    void reset();
    // `frames` frames of the stream had arrived by `ns`.
    void arrived(int64_t ns, double frames);

    bool valid() const { return valid_; }
    // The edge (frames the sender had made) at a monotonic time; 0 while not valid.
    double edgeAt(int64_t ns) const;
    double rate() const { return rate_; }
    // How often the line was moved after settling.
    uint32_t moves() const { return moves_; }

  private:
    struct Bin {
        int64_t ns = 0;     // time of its best arrival
        double frames = 0;  // frames by then
    };
    void closeBin();
    void fitRate();
    void moveBy(double frames);

    const double nominal_;
    const Tuning tuning_;
    bool valid_ = false;
    int64_t startNs_ = 0;
    int64_t anchorNs_ = 0;
    double anchorFrames_ = 0;
    double rate_;
    bool settling() const;

    uint32_t binsSinceStart_ = 0;
    bool haveOpen_ = false;
    int64_t openStartNs_ = 0;
    Bin open_;
    double openAhead_ = 0;  // the open bin's best arrival minus the line
    std::deque<Bin> bins_;
    uint32_t aheadRun_ = 0;
    double aheadLeast_ = 0;
    int64_t lastNearNs_ = 0;  // last bin not far behind the line
    int64_t lastFitNs_ = 0;
    uint32_t moves_ = 0;
};

}  // namespace una::stream
