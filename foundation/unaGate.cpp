#include "foundation/unaGate.h"

#include <chrono>
#include <thread>

#include "foundation/unaTime.h"
#include "platform/threadIdentity.h"

namespace una {

void unaInProcessGate::becomeOwner(uint32_t self) {
    owner_.store(self, std::memory_order_release);
    ++depth_;
}

bool unaInProcessGate::gateEnter(uint32_t timeoutMs) {
    const uint32_t self = platform::currentThreadId();
    try {
        if (timeoutMs == kInfinite) {
            mutex_.lock();
            becomeOwner(self);
            return true;
        }
        const int64_t mark = markTime();
        for (;;) {
            if (mutex_.try_lock()) {
                becomeOwner(self);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (static_cast<int64_t>(timeoutMs) < elapsedMs(mark))
                return false;
        }
    } catch (...) {
        return false;
    }
}

void unaInProcessGate::gateLeave() {
    if (owner_.load(std::memory_order_acquire) != platform::currentThreadId())
        return;
    if (--depth_ == 0)
        owner_.store(0, std::memory_order_release);
    mutex_.unlock();
}

}  // namespace una
