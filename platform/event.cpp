#include "platform/event.h"

#include <chrono>

namespace platform {

void Event::set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    if (manualReset_)
        changed_.notify_all();
    else
        changed_.notify_one();
}

void Event::reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool Event::wait(uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    if (timeoutMs == kInfinite)
        changed_.wait(lock, [this] { return signalled_; });
    else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return signalled_; }))
        return false;
    if (!manualReset_)
        signalled_ = false;
    return true;
}

bool Event::isSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

}  // namespace platform
