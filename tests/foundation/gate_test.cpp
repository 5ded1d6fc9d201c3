// ctest-labels: threaded
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/unaEvent.h"
#include "foundation/unaGate.h"
#include "foundation/unaHeap.h"
#include "foundation/unaTime.h"

using namespace una;
using namespace std::chrono_literals;

TEST(Gate, ReentryOwnershipAndTimeouts) {
    unaInProcessGate gate;
    ASSERT_TRUE(gate.enter(kInfinite));
    EXPECT_TRUE(gate.enter(0)) << "the holder re-enters at once";
    EXPECT_NE(gate.owningThread(), 0u);

    std::atomic<bool> foreignResult{true};
    std::atomic<int64_t> waitedMs{0};
    std::thread other([&] {
        gate.leave();  // not the holder: ignored
        const int64_t mark = markTime();
        foreignResult = gate.enter(50);
        waitedMs = elapsedMs(mark);
    });
    other.join();
    EXPECT_FALSE(foreignResult);
    EXPECT_GE(waitedMs.load(), 50);
    EXPECT_NE(gate.owningThread(), 0u) << "a foreign leave keeps the holder's ownership";

    gate.leave();
    EXPECT_NE(gate.owningThread(), 0u) << "one level is still held";
    gate.leave();
    EXPECT_EQ(gate.owningThread(), 0u);
}

namespace {

// Another thread holds the gate for 30 ms; this one waits for it with the time-out.
void enterWhileHeldElsewhere(unaInProcessGate& gate, uint32_t timeout) {
    unaEvent held;
    std::thread holder([&] {
        gate.enter(kInfinite);
        held.setState(true);
        std::this_thread::sleep_for(30ms);
        gate.leave();
    });
    ASSERT_TRUE(held.waitFor(5000));
    EXPECT_TRUE(gate.enter(timeout));
    gate.leave();
    holder.join();
}

}  // namespace

TEST(Gate, UnlimitedWaitEndsWhenTheHolderLeaves) {
    unaInProcessGate gate;
    enterWhileHeldElsewhere(gate, kInfinite);
}

// Waiters sleep until the gate is left: every kind of wait must be woken (a lost wake-up hangs
// the unlimited waiters, or fails the limited ones), and nested entries must stay exclusive.
TEST(Gate, ContendedWaitersAreWokenAndExclusive) {
    unaInProcessGate gate;
    constexpr int kThreads = 4, kRounds = 2000;
    int counter = 0;  // guarded by the gate only
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if (!gate.enter(t % 2 ? kInfinite : 5000)) {
                    ++failed;
                    continue;
                }
                EXPECT_TRUE(gate.enter(0)) << "re-entry never waits";
                const int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                gate.leave();
                gate.leave();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(counter, kThreads * kRounds);
    EXPECT_EQ(gate.owningThread(), 0u);

    // A limited waiter gets a gate left within its time-out.
    enterWhileHeldElsewhere(gate, 5000);
}

TEST(Gate, NullGateAndGuard) {
    EXPECT_FALSE(enter(nullptr, 0));
    unaInProcessGate gate;
    {
        unaGateGuard guard(gate, 0);
        EXPECT_TRUE(guard);
    }
    EXPECT_EQ(gate.owningThread(), 0u);
}

TEST(Event, AutoResetIsConsumedManualResetStays) {
    unaEvent autoEvent(false, false);
    autoEvent.setState(true);
    EXPECT_TRUE(autoEvent.waitFor(0));
    EXPECT_FALSE(autoEvent.waitFor(0));

    unaEvent manual(true, false);
    manual.setState(true);
    std::atomic<int> woken{0};
    std::thread a([&] { woken += manual.waitFor(1000); });
    std::thread b([&] { woken += manual.waitFor(1000); });
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_TRUE(manual.waitFor(0));
    manual.setState(false);
    EXPECT_FALSE(manual.waitFor(0));
}

TEST(Heap, BlocksGrowInStepsOf512) {
    unaHeapBlock block = mallocBlock(100, true, 0xAB);
    ASSERT_TRUE(block);
    EXPECT_EQ(block.size(), 512u);
    EXPECT_FALSE(mrealloc(block, 400)) << "100 and 400 both round to 512";
    EXPECT_TRUE(mrealloc(block, 600));
    EXPECT_EQ(block.size(), 1024u);
    EXPECT_EQ(block.data()[99], 0xAB) << "contents survive the reallocation";
    EXPECT_TRUE(mrealloc(block, 0));
    EXPECT_FALSE(block);
    EXPECT_FALSE(mallocBlock(0));
    const char text[] = "abc";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mallocCopy(4, text).data())), "abc");
}
