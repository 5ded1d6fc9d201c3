#pragma once
// Two taps for one event (a whistle, a goal, a kick-off): one when it is heard on the radio,
// one when it is seen on the TV, in whichever order they come. The TV moment minus the radio
// moment is how much longer the delay must be (negative: shorter). Also remembers the delay
// before the last change it made, so the change can be taken back. Pure logic on moments the
// caller gives (a steady clock in nanoseconds); one owner thread, no locks.

#include <cstdint>
#include <optional>

namespace una::app {

// A lone press forgotten for longer than this is dropped.
inline constexpr int64_t kTapForgetNs = 60'000'000'000;

enum class TapSide { Radio, Tv };

// A change of the delay made by a pair of taps.
struct TapChange {
    uint32_t fromMs = 0;
    uint32_t toMs = 0;       // within 0.1 to 160 s
    int64_t measuredMs = 0;  // TV moment - radio moment, before the bounds
    // What the delay actually moved by (toMs - fromMs): less than measured at a bound.
    int64_t appliedMs() const { return static_cast<int64_t>(toMs) - static_cast<int64_t>(fromMs); }
};

class DelayTaps {
  public:
    // A press at `atNs`. Completes a pair with a waiting press of the other side that is at
    // most a minute old: the new delay is `currentMs` moved by the measured difference, held
    // within the bounds, and it is remembered for undo. Otherwise the press waits (replacing
    // an earlier press of the same side or a forgotten one) and none is returned.
    std::optional<TapChange> press(TapSide side, int64_t atNs, uint32_t currentMs);

    // The side waiting for its partner at `nowNs`, none when nothing waits or it is forgotten.
    std::optional<TapSide> waiting(int64_t nowNs) const;

    // The delay to go back to, once: none when no change was made or it was already undone.
    // A change of the delay made otherwise (typed, stepped) should call forgetUndo first.
    std::optional<uint32_t> undo();
    bool canUndo() const { return last_.has_value(); }
    void forgetUndo() { last_.reset(); }

    // Drops a waiting press.
    void clear() { pending_.reset(); }

  private:
    struct Press {
        TapSide side;
        int64_t atNs;
    };
    std::optional<Press> pending_;
    std::optional<TapChange> last_;
};

}  // namespace una::app
