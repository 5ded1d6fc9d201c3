#include "platform/periodicTimer.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"

namespace platform {

namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
// After a stall longer than this many periods the timer resumes in phase without a burst.
constexpr int64_t kMaxCatchUpPeriods = 10;
constexpr int32_t kTimeCriticalPriority = 15;

int64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

}  // namespace

struct PeriodicTimerService::TimerState {
    std::mutex mutex;
    std::condition_variable idle;
    std::condition_variable cancelWake;  // ends the sleep between ticks of a killed timer
    std::atomic<bool> cancelled{false};
    bool running = false;  // a callback is in progress
    std::thread::id thread;
    int64_t periodNs = 0;
    std::function<void()> callback;

    void run(int64_t startNs) {
        {
            std::lock_guard lock(mutex);
            thread = std::this_thread::get_id();
        }
        nameCurrentThread("PeriodicTimer");
        // Ticks pace audio, so they run time-critical where the system allows it.
        applyThreadPriority(currentThreadId(), kTimeCriticalPriority);
        int64_t deadline = startNs + periodNs;
        for (;;) {
            {
                // Asleep until the tick; a kill wakes it, so a long period costs no wake-ups
                // in between.
                std::unique_lock lock(mutex);
                const std::chrono::steady_clock::time_point at{std::chrono::nanoseconds(deadline)};
                while (!cancelled.load() && monotonicNs() < deadline)
                    cancelWake.wait_until(lock, at);
                if (cancelled.load())
                    return;
                running = true;
            }
            try {
                callback();
            } catch (...) {
                // The timer outlives a failing callback.
            }
            {
                std::lock_guard lock(mutex);
                running = false;
            }
            idle.notify_all();
            deadline += periodNs;
            const int64_t behind = monotonicNs() - deadline;
            if (behind > kMaxCatchUpPeriods * periodNs)
                deadline += (behind / periodNs + 1) * periodNs;
        }
    }
};

PeriodicTimerService::~PeriodicTimerService() {
    std::map<uint32_t, std::shared_ptr<TimerState>> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(timers_);
    }
    for (auto& [id, state] : left) {
        {
            std::lock_guard lock(state->mutex);
            state->cancelled.store(true);
        }
        state->cancelWake.notify_all();
    }
}

bool PeriodicTimerService::beginPeriod(uint32_t ms) {
    if (ms < kMinPeriodMs || ms > kMaxPeriodMs)
        return false;
    std::lock_guard lock(mutex_);
    ++periods_[ms];
    ++beginCalls_;
    return true;
}

bool PeriodicTimerService::endPeriod(uint32_t ms) {
    std::lock_guard lock(mutex_);
    auto found = periods_.find(ms);
    if (found == periods_.end())
        return false;
    if (--found->second == 0)
        periods_.erase(found);
    ++endCalls_;
    return true;
}

int32_t PeriodicTimerService::periodsRaised(uint32_t ms) const {
    std::lock_guard lock(mutex_);
    auto found = periods_.find(ms);
    return found == periods_.end() ? 0 : found->second;
}

size_t PeriodicTimerService::activeTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

uint32_t PeriodicTimerService::create(uint32_t periodMs, std::function<void()> callback) {
    if (periodMs < kMinPeriodMs || periodMs > kMaxPeriodMs || !callback)
        return 0;
    auto state = std::make_shared<TimerState>();
    state->periodNs = static_cast<int64_t>(periodMs) * kNsPerMs;
    state->callback = std::move(callback);
    std::lock_guard lock(mutex_);
    uint32_t id = nextId_;
    while (id == 0 || timers_.count(id) != 0)
        ++id;
    try {
        // Detached: a killed timer's thread only touches its own state and ends by itself.
        std::thread(&TimerState::run, state, monotonicNs()).detach();
    } catch (const std::system_error&) {
        return 0;
    }
    nextId_ = id + 1;
    timers_.emplace(id, std::move(state));
    return id;
}

bool PeriodicTimerService::kill(uint32_t id) {
    std::shared_ptr<TimerState> state;
    {
        std::lock_guard lock(mutex_);
        auto found = timers_.find(id);
        if (found == timers_.end())
            return false;
        state = std::move(found->second);
        timers_.erase(found);
    }
    std::unique_lock lock(state->mutex);
    state->cancelled.store(true);
    state->cancelWake.notify_all();
    if (state->thread != std::this_thread::get_id())
        state->idle.wait(lock, [&] { return !state->running; });
    return true;
}

PeriodicTimerService& systemTimerService() {
    static PeriodicTimerService service;
    return service;
}

}  // namespace platform
