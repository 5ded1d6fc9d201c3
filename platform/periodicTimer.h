#pragma once
// Periodic timers for pacing real-time audio: each timer has its own thread that sleeps to
// absolute deadlines on the monotonic clock, so ticks keep their phase instead of drifting by
// the callback's run time. Callbacks run on that thread, at time-critical priority where the
// system allows it, so they must be short.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace platform {

struct TimerCaps {
    uint32_t minPeriodMs = 0;
    uint32_t maxPeriodMs = 0;
};

// The timer service the audio layer paces itself with; tests may substitute a fake.
// Every operation is safe from any thread, callbacks included.
class TimerService {
  public:
    virtual ~TimerService() = default;

    // The smallest and largest period `create` accepts.
    virtual TimerCaps capabilities() const = 0;
    // Raises the system timer resolution to ms for as long as the matching end is not called.
    // False when ms is outside the capabilities.
    virtual bool beginPeriod(uint32_t ms) = 0;
    // False when no begin with the same ms is outstanding.
    virtual bool endPeriod(uint32_t ms) = 0;
    // Starts calling back every periodMs; returns the timer's id, 0 on failure.
    virtual uint32_t create(uint32_t periodMs, std::function<void()> callback) = 0;
    // Stops a timer; when it returns no callback of it runs, except one that called kill
    // itself. False for an unknown id.
    virtual bool kill(uint32_t id) = 0;
};

// The system's timer service on CLOCK_MONOTONIC. The kernel's timers are already as fine as
// Linux offers, so resolution periods are only counted.
class PeriodicTimerService : public TimerService {
  public:
    static constexpr uint32_t kMinPeriodMs = 1;
    static constexpr uint32_t kMaxPeriodMs = 1'000'000;

    PeriodicTimerService() = default;
    ~PeriodicTimerService() override;
    PeriodicTimerService(const PeriodicTimerService&) = delete;
    PeriodicTimerService& operator=(const PeriodicTimerService&) = delete;

    TimerCaps capabilities() const override { return {kMinPeriodMs, kMaxPeriodMs}; }
    bool beginPeriod(uint32_t ms) override;
    bool endPeriod(uint32_t ms) override;
    uint32_t create(uint32_t periodMs, std::function<void()> callback) override;
    bool kill(uint32_t id) override;

    // Begins not yet ended for this ms.
    int32_t periodsRaised(uint32_t ms) const;
    uint64_t beginCalls() const { return beginCalls_.load(); }
    uint64_t endCalls() const { return endCalls_.load(); }
    size_t activeTimers() const;

    struct TimerState;

  private:
    mutable std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<TimerState>> timers_;
    std::map<uint32_t, int32_t> periods_;
    uint32_t nextId_ = 1;
    std::atomic<uint64_t> beginCalls_{0};
    std::atomic<uint64_t> endCalls_{0};
};

// The process's timer service.
PeriodicTimerService& systemTimerService();

}  // namespace platform
