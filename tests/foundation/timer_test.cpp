// ctest-labels: threaded
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "foundation/unaThread.h"

using namespace una;
using namespace std::chrono_literals;

namespace {

struct Calls {
    std::atomic<int> created{0};
    std::atomic<int> deleted{0};
    std::atomic<int> changed{0};
    std::atomic<int> ticks{0};
    std::string order;  // touched only under the timer's gate
};

// A timer whose platform side is the test itself: ticks are driven by calling timerTick.
class ManualTimer : public unaAbstractTimer {
  public:
    ManualTimer(uint32_t intervalMs, Calls* calls) : unaAbstractTimer(intervalMs), calls_(calls) {}
    bool failChange = false;

  protected:
    void onTick() override {
        ++calls_->ticks;
        calls_->order += 't';
    }
    void changeInterval(uint32_t& /*intervalMs*/) override {
        ++calls_->changed;
        if (failChange)
            throw std::runtime_error("refused");
    }
    uint32_t createTimer() override { return static_cast<uint32_t>(++calls_->created) + 100; }
    void deleteTimer() override {
        ++calls_->deleted;
        unaAbstractTimer::deleteTimer();
    }

  private:
    Calls* calls_;
};

}  // namespace

TEST(Timer, StartAndStopCreateAndDeleteThePlatformTimerOnce) {
    Calls calls;
    auto timer = make<ManualTimer>(40, &calls);
    EXPECT_FALSE(timer->isRunning());
    timer->stop();
    EXPECT_EQ(calls.deleted.load(), 0) << "a stopped timer has nothing to delete";

    timer->start();
    timer->start();
    EXPECT_TRUE(timer->isRunning());
    EXPECT_EQ(calls.created.load(), 1);
    timer->stop();
    timer->stop();
    EXPECT_FALSE(timer->isRunning());
    EXPECT_EQ(calls.deleted.load(), 1);

    timer->start();
    timer.reset();
    EXPECT_EQ(calls.deleted.load(), 2) << "destruction stops a running timer";
}

TEST(Timer, SetIntervalRestartsOnlyARunningTimerAndSurvivesAFailingChange) {
    Calls calls;
    auto timer = make<ManualTimer>(1000, &calls);
    timer->setInterval(1000);
    EXPECT_EQ(calls.changed.load(), 0) << "same interval: nothing to do";

    timer->setInterval(40);
    EXPECT_EQ(timer->getInterval(), 40u);
    EXPECT_FALSE(timer->isRunning()) << "a stopped timer stays stopped";
    EXPECT_EQ(calls.created.load(), 0);

    timer->start();
    timer->setInterval(50);
    EXPECT_TRUE(timer->isRunning());
    EXPECT_EQ(timer->getInterval(), 50u);
    EXPECT_EQ(calls.deleted.load(), 1);
    EXPECT_EQ(calls.created.load(), 2);

    timer->failChange = true;
    timer->setInterval(60);
    EXPECT_TRUE(timer->isRunning()) << "restarted although changeInterval raised";
    EXPECT_EQ(calls.created.load(), 3);
    EXPECT_EQ(timer->getInterval(), 50u) << "a refused change keeps the old interval";
}

TEST(Timer, TickRunsOnTickThenHandlerAndSwallowsFailures) {
    Calls calls;
    auto timer = make<ManualTimer>(40, &calls);
    timer->timerTick();
    EXPECT_EQ(calls.ticks.load(), 1) << "onTick runs without a handler";

    int handled = 0;
    timer->onTimer = [&](unaAbstractTimer& sender) {
        EXPECT_EQ(&sender, timer.get());
        calls.order += 'h';
        if (++handled == 2)
            throw std::runtime_error("handler failed");
    };
    timer->timerTick();
    timer->timerTick();
    timer->timerTick();
    EXPECT_EQ(handled, 3);
    EXPECT_EQ(calls.order, "tththth");

    // A failed tick must not leave the gate held.
    std::atomic<bool> otherTicked{false};
    std::thread other([&] {
        timer->timerTick();
        otherTicked = handled == 4;
    });
    other.join();
    EXPECT_TRUE(otherTicked.load());
}

TEST(Timer, TickArrivingDuringASlowHandlerIsSkipped) {
    Calls calls;
    auto timer = make<ManualTimer>(100, &calls);
    std::atomic<bool> inHandler{false};
    std::atomic<bool> release{false};
    std::atomic<int> handled{0};
    timer->onTimer = [&](unaAbstractTimer&) {
        ++handled;
        inHandler = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
    };
    std::thread slow([&] { timer->timerTick(); });
    while (!inHandler)
        std::this_thread::sleep_for(1ms);

    for (int i = 0; i < 3; ++i)
        timer->timerTick();  // each gives up after half the interval
    EXPECT_EQ(handled.load(), 1) << "ticks queued up behind the slow handler";
    release = true;
    slow.join();

    timer->timerTick();
    EXPECT_EQ(handled.load(), 2);
}

TEST(Timer, StopWaitsForARunningTickAndMayBeCalledFromTheHandler) {
    Calls calls;
    auto timer = make<ManualTimer>(40, &calls);
    timer->start();
    std::atomic<bool> inHandler{false};
    std::atomic<bool> tickDone{false};
    timer->onTimer = [&](unaAbstractTimer&) {
        inHandler = true;
        std::this_thread::sleep_for(150ms);
        tickDone = true;
    };
    std::thread platformThread([&] { timer->timerTick(); });
    while (!inHandler)
        std::this_thread::sleep_for(1ms);
    timer->stop();
    EXPECT_TRUE(tickDone.load()) << "stop returned while a tick was running";
    platformThread.join();

    timer->start();
    timer->onTimer = [](unaAbstractTimer& self) { self.stop(); };
    std::thread selfStopper([&] { timer->timerTick(); });
    selfStopper.join();
    EXPECT_FALSE(timer->isRunning());
    EXPECT_EQ(calls.deleted.load(), 2);
}

TEST(Timer, DestructionWaitsForATickWhoseHandlerStoppedTheTimer) {
    Calls calls;
    auto timer = make<ManualTimer>(40, &calls);
    timer->start();
    std::atomic<bool> stoppedItself{false};
    std::atomic<bool> tickDone{false};
    timer->onTimer = [&](unaAbstractTimer& self) {
        self.stop();
        stoppedItself = true;
        std::this_thread::sleep_for(100ms);
        tickDone = true;
    };
    std::thread platformThread([&] { timer->timerTick(); });
    while (!stoppedItself)
        std::this_thread::sleep_for(1ms);
    timer.reset();
    EXPECT_TRUE(tickDone.load()) << "the timer was destroyed under a running tick";
    platformThread.join();
}
