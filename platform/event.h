#pragma once
// The platform's event object: what a worker waits on and what a sound card or timer
// signals. Safe to set, reset and wait on from any thread.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

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
    friend int waitAny(std::span<Event* const> events, uint32_t timeoutMs);
    struct Waiter;
    // Consumes the signal of an auto-reset event; the caller holds mutex_.
    bool takeLocked();

    const bool manualReset_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
    std::vector<Waiter*> waiters_;  // multi-waits currently watching this event
};

// Waits until one of the events is signalled and consumes it as wait would; returns its index,
// or -1 on time-out. When several are signalled the first in the list wins.
int waitAny(std::span<Event* const> events, uint32_t timeoutMs);

using EventHandle = std::shared_ptr<Event>;

}  // namespace platform
