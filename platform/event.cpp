#include "platform/event.h"

#include <algorithm>
#include <chrono>

namespace platform {

struct Event::Waiter {
    std::mutex mutex;
    std::condition_variable woken;
    bool fired = false;
};

void Event::set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
        // Under mutex_ so a waiter cannot unregister and vanish while it is told.
        for (Waiter* waiter : waiters_) {
            std::lock_guard waiterLock(waiter->mutex);
            waiter->fired = true;
            waiter->woken.notify_one();
        }
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

bool Event::takeLocked() {
    if (!signalled_)
        return false;
    if (!manualReset_)
        signalled_ = false;
    return true;
}

int waitAny(std::span<Event* const> events, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Event::Waiter waiter;
    int found = -1;
    for (size_t i = 0; i < events.size(); ++i) {
        std::lock_guard lock(events[i]->mutex_);
        if (found < 0 && events[i]->takeLocked())
            found = static_cast<int>(i);
        events[i]->waiters_.push_back(&waiter);
    }
    while (found < 0) {
        {
            std::unique_lock lock(waiter.mutex);
            if (timeoutMs == kInfinite)
                waiter.woken.wait(lock, [&] { return waiter.fired; });
            else if (!waiter.woken.wait_until(lock, deadline, [&] { return waiter.fired; }))
                break;
            waiter.fired = false;
        }
        // Another waiter may have consumed the signal first: then wait on.
        for (size_t i = 0; i < events.size() && found < 0; ++i) {
            std::lock_guard lock(events[i]->mutex_);
            if (events[i]->takeLocked())
                found = static_cast<int>(i);
        }
    }
    for (Event* event : events) {
        std::lock_guard lock(event->mutex_);
        auto& list = event->waiters_;
        list.erase(std::find(list.begin(), list.end(), &waiter));
    }
    return found;
}

bool Event::isSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

}  // namespace platform
