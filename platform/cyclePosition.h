#pragma once
// Where a stream of a graph-driven sound server really is, from answers whose position moves
// once per processing cycle but whose stamp is the moment of the answer. PipeWire's PulseAudio
// service answers that way: a position belongs to the last cycle, up to a whole cycle (10 to
// 40 ms) older than its stamp, and a fit through such answers sits half a cycle late, more or
// less as the moments of asking happen to fall against the cycles. The cycle's own moment is
// the earliest one a position could have had: the highest line at the stream's rate through
// the recent answers. Readings more than a cycle below that line are a real step back (an
// underrun, a skipped cycle) and the line starts again from them.
//
// Not thread-safe: one owner feeds it and asks it.

#include <cstdint>
#include <deque>

namespace platform {

class CyclePosition {
  public:
    // Answers older than this still count for the line; a card's rate off nominal by r ppm
    // moves the line by up to r ppm of it.
    static constexpr int64_t kWindowNs = 3'000'000'000;
    // Until the cycle shows, a reading this far below the line is a step back, not a late
    // answer: more than the longest cycle the servers run at (2048 frames at 48 kHz).
    static constexpr int64_t kStepBackNs = 45'000'000;
    // Readings in a row that make a step back.
    static constexpr uint32_t kBelowAnswers = 3;

    // The position the stream had at `ns`, given an answer that says `frames` at `ns`, for a
    // stream moving `rate` frames a second. Never less than `frames`.
    double add(int64_t ns, int64_t frames, double rate);
    // Forgets the answers: the stream stopped, was made anew or its rate changed.
    void reset() {
        recent_.clear();
        below_ = 0;
        known_ = -1;
        firstCount_ = -1;
    }

    // One cycle, in frames: the largest length every step between the recent answers is a
    // whole number of (within two frames; a resampled stream's cycle is no whole number of
    // frames). While fewer than three steps were seen: the cycle found before a step back
    // (the server lost time, its cycle stayed), else a new stream's first count (the first
    // cycle it ran, taken from zero), else `guess`.
    double cycleFrames(double guess) const;

  private:
    // The cycle the recent answers' steps show; -1 when they show none.
    double fittedCycle() const;

    struct Answer {
        int64_t ns;
        int64_t frames;
    };
    std::deque<Answer> recent_;
    uint32_t below_ = 0;  // answers in a row too far below the line
    double known_ = -1;   // the cycle last found, kept over a step back
    double firstCount_ = -1;  // a new stream's first count, while it may be its first cycle
};

}  // namespace platform
