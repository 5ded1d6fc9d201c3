#pragma once
// Where a station's live edge is: the newest audio its sender has made, as a line of frames
// against the monotonic clock. Audio reaches us late and in bursts (a few seconds on connect,
// whole segments with HLS); a frame can never arrive before it was made, so the edge lies on
// or above every arrival. The line is placed on the earliest arrivals while it settles; then,
// after every second of arrivals, it rests on the least late arrival of the last seconds,
// its slope fitted to the least late arrival of each block of seconds (nominal at first).
// A stream of segments keeps its place instead and only bends: once its fresh arrivals (a
// poll that brought the newest segment soon after it was made) tell the sender's rate
// clearly apart from nominal, the rate is the slope of the upper hull of minutes of arrivals.
// Arrivals far behind the line for long lower it (a slower path for good), arrivals far ahead
// of it lift it.
//
// Not thread-safe: one owner feeds it and asks it.

#include <cstdint>
#include <deque>
#include <vector>

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
        // A sender's clock wanders by some ppm over minutes: its line is fitted to the last two.
        int64_t lineWindowNs = 120'000'000'000;
        int64_t slopeSpanNs = 30'000'000'000;  // the line keeps nominal until bins span this,
        int64_t blockNs = 10'000'000'000;      // then its slope is fitted to the best of each,
        double slopeErrors = 6;  // counting fully once this many standard errors from nominal
        int64_t placeNs = 10'000'000'000;  // it rests on the least late arrival of this long,
        double sinkPpm = 100;              // sinking no faster than this when that one leaves,
        int64_t holdNs = 45'000'000'000;   // but not above the least late arrival of this long
        // Segments only:
        int64_t rateWindowNs = 600'000'000'000;  // bins the rate is fitted to
        int64_t rateSpanNs = 60'000'000'000;     // span of fresh arrivals needed for a rate
        int64_t freshNs = 250'000'000;           // a bin this much less late than the last
        uint32_t rateFreshes = 3;                // fresh bins needed for a rate
        double rateSignificance = 4;             // departure from nominal, in standard errors
        double maxPpm = 1000;                    // a rate beyond this is not believed
        int64_t segmentAheadNs = 2'000'000'000;  // aheadNs for a stream of segments
    };

    explicit LiveEdge(double nominalRate);
    LiveEdge(double nominalRate, const Tuning& tuning);

    // Forgets everything: the next arrival starts a new line.
    void reset();
    // Audio that comes a segment at a time (HLS): how late a segment is fetched wanders over a
    // whole segment, so only the line's slope follows the arrivals, not its place.
    void setSegmented(bool segmented) { segmented_ = segmented; }
    // Segments only: the sender's rate as its own clock's stamps show it (frames per second).
    // The line bends to it at once and no longer looks for a rate in the arrivals, whose
    // polling hides small rates for minutes.
    void setStampedRate(double rate);
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
    void fitLine();
    void fitRate();
    double hullSlope() const;
    void moveBy(double frames);

    const double nominal_;
    const Tuning tuning_;
    bool valid_ = false;
    bool segmented_ = false;
    int64_t startNs_ = 0;
    int64_t lastNs_ = 0;  // the newest arrival
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
    uint32_t moves_ = 0;
    bool havePrevious_ = false;
    bool rateApart_ = false;  // the sender's rate was once told apart from nominal
    double stamped_ = 0;      // the stamps' rate; 0 when none
    Bin previous_;             // the bin closed before
    std::deque<Bin> freshes_;  // segments' arrivals that came right after they were made
    struct Point {
        double t, y;
    };
    mutable std::vector<Point> hull_;  // the last hull or blocks, kept to spare allocations
};

}  // namespace una::stream
