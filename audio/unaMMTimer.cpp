#include "audio/unaMMTimer.h"

#include <algorithm>

namespace una {

namespace {

platform::TimerService& serviceOrSystem(platform::TimerService* service) {
    return service != nullptr ? *service : platform::systemTimerService();
}

}  // namespace

unaMMTimer::unaMMTimer(uint32_t intervalMs, uint32_t resolution, platform::TimerService* service)
    : unaAbstractTimer(intervalMs), service_(serviceOrSystem(service)), resolution_(resolution) {
    const platform::TimerCaps caps = service_.capabilities();
    minPeriod_ = caps.minPeriodMs;
    maxPeriod_ = caps.maxPeriodMs;
}

unaMMTimer::~unaMMTimer() {
    // Only when the owner skipped beforeDestruction.
    if (const uint32_t id = eventId_.exchange(0); id != 0)
        service_.kill(id);
    if (periodMs_ != 0)
        service_.endPeriod(periodMs_);
}

void unaMMTimer::changeInterval(uint32_t& intervalMs) {
    const uint32_t wanted = std::max(resolution_ != 0 ? resolution_ : intervalMs / 10, minPeriod_);
    if (wanted == periodMs_)
        return;
    if (periodMs_ != 0)
        service_.endPeriod(periodMs_);
    periodMs_ = service_.beginPeriod(wanted) ? wanted : 0;
}

uint32_t unaMMTimer::createTimer() {
    const uint32_t id = service_.create(getInterval(), [this] { timerTick(); });
    eventId_.store(id);
    return id;
}

void unaMMTimer::deleteTimer() {
    if (const uint32_t id = eventId_.load(); id != 0)
        service_.kill(id);
    unaAbstractTimer::deleteTimer();
    eventId_.store(0);
}

}  // namespace una
