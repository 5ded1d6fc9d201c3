#include "foundation/unaThread.h"

namespace una {

namespace {
constexpr uint32_t kTickWaitOnDeleteMs = 5000;
}

unaAbstractTimer::unaAbstractTimer(uint32_t intervalMs) : interval_(intervalMs) {}

unaAbstractTimer::~unaAbstractTimer() = default;

void unaAbstractTimer::beforeDestruction() {
    stop();
    // A handler that stopped the timer itself may still be finishing its tick.
    if (gate_.enter(kTickWaitOnDeleteMs))
        gate_.leave();
    unaObject::beforeDestruction();
}

void unaAbstractTimer::start() {
    if (timerId_.load() == 0)
        timerId_.store(createTimer());
}

void unaAbstractTimer::stop() {
    if (timerId_.load() == 0)
        return;
    deleteTimer();
    timerId_.store(0);
}

void unaAbstractTimer::setInterval(uint32_t intervalMs) {
    if (intervalMs == interval_.load())
        return;
    const bool wasRunning = isRunning();
    stop();
    try {
        changeInterval(intervalMs);
        interval_.store(intervalMs);
    } catch (...) {
        // The old interval stays; the timer still runs again below.
    }
    if (wasRunning)
        start();
}

void unaAbstractTimer::timerTick() {
    unaGateGuard guard(gate_, interval_.load() / 2);
    if (!guard)
        return;
    try {
        onTick();
        if (onTimer)
            onTimer(*this);
    } catch (...) {
        // A failing handler must not end the platform's timer thread.
    }
}

void unaAbstractTimer::deleteTimer() {
    if (gate_.enter(kTickWaitOnDeleteMs))
        gate_.leave();
}

}  // namespace una
