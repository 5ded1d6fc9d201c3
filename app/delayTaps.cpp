#include "app/delayTaps.h"

#include <algorithm>

#include "app/delayValue.h"

namespace una::app {

namespace {

// Whether `laterNs` is at most a minute after `earlierNs`, without overflowing on any clock value.
bool withinAMinute(int64_t earlierNs, int64_t laterNs) {
    return laterNs >= earlierNs &&
           static_cast<uint64_t>(laterNs) - static_cast<uint64_t>(earlierNs) <=
               static_cast<uint64_t>(kTapForgetNs);
}

}  // namespace

std::optional<TapChange> DelayTaps::press(TapSide side, int64_t atNs, uint32_t currentMs) {
    if (!pending_ || pending_->side == side || !withinAMinute(pending_->atNs, atNs)) {
        // A second press of the same side means the first was early: the newer one counts.
        pending_ = Press{side, atNs};
        return std::nullopt;
    }
    const int64_t radioNs = side == TapSide::Radio ? atNs : pending_->atNs;
    const int64_t tvNs = side == TapSide::Tv ? atNs : pending_->atNs;
    pending_.reset();
    // Rounded to the millisecond, halves away from zero, in whole nanoseconds.
    const int64_t differenceNs = tvNs - radioNs;
    const int64_t measuredMs = differenceNs >= 0 ? (differenceNs + 500'000) / 1'000'000
                                                 : -((-differenceNs + 500'000) / 1'000'000);
    const int64_t minMs = delayMilliseconds(kMinDelaySeconds);
    const int64_t maxMs = delayMilliseconds(kMaxDelaySeconds);
    TapChange change;
    change.fromMs = currentMs;
    change.toMs = static_cast<uint32_t>(
        std::clamp<int64_t>(static_cast<int64_t>(currentMs) + measuredMs, minMs, maxMs));
    change.measuredMs = measuredMs;
    last_ = change;
    return change;
}

std::optional<TapSide> DelayTaps::waiting(int64_t nowNs) const {
    if (!pending_ || !withinAMinute(pending_->atNs, nowNs))
        return std::nullopt;
    return pending_->side;
}

std::optional<uint32_t> DelayTaps::undo() {
    if (!last_)
        return std::nullopt;
    const uint32_t back = last_->fromMs;
    last_.reset();
    return back;
}

}  // namespace una::app
