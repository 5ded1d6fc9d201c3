#pragma once
// Where a sound card's converter is on the monotonic clock: a robust fit of the frame counts
// the card reports against the times it reports them at. A card's crystal runs a few to a few
// hundred ppm away from its nominal rate and the monotonic clock, and each reading is noisy
// by a millisecond or so; the fit gives the card's true rate over the last half minute and
// its position to a fraction of a millisecond. An overrun, an underrun, a stalled machine or a
// reset breaks the line: the model starts again from the readings after the break and keeps
// the rate it had learnt.
//
// Two rates: the one of the last half minute places the card's position (it follows whatever
// the readings do), and a long-term one says how fast the card runs against the system clock.
// The sound server's figures wander under load by hundreds of ppm over half a minute; only a
// rate that holds over minutes, clearly apart from nominal and alike in both halves of the
// span, counts as known. Until then the card counts as running at its nominal rate.
//
// Not thread-safe: one owner feeds it and asks it.

#include <cstdint>
#include <deque>
#include <vector>

namespace una {

class ClockModel {
  public:
    struct Tuning {
        int64_t rateWindowNs = 30'000'000'000;  // readings that count for the rate
        int64_t rateFitNs = 4'000'000'000;      // span from which the rate is fitted at all
        int64_t rateSpanNs = 20'000'000'000;    // span needed before the rate is trusted
        // Readings whose median gives the position: the sound server's figures scatter by a
        // millisecond or so, and the card's true position can step by as much.
        int64_t offsetWindowNs = 3'000'000'000;
        int64_t breakNs = 3'000'000;            // farther off than this is a break...
        uint32_t breakReadings = 3;             // ...when so many readings in a row agree
        double maxPpm = 2000;                   // a fitted rate beyond this is not believed
        int64_t knownWindowNs = 300'000'000'000;  // readings that count for the known rate
        int64_t knownSpanNs = 120'000'000'000;    // span needed before it counts at all
        double knownSignificance = 5;             // the rate's departure, in standard errors
        // Both halves of the span agree within this (ppm) or a quarter of the rate.
        double knownHalvesPpm = 10;
    };

    explicit ClockModel(double nominalRate);
    ClockModel(double nominalRate, const Tuning& tuning);

    // Forgets every reading and the learnt rate.
    void reset();
    // Takes a reading: `frames` had passed the converter at `ns`. True when it (with the ones
    // before) broke with the model and the model started again.
    bool add(int64_t ns, uint64_t frames);

    // False until the first reading.
    bool valid() const { return hasAnchor_; }
    // True once the rate rests on a long enough span of readings.
    bool rateSettled() const { return rateSettled_; }
    double nominalRate() const { return nominal_; }
    // Frames per second of the monotonic clock (the nominal rate until settled or learnt).
    double rate() const { return nominal_ * (1.0 + rateError_); }
    // The rate's departure from nominal, in ppm.
    double ppm() const { return rateError_ * 1e6; }
    // The long-term rate against the system clock: known once it has held for minutes; its
    // departure from nominal in ppm (0 while unknown or not clearly apart from nominal).
    bool rateKnown() const { return rateKnown_; }
    double knownPpm() const { return knownPpm_; }

    // Fractional frame count at a monotonic time; the time a frame passes (both extrapolate
    // along the fitted line). 0 while not valid.
    double frameAt(int64_t ns) const;
    int64_t timeOfFrame(double frame) const;

    // True while the latest readings stray from the line and may turn out to be a break:
    // what is worked out from the model now may have to be worked out again.
    bool suspect() const { return offCount_ > 0; }
    // How often the model started again since construction or reset.
    uint32_t breaks() const { return breaks_; }
    // Time of the last reading; 0 before the first.
    int64_t lastReadingNs() const { return lastNs_; }
    // Time of the reading the last break was declared on; 0 before the first break.
    int64_t lastBreakNs() const { return breakNs_; }
    // How much later the line now places the frame of the last break than the line before the
    // break did (positive: the card's count fell behind, as in a lost cycle); it follows the
    // line as readings after the break come in. 0 before the first break.
    int64_t breakShiftNs() const;

  private:
    struct Bin {
        double t = 0;  // seconds since the anchor, mean of the readings in the bin
        double y = 0;  // frames past the nominal line, mean
        uint32_t n = 0;
    };

    void restart(int64_t ns, uint64_t frames);
    void closeBin();
    void fitRate();
    void fitKnownRate();
    void fitOffset();
    double nominalLine(int64_t ns) const;  // frames of the nominal line, relative to anchor

    const double nominal_;
    const Tuning tuning_;

    bool hasAnchor_ = false;
    int64_t anchorNs_ = 0;
    uint64_t anchorFrames_ = 0;
    double rateError_ = 0;  // fraction
    bool rateSettled_ = false;
    bool rateLearnt_ = false;  // rateError_ comes from a fit (kept across breaks)
    double offset_ = 0;        // frames past the nominal-plus-rate line at the anchor
    std::deque<Bin> bins_;
    std::deque<Bin> longBins_;
    std::vector<Bin> blocks_;
    uint32_t binsSinceKnownFit_ = 0;
    bool rateKnown_ = false;
    double knownPpm_ = 0;
    Bin open_;
    int64_t openStartNs_ = 0;
    struct Recent {
        int64_t ns;
        double y;
    };
    std::deque<Recent> recent_;
    std::vector<double> scratch_;
    uint32_t offCount_ = 0;
    uint32_t breaks_ = 0;
    int64_t lastNs_ = 0;
    // The line before the last break, kept to say how far the break moved it.
    struct Prior {
        int64_t anchorNs = 0;
        uint64_t anchorFrames = 0;
        double offset = 0;
        double rate = 1;
    };
    Prior prior_;
    uint64_t breakFrames_ = 0;
    int64_t breakNs_ = 0;
};

}  // namespace una
