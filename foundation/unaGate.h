#pragma once
// Gates: the library's re-entrant locks whose entry takes a time-out and fails instead of
// blocking for ever. Any thread may enter; only the owner's leave counts.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "foundation/unaObject.h"

namespace una {

// All ones: wait without limit at the gate itself; owners of a gate read it as "my default".
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class unaAbstractGate : public unaObject {
  public:
    // False when the gate could not be entered within timeoutMs.
    bool enter(uint32_t timeoutMs) { return gateEnter(timeoutMs); }
    void leave() { gateLeave(); }

  protected:
    // The base locks nothing.
    virtual bool gateEnter(uint32_t /*timeoutMs*/) { return true; }
    virtual void gateLeave() {}
};

// A null gate cannot be entered: false, no effect.
inline bool enter(unaAbstractGate* gate, uint32_t timeoutMs) {
    return gate != nullptr && gate->enter(timeoutMs);
}

// A re-entrant in-process lock. A waiter for a busy gate sleeps until the gate is left, and gives
// up no sooner than the gate's old 10 ms polling would have: after the time-out rounded up to the
// next multiple of 10 ms past it, so a time-out of 0 still waits up to 10 ms; -1 blocks.
// A leave from a thread that does not hold the gate is ignored.
class unaInProcessGate : public unaAbstractGate {
  public:
    unaInProcessGate() = default;

    // Kernel thread id of the holder, 0 while free.
    uint32_t owningThread() const { return owner_.load(std::memory_order_acquire); }

  protected:
    bool gateEnter(uint32_t timeoutMs) override;
    void gateLeave() override;

  private:
    std::mutex mutex_;  // guards depth_ and waiters_, and every change of owner_
    std::condition_variable left_;
    std::atomic<uint32_t> owner_{0};
    uint32_t depth_ = 0;
    uint32_t waiters_ = 0;
};

// Enters a gate for one scope; leaves it on every way out when the entry succeeded.
class unaGateGuard {
  public:
    unaGateGuard(unaAbstractGate& gate, uint32_t timeoutMs)
        : gate_(&gate), entered_(gate.enter(timeoutMs)) {}
    ~unaGateGuard() {
        if (entered_)
            gate_->leave();
    }
    unaGateGuard(const unaGateGuard&) = delete;
    unaGateGuard& operator=(const unaGateGuard&) = delete;

    explicit operator bool() const { return entered_; }

  private:
    unaAbstractGate* gate_;
    bool entered_;
};

}  // namespace una
