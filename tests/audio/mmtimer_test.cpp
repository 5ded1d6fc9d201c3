// ctest-labels: threaded
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "audio/unaMMTimer.h"
#include "platform/periodicTimer.h"

using namespace una;
using namespace std::chrono_literals;

namespace {

// Records what the timer asks of the platform; the test fires ticks by hand.
class FakeTimerService : public platform::TimerService {
  public:
    explicit FakeTimerService(uint32_t minPeriod = 1, uint32_t maxPeriod = 1000000)
        : caps_{minPeriod, maxPeriod} {}

    platform::TimerCaps capabilities() const override { return caps_; }
    bool beginPeriod(uint32_t ms) override {
        calls.push_back({'b', ms});
        return ms >= caps_.minPeriodMs && ms <= caps_.maxPeriodMs;
    }
    bool endPeriod(uint32_t ms) override {
        calls.push_back({'e', ms});
        return true;
    }
    uint32_t create(uint32_t periodMs, std::function<void()> callback) override {
        std::lock_guard lock(mutex_);
        if (refuseCreate)
            return 0;
        const uint32_t id = nextId_++;
        timers_[id] = std::move(callback);
        created.push_back(periodMs);
        return id;
    }
    bool kill(uint32_t id) override {
        std::lock_guard lock(mutex_);
        killed.push_back(id);
        return timers_.erase(id) == 1;
    }
    void fireAll() {
        std::vector<std::function<void()>> callbacks;
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, callback] : timers_)
                callbacks.push_back(callback);
        }
        for (auto& callback : callbacks)
            callback();
    }
    size_t live() {
        std::lock_guard lock(mutex_);
        return timers_.size();
    }

    std::vector<std::pair<char, uint32_t>> calls;  // period begins and ends, in order
    std::vector<uint32_t> created;
    std::vector<uint32_t> killed;
    bool refuseCreate = false;

  private:
    platform::TimerCaps caps_;
    std::mutex mutex_;
    std::map<uint32_t, std::function<void()>> timers_;
    uint32_t nextId_ = 1;
};

using Calls = std::vector<std::pair<char, uint32_t>>;

}  // namespace

TEST(MMTimer, ResolutionFollowsTheIntervalAndIsReleasedOnDestruction) {
    FakeTimerService service;
    auto timer = make<unaMMTimer>(1000, 0, &service);
    EXPECT_EQ(timer->minPeriod(), 1u);
    EXPECT_EQ(timer->maxPeriod(), 1000000u);
    EXPECT_TRUE(service.calls.empty()) << "construction raises nothing";

    timer->setInterval(40);
    EXPECT_EQ(timer->periodMs(), 4u);
    timer->setInterval(45);
    EXPECT_EQ(service.calls, (Calls{{'b', 4}})) << "45 ms needs the same 4 ms resolution";
    timer->setInterval(200);
    EXPECT_EQ(timer->periodMs(), 20u);
    EXPECT_EQ(timer->getInterval(), 200u) << "the interval itself is kept";
    timer.reset();
    EXPECT_EQ(service.calls, (Calls{{'b', 4}, {'e', 4}, {'b', 20}, {'e', 20}}));
}

TEST(MMTimer, PlatformMinimumAndExplicitResolutionWin) {
    FakeTimerService coarse(5);
    auto timer = make<unaMMTimer>(1000, 0, &coarse);
    timer->setInterval(40);
    EXPECT_EQ(timer->periodMs(), 5u);

    FakeTimerService service;
    auto fixed = make<unaMMTimer>(1000, 7, &service);
    fixed->setInterval(40);
    fixed->setInterval(300);
    EXPECT_EQ(service.calls, (Calls{{'b', 7}})) << "an explicit resolution is raised once";

    FakeTimerService untouched;
    make<unaMMTimer>(1000, 0, &untouched).reset();
    EXPECT_TRUE(untouched.calls.empty()) << "a timer never changed releases nothing";

    FakeTimerService narrow(1, 10);
    auto refused = make<unaMMTimer>(1000, 0, &narrow);
    refused->setInterval(500);  // wants 50 ms, above the platform's largest
    EXPECT_EQ(refused->periodMs(), 0u);
    refused.reset();
    EXPECT_EQ(narrow.calls, (Calls{{'b', 50}})) << "a refused raise is not released";
}

TEST(MMTimer, StartCreatesAPlatformTimerWhoseTicksReachTheHandler) {
    FakeTimerService service;
    auto timer = make<unaMMTimer>(1000, 0, &service);
    timer->setInterval(40);
    int ticks = 0;
    timer->onTimer = [&](unaAbstractTimer&) { ++ticks; };
    timer->start();
    ASSERT_TRUE(timer->isRunning());
    EXPECT_EQ(service.created, std::vector<uint32_t>{40});
    service.fireAll();
    service.fireAll();
    EXPECT_EQ(ticks, 2);

    timer->setInterval(45);
    EXPECT_EQ(service.created, (std::vector<uint32_t>{40, 45})) << "restarted at the new interval";
    EXPECT_EQ(service.live(), 1u) << "the old platform timer was not killed";

    timer->stop();
    EXPECT_EQ(service.live(), 0u);
    service.fireAll();
    EXPECT_EQ(ticks, 2);

    service.refuseCreate = true;
    timer->start();
    EXPECT_FALSE(timer->isRunning()) << "a refused platform timer must not count as running";
    timer->stop();
    EXPECT_EQ(service.killed.size(), 2u);
}

