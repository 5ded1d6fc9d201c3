#pragma once
// Where a recording stream of a sink's monitor really is, from PulseAudio's answers. The server
// hands a monitor's audio over late at times, by up to a millisecond and more for seconds on end
// (just after the stream starts, when another stream joins the sink), and its latency figures
// do not count what it holds back: those answers fall below the line the others keep, and a
// median through them put the delay heard a millisecond off. An answer only ever errs late, so
// the position is the highest line at the stream's rate through the recent answers, taken at
// the second highest of them, so that one odd answer ahead cannot carry it. An answer far
// below that line is no late handover (audio lost, an answer astray) and is given as it
// stands, for the clock model to judge; several in a row start the line again from them.
//
// Not thread-safe: one owner feeds it and asks it.

#include <cstdint>
#include <deque>

namespace platform {

class MonitorPosition {
  public:
    // Answers older than this still count; a sink whose clock runs r ppm off the stream's
    // nominal rate moves the line by up to r ppm of it.
    static constexpr int64_t kWindowNs = 3'000'000'000;
    // A lag this long is no late handover; kBelowAnswers in a row start the line again.
    static constexpr int64_t kStepBackNs = 3'000'000;
    static constexpr uint32_t kBelowAnswers = 3;

    MonitorPosition() = default;
    MonitorPosition(int64_t windowNs, int64_t stepBackNs)
        : windowNs_(windowNs), stepBackNs_(stepBackNs) {}

    // The position the stream had at `ns`, given an answer that says `frames` at `ns`, for a
    // stream moving `rate` frames a second. Never less than `frames`.
    double add(int64_t ns, int64_t frames, double rate);
    // Forgets the answers: the stream stopped, was made anew or its rate changed.
    void reset() {
        recent_.clear();
        below_ = 0;
    }

  private:
    struct Answer {
        int64_t ns;
        int64_t frames;
    };
    int64_t windowNs_ = kWindowNs;
    int64_t stepBackNs_ = kStepBackNs;
    std::deque<Answer> recent_;
    uint32_t below_ = 0;  // answers in a row too far below the line
};

}  // namespace platform
