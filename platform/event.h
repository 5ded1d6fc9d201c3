#pragma once
// The platform's event object: what a worker waits on and what a sound card or timer
// signals. Safe to set, reset and wait on from any thread.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
  public:
    Event(bool manualReset, bool initialState)
        : manualReset_(manualReset), signalled_(initialState) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // True when the wait ended because the event was signalled; an auto-reset event is then
    // consumed. kInfinite waits without limit.
    bool wait(uint32_t timeoutMs);
    bool isSet() const;
    bool isManualReset() const { return manualReset_; }

  private:
    const bool manualReset_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};

using EventHandle = std::shared_ptr<Event>;

}  // namespace platform