TEST(MMTimer, RealServiceTicksStopsCleanlyAndRestarts) {
    std::atomic<int> ticks{0};
    std::atomic<bool> inTick{false};
    std::atomic<bool> overlap{false};
    auto timer = make<unaMMTimer>(1000, 0);
    timer->setInterval(10);
    timer->onTimer = [&](unaAbstractTimer&) {
        if (inTick.exchange(true))
            overlap = true;
        ++ticks;
        std::this_thread::sleep_for(2ms);
        inTick = false;
    };
    for (int run = 0; run < 3; ++run) {
        const int before = ticks.load();
        timer->start();
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (ticks.load() < before + 5 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(5ms);
        timer->stop();
        EXPECT_GE(ticks.load(), before + 5) << "run " << run;
        EXPECT_FALSE(inTick.load()) << "a tick still running after stop";
        const int atStop = ticks.load();
        std::this_thread::sleep_for(60ms);
        EXPECT_EQ(ticks.load(), atStop) << "a tick arrived after stop";
    }
    EXPECT_FALSE(overlap.load());

    // Stopping from the handler runs on the timer's own thread and must not wait for itself.
    std::atomic<bool> stopped{false};
    timer->onTimer = [&](unaAbstractTimer& self) {
        self.stop();
        stopped = true;
    };
    timer->start();
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!stopped && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(stopped.load());
    EXPECT_FALSE(timer->isRunning());
}

TEST(PeriodicTimerService, RefusesBadRequestsAndCountsResolutionPeriods) {
    platform::PeriodicTimerService service;
    EXPECT_EQ(service.create(0, [] {}), 0u);
    EXPECT_EQ(service.create(platform::PeriodicTimerService::kMaxPeriodMs + 1, [] {}), 0u);
    EXPECT_EQ(service.create(10, nullptr), 0u);
    EXPECT_FALSE(service.kill(12345));

    EXPECT_FALSE(service.beginPeriod(0));
    EXPECT_FALSE(service.endPeriod(4)) << "nothing raised";
    EXPECT_TRUE(service.beginPeriod(4));
    EXPECT_TRUE(service.beginPeriod(4));
    EXPECT_EQ(service.periodsRaised(4), 2);
    EXPECT_TRUE(service.endPeriod(4));
    EXPECT_TRUE(service.endPeriod(4));
    EXPECT_FALSE(service.endPeriod(4));
    EXPECT_EQ(service.periodsRaised(4), 0);
    EXPECT_EQ(service.beginCalls(), 2u);
    EXPECT_EQ(service.endCalls(), 2u);
}

TEST(PeriodicTimerService, KillWaitsForTheRunningCallback) {
    platform::PeriodicTimerService service;
    std::atomic<bool> inCallback{false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    const uint32_t id = service.create(5, [&] {
        ++calls;
        inCallback = true;
        std::this_thread::sleep_for(100ms);
        finished = true;
    });
    ASSERT_NE(id, 0u);
    EXPECT_EQ(service.activeTimers(), 1u);
    while (!inCallback)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(service.kill(id));
    EXPECT_TRUE(finished.load()) << "kill returned during a callback";
    const int atKill = calls.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), atKill);
    EXPECT_EQ(service.activeTimers(), 0u);
    EXPECT_FALSE(service.kill(id)) << "a killed id is gone";
}

// With deadlines taken from the previous sleep instead of the clock, a callback that takes
// A timer that schedules each tick a period after the previous callback ended (12 of every
// 20 ms here) never starts one sooner than 20 ms after the last one finished. Ticks on fixed
// deadlines start about 8 ms after, or at once when catching up. A loaded machine only makes
// some wake-ups late, so the quickest tenth of the gaps tells the two apart.
TEST(PeriodicTimerService, SlowCallbacksDoNotStretchThePeriod) {
    using Clock = std::chrono::steady_clock;
    platform::PeriodicTimerService service;
    std::mutex m;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> calls;  // start, end
    const uint32_t id = service.create(20, [&] {
        const auto start = Clock::now();
        std::this_thread::sleep_for(12ms);
        std::lock_guard lock(m);
        calls.emplace_back(start, Clock::now());
    });
    ASSERT_NE(id, 0u);
    const auto begun = Clock::now();
    std::this_thread::sleep_for(2s);
    service.kill(id);
    // A loaded machine may wake this thread late: the bound follows the time that passed.
    const std::chrono::duration<double, std::milli> ran = Clock::now() - begun;
    std::lock_guard lock(m);
    ASSERT_GE(calls.size(), 10u);
    EXPECT_LE(calls.size(), static_cast<size_t>(ran.count() / 20) + 1);
    std::vector<double> restMs;
    for (size_t i = 1; i < calls.size(); ++i) {
        const std::chrono::duration<double, std::milli> rest = calls[i].first - calls[i - 1].second;
        restMs.push_back(rest.count());
    }
    std::nth_element(restMs.begin(), restMs.begin() + restMs.size() / 10, restMs.end());
    EXPECT_LT(restMs[restMs.size() / 10], 16.0) << "the next tick waited a whole period";
}
