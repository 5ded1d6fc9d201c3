#pragma once
// A device's sleep where the server tells a stream nothing of it (PipeWire) and the stream
// learns it from the device's own state. The graph wakes a device with streams on it within
// milliseconds, so a sleep is kept until someone has looked once, and a recording stream is
// made anew after the wake: the old one gets only zeros from then on, a new one the audio;
// playback goes on as it was. Not locked: the stream guards it with its own lock.

#include <utility>

#include "platform/soundCard.h"

namespace platform {

class DeviceSleep {
  public:
    enum class News { none, asleep, awake };

    // The device's state as last heard. A sleep before the stream is under way is none: the
    // device wakes for it.
    News note(bool asleep, bool underWay, bool input, DeviceState& state) {
        if (asleep == asleep_ || (asleep && !underWay))
            return News::none;
        asleep_ = asleep;
        if (asleep)
            state.suspended = unseen_ = true;
        else if (input)
            renew_ = true;  // said awake once the new stream runs
        else
            state.suspended = false;
        return asleep ? News::asleep : News::awake;
    }
    // The state as the next look should see it.
    void show(DeviceState& state) {
        if (std::exchange(unseen_, false))
            state.suspended = true;
    }
    // True once per wake of a recording stream's device.
    bool takeRenewal() { return std::exchange(renew_, false); }

  private:
    bool asleep_ = false;
    bool unseen_ = false;
    bool renew_ = false;
};

}  // namespace platform
