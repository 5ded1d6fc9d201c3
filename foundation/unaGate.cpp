#include "foundation/unaGate.h"

#include <chrono>

#include "platform/threadIdentity.h"

namespace una {

bool unaInProcessGate::gateEnter(uint32_t timeoutMs) {
    const uint32_t self = platform::currentThreadId();
    try {
        std::unique_lock lock(mutex_);
        const auto mine = [&] {
            const uint32_t owner = owner_.load(std::memory_order_relaxed);
            return owner == 0 || owner == self;
        };
        if (!mine()) {
            ++waiters_;
            bool got = true;
            if (timeoutMs == kInfinite) {
                left_.wait(lock, mine);
            } else {
                // Callers were made for a gate polled every 10 ms and may rely on that much grace.
                const auto limit =
                    std::chrono::milliseconds((static_cast<int64_t>(timeoutMs) / 10 + 1) * 10);
                got = left_.wait_for(lock, limit, mine);
            }
            --waiters_;
            if (!got)
                return false;
        }
        owner_.store(self, std::memory_order_release);
        ++depth_;
        return true;
    } catch (...) {
        return false;
    }
}

void unaInProcessGate::gateLeave() {
    const uint32_t self = platform::currentThreadId();
    // Signalled under the lock: once a waiter or the owner-to-be can take the gate, it may
    // also destroy it, so nothing here may touch the gate after the unlock.
    std::lock_guard lock(mutex_);
    if (owner_.load(std::memory_order_relaxed) != self || depth_ == 0)
        return;
    if (--depth_ == 0) {
        owner_.store(0, std::memory_order_release);
        if (waiters_ > 0)
            left_.notify_one();
    }
}

}  // namespace una
